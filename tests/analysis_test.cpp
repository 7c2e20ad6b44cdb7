// Still stretches, quality figures, the refined fit and the checks of chosen rests, judged on
// generated recordings whose true sensor model gives the error over the whole sphere of directions.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "calibrationRun.h"
#include "layoutSniff.h"
#include "recording_generator.h"

namespace {

using namespace tiltfit::analysis;

tiltfit_gen::Options sensor(std::uint64_t seed) {
  tiltfit_gen::Options o;
  o.seed = seed;
  o.offset[0] = 0.021;
  o.offset[1] = -0.014;
  o.offset[2] = 0.032;
  const double K[9] = {1.012, 0.004, -0.006, 0.003, 0.991, 0.008, -0.005, 0.002, 1.006};
  for (int i = 0; i < 9; ++i) o.gain[i] = K[i];
  return o;
}

struct SphereError {
  double mean;
  double worst;
};

SphereError sphereError(const tiltfit_gen::Options& o, const Calibration& c) {
  double G[9];
  double b[3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) G[3 * j + i] = c.gain[3 * i + j];
    b[i] = c.offset[i];
  }
  SphereError e{};
  tiltfit_gen::sphereError(o, G, b, 1.0, e.mean, e.worst);
  return e;
}

RunResult calibrate(const tiltfit_gen::Recording& rec, const TuningNumbers& t, bool refine) {
  RunOptions options;
  options.refine = refine;
  return runCalibration(rec.x.data(), rec.y.data(), rec.z.data(), rec.x.size(), t, options);
}

// Every rest of the recording lies inside one stretch that covers most of it.
void expectRestsFound(const tiltfit_gen::Recording& rec, const std::vector<StillStretch>& found) {
  for (const tiltfit_gen::Rest& rest : rec.rests) {
    std::size_t best = 0;
    for (const StillStretch& s : found) {
      const std::size_t from = std::max<std::size_t>(s.first, static_cast<std::size_t>(rest.first));
      const std::size_t to =
          std::min<std::size_t>(s.last, static_cast<std::size_t>(rest.first + rest.count - 1));
      if (to >= from) best = std::max(best, to - from + 1);
    }
    EXPECT_GE(best, static_cast<std::size_t>(rest.count) * 8 / 10)
        << "rest at sample " << rest.first << " of " << rest.count;
  }
}

struct StretchCase {
  const char* name;
  int rest;
  int transition;
  double noise;
  bool metric;
  double countsScale;
  double countsOffset;
};

class StillStretchTest : public ::testing::TestWithParam<StretchCase> {};

// The same rests are found whatever the units, offset, noise and rest length.
TEST_P(StillStretchTest, FindsEveryRestInAnyUnits) {
  const StretchCase& c = GetParam();
  tiltfit_gen::Options o = sensor(11);
  o.restSamples = c.rest;
  o.transitionSamples = c.transition;
  o.noise = c.noise;
  o.metric = c.metric;
  o.countsScale = c.countsScale;
  o.countsOffset = c.countsOffset;
  o.extraRests = 3;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  const NoiseFloor floor =
      estimateNoiseFloor(rec.x.data(), rec.y.data(), rec.z.data(), rec.x.size());
  const std::vector<StillStretch> found =
      findStillStretches(rec.x.data(), rec.y.data(), rec.z.data(), rec.x.size(), floor);
  expectRestsFound(rec, found);
  // Turns are no rests: only their slow ends, which hold gravity alone, may pass for still.
  std::size_t inRests = 0;
  std::size_t total = 0;
  for (const StillStretch& s : found) {
    total += s.length();
    for (const tiltfit_gen::Rest& rest : rec.rests) {
      const std::size_t a = std::max<std::size_t>(s.first, static_cast<std::size_t>(rest.first));
      const std::size_t b =
          std::min<std::size_t>(s.last, static_cast<std::size_t>(rest.first + rest.count - 1));
      if (b >= a) inRests += b - a + 1;
    }
  }
  EXPECT_GE(static_cast<double>(inRests), 0.8 * static_cast<double>(total));
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, StillStretchTest,
    ::testing::Values(StretchCase{"g_2mg", 2000, 300, 0.002, false, 0, 0},
                      StretchCase{"ms2_10mg", 3000, 300, 0.010, true, 0, 0},
                      StretchCase{"counts_unsigned", 2000, 300, 0.002, false, 4096, 32768},
                      StretchCase{"counts_signed", 2000, 300, 0.0005, false, 16384, 0},
                      StretchCase{"short_rests_10Hz", 30, 15, 0.002, false, 0, 0},
                      StretchCase{"long_rests_1kHz", 100000, 2000, 0.002, false, 0, 0}),
    [](const ::testing::TestParamInfo<StretchCase>& p) { return std::string(p.param.name); });

