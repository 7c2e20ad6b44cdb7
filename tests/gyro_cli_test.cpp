// The gyroscope as a user calibrates it: `tiltfit --auto FILE` on generated sessions in every unit
// and time base, and on the real recordings in data/. Truth comes from the generator's model,
// carried into the frame the tool reports the accelerometer in: if the tool's accelerometer
// calibration is c = A raw + b and the sensor reads raw = K u + o, its frame is Q = A K, and the
// gyro it reports should be Q times the true gyro calibration.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "imu_generator.h"

namespace {

using nlohmann::json;
using tiltfit_test::Outcome;
using tiltfit_test::TempDir;

const std::string kExe = TILTFIT_EXE;
const std::string kData = std::string(TILTFIT_SOURCE_DIR) + "/data/";
constexpr double kDeg = 180.0 / M_PI;

Eigen::Matrix3d matrix(const json& rows) {
  Eigen::Matrix3d m;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m(i, j) = rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)].get<double>();
  return m;
}

// A bench session of six faces and random poses, with a gyro of 1-2 % scale errors and
// half-degree misalignment.
tiltfit_gen::ImuOptions session(unsigned seed) {
  tiltfit_gen::ImuOptions o;
  o.accel.seed = seed;
  o.accel.noise = 0.001;
  const double K[9] = {1.01, 0.002, -0.003, 0.001, 0.99, 0.004, -0.002, 0.003, 1.005};
  for (int i = 0; i < 9; ++i) o.accel.gain[i] = K[i];
  o.accel.offset[0] = 0.02;
  o.accel.offset[1] = -0.015;
  o.accel.offset[2] = 0.03;
  o.rate = 100;
  o.randomPoses = 10;
  const double M[9] = {1.015, 0.008, -0.005, -0.006, 0.985, 0.009, 0.004, -0.007, 1.02};
  for (int i = 0; i < 9; ++i) o.gyroMatrix[i] = M[i];
  o.gyroBias[0] = 0.3;
  o.gyroBias[1] = -0.2;
  o.gyroBias[2] = 0.15;
  o.gyroNoise = 0.03;
  return o;
}

struct Case {
  const char* name;
  const char* units;  // "rad", "deg", "counts"
  const char* time;   // "s", "ms", "us", "ns", "counter"
  bool gyroFirst;
  double jitter;
};

class GyroCliTest : public ::testing::TestWithParam<Case> {};

// The whole gyro matrix in the accelerometer's frame, the bias, and the moves after calibration.
TEST_P(GyroCliTest, TheGyroComesOutAsTheSensorIsInTheAccelerometersFrame) {
  const Case& c = GetParam();
  tiltfit_gen::ImuOptions o = session(7);
  o.gyroUnits = c.units;
  if (o.gyroUnits == "counts") o.countsZero = 32768;
  o.timeUnit = c.time;
  o.gyroFirst = c.gyroFirst;
  o.jitter = c.jitter;
  const tiltfit_gen::ImuRecording rec = tiltfit_gen::generateImu(o);
  TempDir dir;
  const std::string path = dir.path() + "/session.csv";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  tiltfit_gen::writeImuCsv(f, rec, o);
  std::fclose(f);
  std::vector<std::string> args = {"--auto", path, "--json"};
  if (std::string(c.time) == "counter") args.insert(args.end(), {"--rate", "100"});
  const Outcome out = tiltfit_test::run(kExe, args);
  ASSERT_EQ(out.status, 0) << out.err;
  const json doc = json::parse(out.out);
  const json& g = doc["gyro"];
  ASSERT_TRUE(g["success"].get<bool>()) << g.dump(1);
  ASSERT_EQ(g["method"], "moves") << g.dump(1);

  // The tool's accelerometer frame against the true one.
  const Eigen::Matrix3d A = matrix(doc["calibration"]["column_form"]["gain"]);
  Eigen::Matrix3d K;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) K(i, j) = o.accel.gain[3 * i + j];
  const Eigen::Matrix3d Q = A * K;
  double gain[9], offset[3];
  tiltfit_gen::trueGyroCalibration(o, 0.0, gain, offset);
  Eigen::Matrix3d trueA;
  Eigen::Vector3d trueB;
  for (int i = 0; i < 3; ++i) {
    trueB[i] = offset[i];
    for (int j = 0; j < 3; ++j) trueA(j, i) = gain[3 * i + j];  // row form to column form
  }
  const Eigen::Matrix3d expected = Q * trueA;
  const Eigen::Matrix3d got = matrix(g["column_form"]["gain"]);
  // The worst direction's rate error, relative: the largest singular value of (got - expected)
  // against the true map. Measured 0.02-0.03 %.
  const double rateError = ((got - expected) * expected.inverse()).jacobiSvd().singularValues()[0];
  EXPECT_LE(rateError, 1e-3) << c.name;
  Eigen::Vector3d b;
  for (int i = 0; i < 3; ++i) b[i] = g["offset"][static_cast<std::size_t>(i)].get<double>();
  // The bias: what the calibrated gyro reads at rest, where the raw reading is the true one at no
  // rate (a counts converter's zero and the bias together).
  const Eigen::Vector3d still = -trueA.inverse() * trueB;
  const Eigen::Vector3d atRest = got * still + b - (expected * still + Q * trueB);
  EXPECT_LE((atRest * kDeg).cwiseAbs().maxCoeff(), 0.01) << c.name;  // deg/s
  EXPECT_LE(g["quality"]["after"]["mean_deg"].get<double>(), 0.1) << c.name;
  EXPECT_LT(g["quality"]["after"]["mean_deg"].get<double>(),
            g["quality"]["before"]["mean_deg"].get<double>());
  EXPECT_EQ(g["raw_units"]["name"], std::string(c.units) == "rad"   ? "rad/s"
                                    : std::string(c.units) == "deg" ? "deg/s"
                                                                    : "counts");
}

