#include "findStaticWindow.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "blockedSummation.h"
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
  // Anchored near the window's mean, so that s1 stays near 0: its rounding errors, which grow
  // with |s1| at every update, then stay far below the differences between windows' scores (with
  // the first sample as anchor, s1 is about L times the noise and the bounds of long windows
  // grow wide enough to send thousands of windows to the from-scratch evaluation).
  void recompute(const double* x, int len) {
    double offset = 0.0;
    for (int k = 0; k < len; ++k) offset += x[k] - x[0];
    anchor = x[0] + offset / len;
    if (!std::isfinite(anchor)) anchor = x[0];
    s1 = s2 = e1 = e2 = 0.0;
    updates = 0;
    for (int k = 0; k < len; ++k) {
      add(x[k]);
    }
  }
};

// Per-window-length constants of the score estimate.
struct WindowConstants {
  explicit WindowConstants(int len)
      : n(len),
        invN(1.0 / len),
        invNm1(1.0 / (len - 1.0)),
        c(len / (len - 1.0)),
        sqrtC(std::sqrt(len / (len - 1.0))),
        meanErr((len + 4.0) * kU),
        refRel((2.0 * len + 10.0) * kU) {}
  double n, invN, invNm1, c, sqrtC, meanErr, refRel;
};

// Bound on |mean_ref - true mean| for the from-scratch mean (blocked sum / L) of a window whose
// values lie around `anchor` with sum of squared offsets s2: L u times the mean magnitude, which
// is at most |anchor| + sqrt(s2 / L) <= |anchor| + max(s2 / L, 1).
inline double referenceMeanError(const SlidingSums& s, const WindowConstants& k) {
  const double spread2 = (std::abs(s.s2) + s.e2) * k.invN;
  return k.meanErr * (std::abs(s.anchor) + (spread2 > 1.0 ? spread2 : 1.0));
}

// Standard deviation of one column's window as the sliding sums see it; *error receives a bound on
// its distance from the from-scratch columnStd value (inf or NaN when nothing can be said).
inline double stdEstimate(const SlidingSums& s, const WindowConstants& k, double* error) {
  const double s1sq = s.s1 * s.s1 * k.invN;
  const double v = (s.s2 - s1sq) * k.invNm1;
  const double dv =
      (s.e2 + (2.0 * std::abs(s.s1) + s.e1) * s.e1 * k.invN + 6.0 * kU * (std::abs(s.s2) + s1sq)) *
          k.invNm1 +
      kTinyAbs;
  const double sigma = std::sqrt(v > 0.0 ? v : 0.0);
  // |sigma - true| = |v - true^2| / (sigma + true) <= dv / sigma, and never above sqrt(dv).
  double dsigma;
  double invSigma = 0.0;
  if (sigma * sigma > dv) {
    invSigma = 1.0 / sigma;
    dsigma = dv * invSigma;
  } else {
    dsigma = std::sqrt(dv);
  }
  dsigma += 2.0 * kU * sigma;
  // The from-scratch value is sqrt(true^2 + c delta^2) (1 +- (2L + 10) u), where delta bounds the
  // error of its mean.
  const double delta = referenceMeanError(s, k);
  double meanTerm = k.sqrtC * delta;
  if (invSigma > 0.0 && dsigma <= 0.5 * sigma) {
    meanTerm = std::min(meanTerm, k.c * delta * delta * invSigma);  // c delta^2 / (2 sigma_low)
  }
  *error = dsigma + k.refRel * (sigma + dsigma) + meanTerm + kTinyAbs;
  return sigma;
}

// Largest and smallest value of a over the windows [q, q + len) of one run, for q = q0, q0 + 1, ...
// in turn. The run is cut into blocks of len samples from q0; a window starting in block B covers
// the end of B and the start of B + 1, so its extremes are those of B's suffix from q (computed
// once, when the first window of B is reached and B is complete) and of B + 1's prefix up to the
// window's end (kept as a running value). No comparison depends on the data's order, which
// keeps the loop free of the mispredicted branches a queue of candidates costs on noisy samples.
class SlidingRange {
 public:
  SlidingRange(const double* a, int len)
      : a_(a), len_(len), sufMax_(static_cast<size_t>(len)), sufMin_(static_cast<size_t>(len)) {}
  // Window [q, q + len) of a run whose first window starts at q0 <= q; windows come in order.
  void start(int q0) {
    block_ = q0;
    enterBlock();
  }
  void next(int q) {
    if (q == block_ + len_) {
      block_ = q;
      enterBlock();
      return;
    }
    const double v = a_[q + len_ - 1];
    preMax_ = v > preMax_ ? v : preMax_;
    preMin_ = v < preMin_ ? v : preMin_;
    const size_t k = static_cast<size_t>(q - block_);
    max_ = sufMax_[k] > preMax_ ? sufMax_[k] : preMax_;
    min_ = sufMin_[k] < preMin_ ? sufMin_[k] : preMin_;
  }
  double max() const { return max_; }
  double min() const { return min_; }

 private:
  void enterBlock() {
    const double* b = a_ + block_;
    double hi = b[len_ - 1];
    double lo = hi;
    for (int k = len_ - 1; k >= 0; --k) {
      hi = b[k] > hi ? b[k] : hi;
      lo = b[k] < lo ? b[k] : lo;
      sufMax_[static_cast<size_t>(k)] = hi;
      sufMin_[static_cast<size_t>(k)] = lo;
    }
    preMax_ = -std::numeric_limits<double>::infinity();
    preMin_ = std::numeric_limits<double>::infinity();
    max_ = sufMax_[0];
    min_ = sufMin_[0];
  }

  const double* a_;
  int len_;
  int block_ = 0;
  std::vector<double> sufMax_, sufMin_;
  double preMax_ = 0.0, preMin_ = 0.0, max_ = 0.0, min_ = 0.0;
};

}  // namespace

