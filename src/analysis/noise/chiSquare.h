// The chi-square distribution for non-integer degrees of freedom, as the intervals of an Allan
// deviation need them (an equivalent number of degrees of freedom is rarely a whole number).
#ifndef TILTFIT_ANALYSIS_NOISE_CHISQUARE_H
#define TILTFIT_ANALYSIS_NOISE_CHISQUARE_H

namespace tiltfit {
namespace analysis {
namespace noise {

// The regularized lower incomplete gamma function P(a, x) = gamma(a, x) / Gamma(a), for a > 0 and
// x >= 0, to about 1e-14 relative. NaN for a <= 0, x < 0 or NaN input.
double regularizedGammaP(double a, double x);

// The chi-square distribution function with dof degrees of freedom: P(dof / 2, x / 2).
double chiSquareCdf(double x, double dof);

// The p-quantile of the chi-square distribution with dof > 0 degrees of freedom: the x with
// chiSquareCdf(x, dof) = p, for 0 < p < 1, to about 1e-12 relative. 0 for p <= 0, +infinity for
// p >= 1, NaN for dof <= 0 or NaN input. In the far upper tail (1 - p below about 1e-6) the
// resolution of p itself limits it: there it is good to about 1e-16 / (1 - p) relative.
double chiSquareQuantile(double p, double dof);

}  // namespace noise
}  // namespace analysis
}  // namespace tiltfit

#endif
