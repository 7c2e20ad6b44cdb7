#include "findStaticWindowFast.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "blockedSummation.h"
#include "findStaticWindow.h"
#include "std.h"

namespace coder {
namespace {

// Unit roundoff with a little room for the first-order error analysis below.
constexpr double kU = 1.0000001 * 1.1102230246251565e-16;
// Slack for subnormal results flushed to zero.
constexpr double kTinyAbs = 1e-290;
constexpr int kReferenceMaxWindow = 16;

// Sums of y = x - anchor and y^2 over the current window of one column, with bounds e1, e2 on
// their absolute rounding errors (accumulated op by op).
struct SlidingSums {
  double anchor = 0.0;
  double s1 = 0.0;
  double s2 = 0.0;
  double e1 = 0.0;
  double e2 = 0.0;
  int updates = 0;  // incremental updates since the last recomputation

  void add(double x) {
    const double t = x - anchor;
    const double t2 = t * t;
    s1 += t;
    s2 += t2;
    e1 += kU * (std::abs(s1) + std::abs(t));
    e2 += kU * (std::abs(s2) + 3.0 * t2);
  }
  void remove(double x) {
    const double t = x - anchor;
    const double t2 = t * t;
    s1 -= t;
    s2 -= t2;
    e1 += kU * (std::abs(s1) + std::abs(t));
    e2 += kU * (std::abs(s2) + 3.0 * t2);
  }
  void recompute(const double* x, int len) {
    anchor = x[0];
    s1 = s2 = e1 = e2 = 0.0;
    updates = 0;
    for (int k = 0; k < len; ++k) {
      add(x[k]);
    }
  }
};

// Bound on |mean_ref - true mean| for the from-scratch mean (blocked sum / L) of a window whose
// values lie around `anchor` with sum of squared offsets s2.
double referenceMeanError(const SlidingSums& s, int len) {
  const double spread = std::sqrt((std::abs(s.s2) + s.e2) / len);
  return (len + 4.0) * kU * (std::abs(s.anchor) + spread);
}

struct Estimate {
  double value;
  double error;  // |value - reference| <= error; may be inf or NaN when nothing can be said
};

// Standard deviation of one column's window as the sliding sums see it, with a bound on its
// distance from the from-scratch columnStd value.
Estimate stdEstimate(const SlidingSums& s, int len) {
  const double n = len;
  const double v = (s.s2 - s.s1 * s.s1 / n) / (n - 1.0);
  const double dv = (s.e2 + (2.0 * std::abs(s.s1) + s.e1) * s.e1 / n +
                     4.0 * kU * (std::abs(s.s2) + s.s1 * s.s1 / n)) /
                        (n - 1.0) +
                    kTinyAbs;
  const double sigma = std::sqrt(std::max(v, 0.0));
  double dsigma = std::sqrt(dv);
  if (sigma > 0.0) {
    dsigma = std::min(dsigma, dv / sigma);
  }
  dsigma += 2.0 * kU * sigma;
  // The from-scratch value: sqrt(sigma^2 + c delta^2) (1 +- (2L + 10) u), delta its mean's error.
  const double delta = referenceMeanError(s, len);
  const double c = n / (n - 1.0);
  const double sigmaLow = std::max(sigma - dsigma, 0.0);
  double meanTerm = std::sqrt(c) * delta;
  if (sigmaLow > 0.0) {
    meanTerm = std::min(meanTerm, c * delta * delta / (2.0 * sigmaLow));
  }
  const double error = dsigma + (2.0 * n + 10.0) * kU * (sigma + dsigma) + meanTerm + kTinyAbs;
  return {sigma, error};
}

// Sliding maximum (or minimum) of a over windows [q, q + len), as a ring of candidate indices;
// it holds at most len of them, so expire before each push.
class SlidingExtreme {
 public:
  SlidingExtreme(const double* a, int len, bool max)
      : a_(a), ring_(static_cast<size_t>(len) + 1), max_(max) {}
  void reset() { head_ = tail_ = 0; }
  void push(int k) {
    const double v = a_[k];
    while (head_ != tail_ && dominated(a_[ring_[back()]], v)) {
      tail_ = tail_ == 0 ? ring_.size() - 1 : tail_ - 1;
    }
    ring_[tail_] = k;
    tail_ = next(tail_);
  }
  // Drops indices before q.
  void expire(int q) {
    while (head_ != tail_ && ring_[head_] < q) {
      head_ = next(head_);
    }
  }
  double front() const { return a_[ring_[head_]]; }

 private:
  bool dominated(double old, double v) const { return max_ ? old <= v : old >= v; }
  size_t next(size_t i) const { return i + 1 == ring_.size() ? 0 : i + 1; }
  size_t back() const { return tail_ == 0 ? ring_.size() - 1 : tail_ - 1; }

