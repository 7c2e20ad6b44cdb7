// The decision, block by block. A still device's channels are stationary noise: within a block
// their spread is the noise floor, and block means move only by the noise's standard error (the
// slow wander of a bias over a quarter of a second is far below it). A move shows on some channel
// as one of
//   - a spread above 3 floors (a bump, a shake; a block's spread of still white noise exceeds
//     1.6 floors with 25 samples once in 10^6 blocks, 3 leaves room for a floor taken low),
//   - a mean that jumps from the previous block's by more than 6 standard errors (a quick turn),
//   - a mean away from the reference, the running mean of the still blocks (time constant 5 s), by
//     more than 6 standard errors: a slow turn seen by the gyroscope, whose still mean is its bias,
//     or a slow tilt by the accelerometer.
// The floor of a channel is the 10th percentile of the spreads of every block so far (a histogram
// of 48 bins a decade, so a few kB whatever the length): a still recording may hold moves, but
// not mostly, and the quietest tenth of its blocks is noise. It is at least half the channel's
// resolution (the least nonzero step between samples), for quantised channels whose blocks may
// not move at all. The first decision waits for the warm-up (10 s) so that the floor comes from
// more than a few blocks; the references start at the median of the calm warm-up blocks' means,
// so that a recording that starts with a move does not take the move for the reference.
//
// A recording that is never still has no quiet tenth, so the relative tests alone would call its
// calmest blocks still. With SI scales a block is also moving when its accelerometer spread
// exceeds 0.2 m/s^2 (20 mg: MEMS accelerometers are at 1-10 mg at their sample rates, a hand
// holding one adds tens of mg) or its gyro spread 0.01 rad/s (0.6 deg/s, against 0.05-0.3 deg/s of
// gyro noise and degrees per second of a hand).
//
// The delay: a block is handed on (or left out) once the blocks up to a margin after it are
// decided, and left out when a moving block lies within the margin on either side.
#include "stillGate.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace tiltfit {
namespace analysis {
namespace noise {
namespace {

constexpr double kSpreadFloors = 3.0;
constexpr double kJumpErrors = 6.0;
constexpr double kReferenceSeconds = 5.0;
constexpr double kFloorQuantile = 0.1;
constexpr double kAccelLimit = 0.2;  // m/s^2
constexpr double kGyroLimit = 0.01;  // rad/s
constexpr int kBinsPerDecade = 48;
constexpr int kDecadeLow = -12, kDecadeHigh = 12;
constexpr std::size_t kBins = static_cast<std::size_t>((kDecadeHigh - kDecadeLow) * kBinsPerDecade);
constexpr int kFloorEvery = 16;  // decisions between two readings of the histograms

std::size_t binOf(double sd) {
  if (!(sd > 0.0)) return 0;
  const double b = (std::log10(sd) - kDecadeLow) * kBinsPerDecade;
  return static_cast<std::size_t>(std::clamp(b, 1.0, static_cast<double>(kBins - 1)));
}

double valueOf(std::size_t bin) {
  if (bin == 0) return 0.0;
  return std::pow(10.0, (static_cast<double>(bin) + 0.5) / kBinsPerDecade + kDecadeLow);
}

// Mean, sum of squared deviations and least nonzero step of a block (from `resolution` on), each
// over four lanes: sums of one lane a sample would wait on the latency of every addition.
struct BlockStats {
  double mean, ss, resolution;
};
BlockStats blockStats(const double* x, std::size_t n, double resolution) {
  constexpr std::size_t kLanes = 4;
  double lane[kLanes] = {0, 0, 0, 0};
  std::size_t k = 0;
  for (; k + kLanes <= n; k += kLanes)
    for (std::size_t w = 0; w < kLanes; ++w) lane[w] += x[k + w];
  double sum = (lane[0] + lane[1]) + (lane[2] + lane[3]);
  for (; k < n; ++k) sum += x[k];
  const double mean = sum / static_cast<double>(n);
  double sq[kLanes] = {0, 0, 0, 0};
  constexpr double kNone = std::numeric_limits<double>::infinity();
  double least[kLanes] = {kNone, kNone, kNone, kNone};
  for (k = 0; k + kLanes + 1 <= n; k += kLanes) {
    for (std::size_t w = 0; w < kLanes; ++w) {
      const double d = x[k + w] - mean;
      sq[w] += d * d;
      const double step = std::abs(x[k + w + 1] - x[k + w]);
      least[w] = std::min(least[w], step > 0.0 ? step : kNone);
    }
  }
  double ss = (sq[0] + sq[1]) + (sq[2] + sq[3]);
  double res =
      std::min(std::min(resolution, least[0]), std::min(least[1], std::min(least[2], least[3])));
  for (; k < n; ++k) {
    const double d = x[k] - mean;
    ss += d * d;
    if (k + 1 < n) {
      const double step = std::abs(x[k + 1] - x[k]);
      res = std::min(res, step > 0.0 ? step : kNone);
    }
  }
  return {mean, ss, res};
}

}  // namespace

StillGate::StillGate(const StillGateOptions& options, Sink sink)
    : options_(options), sink_(std::move(sink)) {
  if (!(options.period > 0.0) || !(options.blockSeconds > 0.0) || !(options.marginSeconds >= 0.0) ||
      !(options.warmupSeconds >= 0.0))
    throw std::invalid_argument("the gate needs a positive period, block, margin and warm-up");
  blockSize_ = std::max<std::size_t>(
      8, static_cast<std::size_t>(std::llround(options.blockSeconds / options.period)));
  const double block = static_cast<double>(blockSize_) * options.period;
  marginBlocks_ = static_cast<std::size_t>(std::ceil(options.marginSeconds / block - 1e-9));
  warmupBlocks_ = std::max<std::size_t>(
      1, static_cast<std::size_t>(std::ceil(options.warmupSeconds / block - 1e-9)));
  capacity_ = std::max(warmupBlocks_, marginBlocks_ + 1) + 2;
  for (auto& d : data_) d.assign(capacity_ * blockSize_, 0.0);
  blocks_.resize(capacity_);
  for (auto& h : histogram_) h.assign(kBins, 0);
  for (double& r : resolution_) r = std::numeric_limits<double>::infinity();
}

std::size_t StillGate::memoryBytes() const {
  return sizeof(*this) + 6 * capacity_ * blockSize_ * sizeof(double) +
         blocks_.capacity() * sizeof(Block) + 6 * kBins * sizeof(std::uint32_t) +
         report_.spans.capacity() * sizeof(GateSpan);
}

void StillGate::push(const double row[6]) {
  const double* columns[6];
  for (int c = 0; c < 6; ++c) columns[c] = row + c;
  push(columns, 1);
}

void StillGate::push(const double* const* columns, std::size_t n) {
  if (finished_) throw std::logic_error("StillGate::push after finish");
  std::size_t k = 0;
  while (k < n) {
    const std::size_t slot = (head_ + count_) % capacity_;
    const std::size_t take = std::min(n - k, blockSize_ - fill_);
    for (int c = 0; c < 6; ++c) {
      double* to = data_[c].data() + slot * blockSize_ + fill_;
      const double* from = columns[c] + k;
      std::copy(from, from + take, to);
    }
    fill_ += take;
    k += take;
    report_.samples += take;
    if (fill_ == blockSize_) closeBlock();
  }
}

double StillGate::floorOf(int c) const {
  const std::uint64_t rank =
      static_cast<std::uint64_t>(kFloorQuantile * static_cast<double>(histogramCount_));
  std::uint64_t below = 0;
  std::size_t bin = 0;
  for (; bin < kBins; ++bin) {
    below += histogram_[c][bin];
    if (below > rank) break;
  }
  const double res = std::isfinite(resolution_[c]) ? resolution_[c] : 0.0;
  return std::max(valueOf(std::min(bin, kBins - 1)), 0.5 * res);
}

void StillGate::closeBlock() {
  const std::size_t slot = (head_ + count_) % capacity_;
  Block& b = blocks_[slot];
  b = Block{};
  b.first = nextBlockFirst_;
  b.n = fill_;
  for (int c = 0; c < 6; ++c) {
    const double* x = data_[c].data() + slot * blockSize_;
    const BlockStats st = blockStats(x, b.n, resolution_[c]);
    const double res = st.resolution;
    const double mean = st.mean;
    const double ss = st.ss;
    resolution_[c] = res;
    b.mean[c] = mean;
    b.sd[c] = b.n > 1 ? std::sqrt(ss / static_cast<double>(b.n - 1)) : 0.0;
    if (b.n > 1) ++histogram_[c][binOf(b.sd[c])];
  }
  if (b.n > 1) ++histogramCount_;
  nextBlockFirst_ += b.n;
  fill_ = 0;
  ++count_;
  ++blockIndex_;
  if (blockIndex_ >= warmupBlocks_ || finished_) {
    while (decided_ < count_) decide((head_ + decided_++) % capacity_);
    release(false);
  }
}

void StillGate::decide(std::size_t slot) {
  Block& b = blocks_[slot];
  b.decided = true;
  if (!haveRef_ || ++sinceFloor_ >= kFloorEvery) {
    sinceFloor_ = 0;
    for (int c = 0; c < 6; ++c) report_.floor[c] = floorOf(c);
  }
  const double* floor = report_.floor;
  if (!haveRef_) {
    // References from the median of the calm blocks held (the warm-up), or this block's.
    for (int c = 0; c < 6; ++c) {
      std::vector<double> means;
      for (std::size_t i = 0; i < count_; ++i) {
        const Block& o = blocks_[(head_ + i) % capacity_];
        if (o.n > 1 && o.sd[c] <= kSpreadFloors * floor[c]) means.push_back(o.mean[c]);
      }
      if (means.empty()) means.push_back(b.mean[c]);
      std::nth_element(means.begin(), means.begin() + static_cast<std::ptrdiff_t>(means.size() / 2),
                       means.end());
      ref_[c] = means[means.size() / 2];
    }
    haveRef_ = true;
  }
  if (b.n < 2) {
    b.moving = previousMoving_;
    return;
  }
  bool moving = false;
  bool accelOff = false, gyroOff = false;
  for (int c = 0; c < 6; ++c) {
    const double res = std::isfinite(resolution_[c]) ? resolution_[c] : 0.0;
    const double unit = floor[c];
    const double se = unit / std::sqrt(static_cast<double>(b.n));
    if (b.sd[c] > kSpreadFloors * unit) moving = true;
    if (previousN_ > 1) {
      const double sePrev = unit / std::sqrt(static_cast<double>(previousN_));
      if (std::abs(b.mean[c] - previousMean_[c]) > kJumpErrors * std::hypot(se, sePrev) + res)
        moving = true;
    }
    if (std::abs(b.mean[c] - ref_[c]) > kJumpErrors * se + res) (c < 3 ? accelOff : gyroOff) = true;
    if (c < 3 && options_.accelToSI > 0.0 && b.sd[c] * options_.accelToSI > kAccelLimit) {
      moving = true;
      ++absoluteFails_[0];
    }
    if (c >= 3 && options_.gyroToSI > 0.0 && b.sd[c] * options_.gyroToSI > kGyroLimit) {
      moving = true;
      ++absoluteFails_[1];
    }
  }
  if (gyroOff) moving = true;
  if (!moving && accelOff) {
    // A calm block at a new accelerometer reading, the gyroscope still: a new position.
    for (int c = 0; c < 3; ++c) ref_[c] = b.mean[c];
  }
  if (!moving) {
    const double blockSeconds = static_cast<double>(b.n) * options_.period;
    const double a = std::min(1.0, blockSeconds / kReferenceSeconds);
    for (int c = 0; c < 6; ++c) ref_[c] += a * (b.mean[c] - ref_[c]);
  }
  b.moving = moving;
  previousMoving_ = moving;
  for (int c = 0; c < 6; ++c) previousMean_[c] = b.mean[c];
  previousN_ = b.n;
}

void StillGate::release(bool all) {
  while (count_ > 0 && decided_ > 0) {
    const std::size_t slot = head_;
    // The blocks up to a margin later must be decided, unless this is the end.
    if (!all && decided_ <= marginBlocks_) break;
    const Block& b = blocks_[slot];
    const std::uint64_t index = releasedBlocks_;
    bool out = b.moving;
    if (lastMovingBlock_ > 0 && index - (lastMovingBlock_ - 1) <= marginBlocks_) out = true;
    for (std::size_t k = 1; k <= marginBlocks_ && k < decided_; ++k)
      if (blocks_[(slot + k) % capacity_].moving) out = true;
    if (b.moving) lastMovingBlock_ = index + 1;
    if (out) {
      report_.leftOut += b.n;
      if (!inSpan_) {
        inSpan_ = true;
        spanFirst_ = b.first;
      }
    } else {
      const bool breakBefore = inSpan_ && report_.kept > 0;
      if (inSpan_) {
        if (report_.spans.size() < GateReport::kMaxSpans)
          report_.spans.push_back({spanFirst_, b.first});
        else
          ++report_.spansNotListed;
        inSpan_ = false;
      }
      if (!lastKept_ || breakBefore) ++report_.segments;
      const double* channels[6];
      for (int c = 0; c < 6; ++c) channels[c] = data_[c].data() + slot * blockSize_;
      sink_(channels, b.n, breakBefore);
      report_.kept += b.n;
    }
    lastKept_ = !out;
    ++releasedBlocks_;
    head_ = (head_ + 1) % capacity_;
    --count_;
    --decided_;
  }
}

void StillGate::finish() {
  if (finished_) return;
  finished_ = true;
  if (fill_ > 0) {
    closeBlock();  // decides and releases what it can, finished_ set
  } else {
    while (decided_ < count_) decide((head_ + decided_++) % capacity_);
  }
  release(true);
  if (inSpan_) {
    if (report_.spans.size() < GateReport::kMaxSpans)
      report_.spans.push_back({spanFirst_, report_.samples});
    else
      ++report_.spansNotListed;
    inSpan_ = false;
  }
  report_.leftOut = report_.samples - report_.kept;
  report_.neverStill = report_.kept == 0;
  if (report_.neverStill) {
    if (report_.samples == 0)
      report_.why = "no samples";
    else if (absoluteFails_[1] > 0)
      report_.why =
          "the device was never still: the gyroscope's spread stayed above 0.01 rad/s (0.6 deg/s), "
          "as when it is held or moving";
    else if (absoluteFails_[0] > 0)
      report_.why =
          "the device was never still: the accelerometer's spread stayed above 0.2 m/s^2 (20 mg), "
          "as when it is held or moving";
    else
      report_.why = "the device was never still: every part of the recording holds a move";
  }
}

}  // namespace noise
}  // namespace analysis
}  // namespace tiltfit
