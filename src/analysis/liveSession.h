// A guided capture without I/O: lines in, events out. The caller reads its source (a logger on a
// pipe, a serial device, a file replayed, arrays handed over from Python) and gives the session
// what arrives and when; the session cuts the lines, finds the still stretches as the samples come,
// fits them, and says what to hold next until the calibration is good enough.
#ifndef TILTFIT_ANALYSIS_LIVESESSION_H
#define TILTFIT_ANALYSIS_LIVESESSION_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "calibrationQuality.h"
#include "lineLayer.h"
#include "stillStretches.h"
#include "stretchFit.h"
#include "stretchTracker.h"
#include "tiltfit/types.hpp"

namespace tiltfit {
namespace analysis {

// The shortest hold: a live source must stay still this long before a position counts as captured,
// however quiet the sensor (longer where its noise needs more samples; see LiveSession).
constexpr double kHoldSeconds = 0.5;
// Stretches a held-out figure must rest on before a capture stops on it.
constexpr std::size_t kMinHeldOut = 8;

// What the capture so far calibrates to, as --auto would calibrate it.
struct LiveCheck {
  bool ok = false;          // the accelerometer calibrated
  double heldOutMg = 0.0;   // its held-out error
  double expectedMg = 0.0;  // its expected error in any direction
  bool gyro = false;        // the capture has a gyroscope
  bool gyroOk = false;      // its scale and axes are fixed within targetDeg
  double gyroExpectedDeg = 0.0;
  int gyroAxis = -1;  // the axis (0 x, 1 y, 2 z) the next turn should be about, or -1
};

struct LiveSettings {
  // The layout of the lines: as given, or judged from the first lines as --auto judges a file.
  Layout layout;
  bool detectDelimiter = true;
  bool detectColumns = true;
  // "g", "ms2", "counts", or empty: judged from the stretches as they come.
  std::string units;
  double targetMg = 0.5;
  // The lines come from a file read to its end, not from a device: no wall-clock hold, no
  // durations, and no stop before the end.
  bool replay = false;
  // Whether the capture so far, calibrated as --auto would calibrate it, meets the target: returns
  // true with its held-out error (each stretch against the calibration made without it) and its
  // expected error, or false. Asked once the session's own held-out estimate meets the target
  // with every orientation captured, and again after each new stretch. Without it the session
  // never stops by itself.
  std::function<bool(struct LiveCheck& check)> confirm;
  // Read a gyroscope whose columns the header names, and a time column, with the accelerometer;
  // the capture then also waits for the gyro's target (degrees of error in a 90-degree move).
  bool gyro = true;
  double targetDeg = 0.5;
};

struct LiveNote {
  enum class Kind {
    kLayout,    // the columns and delimiter were decided
    kNext,      // what to hold next
    kStretch,   // a still stretch ended
    kCaptured,  // an orientation counts as captured before its stretch has ended
    kStop,      // the capture is good enough: the caller may end it
  };
  Kind kind = Kind::kNext;
  std::string text;  // one line, as --live prints it after "tiltfit: live: "
  // kStretch: its samples (0-based, inclusive) and the expected error after it (NaN before the
  // stretches determine a fit); kCaptured, kStretch: the orientation (report order), or -1.
  std::uint64_t firstSample = 0;
  std::uint64_t lastSample = 0;
  int orientation = -1;
  double expectedErrorMg = 0.0;
};

class LiveSession {
 public:
  explicit LiveSession(LiveSettings settings);

  // Bytes of the source that arrived at `now` (seconds on any steady clock): whole lines are cut
  // as they complete, then the session looks at what changed.
  void feed(const char* data, std::size_t n, double now);
  // Lines without their newline, and samples already cut (in the recording's units), likewise.
  void feedLines(const std::vector<std::string>& lines, double now);
  void feedSamples(const double* x, const double* y, const double* z, std::size_t n, double now);
  // The input has ended: a last line without its newline is taken, the open stretch closed.
  void finish(double now);

  // The notes since the last call, in order.
  std::vector<LiveNote> take();
  bool stopped() const { return stop_; }
  const std::string& stopReason() const { return stopReason_; }
  // One line for a terminal's status, redrawn in place: the orientations captured, whether the
  // device is still, the expected error, whether the source is silent, and what to do.
  std::string status(double now, bool silent) const;

