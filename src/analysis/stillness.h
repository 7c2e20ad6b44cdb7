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
// 22 mg lies between the last two (their geometric middle is 21 mg), nearer the lower because a
// stretch sees only the part of a slow sway that fits in it, and so shows less than its hand's
// whole motion.
constexpr double kRestMotionLimitG = 0.022;

// The most spread a rest's samples may show on the three axes together (rms), noise included, in
// g. No accelerometer at rest is noisier than about 20 mg per axis at the rates loggers use (35 mg
// over three axes); a spread beyond that is shaking fast enough to pass for noise, such as a
// hand's tremor at 8-12 Hz sampled at tens of hertz.
constexpr double kRestSpreadLimitG = 0.06;

// The motion of a stretch in recording units, as g: the rms over the axes of its own
// StillStretch::motion, or that of its pose where judged and larger.
double motionG(const StillStretch& s, const InputScale& scale);

// Removes from `stretches` (in recording order) those that move more than kRestMotionLimitG or
// spread more than kRestSpreadLimitG and returns them, in order. Each is judged on its own and with its pose: the stretches that follow
// one another closely (gaps of at most kPoseGap samples or the longer one's length) at means
// within kPoseSpreadG of their pooled mean. A hand that holds the device in one pose breaks it
// into pieces, each of which sees only a part of the sway; pooled, the pieces show it whole (the
// motion of each and the scatter of their means about the pose's mean). The pieces of a rest
// broken by a bump agree with each other and pool to their own small motion.
constexpr std::size_t kPoseGap = 80;
constexpr double kPoseSpreadG = 0.1;
std::vector<StillStretch> takeMoving(std::vector<StillStretch>& stretches, const InputScale& scale);

// Why a stretch was not taken for a rest: "moves 41 mg (rms), more than the 25 mg of a device at
// rest: held in the hand, not at rest".
std::string movingReason(const StillStretch& s, const InputScale& scale);

// The problem of a recording whose stretches all move (moving not empty): "no still stretch: the
// quietest stretch moves 35 mg (rms), more than the 25 mg ...; rest the device on a surface or
// against a fixed block".
std::string noRestProblem(const std::vector<StillStretch>& moving, const InputScale& scale);

// After a failure that left some stretches out as moving: "12 of the 15 still stretches move
// more than a device at rest ... (22 mg rms; they move up to 49 mg): they were not taken for
// rests; rest the device ...".
std::string movingNote(const std::vector<StillStretch>& moving, std::size_t rests,
                       const InputScale& scale);

// The spread of a stretch's samples, rms over the axes, in g.
double spreadG(const StillStretch& s, const InputScale& scale);

// What a user who has no rest should do, as the problems end.
extern const char* const kRestAdvice;  // "rest the device on a surface or against a fixed block"

}  // namespace analysis
}  // namespace tiltfit

#endif
