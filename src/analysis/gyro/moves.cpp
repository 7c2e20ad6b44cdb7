#include "gyro/moves.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tiltfit {
namespace analysis {
namespace gyro {
namespace {

// A value far from the bias held for this many samples at the axis' extreme: the converter's end.
constexpr int kFlatSamples = 3;
constexpr double kFarSigmas = 20.0;

double angleDeg(const double a[3], const double b[3]) {
  const double c[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                       a[0] * b[1] - a[1] * b[0]};
  const double s = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
  const double d = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
  return std::atan2(s, d) * 180.0 / M_PI;
}

}  // namespace

std::vector<Move> findMoves(const GyroSeries& s, const BiasModel& bias) {
  std::vector<Move> moves;
  if (bias.rests.size() < 2) return moves;
  double lo[3], hi[3];
  for (int a = 0; a < 3; ++a) {
    lo[a] = std::numeric_limits<double>::infinity();
    hi[a] = -lo[a];
    for (std::size_t i = 0; i < s.n; ++i) {
      const double v = s.at(a, i);
      if (v < lo[a]) lo[a] = v;
      if (v > hi[a]) hi[a] = v;
    }
  }
  for (std::size_t k = 0; k + 1 < bias.rests.size(); ++k) {
    const GyroRest& r0 = bias.rests[k];
    const GyroRest& r1 = bias.rests[k + 1];
    if (r1.first <= r0.last + 1) continue;
    Move m;
    m.first = r0.last + 1;
    m.last = r1.first - 1;
    m.from = k;
    m.to = k + 1;
    m.gap = s.time != nullptr && s.time->gapWithin(r0.last, r1.first);
    m.gravityChangeDeg = angleDeg(r0.gravity, r1.gravity);
    double sum[3] = {0, 0, 0};
    int flat[3] = {0, 0, 0};
    for (std::size_t i = m.first; i <= m.last; ++i) {
      const double t = s.time != nullptr ? s.time->time(i) : 0.0;
      const double dt = s.time != nullptr ? s.time->step(i) : 0.0;
      double b[3];
      bias.at(t, b);
      double step2 = 0.0;
      for (int a = 0; a < 3; ++a) {
        const double v = s.at(a, i);
        const double d = (v - b[a]) * dt;
        sum[a] += d;
        step2 += d * d;
        const bool atEnd = (v == hi[a] || v == lo[a]) &&
                           std::abs(v - bias.mean[a]) > kFarSigmas * bias.noise[a];
        flat[a] = atEnd ? flat[a] + 1 : 0;
        if (flat[a] >= kFlatSamples) m.saturated = true;
      }
      m.rawStepMax = std::max(m.rawStepMax, std::sqrt(step2));
    }
    if (s.time != nullptr) m.seconds = s.time->time(m.last) + s.time->step(m.last) - s.time->time(m.first);
    m.rawAngle = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
    moves.push_back(m);
  }
  return moves;
}

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit
