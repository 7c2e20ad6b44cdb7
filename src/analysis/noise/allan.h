// The overlapping Allan deviation of one channel, accumulated sample by sample in bounded memory.
// The estimator, its pre-averaged long averaging times and its intervals are written out at the
// top of allan.cpp.
#ifndef TILTFIT_ANALYSIS_NOISE_ALLAN_H
#define TILTFIT_ANALYSIS_NOISE_ALLAN_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tiltfit {
namespace analysis {
namespace noise {

struct AllanOptions {
  // Averaging factors per decade, log-spaced; every whole factor below the point where the
  // spacing would fall under one sample is taken (1, 2, ..., 8, 10, 13, 18, ... for 8). At least 8.
  int pointsPerDecade = 8;
  // Averaging factors m below 2 * blockRatio are computed from every start (fully overlapping);
  // larger ones from the sums of blocks of 2^L samples, with m a multiple of 2^L and m / 2^L in
  // [blockRatio, 2 blockRatio], so from every 2^L-th start. 16 to 1024.
  int blockRatio = 128;
  // The longest averaging time reported, as a share of the pooled samples.
  double longestShare = 0.1;
};

// One averaging time of the curve.
struct AllanPoint {
  double tau = 0.0;     // s: m sample periods
  std::uint64_t m = 0;  // averaging factor, samples
  double avar = 0.0;    // overlapping Allan variance, in the channel's units squared
  double adev = 0.0;    // its square root
  double lo = 0.0;      // the confidence interval of adev
  double hi = 0.0;
  double edf = 0.0;         // equivalent degrees of freedom of avar, pooled over the segments
  double slope = 0.0;       // local slope of log avar against log tau the edf was chosen for
  std::uint64_t terms = 0;  // second differences summed, over every segment
  bool exact = true;        // from every start; false: from every 2^L-th (pre-averaged blocks)
};

struct AllanCurve {
  double period = 0.0;        // s, the sample period
  std::uint64_t samples = 0;  // pooled over the segments
  std::size_t segments = 0;   // segments holding at least one sample
  std::uint64_t longestSegment = 0;
  double confidence = 0.0;         // two-sided level of every [lo, hi]
  std::vector<AllanPoint> points;  // increasing tau
};

// The equivalent degrees of freedom of the overlapping Allan variance at averaging factor m from
// `samples` consecutive rate samples, for noise whose Allan variance goes as tau^slope: -2 white
// phase noise (angle quantisation), -1 white rate noise, 0 flicker rate noise (bias
// instability), +1 random walk of the rate. Between these the log of the EDF is interpolated
// linearly in the slope; outside, the nearest is taken. At least 1; 0 when samples < 2m (no
// term). m >= 1.
double overlappingEdf(double slope, std::uint64_t samples, std::uint64_t m);

// The accumulator of one channel. Memory is bounded by the averaging factors, about 20 kB for
// each octave of averaging time the data reach (some 0.4 MB for a day at 400 Hz), and by 8 bytes
// per segment; work is O(1) per sample: one single-precision term for each factor below
// 2 blockRatio (21 with the defaults) and about 3 for all longer ones, done in passes over a few
// thousand samples.
class AllanAccumulator {
 public:
  // period: the sample period in s (> 0). Throws std::invalid_argument for a period that is not
  // positive and finite, fewer than 8 points per decade, a blockRatio below 16 or a longestShare
  // outside (0, 0.5].
  explicit AllanAccumulator(double period, const AllanOptions& options = {});

  // The next sample of the channel, in its units. A non-finite sample, or one beyond 1e100 (no
  // sensor's, and its squares would overflow), ends the segment and is not
  // counted. How the samples are split between calls changes no bit of the curve.
  void add(double y);
  void add(const double* y, std::size_t n);
  // The samples added next start a new segment (the device moved in between): no second
  // difference spans the break; the terms of every segment are pooled. Does nothing when the
  // current segment is empty.
  void breakSegment();

  std::uint64_t samples() const { return samples_; }

  // The curve of everything added so far: every averaging factor of the grid with at least one
  // term and m <= longestShare * samples(), and for each a two-sided chi-square interval of level
  // confidence (0 < confidence < 1). Empty points for fewer than 2 / longestShare samples.
  AllanCurve curve(double confidence = 0.95) const;

  // Bytes held by the accumulator's buffers.
  std::size_t memoryBytes() const;

 private:
  struct Tau {
    std::uint64_t m;
    std::uint64_t points;  // m in phase points of its level: m / 2^level
    int level;             // 0: every start; L: blocks of 2^L samples
    double sum = 0.0;      // of the squared second differences, units^2 samples^2
    std::uint64_t terms = 0;
  };
  // The phase of the open segment every `stride` samples (point j at sample j stride), with the
  // factors computed from it. x holds points base .. base + fill - 1 less offset, the phase at
  // point base; the terms of every point below done are summed.
  struct Level {
    std::uint64_t stride = 1;
    std::size_t firstTau = 0, endTau = 0;
    std::size_t span = 0;  // 2 * the level's largest factor in points: points kept between passes
    std::vector<double> x;
    std::size_t fill = 0;
    std::uint64_t base = 0, done = 0;
    double offset = 0.0;
  };

  void startSegment(double y);
  // Sums the terms that the points added since the last pass complete, hands the points on
  // block boundaries to the next levels, and keeps the points the level still needs.
  void process(std::size_t level);

  double period_;
  AllanOptions options_;
  std::vector<Tau> taus_;
  std::vector<Level> levels_;   // level 0 holds every sample's phase
  std::vector<float> scratch_;  // a level's points for the sums

  bool open_ = false;
  double ref_ = 0.0;  // the segment's first sample, subtracted from every sample
  std::uint64_t segmentSamples_ = 0;
  std::vector<std::uint64_t> segments_;  // lengths of the closed segments
  std::uint64_t samples_ = 0;
};

}  // namespace noise
}  // namespace analysis
}  // namespace tiltfit

#endif
