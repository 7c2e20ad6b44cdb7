// The noise figures: chi-square quantiles against printed tables, the Allan deviation against the
// textbook overlapping estimator computed directly, the fit against the generator's model, the
// gate against the generator's events, and a real still recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "noise/allan.h"
#include "noise/chiSquare.h"
#include "noise/noiseFit.h"
#include "noise/stillGate.h"
#include "still_generator.h"
#include "test_util.h"

namespace {

using namespace tiltfit::analysis::noise;
using tiltfit_gen::AxisNoise;
using tiltfit_gen::StillEvent;
using tiltfit_gen::StillGenerator;
using tiltfit_gen::StillOptions;
using tiltfit_test::expectClose;

// ---- Chi-square ---------------------------------------------------------------------------

struct TableRow {
  double p, dof, x;  // P(chi2_dof <= x) = p, x as printed to 4-5 significant digits
};

class ChiSquareTable : public testing::TestWithParam<TableRow> {};

TEST_P(ChiSquareTable, QuantileMatchesPrintedTable) {
  const TableRow r = GetParam();
  expectClose(chiSquareQuantile(r.p, r.dof), r.x, 2e-4);
  expectClose(chiSquareCdf(r.x, r.dof), r.p, 0.0, 3e-5);
}

// Abramowitz and Stegun, table 26.8.
INSTANTIATE_TEST_SUITE_P(Table, ChiSquareTable,
                         testing::Values(TableRow{0.975, 1, 5.0239}, TableRow{0.025, 1, 9.8207e-4},
                                         TableRow{0.975, 10, 20.483}, TableRow{0.025, 10, 3.2470},
                                         TableRow{0.95, 30, 43.773}, TableRow{0.05, 30, 18.493},
                                         TableRow{0.995, 100, 140.17}, TableRow{0.005, 100, 67.328},
                                         TableRow{0.5, 4, 3.3567}));

TEST(ChiSquare, ClosedFormsForOneAndTwoDegrees) {
  for (double x : {1e-6, 0.01, 0.3, 1.0, 4.0, 25.0}) {
    expectClose(chiSquareCdf(x, 1.0), std::erf(std::sqrt(x / 2.0)), 1e-13, 1e-15);
    expectClose(chiSquareCdf(x, 2.0), -std::expm1(-x / 2.0), 1e-13, 1e-15);
  }
  for (double p : {1e-9, 0.025, 0.5, 0.975, 0.999})
    expectClose(chiSquareQuantile(p, 2.0), -2.0 * std::log1p(-p), 1e-11);
  EXPECT_EQ(chiSquareQuantile(0.0, 3.0), 0.0);
  EXPECT_TRUE(std::isinf(chiSquareQuantile(1.0, 3.0)));
  EXPECT_TRUE(std::isnan(chiSquareQuantile(0.5, 0.0)));
}

// ---- EDF ----------------------------------------------------------------------------------

// By hand, N = 1001 phase points (1000 samples), m = 10:
//   white rate:  (3 * 1000 / 20 - 2 * 999 / 1001) * 400 / 405     = 146.18
//   flicker:     5 * 1001^2 / (40 * 1031)                         = 121.49
//   random walk: 999 / 10 * (1000^2 - 30 * 1000 + 400) / 998^2    = 97.33
TEST(Edf, PowerLawApproximationsByHand) {
  expectClose(overlappingEdf(-1.0, 1000, 10), 146.18, 1e-4);
  expectClose(overlappingEdf(0.0, 1000, 10), 121.49, 1e-4);
  expectClose(overlappingEdf(1.0, 1000, 10), 97.33, 1e-4);
  // Half way between white and flicker: the geometric mean.
  expectClose(overlappingEdf(-0.5, 1000, 10), std::sqrt(146.18 * 121.49), 1e-4);
  // Outside the slopes: the nearest; no term: 0.
  EXPECT_EQ(overlappingEdf(3.0, 1000, 10), overlappingEdf(1.0, 1000, 10));
  EXPECT_EQ(overlappingEdf(-1.0, 19, 10), 0.0);
}

// ---- Allan deviation against the direct estimator ------------------------------------------

// The textbook overlapping Allan variance of one segment, from its phase (the running sum of
// y - y[from], which keeps the digits of the differences) in double precision throughout.
struct DirectSums {
  double sum = 0;
  std::uint64_t terms = 0;
};
DirectSums direct(const std::vector<double>& y, std::size_t from, std::size_t to, std::uint64_t m) {
  std::vector<double> x(to - from + 1, 0.0);
  for (std::size_t i = from; i < to; ++i) x[i - from + 1] = x[i - from] + (y[i] - y[from]);
  DirectSums d;
  for (std::size_t i = 0; i + 2 * m < x.size(); ++i) {
    const double D = x[i + 2 * m] - 2 * x[i + m] + x[i];
    d.sum += D * D;
    ++d.terms;
  }
  return d;
}

double directAdev(const std::vector<DirectSums>& parts, std::uint64_t m) {
  double sum = 0;
  std::uint64_t terms = 0;
  for (const DirectSums& d : parts) {
    sum += d.sum;
    terms += d.terms;
  }
  return std::sqrt(
      sum / (2.0 * static_cast<double>(m) * static_cast<double>(m) * static_cast<double>(terms)));
}

enum class Kind { kWhite, kWhiteAndWalk, kWalkOnGravity, kMarkov };

// One channel of the generator: white noise, random walk, or a Gauss-Markov bias, on the
// accelerometer's z axis (which carries gravity: 9.8 m/s^2 next to millis of noise).
std::vector<double> channel(Kind kind, std::size_t n, std::uint64_t seed) {
  StillOptions o;
  o.rate = 100.0;
  o.seconds = static_cast<double>(n) / o.rate;
  o.seed = seed;
  AxisNoise& z = o.accel[2];
  z.white = kind == Kind::kWalkOnGravity ? 1e-4 : 2e-3;
  z.randomWalk = kind == Kind::kWhiteAndWalk ? 4e-4 : kind == Kind::kWalkOnGravity ? 5e-3 : 0.0;
  if (kind == Kind::kMarkov) {
    z.markovSigma = 5e-3;
    z.markovTime = 2.0;
  }
  StillGenerator g(o);
  std::vector<double> y;
  y.reserve(n);
  while (!g.done()) y.push_back(g.next().accel[2]);
  return y;
}

struct AllanCase {
  Kind kind;
  std::size_t n;
  const char* name;
};

class AllanAgainstDirect : public testing::TestWithParam<AllanCase> {};

// Every point reported: within 2e-5 where every start is used (the single-precision sums), within
// 0.6 % from the blocks (measured at 10^6 samples: 0.19 % white, 0.02 % with a random walk, 0.01 %
// random walk dominated; the estimate's own spread predicts about 2 sqrt(m) / (M sqrt(N)) in
// variance, M >= 128).
TEST_P(AllanAgainstDirect, EveryPointWithinItsBound) {
  const AllanCase c = GetParam();
  const std::vector<double> y = channel(c.kind, c.n, 7);
  AllanAccumulator a(0.01);
  a.add(y.data(), y.size());
  const AllanCurve curve = a.curve();
  ASSERT_FALSE(curve.points.empty());
  EXPECT_EQ(curve.samples, c.n);
  EXPECT_EQ(curve.points.front().m, 1u);
  EXPECT_LE(curve.points.back().m, c.n / 10);
  EXPECT_GT(curve.points.back().m, c.n / 14);  // the grid reaches the longest tau allowed
  for (const AllanPoint& p : curve.points) {
    const double d = directAdev({direct(y, 0, y.size(), p.m)}, p.m);
    expectClose(p.adev, d, p.exact ? 2e-5 : 6e-3);
    EXPECT_EQ(p.exact, p.m < 256) << p.m;
    EXPECT_LE(p.lo, p.adev);
    EXPECT_GE(p.hi, p.adev);
  }
}

INSTANTIATE_TEST_SUITE_P(Noise, AllanAgainstDirect,
                         testing::Values(AllanCase{Kind::kWhite, 20000, "WhiteShort"},
                                         AllanCase{Kind::kWalkOnGravity, 20000, "WalkShort"},
                                         AllanCase{Kind::kWhite, 1000000, "White"},
                                         AllanCase{Kind::kWhiteAndWalk, 1000000, "WhiteAndWalk"},
                                         AllanCase{Kind::kWalkOnGravity, 1000000, "WalkOnGravity"},
                                         AllanCase{Kind::kMarkov, 1000000, "Markov"}),
                         [](const testing::TestParamInfo<AllanCase>& i) {
                           return std::string(i.param.name);
                         });

TEST(Allan, AtLeastEightPointsEveryDecade) {
  const std::vector<double> y = channel(Kind::kWhite, 200000, 3);
  AllanAccumulator a(0.01);
  a.add(y.data(), y.size());
  const AllanCurve c = a.curve();
  for (double decade = 1; decade * 10 <= static_cast<double>(c.points.back().m); decade *= 10) {
    int in = 0;
    for (const AllanPoint& p : c.points)
      in += static_cast<double>(p.m) >= decade && static_cast<double>(p.m) < 10 * decade;
    EXPECT_GE(in, 8) << "decade from " << decade;
  }
}

// Segments pool their terms and no difference spans a break: as the direct sums of each segment
// added together. A non-finite sample is a break as well.
TEST(Allan, SegmentsPoolTheirTerms) {
  const std::vector<double> y = channel(Kind::kWhiteAndWalk, 60000, 11);
  const std::size_t cuts[4] = {0, 25000, 25001, 60000};  // the middle sample is dropped
  AllanAccumulator a(0.01), b(0.01);
  a.add(y.data(), 25000);
  a.breakSegment();
  a.add(y.data() + 25001, 60000 - 25001);
  std::vector<double> withNan = y;
  withNan[25000] = std::nan("");
  b.add(withNan.data(), withNan.size());
  // A reading no sensor gives (its squares would overflow) breaks the segment the same way.
  AllanAccumulator c(0.01);
  std::vector<double> withHuge = y;
  withHuge[25000] = 1e200;
  c.add(withHuge.data(), withHuge.size());
  const AllanCurve ca = a.curve(), cb = b.curve(), cc = c.curve();
  ASSERT_EQ(cc.points.size(), ca.points.size());
  for (std::size_t i = 0; i < ca.points.size(); ++i) EXPECT_EQ(cc.points[i].avar, ca.points[i].avar);
  EXPECT_EQ(ca.segments, 2u);
  EXPECT_EQ(ca.samples, 59999u);
  ASSERT_EQ(ca.points.size(), cb.points.size());
  for (std::size_t i = 0; i < ca.points.size(); ++i) {
    const AllanPoint& p = ca.points[i];
    EXPECT_EQ(p.avar, cb.points[i].avar);
    if (!p.exact) continue;
    const double d =
        directAdev({direct(y, cuts[0], cuts[1], p.m), direct(y, cuts[2], cuts[3], p.m)}, p.m);
    expectClose(p.adev, d, 2e-5);
  }
}

// However the samples are handed in, the curve is the same to the bit.
TEST(Allan, ChunkingChangesNothing) {
  const std::vector<double> y = channel(Kind::kWhiteAndWalk, 30000, 5);
  AllanAccumulator whole(0.01), single(0.01), pieces(0.01);
  whole.add(y.data(), y.size());
  for (double v : y) single.add(v);
  const std::uint64_t seed = 99;
  std::mt19937_64 rng(seed);
  for (std::size_t at = 0; at < y.size();) {
    const std::size_t n = std::min<std::size_t>(y.size() - at, rng() % 5000);
    pieces.add(y.data() + at, n);
    at += n;
  }
  const AllanCurve a = whole.curve(), b = single.curve(), c = pieces.curve();
  ASSERT_EQ(a.points.size(), b.points.size());
  ASSERT_EQ(a.points.size(), c.points.size());
  for (std::size_t i = 0; i < a.points.size(); ++i) {
    EXPECT_EQ(a.points[i].avar, b.points[i].avar) << "m " << a.points[i].m;
    EXPECT_EQ(a.points[i].avar, c.points[i].avar) << "m " << a.points[i].m << " seed " << seed;
  }
}

// Memory does not grow with the samples beyond a buffer per octave reached.
TEST(Allan, MemoryStaysBounded) {
  AllanAccumulator a(0.0025);
  std::vector<double> block(1 << 16, 1.0);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] += 1e-3 * static_cast<double>(i % 7);
  for (int k = 0; k < 64; ++k) a.add(block.data(), block.size());  // 4.2e6 samples
  EXPECT_LT(a.memoryBytes(), 600u * 1024u);
  // Many short segments make no more levels than their samples reach.
  AllanAccumulator b(0.01);
  for (int k = 0; k < 1000; ++k) {
    b.add(block.data(), 500);
    b.breakSegment();
  }
  EXPECT_LT(b.memoryBytes(), 200u * 1024u);
}

