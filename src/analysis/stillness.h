// Whether a still stretch is a rest in absolute terms. The tracker judges stillness against the
// recording's own noise floor, which a recording held in the hand throughout raises to the level
// of the hand's motion: every stretch then looks still next to the others. A rest must also move
// less than a device lying on a surface or pressed against one ever does.
#ifndef TILTFIT_ANALYSIS_STILLNESS_H
#define TILTFIT_ANALYSIS_STILLNESS_H

#include <string>
#include <vector>

#include "calibrationQuality.h"
#include "stillStretches.h"

namespace tiltfit {
namespace analysis {

// The most motion a rest may show: the rms over the three axes of each one's slow part
// (StillStretch::motion), in g. Where it comes from:
// - On a bench or a table the device moves only with the building, well below 1 mg; its sensor
//   noise (1-10 mg per axis at the usual rates) is white and is not counted.
// - Pressed by hand against a fixed block, a wall or a table edge, the contact holds its
//   orientation: the grip's changing force turns it by a few tenths of a degree (one degree moves
//   the readings across gravity by 17.5 mg) and the hand's tremor reaches it damped, 5-15 mg in
//   all; a device held still by hand with care shows as much.
// - Held in free air, physiological tremor (8-12 Hz) and the arm's sway turn it by one to
//   several degrees within seconds and shake it besides: 30 mg and more, 100 mg commonly.
// 25 mg lies between the last two, with room for the estimate's own scatter over a short
// stretch.
constexpr double kRestMotionLimitG = 0.025;

// The motion of a stretch in recording units, as g (rms over the axes of StillStretch::motion).
double motionG(const StillStretch& s, const InputScale& scale);

// Removes from `stretches` those that move more than kRestMotionLimitG and returns them, in order.
std::vector<StillStretch> takeMoving(std::vector<StillStretch>& stretches, const InputScale& scale);

// Why a stretch was not taken for a rest: "moves 41 mg (rms), more than the 25 mg of a device at
// rest: held in the hand, not at rest".
std::string movingReason(const StillStretch& s, const InputScale& scale);

// The problem of a recording whose stretches all move (moving not empty): "no still stretch: the
// quietest stretch moves 35 mg (rms), more than the 25 mg ...; rest the device on a surface or
// against a fixed block".
std::string noRestProblem(const std::vector<StillStretch>& moving, const InputScale& scale);

// What a user who has no rest should do, as the problems end.
extern const char* const kRestAdvice;  // "rest the device on a surface or against a fixed block"

}  // namespace analysis
}  // namespace tiltfit

#endif
