// One calibration run with everything the tool reports about it: the six-rest fit of the core,
// the checks of its chosen rests, the still stretches, the fit over them, the uncertainty and the
// quality figures, and the warnings a user should see. Or the fit over the still stretches alone,
// when a recording has no six rests.
#ifndef TILTFIT_ANALYSIS_CALIBRATIONRUN_H
#define TILTFIT_ANALYSIS_CALIBRATIONRUN_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "calibrationQuality.h"
#include "coder_array.h"
#include "rotationChoice.h"
#include "stillStretches.h"
#include "stretchFit.h"
#include "tiltfit/types.hpp"

namespace tiltfit {
namespace analysis {

using TuningNumbers = ::tiltfit::TuningNumbers;

// How the reported calibration was made.
enum class Method {
  kSixRest,    // the core's six-rest fit
  kRefined,    // the fit over every still stretch, its rotation fixed by the six rests
  kStretches,  // the fit over the still stretches alone, in the sensor's own axes
  kIdentity,   // no fit did better than the raw readings
};
// "six rests", "refined", "stretches", "identity": the names of the report.
const char* methodName(Method m);

struct RunOptions {
  InputScale scale;      // recording units to g; the search always sees g
  double outPerG = 1.0;  // units of the calibrated output: 1 for g, 9.81 for m/s^2
  bool refine = false;   // report the fit over the still stretches instead of the six-rest fit
  // The recording's noise floor and still stretches (recording units) when already known.
  const NoiseFloor* noise = nullptr;
  const std::vector<StillStretch>* stretches = nullptr;
  // When set, the search calls it with each column (0 = x, 1 = y, 2 = z) it reads no more, so that
  // the caller may release it: the samples and their smoothed copy are then never held whole at
  // once.
  std::function<void(int)> releaseColumn;
  // The line of the text each row came from, for the messages that name rows.
  LineOfRow lineOf;
  // Whether the fit over the stretches turns its output to the rests' frame (the plain six-rest
  // fit keeps the rotation its rests give it, whatever this says).
  RotationChoice rotation = RotationChoice::kAuto;
};

struct RunResult {
  // The core found all six orientations, and they passed checkChosenRests.
  bool searchSucceeded = false;
  bool success = false;
  std::vector<std::string> restProblems;  // why found rests were rejected (see checkChosenRests)

  // In report order (kOrientations); mean in the recording's units. For the stretch fit alone:
  // the still stretch nearest each axis after calibration, found when within 20 degrees.
  ChosenRest rests[6];
  // Raw (recording units) to output units.
  Calibration sixRest;
  Calibration reported;
  Method method = Method::kSixRest;
  bool refined = false;      // method is kRefined
  bool refineAsked = false;  // the run was asked for the fit over the stretches
  // The fit over the still stretches, in g: on every success, reported or not, since it is what
  // the uncertainty of any reported calibration is judged against.
  StretchFit fit;
  Uncertainty uncertainty;       // of the reported calibration, in output units
  double expectedErrorMg = 0.0;  // of the reported calibration, over all directions

  NoiseFloor noise;                     // recording units
  std::vector<StillStretch> stretches;  // recording units; also after a failure
  // The same in g: the quality figures count every one of them, as the fit uses every one.
  std::vector<StillStretch> stretchesG;
  std::vector<bool> inQuality;  // per stretch of `stretches`: counted in the quality figures
  // The reported calibration's error on each stretch it was made without, and per stretch why it
  // could not be held out (empty where it was).
  HeldOut heldOut;
  std::vector<std::string> notHeldOut;
  // The rotation of the reported calibration and of the six-rest fit (g in, g out), and the
  // calibrations themselves in g.
  RotationReport rotation;
  RotationReport sixRestRotation;
  Calibration reportedG;
  Calibration sixRestG;
  NormErrors before;  // raw data scaled to g
  NormErrors afterSixRest;
  NormErrors afterRefined;                    // the fit over the stretches, reported or not
  NormErrors after;                           // the reported calibration
  double residualMg[6] = {0, 0, 0, 0, 0, 0};  // six-rest fit: |c(rest mean) - target| per rest
  double angleDeg[6] = {0, 0, 0, 0, 0, 0};    // reported calibration: rest mean vs its axis

  std::vector<std::string> warnings;  // after a success; each a sentence that says what to do

  // N x 3, column-major, in g: what the searches ran on (six-rest runs only).
  std::unique_ptr<coder::array<double, 2>> smoothed;
};

// The stretches with their means, noise and standard errors mapped to g.
std::vector<StillStretch> stretchesInG(const std::vector<StillStretch>& stretches,
                                       const InputScale& scale);

// The still stretches of a recording for the fit: those of the noise floor, each allowed to widen
// its test by its own spread up to kSpreadCapG (scaled to the recording's units), so that hand-held
// rests stay whole next to bench rests.
std::vector<StillStretch> stretchesForFit(const double* x, const double* y, const double* z,
                                          std::size_t n, const NoiseFloor& floor,
                                          const InputScale& scale);

// Calibrates three columns of n samples (n >= 1 and at most the core's row limit) in the units
// that options.scale describes, from the six rests the core's search finds with the given numbers.
// With the identity scale the core reads the columns in place, so a recording in g gives bit for
// bit the result of getAccCalibColumns.
RunResult runCalibration(const double* x, const double* y, const double* z, std::size_t n,
                         const TuningNumbers& numbers, const RunOptions& options);

// Calibrates from the still stretches (options.stretches, or found here), with no rest search.
// Succeeds when the stretches determine every gain and offset; otherwise `missing` names the axis
// directions no stretch comes near. With restsFromStretches, when six stretches lie within 20
// degrees of the six axis directions after that calibration, they stand for the six rests: the
// result is their six-rest fit refined with every stretch (method kRefined). Otherwise the
// calibration keeps the sensor's own axes (kStretches).
RunResult runStretchCalibration(const double* x, const double* y, const double* z, std::size_t n,
                                const RunOptions& options, bool restsFromStretches,
                                std::vector<OrientationId>* missing = nullptr);

// The orientations (report order) with no still stretch within 45 degrees of their axis, judged on
// stretch means in g.
std::vector<OrientationId> uncoveredOrientations(const std::vector<StillStretch>& stretchesG);

// Replaces a successful result's calibration by the plain units map (no correction) when that
// reads the still stretches at least as well, in sample or held out: a sensor calibrated at the
// factory may be better than any fit of a short recording. Returns true when it did.
bool preferIdentity(RunResult& r, const InputScale& scale, double outPerG);

}  // namespace analysis
}  // namespace tiltfit

#endif
