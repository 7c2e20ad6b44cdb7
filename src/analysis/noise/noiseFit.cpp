// Model. The Allan variance of a channel of an inertial sensor is the sum of its noise terms'
// (IEEE Std 952, annex C):
//
//     avar(tau) = N^2 / tau  +  F  +  K^2 tau / 3,     F = (2 ln 2 / pi) B^2,
//
// white noise of density N (the -1/2 slope of the deviation, equal to N at tau = 1 s), flicker
// noise of bias instability B (slope 0, at 0.664 B) and a random walk of the rate of density K
// (the +1/2 slope, equal to K at tau = 3 s). A bias that wanders and returns (Gauss-Markov) makes
// a hump, which the floor F stands for. A term of its own for it was tried (its variance linear,
// its correlation time on a grid): over a curve's long averaging times, where a few degrees of
// freedom leave the hump and the random walk free to trade, it read K worse (8.7 % rms over 36
// generated channels against 5.0 % without), so the model keeps to the three terms.
//
// Fit. The model is linear in c = (N^2, F, K^2). Each point's avar is chi-square distributed with
// its edf, so its variance is 2 model^2 / edf, and c minimises
//
//     sum_i edf_i / 2 (avar_i - model_i)^2 / model_i^2
//
// by iteratively reweighted least squares (weights from the previous round's model, starting from
// the measured curve), every coefficient kept >= 0 by solving every subset of the terms and taking
// the best one that is feasible.
//
// Reading the figures. Neighbouring points of a curve share most of their data, so the fit's own
// covariance, which takes them for independent, would be far too narrow, and a fit that weights
// them as independent reads N worse than its best single point does. So:
//   N is read at the one point that determines it best: the point maximising share^2 edf (share
//     the white term's part of the model there) among those where it makes at least 80 % of the
//     model and the curve's own slope is within 0.2 of -1 (a sensor's low-pass filter flattens the
//     shortest averaging times); N^2 = (avar - the other terms) tau there, with the chi-square
//     interval of that avar.
//   K is the fit's, a line through every point the random walk shapes, and its interval the
//     relative chi-square interval of the point that determines it best (the same rule, share at
//     least one half): the fit uses that point and more, so the interval is if anything too wide.
//   B is the deviation at the curve's minimum over kFlickerFactor, its interval that point's.
//
// When a figure is determined. N: the white term makes at least half the model at its point. K:
// the same for the random walk, and the lower end of its interval is above 0. B: the minimum lies
// before the curve's last point and the model's too (the curve turns up or flattens within the
// recording). Otherwise the largest value the curve allows is found, and from it the shortest
// recording that could show the term, were it that large: for K the length at which the rule
// above would call it determined on a curve of the model; for B three times the averaging time of
// the model's minimum, sqrt(3) N / K, over a tenth (the longest averaging time of a recording).
// Both are lower bounds: a smaller term needs longer.
#include "noiseFit.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "chiSquare.h"

namespace tiltfit {
namespace analysis {
namespace noise {
namespace {

// The model's terms: white N^2, flicker floor F, random walk K^2.
constexpr int kTerms = 3;
constexpr int kWhite = 0, kFloor = 1, kWalk = 2;
constexpr int kIterations = 12;
constexpr double kLongestShare = 0.1;  // the longest averaging time of a curve, per recording

struct Model {
  double c[kTerms] = {0, 0, 0};
  double cost = std::numeric_limits<double>::infinity();
  bool ok = false;

