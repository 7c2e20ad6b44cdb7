// tiltfit_bench_noise: what the noise figures cost on a day of a six-axis IMU at 400 Hz
// (3.5e7 samples, 6 channels), and how well they read the generator's model.
//
//   tiltfit_bench_noise [--samples N] [--threads T] [--coverage SEEDS]
//
// The recording is generated in blocks as it goes (white noise and a random walk on every axis),
// so that only the gate and the accumulators are timed and held. The kept samples are staged
// per channel and handed to the six accumulators 16384 at a time, on T threads (channels split
// between them; the gate itself runs on one). Output:
//   samples=<n> channels=6 threads=<t> gate_s=<s> gate_cpu_s=<s> allan_s=<s> allan_cpu_s=<s>
//   allan_ns_per_sample=<ns> allan_mb=<MiB of the six accumulators> gate_mb=<MiB>
//   peak_mb=<process peak RSS> kept=<n>
// (wall seconds, and CPU seconds of the calling thread: with one thread the stage's whole CPU
// time, which a busy host does not inflate; allan_ns_per_sample is of the wall time, per sample
// and channel, times the threads).
// --coverage SEEDS instead fits SEEDS generated two-hour recordings of both sensors at 100 Hz
// (the case of noise_test) and prints, per figure, the largest and rms error against the model
// and how often the 95 % interval held it.
#include <omp.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "noise/allan.h"
#include "noise/noiseFit.h"
#include "noise/stillGate.h"
#include "still_generator.h"

namespace {

using namespace tiltfit::analysis::noise;
using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point t) {
  return std::chrono::duration<double>(clock_type::now() - t).count();
}

// CPU seconds of the calling thread: on a host shared with other work, what the stage itself
// took.
double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

int cost(std::uint64_t samples, int threads) {
  tiltfit_gen::StillOptions o;
  o.rate = 400.0;
  o.seconds = static_cast<double>(samples) / o.rate;
  for (auto& n : o.accel) n = tiltfit_gen::AxisNoise{2e-3, 4e-4, 0.0, 0.0, 0.0};
  for (auto& n : o.gyro) n = tiltfit_gen::AxisNoise{1.7e-4, 3e-5, 0.0, 0.0, 0.0};
  tiltfit_gen::StillGenerator gen(o);

  std::vector<AllanAccumulator> acc(6, AllanAccumulator(1.0 / o.rate));
  constexpr std::size_t kStage = 16384;
  std::vector<double> stage[6];
  for (auto& s : stage) s.reserve(kStage);
  double allanSeconds = 0.0, allanCpu = 0.0;
  const auto flush = [&] {
    const auto t = clock_type::now();
    const double c0 = threadSeconds();
#pragma omp parallel for num_threads(threads) schedule(static)
    for (int c = 0; c < 6; ++c) {
      acc[static_cast<std::size_t>(c)].add(stage[c].data(), stage[c].size());
      stage[c].clear();
    }
    allanSeconds += since(t);
    allanCpu += threadSeconds() - c0;  // the calling thread's share (all of it with one thread)
  };
  StillGateOptions go;
  go.period = 1.0 / o.rate;
  go.accelToSI = 1.0;
  go.gyroToSI = 1.0;
  std::uint64_t kept = 0;
  StillGate gate(go, [&](const double* const* ch, std::size_t n, bool breakBefore) {
    if (breakBefore) {
      flush();
      for (auto& a : acc) a.breakSegment();
    }
    for (int c = 0; c < 6; ++c) stage[c].insert(stage[c].end(), ch[c], ch[c] + n);
    kept += n;
    if (stage[0].size() >= kStage) flush();
  });

  constexpr std::size_t kBlock = 65536;
  std::vector<double> columns[6];
  for (auto& c : columns) c.resize(kBlock);
  double gateSeconds = 0.0, gateCpu = 0.0;
  while (!gen.done()) {
    std::size_t n = 0;
    for (; n < kBlock && !gen.done(); ++n) {
      const tiltfit_gen::StillSample s = gen.next();
      for (int c = 0; c < 3; ++c) {
        columns[c][n] = s.accel[c];
        columns[c + 3][n] = s.gyro[c];
      }
    }
    const double* ptrs[6];
    for (int c = 0; c < 6; ++c) ptrs[c] = columns[c].data();
    const double before = allanSeconds, beforeCpu = allanCpu;
    const auto t = clock_type::now();
    const double c0 = threadSeconds();
    gate.push(ptrs, n);
    gateSeconds += since(t) - (allanSeconds - before);
    gateCpu += threadSeconds() - c0 - (allanCpu - beforeCpu);
  }
  const auto t = clock_type::now();
  const double c0 = threadSeconds();
  gate.finish();
  flush();
  gateSeconds += since(t);
  gateCpu += threadSeconds() - c0;
  for (auto& a : acc) a.curve();  // what a report would read; checks the state is whole
  std::size_t allanBytes = 0;
  for (const auto& a : acc) allanBytes += a.memoryBytes();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "samples=%llu channels=6 threads=%d gate_s=%.3f gate_cpu_s=%.3f allan_s=%.3f "
      "allan_cpu_s=%.3f allan_ns_per_sample=%.2f allan_mb=%.2f gate_mb=%.2f peak_mb=%.1f "
      "kept=%llu\n",
      static_cast<unsigned long long>(samples), threads, gateSeconds, gateCpu, allanSeconds,
      allanCpu, allanSeconds * threads / (6.0 * static_cast<double>(samples)) * 1e9,
      static_cast<double>(allanBytes) / 1048576.0,
      static_cast<double>(gate.memoryBytes()) / 1048576.0,
      static_cast<double>(usage.ru_maxrss) / 1024.0, static_cast<unsigned long long>(kept));
  return kept > 0 ? 0 : 1;
}