// The accuracy targets of the refined fit, as sphere errors of the true sensor model.
TEST(RefinedFitTest, AlignedRestsStayAsGoodAsTheSixRestFit) {
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    const tiltfit_gen::Recording rec = tiltfit_gen::generate(sensor(seed));
    const RunResult r = calibrate(rec, {15, 20, 2e-3, 1000, 8e-3}, true);
    ASSERT_TRUE(r.success) << "seed " << seed;
    const SphereError six = sphereError(sensor(seed), r.sixRest);
    const SphereError refined = sphereError(sensor(seed), r.reported);
    EXPECT_LE(refined.mean, 0.5) << "seed " << seed;
    EXPECT_LE(refined.mean, six.mean + 0.1) << "seed " << seed;
    EXPECT_TRUE(r.warnings.empty()) << "seed " << seed << ": " << r.warnings[0];
  }
}

TEST(RefinedFitTest, TiltedRestsWithExtraPositionsAreFixed) {
  struct Case {
    double noise;
    int rest;
    TuningNumbers numbers;
    double meanMg;
    double worstMg;
  };
  const Case cases[2] = {{0.002, 2000, {8, 20, 2e-3, 1000, 8e-3}, 1.0, 3.0},
                         {0.010, 3000, {8, 50, 4e-3, 1500, 2e-2}, 1.0, 1e9}};
  for (const Case& c : cases) {
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
      tiltfit_gen::Options o = sensor(seed);
      o.tiltDeg = 8;
      o.extraRests = 6;
      o.noise = c.noise;
      o.restSamples = c.rest;
      const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
      const RunResult plain = calibrate(rec, c.numbers, false);
      ASSERT_TRUE(plain.success) << "seed " << seed;
      // Without --refine the tilted rests show, and the warning says what mends them.
      ASSERT_FALSE(plain.warnings.empty());
      EXPECT_NE(plain.warnings[0].find("run with --refine"), std::string::npos)
          << plain.warnings[0];
      EXPECT_GT(sphereError(o, plain.reported).mean, 5.0);

      const RunResult refined = calibrate(rec, c.numbers, true);
      ASSERT_TRUE(refined.refined);
      EXPECT_EQ(refined.refinement.determined, 9);
      const SphereError e = sphereError(o, refined.reported);
      EXPECT_LE(e.mean, c.meanMg) << "noise " << c.noise << " seed " << seed;
      EXPECT_LE(e.worst, c.worstMg) << "noise " << c.noise << " seed " << seed;
      if (c.noise < 0.005) {
        EXPECT_TRUE(refined.warnings.empty()) << refined.warnings[0];
      }
    }
  }
}

// Six tilted rests alone do not hold the cross-axis terms: the warning must ask for more positions.
TEST(RefinedFitTest, TiltedRestsAloneAskForExtraPositions) {
  tiltfit_gen::Options o = sensor(4);
  o.tiltDeg = 3;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  for (bool refine : {false, true}) {
    const RunResult r = calibrate(rec, {15, 20, 2e-3, 1000, 8e-3}, refine);
    ASSERT_TRUE(r.success);
    EXPECT_FALSE(r.refinement.crossDetermined[0] || r.refinement.crossDetermined[1] ||
                 r.refinement.crossDetermined[2]);
    ASSERT_FALSE(r.warnings.empty());
    for (const std::string& w : r.warnings) {
      EXPECT_NE(w.find("record a few extra positions"), std::string::npos) << w;
    }
  }
}

// Units and offsets change nothing but the scale of the result.
TEST(RefinedFitTest, CountsCalibrateLikeG) {
  tiltfit_gen::Options o = sensor(5);
  o.tiltDeg = 8;
  o.extraRests = 6;
  o.countsScale = 4096;
  o.countsOffset = 32768;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  RunOptions options;
  options.refine = true;
  options.scale.perG = 4096;
  options.scale.zero = 32768;
  const RunResult r = runCalibration(rec.x.data(), rec.y.data(), rec.z.data(), rec.x.size(),
                                     {8, 20, 2e-3, 1000, 8e-3}, options);
  ASSERT_TRUE(r.refined);
  EXPECT_LE(sphereError(o, r.reported).mean, 1.0);
}