  bool layoutKnown() const { return layoutKnown_; }
  const Layout& layout() const { return layout_; }
  double rateFromHeader() const { return rateFromHeader_; }
  std::uint64_t lines() const { return lines_; }
  std::uint64_t linesWithoutReadings() const { return withoutReadings_; }
  std::uint64_t samples() const { return samples_; }
  // Called with each sample as it is taken, and the line it came from (1-based; 0 for samples
  // handed over without lines): for a caller that keeps the capture's samples.
  // v holds x, y, z, then with a gyroscope its x, y, z and, with a time column, the time.
  void onSample(std::function<void(const double* v, std::uint64_t line)> f) {
    onSample_ = std::move(f);
  }

 private:
  void line(const char* b, const char* e);
  void decideLayout();
  void sample(const double* v, std::uint64_t line);
  void look(double now);
  void stretchEnded(const StillStretch& s);
  void refit();
  void guide();
  bool confirmStop();
  std::string holdNext() const;
  InputScale scale() const;
  bool calibratedDirection(const StillStretch& s, double dir[3]) const;
  void restartTracker();
  double arrival(std::uint64_t sample) const;
  void note(LiveNote::Kind kind, std::string text);
  void updateHold(double now);
  // The direction of the stretch growing now, once it is held long enough to be captured.
  bool heldDirection(double dir[3]) const;

  LiveSettings settings_;
  io::LineAssembler assembler_;
  std::vector<std::string> head_;  // first lines, to judge the layout by
  bool layoutKnown_ = false;
  Layout layout_;
  std::unique_ptr<io::LineCutter> cutter_;
  std::uint64_t lines_ = 0;
  std::uint64_t withoutReadings_ = 0;
  std::function<void(const double* v, std::uint64_t line)> onSample_;
  std::string gyroInstruction_;
  double rateFromHeader_ = 0.0;  // a sample rate the header lines gave  // what to turn next for
                                 // the gyroscope, once the accelerometer is done

  // Samples: the last few thousand, for the noise floor; the tracker over all of them.
  std::vector<double> ring_[3];
  std::size_t ringNext_ = 0;
  std::uint64_t samples_ = 0;
  std::uint64_t floorAt_ = 0;
  NoiseFloor floor_;
  NoiseFloor nextFloor_;
  bool floorMoved_ = false;
  bool tracking_ = false;
  std::unique_ptr<StretchTracker> tracker_;
  std::uint64_t trackerStart_ = 0;       // sample number of the tracker's row 0
  std::vector<StillStretch> stretches_;  // ended, in the recording's units, rows as samples
  // When samples arrived: the first sample of each feed and its time, for durations; only what
  // the stretch growing now may still ask for is kept.
  std::deque<std::pair<std::uint64_t, double>> arrivals_;
  double started_ = 0.0;
  bool startedKnown_ = false;
  bool changed_ = true;  // stretches or orientations changed since the last guidance

  StretchFit fit_;
  bool fitUsable_ = false;
  double expectedMg_ = 0.0;
  double heldOutMg_ = 0.0;  // the fit's held-out mean over heldOutFolds_ stretches
  std::size_t heldOutFolds_ = 0;
  // How long a position must be held: samples that make its mean precise enough for the target,
  // and the seconds they take at the source's rate (holdSeconds_ 0 until known, and in a
  // replay).
  std::size_t holdSamples_ = 2 * kMinStillSamples;
  double holdSeconds_ = 0.0;                     // as said: whole seconds
  double holdNeeded_ = kHoldSeconds;             // as judged
  std::uint64_t announced_ = ~std::uint64_t{0};  // first sample of the stretch last announced
  bool covered_[6] = {false, false, false, false, false, false};
  std::string instruction_;
  bool stop_ = false;
  std::string stopReason_;
  bool confirmedOnce_ = false;
  std::size_t confirmedAt_ = 0;  // stretches when the stop was last checked
  std::vector<LiveNote> notes_;
};

}  // namespace analysis
}  // namespace tiltfit

#endif
