#include "gyro/gyroUnits.h"

#include <cmath>
#include <cstdio>

namespace tiltfit {
namespace analysis {
namespace gyro {

double converterZero(const double b[3]) {
  for (int bits = 9; bits <= 23; ++bits) {
    const double z = std::ldexp(1.0, bits);
    bool all = true;
    for (int a = 0; a < 3; ++a) all = all && std::abs(b[a] - z) < 0.05 * z;
    if (all) return z;
  }
  return 0.0;
}

GyroUnits nameUnits(double measured, const double biasRaw[3], bool fromMoves) {
  GyroUnits u;
  u.measuredPerRadS = measured;
  u.fromMoves = fromMoves;
  if (!(measured > 0.0) || !std::isfinite(measured)) return u;
  const double deg = 180.0 / M_PI;
  char buf[160];
  if (std::abs(measured - 1.0) < 0.15) {
    u.name = "rad/s";
    u.unitsPerRadS = 1.0;
  } else if (std::abs(measured / deg - 1.0) < 0.15) {
    u.name = "deg/s";
    u.unitsPerRadS = deg;
  } else {
    u.name = "counts";
    u.unitsPerRadS = measured;
    u.zero = converterZero(biasRaw);
  }
  if (u.name == "counts") {
    std::snprintf(buf, sizeof buf, "raw counts, %.4g per deg/s%s", measured / deg,
                  u.zero != 0.0 ? "" : "");
    u.note = buf;
    if (u.zero != 0.0) {
      std::snprintf(buf, sizeof buf, " about a zero of %.0f", u.zero);
      u.note += buf;
    }
  } else {
    std::snprintf(buf, sizeof buf, "%s (%s %.4g units per rad/s)", u.name.c_str(),
                  fromMoves ? "the moves measured" : "given as", measured);
    u.note = buf;
  }
  return u;
}

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit
