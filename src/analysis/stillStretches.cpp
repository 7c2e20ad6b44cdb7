#include "stillStretches.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tiltfit {
namespace analysis {
namespace {

constexpr double kThreshold = 4.5;          // normalised distance of a still sample from the mean
constexpr int kMaxSkipped = 2;              // consecutive outside samples a stretch survives
constexpr std::size_t kMaxDiffs = 1 << 16;  // differences sampled per axis and lag

// Median of v (reordered); NaN when empty.
double median(std::vector<double>& v) {
  if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

double axisNoise(const double* a, std::size_t n) {
  double sigma = 0.0;
  double quantum = std::numeric_limits<double>::infinity();
  double scale = 0.0;
  std::vector<double> d;
  static constexpr std::size_t kLags[] = {1, 2, 4, 8};
  for (const std::size_t lag : kLags) {
    if (n <= lag) break;
    const std::size_t pairs = n - lag;
    const std::size_t step = std::max<std::size_t>(1, pairs / kMaxDiffs);
    d.clear();
    for (std::size_t k = lag; k < n; k += step) {
      const double v = std::abs(a[k] - a[k - lag]);
      if (std::isfinite(v)) {
        d.push_back(v);
        if (v > 0.0 && v < quantum) quantum = v;
      }
      if (lag == 1 && std::isfinite(a[k])) scale = std::max(scale, std::abs(a[k]));
    }
    // For Gaussian noise of deviation s, |a(k) - a(k - lag)| has median 0.6745 * sqrt(2) * s.
    const double m = median(d);
    if (std::isfinite(m)) sigma = std::max(sigma, m / (0.6745 * std::sqrt(2.0)));
  }
  if (std::isfinite(quantum)) sigma = std::max(sigma, 0.5 * quantum);
  // An axis that never changes: any change at all is motion, down to rounding of its value.
  const double tiny = 1e-12 * std::max(1.0, scale);
  return std::max(sigma, tiny);
}

}  // namespace

NoiseFloor estimateNoiseFloor(const double* x, const double* y, const double* z, std::size_t n) {
  NoiseFloor f;
  const double* axes[3] = {x, y, z};
  for (int j = 0; j < 3; ++j) f.sigma[j] = axisNoise(axes[j], n);
  return f;
}

std::vector<StillStretch> findStillStretches(const double* x, const double* y, const double* z,
                                             std::size_t n, const NoiseFloor& floor) {
  std::vector<StillStretch> out;
  const double* axes[3] = {x, y, z};
  double inv[3];
  for (int j = 0; j < 3; ++j) inv[j] = 1.0 / floor.sigma[j];
  const double limit = kThreshold * kThreshold;

  std::size_t k = 0;
  while (k < n) {
    // Open a stretch at the next finite sample.
    if (!(std::isfinite(x[k]) && std::isfinite(y[k]) && std::isfinite(z[k])) ||
        (x[k] == 0.0 && y[k] == 0.0 && z[k] == 0.0)) {
      ++k;
      continue;
    }
    const std::size_t first = k;
    // Sums relative to the first sample, which keeps them accurate for large offsets (counts).
    const double origin[3] = {x[k], y[k], z[k]};
    double sum[3] = {0.0, 0.0, 0.0};
    double sumSq[3] = {0.0, 0.0, 0.0};
    std::size_t count = 1;
    std::size_t last = k;
    int skipped = 0;
    std::size_t next = k + 1;
    for (; next < n; ++next) {
      double dist = 0.0;
      double dev[3];
      for (int j = 0; j < 3; ++j) {
        dev[j] = axes[j][next] - origin[j];
        const double e = (dev[j] - sum[j] / static_cast<double>(count)) * inv[j];
        dist += e * e;
      }
      const bool zeroRow = axes[0][next] == 0.0 && axes[1][next] == 0.0 && axes[2][next] == 0.0;
      if (dist < limit && !zeroRow) {  // false for NaN
        for (int j = 0; j < 3; ++j) {
          sum[j] += dev[j];
          sumSq[j] += dev[j] * dev[j];
        }
        ++count;
        last = next;
        skipped = 0;
      } else if (++skipped > kMaxSkipped) {
        break;
      }
    }
    if (count >= kMinStillSamples) {
      StillStretch s;
      s.first = first;
      s.last = last;
      for (int j = 0; j < 3; ++j) {
        const double m = sum[j] / static_cast<double>(count);
        s.mean[j] = origin[j] + m;
        const double var = sumSq[j] / static_cast<double>(count) - m * m;
        s.noise[j] = std::sqrt(std::max(0.0, var));
      }
      out.push_back(s);
    }
    // The next stretch starts at the first sample this one did not take.
    k = last + 1;
  }
  return out;
}

}  // namespace analysis
}  // namespace tiltfit
