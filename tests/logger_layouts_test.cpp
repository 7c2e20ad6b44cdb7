// Files as loggers and firmware write them, each run as a new user would: `tiltfit --auto FILE`
// with no other option. Every one is made from a generated recording with a known sensor, so the
// result is checked against the truth: the still stretches read 1 g within 1 mg after
// calibration, and the calibration fits the true sensor.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "gzip_text.h"
#include "recording_generator.h"

namespace {

using nlohmann::json;
using tiltfit_test::Outcome;
using tiltfit_test::TempDir;

const std::string kExe = TILTFIT_EXE;

// A sensor with offsets, gains and cross-axis terms, rests of 2000 samples.
tiltfit_gen::Options sensor(bool metric) {
  tiltfit_gen::Options o;
  o.seed = 16;
  o.metric = metric;
  o.offset[0] = 0.031;
  o.offset[1] = -0.022;
  o.offset[2] = 0.047;
  const double K[9] = {1.018, 0.006, -0.004, 0.003, 0.986, 0.007, -0.005, 0.002, 1.011};
  for (int k = 0; k < 9; ++k) o.gain[k] = K[k];
  return o;
}

// A file's bytes and, for each of its lines (1-based), the sample it holds or -1.
struct Text {
  std::string bytes;
  std::vector<long> sampleAt = {-1};

