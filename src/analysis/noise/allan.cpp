// Estimator. The samples y_0 .. y_{N-1} of one segment, taken every tau0, have the phase (their
// running sum) x_0 = 0, x_{k+1} = x_k + y_k. At averaging factor m (tau = m tau0) the second
// difference
//
//     D_i(m) = x_{i+2m} - 2 x_{i+m} + x_i = m (mean of y over [i+m, i+2m) - mean over [i, i+m))
//
// gives the overlapping Allan variance
//
//     avar(tau) = sum_i D_i(m)^2 / (2 m^2 n),   i = 0 .. N - 2m,   n = N - 2m + 1 terms,
//
// the fully overlapping estimator (every start i). Segments (still stretches between moves) are
// pooled: the sums and the term counts of every segment are added, and no D spans a break.
//
// Long averaging times from pre-averaged blocks. Every start costs one term per sample for each
// m; for m >= 2R (R = blockRatio) only the starts i = j b, b = 2^L, are taken, with m rounded to
// M b, M in [R, 2R]: D_{jb}(m) = X_{j+2M} - 2 X_{j+M} + X_j from the phase X_j = x_{jb} at the
// block boundaries. Each term has the expectation of any other for stationary noise, so the
// estimate stays unbiased; it drops starts that lie within b of a kept one and are nearly the same
// term. What it changes: a term sum of the blocks' starts differs from the full sum by a
// random amount of relative size about 2 b / sqrt(m N) = 2 sqrt(m) / (M sqrt(N)) in variance,
// largest at the longest m; with R = 128 that is under 0.3 % of the deviation at m = N / 10 for
// N = 10^6, against the 1 % it must stay within. Work per sample: one term for each exact factor
// (about 20 with the defaults) plus about 3 for all block levels together, since level L costs
// 1 / 2^L of a term per factor.
//
// Numerics. The running sum is of y - y_first (the segment's first sample) in double precision,
// re-based on every pass, so that a large constant (gravity in raw counts) or a long segment does
// not cost the second differences their digits. The sums of squares run in single precision, four
// terms to an SSE instruction, on the phase less the straight line through the ends of the pass's
// buffer (a line has no second difference): what is left is the noise's own wander over a few
// thousand samples, which single precision holds to parts in 10^6 of the differences; each pass's
// sum goes into a double. Every build does the same operations in the same order, so that a curve
// does not depend on the machine.
//
// Intervals. avar is taken to be chi-square distributed with edf degrees of freedom:
//
//     avar edf / chi2_{(1+c)/2}(edf) <= sigma^2 <= avar edf / chi2_{(1-c)/2}(edf),
//
// edf from the approximations of Howe, Allan and Barnes (1981) for the overlapping estimator, as
// tabulated in Riley's Handbook of Frequency Stability Analysis (NIST, 2008), with N phase points
// (N = samples + 1):
//
//     white phase  (avar ~ tau^-2):  (N + 1)(N - 2m) / (2 (N - m))
//     white rate   (tau^-1):         (3 (N - 1) / (2m) - 2 (N - 2) / N) 4 m^2 / (4 m^2 + 5)
//     flicker rate (tau^0):          m = 1: 2 (N - 2) / (2.3 N - 4.9)
//                                    m >= 2: 5 N^2 / (4 m (N + 3m))
//     random walk  (tau^+1):         (N - 2) / m ((N - 1)^2 - 3 m (N - 1) + 4 m^2) / (N - 3)^2
//
// They are closed forms, where Greenhall's exact computation needs the noise to be one pure power
// law and costs a sum over m; an interval needs no more than their accuracy (an EDF off by 10 %
// moves the upper bound of a 95 % interval of the deviation by about 3 % at an EDF of 10, less
// beyond). The noise type is the one of the curve's own local slope. The estimate from blocks is
// given the EDF of the full estimator it approximates (it has a little less). Segments are pooled
// by Satterthwaite's rule: with w_s = n_s / n the share of the terms of segment s,
// edf = 1 / sum_s (w_s^2 / edf_s).
#include "allan.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "chiSquare.h"

