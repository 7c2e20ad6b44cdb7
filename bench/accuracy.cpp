// tiltfit_bench_accuracy: how accurate --auto is on generated recordings of every kind a bench
// gives, against the true sensor model, and on the real recordings in data/ on still stretches it
// did not see; and how honest its expected error is. Prints a table.
//
//   tiltfit_bench_accuracy [DATA_DIR] [SEEDS]
//
// Sphere error: mean and worst over 4000 directions of | |calibrated| - 1 g | (mg), computed with
// the true sensor model; "six-rest" is the plain six-rest fit with numbers chosen from the
// recording (--auto --no-refine), "--auto" the reported result. ratio: the geometric mean over the
// seeds of the actual mean sphere error divided by the expected error the tool reports.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recording_generator.h"
#include "tiltfit/tiltfit.hpp"

namespace {

struct Case {
  const char* name;
  double tilt;
  int extra;
  const char* order;
  double cross;
  int hold;
  bool counts;
  double wobbleExtraMg;
};

tiltfit_gen::Options sensor(const Case& c, std::uint64_t seed) {
  tiltfit_gen::Options o;
  o.seed = seed;
  o.tiltDeg = c.tilt;
  o.extraRests = c.extra;
  o.order = c.order;
  o.holdSamples = c.hold;
  o.wobbleExtraMg = c.wobbleExtraMg;
  o.offset[0] = 0.021;
  o.offset[1] = -0.014;
  o.offset[2] = 0.032;
  const double x = c.cross;
  const double K[9] = {1.012, x, -0.6 * x, 0.8 * x, 0.991, 0.5 * x, -0.7 * x, 0.4 * x, 1.006};
  for (int k = 0; k < 9; ++k) o.gain[k] = K[k];
  if (c.counts) {
    o.countsScale = 4096;
    o.countsOffset = 32768;
  }
  return o;
}

void sphere(const tiltfit_gen::Options& o, const tiltfit::Calibration& c, double& mean,
            double& worst) {
  double G[9], b[3];
  const auto column = c.columnGain();
  for (std::size_t k = 0; k < 9; ++k) G[k] = column[k / 3][k % 3];
  for (std::size_t k = 0; k < 3; ++k) b[k] = c.offset[k];
  tiltfit_gen::sphereError(o, G, b, 1.0, mean, worst);
}

struct Figures {
  int ok = 0;
  double meanSum = 0.0;
  double meanHigh = 0.0;
  double worst = 0.0;
  void add(double mean, double w) {
    ++ok;
    meanSum += mean;
    meanHigh = std::max(meanHigh, mean);
    worst = std::max(worst, w);
  }
  void print() const {
    if (ok == 0) {
      std::printf(" %24s", "fails");
      return;
    }
    std::printf(" %7.3f (<=%6.2f)/%6.2f", meanSum / ok, meanHigh, worst);
  }
};

// Calibrates the first `split` lines of a real recording and checks the still stretches after
// them, whose true magnitude is 1 g.
void heldOut(const std::string& path, std::size_t split, const char* name) {
  const tiltfit::Recording whole = tiltfit::readRecording(path);
  tiltfit::Recording head = whole;
  head.x.resize(split);
  head.y.resize(split);
  head.z.resize(split);
  const tiltfit::Result fit = tiltfit::calibrateAuto(head);
  const tiltfit::Result all = tiltfit::calibrateAuto(whole);
  if (!fit.success || !all.success) {
    std::printf("%-44s fails\n", name);
    return;
  }
  double sum = 0.0, worst = 0.0, raw = 0.0;
  int n = 0;
  for (const tiltfit::Stretch& s : all.stretches) {
    if (s.firstRow <= split || !s.inQuality) continue;
    const auto c = fit.calibration.apply(s.mean);
    const double scale = fit.calibration.outputMs2 ? 9.81 : 1.0;
    const double e = std::abs(std::hypot(c[0], c[1], c[2]) / scale - 1.0) * 1000.0;
    double g[3];
    for (std::size_t j = 0; j < 3; ++j) g[j] = (s.mean[j] - all.unitsZero) / all.unitsPerG;
    raw += std::abs(std::hypot(g[0], g[1], g[2]) - 1.0) * 1000.0;
    sum += e;
    worst = std::max(worst, e);
    ++n;
  }
  if (n == 0) {
    std::printf("%-44s no still stretch after row %zu\n", name, split);
    return;
  }
  std::printf("%-44s %2d held-out stretches: %6.3f / %6.3f mg (raw %.1f mg); %s; expected %.2f mg\n",
              name, n, sum / n, worst, raw / n, fit.calibration.method.c_str(),
              fit.quality.expectedErrorMg);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "data";
  const int seeds = argc > 2 ? std::atoi(argv[2]) : 5;
  const Case cases[] = {
      {"six aligned rests", 0, 0, "zu,zd,xu,xd,yu,yd", 0.003, 1, false, 0},
      {"aligned rests, 1 % cross-axis terms", 0, 0, "zu,zd,xu,xd,yu,yd", 0.01, 1, false, 0},
      {"six rests tilted <= 3 deg, nothing else", 3, 0, "zu,zd,xu,xd,yu,yd", 0.003, 1, false, 0},
      {"tilted <= 8 deg + 6 extra rests", 8, 6, "zu,zd,xu,xd,yu,yd", 0.003, 1, false, 0},
      {"2 axis directions missing, 12 random (5 deg)", 5, 12, "zu,xu,xd,yu", 0.003, 1, false, 0},
      {"counts, zero 32768, tilted 8 + 6 extra", 8, 6, "zu,zd,xu,xd,yu,yd", 0.003, 1, true, 0},
      {"tilted 8 + 6 extra, value held 4 samples", 8, 6, "zu,zd,xu,xd,yu,yd", 0.003, 4, false, 0},
      {"tilted 3 + 6 hand-held extra (15 mg)", 3, 6, "zu,zd,xu,xd,yu,yd", 0.003, 1, false, 15},
  };
  std::printf("%-44s %24s %24s %6s  %s\n", "recording", "six-rest mean (max)/worst",
              "--auto mean (max)/worst", "ratio", "method");
  double logAll = 0.0;
  int countAll = 0;
  for (const Case& c : cases) {
    Figures six, reported;
    double logSum = 0.0;
    std::string method;
    for (int seed = 1; seed <= seeds; ++seed) {
      const tiltfit_gen::Options o = sensor(c, static_cast<std::uint64_t>(seed));
      tiltfit_gen::Recording g = tiltfit_gen::generate(o);
      const tiltfit::Recording rec =
          tiltfit::makeRecording(std::move(g.x), std::move(g.y), std::move(g.z));
      tiltfit::CalibrateOptions plain = tiltfit::autoOptions();
      plain.refine = false;
      plain.method = tiltfit::Method::kSixRest;
      const tiltfit::Result p = tiltfit::calibrateAuto(rec, plain);
      double mean = 0.0, worst = 0.0;
      if (p.success) {
        sphere(o, p.calibration, mean, worst);
        six.add(mean, worst);
      }
      const tiltfit::Result r = tiltfit::calibrateAuto(rec);
      if (!r.success) continue;
      sphere(o, r.calibration, mean, worst);
      reported.add(mean, worst);
      const double ratio = mean / r.quality.expectedErrorMg;
      logSum += std::log(ratio);
      logAll += std::log(ratio);
      ++countAll;
      if (method.find(r.calibration.method) == std::string::npos)
        method += (method.empty() ? "" : ", ") + r.calibration.method;
    }
    std::printf("%-44s", c.name);
    six.print();
    reported.print();
    std::printf(" %6.2f  %s\n", reported.ok > 0 ? std::exp(logSum / reported.ok) : 0.0,
                method.c_str());
  }
  std::printf("actual / expected error over all %d recordings: geometric mean %.2f\n\n", countAll,
              countAll > 0 ? std::exp(logAll / countAll) : 0.0);
  heldOut(dir + "/mpu6050_tomisuarez_g.csv", 7501, "MPU-6050, rows before 7500");
  heldOut(dir + "/imucal_ferraris_g.csv", 6201, "imucal Ferraris, rows before 6200");
  return 0;
}
