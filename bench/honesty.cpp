// tiltfit_bench_honesty: does --auto say only what its data support? Prints four tables:
//
//   tiltfit_bench_honesty [DATA_DIR ...]
//
// 1. Hand-held recordings that are never still (every rest wobbling by 30-150 mg): every method,
//    in memory and streamed, must fail and say why.
// 2. Leave one stretch out, done here from scratch: a still-stretch finder of this file's own,
//    then for each stretch found the recording without its rows calibrated by calibrateAuto and
//    the left-out stretch's mean read through that calibration. Set against the held-out figure
//    and the expected error the tool reports for the whole recording. Over the real recordings in
//    the given folders (default data/ and ../shared/data/) and 20 generated ones.
// 3. Rests tilted 5-10 degrees off their axes, sensor without rotation: the reported frame must lie
//    within 2 sigma of the sensor's own axes.
// 4. A factory-calibrated sensor (identity and noise): every number within 2 sigma of the identity,
//    no stretch worse than raw by more than its noise.
// And the time the held-out figures take on their own, for a capture that refits as it goes.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recording_generator.h"
#include "stretchFit.h"
#include "tiltfit/tiltfit.hpp"

namespace {

// ---- the independent still-stretch finder -------------------------------------------------------

struct Found {
  std::size_t first = 0;  // the quiet run, rows inclusive
  std::size_t last = 0;
  std::size_t useFirst = 0;  // its middle, the rows measured
  std::size_t useLast = 0;
  double mean[3] = {0, 0, 0};
  double noiseMg = 0.0;  // standard error of the mean vector, mg
};

double medianOf(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Blocks of 25 samples whose spread on every axis stays within four times the axis noise (at
// least 15 mg, for rests held against something) and whose mean lies within that of the block before join into a run; runs of at
// least four blocks are stretches, measured without their first and last block.
std::vector<Found> findRests(const tiltfit::Recording& rec, double perG) {
  constexpr std::size_t kBlock = 25;
  const std::size_t n = rec.rows();
  const std::vector<double>* axes[3] = {&rec.x, &rec.y, &rec.z};
  double limit[3];
  for (int j = 0; j < 3; ++j) {
    std::vector<double> d;
    for (std::size_t k = 1; k < n; ++k) d.push_back(std::abs((*axes[j])[k] - (*axes[j])[k - 1]));
    const double sigma = 1.4826 * medianOf(d) / std::sqrt(2.0);
    limit[j] = std::max(4.0 * sigma, 0.015 * std::abs(perG));
  }
  std::vector<Found> out;
  std::size_t runStart = 0;
  std::size_t runBlocks = 0;
  double previous[3] = {0, 0, 0};
  auto close = [&](std::size_t endBlock) {
    if (runBlocks >= 4) {
      Found f;
      f.first = runStart * kBlock;
      f.last = endBlock * kBlock - 1;
      f.useFirst = f.first + kBlock;
      f.useLast = f.last - kBlock;
      const double count = static_cast<double>(f.useLast - f.useFirst + 1);
      double var = 0.0;
      for (int j = 0; j < 3; ++j) {
        double sum = 0.0, sumSq = 0.0;
        for (std::size_t k = f.useFirst; k <= f.useLast; ++k) {
          sum += (*axes[j])[k];
          sumSq += (*axes[j])[k] * (*axes[j])[k];
        }
        f.mean[j] = sum / count;
        var += std::max(0.0, sumSq / count - f.mean[j] * f.mean[j]) / count;
      }
      f.noiseMg = std::sqrt(var) / std::abs(perG) * 1000.0;
      out.push_back(f);
    }
    runBlocks = 0;
  };
  for (std::size_t b = 0; (b + 1) * kBlock <= n; ++b) {
    bool quiet = true;
    double mean[3];
    for (int j = 0; j < 3; ++j) {
      double sum = 0.0, sumSq = 0.0;
      for (std::size_t k = b * kBlock; k < (b + 1) * kBlock; ++k) {
        sum += (*axes[j])[k];
        sumSq += (*axes[j])[k] * (*axes[j])[k];
      }
      mean[j] = sum / kBlock;
      const double sd = std::sqrt(std::max(0.0, sumSq / kBlock - mean[j] * mean[j]));
      quiet = quiet && sd <= limit[j] && std::isfinite(sd);
      if (runBlocks > 0) quiet = quiet && std::abs(mean[j] - previous[j]) <= limit[j];
    }
    if (!quiet) {
      close(b);
      continue;
    }
    if (runBlocks == 0) runStart = b;
    ++runBlocks;
    std::copy(mean, mean + 3, previous);
  }
  close(n / kBlock);
  return out;
}

double magnitudeErrorMg(const tiltfit::Calibration& c, const double mean[3]) {
  const std::array<double, 3> v = c.apply({mean[0], mean[1], mean[2]});
  const double scale = c.outputMs2 ? 9.81 : 1.0;
  return (std::hypot(v[0], v[1], v[2]) / scale - 1.0) * 1000.0;
}

// ---- generated recordings --------------------------------------------------------------------

tiltfit::Recording toRecording(tiltfit_gen::Recording g) {
  return tiltfit::makeRecording(std::move(g.x), std::move(g.y), std::move(g.z));
}

tiltfit_gen::Options typicalSensor(std::uint64_t seed) {
  tiltfit_gen::Options o;
  o.seed = seed;
  o.offset[0] = 0.021;
  o.offset[1] = -0.014;
  o.offset[2] = 0.032;
  const double x = 0.003;
  const double K[9] = {1.012, x, -0.6 * x, 0.8 * x, 0.991, 0.5 * x, -0.7 * x, 0.4 * x, 1.006};
  std::copy(K, K + 9, o.gain);
  return o;
}

// A sensor with no rotation of its own: a symmetric K, so that its own axes are the true frame.
tiltfit_gen::Options symmetricSensor(std::uint64_t seed) {
  tiltfit_gen::Options o = typicalSensor(seed);
  const double K[9] = {1.012, 0.003, -0.002, 0.003, 0.991, 0.0015, -0.002, 0.0015, 1.006};
  std::copy(K, K + 9, o.gain);
  return o;
}

// Analogues of four real recordings.
tiltfit_gen::Options benchMany(std::uint64_t seed) {  // 400 Hz bench, many positions
  tiltfit_gen::Options o = typicalSensor(seed);
  o.restSamples = 3000;
  o.transitionSamples = 600;
  o.cycles = 2;
  o.extraRests = 10;
  o.tiltDeg = 3;
  o.noise = 0.003;
  o.restBiasMg = 0.8;  // what the linear model leaves: the real file's stretches scatter so
  return o;
}
tiltfit_gen::Options handTurned(std::uint64_t seed) {  // short, turned by hand, ~7 stretches
  tiltfit_gen::Options o = typicalSensor(seed);
  o.restSamples = 190;
  o.transitionSamples = 50;
  o.wobbleMg = 12;
  o.extraRests = 1;
  o.restBiasMg = 0.3;
  return o;
}
tiltfit_gen::Options countsTilted(std::uint64_t seed) {  // raw counts, rests ~7 deg off
  tiltfit_gen::Options o = symmetricSensor(seed);
  o.countsScale = 16384;
  o.countsOffset = 0;
  o.tiltMinDeg = 6;
  o.tiltDeg = 8;
  o.restSamples = 1500;
  return o;
}
tiltfit_gen::Options factoryPart(std::uint64_t seed) {  // calibrated at the factory
  tiltfit_gen::Options o;
  o.seed = seed;
  o.tiltDeg = 2;
  o.extraRests = 6;
  return o;
}

struct Named {
  std::string name;
  tiltfit_gen::Options options;
};

std::vector<Named> generatedForLeaveOneOut() {
  std::vector<Named> out;
  for (std::uint64_t seed = 1; seed <= 4; ++seed) {
    out.push_back({"400 Hz bench, 22 positions #" + std::to_string(seed), benchMany(seed)});
    out.push_back({"hand-turned, 7 positions #" + std::to_string(seed), handTurned(seed)});
    out.push_back({"counts, rests 6-8 deg off #" + std::to_string(seed), countsTilted(seed)});
    out.push_back({"factory-calibrated #" + std::to_string(seed), factoryPart(seed)});
  }
  for (std::uint64_t seed = 1; seed <= 2; ++seed) {
    tiltfit_gen::Options a = typicalSensor(seed);
    a.tiltDeg = 8;
    a.extraRests = 6;
    out.push_back({"tilted 8 + 6 extra #" + std::to_string(seed), a});
    tiltfit_gen::Options b = typicalSensor(seed);
    b.tiltDeg = 3;
    b.extraRests = 6;
    b.wobbleExtraMg = 15;
    out.push_back({"tilted 3 + 6 hand-held extra #" + std::to_string(seed), b});
  }
  return out;
}

// ---- 1. never still ----------------------------------------------------------------------------

std::string writeTemp(const tiltfit_gen::Recording& g) {
  char path[] = "/tmp/tiltfit_honesty_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "";
  std::FILE* f = fdopen(fd, "wb");
  tiltfit_gen::writeCsv(f, g);
  std::fclose(f);
  return path;
}

std::string firstProblem(const tiltfit::Result& r) {
  if (r.success) return "(success)";
  if (r.problems.empty()) return "(no reason)";
  return r.problems[0].substr(0, 60);
}

bool neverStillTable() {
  std::printf("1. hand-held, never still: every method must fail with a reason\n");
  std::printf("%-26s %-7s %-7s %-7s %-7s  %s\n", "tremor (mg, samples)", "auto", "six", "stretch",
              "stream", "first problem (auto)");
  bool all = true;
  for (const double mg : {30.0, 60.0, 100.0, 150.0}) {
    for (const int pace : {5, 25, 100}) {
      tiltfit_gen::Options o = typicalSensor(static_cast<std::uint64_t>(mg) + pace);
      o.wobbleMg = mg;
      o.wobbleSamples = pace;
      o.extraRests = 4;
      const tiltfit_gen::Recording g = tiltfit_gen::generate(o);
      const std::string path = writeTemp(g);
      const tiltfit::Recording rec = toRecording(g);
      tiltfit::CalibrateOptions opt = tiltfit::autoOptions();
      const tiltfit::Result a = tiltfit::calibrateAuto(rec, opt);
      opt.method = tiltfit::Method::kSixRest;
      const tiltfit::Result s = tiltfit::calibrateAuto(rec, opt);
      opt.method = tiltfit::Method::kStretches;
      const tiltfit::Result t = tiltfit::calibrateAuto(rec, opt);
      const tiltfit::Result m = tiltfit::calibrateStretchesStreaming(path, tiltfit::ReadOptions(), opt);
      std::remove(path.c_str());
      auto verdict = [&](const tiltfit::Result& r) {
        const bool ok = !r.success && !r.problems.empty();
        all = all && ok;
        return ok ? "fails" : r.success ? "PASSES" : "SILENT";
      };
      char name[64];
      std::snprintf(name, sizeof name, "%.0f mg, %d", mg, pace);
      std::printf("%-26s %-7s %-7s %-7s %-7s  %s\n", name, verdict(a), verdict(s), verdict(t),
                  verdict(m), firstProblem(a).c_str());
    }
  }
  std::printf("all fail with a reason: %s\n\n", all ? "yes" : "NO");
  return all;
}

// ---- 2. leave one stretch out -----------------------------------------------------------------

struct LooRow {
  bool ok = false;
  int folds = 0;
  double independentMg = 0.0;  // mean | error | of the left-out stretches, from scratch
  double reportedMg = 0.0;     // the tool's held-out figure
  double expectedMg = 0.0;
  double inSampleMg = 0.0;
  std::string method;
};

LooRow leaveOneOut(const tiltfit::Recording& rec) {
  LooRow row;
  const tiltfit::Result whole = tiltfit::calibrateAuto(rec);
  if (!whole.success) return row;
  row.reportedMg = whole.quality.heldOutMeanMg;
  row.expectedMg = whole.quality.expectedErrorMg;
  row.inSampleMg = whole.quality.normErrorAfterMg;
  row.method = whole.calibration.method;
  const std::vector<Found> rests = findRests(rec, whole.unitsPerG);
  double sum = 0.0;
  for (const Found& f : rests) {
    // The recording without the stretch's rows and a margin of a block on either side.
    const std::size_t from = f.first >= 25 ? f.first - 25 : 0;
    const std::size_t to = std::min(rec.rows() - 1, f.last + 25);
    std::vector<double> x, y, z;
    for (std::size_t k = 0; k < rec.rows(); ++k) {
      if (k >= from && k <= to) continue;
      x.push_back(rec.x[k]);
      y.push_back(rec.y[k]);
      z.push_back(rec.z[k]);
    }
    const tiltfit::Result fold =
        tiltfit::calibrateAuto(tiltfit::makeRecording(std::move(x), std::move(y), std::move(z)));
    if (!fold.success) continue;
    sum += std::abs(magnitudeErrorMg(fold.calibration, f.mean));
    ++row.folds;
  }
  if (row.folds == 0) return row;
  row.independentMg = sum / row.folds;
  row.ok = true;
  return row;
}

struct LooSummary {
  double logSum = 0.0;
  int count = 0;
  int beyond3 = 0;
  double leastExpected = HUGE_VAL;  // expected / independent
  void add(const LooRow& r) {
    const double ratio = r.reportedMg / r.independentMg;
    logSum += std::log(ratio);
    ++count;
    if (ratio > 3.0 || ratio < 1.0 / 3.0) ++beyond3;
    leastExpected = std::min(leastExpected, r.expectedMg / r.independentMg);
  }
};

void printLoo(const std::string& name, const LooRow& r, LooSummary& s) {
  if (!r.ok) {
    std::printf("%-44s %s\n", name.c_str(),
                r.method.empty() ? "fails" : "no fold: without any one stretch it fails");
    return;
  }
  if (r.reportedMg == 0.0) {
    std::printf("%-44s %5d %9.3f  no stretch held out by the tool\n", name.c_str(), r.folds,
                r.independentMg);
    return;
  }
  s.add(r);
  std::printf("%-44s %5d %9.3f %9.3f %6.2f %9.3f %6.2f %9.3f  %s\n", name.c_str(), r.folds,
              r.independentMg, r.reportedMg, r.reportedMg / r.independentMg, r.expectedMg,
              r.expectedMg / r.independentMg, r.inSampleMg, r.method.c_str());
}

std::vector<std::string> csvFiles(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".csv") == 0)
      out.push_back(dir + "/" + name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

void leaveOneOutTable(const std::vector<std::string>& dirs) {
  std::printf("2. leave one stretch out: reported held-out within [0.5, 2]x of the independent "
              "figure (geometric mean), each within 3x; expected error >= 1/1.5 of it\n");
  std::printf("%-44s %5s %9s %9s %6s %9s %6s %9s  %s\n", "recording", "folds", "indep mg",
              "held mg", "ratio", "expect mg", "e/ind", "in-sample", "method");
  LooSummary real, generated;
  for (const std::string& dir : dirs) {
    for (const std::string& path : csvFiles(dir)) {
      tiltfit::ReadOptions read;
      read.detectDelimiter = read.detectColumns = true;
      tiltfit::Recording rec;
      try {
        rec = tiltfit::readRecording(path, read);
      } catch (const tiltfit::Error& e) {
        std::printf("%-44s unreadable: %s\n", path.c_str(), e.what());
        continue;
      }
      printLoo(path.substr(path.find_last_of('/') + 1), leaveOneOut(rec), real);
    }
  }
  for (const Named& g : generatedForLeaveOneOut())
    printLoo(g.name, leaveOneOut(toRecording(tiltfit_gen::generate(g.options))), generated);
  for (const auto& [name, s] : {std::make_pair("real", &real), std::make_pair("generated", &generated)}) {
    if (s->count == 0) continue;
    std::printf("%s: %d recordings, held-out / independent geometric mean %.2f, %d beyond 3x; "
                "least expected / independent %.2f\n",
                name, s->count, std::exp(s->logSum / s->count), s->beyond3, s->leastExpected);
  }
  std::printf("\n");
}

// ---- 3. tilted rests, known frame --------------------------------------------------------------

void rotationTable() {
  std::printf("3. rests 5-10 deg off their axes, a sensor without rotation: frame within 2 sigma\n");
  std::printf("%-30s %-8s %9s %9s %9s %9s %7s\n", "recording", "applied", "rot deg", "sigma",
              "suggest", "tilt deg", "within");
  int within = 0, count = 0;
  auto one = [&](const std::string& name, const tiltfit_gen::Options& o) {
    const tiltfit::Result r = tiltfit::calibrateAuto(toRecording(tiltfit_gen::generate(o)));
    if (!r.success) {
      std::printf("%-30s fails\n", name.c_str());
      return;
    }
    const tiltfit::Calibration& c = r.calibration;
    const bool ok = c.rotationDeg <= 2.0 * c.rotationSigmaDeg;
    within += ok;
    ++count;
    std::printf("%-30s %-8s %9.3f %9.3f %9.3f %9.3f %7s\n", name.c_str(),
                c.rotationApplied ? "yes" : "no", c.rotationDeg, c.rotationSigmaDeg,
                c.suggestedRotationDeg, r.quality.restTiltDeg, ok ? "yes" : "NO");
  };
  for (std::uint64_t seed = 1; seed <= 5; ++seed) {
    tiltfit_gen::Options o = symmetricSensor(seed);
    o.tiltMinDeg = 5;
    o.tiltDeg = 10;
    one("tilted 5-10 #" + std::to_string(seed), o);
    o.extraRests = 6;
    one("tilted 5-10 + 6 extra #" + std::to_string(seed), o);
    one("counts, rests 6-8 deg #" + std::to_string(seed), countsTilted(seed));
  }
  std::printf("within 2 sigma: %d of %d\n\n", within, count);
}

// ---- 4. factory-calibrated ---------------------------------------------------------------------

void factoryTable() {
  std::printf("4. factory-calibrated (identity and noise): numbers within 2 sigma of the identity; "
              "no stretch worse than raw by more than its noise\n");
  std::printf("%-26s %-10s %14s %16s %10s\n", "recording", "method", "worst |d|/sigma",
              "worst worse/noise", "rot deg");
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    tiltfit_gen::Options o = factoryPart(seed);
    if (seed > 3) {
      o.tiltDeg = 0;  // aligned rests
      o.extraRests = 0;
    }
    const tiltfit::Recording rec = toRecording(tiltfit_gen::generate(o));
    const tiltfit::Result r = tiltfit::calibrateAuto(rec);
    const std::string name = std::string(seed > 3 ? "aligned" : "tilted 2 + 6 extra") + " #" +
                             std::to_string(seed);
    if (!r.success) {
      std::printf("%-26s fails\n", name.c_str());
      continue;
    }
    const tiltfit::Calibration& c = r.calibration;
    double worstSigma = 0.0;
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t j = 0; j < 3; ++j) {
        const double d = c.gainMatrix[i][j] - (i == j ? 1.0 : 0.0);
        const double s = c.uncertainty.gainMatrix[i][j];
        worstSigma = std::max(worstSigma, d == 0.0 ? 0.0 : std::abs(d) / s);
      }
      const double s = c.uncertainty.offset[i];
      worstSigma = std::max(worstSigma, c.offset[i] == 0.0 ? 0.0 : std::abs(c.offset[i]) / s);
    }
    double worstWorse = -HUGE_VAL;
    for (const Found& f : findRests(rec, 1.0)) {
      const double before = std::abs(std::hypot(f.mean[0], f.mean[1], f.mean[2]) - 1.0) * 1000.0;
      const double after = std::abs(magnitudeErrorMg(c, f.mean));
      worstWorse = std::max(worstWorse, (after - before) / f.noiseMg);
    }
    std::printf("%-26s %-10s %14.2f %16.2f %10.3f\n", name.c_str(), c.method.c_str(), worstSigma,
                worstWorse, c.rotationDeg);
  }
  std::printf("\n");
}

