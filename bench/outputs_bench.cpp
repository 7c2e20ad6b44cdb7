// tiltfit_bench_outputs: times the two outputs beside the report on one recording, for
// bench/outputs.sh: the SVG plot of the smoothed axes with the windows the search chose, and
// applying a calibration to the whole file.
//
//   tiltfit_bench_outputs FILE [--svg OUT.svg] [tolerancePct moveMeanWindow diffThreshold
//                                              windowWidth deltaThresholdWindow]
//
// Output, one line: plot=<s> plot_kb=<KiB> apply=<s>. The plot is timed
// writing to a temporary file (or to OUT.svg), the calibration is applied to /dev/null.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "findStaticWindow.h"
#include "fpmode.h"
#include "libOrr_accTools.h"
#include "movmean.h"
#include "plotSvg.h"
#include "tiltfit/tiltfit.hpp"

namespace {

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [--svg OUT.svg] [5 numbers]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  int next = 2;
  std::string svgPath;
  if (argc > 3 && std::strcmp(argv[2], "--svg") == 0) {
    svgPath = argv[3];
    next = 4;
  }
  double p[5] = {5, 50, 5e-4, 1000, 2e-3};
  for (int k = 0; k < 5 && next + k < argc; ++k) p[k] = std::atof(argv[next + k]);

  enableFlushToZero();
  std::cerr.setstate(std::ios::failbit);
  ACCTOOLS tools;
  if (!tools.readAccelerometerMeasures(path)) return 1;
  const auto& m = tools.getAccelerometerMeasures();
  const int n = static_cast<int>(m[0].size());
  coder::array<double, 2> filtered;
  filtered.set_size(n, 3);
  for (int j = 0; j < 3; ++j) {
    coder::movmean(m[static_cast<size_t>(j)].data(), n, p[1],
                   filtered.data() + static_cast<long>(n) * j);
  }
  tiltfit::report::PlotInput in{};
  for (int j = 0; j < 3; ++j) in.axes[j] = filtered.data() + static_cast<long>(n) * j;
  in.n = static_cast<std::size_t>(n);
  in.band = p[0] / 100.0;
  in.title = path;
  for (int s = 0; s < 6; ++s) {
    coder::array<unsigned int, 2> idx;
    coder::findStaticWindowFast(filtered, s / 2 + 1, s % 2 == 0 ? -1.0 : 1.0, p[0], p[2], p[3],
                                p[4], idx);
    tiltfit::report::PlotWindow& w = in.windows[s];
    w = {s / 2, s % 2 == 0 ? -1 : 1, idx.numel() > 1, 0, 0};
    if (w.found) {
      w.firstRow = idx[0];
      w.lastRow = idx[idx.numel() - 1];
    }
    in.failed = in.failed || !w.found;
  }

  using clock = std::chrono::steady_clock;
  std::FILE* svg = svgPath.empty() ? std::tmpfile() : std::fopen(svgPath.c_str(), "wb");
  if (svg == nullptr) return 1;
  const auto t0 = clock::now();
  const bool plotted = tiltfit::report::writePlotSvg(svg, in);
  const auto t1 = clock::now();
  const long svgBytes = std::ftell(svg);
  std::fclose(svg);
  if (!plotted) return 1;

  // Close to the identity, as a real sensor's calibration is.
  tiltfit::Calibration c;
  c.gainMatrix = {{{1.012, 0.004, -0.006}, {0.003, 0.991, 0.008}, {-0.005, 0.002, 1.006}}};
  c.offset = {0.021, -0.014, 0.032};
  std::FILE* csv = std::fopen(path.c_str(), "rb");
  std::FILE* sink = std::fopen("/dev/null", "wb");
  if (csv == nullptr || sink == nullptr) return 1;
  const auto t2 = clock::now();
  const int applied = tiltfit::applyCalibrationToText(c, tiltfit::Layout(), csv, sink);
  const auto t3 = clock::now();
  std::fclose(csv);
  std::fclose(sink);
  if (applied != 0) return 1;

  std::printf("plot=%.4f plot_kb=%.0f apply=%.4f\n", seconds(t0, t1),
              static_cast<double>(svgBytes) / 1024.0, seconds(t2, t3));
  return 0;
}
