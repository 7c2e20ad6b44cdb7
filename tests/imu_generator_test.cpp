// The IMU generator against hand-computable cases: its rates integrate to the rotations it
// planned, its accelerometer reads the orientation it rests in, its truth undoes its sensor, and
// its files and command line are what they say.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "imu_generator.h"

namespace {

using tiltfit_gen::ImuOptions;
using tiltfit_gen::ImuRecording;

// The rotation the rates of rows first..last turn the body by: the product of each sample's
// rotation over 1 / rate, rates in rad/s.
Eigen::Matrix3d integrate(const ImuRecording& rec, std::size_t first, std::size_t last,
                          double rate) {
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  for (std::size_t i = first; i <= last; ++i) {
    const Eigen::Vector3d th = Eigen::Vector3d(rec.gx[i], rec.gy[i], rec.gz[i]) / rate;
    if (th.norm() > 0) R = R * Eigen::AngleAxisd(th.norm(), th.normalized()).toRotationMatrix();
  }
  return R;
}

Eigen::Matrix3d orientation(const tiltfit_gen::ImuRest& r) {
  Eigen::Matrix3d R;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) R(i, j) = r.R[3 * i + j];
  return R;
}

ImuOptions quiet() {
  ImuOptions o;
  o.gyroNoise = 0.0;
  o.accel.noise = 0.0;
  o.accel.quantum = 0.0;
  return o;
}

TEST(ImuGenerator, MovesIntegrateToTheTurnBetweenTheirRests) {
  ImuOptions o = quiet();
  o.headingDeg = 0.0;
  o.wobbleDeg = 0.0;
  o.faceTurns = true;
  const ImuRecording rec = tiltfit_gen::generateImu(o);
  ASSERT_EQ(rec.moves.size() + 1, rec.rests.size());
  for (std::size_t k = 0; k < rec.moves.size(); ++k) {
    const tiltfit_gen::ImuMove& m = rec.moves[k];
    const Eigen::Matrix3d turned = integrate(rec, m.first, m.first + m.count - 1, o.rate);
    const double angle = Eigen::AngleAxisd(turned).angle() * 180.0 / M_PI;
    if (m.wholeTurn) {
      // The written rates are rounded to 1e-6 rad/s: a few 1e-6 deg over a move.
      EXPECT_NEAR(angle, 0.0, 5e-5);
      // About the vertical, by a whole turn: the rates summed along gravity.
      const Eigen::Vector3d u(rec.rests[k].gravity[0], rec.rests[k].gravity[1],
                              rec.rests[k].gravity[2]);
      double psi = 0.0;
      for (std::size_t i = m.first; i < m.first + m.count; ++i)
        psi += u.dot(Eigen::Vector3d(rec.gx[i], rec.gy[i], rec.gz[i])) / o.rate;
      EXPECT_NEAR(std::abs(psi) * 180.0 / M_PI, 360.0, 5e-5);
    } else {
      // The faces' order turns by 90 deg about one axis each time.
      EXPECT_NEAR(angle, 90.0, 5e-5) << "move " << k;
      EXPECT_NEAR(m.angleDeg, 90.0, 1e-9);
    }
    // And from the orientation before to the one after, wobble or not.
    const Eigen::Matrix3d expected =
        orientation(rec.rests[k]).transpose() * orientation(rec.rests[k + 1]);
    EXPECT_LE(Eigen::AngleAxisd(expected.transpose() * turned).angle(), 1e-6) << "move " << k;
  }
}

TEST(ImuGenerator, WobblingMovesStillReachTheNextRest) {
  ImuOptions o = quiet();
  o.randomPoses = 3;
  o.wobbleDeg = 15.0;
  const ImuRecording rec = tiltfit_gen::generateImu(o);
  for (std::size_t k = 0; k < rec.moves.size(); ++k) {
    const tiltfit_gen::ImuMove& m = rec.moves[k];
    const Eigen::Matrix3d turned = integrate(rec, m.first, m.first + m.count - 1, o.rate);
    const Eigen::Matrix3d expected =
        orientation(rec.rests[k]).transpose() * orientation(rec.rests[k + 1]);
    // The per-sample product of a rate whose axis turns: second order in the step, 0.01 deg.
    EXPECT_LE(Eigen::AngleAxisd(expected.transpose() * turned).angle() * 180.0 / M_PI, 0.01)
        << "move " << k;
  }
}