// The 95 % intervals of the points against the generator's exact model, white noise and a random
// walk, 3 * 10^5 samples: neighbouring points share their data, so misses come in runs of a few
// points. Over seeds 1 to 25 they missed 3.5 % of the points (0 to 6 of 36 a curve; at 10^6
// samples 7.6 %); seeds 1 to 8 miss 8 of 288.
TEST(Allan, IntervalsHoldTheModel) {
  int missed = 0, points = 0;
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    StillOptions o;
    o.seconds = 3000.0;
    o.seed = seed;
    o.accel[0].white = 2e-3;
    o.accel[0].randomWalk = 4e-4;
    StillGenerator g(o);
    AllanAccumulator a(0.01);
    while (!g.done()) a.add(g.next().accel[0]);
    for (const AllanPoint& p : a.curve().points) {
      const double truth = std::sqrt(
          tiltfit_gen::modelAllanVariance(o.accel[0], 0.01, tiltfit_gen::accelQuantum(o), p.m));
      missed += truth < p.lo || truth > p.hi;
      ++points;
    }
  }
  EXPECT_LE(missed, 20) << "of " << points << " points, seeds 1 to 8";
  EXPECT_EQ(points, 288);  // 36 a curve
}

// ---- The generator ---------------------------------------------------------------------------