// ---- the held-out figures' time ----------------------------------------------------------------

void timing() {
  namespace an = tiltfit::analysis;
  std::printf("held-out figures for a live capture (fitStretches with leave-one-out), ms:\n");
  for (const int n : {12, 30, 60}) {
    std::vector<an::StillStretch> stretches;
    const double golden = M_PI * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < n; ++i) {
      const double zc = 1.0 - (2.0 * i + 1.0) / n;
      const double rho = std::sqrt(1.0 - zc * zc);
      an::StillStretch s;
      const double u[3] = {rho * std::cos(golden * i), rho * std::sin(golden * i), zc};
      for (int j = 0; j < 3; ++j) {
        s.mean[j] = 1.01 * u[j] + 0.02 + 1e-4 * std::sin(7.0 * i + j);
        s.noise[j] = 0.002;
        s.meanSigma[j] = 5e-5;
      }
      s.first = static_cast<std::size_t>(i) * 1000;
      s.last = s.first + 999;
      stretches.push_back(s);
    }
    constexpr int kRepeat = 20;
    const auto start = std::chrono::steady_clock::now();
    std::size_t folds = 0;
    for (int k = 0; k < kRepeat; ++k) folds += an::leaveOneOut(stretches).folds;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
        kRepeat;
    std::printf("  %3d stretches: %7.2f ms (%zu folds)\n", n, ms, folds / kRepeat);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> dirs;
  for (int k = 1; k < argc; ++k) dirs.push_back(argv[k]);
  if (dirs.empty()) dirs = {"data", "../shared/data"};
  neverStillTable();
  leaveOneOutTable(dirs);
  rotationTable();
  factoryTable();
  timing();
  return 0;
}
