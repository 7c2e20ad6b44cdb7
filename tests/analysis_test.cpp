// Still stretches, quality figures, the refined fit and the checks of chosen rests, judged on
// generated recordings whose true sensor model gives the error over the whole sphere of directions.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "calibrationRun.h"
#include "stretchTracker.h"
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

// Stretches found on the recording in g, as the fit sees them (widened for hand-held rests).
std::vector<StillStretch> fitStretches(const tiltfit_gen::Recording& rec) {
  const NoiseFloor floor =
      estimateNoiseFloor(rec.x.data(), rec.y.data(), rec.z.data(), rec.x.size());
  return stretchesForFit(rec.x.data(), rec.y.data(), rec.z.data(), rec.x.size(), floor,
                         InputScale());
}

// The stretches that overlap samples [from, to] (0-based, inclusive).
std::vector<StillStretch> within(const std::vector<StillStretch>& found, std::size_t from,
                                 std::size_t to) {
  std::vector<StillStretch> out;
  for (const StillStretch& s : found) {
    if (s.last >= from && s.first <= to) out.push_back(s);
  }
  return out;
}

// Hand-held rests wobble by 10-20 mg next to bench rests at 2 mg: each is found, in one piece at
// 10 mg, in at most three at 20 mg (a slow wobble looks like a turn for a while), covering nine
// tenths of it, however the wobble's pace.
TEST(StillStretchTest, HandHeldRestsNextToBenchRestsAreFound) {
  for (const double wobble : {10.0, 20.0}) {
    for (const int pace : {10, 40}) {
      tiltfit_gen::Options o = sensor(21);
      o.extraRests = 6;
      o.wobbleExtraMg = wobble;
      o.wobbleSamples = pace;
      const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
      const std::vector<StillStretch> found = fitStretches(rec);
      for (const tiltfit_gen::Rest& rest : rec.rests) {
        const std::size_t first = static_cast<std::size_t>(rest.first);
        const std::size_t last = first + static_cast<std::size_t>(rest.count) - 1;
        const std::vector<StillStretch> parts = within(found, first, last);
        ASSERT_GE(parts.size(), 1u);
        EXPECT_LE(parts.size(), wobble < 15.0 || rest.axis >= 0 ? 1u : 3u)
            << wobble << " mg, " << pace << " samples, rest at " << first;
        std::size_t covered = 0;
        for (const StillStretch& p : parts)
          covered += std::min(p.last, last) - std::max(p.first, first) + 1;
        EXPECT_GE(covered, static_cast<std::size_t>(rest.count) * 9u / 10u)
            << wobble << " mg, " << pace << " samples, rest at " << first;
      }
    }
  }
}

// A logger that repeats each sensor value (400 Hz from a 100 Hz sensor) neither splits its rests
// nor counts the repeats as independent samples: the standard error of each rest's mean matches
// its actual error against the true reading.
TEST(StillStretchTest, RepeatedSamplesKeepRestsWholeAndCountOnce) {
  tiltfit_gen::Options o = sensor(22);
  o.holdSamples = 4;
  o.extraRests = 6;
  o.tiltDeg = 8;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  const std::vector<StillStretch> found = fitStretches(rec);
  double sumSq = 0.0;
  int n = 0;
  for (const tiltfit_gen::Rest& rest : rec.rests) {
    const std::size_t first = static_cast<std::size_t>(rest.first);
    const std::vector<StillStretch> parts =
        within(found, first, first + static_cast<std::size_t>(rest.count) - 1);
    ASSERT_EQ(parts.size(), 1u) << "rest at " << first;
    const StillStretch& s = parts[0];
    const double length = static_cast<double>(s.length());
    EXPECT_NEAR(static_cast<double>(s.distinct), length / 4.0, length / 40.0);
    for (int i = 0; i < 3; ++i) {
      double truth = o.offset[i];
      for (int j = 0; j < 3; ++j) truth += o.gain[3 * i + j] * rest.gravity[j];
      const double z = (s.mean[i] - truth) / s.meanSigma[i];
      sumSq += z * z;
      ++n;
    }
  }
  // 36 normalised errors: their rms lies within [0.6, 1.4] unless the sigmas are off.
  const double rms = std::sqrt(sumSq / n);
  EXPECT_GT(rms, 0.6);
  EXPECT_LT(rms, 1.4);
}

// A short hand-turned recording: six rests of 145-230 samples with hand wobble, 1,480 samples in
// all. Each rest is one stretch.
TEST(StillStretchTest, ShortHandTurnedRestsAreFound) {
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    tiltfit_gen::Options o = sensor(seed);
    o.restSamples = 190;
    o.transitionSamples = 50;
    o.wobbleMg = 15;
    const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
    const std::vector<StillStretch> found = fitStretches(rec);
    for (const tiltfit_gen::Rest& rest : rec.rests) {
      const std::size_t first = static_cast<std::size_t>(rest.first);
      const std::vector<StillStretch> parts =
          within(found, first, first + static_cast<std::size_t>(rest.count) - 1);
      ASSERT_EQ(parts.size(), 1u) << "seed " << seed << " rest at " << first;
      EXPECT_GE(parts[0].length(), 150u) << "seed " << seed;
    }
  }
}