// Its Allan variance by hand: white noise sigma^2 / m; a random walk of step q:
// q (2 m^2 + 1) / (6 m), q / 2 at m = 1; Gauss-Markov at m = 1: sigma^2 (1 - phi), half the mean
// square of a step.
TEST(StillGenerator, AllanVarianceOfItsModelByHand) {
  const double dt = 0.01;
  AxisNoise white{2e-3, 0, 0, 0, 0}, walk{0, 4e-4, 0, 0, 0}, markov{0, 0, 5e-3, 2.0, 0};
  expectClose(tiltfit_gen::modelAllanVariance(white, dt, 0.0, 10), 4e-6 / dt / 10, 1e-14);
  expectClose(tiltfit_gen::modelAllanVariance(walk, dt, 0.0, 1), 16e-8 * dt / 2, 1e-14);
  expectClose(tiltfit_gen::modelAllanVariance(walk, dt, 0.0, 100), 16e-8 * dt * 20001.0 / 600.0,
              1e-13);
  expectClose(tiltfit_gen::modelAllanVariance(markov, dt, 0.0, 1), 25e-6 * -std::expm1(-dt / 2.0),
              1e-12);
  // Rounding to a step q adds q^2 / 12 of white variance.
  expectClose(tiltfit_gen::modelAllanVariance(white, dt, 1e-3, 1), 4e-6 / dt + 1e-6 / 12, 1e-14);
}