  const double* a_;
  std::vector<int> ring_;
  size_t head_ = 0;
  size_t tail_ = 0;
  bool max_;
};

}  // namespace

void findStaticWindowFast(const array<double, 2>& accVectorFiltered, int axis, double level,
                          double tolerancePct, double diffThreshold, double windowWidth,
                          double deltaThresholdWindow, array<unsigned int, 2>& idx) {
  const int n = accVectorFiltered.size(0);
  const double nxd = std::trunc(static_cast<double>(n) - windowWidth);
  if (!(nxd >= 1.0) || !(windowWidth >= 1.0) ||
      std::floor(windowWidth) <= kReferenceMaxWindow) {
    findStaticWindow(accVectorFiltered, axis, level, tolerancePct, diffThreshold, windowWidth,
                     deltaThresholdWindow, idx);
    return;
  }
  idx.set_size(1, 1);
  idx[0] = 1U;
  // Every window holds at least one sample, whose deviation must be below the threshold.
  if (!(deltaThresholdWindow > 0.0)) {
    return;
  }
  const int nx = static_cast<int>(nxd);
  const int len = static_cast<int>(std::floor(windowWidth));
  const int j = axis - 1;
  const double* col[3] = {accVectorFiltered.data(), accVectorFiltered.data() + n,
                          accVectorFiltered.data() + 2 * static_cast<long>(n)};
  const double* a = col[j];

  // Candidate mask, evaluated exactly as the reference does.
  const double t = tolerancePct * 0.01;
  const double bandLow = level - t;
  const double bandHigh = level + t;
  std::vector<std::uint8_t> mask(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k) {
    const double step = k == 0 ? 0.0 : std::abs(a[k] - a[k - 1]);
    mask[static_cast<size_t>(k)] = step < diffThreshold && a[k] > bandLow && a[k] < bandHigh;
  }
  auto nonFinite = [&](int c, int k) { return !std::isfinite(col[c][k]); };

  int candidates = 0;        // mask count over the current window
  int bad[3] = {0, 0, 0};    // non-finite values per column over the current window
  for (int k = 0; k < len; ++k) {
    candidates += mask[static_cast<size_t>(k)];
    for (int c = 0; c < 3; ++c) bad[c] += nonFinite(c, k);
  }

  SlidingExtreme hi(a, len, true);
  SlidingExtreme lo(a, len, false);
  SlidingSums sums[3];
  bool sumsValid[3] = {false, false, false};
  bool inRun = false;  // the previous start passed the mask, so the sliding state is current
  double best = 1.0;
  int bestStart = -1;

  for (int q = 0; q < nx; ++q) {
    if (q > 0) {
      const int out = q - 1;
      const int in = q + len - 1;
      candidates += mask[static_cast<size_t>(in)] - mask[static_cast<size_t>(out)];
      for (int c = 0; c < 3; ++c) {
        const bool outBad = nonFinite(c, out);
        const bool inBad = nonFinite(c, in);
        bad[c] += static_cast<int>(inBad) - static_cast<int>(outBad);
        if (outBad || inBad) sumsValid[c] = false;
      }
      if (inRun && candidates == len) {
        hi.expire(q);
        lo.expire(q);
        hi.push(in);
        lo.push(in);
        for (int c = 0; c < 3; ++c) {
          if (!sumsValid[c]) continue;
          SlidingSums& s = sums[c];
          if (s.updates >= len) {
            sumsValid[c] = false;  // re-anchor: bounds the error carried from one start to the next
          } else {
            s.remove(col[c][out]);
            s.add(col[c][in]);
            ++s.updates;
          }
        }
      }
    }
    if (candidates != len) {
      inRun = false;
      continue;
    }
    if (!inRun) {
      hi.reset();
      lo.reset();
      for (int k = q; k < q + len; ++k) {
        hi.push(k);
        lo.push(k);
      }
      for (bool& v : sumsValid) v = false;
      inRun = true;
    }
    for (int c = 0; c < 3; ++c) {
      if (!sumsValid[c] && bad[c] == 0) {
        sums[c].recompute(col[c] + q, len);
        sumsValid[c] = true;
      }
    }

    // Deviation test: the largest |a(k) - mean| is at the window's maximum or minimum.
    const double amax = hi.front();
    const double amin = lo.front();
    const SlidingSums& sa = sums[j];
    const double mean = sa.anchor + sa.s1 / len;
    const double meanError = sa.e1 / len + 2.0 * kU * std::abs(mean) + referenceMeanError(sa, len);
    const double dev = std::max(amax - mean, mean - amin);
    const double slack = 1.01 * meanError + 2.0 * kU * (std::abs(dev) + meanError) + kTinyAbs;
    bool pass;
    if (dev + slack < deltaThresholdWindow) {
      pass = true;
    } else if (dev - slack >= deltaThresholdWindow) {
      pass = false;
    } else {
      const double exactMean = blockedSummation(a + q, len) / static_cast<double>(len);
      pass = std::abs(amax - exactMean) < deltaThresholdWindow &&
             std::abs(amin - exactMean) < deltaThresholdWindow;
    }
    if (!pass || bad[0] + bad[1] + bad[2] > 0) {
      continue;  // a non-finite value makes the score NaN, which never wins
    }

    // Score: only a window that might beat the best so far is evaluated from scratch.
    double estimate = 0.0;
    double error = 0.0;
    for (int c = 0; c < 3; ++c) {
      const Estimate e = stdEstimate(sums[c], len);
      estimate += e.value;
      error += e.error;
    }
    error = 2.0 * (error + 3.0 * kU * estimate);
    const double lowerBound = estimate - error;
    if (lowerBound >= best) {
      continue;
    }
    const double score =
        (columnStd(col[0] + q, len) + columnStd(col[1] + q, len)) + columnStd(col[2] + q, len);
    if (score < best) {
      best = score;
      bestStart = q;
    }
  }

  if (bestStart >= 0) {
    idx.set_size(1, len);
    for (int k = 0; k < len; ++k) {
      idx[k] = static_cast<unsigned int>(bestStart + 1 + k);
    }
  }
}

}  // namespace coder
