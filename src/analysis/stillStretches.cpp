#include "stillStretches.h"

#include "stretchTracker.h"

#include <algorithm>
#include <deque>
#include <cmath>
#include <limits>

namespace tiltfit {
namespace analysis {
namespace {

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
                                             std::size_t n, const NoiseFloor& floor,
                                             const double* spreadCap) {
  TrackerOptions options;
  options.floor = floor;
  if (spreadCap != nullptr) std::copy(spreadCap, spreadCap + 3, options.spreadCap);
  StretchTracker tracker(options);
  tracker.push(x, y, z, n);
  tracker.finish();
  return tracker.take();
}

std::vector<StillStretch> findStillStretchesEvery(std::size_t stride, const double* x,
                                                  const double* y, const double* z, std::size_t n,
                                                  const NoiseFloor& floor) {
  if (stride <= 1) return findStillStretches(x, y, z, n, floor);
  TrackerOptions options;
  options.floor = floor;
  StretchTracker tracker(options);
  for (std::size_t k = 0; k < n; k += stride) tracker.push(x[k], y[k], z[k]);
  tracker.finish();
  std::vector<StillStretch> out = tracker.take();
  for (StillStretch& s : out) {
    s.first *= stride;
    s.last *= stride;
  }
  return out;
}

double quietestWindowRange(const double* x, const double* y, const double* z, std::size_t n,
                           std::size_t window) {
  double best = std::numeric_limits<double>::quiet_NaN();
  if (window == 0 || n < window) return best;
  const double* axes[3] = {x, y, z};
  // Sliding minimum and maximum of each axis by monotonic queues of indices.
  std::deque<std::size_t> lo[3];
  std::deque<std::size_t> hi[3];
  std::size_t start = 0;  // first sample of the current run of finite samples
  for (std::size_t k = 0; k < n; ++k) {
    if (!(std::isfinite(x[k]) && std::isfinite(y[k]) && std::isfinite(z[k]))) {
      for (int j = 0; j < 3; ++j) {
        lo[j].clear();
        hi[j].clear();
      }
      start = k + 1;
      continue;
    }
    double range = 0.0;
    for (int j = 0; j < 3; ++j) {
      const double* a = axes[j];
      while (!lo[j].empty() && a[lo[j].back()] >= a[k]) lo[j].pop_back();
      while (!hi[j].empty() && a[hi[j].back()] <= a[k]) hi[j].pop_back();
      lo[j].push_back(k);
      hi[j].push_back(k);
      while (lo[j].front() + window <= k) lo[j].pop_front();
      while (hi[j].front() + window <= k) hi[j].pop_front();
      range = std::max(range, a[hi[j].front()] - a[lo[j].front()]);
    }
    if (k + 1 >= start + window && !(range >= best)) best = range;
  }
  return best;
}

}  // namespace analysis
}  // namespace tiltfit