// The columns in the order asked, counts as whole numbers, and a model figure read back.
TEST(StillGenerator, WritesTheColumnsAsked) {
  const tiltfit_gen::StillArguments a = tiltfit_gen::parseStillArguments(
      {"2", "--rate", "50", "--columns", "gz,ax,ay,az,gx,gy", "--accel-units", "counts",
       "--gyro-units", "degs", "--accel-white", "1e-2", "--gyro-white", "1e-3,2e-3,3e-3", "--seed",
       "3"});
  EXPECT_EQ(a.options.gyro[2].white, 3e-3);
  std::FILE* f = std::tmpfile();
  ASSERT_TRUE(tiltfit_gen::writeStillCsv(f, a.options));
  std::rewind(f);
  char line[256];
  ASSERT_TRUE(std::fgets(line, sizeof line, f));
  EXPECT_STREQ(line, "gz,ax,ay,az,gx,gy\n");
  int lines = 0;
  while (std::fgets(line, sizeof line, f)) {
    ++lines;
    std::vector<std::string> fields;
    std::stringstream s(line);
    std::string field;
    while (std::getline(s, field, ',')) fields.push_back(field);
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_EQ(fields[1].find('.'), std::string::npos);  // accelerometer counts
    EXPECT_NE(fields[0].find('.'), std::string::npos);  // deg/s
    // z points up: 16384 counts, and white noise of 1e-2 m/s^2/sqrt(Hz) at 50 Hz is 0.071 m/s^2,
    // 118 counts; 5 of those.
    EXPECT_NEAR(std::stod(fields[3]), 16384.0, 600.0);
  }
  std::fclose(f);
  EXPECT_EQ(lines, 100);
  EXPECT_THROW(tiltfit_gen::parseStillArguments({"2", "--columns", "ax,ay"}),
               std::invalid_argument);
  EXPECT_THROW(tiltfit_gen::parseStillArguments({"2", "--rate"}), std::invalid_argument);
  EXPECT_NE(tiltfit_gen::stillTruthText(a.options).find("gz: white 0.003 rad/s/sqrt(Hz)"),
            std::string::npos);
}