TEST(ImuGenerator, TheAccelerometerReadsEachRestsOrientation) {
  ImuOptions o;
  o.randomPoses = 4;
  const double K[9] = {1.02, 0.01, 0, 0.01, 0.97, 0, 0, 0, 1.0};
  std::copy(K, K + 9, o.accel.gain);
  o.accel.offset[2] = 0.05;
  const ImuRecording rec = tiltfit_gen::generateImu(o);
  double G[9], b[3];
  tiltfit_gen::trueCalibration(o.accel, G, b);
  for (const tiltfit_gen::ImuRest& r : rec.rests) {
    double mean[3] = {0, 0, 0};
    for (std::size_t i = r.first; i < r.first + r.count; ++i) {
      mean[0] += rec.ax[i] / static_cast<double>(r.count);
      mean[1] += rec.ay[i] / static_cast<double>(r.count);
      mean[2] += rec.az[i] / static_cast<double>(r.count);
    }
    Eigen::Vector3d c;
    for (int i = 0; i < 3; ++i) c[i] = G[3 * i] * mean[0] + G[3 * i + 1] * mean[1] + G[3 * i + 2] * mean[2] + b[i];
    // The orientation's gravity, R^T (0, 0, -1), through the noise of 300 samples (2 mg each).
    const Eigen::Vector3d u = orientation(r).transpose() * Eigen::Vector3d(0, 0, -1);
    EXPECT_LE((c - u).norm(), 5e-4);
    EXPECT_NEAR(u.dot(Eigen::Vector3d(r.gravity[0], r.gravity[1], r.gravity[2])), 1.0, 1e-12);
  }
  // The first rest is the first face: z up reads -1 on z.
  EXPECT_NEAR(rec.rests[0].gravity[2], -1.0, 1e-12);
}

TEST(ImuGenerator, TheTruthUndoesTheGyro) {
  for (const char* units : {"rad", "deg", "counts"}) {
    SCOPED_TRACE(units);
    ImuOptions o = quiet();
    o.gyroUnits = units;
    o.countsZero = 32768;
    const double M[9] = {1.01, 0.01, 0, -0.02, 0.99, 0.005, 0, 0, 1.03};
    std::copy(M, M + 9, o.gyroMatrix);
    o.gyroBias[0] = 1.0;
    o.gyroBias[1] = -2.0;
    const ImuRecording rec = tiltfit_gen::generateImu(o);
    double gain[9], offset[3];
    tiltfit_gen::trueGyroCalibration(o, 0.0, gain, offset);
    const tiltfit_gen::ImuMove& m = rec.moves[1];
    // Calibrated rates of a move integrate as the true ones (to the counts' rounding).
    ImuRecording calibrated = rec;
    for (std::size_t i = 0; i < rec.gx.size(); ++i) {
      const double raw[3] = {rec.gx[i], rec.gy[i], rec.gz[i]};
      double w[3];
      for (int j = 0; j < 3; ++j)
        w[j] = raw[0] * gain[j] + raw[1] * gain[3 + j] + raw[2] * gain[6 + j] + offset[j];
      calibrated.gx[i] = w[0];
      calibrated.gy[i] = w[1];
      calibrated.gz[i] = w[2];
    }
    const Eigen::Matrix3d turned = integrate(calibrated, m.first, m.first + m.count - 1, o.rate);
    const Eigen::Matrix3d expected =
        orientation(rec.rests[1]).transpose() * orientation(rec.rests[2]);
    EXPECT_LE(Eigen::AngleAxisd(expected.transpose() * turned).angle() * 180.0 / M_PI, 0.01);
    // At rest it reads no rate.
    const std::size_t i = rec.rests[0].first;
    EXPECT_NEAR(calibrated.gx[i], 0.0, 1e-4);
    EXPECT_NEAR(calibrated.gy[i], 0.0, 1e-4);
  }
}

