// P(a, x) by its power series below x = a + 1 and by the continued fraction of Q = 1 - P above,
// where each converges fast (the split of Numerical Recipes, section 6.2, with the modified Lentz
// method for the fraction). The quantile solves P(dof/2, x/2) = p by Newton's method on log x
// inside a bracket that bisection keeps whenever a step would leave it: on log x the function is
// smooth for any dof, where on x it is as steep as x^(dof/2) near 0 for small dof.
#include "chiSquare.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tiltfit {
namespace analysis {
namespace noise {
namespace {

constexpr double kTiny = 1e-300;
constexpr int kMaxTerms = 10000;

// log(x^a e^-x / Gamma(a)), the prefactor both expansions share.
double logPrefactor(double a, double x) { return a * std::log(x) - x - std::lgamma(a); }

double series(double a, double x) {
  double term = 1.0 / a;
  double sum = term;
  for (int n = 1; n < kMaxTerms; ++n) {
    term *= x / (a + n);
    sum += term;
    if (std::abs(term) < std::abs(sum) * 1e-16) break;
  }
  return sum * std::exp(logPrefactor(a, x));
}

// Q(a, x) for x >= a + 1.
double continuedFraction(double a, double x) {
  double b = x + 1.0 - a;
  double c = 1.0 / kTiny;
  double d = 1.0 / b;
  double h = d;
  for (int i = 1; i < kMaxTerms; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::abs(d) < kTiny) d = kTiny;
    c = b + an / c;
    if (std::abs(c) < kTiny) c = kTiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::abs(delta - 1.0) < 1e-16) break;
  }
  return std::exp(logPrefactor(a, x)) * h;
}

double chiSquareLogDensity(double x, double dof) {
  const double k = 0.5 * dof;
  return (k - 1.0) * std::log(x) - 0.5 * x - k * std::log(2.0) - std::lgamma(k);
}

}  // namespace

double regularizedGammaP(double a, double x) {
  if (!(a > 0.0) || !(x >= 0.0)) return std::numeric_limits<double>::quiet_NaN();
  if (x == 0.0) return 0.0;
  if (std::isinf(x)) return 1.0;
  if (x < a + 1.0) return series(a, x);
  return 1.0 - continuedFraction(a, x);
}

double chiSquareCdf(double x, double dof) { return regularizedGammaP(0.5 * dof, 0.5 * x); }

double chiSquareQuantile(double p, double dof) {
  if (std::isnan(p) || !(dof > 0.0)) return std::numeric_limits<double>::quiet_NaN();
  if (p <= 0.0) return 0.0;
  if (p >= 1.0) return std::numeric_limits<double>::infinity();
  // Bracket in u = log x around the mean, widening by factors of e^2.
  double lo = std::log(dof), hi = lo;
  while (chiSquareCdf(std::exp(lo), dof) > p && lo > -700.0) lo -= 2.0;
  while (chiSquareCdf(std::exp(hi), dof) < p && hi < 700.0) hi += 2.0;
  double u = 0.5 * (lo + hi);
  for (int i = 0; i < 200; ++i) {
    const double x = std::exp(u);
    const double f = chiSquareCdf(x, dof) - p;
    if (f > 0.0)
      hi = u;
    else
      lo = u;
    // dF/du = density(x) * x.
    const double slope = std::exp(chiSquareLogDensity(x, dof) + u);
    double next = u - f / slope;
    if (!(slope > 0.0) || !(next > lo && next < hi)) next = 0.5 * (lo + hi);
    if (std::abs(next - u) < 1e-14 * std::max(1.0, std::abs(u))) {
      u = next;
      break;
    }
    u = next;
  }
  return std::exp(u);
}

}  // namespace noise
}  // namespace analysis
}  // namespace tiltfit
