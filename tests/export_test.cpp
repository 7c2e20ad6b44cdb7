// The export files, each loaded with the parser its software uses (yaml-cpp for Kalibr, OpenCV's
// FileStorage for OpenVINS and VINS, nlohmann-json for Basalt, the parameter files split as
// ArduPilot and QGroundControl split them), checked against the sensor they were made from: a
// known model raw = M a + o of each sensor, of which the calibration is the inverse. And the
// Allan deviation plot.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "allanPlot.h"
#include "export/exportCommon.h"
#include "export/exportFormat.h"
#include "test_util.h"

namespace {

using namespace tiltfit::report;
using namespace tiltfit::report::exports;
using tiltfit_test::expectClose;

using M3 = std::array<std::array<double, 3>, 3>;
using V3 = std::array<double, 3>;

V3 mul(const M3& A, const V3& v) {
  V3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r[static_cast<std::size_t>(i)] +=
          A[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] *
          v[static_cast<std::size_t>(j)];
  return r;
}
M3 mul(const M3& A, const M3& B) {
  M3 r{};
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j)
      for (std::size_t k = 0; k < 3; ++k) r[i][j] += A[i][k] * B[k][j];
  return r;
}
M3 inverse(const M3& A) {
  double a[3][3], r[3][3];
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) a[i][j] = A[i][j];
  tiltfit::report::exports::inverse(a, r);
  M3 out;
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) out[i][j] = r[i][j];
  return out;
}
double norm(const V3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

constexpr double kLocalGravity = 9.8103;
constexpr double kCountsPerG = 16384.0;
constexpr double kCountsPerDegS = 131.0;
constexpr double kRadPerDeg = 3.14159265358979323846 / 180.0;

// The sensors: accelerometer raw (m/s^2 as a driver scales counts) = Ma a + oa, with gains of a
// few percent, cross-axis terms of a few tenths of a percent both symmetric and not (a turn of
// 0.2 deg), and offsets of tens of mg; gyro raw (rad/s) = Mg w + og likewise.
struct Sensors {
  M3 Ma = {{{1.021, 0.0040, -0.0030}, {0.0005, 0.987, 0.0020}, {0.0060, -0.0010, 1.012}}};
  V3 oa = {0.25, -0.18, 0.41};
  M3 Mg = {{{1.004, 0.0030, 0.0012}, {-0.0020, 0.996, 0.0045}, {0.0008, -0.0036, 1.009}}};
  V3 og = {0.012, -0.007, 0.004};
};

// The model tiltfit would hand the writers: raw accelerometer counts to g, raw gyro counts to
// rad/s, and noise figures per axis.
ImuModel modelOf(const Sensors& s) {
  ImuModel m;
  m.accel.present = true;
  m.accelRaw = AccelRaw::kCounts;
  m.accelCountsPerG = kCountsPerG;
  m.accelOutputG = true;
  m.gravity = kLocalGravity;
  // c = a / g_local = Ma^-1 (counts * 9.80665 / 16384 - oa) / g_local.
  const M3 inv = inverse(s.Ma);
  for (std::size_t i = 0; i < 3; ++i) {
    m.accel.b[i] = 0.0;
    for (std::size_t j = 0; j < 3; ++j) {
      m.accel.A[i][j] = inv[i][j] * kStandardGravity / kCountsPerG / kLocalGravity;
      m.accel.b[i] -= inv[i][j] * s.oa[j] / kLocalGravity;
    }
  }
  m.gyro.present = true;
  m.gyroRaw = GyroRaw::kCounts;
  m.gyroCountsPerDegS = kCountsPerDegS;
  const M3 ginv = inverse(s.Mg);
  for (std::size_t i = 0; i < 3; ++i) {
    m.gyro.b[i] = 0.0;
    for (std::size_t j = 0; j < 3; ++j) {
      m.gyro.A[i][j] = ginv[i][j] * kRadPerDeg / kCountsPerDegS;
      m.gyro.b[i] -= ginv[i][j] * s.og[j];
    }
  }
  m.rate = 200.0;
  const double N[3] = {1.9e-3, 2.1e-3, 2.6e-3}, K[3] = {3.0e-4, 4.4e-4, 3.9e-4};
  const double Ng[3] = {1.6e-4, 1.8e-4, 1.7e-4}, Kg[3] = {2.0e-5, 1.9e-5, 2.4e-5};
  for (int k = 0; k < 3; ++k) {
    m.accelNoise[k].white = {true, N[k], 0.95 * N[k], 1.05 * N[k]};
    m.accelNoise[k].randomWalk = {true, K[k], 0.8 * K[k], 1.2 * K[k]};
    m.gyroNoise[k].white = {true, Ng[k], 0.95 * Ng[k], 1.05 * Ng[k]};
    m.gyroNoise[k].randomWalk = {true, Kg[k], 0.8 * Kg[k], 1.2 * Kg[k]};
  }
  m.topic = "/imu0";
  m.source = "generated: 2 h at 200 Hz";
  return m;
}

// Random directions of test vectors, fixed seed.
std::vector<V3> directions(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> n;
  std::vector<V3> v;
  for (int k = 0; k < 20; ++k) v.push_back({n(rng), n(rng), n(rng)});
  return v;
}

// ---- Kalibr -------------------------------------------------------------------------------------

TEST(Kalibr, LoadsWithEveryKeyInItsUnits) {
  const ExportText out = kalibrFormat().write(modelOf(Sensors{}));
  const YAML::Node y = YAML::Load(out.text);
  // The largest axis, continuous time, as given.
  EXPECT_EQ(y["accelerometer_noise_density"].as<double>(), 2.6e-3);
  EXPECT_EQ(y["accelerometer_random_walk"].as<double>(), 4.4e-4);
  EXPECT_EQ(y["gyroscope_noise_density"].as<double>(), 1.8e-4);
  EXPECT_EQ(y["gyroscope_random_walk"].as<double>(), 2.4e-5);
  EXPECT_EQ(y["rostopic"].as<std::string>(), "/imu0");
  EXPECT_EQ(y["update_rate"].as<double>(), 200.0);
  EXPECT_TRUE(out.notes.empty());
}

TEST(Kalibr, AFigureNotDeterminedIsLeftOutAndNamed) {
  ImuModel m = modelOf(Sensors{});
  m.gyroNoise[1].randomWalk.known = false;
  m.rate = 0.0;
  const ExportText out = kalibrFormat().write(m);
  const YAML::Node y = YAML::Load(out.text);
  EXPECT_FALSE(y["gyroscope_random_walk"]);
  EXPECT_FALSE(y["update_rate"]);
  EXPECT_TRUE(y["gyroscope_noise_density"]);
  ASSERT_EQ(out.notes.size(), 2u);
  EXPECT_NE(out.notes[0].find("gyroscope random walk not determined"), std::string::npos);
}

// ---- OpenVINS -----------------------------------------------------------------------------------

M3 readMatrix(const cv::FileNode& node) {
  M3 m{};
  EXPECT_TRUE(node.isSeq());
  EXPECT_EQ(node.size(), 3u);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      m[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] = static_cast<double>(node[i][j]);
  return m;
}

// Read as OpenVINS reads it, the file's model must be the sensors': both sensors' corrections
// D = T^-1 give the truth in one common frame, R0 = Da Ma = R_IMUtoGYRO^T Dw Mg, a rotation; Da
// lower triangular (model kalibr) and R_IMUtoACC the identity.
TEST(OpenVins, FileStorageReadsTheSensorsModel) {
  const Sensors s;
  const ExportText out = openvinsFormat().write(modelOf(s));
  cv::FileStorage fs(out.text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
  ASSERT_TRUE(fs.isOpened());
  const cv::FileNode imu = fs["imu0"];
  EXPECT_EQ(static_cast<double>(imu["accelerometer_noise_density"]), 2.6e-3);
  EXPECT_EQ(static_cast<double>(imu["gyroscope_random_walk"]), 2.4e-5);
  EXPECT_EQ(static_cast<double>(imu["update_rate"]), 200.0);
  EXPECT_EQ(static_cast<std::string>(imu["rostopic"]), "/imu0");
  EXPECT_EQ(static_cast<std::string>(imu["model"]), "kalibr");
  const M3 Da = inverse(readMatrix(imu["Ta"])), Dw = inverse(readMatrix(imu["Tw"]));
  const M3 Ra = readMatrix(imu["R_IMUtoACC"]), Rw = readMatrix(imu["R_IMUtoGYRO"]);
  const M3 Tg = readMatrix(imu["Tg"]);
  EXPECT_EQ(Da[0][1], 0.0);
  expectClose(Da[0][2], 0.0, 0.0, 1e-15);
  expectClose(Da[1][2], 0.0, 0.0, 1e-15);
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) {
      expectClose(Ra[i][j], i == j ? 1.0 : 0.0, 0.0, 0.0);
      EXPECT_EQ(Tg[i][j], 0.0);
    }
  M3 RwT;
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) RwT[i][j] = Rw[j][i];
  const M3 R0 = mul(Da, s.Ma), R1 = mul(RwT, mul(Dw, s.Mg));
  const M3 R0tR0 = mul(R0, inverse(R0));
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) {
      expectClose(R1[i][j], R0[i][j], 0.0, 1e-9);  // the file's 12 digits
      double dot = 0.0;
      for (std::size_t k = 0; k < 3; ++k) dot += R0[k][i] * R0[k][j];
      expectClose(dot, i == j ? 1.0 : 0.0, 0.0, 1e-9);  // a rotation
      (void)R0tR0;
    }
  // What the notes say: the turn of the frame and the bias for OpenVINS's start.
  ASSERT_EQ(out.notes.size(), 2u);
  EXPECT_NE(out.notes[1].find("turned by"), std::string::npos);
}

