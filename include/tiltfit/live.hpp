// tiltfit's guided capture: feed a logger's output as it arrives, and the session says what to
// hold next until the calibration is good enough. It does no I/O: the caller reads the source
// (a pipe, a serial device, a socket, arrays in Python) and passes the bytes, lines or samples on
// with the time they arrived.
//
//   tiltfit::LiveSession session;
//   while (!session.stopped() && (n = read(fd, buf, sizeof buf)) > 0) {
//     session.feed(buf, n, secondsNow());
//     for (const tiltfit::LiveEvent& e : session.events()) show(e.text);
//   }
//   session.finish(secondsNow());
//   tiltfit::Result r = session.result();
//
// `tiltfit --live SOURCE` is this session with a read loop, signals, --save and a status line.
#ifndef TILTFIT_LIVE_HPP
#define TILTFIT_LIVE_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tiltfit/tiltfit.hpp"

namespace tiltfit {

struct LiveOptions {
  // The layout of the lines: as given, or judged from the first 64 lines as --auto judges a file.
  Layout layout;
  bool detectDelimiter = true;
  bool detectColumns = true;
  Units units = Units::kAuto;
  std::string outputUnits;        // as CalibrateOptions::outputUnits
  Method method = Method::kAuto;  // how the capture is calibrated, as calibrateAuto's
  double targetMg = 0.5;          // the held-out error at which the capture may stop
  // With a gyroscope the header names (gyro true): the expected error of a 90-degree move the
  // gyro's calibration must reach too, degrees.
  bool gyro = true;
  double targetDeg = 0.5;
  GyroOptions gyroOptions;  // the rate, when nothing in the lines gives it
  // The input is a file read to its end rather than a live source: the session never stops by
  // itself, and reports no durations.
  bool replay = false;
};

// The target expected error of a capture, unless told otherwise: a bench session of the six axis
// orientations and three or four positions between two axes, a few seconds each, reaches it in a
// minute or two.
constexpr double kDefaultTargetMg = 0.5;

// A capture of more lines than this is calibrated from its still stretches read as a stream, as
// calibrateAuto with Method::kStretches reads a recording, so that a logger left running stays in
// the same memory; below it, as calibrateAuto calibrates the same samples.
constexpr std::uint64_t kLiveLinesInMemory = 2000000;

struct LiveEvent {
  enum class Kind {
    kLayout,    // the columns and the delimiter were decided
    kNext,      // what to hold next: "next: hold z up (z reads about +1 g)"
    kStretch,   // a still stretch ended
    kCaptured,  // an orientation counts as captured before its stretch has ended
    kStop,      // the calibration meets the target: the capture may end
  };
  Kind kind = Kind::kNext;
  std::string text;  // one line, as tiltfit --live prints it after "tiltfit: live: "
  // kStretch: its samples (0-based, inclusive); kStretch and kCaptured: the orientation it stands
  // for (0 x at -1 g, 1 x at +1 g, ... 5 z at +1 g) or -1; kStretch: the expected error after it,
  // NaN before the stretches determine a calibration.
  std::uint64_t firstSample = 0;
  std::uint64_t lastSample = 0;
  int orientation = -1;
  double expectedErrorMg = 0.0;
};
const char* liveEventKindName(LiveEvent::Kind kind);  // "layout", "next", "stretch" ...

class LiveSession {
 public:
  explicit LiveSession(const LiveOptions& options = LiveOptions());
  ~LiveSession();
  LiveSession(const LiveSession&) = delete;
  LiveSession& operator=(const LiveSession&) = delete;

  // Bytes of the source that arrived at `now` (seconds on any steady clock, increasing).
  void feed(const char* data, std::size_t n, double now);
  // Whole lines (without their newline) that arrived at `now`.
  void feedLines(const std::vector<std::string>& lines, double now);
  // Samples already cut into x, y and z (the recording's units) that arrived at `now`.
  void feedSamples(const double* x, const double* y, const double* z, std::size_t n, double now);
  // The input has ended: a last line without its newline is taken and the open stretch closed.
  void finish(double now);

  // What happened since the last call, in order.
  std::vector<LiveEvent> events();
  bool stopped() const;
  const std::string& stopReason() const;  // "the expected error is 0.42 mg, at or below ..."
  // A terminal's status line: captured orientations, still or moving, the expected error, "no
  // data" when silent, and what to do next.
  std::string status(double now, bool silent = false) const;

  std::uint64_t lines() const;                 // lines taken, with or without readings
  std::uint64_t linesWithoutReadings() const;  // lines whose fields are not all numbers
  std::uint64_t samples() const;
  const Layout& layout() const;  // valid once the layout is decided (a kLayout event)

  // The capture so far calibrated as calibrateAuto calibrates it (see kLiveLinesInMemory).
  Result result() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tiltfit

#endif
