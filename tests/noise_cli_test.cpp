// Noise figures as a user gets them: `tiltfit --noise STILL.csv`, the still stretches' white noise
// of `tiltfit --auto`, and the export files, on generated still recordings whose noise model is
// known exactly, and on the real MPU-6050 recordings in data/.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "gzip_text.h"
#include "imu_generator.h"
#include "still_generator.h"

namespace {

using nlohmann::json;
using tiltfit_test::Outcome;
using tiltfit_test::TempDir;

const std::string kExe = TILTFIT_EXE;
const std::string kData = std::string(TILTFIT_SOURCE_DIR) + "/data/";
constexpr double kG = 9.80665;
constexpr double kRadPerDeg = M_PI / 180.0;
const char* const kAxes[3] = {"x", "y", "z"};

Outcome tiltfit(const std::vector<std::string>& args, const std::string& stdinPath = "") {
  return tiltfit_test::run(kExe, args, 0, "", stdinPath);
}

json parsed(const Outcome& r) {
  EXPECT_EQ(r.status, 0) << r.err;
  return json::parse(r.out);
}

// A still recording of a consumer-grade IMU: white noise and random walk of both sensors.
tiltfit_gen::StillOptions still(double seconds) {
  tiltfit_gen::StillOptions o;
  o.seconds = seconds;
  o.rate = 100.0;
  for (auto& a : o.accel) {
    a.white = 2e-3;
    a.randomWalk = 3e-4;
  }
  for (auto& g : o.gyro) {
    g.white = 1.7e-4;
    g.randomWalk = 2e-5;
    g.bias = 0.004;
  }
  return o;
}

std::string write(const TempDir& dir, const std::string& name,
                  const tiltfit_gen::StillOptions& o) {
  const std::string path = dir.path() + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_TRUE(tiltfit_gen::writeStillCsv(f, o));
  std::fclose(f);
  return path;
}

// ---- A still recording ------------------------------------------------------------------------

struct Units {
  const char* name;
  tiltfit_gen::AccelUnits accel;
  tiltfit_gen::GyroUnits gyro;
  std::vector<std::string> extra;  // options the user gives for them
};

class StillUnits : public ::testing::TestWithParam<Units> {};

// N within 3% of the model on every axis of both sensors (20 min at 100 Hz gives the white noise
// to about 0.5%), and K's interval around the model's K, whatever units the file is written in.
TEST_P(StillUnits, FiguresAreTheModelsInSIUnits) {
  const Units& u = GetParam();
  tiltfit_gen::StillOptions o = still(1200.0);
  o.accelUnits = u.accel;
  o.gyroUnits = u.gyro;
  TempDir dir;
  const std::string path = write(dir, "still.csv", o);
  std::vector<std::string> args = {"--noise", path, "--json"};
  args.insert(args.end(), u.extra.begin(), u.extra.end());
  const json doc = parsed(tiltfit(args));
  ASSERT_TRUE(doc["success"].get<bool>());
  const json& n = doc["noise"];
  EXPECT_NEAR(n["rate_hz"].get<double>(), 100.0, 1e-6);
  for (int sensor = 0; sensor < 2; ++sensor) {
    const json& s = n[sensor == 0 ? "accelerometer" : "gyroscope"];
    EXPECT_EQ(s["units"], sensor == 0 ? "m/s^2" : "rad/s");
    for (int k = 0; k < 3; ++k) {
      const tiltfit_gen::AxisTruth t = tiltfit_gen::stillTruth(o, sensor == 1, k);
      const json& axis = s[kAxes[k]];
      SCOPED_TRACE(std::string(sensor == 0 ? "accelerometer " : "gyroscope ") + kAxes[k]);
      EXPECT_NEAR(axis["white_noise_density"]["value"].get<double>() / t.white, 1.0, 0.03);
      ASSERT_TRUE(axis["random_walk"].is_object()) << axis["not_determined"].dump();
      const json& K = axis["random_walk"];
      EXPECT_LE(K["low"].get<double>(), t.randomWalk * 1.05);
      EXPECT_GE(K["high"].get<double>(), t.randomWalk * 0.95);
      EXPECT_NEAR(K["value"].get<double>() / t.randomWalk, 1.0, 0.5);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Noise, StillUnits,
    ::testing::Values(
        Units{"SI", tiltfit_gen::AccelUnits::kMs2, tiltfit_gen::GyroUnits::kRadS, {}},
        Units{"GAndDegrees", tiltfit_gen::AccelUnits::kG, tiltfit_gen::GyroUnits::kDegS, {}},
        Units{"CountsGiven",
              tiltfit_gen::AccelUnits::kCounts,
              tiltfit_gen::GyroUnits::kCounts,
              {"--gyro-units", "131"}},
        Units{"DegreesGiven",
              tiltfit_gen::AccelUnits::kG,
              tiltfit_gen::GyroUnits::kDegS,
              {"--gyro-units", "deg/s"}}),
    [](const ::testing::TestParamInfo<Units>& i) { return std::string(i.param.name); });

// Gyro counts of no scale the file names: figures in counts, and the note says what to give.
TEST(StillRecording, GyroCountsWithoutAScaleSayWhatToGive) {
  tiltfit_gen::StillOptions o = still(300.0);
  o.gyroUnits = tiltfit_gen::GyroUnits::kCounts;
  TempDir dir;
  const Outcome r = tiltfit({"--noise", write(dir, "still.csv", o)});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("give --gyro-units COUNTS_PER_DEG_S"), std::string::npos) << r.err;
  // In counts, N is the model's times 131 counts per deg/s.
  const double counts = tiltfit_gen::stillTruth(o, true, 0).white / kRadPerDeg * 131.0;
  json doc = parsed(tiltfit({"--noise", write(dir, "still.csv", o), "--json"}));
  EXPECT_EQ(doc["noise"]["gyroscope"]["units"], "counts");
  EXPECT_NEAR(doc["noise"]["gyroscope"]["x"]["white_noise_density"]["value"].get<double>() / counts,
              1.0, 0.05);
}

// A turn or a bump in the middle is left out and said so; the figures stay the model's.
TEST(StillRecording, AMoveInTheMiddleIsLeftOut) {
  for (const auto event : {tiltfit_gen::StillEvent::kTurn, tiltfit_gen::StillEvent::kBump}) {
    tiltfit_gen::StillOptions o = still(600.0);
    o.event = event;
    o.eventSeconds = 3.0;
    TempDir dir;
    const std::string path = write(dir, "still.csv", o);
    const Outcome text = tiltfit({"--noise", path});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.err.find("left out:"), std::string::npos) << text.err;
    const json doc = parsed(tiltfit({"--noise", path, "--json"}));
    const json& n = doc["noise"];
    const double left = n["samples"].get<double>() - n["kept"].get<double>();
    EXPECT_GE(left, 300.0);   // the 3 s of the event
    EXPECT_LE(left, 1500.0);  // and not much of the still recording around it
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(n["gyroscope"][kAxes[k]]["white_noise_density"]["value"].get<double>() /
                      tiltfit_gen::stillTruth(o, true, k).white,
                  1.0, 0.03);
      EXPECT_NEAR(n["accelerometer"][kAxes[k]]["white_noise_density"]["value"].get<double>() /
                      tiltfit_gen::stillTruth(o, false, k).white,
                  1.0, 0.03);
    }
  }
}