// ---- VINS ---------------------------------------------------------------------------------------

TEST(Vins, FileStorageReadsPerSampleDeviations) {
  const ExportText out = vinsFormat().write(modelOf(Sensors{}));
  cv::FileStorage fs(out.text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
  ASSERT_TRUE(fs.isOpened());
  // N sqrt(rate) and K / sqrt(rate) at 200 Hz, by hand, to the 5 digits written.
  expectClose(static_cast<double>(fs["acc_n"]), 2.6e-3 * std::sqrt(200.0), 5e-5);
  expectClose(static_cast<double>(fs["gyr_n"]), 1.8e-4 * std::sqrt(200.0), 5e-5);
  expectClose(static_cast<double>(fs["acc_w"]), 4.4e-4 / std::sqrt(200.0), 5e-5);
  expectClose(static_cast<double>(fs["gyr_w"]), 2.4e-5 / std::sqrt(200.0), 5e-5);
  EXPECT_EQ(static_cast<double>(fs["g_norm"]), kLocalGravity);
}

TEST(Vins, WithoutTheRateNothingIsConverted) {
  ImuModel m = modelOf(Sensors{});
  m.rate = 0.0;
  const ExportText out = vinsFormat().write(m);
  cv::FileStorage fs(out.text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
  EXPECT_TRUE(fs["acc_n"].empty());
  EXPECT_FALSE(fs["g_norm"].empty());
  EXPECT_EQ(out.notes.size(), 4u);
}

// ---- Basalt -------------------------------------------------------------------------------------

// Basalt's calibrated readings (I - M)(raw - bias) must give the truth in one frame for both
// sensors: (I - Ma) Ma = (I - Mg) Mg, a rotation, and the biases the sensors' offsets.
TEST(Basalt, JsonHoldsTheSensorsModel) {
  const Sensors s;
  const ExportText out = basaltFormat().write(modelOf(s));
  const nlohmann::json j = nlohmann::json::parse(out.text)["value0"];
  const std::vector<double> a = j["calib_accel_bias"], g = j["calib_gyro_bias"];
  ASSERT_EQ(a.size(), 9u);
  ASSERT_EQ(g.size(), 12u);
  M3 Ia{}, Ig{};
  const int at[6][2] = {{0, 0}, {1, 0}, {2, 0}, {1, 1}, {2, 1}, {2, 2}};
  for (std::size_t i = 0; i < 3; ++i) Ia[i][i] = Ig[i][i] = 1.0;
  for (int k = 0; k < 6; ++k)
    Ia[static_cast<std::size_t>(at[k][0])][static_cast<std::size_t>(at[k][1])] -=
        a[3 + static_cast<std::size_t>(k)];
  for (std::size_t col = 0; col < 3; ++col)
    for (std::size_t row = 0; row < 3; ++row) Ig[row][col] -= g[3 + 3 * col + row];
  const M3 R0 = mul(Ia, s.Ma), R1 = mul(Ig, s.Mg);
  for (std::size_t i = 0; i < 3; ++i) {
    expectClose(a[i], s.oa[i], 0.0, 1e-9);
    expectClose(g[i], s.og[i], 0.0, 1e-12);
    for (std::size_t k = 0; k < 3; ++k) expectClose(R1[i][k], R0[i][k], 0.0, 1e-9);
  }
  for (const V3& v : directions(3)) expectClose(norm(mul(R0, v)), norm(v), 1e-9);
  EXPECT_EQ(j["imu_update_rate"].get<double>(), 200.0);
  // Per axis, continuous time, as given.
  EXPECT_EQ(j["accel_noise_std"], nlohmann::json::parse("[1.9e-3, 2.1e-3, 2.6e-3]"));
  EXPECT_EQ(j["gyro_noise_std"], nlohmann::json::parse("[1.6e-4, 1.8e-4, 1.7e-4]"));
  EXPECT_EQ(j["accel_bias_std"], nlohmann::json::parse("[3.0e-4, 4.4e-4, 3.9e-4]"));
  EXPECT_EQ(j["gyro_bias_std"], nlohmann::json::parse("[2.0e-5, 1.9e-5, 2.4e-5]"));
}

// ---- ArduPilot and PX4 --------------------------------------------------------------------------

// Lines as AP_Param::parse_param_line splits them: '#' comments, name and value between any of
// ", =\t".
std::map<std::string, double> readArduPilot(const std::string& text) {
  std::map<std::string, double> p;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t cut = line.find_first_of(", =\t");
    EXPECT_NE(cut, std::string::npos) << line;
    const std::size_t value = line.find_first_not_of(", =\t", cut);
    p[line.substr(0, cut)] = std::stod(line.substr(value));
  }
  return p;
}

// QGroundControl's .params: '#' comments, then vehicle, component, name, value, type by tabs.
std::map<std::string, std::pair<double, int>> readQgc(const std::string& text) {
  std::map<std::string, std::pair<double, int>> p;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) f.push_back(field);
    EXPECT_EQ(f.size(), 5u) << line;
    if (f.size() != 5) continue;
    EXPECT_EQ(f[0], "1");
    EXPECT_EQ(f[1], "1");
    p[f[2]] = {std::stod(f[3]), std::stoi(f[4])};
  }
  return p;
}