// Slow motion is no rest, from a turn that crosses the noise within a few samples to one that
// moves by the noise (2 mg) only every four samples. Slower still, a stretch moves by less than
// its noise over the length the test can hold it, which is what a rest looks like too (and its
// mean reads 1 g to within a thousandth of a mg).
TEST(StillStretchTest, SlowMotionIsNeverTakenForARest) {
  for (const double degPerSample : {0.03, 0.1, 0.3, 1.0}) {
    tiltfit_gen::Options o = sensor(23);
    o.motionSamples = 20000;
    o.motionDegPerSample = degPerSample;
    const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
    const std::size_t from = static_cast<std::size_t>(rec.rests.back().first +
                                                      rec.rests.back().count);
    // The first samples of the motion still hold the last rest's direction.
    const std::vector<StillStretch> inMotion = within(fitStretches(rec), from + 100, from + 20000);
    EXPECT_TRUE(inMotion.empty()) << degPerSample << " deg per sample: " << inMotion.size()
                                  << " stretches, the first at " << inMotion[0].first;
  }
}

// Fed in pieces of any size, the tracker finds what the whole recording gives, and the stretch
// growing at any moment is the one that later ends there.
TEST(StillStretchTest, TrackerFedInPiecesFindsTheSameStretches) {
  tiltfit_gen::Options o = sensor(24);
  o.extraRests = 3;
  o.wobbleExtraMg = 15;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  const std::vector<StillStretch> whole = fitStretches(rec);
  TrackerOptions options;
  options.floor = estimateNoiseFloor(rec.x.data(), rec.y.data(), rec.z.data(), rec.x.size());
  for (double& c : options.spreadCap) c = kSpreadCapG;
  StretchTracker tracker(options);
  std::vector<StillStretch> pieces;
  std::size_t k = 0;
  for (std::size_t step = 1; k < rec.x.size(); step = step * 7 % 1000 + 1) {
    for (const std::size_t end = std::min(rec.x.size(), k + step); k < end; ++k)
      tracker.push(rec.x[k], rec.y[k], rec.z[k]);
    if (tracker.growing()) {
      EXPECT_LE(tracker.current().last, k - 1);
    }
    for (const StillStretch& s : tracker.take()) pieces.push_back(s);
  }
  tracker.finish();
  for (const StillStretch& s : tracker.take()) pieces.push_back(s);
  ASSERT_EQ(pieces.size(), whole.size());
  for (std::size_t i = 0; i < whole.size(); ++i) {
    EXPECT_EQ(pieces[i].first, whole[i].first);
    EXPECT_EQ(pieces[i].last, whole[i].last);
    EXPECT_EQ(pieces[i].mean[0], whole[i].mean[0]);
  }
}

// A result no better than the raw readings gives way to the plain units map: counts at 4096 per g
// around 32768 then map to g with no correction, the quality figures are the raw ones, and one
// warning says why.
TEST(IdentityTest, AResultNoBetterThanTheRawReadingsBecomesTheUnitsMap) {
  tiltfit_gen::Options o;  // a sensor that reads true already
  o.extraRests = 6;
  o.tiltDeg = 5;
  o.countsScale = 4096;
  o.countsOffset = 32768;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  RunOptions options;
  options.scale.perG = 4096;
  options.scale.zero = 32768;
  RunResult r = runStretchCalibration(rec.x.data(), rec.y.data(), rec.z.data(), rec.x.size(),
                                      options, false);
  ASSERT_TRUE(r.success);
  // In sample the fit reads the stretches better; held out, a fit of a true sensor reads them no
  // better than the raw readings, and the identity is what the data support.
  EXPECT_LT(r.after.meanMg, r.before.meanMg);
  ASSERT_TRUE(preferIdentity(r, options.scale, 1.0));
  EXPECT_EQ(r.method, Method::kIdentity);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_EQ(r.reported.gain[3 * i + j], i == j ? 1.0 / 4096 : 0.0);
    EXPECT_EQ(r.reported.offset[i], -8.0);
  }
  EXPECT_DOUBLE_EQ(r.after.meanMg, r.before.meanMg);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].rfind("the sensor already reads within ", 0), 0u) << r.warnings[0];
  // This sensor is true, so the identity's expected error is the fit's own uncertainty.
  EXPECT_GT(r.expectedErrorMg, 0.0);
  EXPECT_LT(r.expectedErrorMg, 0.5);
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
  tiltfit::Layout comma;
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
  EXPECT_EQ(std::vector<int>(g.layout.columns.begin(), g.layout.columns.end()), (std::vector<int>{4, 5, 6}));
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
  const std::vector<int> chosen(g.layout.columns.begin(), g.layout.columns.end());
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