// Gzip and standard input read as the plain file is.
TEST(StillRecording, GzipAndStandardInputGiveTheSameFigures) {
  TempDir dir;
  const std::string path = write(dir, "still.csv", still(120.0));
  const Outcome plain = tiltfit({"--noise", path});
  ASSERT_EQ(plain.status, 0) << plain.err;
  const std::string gz = dir.file("still.csv.gz", tiltfit_test::gzip(tiltfit_test::slurp(path)));
  const Outcome zipped = tiltfit({"--noise", gz});
  const Outcome piped = tiltfit({"--noise", "-"}, path);
  EXPECT_EQ(zipped.status, 0) << zipped.err;
  EXPECT_EQ(piped.status, 0) << piped.err;
  auto figures = [](const std::string& out) { return out.substr(out.find('\n')); };
  EXPECT_EQ(figures(zipped.out), figures(plain.out));
  EXPECT_EQ(figures(piped.out), figures(plain.out));
}

TEST(StillRecording, ThePlotIsWritten) {
  TempDir dir;
  const std::string svg = dir.path() + "/allan.svg";
  const Outcome r = tiltfit({"--noise", write(dir, "still.csv", still(120.0)), "--plot", svg});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string text = tiltfit_test::slurp(svg);
  EXPECT_NE(text.find("<svg"), std::string::npos);
  EXPECT_NE(text.find("</svg>"), std::string::npos);
}

