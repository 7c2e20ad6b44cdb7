// One calibration run with everything the tool reports about it: the six-rest fit of the core,
// the checks of its chosen rests, the still stretches, the refined fit, the quality figures and
// the warnings a user should see.
#ifndef TILTFIT_ANALYSIS_CALIBRATIONRUN_H
#define TILTFIT_ANALYSIS_CALIBRATIONRUN_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "calibrationQuality.h"
#include "coder_array.h"
#include "refineFit.h"
#include "stillStretches.h"

namespace tiltfit {
namespace analysis {

struct TuningNumbers {
  double tolerancePct = 5.0;
  double moveMeanWindow = 50.0;
  double diffThreshold = 5e-4;
  double windowWidth = 1000.0;
  double deltaThresholdWindow = 2e-3;
};

struct RunOptions {
  InputScale scale;      // recording units to g; the search always sees g
  double outPerG = 1.0;  // units of the calibrated output: 1 for g, 9.81 for m/s^2
  bool refine = false;   // report the refined fit instead of the six-rest fit
  // The recording's noise floor and still stretches (recording units) when already known.
  const NoiseFloor* noise = nullptr;
  const std::vector<StillStretch>* stretches = nullptr;
  // The line of the text each row came from, for the messages that name rows.
  LineOfRow lineOf;
};

struct RunResult {
  // The core found all six orientations, and they passed checkChosenRests.
  bool searchSucceeded = false;
  bool success = false;
  std::vector<std::string> restProblems;  // why found rests were rejected (see checkChosenRests)

  ChosenRest rests[6];  // in report order (kOrientations); mean in the recording's units
  // Raw (recording units) to output units.
  Calibration sixRest;
  Calibration reported;  // refined when asked for and the refinement applied, else sixRest
  bool refined = false;
  RefineOutcome refinement;  // in g, computed on every success so the warnings can advise

  NoiseFloor noise;                     // recording units
  std::vector<StillStretch> stretches;  // recording units; also after a failure
  // Those whose mean is precise to 0.5 mg (all when none is), in g: the quality figures and the
  // refined fit use these.
  std::vector<StillStretch> stretchesG;
  NormErrors before;  // raw data scaled to g
  NormErrors afterSixRest;
  NormErrors afterRefined;                    // the refined fit, whether reported or not
  NormErrors after;                           // the reported calibration
  double residualMg[6] = {0, 0, 0, 0, 0, 0};  // six-rest fit: |c(rest mean) - target| per rest
  double angleDeg[6] = {0, 0, 0, 0, 0, 0};    // reported calibration: rest mean vs its axis

  std::vector<std::string> warnings;  // after a success; each a sentence that says what to do

  // N x 3, column-major, in g: what the searches ran on.
  std::unique_ptr<coder::array<double, 2>> smoothed;
};

// The stretches with their means and noise mapped to g.
std::vector<StillStretch> stretchesInG(const std::vector<StillStretch>& stretches,
                                       const InputScale& scale);

// Calibrates three columns of n samples (n >= 1 and at most the core's row limit) in the units
// that options.scale describes. With the identity scale the core reads the columns in place, so a
// recording in g gives bit for bit the result of getAccCalibColumns.
RunResult runCalibration(const double* x, const double* y, const double* z, std::size_t n,
                         const TuningNumbers& numbers, const RunOptions& options);

}  // namespace analysis
}  // namespace tiltfit

#endif
