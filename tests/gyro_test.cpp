// The gyroscope's calibration on generated sessions, judged by the generator's true model.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "gyro_session.h"

namespace {

using namespace tiltfit_test;

TEST(GyroDraft, Runs) {
  tiltfit_gen::ImuOptions o;
  o.gyroUnits = "deg";
  const double M[9] = {1.01, 0.004, -0.006, -0.003, 0.985, 0.008, 0.005, -0.002, 1.02};
  std::copy(M, M + 9, o.gyroMatrix);
  o.gyroBias[0] = 0.5; o.gyroBias[1] = -0.3; o.gyroBias[2] = 0.2;
  o.faceTurns = true;
  o.randomPoses = 4;
  if (getenv("NOISE0")) { o.gyroNoise = 0; o.accel.noise = 1e-5; o.accel.quantum = 0; }
  if (getenv("WOB0")) o.wobbleDeg = 0;
  Session s = makeSession(o);
  printf("%s rate %.3f poses %zu\n", s.time.note().c_str(), s.time.meanRate(), s.poses.size());
  gyro::GyroResult r = gyro::calibrateGyro(s.series(), s.poses);
  double g[9], b[3];
  tiltfit_gen::trueGyroCalibration(o, 0, g, b);
  printf("ok %d method %s units %s u %.4f rests %zu moves %zu scale %.2f\n", r.ok, r.method.c_str(), r.units.note.c_str(), r.units.unitsPerRadS, r.rests.size(), r.moves.size(), r.noiseScale);
  printf("before %.3f/%.3f after %.4f/%.4f held %.4f exp %.4f turns %zu closure %.3f\n", r.before.meanDeg, r.before.worstDeg, r.after.meanDeg, r.after.worstDeg, r.heldOut.rmsDeg, r.expectedErrorDeg, r.wholeTurns, r.turnClosureDeg);
  printf("rate err %.5f bias err %.5f deg/s\n", worstRateError(r.gain, g), biasErrorDegS(r.gain, r.offset, g, b));
  for (auto& p : s.poses) { for (auto& tr : s.rec.rests) if (p.first >= tr.first && p.first < tr.first + tr.count) {
      Eigen::Vector3d a(p.gravity[0], p.gravity[1], p.gravity[2]), t(tr.gravity[0], tr.gravity[1], tr.gravity[2]);
      printf("pose %zu-%zu true rest %zu-%zu err %.4f sigma %.4f\n", p.first, p.last, tr.first, tr.first + tr.count - 1, angleDeg(a, t), p.gravitySigma * 57.3); } }
  for (auto& w : r.warnings) printf("W: %s\n", w.c_str());
  for (auto& w : r.advice) printf("A: %s\n", w.c_str());
  for (auto& m : r.moves) { const auto& r0 = r.rests[m.from]; const auto& r1 = r.rests[m.to];
    Eigen::Vector3d a0(r0.gravity[0], r0.gravity[1], r0.gravity[2]), a1(r1.gravity[0], r1.gravity[1], r1.gravity[2]);
    printf("truth %.4f fit-direct %.4f  ", angleDeg(carryDirect(s.series(), m.first, m.last, g, b, a0), a1), angleDeg(carryDirect(s.series(), m.first, m.last, r.gain, r.offset, a0), a1));
    printf("move %zu-%zu grav %.1f before %.3f after %.4f held %.4f turn %.2f w %.2f %d%d%d\n", m.first, m.last, m.gravityChangeDeg, m.errorBeforeDeg, m.errorAfterDeg, m.heldOutDeg, m.turnDeg, m.weight, m.gap, m.saturated, m.tooFast);}
}

}  // namespace