// A sensor with gains and offsets only: the flight stacks' diagonal form is exact, by hand
// scale_i = 9.80665 / (g_local Ma_ii) (they take 1 g at rest for 9.80665 m/s^2) and offset_i =
// oa_i, and the gyro offsets are og.
Sensors diagonalSensors() {
  Sensors s;
  s.Ma = {{{1.021, 0, 0}, {0, 0.987, 0}, {0, 0, 1.012}}};
  s.Mg = {{{1.004, 0, 0}, {0, 0.996, 0}, {0, 0, 1.009}}};
  return s;
}

TEST(ArduPilot, ParametersAsItSplitsThem) {
  const Sensors s = diagonalSensors();
  const ExportText out = ardupilotFormat().write(modelOf(s));
  const auto p = readArduPilot(out.text);
  ASSERT_EQ(p.size(), 9u);
  const char* axes[3] = {"X", "Y", "Z"};
  for (std::size_t i = 0; i < 3; ++i) {
    expectClose(p.at(std::string("INS_ACCOFFS_") + axes[i]), s.oa[i], 1e-8);
    expectClose(p.at(std::string("INS_ACCSCAL_") + axes[i]),
                kStandardGravity / (kLocalGravity * s.Ma[i][i]), 1e-8);
    expectClose(p.at(std::string("INS_GYROFFS_") + axes[i]), s.og[i], 1e-8);
  }
  EXPECT_NE(out.text.find("up to 0.0 mg"), std::string::npos) << out.text;
}