namespace tiltfit {
namespace analysis {
namespace noise {
namespace {

// New points per pass over the factors of a level, and the most a level keeps between passes
// (twice its largest factor in points, with blockRatio up to kMaxRatio).
constexpr std::size_t kChunk = 2048;
constexpr int kMaxRatio = 1024;
constexpr std::size_t kBuffer = kChunk + 4 * kMaxRatio + 1;
constexpr int kMaxLevel = 48;  // blocks of up to 2^48 samples: past any recording

// Sum of D_i(m)^2 over i in [first, end), x the phase. The same operations in the same order in
// every build, so that the curve does not depend on the machine: 32 independent sums, which the
// compiler keeps in vector registers, enough additions in flight to hide their latency.
double secondDifferenceSquares(const float* x, std::size_t first, std::size_t end, std::size_t m) {
  constexpr std::size_t kLanes = 32;
  const float* a = x;
  const float* b = x + m;
  const float* c = x + 2 * m;
  float s[kLanes] = {};
  std::size_t i = first;
  for (; i + kLanes <= end; i += kLanes) {
    for (std::size_t w = 0; w < kLanes; ++w) {
      const float d = (c[i + w] - b[i + w]) - (b[i + w] - a[i + w]);
      s[w] += d * d;
    }
  }
  double total = 0.0;
  for (std::size_t w = 0; w < kLanes; ++w) total += static_cast<double>(s[w]);
  for (; i < end; ++i) {
    const double d = (static_cast<double>(c[i]) - b[i]) - (static_cast<double>(b[i]) - a[i]);
    total += d * d;
  }
  return total;
}

// Readings beyond this, in any unit, are no sensor's: their phase and squares would overflow a
// double. Like non-finite ones, they end the segment.
constexpr double kLargestReading = 1e100;

bool usable(double v) { return std::abs(v) <= kLargestReading; }  // false for NaN

// Whether y[0 .. n) are all usable: y - y is 0 for finite values and NaN for the others, and
// eight lanes of it and of the largest magnitude need no branch per sample.
bool allUsable(const double* y, std::size_t n) {
  double lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  double largest[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (std::size_t w = 0; w < 8; ++w) {
      lanes[w] += y[i + w] - y[i + w];
      largest[w] = std::max(largest[w], std::abs(y[i + w]));
    }
  double sum = 0.0, most = 0.0;
  for (; i < n; ++i) {
    sum += y[i] - y[i];
    most = std::max(most, std::abs(y[i]));
  }
  for (std::size_t w = 0; w < 8; ++w) {
    sum += lanes[w];
    most = std::max(most, largest[w]);
  }
  return sum == 0.0 && most <= kLargestReading;
}

// x[k] += x[k - 1] for k in [first, end): the increments become the running sum. Four samples a
// step, one addition into the running phase per four instead of one per sample, whose latency
// would bound the loop; the steps start at `first`, so the sums depend on the passes alone.
void runningSum(double* x, std::size_t first, std::size_t end) {
  double phase = x[first - 1];
  std::size_t k = first;
  for (; k + 4 <= end; k += 4) {
    const double d0 = x[k], d1 = x[k + 1], d2 = x[k + 2], d3 = x[k + 3];
    const double s01 = d0 + d1;
    x[k] = phase + d0;
    x[k + 1] = phase + s01;
    x[k + 2] = phase + (s01 + d2);
    phase += s01 + (d2 + d3);
    x[k + 3] = phase;
  }
  for (; k < end; ++k) {
    phase += x[k];
    x[k] = phase;
  }
}

// 0, 1, 2, ...: the sample numbers of a buffer as doubles, read where converting each index would
// cost more than the rest of the loop.
const double* ramp(std::size_t n) {
  static const std::vector<double> table = [] {
    std::vector<double> t(kBuffer);
    for (std::size_t k = 0; k < t.size(); ++k) t[k] = static_cast<double>(k);
    return t;
  }();
  return n <= table.size() ? table.data() : nullptr;
}

// out[k] = x[k] - (x0 + rise k) in single precision, for k < n.
void lessLine(const double* x, std::size_t n, double x0, double rise, float* out) {
  const double* k = ramp(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>((x[i] - x0) - rise * k[i]);
}

double edfWhitePhase(double N, double m) { return (N + 1.0) * (N - 2.0 * m) / (2.0 * (N - m)); }
double edfWhiteRate(double N, double m) {
  return (3.0 * (N - 1.0) / (2.0 * m) - 2.0 * (N - 2.0) / N) * 4.0 * m * m / (4.0 * m * m + 5.0);
}
double edfFlickerRate(double N, double m) {
  if (m < 1.5) return 2.0 * (N - 2.0) / (2.3 * N - 4.9);
  return 5.0 * N * N / (4.0 * m * (N + 3.0 * m));
}
double edfRandomWalk(double N, double m) {
  return (N - 2.0) / m * ((N - 1.0) * (N - 1.0) - 3.0 * m * (N - 1.0) + 4.0 * m * m) /
         ((N - 3.0) * (N - 3.0));
}

double edfOfType(int type, double N, double m) {
  double e = 0.0;
  switch (type) {
    case 0:
      e = edfWhitePhase(N, m);
      break;
    case 1:
      e = edfWhiteRate(N, m);
      break;
    case 2:
      e = edfFlickerRate(N, m);
      break;
    default:
      e = edfRandomWalk(N, m);
      break;
  }
  // The approximations lose their meaning for a handful of terms; a chi-square interval needs at
  // least one degree of freedom.
  return std::isfinite(e) ? std::max(e, 1.0) : 1.0;
}

// Least-squares slope of log avar against log tau over the points within a third of a decade.
// Slopes below -1 (white phase noise, quantisation) are kept only in the run of points from the
// shortest tau where every point has one: phase noise falls faster than any other and can only
// lead at the short end, so a steep stretch further on is the scatter of the curve, and reading
// it as phase noise would take its huge EDF and give it too narrow an interval.
std::vector<double> localSlopes(const std::vector<AllanPoint>& p) {
  std::vector<double> slope(p.size(), -1.0);
  for (std::size_t i = 0; i < p.size(); ++i) {
    const double li = std::log10(p[i].tau);
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int n = 0;
    for (std::size_t j = 0; j < p.size(); ++j) {
      const double lj = std::log10(p[j].tau);
      if (std::abs(lj - li) > 0.34 || !(p[j].avar > 0.0)) continue;
      const double v = std::log10(p[j].avar);
      sx += lj;
      sy += v;
      sxx += lj * lj;
      sxy += lj * v;
      ++n;
    }
    const double det = n * sxx - sx * sx;
    if (n >= 2 && det > 0.0) slope[i] = (n * sxy - sx * sy) / det;
  }
  bool leading = true;
  for (double& s : slope) {
    leading = leading && s < -1.0;
    if (!leading) s = std::max(s, -1.0);
  }
  return slope;
}

}  // namespace

double overlappingEdf(double slope, std::uint64_t samples, std::uint64_t m) {
  if (m == 0 || samples < 2 * m) return 0.0;
  const double N = static_cast<double>(samples) + 1.0;
  const double mm = static_cast<double>(m);
  // Types 0..3 at slopes -2, -1, 0, +1.
  // A slope that is no number (a curve of zeros, whose logarithm has none) is taken for white
  // rate noise rather than cast to an integer.
  const double t = std::isnan(slope) ? 1.0 : std::clamp(slope + 2.0, 0.0, 3.0);
  const int below = std::min(static_cast<int>(std::floor(t)), 2);
  const double f = t - below;
  const double a = std::log(edfOfType(below, N, mm));
  const double b = std::log(edfOfType(below + 1, N, mm));
  return std::max(1.0, std::exp(a + f * (b - a)));
}

AllanAccumulator::AllanAccumulator(double period, const AllanOptions& options)
    : period_(period), options_(options) {
  if (!(period > 0.0) || !std::isfinite(period))
    throw std::invalid_argument("the sample period must be positive and finite");
  if (options.pointsPerDecade < 8)
    throw std::invalid_argument("an Allan deviation needs at least 8 points per decade");
  if (options.blockRatio < 16 || options.blockRatio > kMaxRatio)
    throw std::invalid_argument("blockRatio must lie in [16, 1024]");
  if (!(options.longestShare > 0.0 && options.longestShare <= 0.5))
    throw std::invalid_argument("longestShare must lie in (0, 0.5]");

  const std::uint64_t R = static_cast<std::uint64_t>(options.blockRatio);
  std::uint64_t previous = 0;
  for (int k = 0;; ++k) {
    const double target = std::pow(10.0, static_cast<double>(k) / options.pointsPerDecade);
    if (target > std::ldexp(static_cast<double>(R), kMaxLevel)) break;
    const std::uint64_t m =
        std::max(previous + 1, static_cast<std::uint64_t>(std::llround(target)));
    Tau tau{m, m, 0};
    if (m >= 2 * R) {
      int level = 0;
      while ((R << (level + 1)) <= m) ++level;  // R 2^level <= m < R 2^(level+1)
      const std::uint64_t block = std::uint64_t{1} << level;
      const std::uint64_t M = (m + block / 2) / block;
      tau = Tau{M * block, M, level};
      if (tau.m <= previous) continue;
    }
    taus_.push_back(tau);
    previous = tau.m;
  }
  levels_.resize(static_cast<std::size_t>(taus_.back().level) + 1);
  for (std::size_t L = 0; L < levels_.size(); ++L) levels_[L].stride = std::uint64_t{1} << L;
  for (std::size_t t = 0; t < taus_.size(); ++t) {
    Level& level = levels_[static_cast<std::size_t>(taus_[t].level)];
    if (level.endTau == 0) level.firstTau = t;
    level.endTau = t + 1;
    level.span = std::max(level.span, static_cast<std::size_t>(2 * taus_[t].points));
  }
  for (Level& level : levels_) level.span = std::max<std::size_t>(level.span, 1);
  levels_[0].x.resize(levels_[0].span + kChunk + 1);
}

void AllanAccumulator::startSegment(double y) {
  open_ = true;
  ref_ = y;
  segmentSamples_ = 0;
  for (Level& level : levels_) {
    if (!level.x.empty()) level.x[0] = 0.0;  // point 0: the segment's start, phase 0
    level.fill = 1;
    level.base = 0;
    level.done = 0;
    level.offset = 0.0;
  }
}

void AllanAccumulator::add(double y) { add(&y, 1); }

void AllanAccumulator::add(const double* y, std::size_t n) {
  Level& exact = levels_[0];
  std::size_t k = 0;
  while (k < n) {
    if (!usable(y[k])) {
      breakSegment();
      ++k;
      continue;
    }
    if (!open_) startSegment(y[k]);
    // As many samples as the buffer takes before its next pass, as y - ref; the pass turns them
    // into the phase, so that how the samples were handed in does not change a bit of it.
    std::size_t count = std::min(n - k, exact.x.size() - exact.fill);
    double* x = exact.x.data() + exact.fill;
    const double* from = y + k;
    const double ref = ref_;
    for (std::size_t j = 0; j < count; ++j) x[j] = from[j] - ref;
    if (!allUsable(from, count)) {
      count = 0;
      while (usable(from[count])) ++count;  // the segment ends before the first such one
    }
    exact.fill += count;
    segmentSamples_ += count;
    samples_ += count;
    k += count;
    if (exact.fill == exact.x.size()) process(0);
  }
}

void AllanAccumulator::process(std::size_t L) {
  Level& level = levels_[L];
  if (!open_ || level.x.empty()) return;
  const std::uint64_t end = level.base + level.fill;  // points of the segment so far
  if (end == level.done) return;
  if (L == 0) {
    // The samples since the last pass become the phase (point 0 of a segment is its start).
    const std::size_t first =
        std::max<std::size_t>(static_cast<std::size_t>(level.done - level.base), 1);
    runningSum(level.x.data(), first, level.fill);
  }
  // The points in single precision for the sums, less the line through the first and the last:
  // a line in the phase (a constant rate) has no second difference, and without it the points
  // stay within the noise's own wander over the buffer, a few hundred times the second
  // differences at most, where single precision still holds them to a few parts in 10^5.
  const std::size_t n = level.fill;
  if (scratch_.size() < n) scratch_.resize(level.x.size());
  const double x0 = level.x[0];
  const double rise = n > 1 ? (level.x[n - 1] - x0) / static_cast<double>(n - 1) : 0.0;
  lessLine(level.x.data(), n, x0, rise, scratch_.data());
  // Every term whose last point arrived since the last pass.
  for (std::size_t t = level.firstTau; t < level.endTau; ++t) {
    Tau& tau = taus_[t];
    const std::uint64_t twoM = 2 * tau.points;
    if (end <= twoM) break;
    const std::uint64_t first = level.done > twoM ? level.done - twoM : 0;
    const std::uint64_t last = end - twoM;  // exclusive
    tau.sum += secondDifferenceSquares(
        scratch_.data(), static_cast<std::size_t>(first - level.base),
        static_cast<std::size_t>(last - level.base), static_cast<std::size_t>(tau.points));
    tau.terms += last - first;
  }
  // The points on the block boundaries of the next level (every other point of this one).
  if (L + 1 < levels_.size()) {
    Level& next = levels_[L + 1];
    std::uint64_t g = std::max<std::uint64_t>(level.done, 1);
    g += g & 1;
    // A level's buffer is made when its first block boundary after the start arrives, so that a
    // short segment does not make all of them.
    if (g < end && next.x.empty()) next.x.assign(next.span + kChunk + 1, 0.0);  // point 0: phase 0
    while (g < end) {
      const std::size_t room = next.x.size() - next.fill;
      const std::size_t count =
          std::min<std::size_t>(room, static_cast<std::size_t>((end - g + 1) / 2));
      const double shift = level.offset - next.offset;
      const double* from = level.x.data() + (g - level.base);
      double* to = next.x.data() + next.fill;
      for (std::size_t k = 0; k < count; ++k) to[k] = from[2 * k] + shift;
      next.fill += count;
      g += 2 * count;
      if (next.fill == next.x.size()) process(L + 1);
    }
  }
  level.done = end;
  // Keep the points the factors still need, re-based.
  const std::size_t keep = std::min(level.fill, level.span);
  const std::size_t from = level.fill - keep;
  const double shift = level.x[from];
  for (std::size_t k = 0; k < keep; ++k) level.x[k] = level.x[from + k] - shift;
  level.offset += shift;
  level.base += from;
  level.fill = keep;
}

void AllanAccumulator::breakSegment() {
  if (!open_) return;
  // Each level hands its last points to the next before that one is processed.
  for (std::size_t L = 0; L < levels_.size(); ++L) process(L);
  if (segmentSamples_ > 0) segments_.push_back(segmentSamples_);
  open_ = false;
  segmentSamples_ = 0;
}

AllanCurve AllanAccumulator::curve(double confidence) const {
  if (!(confidence > 0.0 && confidence < 1.0))
    throw std::invalid_argument("the confidence level must lie in (0, 1)");
  AllanAccumulator done(*this);
  done.breakSegment();

  AllanCurve c;
  c.period = period_;
  c.samples = samples_;
  c.segments = done.segments_.size();
  c.confidence = confidence;
  for (std::uint64_t s : done.segments_) c.longestSegment = std::max(c.longestSegment, s);
  const double longest = options_.longestShare * static_cast<double>(samples_);
  std::vector<const Tau*> used;
  for (const Tau& tau : done.taus_) {
    if (static_cast<double>(tau.m) > longest) break;
    if (tau.terms == 0) continue;
    AllanPoint p;
    p.m = tau.m;
    p.tau = static_cast<double>(tau.m) * period_;
    const double m = static_cast<double>(tau.m);
    p.avar = tau.sum / (2.0 * m * m * static_cast<double>(tau.terms));
    p.adev = std::sqrt(p.avar);
    p.terms = tau.terms;
    p.exact = tau.level == 0;
    c.points.push_back(p);
    used.push_back(&tau);
  }
  const std::vector<double> slope = localSlopes(c.points);
  const double upper = 0.5 * (1.0 + confidence), lower = 0.5 * (1.0 - confidence);
  for (std::size_t i = 0; i < c.points.size(); ++i) {
    AllanPoint& p = c.points[i];
    const Tau& tau = *used[i];
    p.slope = slope[i];
    // Satterthwaite over the segments, each weighted by its share of the terms.
    double inverse = 0.0;
    const double n = static_cast<double>(tau.terms);
    for (std::uint64_t s : done.segments_) {
      std::uint64_t ns = 0;
      const std::uint64_t points = (s >> tau.level) + 1;  // of the segment at the level
      if (points > 2 * tau.points) ns = points - 2 * tau.points;
      if (ns == 0) continue;
      const double w = static_cast<double>(ns) / n;
      inverse += w * w / overlappingEdf(p.slope, s, tau.m);
    }
    p.edf = inverse > 0.0 ? 1.0 / inverse : 1.0;
    p.lo = std::sqrt(p.avar * p.edf / chiSquareQuantile(upper, p.edf));
    p.hi = std::sqrt(p.avar * p.edf / chiSquareQuantile(lower, p.edf));
  }
  return c;
}

std::size_t AllanAccumulator::memoryBytes() const {
  std::size_t bytes = sizeof(*this) + taus_.capacity() * sizeof(Tau) +
                      levels_.capacity() * sizeof(Level) +
                      segments_.capacity() * sizeof(std::uint64_t);
  for (const Level& level : levels_) bytes += level.x.capacity() * sizeof(double);
  return bytes;
}

}  // namespace noise
}  // namespace analysis
}  // namespace tiltfit