// ---- The noise fit against the generator ----------------------------------------------------

// Two hours at 100 Hz of both sensors: white noise, a random walk of the rate and a Gauss-Markov
// bias on every axis, figures of a consumer MEMS part (accelerometer N 2e-3 m/s^2/sqrt(Hz), gyro
// 1.7e-4 rad/s/sqrt(Hz)). Over 60 such channels (seeds 1 to 10, tiltfit_bench_noise --coverage)
// N was within 0.30 % (0.11 % rms), K within 10.2 % (4.5 % rms) and B within 5.0 % (1.9 % rms), and
// the 95 % intervals held the truth for 92 % (N), 95 % (K) and 95 % (B) of them: so eighteen
// intervals rarely hold all at once. At three-sigma intervals they did for every one of the ten.
constexpr double kConfidence = 0.9973;

StillOptions twoHours(std::uint64_t seed) {
  StillOptions o;
  o.seconds = 7200.0;
  o.rate = 100.0;
  o.seed = seed;
  for (AxisNoise& n : o.accel) n = AxisNoise{2e-3, 4e-4, 2e-4, 20.0, 0.0};
  for (AxisNoise& n : o.gyro) n = AxisNoise{1.7e-4, 3e-5, 1.5e-5, 20.0, 0.0};
  o.accel[0].white = 3e-3;  // the axes need not agree
  o.gyro[2].randomWalk = 5e-5;
  return o;
}

TEST(NoiseFit, TwoHoursOfBothSensorsAgainstTheModel) {
  const std::uint64_t seed = 4;
  const StillOptions o = twoHours(seed);
  StillGenerator g(o);
  std::vector<AllanAccumulator> acc(6, AllanAccumulator(0.01));
  std::vector<double> block[6];
  while (!g.done()) {
    const tiltfit_gen::StillSample s = g.next();
    for (int c = 0; c < 3; ++c) {
      block[c].push_back(s.accel[c]);
      block[c + 3].push_back(s.gyro[c]);
    }
    if (block[0].size() == 4096 || g.done())
      for (int c = 0; c < 6; ++c) {
        acc[static_cast<std::size_t>(c)].add(block[c].data(), block[c].size());
        block[c].clear();
      }
  }
  for (int c = 0; c < 6; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c) + ", seed " + std::to_string(seed));
    const tiltfit_gen::AxisTruth t = tiltfit_gen::stillTruth(o, c >= 3, c % 3);
    const NoiseFit f = fitNoise(acc[static_cast<std::size_t>(c)].curve(kConfidence));
    ASSERT_TRUE(f.ok);
    ASSERT_TRUE(f.white.determined);
    ASSERT_TRUE(f.randomWalk.determined);
    ASSERT_TRUE(f.bias.determined);
    expectClose(f.white.value, t.white, 0.01);
    expectClose(f.randomWalk.value, t.randomWalk, 0.15);
    expectClose(f.bias.value, t.biasInstability, 0.10);
    EXPECT_LE(f.white.lo, t.white);
    EXPECT_GE(f.white.hi, t.white);
    EXPECT_LE(f.randomWalk.lo, t.randomWalk);
    EXPECT_GE(f.randomWalk.hi, t.randomWalk);
    EXPECT_LE(f.bias.lo, t.biasInstability);
    EXPECT_GE(f.bias.hi, t.biasInstability);
    EXPECT_TRUE(f.white.note.empty() && f.randomWalk.note.empty() && f.bias.note.empty());
  }
}

