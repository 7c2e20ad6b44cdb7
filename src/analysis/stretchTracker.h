// Still-stretch detection that consumes samples as they come and emits each stretch when it ends.
// The batch modes feed it a whole recording, live capture feeds it line by line: both find the
// same stretches in the same samples.
#ifndef TILTFIT_ANALYSIS_STRETCHTRACKER_H
#define TILTFIT_ANALYSIS_STRETCHTRACKER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "stillStretches.h"

namespace tiltfit {
namespace analysis {

// The share of a stretch's variance that a straight line through time may explain. A still
// stretch's trend explains almost nothing of its noise (for 20 samples of white noise, more than
// 0.6 by chance about once in 10^5); a steady turn explains nearly all of its spread. A turn whose
// trend explains less moves by less than about four times the stretch's spread over its whole
// length, which biases the magnitude of its mean by a negligible amount.
constexpr double kMaxTrend = 0.6;

struct TrackerOptions {
  NoiseFloor floor;  // per axis, in the recording's units
  // How far a stretch's own spread may widen its test, per axis in the recording's units; 0 keeps
  // the test at the noise floor. A hand-held rest wobbles by 10-20 mg while a bench rest next to
  // it moves by the sensor noise alone: widened, the hand-held rest stays one stretch instead of
  // breaking into pieces. Steady motion is still cut off: it cannot move further than 9 times the
  // widening from its mean before samples fall outside the test, and the trend test drops what it
  // took (kMaxTrend).
  double spreadCap[3] = {0.0, 0.0, 0.0};
};

// One pass, O(1) work and memory per sample (apart from the stretches it emits).
//
// A stretch opens at a finite sample that is not a row of three zeros (the reader's row for a
// header or a blank line) and grows while each new sample stays within 4.5 test units of the
// stretch's running mean (normalised distance over the three axes). The test unit of an axis is
// its noise floor; once the stretch holds a few samples and while it shows no trend (the slow end
// of a turn drifts, and must not widen it), it is the larger of the floor and the stretch's own
// standard deviation, the latter capped at spreadCap. Up to two consecutive values
// outside are skipped (a value the logger repeated counts once); a third ends the stretch. The
// next stretch may start at the first sample the ended one did not take, so those samples are
// examined again.
//
// An ended stretch is kept when it holds at least kMinStillSamples samples and is no steady turn
// (its trend explains at most kMaxTrend of its variance). A kept stretch that begins within a few
// dozen samples of the one before, at a mean within the test of it, continues that one (a
// hand-held rest's wobble, a bump on the bench): the two become one, as long as together they
// still pass the trend test. So a stretch is emitted once the next one can no longer continue it.
class StretchTracker {
 public:
  explicit StretchTracker(const TrackerOptions& options);

  // The next sample; its row is the number of samples pushed before it.
  void push(double x, double y, double z);
  // The next n samples, as n calls of push.
  void push(const double* x, const double* y, const double* z, std::size_t n);
  // Ends the input: the open stretch is closed and kept when long enough.
  void finish();

  // Stretches ended so far and not yet taken, in order.
  std::vector<StillStretch> take();
  // The stretch growing now, joined to the one it continues (valid when growing()): rows, mean
  // and spread so far.
  bool growing() const;
  StillStretch current() const;
  std::uint64_t samples() const { return row_; }
  // The first row of any stretch not yet emitted (growing, or ended and waiting for what follows
  // it); samples() when there is none.
  std::uint64_t oldestRowInUse() const;

 private:
  struct Sample {
    double v[3];
    std::uint64_t row;
  };
  // Means of consecutive blocks of 4, 16, 64, 256 and 1024 samples, for the standard error of the
  // stretch mean when its samples are correlated (a wobble, a sensor's own filter). Each level
  // counts the blocks of the level below: four of them make one of its own.
  static constexpr int kLevels = 5;
  struct Level {
    double partial[3] = {0, 0, 0};
    double sum[3] = {0, 0, 0};
    double sumSq[3] = {0, 0, 0};
    std::size_t filled = 0;
    std::size_t blocks = 0;
  };
  // What a stretch keeps of its samples: sums relative to its first sample (which keeps them exact
  // enough for large offsets such as raw counts) and to its first row in time.
  struct Sums {
    double origin[3] = {0, 0, 0};
    double sum[3] = {0, 0, 0};
    double sumSq[3] = {0, 0, 0};
    double sumTime[3] = {0, 0, 0};  // sum of t * d, t the row after the first
    double time = 0.0;              // sum of t
    double timeSq = 0.0;            // sum of t^2
    std::size_t count = 0;
    std::size_t changes = 0;  // samples that differ from the one before: what the sensor produced
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    // Levels [0, used) hold data; the others are cleared when first reached, so that opening a
    // stretch (once per sample while the device moves) stays cheap.
    int used = 0;
    Level levels[kLevels];
    void reset() {
      for (int j = 0; j < 3; ++j) origin[j] = sum[j] = sumSq[j] = sumTime[j] = 0.0;
      time = timeSq = 0.0;
      count = changes = 0;
      first = last = 0;
      used = 0;
    }
    Level& level(int k) {
      if (k >= used) {
        levels[k] = Level();
        used = k + 1;
      }
      return levels[k];
    }
  };

  void feed(const Sample& s);
  void open(const Sample& s);
  void close();
  void accept(const Sample& s);
  void cascade();  // the first level's block is full
  // Takes the samples that lie inside the open stretch, from the first, as long as they do;
  // returns how many it took.
  std::size_t streak(const double* x, const double* y, const double* z, std::size_t n);
  void keep(const Sums& s);
  void emitPending();
  double unit(const Sums& s, int axis) const;  // the test unit of an axis
  bool moving(const Sums& s) const;            // a steady turn (see kMaxTrend)
  void updateSpread();                         // unit2_ from the open stretch
  bool continues(const Sums& later) const;     // later may join the pending stretch
  static Sums joined(const Sums& a, const Sums& b);
  StillStretch stretchOf(const Sums& s) const;

  TrackerOptions options_;
  double floor2_[3];  // squared noise floor
  double cap2_[3];    // squared widening cap (at least the floor)
  std::uint64_t row_ = 0;
  Sums open_;  // the stretch growing now (count 0: none)
  double unit2_[3] = {0, 0, 0};  // its squared test units, from its spread while it shows no trend
  double previous_[3] = {0, 0, 0};
  bool pending_ = false;  // a kept stretch that the open one may still continue
  Sums kept_;
  // Samples after the last one taken: examined again when the stretch ends.
  std::vector<Sample> outside_;
  int outsideValues_ = 0;  // distinct values among them
  std::deque<Sample> replay_;
  std::vector<StillStretch> done_;
};

}  // namespace analysis
}  // namespace tiltfit

#endif
