#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "recording_generator.h"
#include "test_util.h"

namespace {

using tiltfit_gen::Options;
using tiltfit_gen::Recording;
using tiltfit_gen::Rest;
using tiltfit_test::expectClose;
using V3 = std::array<double, 3>;

std::string readFile(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

std::string csv(const Recording& rec) {
  std::FILE* f = std::tmpfile();
  tiltfit_gen::writeCsv(f, rec);
  std::string text(static_cast<size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  EXPECT_EQ(std::fread(text.data(), 1, text.size(), f), text.size());
  std::fclose(f);
  return text;
}

Options sensor(std::uint64_t seed) {
  Options o;
  o.seed = seed;
  o.restSamples = 1000;
  const double K[9] = {1.02, 0.005, -0.004, 0.006, 0.98, 0.003, -0.005, 0.004, 1.01};
  const double offset[3] = {0.02, -0.015, 0.03};
  std::copy(K, K + 9, o.gain);
  std::copy(offset, offset + 3, o.offset);
  return o;
}

double angleDeg(const V3& a, const V3& b) {
  const double c = (a[0] * b[0] + a[1] * b[1] + a[2] * b[2]) /
                   (std::hypot(a[0], a[1], a[2]) * std::hypot(b[0], b[1], b[2]));
  return std::acos(std::clamp(c, -1.0, 1.0)) * 180 / M_PI;
}

V3 gravity(const Rest& r) { return {r.gravity[0], r.gravity[1], r.gravity[2]}; }

// The mean of `count` samples from k, mapped through the true calibration.
V3 calibrated(const Options& o, const Recording& rec, int k, int count = 1) {
  double G[9], b[3];
  tiltfit_gen::trueCalibration(o, G, b);
  V3 m{0, 0, 0}, c;
  for (size_t j = static_cast<size_t>(k); j < static_cast<size_t>(k + count); ++j) {
    m[0] += rec.x[j] / count;
    m[1] += rec.y[j] / count;
    m[2] += rec.z[j] / count;
  }
  for (size_t i = 0; i < 3; ++i)
    c[i] = G[3 * i] * m[0] + G[3 * i + 1] * m[1] + G[3 * i + 2] * m[2] + b[i];
  return c;
}

// Noise of 2 mg averages to 0.06 mg over 1000 samples; 0.3 mg leaves room for quantisation.
void expectRestsAtTheirGravity(const Options& o, const Recording& rec) {
  for (const Rest& r : rec.rests) {
    const V3 c = calibrated(o, rec, r.first, r.count);
    expectClose(std::hypot(r.gravity[0], r.gravity[1], r.gravity[2]), 1, 0, 1e-12);
    for (size_t i = 0; i < 3; ++i) expectClose(c[i], r.gravity[i], 0, 3e-4);
  }
}

TEST(GeneratorTest, ReadmeCommandReproducesTheSampleRecording) {
  const std::string readme = readFile(TILTFIT_SOURCE_DIR "/README.md");
  const size_t start = readme.find('`', readme.find("sample recording was made with"));
  ASSERT_NE(start, std::string::npos);
  std::istringstream words(readme.substr(start + 1, readme.find('`', start + 1) - start - 1));
  std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
  ASSERT_EQ(args.at(0), "tiltfit_gen");
  args.erase(args.begin());
  const std::string sample = readFile(TILTFIT_SOURCE_DIR "/data/sample_recording.csv");
  ASSERT_FALSE(sample.empty());
  // Not EXPECT_EQ: a mismatch would print both files.
  EXPECT_TRUE(csv(tiltfit_gen::generate(tiltfit_gen::parseArguments(args).options)) == sample);
}

TEST(GeneratorTest, TiltedRestsStayWithinTheirAngle) {
  Options o = sensor(11);
  o.tiltDeg = 12;
  o.cycles = 3;
  const Recording rec = tiltfit_gen::generate(o);
  ASSERT_EQ(rec.rests.size(), 18u);
  double largest = 0;
  for (const Rest& r : rec.rests) {
    V3 axis{0, 0, 0};
    axis[static_cast<size_t>(r.axis)] = r.level;
    EXPECT_LE(angleDeg(gravity(r), axis), 12 + 1e-6);
    largest = std::max(largest, angleDeg(gravity(r), axis));
  }
  EXPECT_GT(largest, 6.0);  // the tilts were drawn: 18 draws all below half the range are unlikely
  expectRestsAtTheirGravity(o, rec);
}

// --tilt-min keeps every tilt between it and --tilt, and leaves the noise as it was.
TEST(GeneratorTest, LeastTiltKeepsEveryRestThatFarOff) {
  Options o = sensor(12);
  o.tiltMinDeg = 6;
  o.tiltDeg = 8;
  o.cycles = 3;
  const Recording rec = tiltfit_gen::generate(o);
  for (const Rest& r : rec.rests) {
    V3 axis{0, 0, 0};
    axis[static_cast<size_t>(r.axis)] = r.level;
    EXPECT_GE(angleDeg(gravity(r), axis), 6 - 1e-6);
    EXPECT_LE(angleDeg(gravity(r), axis), 8 + 1e-6);
  }
  EXPECT_THROW(tiltfit_gen::generate(
                   tiltfit_gen::parseArguments({"--tilt", "5", "--tilt-min", "6"}).options),
               std::invalid_argument);
  Options bad = o;
  bad.tiltMinDeg = 9;
  EXPECT_THROW(tiltfit_gen::generate(bad), std::invalid_argument);
}

// --rest-bias moves each rest's reading by a constant of the given spread, which the true
// calibration does not remove: over 54 rest axes their rms is the spread (within 30 %), and
// without it the recording is what it was, byte for byte.
TEST(GeneratorTest, RestBiasOffsetsEachRestBeyondTheModel) {
  Options o = sensor(13);
  o.cycles = 3;
  o.noise = 0.001;
  const Recording plain = tiltfit_gen::generate(o);
  o.restBiasMg = 1.0;
  const Recording biased = tiltfit_gen::generate(o);
  ASSERT_EQ(biased.rests.size(), 18u);
  double sumSq = 0.0;
  int n = 0;
  for (const Rest& r : biased.rests) {
    const V3 c = calibrated(o, biased, r.first, r.count);
    for (size_t i = 0; i < 3; ++i) {
      sumSq += (c[i] - r.gravity[i]) * (c[i] - r.gravity[i]);
      ++n;
    }
  }
  const double rmsMg = std::sqrt(sumSq / n) * 1000.0;
  EXPECT_GT(rmsMg, 0.7);
  EXPECT_LT(rmsMg, 1.3);
  o.restBiasMg = 0.0;
  EXPECT_TRUE(csv(tiltfit_gen::generate(o)) == csv(plain));
  EXPECT_EQ(tiltfit_gen::parseArguments({"--rest-bias", "0.5"}).options.restBiasMg, 0.5);
}

TEST(GeneratorTest, ExtraRestsComeLastAtDistinctDirections) {
  Options o = sensor(12);
  o.extraRests = 6;
  const Recording rec = tiltfit_gen::generate(o);
  ASSERT_EQ(rec.rests.size(), 12u);
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(rec.rests[i].axis == -1, i >= 6);
    for (size_t j = 6; j < i; ++j)
      EXPECT_GT(angleDeg(gravity(rec.rests[i]), gravity(rec.rests[j])), 1.0);
  }
  expectRestsAtTheirGravity(o, rec);
}

TEST(GeneratorTest, CyclesRepeatTheOrientationSequence) {
  Options o;
  o.order = "xd,zu,yu";
  o.cycles = 3;
  o.restSamples = 100;
  o.transitionSamples = 50;
  const Recording rec = tiltfit_gen::generate(o);
  ASSERT_EQ(rec.rests.size(), 9u);
  EXPECT_EQ(rec.x.size(), 9u * 150 + 50);
  for (size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(rec.rests[i].first, 50 + 150 * static_cast<int>(i));
    EXPECT_EQ(rec.rests[i].level, rec.rests[i % 3].level);
    EXPECT_EQ(gravity(rec.rests[i]), gravity(rec.rests[i % 3]));
  }
}

TEST(GeneratorTest, CountsMapThroughTheTrueCalibrationToG) {
  for (const V3 counts : {V3{16384, 0, 0}, V3{4096, 32768, 0}}) {
    Options o = sensor(13);
    o.countsScale = counts[0];
    o.countsOffset = counts[1];
    o.tiltDeg = 5;
    const Recording rec = tiltfit_gen::generate(o);
    for (const std::vector<double>* axis : {&rec.x, &rec.y, &rec.z})
      for (const double v : *axis)
        ASSERT_TRUE(v == std::round(v) && (counts[1] == 0 || v > 0)) << v;
    EXPECT_EQ(csv(rec).find('.'), std::string::npos);
    expectRestsAtTheirGravity(o, rec);
  }
}

TEST(GeneratorTest, SphereErrorIsZeroForTheTruthAndTenMgForAOnePercentGain) {
  double G[9], b[3], mean, worst;
  for (int mode = 0; mode < 3; ++mode) {
    Options o = sensor(1);
    o.metric = mode == 1;
    o.countsScale = mode == 2 ? 4096 : 0;
    o.countsOffset = mode == 2 ? 32768 : 0;
    tiltfit_gen::trueCalibration(o, G, b);
    tiltfit_gen::sphereError(o, G, b, o.metric ? 9.81 : 1.0, mean, worst);
    EXPECT_LT(worst, 1e-9) << "mode " << mode;
  }
  Options o;
  o.gain[0] = o.gain[4] = o.gain[8] = 1.01;
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, zero[3] = {0, 0, 0};
  tiltfit_gen::sphereError(o, identity, zero, 1.0, mean, worst);
  expectClose(mean, 10, 1e-9);
  expectClose(worst, 10, 1e-9);
  // One axis 1 % high: about 10 mg * x^2, whose mean over an even spread is a third.
  o.gain[4] = o.gain[8] = 1;
  tiltfit_gen::sphereError(o, identity, zero, 1.0, mean, worst);
  expectClose(mean, 10.0 / 3, 0.01);
  expectClose(worst, 10, 1e-3);
}

// Noise-free samples mapped back to directions: unit length, and no step longer than a smooth turn
// of at most about 210 degrees over 200 samples allows (peak speed pi/2 times the mean).
TEST(GeneratorTest, RotationsAreSmoothEvenBetweenNearlyOppositeDirections) {
  for (const bool random : {false, true}) {
    Options o = sensor(14);
    o.order = random ? "xu" : "zd,xu,yu,zu,xd,yd";
    o.noise = o.quantum = 0;
    o.restSamples = 10;
    o.transitionSamples = 200;
    o.tiltDeg = random ? 30 : 0;
    o.extraRests = random ? 20 : 0;
    const Recording rec = tiltfit_gen::generate(o);
    for (int k = 1; k < static_cast<int>(rec.x.size()); ++k) {
      const V3 u = calibrated(o, rec, k);
      expectClose(std::hypot(u[0], u[1], u[2]), 1, 0, 1e-12);
      ASSERT_LT(angleDeg(calibrated(o, rec, k - 1), u), 210.0 / 201 * 90) << "sample " << k;
    }
  }
}

TEST(GeneratorTest, CommandLineReadsTheNewOptionsAndRefusesBadValues) {
  const Options o = tiltfit_gen::parseArguments(
                        {"--tilt", "7.5", "--extra", "3", "--cycles", "2", "--counts", "4096,1"})
                        .options;
  EXPECT_TRUE(o.tiltDeg == 7.5 && o.extraRests == 3 && o.cycles == 2 && o.countsScale == 4096 &&
              o.countsOffset == 1);
  const std::vector<std::vector<std::string>> bad = {
      {"--cycles"}, {"--cycles", "2x"}, {"--counts", "1,2,3"}, {"--units", "mps"}, {"--bogus"}};
  for (const auto& args : bad)
    EXPECT_THROW(tiltfit_gen::parseArguments(args), std::invalid_argument);
  EXPECT_THROW(tiltfit_gen::generate(
                   tiltfit_gen::parseArguments({"--counts", "1,0", "--units", "ms2"}).options),
               std::invalid_argument);
}

}  // namespace