TEST(ArduPilot, SecondImuAndTheCostOfCrossTerms) {
  // One cross-axis term of 1e-3: it moves a reading along y by 1e-3 of its raw x component,
  // g0 u_x + oa_x for a reading g0 u: by hand the worst is 1e-3 (g0 + 0.25) / g0 g = 1.0255 mg
  // (u along x), the mean 1e-3 g E|u_x| = 0.5 mg to 0.1 %.
  Sensors s = diagonalSensors();
  s.Ma = {{{1.0, 0, 0}, {0, 1.0, 0}, {0, 0, 1.0}}};
  ImuModel m = modelOf(s);
  m.accel.A[1][0] += 1e-3 * kStandardGravity / kCountsPerG / kLocalGravity;  // c_y += 1e-3 raw_x
  m.sensorIndex = 1;
  const ExportText out = ardupilotFormat().write(m);
  const auto p = readArduPilot(out.text);
  EXPECT_EQ(p.count("INS_ACC2OFFS_X"), 1u);
  EXPECT_EQ(p.count("INS_ACC2SCAL_Z"), 1u);
  EXPECT_EQ(p.count("INS_GYR2OFFS_Y"), 1u);
  DiagonalForm d = diagonalForm(accelSI(m, kStandardGravity));
  expectClose(d.worstMg, 1.0 + 0.25 / kStandardGravity,
              2e-3);  // the lattice misses u = x by little
  expectClose(d.meanMg, 0.5, 2e-3);
  EXPECT_NE(out.text.find("A_yx 0.001"), std::string::npos) << out.text;
}