TEST(NoiseFit, Durations) {
  EXPECT_EQ(formatDuration(449.3), "7.5 min");
  EXPECT_EQ(formatDuration(45.0), "45 s");
  EXPECT_EQ(formatDuration(3 * 3600.0), "3 h");
  EXPECT_EQ(formatDuration(2.5 * 86400.0), "2.5 days");
}

TEST(NoiseFit, TooShortForACurve) {
  AllanAccumulator a(0.01);
  const std::vector<double> y = channel(Kind::kWhite, 30, 1);
  a.add(y.data(), y.size());
  const NoiseFit f = fitNoise(a.curve());
  EXPECT_FALSE(f.ok);
  EXPECT_FALSE(f.white.determined);
  EXPECT_EQ(f.white.note, "white noise: not shown by 0.3 s of data");
}

// ---- Short still stretches --------------------------------------------------------------------

// Ten stretches of 3 s cut from a calibration session of the sensor above (other samples than
// the long recording's) against the long recording's N: measured within 0.1 % (accelerometer x)
// and 1.8 % (gyro z).
TEST(StretchWhiteNoise, AgreesWithTheLongRecording) {
  StillOptions session = twoHours(8);
  session.seconds = 60.0;
  StillGenerator g(session);
  StretchWhiteNoise accel(0.01), gyro(0.01);
  std::vector<double> a, w;
  while (!g.done()) {
    const tiltfit_gen::StillSample s = g.next();
    a.push_back(s.accel[0]);
    w.push_back(s.gyro[2]);
    if (a.size() == 300) {
      if (accel.stretches() < 10) {
        accel.addStretch(a.data(), a.size());
        gyro.addStretch(w.data(), w.size());
      }
      a.clear();
      w.clear();
      // A move between stretches: the next stretch starts elsewhere.
      for (int k = 0; k < 200 && !g.done(); ++k) g.next();
    }
  }
  ASSERT_EQ(accel.stretches(), 10u);
  const NoiseFigure fa = accel.estimate(), fg = gyro.estimate();
  ASSERT_TRUE(fa.determined && fg.determined);
  const StillOptions long_ = twoHours(4);
  expectClose(fa.value, tiltfit_gen::stillTruth(long_, false, 0).white, 0.10);
  expectClose(fg.value, tiltfit_gen::stillTruth(long_, true, 2).white, 0.10);
  EXPECT_LT(fa.lo, fa.value);
  EXPECT_GT(fa.hi, fa.value);
}

// ---- The real still recording ------------------------------------------------------------------

std::vector<std::vector<double>> readCounts(const std::string& file, int headerLines) {
  std::ifstream in(std::string(TILTFIT_SOURCE_DIR) + "/data/" + file);
  EXPECT_TRUE(in.good()) << file;
  std::string line;
  for (int k = 0; k < headerLines && std::getline(in, line); ++k) {
  }
  std::vector<std::vector<double>> c(6);
  while (std::getline(in, line)) {
    std::stringstream s(line);
    std::string field;
    for (auto& column : c) {
      std::getline(s, field, ',');
      column.push_back(std::stod(field));
    }
  }
  return c;
}

// The MPU-6050 lying still for 7.5 min: white noise on both sensors, read at 10 ms, against the
// textbook deviation at 1 s (within its own scatter, about 4.6 % at 95 % with 900 degrees of
// freedom; measured within 2.2 %); neither the random walk nor the bias instability shows.
TEST(RealRecording, StillMpu6050) {
  const auto c = readCounts("tomisuarez_mpu6050_static.csv", 5);
  ASSERT_EQ(c[0].size(), 44930u);
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE("channel " + std::to_string(k));
    AllanAccumulator a(0.01);
    a.add(c[static_cast<std::size_t>(k)].data(), c[static_cast<std::size_t>(k)].size());
    const NoiseFit f = fitNoise(a.curve());
    ASSERT_TRUE(f.ok);
    EXPECT_TRUE(f.white.determined);
    const double atOneSecond =
        directAdev({direct(c[static_cast<std::size_t>(k)], 0, 44930, 100)}, 100);
    expectClose(f.white.value, atOneSecond, 0.05);
    EXPECT_FALSE(f.randomWalk.determined);
    EXPECT_FALSE(f.bias.determined);
    EXPECT_EQ(f.randomWalk.note.rfind(
                  "random walk: not shown by 7.5 min of data; record at least about ", 0),
              0u)
        << f.randomWalk.note;
    EXPECT_EQ(f.bias.note.rfind("bias instability: not shown by 7.5 min of data (the deviation "
                                "still falls at 42 s); record at least about ",
                                0),
              0u)
        << f.bias.note;
    EXPECT_GT(f.randomWalk.neededSeconds, f.seconds);
  }
}

