// A noise figure of the analysis as the public API gives it.
#ifndef TILTFIT_API_NOISEVALUE_H
#define TILTFIT_API_NOISEVALUE_H

#include "noise/noiseFit.h"
#include "tiltfit/noise.hpp"

namespace tiltfit {

inline NoiseValue noiseValueOf(const analysis::noise::NoiseFigure& f) {
  NoiseValue v;
  v.determined = f.determined;
  v.value = f.value;
  v.low = f.lo;
  v.high = f.hi;
  v.tauS = f.tau;
  v.upper = f.upper;
  v.neededSeconds = f.neededSeconds;
  v.note = f.note;
  return v;
}

}  // namespace tiltfit

#endif