// What cannot give figures fails with the reason and what to do, never with numbers.
TEST(StillRecording, FailuresSayWhy) {
  TempDir dir;
  // Never still: the device turned all along.
  std::string moving = "t,ax,ay,az,gx,gy,gz\n";
  for (int i = 0; i < 20000; ++i) {
    const double t = i * 0.01, a = 0.5 * t;
    char line[160];
    std::snprintf(line, sizeof line, "%.2f,%.5f,%.5f,%.5f,%.5f,0,0\n", t, 0.0, kG * std::sin(a),
                  kG * std::cos(a), 0.5);
    moving += line;
  }
  Outcome r = tiltfit({"--noise", dir.file("moving.csv", moving)});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find("Noise figures failed: no still part"), std::string::npos) << r.out;

  // No time column, no header rate: the rate is asked for.
  tiltfit_gen::StillOptions o = still(120.0);
  o.columns = "ax,ay,az,gx,gy,gz";
  const std::string untimed = write(dir, "untimed.csv", o);
  r = tiltfit({"--noise", untimed});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE((r.out + r.err).find("--rate"), std::string::npos) << r.out << r.err;
  r = tiltfit({"--noise", untimed, "--rate", "100"});
  EXPECT_EQ(r.status, 0) << r.err;

  // Too short for an Allan deviation worth the name.
  r = tiltfit({"--noise", write(dir, "short.csv", still(0.3))});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.find("white noise N"), std::string::npos) << r.out;

  // --format needs --output, and the other way round.
  EXPECT_EQ(tiltfit({"--noise", untimed, "--format", "kalibr"}).status, 234);
  EXPECT_EQ(tiltfit({"--noise", untimed, "--output", dir.path() + "/x.yaml"}).status, 234);
}

// An accelerometer-only still recording gives the accelerometer's figures alone.
TEST(StillRecording, AccelerometerOnly) {
  const tiltfit_gen::StillOptions o = still(300.0);
  TempDir dir;
  // The time and the accelerometer's columns alone.
  std::istringstream all(tiltfit_test::slurp(write(dir, "imu.csv", o)));
  std::string line, kept;
  while (std::getline(all, line)) {
    std::size_t cut = 0;
    for (int commas = 0; commas < 4 && cut != std::string::npos; ++commas)
      cut = line.find(',', cut + (commas > 0 ? 1 : 0));
    kept += line.substr(0, cut) + "\n";
  }
  const json doc = parsed(tiltfit({"--noise", dir.file("acc.csv", kept), "--json"}));
  EXPECT_TRUE(doc["noise"]["gyroscope"].is_null());
  EXPECT_NEAR(doc["noise"]["accelerometer"]["z"]["white_noise_density"]["value"].get<double>() /
                  tiltfit_gen::stillTruth(o, false, 2).white,
              1.0, 0.03);
}

// ---- The real MPU-6050 ------------------------------------------------------------------------

// The numeric lines of a CSV file, as columns.
std::vector<std::vector<double>> numericColumns(const std::string& path, std::size_t count) {
  std::ifstream in(path);
  std::string line;
  std::vector<std::vector<double>> cols(count);
  while (std::getline(in, line)) {
    if (line.empty() || !(std::isdigit(static_cast<unsigned char>(line[0])) || line[0] == '-'))
      continue;
    std::stringstream s(line);
    std::string f;
    for (std::size_t k = 0; k < count && std::getline(s, f, ','); ++k)
      cols[k].push_back(std::atof(f.c_str()));
  }
  return cols;
}

// White noise by hand: for a sensor whose short-term noise is white, the spread of first
// differences is sqrt(2) sigma, and N = sigma sqrt(dt).
double handWhite(const std::vector<double>& c, double toSI, double dt) {
  double ss = 0.0;
  for (std::size_t i = 1; i < c.size(); ++i) ss += (c[i] - c[i - 1]) * (c[i] - c[i - 1]);
  return std::sqrt(ss / static_cast<double>(c.size() - 1) / 2.0) * toSI * std::sqrt(dt);
}

