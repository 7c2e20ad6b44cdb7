// Refined fit: the offset and gain that make every still stretch read 1 g.
#ifndef TILTFIT_ANALYSIS_REFINEFIT_H
#define TILTFIT_ANALYSIS_REFINEFIT_H

#include <cstddef>
#include <vector>

#include "calibrationQuality.h"
#include "stillStretches.h"

namespace tiltfit {
namespace analysis {

struct RefineOutcome {
  // True when the refined calibration differs from the six-rest one: the stretches determined at
  // least one parameter combination and the fit converged to finite values.
  bool applied = false;
  // How many of the nine shape parameters (six of the symmetric gain, three of the offset) the
  // stretches determine; 9 means the cross-axis terms are fixed by the data too.
  int determined = 0;
  // Whether the stretches fix each cross-axis term (x-y, x-z, y-z): only stretches with the
  // sensor tilted between two axes say anything about their term.
  bool crossDetermined[3] = {false, false, false};
  std::size_t stretchesUsed = 0;  // after dropping stretches that disagree with the rest
  Calibration calibration;        // the refined result, or the six-rest one when not applied
};

// stretches: still stretches with their means in g. sixRest: the six-rest fit in the same units
// (g in, g out). Returns the calibration that minimises sum_s w_s (|c(m_s)| - 1)^2 over the
// stretches, with w_s = 1 / (var of the stretch mean + (0.3 mg)^2), keeping the six-rest fit's
// orientation and its values of whatever the stretches cannot determine.
RefineOutcome refineCalibration(const std::vector<StillStretch>& stretches,
                                const Calibration& sixRest);

}  // namespace analysis
}  // namespace tiltfit

#endif