TEST(Px4, ParametersAsQGroundControlLoadsThem) {
  const Sensors s = diagonalSensors();
  ImuModel m = modelOf(s);
  ExportText out = px4Format().write(m);
  auto p = readQgc(out.text);
  EXPECT_EQ(p.count("CAL_ACC0_ID"), 0u);
  EXPECT_NE(out.text.find("# CAL_ACC0_ID not written"), std::string::npos);
  const char* axes[3] = {"X", "Y", "Z"};
  for (std::size_t i = 0; i < 3; ++i) {
    const auto off = p.at(std::string("CAL_ACC0_") + axes[i] + "OFF");
    const auto scale = p.at(std::string("CAL_ACC0_") + axes[i] + "SCALE");
    EXPECT_EQ(off.second, 9);
    expectClose(off.first, s.oa[i], 1e-8);
    expectClose(scale.first, kStandardGravity / (kLocalGravity * s.Ma[i][i]), 1e-8);
    expectClose(p.at(std::string("CAL_GYRO0_") + axes[i] + "OFF").first, s.og[i], 1e-8);
  }
  m.deviceId = 2490378;
  out = px4Format().write(m);
  p = readQgc(out.text);
  EXPECT_EQ(p.at("CAL_ACC0_ID"), std::make_pair(2490378.0, 6));
}

// ---- Every format -------------------------------------------------------------------------------

class EveryFormat : public testing::TestWithParam<const ExportFormat*> {};