INSTANTIATE_TEST_SUITE_P(
    UnitsAndTimes, GyroCliTest,
    ::testing::Values(Case{"RadPerSecondSeconds", "rad", "s", false, 0.0002},
                      Case{"DegPerSecondMilliseconds", "deg", "ms", false, 0.0002},
                      Case{"CountsMicrosecondsGyroFirst", "counts", "us", true, 0.0002},
                      Case{"DegPerSecondNanoseconds", "deg", "ns", false, 0.0},
                      Case{"CountsCounterAndRate", "counts", "counter", false, 0.0}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

// Positions joined with no moves: the bias alone, no gain matrix, and what to record.
TEST(GyroCliTest, JoinedPositionsGiveTheBiasAndSayWhatToRecord) {
  tiltfit_gen::ImuOptions o = session(3);
  o.randomPoses = 0;
  o.joined = true;
  o.gyroUnits = "deg";
  const tiltfit_gen::ImuRecording rec = tiltfit_gen::generateImu(o);
  TempDir dir;
  const std::string path = dir.path() + "/joined.csv";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  tiltfit_gen::writeImuCsv(f, rec, o);
  std::fclose(f);
  const Outcome text = tiltfit_test::run(kExe, {"--auto", path});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("Gyroscope bias only"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find("gyroGainMatrix"), std::string::npos);
  EXPECT_NE(text.err.find("without pausing the logger"), std::string::npos) << text.err;
  const json g = json::parse(tiltfit_test::run(kExe, {"--auto", path, "--json"}).out)["gyro"];
  EXPECT_EQ(g["method"], "bias");
  EXPECT_TRUE(g["gain_matrix"].is_null());
  // The raw bias, deg/s as the gyro reads them, against the generator's.
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(g["bias_raw"][i].get<double>(), o.gyroBias[i], 0.01) << i;
  }
}

// The real sessions: the whole turns of the Ferraris session close on 360 degrees, and every move
// carries gravity within half of what the raw rates do.
TEST(GyroCliTest, RealSessionsCalibrate) {
  const Outcome ferraris =
      tiltfit_test::run(kExe, {"--auto", kData + "imucal_ferraris_imu.csv", "--rate", "102.4",
                               "--json"});
  ASSERT_EQ(ferraris.status, 0) << ferraris.err;
  const json f = json::parse(ferraris.out)["gyro"];
  ASSERT_EQ(f["method"], "moves");
  EXPECT_EQ(f["quality"]["whole_turns"], 3);
  EXPECT_LE(f["quality"]["turn_closure_deg"].get<double>(), 0.5);  // measured 0.06
  for (const json& m : f["moves"]) {
    if (m["whole_turn"].get<bool>()) {
      EXPECT_NEAR(m["angle_deg"].get<double>(), 360.0, 0.5);
    }
  }
  EXPECT_LE(f["quality"]["after"]["mean_deg"].get<double>(),
            0.5 * f["quality"]["before"]["mean_deg"].get<double>());
  // Without a rate the counter times nothing: the reason, and the accelerometer as before.
  const Outcome norate =
      tiltfit_test::run(kExe, {"--auto", kData + "imucal_ferraris_imu.csv"});
  EXPECT_EQ(norate.status, 0);
  EXPECT_NE(norate.out.find("Gyroscope not calibrated: no time base"), std::string::npos);

  const Outcome mpu = tiltfit_test::run(kExe, {"--auto", kData + "tomisuarez_mpu6050_imu.csv", "--json"});
  ASSERT_EQ(mpu.status, 0) << mpu.err;
  const json m = json::parse(mpu.out)["gyro"];
  ASSERT_EQ(m["method"], "moves");
  EXPECT_EQ(m["time"]["rate_hz"], 100.0);  // from its "Fs,100" line
  EXPECT_LE(m["quality"]["after"]["mean_deg"].get<double>(),
            0.5 * m["quality"]["before"]["mean_deg"].get<double>());
}

}  // namespace
