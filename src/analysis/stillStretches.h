// Still stretches: every run of samples in which the sensor lay still, found from the recording's
// own noise floor, with no tuning numbers.
#ifndef TILTFIT_ANALYSIS_STILLSTRETCHES_H
#define TILTFIT_ANALYSIS_STILLSTRETCHES_H

#include <cstddef>
#include <vector>

namespace tiltfit {
namespace analysis {

// Noise floor of each axis: the standard deviation of the sample-to-sample noise, in the
// recording's own units.
struct NoiseFloor {
  double sigma[3] = {0.0, 0.0, 0.0};
};

struct StillStretch {
  std::size_t first = 0;  // 0-based row of the first sample
  std::size_t last = 0;   // 0-based row of the last sample, inclusive
  double mean[3] = {0.0, 0.0, 0.0};
  double noise[3] = {0.0, 0.0, 0.0};  // standard deviation of each axis within the stretch
  // Standard error of the mean on each axis: the larger of the deviation over the distinct samples
  // and the scatter of block means, so that repeated samples (a logger faster than its sensor)
  // and correlated ones (a hand-held wobble) do not pass for independent measurements.
  double meanSigma[3] = {0.0, 0.0, 0.0};
  // Standard deviation of each axis' slow part: what does not average out over blocks of four
  // samples. White sensor noise falls out of it, a hand's tremor and sway stay in: with var the
  // variance of the samples and varB that of the means of consecutive blocks of four,
  // motion^2 = (4 varB - var) / 3 (for white noise of variance n and a slow part of variance m,
  // var = m + n and varB = m + n / 4). Noise that a sensor's own filter made slow counts as
  // motion, which is no harm: it is small wherever it is that slow.
  double motion[3] = {0.0, 0.0, 0.0};
  // The rms motion over the axes of the pose the stretch belongs to, pooled with the stretches
  // next to it (see takeMoving), in the recording's units; 0 until judged.
  double poseMotion = 0.0;
  std::size_t distinct = 0;  // samples that differ from the one before
  std::size_t length() const { return last - first + 1; }
};

// The shortest run counted as a still stretch. Short enough for rests of 3 s at 10 Hz; a slow
// rotation that stays this long within the noise of its mean is quasi-static anyway (its magnitude
// is that of gravity), so it does no harm where stretches are used.
constexpr std::size_t kMinStillSamples = 20;

// Estimates each axis' noise from the median absolute first difference at lags 1, 2, 4 and 8 (the
// largest wins, so that noise smoothed by a sensor's own filter is not underestimated), floored at
// half the axis' quantisation step. Robust to motion in up to half the recording. Reads at most
// about 2^16 differences per axis and lag, evenly spread, so the cost stays small for any length.
NoiseFloor estimateNoiseFloor(const double* x, const double* y, const double* z, std::size_t n);

// Finds the still stretches of the recording (three columns of n samples, any units and offset)
// in one pass: a stretch grows while each sample stays within 4.5 noise-floor units (per-axis
// normalised distance) of the stretch's running mean; up to two consecutive samples outside it (a
// spike, a header row of zeros) are skipped; a third ends the stretch, which is kept when it holds
// at least kMinStillSamples samples. Non-finite samples and rows of three zeros (the reader's rows
// for a header or a blank line) count as outside. Linear in n. With spreadCap (per axis, the
// recording's units) a stretch's own spread may widen the test up to that much: see
// StretchTracker, which this feeds.
std::vector<StillStretch> findStillStretches(const double* x, const double* y, const double* z,
                                             std::size_t n, const NoiseFloor& floor,
                                             const double* spreadCap = nullptr);

// The still stretches of every stride-th sample (rows as in the whole recording): a look at a long
// recording's positions, for its units, at a fraction of the cost.
std::vector<StillStretch> findStillStretchesEvery(std::size_t stride, const double* x,
                                                  const double* y, const double* z, std::size_t n,
                                                  const NoiseFloor& floor);

// How still the stillest stretch of `window` consecutive samples is: over all such windows of
// finite samples, the smallest of the largest range (maximum - minimum) of an axis, in the
// recording's units. NaN when no window of finite samples exists. Linear in n.
double quietestWindowRange(const double* x, const double* y, const double* z, std::size_t n,
                           std::size_t window);

// The widening for hand-held rests, in g per axis (scaled by the recording's reading of 1 g).
constexpr double kSpreadCapG = 0.015;

}  // namespace analysis
}  // namespace tiltfit

#endif