ChosenRest rest(int k, unsigned first, unsigned last, double x, double y, double z) {
  ChosenRest r;
  r.id = kOrientations[k];
  r.found = true;
  r.first = first;
  r.last = last;
  r.mean[0] = x;
  r.mean[1] = y;
  r.mean[2] = z;
  return r;
}

TEST(ChosenRestTest, RejectsOverlapsNearDirectionsAndRestsOffTheirAxis) {
  ChosenRest rests[6] = {rest(0, 100, 199, -1, 0.02, 0), rest(1, 300, 399, 1.03, 0, 0.01),
                         rest(2, 500, 599, 0, -0.98, 0), rest(3, 700, 799, 0.05, 1, 0),
                         rest(4, 900, 999, 0, 0, -1.01), rest(5, 1100, 1199, 0, 0, 1)};
  const InputScale g;
  EXPECT_TRUE(checkChosenRests(rests, g).empty());

  ChosenRest overlap[6];
  std::copy(rests, rests + 6, overlap);
  overlap[3].first = 150;  // y at +1 g starts inside x at -1 g
  overlap[3].last = 250;
  const std::vector<std::string> o = checkChosenRests(overlap, g);
  ASSERT_EQ(o.size(), 1u);
  EXPECT_NE(o[0].find("x at -1 g (rows 100-199) and y at +1 g (rows 150-250) overlap"),
            std::string::npos)
      << o[0];

  // A rest tilted 40 degrees between y and z passes for both: too close to z at +1 g, and off
  // its own axis.
  ChosenRest shared[6];
  std::copy(rests, rests + 6, shared);
  shared[3] = rest(3, 700, 799, 0, std::sin(0.70), std::cos(0.70));
  const std::vector<std::string> s = checkChosenRests(shared, g);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_NE(s[0].find("point only"), std::string::npos) << s[0];
  EXPECT_NE(s[1].find("y at +1 g (rows 700-799) points 49.9 degrees away"), std::string::npos)
      << s[1];
  EXPECT_NE(s[1].find("lower tolerancePct"), std::string::npos);

  // Counts are judged after their zero is taken off.
  ChosenRest counts[6];
  std::copy(rests, rests + 6, counts);
  for (ChosenRest& r : counts)
    for (double& v : r.mean) v = v * 4096 + 32768;
  InputScale scale;
  scale.perG = 4096;
  scale.zero = 32768;
  EXPECT_TRUE(checkChosenRests(counts, scale).empty());
}

}  // namespace

namespace {

using tiltfit::analysis::LayoutGuess;
using tiltfit::analysis::sniffLayout;

// Lines of a recording turning through six rests: time, gyro (near 0), temperature, x, y, z.
std::vector<std::string> sixSensorLines(const char* sep) {
  std::vector<std::string> lines = {std::string("t") + sep + "gx" + sep + "gy" + sep + "gz" + sep +
                                    "temp" + sep + "ax" + sep + "ay" + sep + "az"};
  const double dirs[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
  for (int k = 0; k < 60; ++k) {
    const double* d = dirs[k / 10];
    char line[256];
    std::snprintf(line, sizeof line, "%d%s%.3f%s%.3f%s%.3f%s%.2f%s%.4f%s%.4f%s%.4f", 100 + k * 10,
                  sep, 0.01 * (k % 3), sep, -0.02 * (k % 2), sep, 0.005 * (k % 5), sep,
                  25.0 + 0.01 * (k % 7), sep, d[0] + 0.001 * (k % 4), sep, d[1], sep,
                  d[2] - 0.002 * (k % 3));
    lines.push_back(line);
  }
  return lines;
}

TEST(LayoutSniffTest, FindsDelimiterTimeColumnAndTheAccelerometer) {
  for (const char* sep : {",", ";", "\t", "  "}) {
    const LayoutGuess g = sniffLayout(sixSensorLines(sep));
    ASSERT_TRUE(g.ok) << "[" << sep << "]";
    EXPECT_EQ(g.layout.blanks, std::string(sep) == "  ");
    if (!g.layout.blanks) {
      EXPECT_EQ(g.layout.delimiter, sep[0]);
    }
    EXPECT_EQ(g.fields, 8);
    EXPECT_EQ(g.growingColumns, std::vector<int>{1});
    EXPECT_EQ(g.layout.columns[0], 6);
    EXPECT_EQ(g.layout.columns[1], 7);
    EXPECT_EQ(g.layout.columns[2], 8);
    EXPECT_FALSE(g.decimalComma);
  }
}

TEST(LayoutSniffTest, TellsDecimalCommasFromCommaDelimiters) {
  EXPECT_TRUE(sniffLayout({"x;y;z", "0,51;-0,02;0,86", "0,50;-0,01;0,87"}).decimalComma);
  EXPECT_TRUE(sniffLayout({"0,51 -0,02 0,86", "0,50 -0,01 0,87"}).decimalComma);
  // Whole numbers separated by commas are a comma-delimited recording, even on one line.
  EXPECT_FALSE(sniffLayout({"1,2,3"}).decimalComma);
  EXPECT_FALSE(sniffLayout({"512,-3,16390", "511,-2,16388"}).decimalComma);

  const std::vector<std::string> semicolons = {"a;b;c", "0.5;0.1;0.8", "0.4;0.1;0.9"};
  tiltfit::analysis::Layout comma;
  const std::vector<std::string> problems = tiltfit::analysis::layoutProblems(semicolons, comma);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "the lines hold ';' between their numbers: try --delimiter ';'");
}

}  // namespace