// The two-hour case of noise_test over many seeds.
int coverage(int seeds) {
  struct Tally {
    double worst = 0.0, sum2 = 0.0;
    int held = 0, n = 0;
    void add(double value, double truth, double lo, double hi) {
      const double e = value / truth - 1.0;
      worst = std::max(worst, std::abs(e));
      sum2 += e * e;
      held += lo <= truth && truth <= hi;
      ++n;
    }
  } N, K, B;
  for (int seed = 1; seed <= seeds; ++seed) {
    tiltfit_gen::StillOptions o;
    o.seconds = 7200.0;
    o.seed = static_cast<std::uint64_t>(seed);
    for (auto& n : o.accel) n = tiltfit_gen::AxisNoise{2e-3, 4e-4, 2e-4, 20.0, 0.0};
    for (auto& n : o.gyro) n = tiltfit_gen::AxisNoise{1.7e-4, 3e-5, 1.5e-5, 20.0, 0.0};
    o.accel[0].white = 3e-3;
    o.gyro[2].randomWalk = 5e-5;
    tiltfit_gen::StillGenerator g(o);
    std::vector<AllanAccumulator> acc(6, AllanAccumulator(0.01));
    while (!g.done()) {
      const tiltfit_gen::StillSample s = g.next();
      for (int c = 0; c < 3; ++c) {
        acc[static_cast<std::size_t>(c)].add(s.accel[c]);
        acc[static_cast<std::size_t>(c) + 3].add(s.gyro[c]);
      }
    }
    for (int c = 0; c < 6; ++c) {
      const tiltfit_gen::AxisTruth t = tiltfit_gen::stillTruth(o, c >= 3, c % 3);
      const NoiseFit f = fitNoise(acc[static_cast<std::size_t>(c)].curve());
      N.add(f.white.value, t.white, f.white.lo, f.white.hi);
      K.add(f.randomWalk.value, t.randomWalk, f.randomWalk.lo, f.randomWalk.hi);
      B.add(f.bias.value, t.biasInstability, f.bias.lo, f.bias.hi);
    }
  }
  std::printf("figure  channels  worst_error  rms_error  held_by_95%%_interval\n");
  const char* names[3] = {"N", "K", "B"};
  const Tally* all[3] = {&N, &K, &B};
  for (int k = 0; k < 3; ++k)
    std::printf("%-7s %8d  %10.2f%%  %8.2f%%  %5.1f%%\n", names[k], all[k]->n, 100 * all[k]->worst,
                100 * std::sqrt(all[k]->sum2 / all[k]->n), 100.0 * all[k]->held / all[k]->n);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t samples = 35000000;
  int threads = 1, seeds = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--samples") == 0)
      samples = std::strtoull(argv[i + 1], nullptr, 10);
    else if (std::strcmp(argv[i], "--threads") == 0)
      threads = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--coverage") == 0)
      seeds = std::atoi(argv[i + 1]);
  }
  return seeds > 0 ? coverage(seeds) : cost(samples, std::max(1, threads));
}
