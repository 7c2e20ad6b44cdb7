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
  return std::max(m, s.poseMotion) / std::abs(scale.perG);
}

double spreadG(const StillStretch& s, const InputScale& scale) {
  return std::sqrt(s.noise[0] * s.noise[0] + s.noise[1] * s.noise[1] + s.noise[2] * s.noise[2]) /
         std::abs(scale.perG);
}

namespace {

// A stretch's own figures beyond a rest's (NaN ones, from a scale of 0, too).
bool movesOnItsOwn(const StillStretch& s, const InputScale& scale) {
  return !(motionG(s, scale) <= kRestMotionLimitG) || !(spreadG(s, scale) <= kRestSpreadLimitG);
}

}  // namespace

std::vector<StillStretch> takeMoving(std::vector<StillStretch>& stretches, const InputScale& scale) {
  const std::size_t n = stretches.size();
  std::vector<bool> moving(n, false);
  const double perG = std::abs(scale.perG);
  std::size_t begin = 0;
  while (begin < n) {
    // The pose that starts at `begin`: pooled count, sums of the means and of the squared motion.
    double count = 0.0;
    double sum[3] = {0, 0, 0};
    std::size_t end = begin;
    auto meanOf = [&](int j) { return sum[j] / count; };
    while (end < n) {
      const StillStretch& s = stretches[end];
      if (end > begin) {
        const StillStretch& p = stretches[end - 1];
        const std::size_t gap = s.first > p.last ? s.first - p.last - 1 : 0;
        double d2 = 0.0;
        for (int j = 0; j < 3; ++j) {
          const double d = (s.mean[j] - meanOf(j)) / perG;
          d2 += d * d;
        }
        if (gap > std::max({kPoseGap, s.length(), p.length()}) ||
            !(std::sqrt(d2) <= kPoseSpreadG))
          break;
      }
      const double w = static_cast<double>(s.length());
      count += w;
      for (int j = 0; j < 3; ++j) sum[j] += w * s.mean[j];
      ++end;
    }
    // Pooled motion: each stretch's own and its mean's distance from the pose's.
    double pooled = 0.0;
    for (std::size_t k = begin; k < end; ++k) {
      const StillStretch& s = stretches[k];
      double v = 0.0;
      for (int j = 0; j < 3; ++j) {
        const double d = s.mean[j] - meanOf(j);
        v += s.motion[j] * s.motion[j] + d * d;
      }
      pooled += static_cast<double>(s.length()) * v;
    }
    const double pose = std::sqrt(pooled / count);
    for (std::size_t k = begin; k < end; ++k) {
      stretches[k].poseMotion = pose;
      moving[k] = movesOnItsOwn(stretches[k], scale);
    }
    begin = end;
  }
  std::vector<StillStretch> out;
  std::vector<StillStretch> kept;
  for (std::size_t k = 0; k < n; ++k) (moving[k] ? out : kept).push_back(stretches[k]);
  stretches.swap(kept);
  return out;
}

std::string movingReason(const StillStretch& s, const InputScale& scale) {
  char text[200];
  if (!(spreadG(s, scale) <= kRestSpreadLimitG)) {
    std::snprintf(text, sizeof text,
                  "spreads %.0f mg (rms), more than the %.0f mg of any accelerometer's noise at "
                  "rest: shaken, not at rest",
                  spreadG(s, scale) * 1000.0, kRestSpreadLimitG * 1000.0);
  } else {
    std::snprintf(text, sizeof text,
                  "moves %.0f mg (rms%s), more than the %.0f mg of a device at rest: held in the "
                  "hand, not at rest",
                  motionG(s, scale) * 1000.0,
                  s.poseMotion > std::sqrt(s.motion[0] * s.motion[0] + s.motion[1] * s.motion[1] +
                                           s.motion[2] * s.motion[2])
                      ? ", with the stretches next to it in the same pose"
                      : "",
                  kRestMotionLimitG * 1000.0);
  }
  return text;
}

std::string movingNote(const std::vector<StillStretch>& moving, std::size_t rests,
                       const InputScale& scale) {
  double most = 0.0;
  for (const StillStretch& s : moving) {
    most = std::max(most, motionG(s, scale));
    if (spreadG(s, scale) > kRestSpreadLimitG) most = std::max(most, spreadG(s, scale));
  }
  char text[320];
  std::snprintf(text, sizeof text,
                "%zu of the %zu still stretches move more than a device at rest on a surface or "
                "held against one (%.0f mg rms; they move up to %.0f mg): they were not taken "
                "for rests; %s",
                moving.size(), moving.size() + rests, kRestMotionLimitG * 1000.0, most * 1000.0,
                kRestAdvice);
  return text;
}

std::string noRestProblem(const std::vector<StillStretch>& moving, const InputScale& scale) {
  double quietest = HUGE_VAL;
  for (const StillStretch& s : moving) {
    quietest = std::min(quietest, std::max(motionG(s, scale), spreadG(s, scale) > kRestSpreadLimitG
                                                                  ? spreadG(s, scale)
                                                                  : 0.0));
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "no still stretch: the quietest stretch moves %.0f mg (rms), more than the %.0f mg "
                "of a device at rest on a surface or held against one; %s",
                quietest * 1000.0, kRestMotionLimitG * 1000.0, kRestAdvice);
  return text;
}

}  // namespace analysis
}  // namespace tiltfit
