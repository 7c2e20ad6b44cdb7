// tiltfit_bench_stages: runs one calibration the way the tool does and prints how long each stage
// took, for the end-to-end benchmark.
//
//   tiltfit_bench_stages FILE [--reference] [tolerancePct moveMeanWindow diffThreshold windowWidth
//                                            deltaThresholdWindow]
//
// --reference uses the stream reader and the from-scratch window search. Output, one line:
//   ok=<0|1> read=<s> filter=<s> search=<s> fit=<s> total=<s> analysis=<s> peak_mb=<MiB>
// analysis is what the tool adds after the fit on every success: the still stretches, the refined
// fit and the quality figures (not part of total).
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "accelcal.h"
#include "calibrationQuality.h"
#include "calibrationRun.h"
#include "findStaticWindow.h"
#include "fpmode.h"
#include "libOrr_accTools.h"
#include "movmean.h"
#include "stretchFit.h"
#include "stillStretches.h"

namespace {

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [--reference] [5 numbers]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  int next = 2;
  const bool reference = argc > 2 && std::strcmp(argv[2], "--reference") == 0;
  if (reference) ++next;
  double p[5] = {5, 50, 5e-4, 1000, 2e-3};
  for (int k = 0; k < 5 && next + k < argc; ++k) p[k] = std::atof(argv[next + k]);

  enableFlushToZero();                    // as the tool does before main
  std::cerr.setstate(std::ios::failbit);  // the header messages are not what is measured
  using clock = std::chrono::steady_clock;
  const auto t0 = clock::now();
  ACCTOOLS tools;
  const bool read = reference ? tools.readAccelerometerMeasuresReference(path)
                              : tools.readAccelerometerMeasures(path);
  if (!read) return 1;
  const auto t1 = clock::now();

  // The calibration entry's own steps, timed one by one.
  const auto& m = tools.getAccelerometerMeasures();
  const int n = static_cast<int>(m[0].size());
  coder::array<double, 2> filtered;
  filtered.set_size(n, 3);
  for (int j = 0; j < 3; ++j) {
    coder::movmean(m[static_cast<size_t>(j)].data(), n, p[1],
                   filtered.data() + static_cast<long>(n) * j);
  }
  const auto t2 = clock::now();

  coder::array<unsigned int, 2> idx[6];
  const int axes[6] = {1, 1, 2, 2, 3, 3};
  const double levels[6] = {-1, 1, -1, 1, -1, 1};
#pragma omp parallel for schedule(dynamic, 1)
  for (int s = 0; s < 6; ++s) {
    if (reference) {
      coder::findStaticWindow(filtered, axes[s], levels[s], p[0], p[2], p[3], p[4], idx[s]);
    } else {
      coder::findStaticWindowFast(filtered, axes[s], levels[s], p[0], p[2], p[3], p[4], idx[s]);
    }
  }
  const auto t3 = clock::now();

  bool ok = true;
  coder::array<double, 2> sets[6];
  for (int s = 0; s < 6; ++s) {
    ok = ok && idx[s].numel() != 1;
    const int rows = idx[s].numel();
    sets[s].set_size(rows, 3);
    for (int j = 0; j < 3; ++j)
      for (int r = 0; r < rows; ++r)
        sets[s][r + rows * j] = filtered[static_cast<int>(idx[s][r]) - 1 + n * j];
  }
  double A[9], b[3];
  coder::accelcal(sets[0], sets[1], sets[2], sets[3], sets[4], sets[5], A, b);
  const auto t4 = clock::now();

  // What the tool adds: still stretches (of the noise floor for the units, then widened for the
  // fit), the fit over them, quality figures.
  namespace an = tiltfit::analysis;
  const std::size_t rows = m[0].size();
  const an::NoiseFloor floor = an::estimateNoiseFloor(m[0].data(), m[1].data(), m[2].data(), rows);
  const std::vector<an::StillStretch> strict =
      an::findStillStretches(m[0].data(), m[1].data(), m[2].data(), rows, floor);
  const std::vector<an::StillStretch> stretches = an::stretchesForFit(
      m[0].data(), m[1].data(), m[2].data(), rows, floor, an::InputScale());
  ok = ok && strict.size() + 1 > 0;
  an::Calibration six;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) six.gain[3 * i + j] = A[i + 3 * j];
    six.offset[i] = b[i];
  }
  an::StretchFitOptions fo;
  fo.stretches = &stretches;
  fo.start = six;
  const an::StretchFit refined = an::fitStretches(fo);
  const double expected = an::expectedErrorMg(refined.calibration, refined);
  ok = ok && std::isfinite(expected);
  const an::NormErrors before = an::rawNormErrors(stretches, an::InputScale());
  const an::NormErrors after = an::calibratedNormErrors(stretches, refined.calibration, 1.0);
  const auto t5 = clock::now();
  if (!(after.meanMg <= before.meanMg + 1000.0)) ok = false;

  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "ok=%d read=%.4f filter=%.4f search=%.4f fit=%.4f total=%.4f analysis=%.4f peak_mb=%.0f\n",
      ok ? 1 : 0, seconds(t0, t1), seconds(t1, t2), seconds(t2, t3), seconds(t3, t4),
      seconds(t0, t4), seconds(t4, t5), static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
