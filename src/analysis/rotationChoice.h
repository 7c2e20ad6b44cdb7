// Whether a calibration turns its output away from the sensor's own axes. Magnitudes cannot see
// a rotation: only the directions of rests standing for the six axis orientations can, and only
// as well as those rests were aligned. A rotation the rests do not fix is noise passed on to
// every reading's direction, so by default it is applied only where the rests fix it.
#ifndef TILTFIT_ANALYSIS_ROTATIONCHOICE_H
#define TILTFIT_ANALYSIS_ROTATIONCHOICE_H

#include <string>

#include "calibrationQuality.h"
#include "stretchFit.h"

namespace tiltfit {
namespace analysis {

enum class RotationChoice {
  kAuto,   // the rests' rotation where they fix it (rotationFixed), else the sensor's own axes
  kNone,   // always the sensor's own axes
  kRests,  // the rests' rotation whenever six rests took part
};

// The rests fix the rotation when it stands out against both its uncertainty and the rests' own
// tilt: |w| >= kRotationSigmas * sigma and |w| >= kRotationTilts * tilt. A rest tilted by tau can
// turn the fitted frame by about tau on its own, so a rotation no larger than a couple of tilts
// may be nothing but the tilts; one within three sigmas of zero is not told from none (for a
// part without rotation, three sigmas of a three-component vector are passed about once in 10^5).
constexpr double kRotationSigmas = 3.0;
constexpr double kRotationTilts = 2.0;
bool rotationFixed(const RotationEvidence& e);

// The rotation of a reported calibration, in degrees.
struct RotationReport {
  bool applied = false;
  double vectorDeg[3] = {0, 0, 0};  // angle-axis vector of the rotation applied
  double angleDeg = 0.0;
  double sigmaDeg = 0.0;  // rms error of that vector (0 when none was applied and none fitted)
  // The rotation the rests suggested, applied or not (all 0 when no rests took part).
  bool suggested = false;
  double suggestedVectorDeg[3] = {0, 0, 0};
  double suggestedDeg = 0.0;
  double suggestedSigmaDeg = 0.0;
  std::string note;  // why it is applied or not, one sentence
};

// Decides for a fit whose rests took part (or not): applied or not, and the report (note and the
// suggested rotation; the applied vector is filled by the caller from what it reports).
RotationReport decideRotation(const RotationEvidence& e, RotationChoice choice);

// The rotation of c's polar form (A = R S, A the column form of c, g in and g out) as an
// angle-axis vector in radians; 0 when A is singular or a reflection.
void polarRotation(const Calibration& c, double w[3]);

// The report of a calibration whose rotation is whatever it is (the six-rest fit, the identity):
// its polar rotation, the suggested one from e, and the given note.
RotationReport rotationAsIs(const Calibration& reportedG, const RotationEvidence& e,
                            const std::string& note);

}  // namespace analysis
}  // namespace tiltfit

#endif