// Without a gyroscope and without noise figures every file is still written, and says what it
// could not.
TEST_P(EveryFormat, WritesWhatItHasAndNamesTheRest) {
  ImuModel m = modelOf(Sensors{});
  m.gyro.present = false;
  for (int k = 0; k < 3; ++k) m.accelNoise[k] = m.gyroNoise[k] = AxisNoise{};
  const ExportText out = GetParam()->write(m);
  EXPECT_FALSE(out.text.empty());
  EXPECT_FALSE(out.notes.empty());
  EXPECT_EQ(findExportFormat(GetParam()->name()), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryFormat, testing::ValuesIn(exportFormats()),
                         [](const testing::TestParamInfo<const ExportFormat*>& i) {
                           return std::string(i.param->name());
                         });

TEST(Formats, TheTable) {
  ASSERT_EQ(exportFormats().size(), 6u);
  EXPECT_EQ(findExportFormat("nonesuch"), nullptr);
  EXPECT_STREQ(exportFormats()[0]->name(), "kalibr");
}

// ---- The QL factors -----------------------------------------------------------------------------

TEST(QLFactors, RebuildTheMatrix) {
  const double A[3][3] = {{1.02, 0.004, -0.003}, {0.0005, 0.987, 0.002}, {0.006, -0.001, 1.012}};
  const QLFactors f = qlFactors(A);
  ASSERT_TRUE(f.ok);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double v = 0.0;
      for (int k = 0; k < 3; ++k) v += f.Q[i][k] * f.L[k][j];
      expectClose(v, A[i][j], 0.0, 1e-15);
      if (j > i) {
        EXPECT_EQ(f.L[i][j], 0.0);
      }
    }
  for (int k = 0; k < 3; ++k) EXPECT_GT(f.L[k][k], 0.0);
  const double mirror[3][3] = {{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  EXPECT_FALSE(qlFactors(mirror).ok);
}

// ---- The plot -----------------------------------------------------------------------------------

AllanPlotInput plotInput() {
  AllanPlotInput in;
  in.title = "still <rec> & more";
  for (const char* sensor : {"accelerometer", "gyroscope"}) {
    AllanPanel p;
    p.title = sensor;
    p.unit = "m/s^2";
    for (int k = 0; k < 3; ++k) {
      AllanSeries s;
      s.name = std::string(1, static_cast<char>('x' + k));
      s.label = "N 2e-3";
      for (int i = 0; i < 30; ++i) {
        const double tau = 0.01 * std::pow(10.0, i / 8.0);
        const double a = 2e-3 * (1 + 0.1 * k) / std::sqrt(tau);
        s.tau.push_back(tau);
        s.adev.push_back(a);
        s.lo.push_back(0.9 * a);
        s.hi.push_back(1.1 * a);
        s.fit.push_back(a);
      }
      p.series.push_back(s);
    }
    in.panels.push_back(p);
  }
  return in;
}

std::size_t count(const std::string& s, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

TEST(AllanPlot, EveryAxisCurveBandAndFit) {
  const std::string svg = allanPlotSvg(plotInput());
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_EQ(count(svg, "<svg "), 1u);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
  EXPECT_EQ(count(svg, "stroke-width=\"2\"/>"), 6u + 6u);  // curves and legend keys
  EXPECT_EQ(count(svg, "stroke-dasharray"), 6u);           // fits
  EXPECT_EQ(count(svg, "fill-opacity=\"0.18\""), 6u);      // bands
  EXPECT_NE(svg.find("still &lt;rec&gt; &amp; more"), std::string::npos);
  EXPECT_EQ(svg.find("<rec>"), std::string::npos);
  // Decades: tau from 1e-2 to 1e2 (the last point at 0.01 * 10^(29/8) = 42 s), labelled.
  EXPECT_NE(svg.find(">10<tspan dy=\"-7\" font-size=\"10\">-2</tspan>"), std::string::npos);
  EXPECT_NE(svg.find(">10<tspan dy=\"-7\" font-size=\"10\">2</tspan>"), std::string::npos);
  EXPECT_EQ(svg, allanPlotSvg(plotInput()));  // deterministic
}

TEST(AllanPlot, ValuesThatCannotBePlottedAreLeftOut) {
  AllanPlotInput in = plotInput();
  in.panels[0].series[0].adev[5] = std::nan("");
  in.panels[0].series[0].adev[6] = 0.0;
  const std::string svg = allanPlotSvg(in);
  EXPECT_EQ(svg.find("nan"), std::string::npos);
  EXPECT_EQ(svg.find("inf"), std::string::npos);
  AllanPlotInput empty;
  empty.panels.resize(1);
  EXPECT_NE(allanPlotSvg(empty).find("no curve"), std::string::npos);
}

}  // namespace