  static double basis(int term, double tau) {
    return term == kWhite ? 1.0 / tau : term == kFloor ? 1.0 : tau / 3.0;
  }
  double term(int t, double tau) const { return c[t] * basis(t, tau); }
  double avar(double tau) const {
    double v = 0.0;
    for (int t = 0; t < kTerms; ++t) v += term(t, tau);
    return v;
  }
  double share(int t, double tau) const { return term(t, tau) / avar(tau); }
};

// Weighted least squares over the terms in `mask`; feasible when every coefficient is >= 0 and
// the model positive at every point.
Model solveSubset(const AllanCurve& curve, const std::vector<double>& weight, unsigned mask) {
  std::vector<int> terms;
  for (int t = 0; t < kTerms; ++t)
    if (mask & (1u << t)) terms.push_back(t);
  const Eigen::Index n = static_cast<Eigen::Index>(curve.points.size());
  const Eigen::Index k = static_cast<Eigen::Index>(terms.size());
  Eigen::MatrixXd A(n, k);
  Eigen::VectorXd b(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const AllanPoint& p = curve.points[static_cast<std::size_t>(i)];
    const double w = std::sqrt(weight[static_cast<std::size_t>(i)]);
    for (Eigen::Index j = 0; j < k; ++j)
      A(i, j) = w * Model::basis(terms[static_cast<std::size_t>(j)], p.tau);
    b(i) = w * p.avar;
  }
  // Columns scaled to unit norm, so that terms growing and falling over five decades of tau stay
  // comparable for the solver.
  Eigen::VectorXd scale(k);
  for (Eigen::Index j = 0; j < k; ++j) {
    scale(j) = A.col(j).norm();
    if (!(scale(j) > 0.0)) return {};
    A.col(j) /= scale(j);
  }
  const Eigen::VectorXd x = A.colPivHouseholderQr().solve(b);
  Model m;
  for (Eigen::Index j = 0; j < k; ++j) {
    const double v = x(j) / scale(j);
    if (!std::isfinite(v) || v < 0.0) return {};
    m.c[terms[static_cast<std::size_t>(j)]] = v;
  }
  for (const AllanPoint& p : curve.points)
    if (!(m.avar(p.tau) > 0.0)) return {};
  m.cost = (A * x - b).squaredNorm();
  m.ok = true;
  return m;
}

Model fit(const AllanCurve& curve) {
  const std::size_t n = curve.points.size();
  std::vector<double> previous(n), weight(n);
  for (std::size_t i = 0; i < n; ++i) previous[i] = curve.points[i].avar;
  Model best;
  for (int iteration = 0; iteration < kIterations; ++iteration) {
    for (std::size_t i = 0; i < n; ++i)
      weight[i] = 0.5 * curve.points[i].edf / (previous[i] * previous[i]);
    Model round;
    for (unsigned mask = 1; mask < (1u << kTerms); ++mask) {
      const Model m = solveSubset(curve, weight, mask);
      if (m.ok && m.cost < round.cost) round = m;
    }
    if (!round.ok) break;
    best = round;
    double change = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = best.avar(curve.points[i].tau);
      change = std::max(change, std::abs(v / previous[i] - 1.0));
      previous[i] = v;
    }
    if (change < 1e-6) break;
  }
  return best;
}

// The chi-square bounds of sigma^2 at point p, as factors of its measured avar.
void avarFactors(const AllanPoint& p, double confidence, double& lo, double& hi) {
  lo = p.edf / chiSquareQuantile(0.5 * (1.0 + confidence), p.edf);
  hi = p.edf / chiSquareQuantile(0.5 * (1.0 - confidence), p.edf);
}

// A term read at one point: the coefficient the point's avar implies with the other terms held,
// and its chi-square bounds.
struct Reading {
  bool any = false;
  std::size_t point = 0;
  double share = 0.0;
  double value = 0.0, lo = 0.0, hi = 0.0;  // the coefficient (N^2, K^2, ...)
};

Reading readAt(const AllanCurve& curve, const Model& m, int t, std::size_t i) {
  const AllanPoint& p = curve.points[i];
  Reading r;
  r.any = true;
  r.point = i;
  r.share = m.share(t, p.tau);
  double flo, fhi;
  avarFactors(p, curve.confidence, flo, fhi);
  const double others = m.avar(p.tau) - m.term(t, p.tau);
  const double basis = m.basis(t, p.tau);
  r.value = (p.avar - others) / basis;
  r.lo = std::max(0.0, (p.avar * flo - others) / basis);
  r.hi = (p.avar * fhi - others) / basis;
  return r;
}

// The point that determines term t best: the largest share^2 edf among the points where the term
// makes at least minShare of the model and `accept` holds, else among all where it has a share.
template <typename Accept>
Reading bestReading(const AllanCurve& curve, const Model& m, int t, double minShare,
                    Accept accept) {
  for (int pass = 0; pass < 2; ++pass) {
    double best = -1.0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < curve.points.size(); ++i) {
      const AllanPoint& p = curve.points[i];
      const double share = m.share(t, p.tau);
      if (!(share > 0.0) || (pass == 0 && (share < minShare || !accept(p)))) continue;
      const double precision = share * share * p.edf;
      if (precision > best) {
        best = precision;
        at = i;
      }
    }
    if (best >= 0.0) return readAt(curve, m, t, at);
  }
  return {};
}

// The shortest recording, in steps of a quarter, from 1.25 times the present one, over which the
// curve of this model with K^2 = walk2 would have the random walk determined by the rule above:
// a point where it makes at least half the model and the lower end of the chi-square interval
// still leaves it above 0. 0 when none up to 10^8 s does.
double lengthShowingWalk(const Model& m, double walk2, const AllanCurve& curve, double seconds) {
  Model trial = m;
  trial.c[kWalk] = walk2;
  const double lower = 0.5 * (1.0 + curve.confidence);
  for (double length = 1.25 * seconds; length < 1e8; length *= 1.25) {
    const double samples = length / curve.period;
    const double longest = kLongestShare * length;
    // The grid's longest two decades: where a random walk shows first.
    for (double tau = longest; tau >= longest / 100.0 && tau >= curve.period; tau /= 1.3335) {
      const double share = trial.share(kWalk, tau);
      if (share < 0.5) break;
      const double slope = (trial.term(kWalk, tau) - trial.term(kWhite, tau)) / trial.avar(tau);
      const double edf = overlappingEdf(slope, static_cast<std::uint64_t>(samples),
                                        static_cast<std::uint64_t>(tau / curve.period));
      if (edf / chiSquareQuantile(lower, edf) > 1.0 - share) return length;
    }
  }
  return 0.0;
}

// 1, 1.5, 2, 3, 4, 5, 6, 8 or 10 times a power of ten, at least v.
double niceUp(double v) {
  const double power = std::pow(10.0, std::floor(std::log10(v)));
  for (double m : {1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0})
    if (m * power >= v * (1.0 - 1e-9)) return m * power;
  return 10.0 * power;
}

std::string twoDigits(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2g", v);
  return text;
}

// A duration rounded up to a round number of its unit: "about 3 h".
std::string roundDuration(double seconds) {
  if (seconds < 120.0) return twoDigits(niceUp(seconds)) + " s";
  if (seconds < 7200.0) return twoDigits(niceUp(seconds / 60.0)) + " min";
  if (seconds < 2.0 * 86400.0) return twoDigits(niceUp(seconds / 3600.0)) + " h";
  return twoDigits(niceUp(seconds / 86400.0)) + " days";
}

}  // namespace

std::string formatDuration(double seconds) {
  if (seconds < 120.0) return twoDigits(seconds) + " s";
  if (seconds < 7200.0) return twoDigits(seconds / 60.0) + " min";
  if (seconds < 2.0 * 86400.0) return twoDigits(seconds / 3600.0) + " h";
  return twoDigits(seconds / 86400.0) + " days";
}

double NoiseFit::modelAdev(double tau) const {
  return std::sqrt(std::max(0.0, N2 / tau + F + K2 * tau / 3.0));
}

NoiseFit fitNoise(const AllanCurve& curve, const NoiseFitOptions& options) {
  NoiseFit r;
  r.seconds = static_cast<double>(curve.samples) * curve.period;
  r.white.tau = 1.0;
  r.randomWalk.tau = 3.0;
  const std::string length = formatDuration(r.seconds);
  r.white.note = "white noise: not shown by " + length + " of data";
  r.bias.note = "bias instability: not shown by " + length + " of data";
  r.randomWalk.note = "random walk: not shown by " + length + " of data";
  if (curve.points.size() < 4) return r;
  const Model m = fit(curve);
  if (!m.ok) return r;
  r.ok = true;
  const double u = options.unitScale;
  const double u2 = u * u;
  r.N2 = m.c[kWhite] * u2;
  r.F = m.c[kFloor] * u2;
  r.K2 = m.c[kWalk] * u2;
  const double tauLast = curve.points.back().tau;

  // N: read where the white term is best determined, among the points where the curve itself
  // falls as 1/sqrt(tau) (a sensor's filter flattens the shortest averaging times).
  {
    NoiseFigure& f = r.white;
    f.value = std::sqrt(m.c[kWhite]) * u;
    const Reading rd = bestReading(
        curve, m, kWhite, 0.8, [](const AllanPoint& p) { return std::abs(p.slope + 1.0) <= 0.2; });
    if (rd.any && rd.value > 0.0) {
      f.intervalTau = curve.points[rd.point].tau;
      f.value = std::sqrt(rd.value) * u;
      f.lo = std::sqrt(rd.lo) * u;
      f.hi = std::sqrt(rd.hi) * u;
      f.determined = rd.share >= 0.5;
    }
    if (f.determined)
      f.note.clear();
    else
      f.note += " (the deviation never falls as 1/sqrt(tau))";
  }

  // K: the fit's, with the relative interval of the point that determines it best.
  {
    NoiseFigure& f = r.randomWalk;
    f.value = std::sqrt(m.c[kWalk]) * u;
    const Reading rd = bestReading(curve, m, kWalk, 0.5, [](const AllanPoint&) { return true; });
    if (rd.any && m.c[kWalk] > 0.0 && rd.value > 0.0) {
      f.intervalTau = curve.points[rd.point].tau;
      f.lo = f.value * std::sqrt(rd.lo / rd.value);
      f.hi = f.value * std::sqrt(rd.hi / rd.value);
      f.determined = rd.share >= 0.5 && rd.lo > 0.0;
    }
    if (f.determined) {
      f.note.clear();
    } else {
      // The largest K the curve allows: at every point the random walk can take at most what the
      // upper end of the point's interval leaves of the white part.
      double upper2 = std::numeric_limits<double>::infinity();
      for (const AllanPoint& p : curve.points) {
        double flo, fhi;
        avarFactors(p, curve.confidence, flo, fhi);
        const double room = p.avar * fhi - m.term(kWhite, p.tau);
        if (room > 0.0) upper2 = std::min(upper2, 3.0 * room / p.tau);
      }
      if (std::isfinite(upper2) && upper2 > 0.0) {
        f.upper = std::sqrt(upper2) * u;
        f.neededSeconds = lengthShowingWalk(m, upper2, curve, r.seconds);
      }
      if (f.neededSeconds > r.seconds)
        f.note += "; record at least about " + roundDuration(f.neededSeconds);
    }
  }

  // B: the curve's minimum.
  {
    NoiseFigure& f = r.bias;
    std::size_t lowest = 0;
    for (std::size_t i = 1; i < curve.points.size(); ++i)
      if (curve.points[i].adev < curve.points[lowest].adev) lowest = i;
    const AllanPoint& p = curve.points[lowest];
    f.value = p.adev / kFlickerFactor * u;
    f.lo = p.lo / kFlickerFactor * u;
    f.hi = p.hi / kFlickerFactor * u;
    f.tau = p.tau;
    f.intervalTau = p.tau;
    // A minimum of the noisy curve alone could be the scatter of a still falling one: the fitted
    // model must not be falling at the curve's end either.
    std::size_t modelLowest = 0;
    for (std::size_t i = 1; i < curve.points.size(); ++i)
      if (m.avar(curve.points[i].tau) < m.avar(curve.points[modelLowest].tau)) modelLowest = i;
    f.determined = lowest + 1 < curve.points.size() && modelLowest + 1 < curve.points.size();
    if (f.determined) {
      f.note.clear();
    } else {
      f.upper = f.value;
      const double K2 = r.randomWalk.determined ? m.c[kWalk] : std::pow(r.randomWalk.upper / u, 2);
      if (K2 > 0.0 && m.c[kWhite] > 0.0) {
        const double tauMin = std::sqrt(3.0 * m.c[kWhite] / K2);
        f.neededSeconds = 3.0 * std::max(tauMin, tauLast) / kLongestShare;
      }
      f.note += " (the deviation still falls at " + formatDuration(tauLast) + ")";
      if (f.neededSeconds > r.seconds)
        f.note += "; record at least about " + roundDuration(f.neededSeconds);
    }
  }
  return r;
}

AllanOptions StretchWhiteNoise::options() {
  AllanOptions o;
  o.longestShare = 0.5;  // each stretch limits its own factors to below half its length
  return o;
}

void StretchWhiteNoise::addStretch(const double* y, std::size_t n) {
  if (n < 8) return;
  allan_.breakSegment();
  allan_.add(y, n);
  allan_.breakSegment();
  ++stretches_;
}

NoiseFigure StretchWhiteNoise::estimate(double confidence, double unitScale) const {
  NoiseFitOptions o;
  o.unitScale = unitScale;
  return fitNoise(allan_.curve(confidence), o).white;
}

}  // namespace noise
}  // namespace analysis
}  // namespace tiltfit