void findStaticWindowFast(const array<double, 2>& accVectorFiltered, int axis, double level,
                          double tolerancePct, double diffThreshold, double windowWidth,
                          double deltaThresholdWindow, array<unsigned int, 2>& idx) {
  const int n = accVectorFiltered.size(0);
  const double nxd = std::trunc(static_cast<double>(n) - windowWidth);
  if (!(nxd >= 1.0) || !(windowWidth >= 1.0) || std::floor(windowWidth) <= kReferenceMaxWindow) {
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

  // Candidate test of one sample, exactly as the reference evaluates its mask.
  const double t = tolerancePct * 0.01;
  const double bandLow = level - t;
  const double bandHigh = level + t;
  auto candidate = [&](int k) {
    const double step = k == 0 ? 0.0 : std::abs(a[k] - a[k - 1]);
    return step < diffThreshold && a[k] > bandLow && a[k] < bandHigh;
  };

  SlidingRange range(a, len);
  SlidingSums sums[3];
  bool sumsValid[3] = {false, false, false};
  int bad[3] = {0, 0, 0};  // non-finite values per column in the current window
  const WindowConstants constants(len);

  // Windows that may hold the minimum score, in start order. minUpper only falls, so a window
  // whose lower bound is above it can never be the minimum and is dropped.
  struct Candidate {
    int start;
    double lower;  // NaN when the estimate says nothing: always kept
  };
  std::vector<Candidate> candidates;
  double minUpper = std::numeric_limits<double>::infinity();
  std::size_t pruneAt = 64;
  auto prune = [&]() {
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&](const Candidate& c) { return c.lower > minUpper; }),
                     candidates.end());
    pruneAt = 2 * candidates.size() + 64;
  };

  // Windows made only of candidates end where a run of candidate samples reaches len: one pass over
  // the samples finds them, each in turn, so consecutive ones slide from one to the next.
  int run = 0;
  for (int end = 0; end < n; ++end) {
    run = candidate(end) ? run + 1 : 0;
    if (run < len) continue;
    const int q = end - len + 1;
    if (q >= nx) break;
    if (run == len) {
      // First window of the run: build the sliding state.
      range.start(q);
      for (int c = 0; c < 3; ++c) {
        bad[c] = 0;
        for (int i = q; i <= end; ++i) bad[c] += !std::isfinite(col[c][i]);
        sumsValid[c] = false;
      }
    } else {
      const int out = q - 1;
      range.next(q);
      for (int c = 0; c < 3; ++c) {
        const double vout = col[c][out];
        const double vin = col[c][end];
        if (!std::isfinite(vout) || !std::isfinite(vin)) {
          bad[c] += static_cast<int>(!std::isfinite(vin)) - static_cast<int>(!std::isfinite(vout));
          sumsValid[c] = false;
          continue;
        }
        if (!sumsValid[c]) continue;
        SlidingSums& s = sums[c];
        if (s.updates >= len) {
          sumsValid[c] = false;  // re-anchor: bounds the error carried from one start to the next
        } else {
          s.remove(vout);
          s.add(vin);
          ++s.updates;
        }
      }
    }
    for (int c = 0; c < 3; ++c) {
      if (!sumsValid[c] && bad[c] == 0) {
        sums[c].recompute(col[c] + q, len);
        sumsValid[c] = true;
      }
    }

    // Deviation test: the largest |a(k) - mean| is at the window's maximum or minimum.
    const double amax = range.max();
    const double amin = range.min();
    const SlidingSums& sa = sums[j];
    const double mean = sa.anchor + sa.s1 * constants.invN;
    const double meanError = sa.e1 * constants.invN +
                             4.0 * kU * (std::abs(sa.anchor) + std::abs(mean)) +
                             referenceMeanError(sa, constants);
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

    // Score estimate and a lower bound on the from-scratch score. A window can only be chosen if
    // its lower bound is below 1.0 and below every window's upper bound; those are kept.
    double estimate = 0.0;
    double error = 0.0;
    for (int c = 0; c < 3; ++c) {
      double e;
      estimate += stdEstimate(sums[c], constants, &e);
      error += e;
    }
    error = 2.0 * (error + 3.0 * kU * estimate);
    const double upper = estimate + error;
    const double lower = estimate - error;
    if (upper < minUpper) {
      minUpper = upper;
    }
    if (!(lower >= 1.0) && !(lower > minUpper)) {
      candidates.push_back(Candidate{q, lower});
      if (candidates.size() >= pruneAt) {
        prune();
      }
    }
  }
  prune();

  // From-scratch scores for the windows that might be the earliest minimum, the smallest lower
  // bound first (windows that say nothing, NaN, before all): each evaluation costs O(len), and
  // once the most promising window is known only those whose bound lies below its score remain.
  // In start order a score that falls along a long rest would make every window a new best.
  // The result is the same: the smallest score below 1.0, the earliest start among equals.
  auto key = [](const Candidate& c) {
    return std::isnan(c.lower) ? -std::numeric_limits<double>::infinity() : c.lower;
  };
  std::stable_sort(candidates.begin(), candidates.end(),
                   [&](const Candidate& x, const Candidate& y) { return key(x) < key(y); });
  double best = 1.0;
  int bestStart = -1;
  for (const Candidate& cand : candidates) {
    if (cand.lower > best) {
      break;  // this bound and every later one: no score at or below the best
    }
    const int start = cand.start;
    const double score = (columnStd(col[0] + start, len) + columnStd(col[1] + start, len)) +
                         columnStd(col[2] + start, len);
    if (score < best || (score == best && bestStart >= 0 && start < bestStart)) {
      best = score;
      bestStart = start;
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