  void line(const std::string& l, long sample = -1) {
    bytes += l;
    sampleAt.push_back(sample);
  }
};

std::string number(double v, int decimals = 6) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

// The 39-column logger file: a state word, a nanosecond time, a record kind and a sequence
// number, the scaled accelerometer in g in columns 5-7, then estimated, compensated and gravity
// accelerations in m/s^2, a gyroscope, a magnetometer, a temperature, a quaternion and more. Every
// other line is a record of the estimator, whose scaled-accelerometer fields are empty.
Text loggerFile(const tiltfit_gen::Recording& r, const tiltfit_gen::Options& o) {
  Text text;
  text.line(
      "state,timestamp_ns,record,seq,scaledAccelX,scaledAccelY,scaledAccelZ,estAccX,estAccY,"
      "estAccZ,compAccX,compAccY,compAccZ,gravityX,gravityY,gravityZ,gyroX,gyroY,gyroZ,magX,magY,"
      "magZ,temperature,q0,q1,q2,q3,pressure,altitude,batteryVoltage,velN,velE,velD,posN,posE,posD,"
      "flags,cpuLoad,crc\n");
  for (std::size_t i = 0; i < r.x.size(); ++i) {
    const double g[3] = {r.x[i], r.y[i], r.z[i]};
    const double norm = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
    std::string common;
    for (int j = 0; j < 3; ++j) common += "," + number(9.81 * g[j], 4);  // estimated
    for (int j = 0; j < 3; ++j)
      common += "," + number(9.81 * (g[j] - o.offset[j]), 4);                   // compensated
    for (int j = 0; j < 3; ++j) common += "," + number(9.81 * g[j] / norm, 4);  // gravity
    common += "," + number(0.001 * static_cast<double>(i % 7), 4) + ",-0.0021,0.0013";  // gyro
    for (int j = 0; j < 3; ++j) common += "," + number(48.0 * g[(j + 1) % 3], 2);  // magnetometer
    common += ",24.5,1,0,0,0,1013.2,120.5,3.91,0,0,0,0,0,0,17,0.31,9e2";
    const std::string time =
        std::to_string(1712000000000000000LL + 1000000LL * static_cast<long long>(i));
    text.line("4097," + time + ",1," + std::to_string(2 * i) + "," + number(g[0]) + "," +
                  number(g[1]) + "," + number(g[2]) + common + "\n",
              static_cast<long>(i));
    text.line("4097," + time + "500,2," + std::to_string(2 * i + 1) + ",,," + common + "\n");
  }
  return text;
}

// A serial monitor's capture (PlatformIO style): a banner, the board's boot lines, a header, ">>>"
// prompts between the rests, ", " between the numbers and CRLF on some lines only.
Text serialMonitorFile(const tiltfit_gen::Recording& r) {
  Text text;
  for (const char* banner :
       {"--- Terminal on /dev/ttyUSB0 | 115200 8-N-1\n",
        "--- Available filters and text transformations: colorize, debug, default, direct, "
        "hexlify, log2file, nocontrol, printable, send_on_enter, time\n",
        "--- More details at https://bit.ly/pio-monitor-filters\n",
        "--- Quit: Ctrl+C | Menu: Ctrl+T | Help: Ctrl+T followed by Ctrl+H\n",
        "ets Jul 29 2019 12:21:46\r\n",
        "rst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n",
        "IMU ready at 100 Hz, range 2 g\n", "ax, ay, az\n"}) {
    text.line(banner);
  }
  std::size_t rest = 0;
  for (std::size_t i = 0; i < r.x.size(); ++i) {
    if (rest < r.rests.size() && i + 150 == static_cast<std::size_t>(r.rests[rest].first)) {
      text.line(">>> Turn the board and hold it still (" + std::to_string(rest + 1) + " of 6)\r\n");
      text.line(">>> \n");
      ++rest;
    }
    text.line(number(r.x[i]) + ", " + number(r.y[i]) + ", " + number(r.z[i]) +
                  (i % 3 == 0 ? "\r\n" : "\n"),
              static_cast<long>(i));
  }
  return text;
}

// A header that says g over values in m/s^2.
Text wrongUnitsFile(const tiltfit_gen::Recording& r) {
  Text text;
  text.line("aX (g),aY (g),aZ (g)\n");
  for (std::size_t i = 0; i < r.x.size(); ++i) {
    text.line(number(r.x[i], 5) + "," + number(r.y[i], 5) + "," + number(r.z[i], 5) + "\n",
              static_cast<long>(i));
  }
  return text;
}

// Where the recording is cut into six pieces: halfway through each rotation between two rests.
std::vector<std::size_t> segmentStarts(const tiltfit_gen::Recording& r) {
  std::vector<std::size_t> starts = {0};
  for (std::size_t k = 1; k < r.rests.size(); ++k) {
    const auto& a = r.rests[k - 1];
    starts.push_back(static_cast<std::size_t>((a.first + a.count + r.rests[k].first) / 2));
  }
  return starts;
}

// No header; a time in milliseconds first, starting again at 0 in each of six segments.
Text restartingTimeFile(const tiltfit_gen::Recording& r) {
  const std::vector<std::size_t> starts = segmentStarts(r);
  Text text;
  std::size_t segment = 0;
  for (std::size_t i = 0; i < r.x.size(); ++i) {
    if (segment + 1 < starts.size() && i == starts[segment + 1]) ++segment;
    text.line(std::to_string(10 * (i - starts[segment])) + "," + number(r.x[i]) + "," +
                  number(r.y[i]) + "," + number(r.z[i]) + "\n",
              static_cast<long>(i));
  }
  return text;
}

// Six files, one per orientation, each with its header and its own time, put one after the other.
Text concatenatedFiles(const tiltfit_gen::Recording& r) {
  std::vector<std::size_t> starts = segmentStarts(r);
  starts.push_back(r.x.size());
  Text text;
  for (std::size_t s = 0; s + 1 < starts.size(); ++s) {
    text.line("timestamp,accX,accY,accZ\r\n");
    for (std::size_t i = starts[s]; i < starts[s + 1]; ++i) {
      text.line(number(0.01 * static_cast<double>(i - starts[s]), 2) + "," + number(r.x[i]) + "," +
                    number(r.y[i]) + "," + number(r.z[i]) + "\r\n",
                static_cast<long>(i));
    }
  }
  return text;
}

struct Layout {
  std::string name;
  Text text;
  bool metric = false;  // the values are in m/s^2
  std::string columns;  // what the summary line must say of the columns
  bool gzip = false;    // the file is the text compressed with gzip
  bool piped = false;   // given as `tiltfit --auto -`, the file on standard input
};

// The layout of case k, made from a recording of its own.
Layout layout(int k, tiltfit_gen::Options& truth) {
  truth = sensor(k == 2);
  truth.seed = 16 + static_cast<std::uint64_t>(k);
  const tiltfit_gen::Recording r = tiltfit_gen::generate(truth);
  const std::string serial = "columns 1,2,3 as x, y, z: named \"ax\", \"ay\", \"az\" in the header";
  switch (k) {
    case 0:
      return {"39-column interleaved logger", loggerFile(r, truth), false,
              "columns 5,6,7 as x, y, z: named \"scaledAccelX\", \"scaledAccelY\", "
              "\"scaledAccelZ\" in the header, preferred over the estimated, compensated and "
              "gravity ones"};
    case 1:
      return {"serial monitor capture", serialMonitorFile(r), false, serial};
    case 2:
      return {"header in g over m/s^2", wrongUnitsFile(r), true,
              "columns 1,2,3 as x, y, z: named \"aX (g)\", \"aY (g)\", \"aZ (g)\" in the header; "
              "the header says g, the values are in m/s^2, which decide"};
    case 3:
      return {"time restarting in every segment", restartingTimeFile(r), false,
              "columns 2,3,4 as x, y, z: the only three columns of numbers besides column 1, "
              "which only grows (a time or index)"};
    case 4:
      return {"serial monitor capture, gzip file", serialMonitorFile(r), false, serial, true};
    case 5:
      return {"serial monitor capture, gzip through a pipe",
              serialMonitorFile(r),
              false,
              serial,
              true,
              true};
    default:
      return {"six files concatenated", concatenatedFiles(r), false,
              "columns 2,3,4 as x, y, z: named \"accX\", \"accY\", \"accZ\" in the header"};
  }
}

// The sphere error of a document's calibration against the true sensor: mean and worst over 4000
// directions of | |calibrated| - 1 g |, in mg.
void sphereError(const json& doc, const tiltfit_gen::Options& o, double& mean, double& worst) {
  const json& c = doc["calibration"]["column_form"];
  double G[9];
  double b[3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      G[3 * i + j] = c["gain"][static_cast<size_t>(i)][static_cast<size_t>(j)].get<double>();
    b[i] = c["offset"][static_cast<size_t>(i)].get<double>();
  }
  tiltfit_gen::sphereError(o, G, b, o.metric ? 9.81 : 1.0, mean, worst);
}

class LoggerLayoutTest : public ::testing::TestWithParam<int> {};

TEST_P(LoggerLayoutTest, AutoAloneCalibratesWithinOneMilligram) {
  TempDir dir;
  tiltfit_gen::Options truth;
  const Layout l = layout(GetParam(), truth);
  const tiltfit_gen::Recording r = tiltfit_gen::generate(truth);
  const std::string bytes = l.gzip ? tiltfit_test::gzip(l.text.bytes) : l.text.bytes;
  const std::string file = dir.file(l.gzip ? "recording.csv.gz" : "recording.csv", bytes);
  const std::string path = l.piped ? "-" : file;
  const std::string input = l.piped ? file : "";

  // The logs' gyro columns hold made-up numbers, no rotation: the accelerometer alone is judged.
  const Outcome text = tiltfit_test::run(kExe, {"--auto", path, "--no-gyro"}, 0, "", input);
  ASSERT_EQ(text.status, 0) << l.name << "\n" << text.err;
  EXPECT_EQ(text.out.rfind("Calibration success\naccOffset:\n", 0), 0u) << text.out;
  EXPECT_EQ(text.err.rfind("tiltfit: " + l.columns, 0), 0u) << l.name << "\n" << text.err;
  EXPECT_EQ(text.err.find("warning"), std::string::npos) << text.err;

  const Outcome o = tiltfit_test::run(kExe, {"--auto", path, "--json", "--no-gyro"}, 0, "", input);
  ASSERT_EQ(o.status, 0) << o.err;
  const json doc = json::parse(o.out);
  const json& q = doc["quality"];
  EXPECT_GE(q["still_stretches"].get<int>(), 6);
  EXPECT_LE(q["norm_error_after_mg"].get<double>(), 1.0) << l.name;
  EXPECT_LE(q["worst_after_mg"].get<double>(), 1.0) << l.name;
  EXPECT_EQ(doc["input"]["units"], l.metric ? "ms2" : "g");
  double mean = 0.0;
  double worst = 0.0;
  sphereError(doc, truth, mean, worst);
  EXPECT_LE(mean, 1.0) << l.name;
  // Each window is given as lines of the file, and those lines hold samples of its rest.
  for (const json& orientation : doc["orientations"]) {
    ASSERT_TRUE(orientation["found"].get<bool>());
    const int axis = orientation["axis"].get<std::string>()[0] - 'x';
    const int level = orientation["reading"].get<int>();
    const tiltfit_gen::Rest* rest = nullptr;
    for (const tiltfit_gen::Rest& candidate : r.rests) {
      if (candidate.axis == axis && candidate.level == level) rest = &candidate;
    }
    ASSERT_NE(rest, nullptr);
    for (const char* end : {"first_row", "last_row"}) {
      const auto line = orientation[end].get<std::size_t>();
      ASSERT_LT(line, l.text.sampleAt.size()) << l.name << " " << end;
      const long sample = l.text.sampleAt[line];
      EXPECT_GE(sample, rest->first) << l.name << " " << end << " line " << line;
      EXPECT_LT(sample, rest->first + rest->count) << l.name << " " << end << " line " << line;
    }
  }
  // The explicit command it prints gives the same calibration, reading the file the same way.
  const std::string key = "tiltfit: to repeat: tiltfit ";
  const std::size_t at = o.err.find(key);
  ASSERT_NE(at, std::string::npos) << o.err;
  std::vector<std::string> repeat;
  std::istringstream words(o.err.substr(at + key.size(), o.err.find('\n', at) - at - key.size()));
  for (std::string w; words >> w;) repeat.push_back(w);
  ASSERT_GE(repeat.size(), 7u) << o.err;  // FILE, five numbers and an option at least
  repeat.push_back("--json");
  const Outcome again = tiltfit_test::run(kExe, repeat, 0, "", input);
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(json::parse(again.out)["calibration"], doc["calibration"]) << l.name;
  if (GetParam() == 0) {
    // The columns given by hand: the empty fields of the other records are no zeros.
    const Outcome given = tiltfit_test::run(kExe, {"--auto", path, "--columns", "5,6,7", "--json"});
    ASSERT_EQ(given.status, 0) << given.err;
    EXPECT_EQ(json::parse(given.out)["input"]["units"], "g");
  }

  std::printf(
      "[ figures  ] %s: %d still stretches, %.3f mg on average and %.3f mg at worst from 1 g "
      "after calibration (%.1f / %.1f mg before); true sensor %.3f mg mean, %.3f mg worst; "
      "%llu lines without readings\n",
      l.name.c_str(), q["still_stretches"].get<int>(), q["norm_error_after_mg"].get<double>(),
      q["worst_after_mg"].get<double>(), q["norm_error_before_mg"].get<double>(),
      q["worst_before_mg"].get<double>(), mean, worst,
      doc["input"]["lines_without_readings"].get<unsigned long long>());
}

std::string layoutName(const ::testing::TestParamInfo<int>& info) {
  static const char* const kNames[] = {"Interleaved39Columns", "SerialMonitor", "GOverMs2",
                                       "RestartingTime",       "GzipFile",      "GzipPipe",
                                       "SixFilesConcatenated"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Layouts, LoggerLayoutTest, ::testing::Range(0, 7), layoutName);

}  // namespace
