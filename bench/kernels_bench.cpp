// Google Benchmark kernels: window search (linear and reference), moving mean, CSV readers.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "findStaticWindow.h"
#include "libOrr_accTools.h"
#include "movmean.h"
#include "recording_generator.h"

namespace {

// A smoothed generated recording of about n samples, rests scaled with n.
void smoothedRecording(int n, coder::array<double, 2>& filtered) {
  tiltfit_gen::Options o;
  o.transitionSamples = n / 40;
  o.restSamples = (n - 7 * o.transitionSamples) / 6;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  const int rows = static_cast<int>(rec.x.size());
  filtered.set_size(rows, 3);
  const std::vector<double>* cols[3] = {&rec.x, &rec.y, &rec.z};
  coder::array<double, 1> raw, smooth;
  raw.set_size(rows);
  for (int j = 0; j < 3; ++j) {
    for (int k = 0; k < rows; ++k) raw[k] = (*cols[j])[static_cast<size_t>(k)];
    coder::movmean(raw, 50, smooth);
    for (int k = 0; k < rows; ++k) filtered[k + rows * j] = smooth[k];
  }
}

template <bool kFast>
void BM_FindStaticWindow(benchmark::State& state) {
  coder::array<double, 2> filtered;
  smoothedRecording(static_cast<int>(state.range(0)), filtered);
  const double width = static_cast<double>(state.range(1));
  coder::array<unsigned int, 2> idx;
  for (auto _ : state) {
    for (int s = 0; s < 6; ++s) {
      const int axis = 1 + s / 2;
      const double level = s % 2 ? 1.0 : -1.0;
      if (kFast) {
        coder::findStaticWindowFast(filtered, axis, level, 5, 5e-4, width, 2e-3, idx);
      } else {
        coder::findStaticWindow(filtered, axis, level, 5, 5e-4, width, 2e-3, idx);
      }
      if (idx.numel() != static_cast<int>(width)) state.SkipWithError("orientation not found");
    }
  }
  state.SetItemsProcessed(state.iterations() * filtered.size(0) * 6);
}
BENCHMARK(BM_FindStaticWindow<true>)
    ->Name("BM_FindStaticWindowFast")
    ->Args({100000, 1000})
    ->Args({1000000, 1000})
    ->Args({1000000, 100})
    ->Args({10000000, 1000})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindStaticWindow<false>)
    ->Name("BM_FindStaticWindowReference")
    ->Args({100000, 1000})
    ->Args({1000000, 1000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

void BM_Movmean(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  coder::array<double, 1> x, y;
  x.set_size(n);
  for (int i = 0; i < n; ++i)
    x[i] = 1.0 + 1e-3 * static_cast<double>((static_cast<long long>(i) * 7919) % 1000);
  for (auto _ : state) {
    coder::movmean(x, static_cast<double>(state.range(1)), y);
    benchmark::DoNotOptimize(y.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Movmean)
    ->Args({1000000, 50})
    ->Args({10000000, 50})
    ->Args({1000000, 1000})
    ->Unit(benchmark::kMillisecond);

// A CSV file of n generated samples, written once per size.
std::string csvFile(int n) {
  const std::string path = "/tmp/tiltfit_bench_" + std::to_string(n) + ".csv";
  if (access(path.c_str(), R_OK) != 0) {
    tiltfit_gen::Options o;
    o.transitionSamples = n / 40;
    o.restSamples = (n - 7 * o.transitionSamples) / 6;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    tiltfit_gen::writeCsv(f, tiltfit_gen::generate(o));
    std::fclose(f);
  }
  return path;
}

template <bool kFast>
void BM_ReadCsv(benchmark::State& state) {
  const std::string path = csvFile(static_cast<int>(state.range(0)));
  std::FILE* devnull = std::freopen("/dev/null", "w", stderr);
  (void)devnull;
  for (auto _ : state) {
    ACCTOOLS tools;
    const bool ok = kFast ? tools.readAccelerometerMeasures(path)
                          : tools.readAccelerometerMeasuresReference(path);
    if (!ok) state.SkipWithError("read failed");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadCsv<true>)->Name("BM_ReadCsvFast")->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadCsv<false>)
    ->Name("BM_ReadCsvReference")
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
