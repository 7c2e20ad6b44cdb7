// The gyroscope's calibration on the two real sessions in data/: after calibration, the moves
// between still positions must carry the gravity direction at least twice as well as the raw
// rates, and the whole turns of the imucal session must close on 360 deg.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gyro_session.h"

namespace {

using namespace tiltfit_test;

void report(const gyro::GyroResult& r) {
  std::printf("%s; units %s; method %s; %zu rests, %zu moves; noise scale %.2f\n",
              r.timeNote.c_str(), r.units.note.c_str(), r.method.c_str(), r.rests.size(),
              r.moves.size(), r.noiseScale);
  std::printf("gravity error (deg) before %.3f mean %.3f rms %.3f worst; after %.3f / %.3f / %.3f;"
              " held out %.3f / %.3f / %.3f; expected %.3f\n",
              r.before.meanDeg, r.before.rmsDeg, r.before.worstDeg, r.after.meanDeg,
              r.after.rmsDeg, r.after.worstDeg, r.heldOut.meanDeg, r.heldOut.rmsDeg,
              r.heldOut.worstDeg, r.expectedErrorDeg);
  for (const gyro::Move& m : r.moves)
    std::printf("  move rows %zu-%zu: gravity %.1f deg, turn %.1f deg, error %.3f -> %.3f (held out "
                "%.3f), weight %.2f%s\n",
                m.first, m.last, m.gravityChangeDeg, m.turnDeg, m.errorBeforeDeg, m.errorAfterDeg,
                m.heldOutDeg, m.weight, m.usable() ? "" : " unusable");
  for (const std::string& w : r.warnings) std::printf("  warning: %s\n", w.c_str());
}

TEST(GyroRealData, ImucalTurnsCloseOn360AndMovesHalveTheirError) {
  const Columns c = loadCsv(std::string(TILTFIT_SOURCE_DIR) + "/data/imucal_ferraris_imu.csv", 0);
  const double rate = 102.4;
  const gyro::TimeBase time =
      gyro::TimeBase::fromCounter(c["n_samples"].data(), c["n_samples"].size(), rate);
  gyro::GyroSeries s;
  const auto poses = realPoses(c["acc_x"], c["acc_y"], c["acc_z"], 9.81, 20, s);
  s.ax = c["acc_x"].data();
  s.ay = c["acc_y"].data();
  s.az = c["acc_z"].data();
  s.x = c["gyr_x"].data();
  s.y = c["gyr_y"].data();
  s.z = c["gyr_z"].data();
  s.n = c["gyr_x"].size();
  s.time = &time;
  const gyro::GyroResult r = gyro::calibrateGyro(s, poses);
  report(r);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.method, "moves");
  EXPECT_EQ(r.units.name, "deg/s");
  EXPECT_EQ(r.wholeTurns, 3u);
  EXPECT_LE(r.turnClosureDeg, 0.5);
  EXPECT_LE(r.after.meanDeg, 0.5 * r.before.meanDeg);
}

TEST(GyroRealData, Mpu6050MovesHalveTheirError) {
  const Columns c = loadCsv(std::string(TILTFIT_SOURCE_DIR) + "/data/tomisuarez_mpu6050_imu.csv", 4);
  const gyro::TimeBase time = gyro::TimeBase::fromRate(c["gx"].size(), 100.0);
  gyro::GyroSeries s;
  const auto poses = realPoses(c["ax"], c["ay"], c["az"], 16384.0, 20, s);
  s.ax = c["ax"].data();
  s.ay = c["ay"].data();
  s.az = c["az"].data();
  s.x = c["gx"].data();
  s.y = c["gy"].data();
  s.z = c["gz"].data();
  s.n = c["gx"].size();
  s.time = &time;
  const gyro::GyroResult r = gyro::calibrateGyro(s, poses);
  report(r);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.units.name, "counts");
  EXPECT_LE(r.after.meanDeg, 0.5 * r.before.meanDeg);
}

}  // namespace
