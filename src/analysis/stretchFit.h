// The fit over still stretches: a calibration from every still stretch of a recording, in any
// direction, with a prior for what the stretches do not determine and the covariance of the
// result. The model and the prior are written out at the top of stretchFit.cpp.
#ifndef TILTFIT_ANALYSIS_STRETCHFIT_H
#define TILTFIT_ANALYSIS_STRETCHFIT_H

#include <array>
#include <cstddef>
#include <vector>

#include "calibrationQuality.h"
#include "stillStretches.h"

namespace tiltfit {
namespace analysis {

// What a MEMS accelerometer is before calibration, in g (1-sigma): each gain within a few percent
// of 1, the symmetric cross-axis terms a few tenths of a percent, offsets within a few hundred mg.
struct FitPrior {
  double gainSigma = 0.05;
  double crossSigma = 0.004;
  double offsetSigma = 0.2;  // g
};

// Covariance of the twelve numbers of a calibration in column form, c = A m + b: A row by row
// (A(r, k) at index 3r + k), then b. In g.
using Covariance12 = std::array<std::array<double, 12>, 12>;

// A chosen rest of the six-rest search: the mean of its window in g and the axis it stands for.
struct RestDirection {
  OrientationId id{0, -1};
  double mean[3] = {0, 0, 0};
  double sigma = 0.0;  // standard error of the mean on each axis
};

struct StretchFitOptions {
  // Still stretches with their means, noise and standard errors in g.
  const std::vector<StillStretch>* stretches = nullptr;
  // The six rests of a six-rest fit, in report order, or nullptr. With them the rotation of the
  // result is fixed by their directions; without, the calibration keeps the sensor's own axes
  // (its matrix is symmetric).
  const RestDirection* rests = nullptr;
  Calibration start;  // where the fit starts: the six-rest fit, or the identity
  FitPrior prior;
  // With rests: for each, the stretch (index into *stretches) that holds it, or -1. That stretch
  // takes the rest's direction with it when it is held out.
  int restStretch[6] = {-1, -1, -1, -1, -1, -1};
};

// How well the stretches predict each other: each stretch's magnitude error under the fit made
// without it (leave one out), in mg. A stretch that alone fixes part of the calibration (without
// it some gain or offset would rest on the prior) cannot be held out and is not counted.
struct HeldOut {
  std::vector<double> errorMg;  // per stretch: |c_-k(m_k)| - 1 in mg; NaN where not held out
  std::vector<bool> counted;    // per stretch: held out and counted in the figures
  double meanMg = 0.0;          // mean of |errorMg| over the counted stretches (0 when none)
  double worstMg = 0.0;
  std::size_t folds = 0;        // counted stretches
};

// The rotation R(w) of the polar form, as far as the six rests fix it (see stretchFit.cpp).
struct RotationEvidence {
  bool fitted = false;      // rests took part, so w was fitted rather than held at 0
  double w[3] = {0, 0, 0};  // angle-axis vector, radians
  double sigma = 0.0;       // sqrt(trace Cov(w)): the rms error of w as a vector, radians
  double tilt = 0.0;        // the rests' rms angle from their axes after calibration, radians
  double angle() const;     // |w|
};

struct StretchFit {
  bool ok = false;      // the solver converged to finite values
  Calibration calibration;  // g in, g out
  // Covariance of `calibration`, calibrated against the held-out errors: the stretches' sigmas
  // are inflated (uncertaintyScale) until their held-out errors are explained, and further where
  // the expected error would still fall below the held-out mean.
  Covariance12 covariance{};
  double expectedErrorMg = 0.0;  // mean | |c| - 1 | over all directions the covariance implies
  double restTiltDeg = 0.0;      // with rests: their rms angle from their axes after calibration
  double noiseScale = 1.0;       // factor by which the stretches' scatter exceeded their noise
  double uncertaintyScale = 1.0;  // factor on the fit's own sigmas that the held-out errors asked
  std::vector<double> weight;    // per stretch: 1 fully used, towards 0 for a stretch that disagrees
  std::size_t stretchesUsed = 0;  // stretches with weight above one half
  HeldOut heldOut;
  RotationEvidence rotation;
  // The same fit without its rotation, c = S m + k (the sensor's own axes), and its covariance
  // (calibrated alike); equal to calibration and covariance when no rests took part.
  Calibration unrotated;
  Covariance12 unrotatedCovariance{};
  // Whether the data (not the prior) fix each number: the gain and offset of each axis, and the
  // x-y, x-z, y-z cross-axis terms.
  bool gainDetermined[3] = {false, false, false};
  bool offsetDetermined[3] = {false, false, false};
  bool crossDetermined[3] = {false, false, false};
  int determined = 0;  // of the nine above
  bool gainsAndOffsetsDetermined() const {
    for (int k = 0; k < 3; ++k)
      if (!gainDetermined[k] || !offsetDetermined[k]) return false;
    return true;
  }
};

// Fits the calibration that makes every still stretch read 1 g (see stretchFit.cpp), with the
// held-out errors of its stretches and the evidence for its rotation. Needs at least one
// stretch; returns ok = false otherwise or when the solver fails. Tens of stretches take a few
// milliseconds, the held-out errors a fraction of that (they need no refit).
StretchFit fitStretches(const StretchFitOptions& options);

// The held-out errors alone, for a capture that refits as stretches come: fitStretches over
// stretchesG (means in g) and, when given, the six rests; ok false as fitStretches says.
HeldOut leaveOneOut(const std::vector<StillStretch>& stretchesG,
                    const RestDirection* rests = nullptr, bool* ok = nullptr);

// fit with its rotation dropped: calibration and covariance replaced by the unrotated ones.
StretchFit withoutRotation(const StretchFit& fit);

// How far to trust calibration c, judged against a fit: for every direction u of a Fibonacci
// lattice of the unit sphere, the raw reading m(u) that the fit's calibration maps to u, and
// e(u) = |c(m(u))| - 1 with the spread the fit's covariance gives it. Returns the mean over the
// sphere of E|e(u)| in mg. For c the fit's own calibration it is mean sqrt(2/pi) sigma(u).
double expectedErrorMg(const Calibration& c, const StretchFit& fit);

// The 1-sigma of each number of a calibration (row form, like Calibration::gain, and the offset).
struct Uncertainty {
  double gain[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  double offset[3] = {0, 0, 0};
};
// For c (g in, g out) reported as a calibration of raw samples in the units `scale` maps to g,
// with output in units of outPerG per g: the fit's covariance plus the outer product of how far c
// lies from the fit's calibration, carried through that change of units.
Uncertainty uncertaintyOf(const Calibration& c, const StretchFit& fit, const InputScale& scale,
                          double outPerG);

}  // namespace analysis
}  // namespace tiltfit

#endif