double mean(const std::vector<double>& c) {
  double s = 0.0;
  for (double v : c) s += v;
  return s / static_cast<double>(c.size());
}

// 7.5 minutes still at 100 Hz (the "Fs,100" header): N of both sensors as the samples give it by
// hand, and the slower terms not determined, with the length that would show them.
TEST(RealData, MpuStillRecording) {
  const std::string path = kData + "tomisuarez_mpu6050_static.csv";
  const Outcome text = tiltfit({"--noise", path, "--gyro-units", "131"});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("at 100 Hz"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("record at least about"), std::string::npos) << text.out;
  const json doc = parsed(tiltfit({"--noise", path, "--gyro-units", "131", "--json"}));
  const json& n = doc["noise"];
  // Counts per g by the magnitude at rest; the gyro's 131 counts per deg/s.
  const std::vector<std::vector<double>> c = numericColumns(path, 6);
  ASSERT_GT(c[0].size(), 40000u);
  const double perG = std::hypot(mean(c[0]), mean(c[1]), mean(c[2]));
  std::vector<double> acc, gyr;
  for (std::size_t k = 0; k < 3; ++k) {
    acc.push_back(handWhite(c[k], kG / perG, 0.01));
    gyr.push_back(handWhite(c[3 + k], kRadPerDeg / 131.0, 0.01));
  }
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(kAxes[k]);
    EXPECT_NEAR(n["accelerometer"][kAxes[k]]["white_noise_density"]["value"].get<double>() /
                    acc[static_cast<std::size_t>(k)],
                1.0, 0.1);
    EXPECT_NEAR(n["gyroscope"][kAxes[k]]["white_noise_density"]["value"].get<double>() /
                    gyr[static_cast<std::size_t>(k)],
                1.0, 0.1);
    EXPECT_TRUE(n["gyroscope"][kAxes[k]]["bias_instability"].is_null());
    EXPECT_TRUE(n["gyroscope"][kAxes[k]]["not_determined"].contains("bias_instability"));
  }
}

// The calibration session of the same sensor: its still stretches' white noise near the still
// recording's (different recordings: within 15%), the hand-held positions' extra noise left out.
TEST(RealData, MpuSessionStretchesAgreeWithTheStillRecording) {
  const json still = parsed(tiltfit(
      {"--noise", kData + "tomisuarez_mpu6050_static.csv", "--gyro-units", "131", "--json"}));
  const json session = parsed(tiltfit({"--auto", kData + "tomisuarez_mpu6050_imu.csv", "--json"}));
  const json& s = session["noise"];
  ASSERT_EQ(s["source"], "still stretches") << s.dump();
  EXPECT_LT(s["gyroscope_stretches_pooled"].get<int>(), s["gyroscope_stretches"].get<int>());
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(kAxes[k]);
    for (const char* sensor : {"accelerometer", "gyroscope"}) {
      const double a = s[sensor][kAxes[k]]["white_noise_density"]["value"].get<double>();
      const double b = still["noise"][sensor][kAxes[k]]["white_noise_density"]["value"].get<double>();
      EXPECT_NEAR(a / b, 1.0, 0.15) << sensor;
    }
  }
}

// ---- A generated calibration session ----------------------------------------------------------

tiltfit_gen::ImuOptions session() {
  tiltfit_gen::ImuOptions o;
  o.accel.seed = 3;
  o.accel.noise = 0.002;  // g per sample
  o.rate = 100;
  o.randomPoses = 8;
  o.gyroNoise = 0.05;  // deg/s per sample
  return o;
}

std::string writeSession(const TempDir& dir, const tiltfit_gen::ImuOptions& o) {
  const std::string path = dir.path() + "/session.csv";
  const tiltfit_gen::ImuRecording rec = tiltfit_gen::generateImu(o);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  tiltfit_gen::writeImuCsv(f, rec, o);
  std::fclose(f);
  return path;
}

