// Which samples of a still recording may go into its noise figures: a streaming, bounded-memory
// decision from the three accelerometer and three gyroscope channels, with a delay long enough
// that the samples of a move, and a margin on both sides of it, never reach the accumulators.
#ifndef TILTFIT_ANALYSIS_NOISE_STILLGATE_H
#define TILTFIT_ANALYSIS_NOISE_STILLGATE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tiltfit {
namespace analysis {
namespace noise {

struct StillGateOptions {
  double period = 0.01;  // s, the sample period (> 0)
  // SI units per unit of the accelerometer (m/s^2) and the gyroscope (rad/s) channels; 0 when not
  // known, which leaves out the tests that need them (see stillGate.cpp).
  double accelToSI = 0.0;
  double gyroToSI = 0.0;
  double blockSeconds = 0.25;   // the samples are judged in blocks of this length (8 at least)
  double marginSeconds = 1.0;   // left out before and after every moving block
  double warmupSeconds = 10.0;  // read before the first decision, to learn the noise floor
};

// Samples [first, end) left out, 0-based.
struct GateSpan {
  std::uint64_t first = 0, end = 0;
};

struct GateReport {
  std::uint64_t samples = 0;         // pushed
  std::uint64_t kept = 0;            // handed to the sink
  std::uint64_t leftOut = 0;         // left out so far; samples - kept after finish()
  std::uint64_t segments = 0;        // runs of kept samples
  std::vector<GateSpan> spans;       // the first kMaxSpans runs left out, in order
  std::uint64_t spansNotListed = 0;  // runs left out beyond those
  bool neverStill = false;           // after finish(): no sample was kept
  std::string why;                   // with neverStill: one sentence for the user
  double floor[6] = {0, 0, 0,
                     0, 0, 0};  // the noise floor each channel was judged against, its units
  static constexpr std::size_t kMaxSpans = 1000;
};

// One pass, O(1) work per sample, memory bounded by the delay (warmup or margin, whichever is
// longer, plus the margin): about 6 * 8 bytes per sample of it.
//
// A block is moving when on any channel its standard deviation exceeds 3 times the channel's floor
// (the 10th percentile of the standard deviations of all blocks so far, at least half its
// resolution), its mean jumps from the previous block's by more than 6 standard errors, or its
// mean leaves the channel's reference (the running mean of its still blocks) by more than 6
// standard errors; with SI scales also when its accelerometer spread exceeds 0.2 m/s^2 or its gyro
// spread 0.01 rad/s (no still MEMS sensor is that noisy at its sample rate; a hand holding it is).
// After a move the accelerometer's reference restarts at the first block the gyroscope calls
// still (a new position); the gyroscope's stays (its bias did not move). Every sample within the
// margin of a moving block is left out.
class StillGate {
 public:
  // The sink gets the kept samples in order, one block (or less) at a time: channels[c][k] for
  // c = 0..5 (ax, ay, az, gx, gy, gz) and k < n; breakBefore when samples were left out before
  // these (the accumulators then break their segment). The pointers are valid during the call.
  using Sink = std::function<void(const double* const* channels, std::size_t n, bool breakBefore)>;

  // Throws std::invalid_argument for a period, block or margin that is not positive.
  StillGate(const StillGateOptions& options, Sink sink);

  // The next sample: ax, ay, az, gx, gy, gz in their units.
  void push(const double row[6]);
  // The next n samples, channel by channel (columns[c][k]).
  void push(const double* const* columns, std::size_t n);
  // The end of the recording: the samples still held are judged and handed on. Further pushes
  // are not allowed.
  void finish();

  const GateReport& report() const { return report_; }
  std::size_t memoryBytes() const;

 private:
  struct Block {
    std::uint64_t first = 0;
    std::size_t n = 0;
    double mean[6] = {0, 0, 0, 0, 0, 0};
    double sd[6] = {0, 0, 0, 0, 0, 0};
    bool decided = false;
    bool moving = false;
  };
  void closeBlock();
  void decide(std::size_t slot);
  void release(bool all);
  double floorOf(int c) const;

  StillGateOptions options_;
  Sink sink_;
  std::size_t blockSize_, marginBlocks_, warmupBlocks_, capacity_;
  std::vector<double> data_[6];  // capacity_ blocks of blockSize_ samples each
  std::vector<Block> blocks_;    // the ring
  std::size_t head_ = 0;         // oldest block held
  std::size_t count_ = 0;        // blocks held, the filling one included
  std::size_t fill_ = 0;         // samples in the filling block
  std::size_t decided_ = 0;      // of the held blocks, the oldest ones decided
  std::uint64_t nextBlockFirst_ = 0;
  std::uint64_t lastMovingBlock_ = 0;  // index + 1 of the last moving block, 0 for none yet
  std::uint64_t blockIndex_ = 0;       // blocks closed so far
  std::uint64_t releasedBlocks_ = 0;
  bool lastKept_ = false;
  bool haveRef_ = false;
  bool previousMoving_ = false;
  double ref_[6] = {0, 0, 0, 0, 0, 0};
  double previousMean_[6] = {0, 0, 0, 0, 0, 0};
  std::size_t previousN_ = 0;
  double resolution_[6];
  std::vector<std::uint32_t> histogram_[6];
  std::uint64_t histogramCount_ = 0;
  std::uint64_t absoluteFails_[2] = {0, 0};  // blocks over the accelerometer, gyro SI limit
  std::uint64_t spanFirst_ = 0;
  bool inSpan_ = false;
  bool finished_ = false;
  int sinceFloor_ = 0;  // decisions since the floors were read from the histograms
  GateReport report_;
};

}  // namespace noise
}  // namespace analysis
}  // namespace tiltfit

#endif