// The calibration session of the same sensor: its first 36 s, still, cut in twelve stretches of
// 3 s, give the white noise of the still recording within 10 % (measured: 0.6-3.7 %, the session
// reading higher on every channel).
TEST(RealRecording, StretchesOfTheSessionAgreeWithTheStillRecording) {
  const auto session = readCounts("tomisuarez_mpu6050_imu.csv", 5);
  const auto still = readCounts("tomisuarez_mpu6050_static.csv", 5);
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE("channel " + std::to_string(k));
    StretchWhiteNoise s(0.01);
    for (int i = 0; i < 12; ++i)
      s.addStretch(session[static_cast<std::size_t>(k)].data() + 300 * i, 300);
    AllanAccumulator a(0.01);
    a.add(still[static_cast<std::size_t>(k)].data(), still[static_cast<std::size_t>(k)].size());
    const NoiseFit f = fitNoise(a.curve());
    const NoiseFigure n = s.estimate();
    ASSERT_TRUE(n.determined);
    expectClose(n.value, f.white.value, 0.10);
  }
}

// ---- The gate ---------------------------------------------------------------------------------

struct Gated {
  std::vector<AllanAccumulator> acc;
  GateReport report;
};

Gated gate(const StillOptions& o, double accelToSI, double gyroToSI) {
  Gated out{std::vector<AllanAccumulator>(6, AllanAccumulator(1.0 / o.rate)), {}};
  StillGateOptions go;
  go.period = 1.0 / o.rate;
  go.accelToSI = accelToSI;
  go.gyroToSI = gyroToSI;
  StillGate gate(go, [&](const double* const* ch, std::size_t n, bool breakBefore) {
    for (std::size_t c = 0; c < 6; ++c) {
      if (breakBefore) out.acc[c].breakSegment();
      out.acc[c].add(ch[c], n);
    }
  });
  StillGenerator g(o);
  while (!g.done()) {
    const tiltfit_gen::StillSample s = g.next();
    const double row[6] = {s.accel[0], s.accel[1], s.accel[2], s.gyro[0], s.gyro[1], s.gyro[2]};
    gate.push(row);
  }
  gate.finish();
  out.report = gate.report();
  return out;
}

StillOptions tenMinutes(StillEvent event, double eventSeconds) {
  StillOptions o;
  o.seconds = 600.0;
  o.seed = 5;
  for (AxisNoise& n : o.accel) n = AxisNoise{2e-3, 4e-4, 0.0, 0.0, 0.02};
  for (AxisNoise& n : o.gyro) n = AxisNoise{1.7e-4, 3e-5, 0.0, 0.0, 0.01};
  o.event = event;
  o.eventSeconds = eventSeconds;
  return o;
}

struct GateCase {
  StillEvent event;
  double seconds;
  bool scaled;  // SI scales given to the gate
  const char* name;
};

class GateEvents : public testing::TestWithParam<GateCase> {};