// The stretches' white noise against the model's per-sample noise: N = sigma sqrt(dt).
TEST(Session, StillStretchesGiveTheWhiteNoise) {
  const tiltfit_gen::ImuOptions o = session();
  TempDir dir;
  const std::string path = writeSession(dir, o);
  const Outcome text = tiltfit({"--auto", path});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.err.find("white noise at 100 Hz, of"), std::string::npos) << text.err;
  const json doc = parsed(tiltfit({"--auto", path, "--json"}));
  const json& n = doc["noise"];
  const double accN = o.accel.noise * kG * 0.1, gyroN = o.gyroNoise * kRadPerDeg * 0.1;
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(n["accelerometer"][kAxes[k]]["white_noise_density"]["value"].get<double>() / accN,
                1.0, 0.06);
    EXPECT_NEAR(n["gyroscope"][kAxes[k]]["white_noise_density"]["value"].get<double>() / gyroN,
                1.0, 0.06);
    EXPECT_TRUE(n["gyroscope"][kAxes[k]]["random_walk"].is_null());
  }
}

// The session's calibration and a still recording's noise in one OpenVINS file, as OpenCV reads
// it; a still recording in other units than the session's is read in its own, and said so.
TEST(Session, OpenVinsFileFromASessionAndAStillRecording) {
  const tiltfit_gen::ImuOptions o = session();
  TempDir dir;
  const std::string sessionPath = writeSession(dir, o);
  tiltfit_gen::StillOptions so = still(300.0);
  for (const auto units : {tiltfit_gen::GyroUnits::kRadS, tiltfit_gen::GyroUnits::kDegS}) {
    so.gyroUnits = units;
    const std::string stillPath = write(dir, "still.csv", so);
    const std::string yaml = dir.path() + "/imu.yaml";
    const Outcome r = tiltfit({"--auto", sessionPath, "--noise-file", stillPath, "--format",
                               "openvins", "--output", yaml});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("gyroscope does not read in the session's units") != std::string::npos,
              units == tiltfit_gen::GyroUnits::kDegS)
        << r.err;
    cv::FileStorage fs(yaml, cv::FileStorage::READ);
    ASSERT_TRUE(fs.isOpened());
    const cv::FileNode imu = fs["imu0"];
    EXPECT_NEAR(static_cast<double>(imu["gyroscope_noise_density"]) /
                    tiltfit_gen::stillTruth(so, true, 0).white,
                1.0, 0.05);
    EXPECT_NEAR(static_cast<double>(imu["accelerometer_noise_density"]) /
                    tiltfit_gen::stillTruth(so, false, 0).white,
                1.0, 0.05);
    EXPECT_EQ(static_cast<double>(imu["update_rate"]), 100.0);
    // The generator's sensor is ideal: both intrinsic matrices within 0.3% of the identity.
    for (const char* key : {"Tw", "Ta"}) {
      const cv::FileNode m = imu[key];
      ASSERT_EQ(m.size(), 3u) << key;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          EXPECT_NEAR(static_cast<double>(m[i][j]), i == j ? 1.0 : 0.0, 3e-3) << key;
    }
  }
}

// Kalibr's file from a still recording alone, as yaml-cpp reads it: each figure the largest axis.
TEST(Exports, KalibrFromAStillRecording) {
  tiltfit_gen::StillOptions o = still(1200.0);
  o.gyro[1].white = 2.5e-4;  // the largest axis is the one written
  TempDir dir;
  const std::string yaml = dir.path() + "/imu.yaml";
  const Outcome r = tiltfit(
      {"--noise", write(dir, "still.csv", o), "--format", "kalibr", "--output", yaml});
  ASSERT_EQ(r.status, 0) << r.err;
  const YAML::Node k = YAML::LoadFile(yaml);
  EXPECT_NEAR(k["gyroscope_noise_density"].as<double>() / tiltfit_gen::stillTruth(o, true, 1).white,
              1.0, 0.03);
  EXPECT_NEAR(k["accelerometer_noise_density"].as<double>() /
                  tiltfit_gen::stillTruth(o, false, 0).white,
              1.0, 0.03);
  EXPECT_NEAR(k["gyroscope_random_walk"].as<double>() / 2e-5, 1.0, 0.6);
  EXPECT_EQ(k["update_rate"].as<double>(), 100.0);
}

}  // namespace
