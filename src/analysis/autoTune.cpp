#include "autoTune.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tiltfit {
namespace analysis {
namespace {

double norm3(const double v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// Radius and centre of the sphere through the stretch means, by linear least squares on
// |m|^2 = 2 c.m + (R^2 - |c|^2). Returns false when the means do not span three dimensions.
bool fitSphere(const std::vector<StillStretch>& stretches, double& radius, double centre[3]) {
  if (stretches.size() < 4) return false;
  // Relative to the first mean, so that counts with a large zero stay well conditioned.
  const double* o = stretches[0].mean;
  Eigen::MatrixXd A(static_cast<Eigen::Index>(stretches.size()), 4);
  Eigen::VectorXd b(static_cast<Eigen::Index>(stretches.size()));
  for (std::size_t s = 0; s < stretches.size(); ++s) {
    const Eigen::Index r = static_cast<Eigen::Index>(s);
    double d[3];
    for (int j = 0; j < 3; ++j) d[j] = stretches[s].mean[j] - o[j];
    A(r, 0) = 2 * d[0];
    A(r, 1) = 2 * d[1];
    A(r, 2) = 2 * d[2];
    A(r, 3) = 1.0;
    b[r] = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
  }
  Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(A);
  if (qr.rank() < 4) return false;
  const Eigen::Vector4d p = qr.solve(b);
  const double r2 = p[3] + p.head<3>().squaredNorm();
  if (!(r2 > 0.0)) return false;
  radius = std::sqrt(r2);
  for (int j = 0; j < 3; ++j) centre[j] = p[j] + o[j];
  return std::isfinite(radius);
}

double medianMagnitude(const std::vector<StillStretch>& stretches) {
  std::vector<double> m;
  for (const StillStretch& s : stretches) m.push_back(norm3(s.mean));
  if (m.empty()) return 1.0;
  std::nth_element(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(m.size() / 2), m.end());
  return m[m.size() / 2];
}

// The power of two within 10 % of v, else v.
double snapScale(double v) {
  const double p = std::exp2(std::round(std::log2(v)));
  return std::abs(v - p) <= 0.1 * p ? p : v;
}

InputScale countsFrom(double radius, const double centre[3]) {
  InputScale s;
  s.perG = snapScale(radius);
  const double c = (centre[0] + centre[1] + centre[2]) / 3.0;
  // An ADC's zero: 0 for signed output, half its range (a power of two) for unsigned.
  double zero = 0.0;
  if (std::abs(c) > 0.25 * s.perG) {
    const double p = std::exp2(std::round(std::log2(std::abs(c))));
    zero = std::abs(std::abs(c) - p) <= 0.25 * s.perG ? std::copysign(p, c) : std::round(c);
  }
  s.zero = zero;
  return s;
}

constexpr std::size_t kMaxWindow = 5000;

// v rounded up to two significant digits, so that the numbers read well on a command line.
double roundUp(double v) {
  if (!(v > 0.0) || !std::isfinite(v)) return v;
  const double unit = std::pow(10.0, std::floor(std::log10(v)) - 1.0);
  // Through text, so that the result is the double nearest to its two-digit form.
  char text[32];
  std::snprintf(text, sizeof text, "%.2g", std::ceil(v / unit - 1e-9) * unit);
  return std::strtod(text, nullptr);
}

}  // namespace

const char* unitsName(Units u) {
  switch (u) {
    case Units::kMs2:
      return "ms2";
    case Units::kCounts:
      return "counts";
    default:
      return "g";
  }
}

UnitsGuess detectUnits(const std::vector<StillStretch>& stretches) {
  UnitsGuess g;
  double radius = 0.0;
  double centre[3] = {0.0, 0.0, 0.0};
  if (!fitSphere(stretches, radius, centre)) radius = medianMagnitude(stretches);
  const double shift = norm3(centre);
  if (radius > 0.5 && radius < 2.0 && shift < 0.5) return g;
  if (radius > 5.0 && radius < 20.0 && shift < 5.0) {
    g.units = Units::kMs2;
    g.scale.perG = 9.81;
    return g;
  }
  g.units = Units::kCounts;
  g.scale = countsFrom(radius, centre);
  return g;
}

InputScale countsScale(const std::vector<StillStretch>& stretches) {
  double radius = 0.0;
  double centre[3] = {0.0, 0.0, 0.0};
  if (!fitSphere(stretches, radius, centre)) radius = medianMagnitude(stretches);
  if (!(radius > 0.0) || !std::isfinite(radius)) radius = 1.0;
  return countsFrom(radius, centre);
}

int restFor(const std::vector<StillStretch>& stretchesG, const OrientationId& o, double maxDeg) {
  int best = -1;
  for (std::size_t s = 0; s < stretchesG.size(); ++s) {
    if (!(angleFromAxisDeg(stretchesG[s].mean, o) <= maxDeg)) continue;
    if (best < 0 || stretchesG[s].length() > stretchesG[static_cast<std::size_t>(best)].length()) {
      best = static_cast<int>(s);
    }
  }
  return best;
}

TuningChoice chooseTuningNumbers(const double* x, const double* y, const double* z, std::size_t n,
                                 const InputScale& scale,
                                 const std::vector<StillStretch>& stretchesG, int loosen) {
  TuningChoice c;
  int rest[6];
  std::size_t shortest = 0;
  for (int k = 0; k < 6; ++k) {
    rest[k] = restFor(stretchesG, kOrientations[k], 25.0);
    if (rest[k] < 0) {
      c.missing.push_back(kOrientations[k]);
      continue;
    }
    const std::size_t len = stretchesG[static_cast<std::size_t>(rest[k])].length();
    shortest = shortest == 0 ? len : std::min(shortest, len);
  }
  if (!c.missing.empty()) return c;

  const double slack = std::pow(2.0, loosen);
  const std::size_t factor = std::size_t{1} << loosen;
  const std::size_t w = std::max<std::size_t>(1, std::min<std::size_t>(50, shortest / 10 / factor));
  const std::size_t usable = shortest > 2 * w ? shortest - 2 * w : 2;
  // A few thousand samples average the noise down far enough; longer windows only cost time.
  const std::size_t width = std::max<std::size_t>(2, std::min(kMaxWindow, usable / 2) / factor);

  // What the smoothed rests show: their distance from the level on their axis, their steps and
  // their deviation from their mean, away from the ends where smoothing reaches into motion. The
  // rests are summed up one pass each, on the threads, without keeping the smoothed samples: the
  // largest distance of any sample from a value is that of the largest or the smallest sample.
  const double* axes[3] = {x, y, z};
  double band = 0.0;
  double step = 0.0;
  double deviation = 0.0;
#pragma omp parallel for schedule(dynamic, 1) reduction(max : band, step, deviation)
  for (int k = 0; k < 6; ++k) {
    const StillStretch& s = stretchesG[static_cast<std::size_t>(rest[k])];
    const OrientationId o = kOrientations[k];
    const double* a = axes[o.axis];
    const std::size_t half = w / 2;
    const std::size_t from = s.first + w;
    const std::size_t to = s.last >= w ? s.last - w : s.first;  // inclusive
    double total = 0.0;
    double largest = -HUGE_VAL;
    double smallest = HUGE_VAL;
    double restStep = 0.0;
    std::size_t count = 0;
    // Centred moving mean of w samples, by a sliding sum.
    if (from <= to && to < n) {
      const std::size_t lo0 = from >= half ? from - half : 0;
      double sum = 0.0;
      std::size_t lo = lo0;
      std::size_t hi = std::min(n - 1, lo0 + w - 1);
      for (std::size_t q = lo; q <= hi; ++q) sum += a[q];
      double previous = 0.0;
      for (std::size_t i = from; i <= to; ++i) {
        const std::size_t wantLo = i >= half ? i - half : 0;
        const std::size_t wantHi = std::min(n - 1, wantLo + w - 1);
        while (lo < wantLo) sum -= a[lo++];
        while (hi < wantHi) sum += a[++hi];
        const double v = (sum / static_cast<double>(hi - lo + 1) - scale.zero) / scale.perG;
        total += v;
        largest = std::max(largest, v);
        smallest = std::min(smallest, v);
        if (count > 0) restStep = std::max(restStep, std::abs(v - previous));
        previous = v;
        ++count;
      }
    }
    if (count == 0) {
      total = largest = smallest = s.mean[o.axis];
      count = 1;
    }
    const double mean = total / static_cast<double>(count);
    band = std::max(band, std::max(std::abs(largest - o.level), std::abs(smallest - o.level)));
    deviation = std::max(deviation, std::max(std::abs(largest - mean), std::abs(smallest - mean)));
    step = std::max(step, restStep);
  }
  // Other stretches long enough to hold a window must stay outside the band, or the quietest of
  // them may win an orientation that is not theirs (a rest tilted 30 degrees reads 0.87 g).
  double limit = HUGE_VAL;
  for (int k = 0; k < 6; ++k) {
    const OrientationId o = kOrientations[k];
    for (std::size_t q = 0; q < stretchesG.size(); ++q) {
      if (static_cast<int>(q) == rest[k] || stretchesG[q].length() < width + 2 * w) continue;
      limit = std::min(limit, std::abs(stretchesG[q].mean[o.axis] - o.level));
    }
  }
  double t = band * (1.0 + 0.2 * slack) + 0.01 * slack;
  if (t >= limit && band < limit) t = 0.5 * (band + limit);
  c.numbers.tolerancePct = std::min(99.0, roundUp(100.0 * t));
  c.numbers.moveMeanWindow = static_cast<double>(w);
  c.numbers.diffThreshold = roundUp(2.0 * slack * step + 1e-9);
  c.numbers.windowWidth = static_cast<double>(width);
  c.numbers.deltaThresholdWindow = roundUp(1.5 * slack * deviation + 1e-9);
  c.ok = true;
  return c;
}

}  // namespace analysis
}  // namespace tiltfit