// The event and a margin of 1 s on either side are left out, and little else: the span left out
// starts within a block (0.25 s) before the margin and ends within one after it. The white noise
// of what is left is the model's within 1 %.
TEST_P(GateEvents, LeavesOutTheEventAndItsMargins) {
  const GateCase c = GetParam();
  const StillOptions o = tenMinutes(c.event, c.seconds);
  const Gated gated = gate(o, c.scaled ? 1.0 : 0.0, c.scaled ? 1.0 : 0.0);
  const GateReport& r = gated.report;
  StillGenerator g(o);
  const double first = static_cast<double>(g.eventFirst()), end = static_cast<double>(g.eventEnd());
  EXPECT_EQ(r.samples, 60000u);
  EXPECT_FALSE(r.neverStill);
  if (c.event == StillEvent::kNone) {
    EXPECT_EQ(r.kept, r.samples);
    EXPECT_EQ(r.segments, 1u);
  } else {
    ASSERT_EQ(r.spans.size(), 1u);
    EXPECT_EQ(r.segments, 2u);
    EXPECT_LE(static_cast<double>(r.spans[0].first), first - 100);
    EXPECT_GE(static_cast<double>(r.spans[0].first), first - 100 - 25);
    EXPECT_GE(static_cast<double>(r.spans[0].end), end + 100);
    EXPECT_LE(static_cast<double>(r.spans[0].end), end + 100 + 2 * 25);
    EXPECT_EQ(r.leftOut, r.spans[0].end - r.spans[0].first);
  }
  for (std::size_t ch = 0; ch < 6; ++ch) {
    const NoiseFit f = fitNoise(gated.acc[ch].curve());
    expectClose(f.white.value, tiltfit_gen::stillTruth(o, ch >= 3, static_cast<int>(ch % 3)).white,
                0.01);
  }
}

INSTANTIATE_TEST_SUITE_P(Events, GateEvents,
                         testing::Values(GateCase{StillEvent::kNone, 2.0, true, "Still"},
                                         GateCase{StillEvent::kBump, 0.3, true, "Bump"},
                                         GateCase{StillEvent::kTurn, 2.0, true, "Turn"},
                                         GateCase{StillEvent::kBump, 0.3, false, "BumpUnscaled"},
                                         GateCase{StillEvent::kTurn, 2.0, false, "TurnUnscaled"}),
                         [](const testing::TestParamInfo<GateCase>& i) {
                           return std::string(i.param.name);
                         });

// A device held in the hand the whole time: the direction of gravity wanders with a turn rate of
// 0.15 rad/s rms (correlated over 0.3 s), which no still sensor shows.
TEST(Gate, TellsAHandHeldRecordingApart) {
  const std::uint64_t seed = 17;
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> n01;
  StillGateOptions go;
  go.accelToSI = 1.0;
  go.gyroToSI = 1.0;
  std::uint64_t kept = 0;
  StillGate gate(go, [&](const double* const*, std::size_t n, bool) { kept += n; });
  double g[3] = {0, 0, 9.81}, w[3] = {0, 0, 0};
  const double phi = std::exp(-0.01 / 0.3);
  for (int k = 0; k < 60000; ++k) {
    for (double& v : w) v = phi * v + 0.15 * std::sqrt(1 - phi * phi) * n01(rng);
    // Gravity seen from the turning device: g' = g - w x g dt.
    const double c[3] = {w[1] * g[2] - w[2] * g[1], w[2] * g[0] - w[0] * g[2],
                         w[0] * g[1] - w[1] * g[0]};
    for (int i = 0; i < 3; ++i) g[i] -= c[i] * 0.01;
    const double row[6] = {g[0] + 0.02 * n01(rng),  g[1] + 0.02 * n01(rng),
                           g[2] + 0.02 * n01(rng),  w[0] + 0.002 * n01(rng),
                           w[1] + 0.002 * n01(rng), w[2] + 0.002 * n01(rng)};
    gate.push(row);
  }
  gate.finish();
  EXPECT_TRUE(gate.report().neverStill) << "seed " << seed;
  EXPECT_EQ(kept, 0u);
  EXPECT_EQ(gate.report().leftOut, 60000u);
  EXPECT_NE(gate.report().why.find("gyroscope"), std::string::npos) << gate.report().why;
}

// The delay buffer is all the gate holds: a day at 400 Hz would need the same.
TEST(Gate, MemoryIsTheDelay) {
  StillGateOptions go;
  go.period = 1.0 / 400;
  StillGate gate(go, [](const double* const*, std::size_t, bool) {});
  // 10 s of warm-up at 400 Hz, 6 channels of doubles, plus the histograms.
  EXPECT_LT(gate.memoryBytes(), 6u * 4000u * 8u + 6u * 1200u * 4u + 64u * 1024u);
}

}  // namespace