TEST(ImuGenerator, FileLayoutAndStamps) {
  ImuOptions o;
  o.gyroFirst = true;
  o.gyroNames = "gx,gy,gz";
  o.timeName = "timestamp";
  o.timeUnit = "ns";
  o.epoch = true;
  o.gyroUnits = "counts";
  const ImuRecording rec = tiltfit_gen::generateImu(o);
  std::FILE* f = std::tmpfile();
  tiltfit_gen::writeImuCsv(f, rec, o);
  std::rewind(f);
  char line[256];
  ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
  EXPECT_STREQ(line, "timestamp,gx,gy,gz,accx,accy,accz\n");
  ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
  long long t = 0;
  int g[3];
  double a[3];
  ASSERT_EQ(std::sscanf(line, "%lld,%d,%d,%d,%lf,%lf,%lf", &t, &g[0], &g[1], &g[2], &a[0], &a[1],
                        &a[2]),
            7);
  EXPECT_NEAR(static_cast<double>(t), 1.7e18, 1e3);
  EXPECT_EQ(g[0], static_cast<int>(rec.gx[0]));
  EXPECT_NEAR(a[2], rec.az[0], 5e-7);  // six decimals
  std::fclose(f);
  // Stamps 10 ms apart in ns, on the epoch.
  EXPECT_NEAR(rec.time[1] - rec.time[0], 1e7, 512);
}

TEST(ImuGenerator, JoinedFilesAndGapsLeaveRowsOut) {
  ImuOptions o;
  o.joined = true;
  const ImuRecording joined = tiltfit_gen::generateImu(o);
  std::size_t restRows = 0;
  for (const auto& r : joined.rests) restRows += r.count;
  EXPECT_EQ(joined.ax.size(), restRows);
  // The stamps jump over each move left out.
  EXPECT_GT(joined.time[joined.rests[1].first] - joined.time[joined.rests[1].first - 1], 1.0);
  ImuOptions g;
  g.gaps = 2;
  const ImuRecording gapped = tiltfit_gen::generateImu(g);
  int cut = 0;
  for (const auto& m : gapped.moves) cut += m.gap;
  EXPECT_EQ(cut, 2);
}

TEST(ImuGenerator, Arguments) {
  const auto parse = [](std::vector<std::string> args) { return tiltfit_gen::parseImuArguments(args); };
  const tiltfit_gen::ImuArguments a =
      parse({"--gyro", "--rate", "200", "--gyro-counts", "131,32768", "--time", "ms", "--seed", "5",
             "--gyro-bias", "1,2,3", "--truth", "-o", "x.csv", "--face-turns"});
  EXPECT_DOUBLE_EQ(a.options.rate, 200.0);
  EXPECT_EQ(a.options.gyroUnits, "counts");
  EXPECT_DOUBLE_EQ(a.options.countsZero, 32768.0);
  EXPECT_EQ(a.options.accel.seed, 5u);
  EXPECT_DOUBLE_EQ(a.options.gyroBias[2], 3.0);
  EXPECT_TRUE(a.truth);
  EXPECT_TRUE(a.options.faceTurns);
  EXPECT_EQ(a.output, "x.csv");
  EXPECT_TRUE(tiltfit_gen::wantsImu({"--seed", "3", "--gyro-noise", "0.1"}));
  EXPECT_FALSE(tiltfit_gen::wantsImu({"--seed", "3", "--tilt", "5"}));
  const auto fails = [&](std::vector<std::string> args, const char* says) {
    try {
      parse(args);
      ADD_FAILURE() << "accepted " << args[0];
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
  };
  fails({"--rate", "fast"}, "--rate needs a number");
  fails({"--gyro-bias", "1,2"}, "3 comma-separated");
  fails({"--gyro-units", "rpm"}, "rad, deg or counts");
  fails({"--gyro", "--restart"}, "--restart goes with --joined");
  fails({"--gyro", "--time", "days"}, "s, ms, us, ns");
  fails({"--gyro", "--bogus"}, "unknown option --bogus");
  fails({"--rate"}, "needs a value");
}

}  // namespace
