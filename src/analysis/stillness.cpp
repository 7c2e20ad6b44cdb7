#include "stillness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tiltfit {
namespace analysis {

const char* const kRestAdvice = "rest the device on a surface or against a fixed block";

double motionG(const StillStretch& s, const InputScale& scale) {
  const double m = std::sqrt(s.motion[0] * s.motion[0] + s.motion[1] * s.motion[1] +
                             s.motion[2] * s.motion[2]);
  return m / std::abs(scale.perG);
}

std::vector<StillStretch> takeMoving(std::vector<StillStretch>& stretches, const InputScale& scale) {
  std::vector<StillStretch> moving;
  std::vector<StillStretch> kept;
  for (const StillStretch& s : stretches) {
    // NaN motion (a scale of 0) is no rest either.
    if (motionG(s, scale) <= kRestMotionLimitG) {
      kept.push_back(s);
    } else {
      moving.push_back(s);
    }
  }
  stretches.swap(kept);
  return moving;
}

std::string movingReason(const StillStretch& s, const InputScale& scale) {
  char text[160];
  std::snprintf(text, sizeof text,
                "moves %.0f mg (rms), more than the %.0f mg of a device at rest: held in the hand, "
                "not at rest",
                motionG(s, scale) * 1000.0, kRestMotionLimitG * 1000.0);
  return text;
}

std::string noRestProblem(const std::vector<StillStretch>& moving, const InputScale& scale) {
  double quietest = HUGE_VAL;
  for (const StillStretch& s : moving) quietest = std::min(quietest, motionG(s, scale));
  char text[256];
  std::snprintf(text, sizeof text,
                "no still stretch: the quietest stretch moves %.0f mg (rms), more than the %.0f mg "
                "of a device at rest on a surface or held against one; %s",
                quietest * 1000.0, kRestMotionLimitG * 1000.0, kRestAdvice);
  return text;
}

}  // namespace analysis
}  // namespace tiltfit
