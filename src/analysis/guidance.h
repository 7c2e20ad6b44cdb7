// Which position to hold next, from the fit's covariance: first the six axis orientations, then
// the positions between two axes that most reduce the expected error.
#ifndef TILTFIT_ANALYSIS_GUIDANCE_H
#define TILTFIT_ANALYSIS_GUIDANCE_H

#include <string>
#include <vector>

#include "calibrationQuality.h"
#include "stillStretches.h"
#include "stretchFit.h"

namespace tiltfit {
namespace analysis {

// Words a person uses for an orientation, with the reading that goes with it: "z up (z reads
// about +1 g)". An axis pointing up reads +1 g, the usual convention of MEMS parts; the reading is
// what the tool sees.
std::string axisWords(const OrientationId& o);

// What a reading in direction (calibrated, in g) shows on the axes that matter: "x reads about
// +0.71 g, z about -0.71 g".
std::string readingWords(const double direction[3]);

// The orientation (report order) whose axis a direction lies closest to, and how far, in degrees.
OrientationId nearestAxis(const double direction[3], double* angleDeg = nullptr);

struct Suggestion {
  double direction[3] = {0, 0, 0};  // unit vector of the reading, in g
  std::string words;                // "x up, tilted about 45° toward z up"
  double expectedErrorMg = 0.0;     // what the expected error would become with it
};

// The twelve positions halfway between two axes, ranked by the expected error the calibration
// would have with one more still stretch there, whose mean is known to `sigma` g; the best first.
// fit must be ok.
std::vector<Suggestion> rankPositions(const StretchFit& fit, double sigma);

// The orientations (report order) that no stretch stands for: none lies within maxDeg of the
// axis. Stretch means in g, as calibrated.
std::vector<OrientationId> missingOrientations(const std::vector<StillStretch>& stretchesG,
                                               double maxDeg);

}  // namespace analysis
}  // namespace tiltfit

#endif