namespace {

using tiltfit::analysis::ColumnName;
using tiltfit::analysis::parseColumnName;

// What each spelling must give: accelerometer or not, its axis, tier and unit, and a pattern
// shared by x, y and z of the same sensor.
TEST(ColumnNameTest, UsualSpellingsOfAnAccelerometerAndWhatIsNotOne) {
  const struct {
    const char* name;
    bool accelerometer;
    int axis;
    int tier;
    const char* units;
  } cases[] = {{"ax", true, 0, 0, ""},
               {"acc_y", true, 1, 0, ""},
               {"accZ", true, 2, 0, ""},
               {"AccX", true, 0, 0, ""},
               {"accel_x", true, 0, 0, ""},
               {"Accel Y", true, 1, 0, ""},
               {"aX (g)", true, 0, 0, "g"},
               {"aZ [m/s^2]", true, 2, 0, "m/s^2"},
               {"accelerometer_z_m/s\xC2\xB2", true, 2, 0, "m/s^2"},
               {"scaledAccelX", true, 0, 0, ""},
               {"acceleration_x", true, 0, 0, ""},
               {"accelerometer x", true, 0, 0, ""},
               {"ACC_X_RAW", true, 0, 0, ""},
               {"AcY", true, 1, 0, ""},
               {"acc_x_mg", true, 0, 0, "mg"},
               {"accX_lsb", true, 0, 0, "counts"},
               {"\"accz\"", true, 2, 0, ""},
               {"estAccX", true, 0, 1, ""},
               {"acc_comp_y", true, 1, 1, ""},
               {"filteredAccelZ", true, 2, 1, ""},
               {"linAccX", true, 0, 2, ""},
               {"linear_acceleration_y", true, 1, 2, ""},
               {"gravityZ", true, 2, 2, ""},
               {"gravX_ms2", true, 0, 2, "m/s^2"},
               {"gyroX", false, -1, 0, ""},
               {"gx", false, -1, 0, ""},
               {"GyX", false, -1, 0, ""},
               {"magY", false, -1, 0, ""},
               {"temp", false, -1, 0, ""},
               {"timestamp_ns", false, -1, 0, ""},
               {"acc_time", false, -1, 0, ""},
               {"sample_counter", false, -1, 0, ""},
               {"acc_bias_x", false, -1, 0, ""},
               {"accuracy_x", false, -1, 0, ""},
               {"x", false, -1, 0, ""},
               {"acc_xy", false, -1, 0, ""},
               {"quatX", false, -1, 0, ""}};
  for (const auto& c : cases) {
    const ColumnName n = parseColumnName(c.name);
    EXPECT_EQ(n.accelerometer, c.accelerometer) << c.name;
    if (!c.accelerometer) continue;
    EXPECT_EQ(n.axis, c.axis) << c.name;
    EXPECT_EQ(n.tier, c.tier) << c.name;
    EXPECT_EQ(n.units, c.units) << c.name;
  }
  EXPECT_EQ(parseColumnName("scaledAccelX").pattern, parseColumnName("scaledAccelZ").pattern);
  EXPECT_EQ(parseColumnName("aX (g)").pattern, parseColumnName("aY (g)").pattern);
  EXPECT_NE(parseColumnName("scaledAccelX").pattern, parseColumnName("estAccX").pattern);
  EXPECT_NE(parseColumnName("acc1_x").pattern, parseColumnName("acc2_x").pattern);
}

// Lines of a 10-column log that interleaves two record kinds: kind A holds the scaled
// accelerometer (g) in columns 4-6, kind B leaves them empty; both hold a gravity vector (m/s^2)
// in columns 7-9 and a gyro in 10. The time in column 2 restarts once.
std::vector<std::string> interleavedLines(bool header) {
  std::vector<std::string> lines;
  if (header)
    lines.push_back("kind,t_ns,seq,scaledAccX,scaledAccY,scaledAccZ,gravX,gravY,gravZ,gyroX");
  const double dirs[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
  char line[256];
  for (int k = 0; k < 120; ++k) {
    const double* d = dirs[k / 20];
    const long t = (k < 60 ? k : k - 60) * 1000000L;
    const double n = 0.001 * (k % 5);
    std::snprintf(line, sizeof line, "A,%ld,%d,%.4f,%.4f,%.4f,%.3f,%.3f,%.3f,%.3f", t, k,
                  d[0] * 1.02 + n, d[1] * 0.98 - n, d[2] + 0.01 + n, 9.81 * d[0], 9.81 * d[1],
                  9.81 * d[2], 0.01 * (k % 3));
    lines.push_back(line);
    std::snprintf(line, sizeof line, "B,%ld,%d,,,,%.3f,%.3f,%.3f,", t + 500, k, 9.81 * d[0],
                  9.81 * d[1], 9.81 * d[2]);
    lines.push_back(line);
  }
  return lines;
}

TEST(LayoutSniffTest, NamesChooseTheScaledAccelerometerOverTheGravityVector) {
  const LayoutGuess g = sniffLayout(interleavedLines(true));
  ASSERT_TRUE(g.ok);
  EXPECT_TRUE(g.byName);
  EXPECT_EQ(g.fields, 10);
  EXPECT_EQ(std::vector<int>(g.layout.columns, g.layout.columns + 3), (std::vector<int>{4, 5, 6}));
  EXPECT_EQ(g.reason,
            "named \"scaledAccX\", \"scaledAccY\", \"scaledAccZ\" in the header, preferred over "
            "the gravity ones");
  // The time restarts once in 240 lines: still a time; the sequence number too.
  EXPECT_EQ(g.growingColumns, (std::vector<int>{2, 3}));
}

TEST(LayoutSniffTest, WithoutNamesTheValuesChooseAndEmptyFieldsDoNotHide) {
  const LayoutGuess g = sniffLayout(interleavedLines(false));
  ASSERT_TRUE(g.ok);
  EXPECT_FALSE(g.byName);
  EXPECT_EQ(g.growingColumns, (std::vector<int>{2, 3}));
  // Both triples are steady; the gyro and the time are not taken.
  const std::vector<int> chosen(g.layout.columns, g.layout.columns + 3);
  EXPECT_TRUE(chosen == (std::vector<int>{4, 5, 6}) || chosen == (std::vector<int>{7, 8, 9}));
  EXPECT_NE(g.reason.find("besides columns 2 and 3, which only grow"), std::string::npos)
      << g.reason;
}

TEST(LayoutSniffTest, AHeaderThatNamesNoAccelerometerOrColumnsWithoutNumbersFallsBack) {
  // "x, y, z" say nothing of an accelerometer: the values choose.
  std::vector<std::string> lines = sixSensorLines(",");
  lines[0] = "t,gx,gy,gz,temp,x,y,z";
  LayoutGuess g = sniffLayout(lines);
  ASSERT_TRUE(g.ok);
  EXPECT_FALSE(g.byName);
  EXPECT_EQ(g.layout.columns[0], 6);
  // A header naming the accelerometer in columns the lines leave empty.
  lines[0] = "t,gx,gy,gz,temp,x,y,z,accX,accY,accZ";
  g = sniffLayout(lines);
  EXPECT_FALSE(g.byName);
  EXPECT_EQ(g.layout.columns[0], 6);
}

}  // namespace
