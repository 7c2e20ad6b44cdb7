// tiltfit_bench_live: how --live keeps up with a fast logger. A generated bench session is paced at
// RATE lines a second (default 10,000) into `tiltfit --live -`; prints the CPU the tool used
// against the wall time, and for each orientation how long after its stretch became long enough
// (held still for half a second) the tool said it was captured.
//
//   tiltfit_bench_live BUILD_DIR [RATE]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "recording_generator.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

pid_t spawn(const std::vector<std::string>& args, int in, int out, int err) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (in >= 0) dup2(in, 0);
    if (out >= 0) dup2(out, 1);
    if (err >= 0) dup2(err, 2);
    for (int fd = 3; fd < 64; ++fd) close(fd);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string build = argc > 1 ? argv[1] : "build";
  const int rate = argc > 2 ? std::atoi(argv[2]) : 10000;
  const std::string dir = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
  const std::string file = dir + "/tiltfit_bench_live.csv";
  const std::string stamps = dir + "/tiltfit_bench_live.stamps";

  // Six rests of 2 s, four positions between, then the device turning for 5 s.
  tiltfit_gen::Options o;
  o.order = "zd,zu,xd,xu,yd,yu";
  o.restSamples = 2 * rate;
  o.transitionSamples = rate / 2;
  o.extraRests = 4;
  o.motionSamples = 5 * rate;
  o.motionDegPerSample = 30.0 / rate;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  {
    std::FILE* f = std::fopen(file.c_str(), "wb");
    tiltfit_gen::writeCsv(f, rec);
    std::fclose(f);
  }

  int in[2], err[2];
  if (pipe(in) != 0 || pipe(err) != 0) return 1;
  const int devnull = open("/dev/null", O_WRONLY);
  const double start = now();
  const pid_t pacer = spawn({build + "/tiltfit_pace", file, std::to_string(rate), "--stamp", stamps},
                            -1, in[1], -1);
  const pid_t tool = spawn({build + "/tiltfit", "--live", "-", "--target-mg", "0.001"}, in[0],
                           devnull, err[1]);
  close(in[0]);
  close(in[1]);
  close(err[1]);
  close(devnull);
  // The events as they come, with the time each was read.
  std::vector<std::pair<double, std::string>> events;
  std::string pending;
  char buffer[4096];
  for (ssize_t got; (got = read(err[0], buffer, sizeof buffer)) > 0;) {
    const double t = now();
    pending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      events.emplace_back(t, pending.substr(0, nl));
      pending.erase(0, nl + 1);
    }
  }
  int status = 0;
  rusage usage{};
  wait4(tool, &status, 0, &usage);
  const double wall = now() - start;
  waitpid(pacer, nullptr, 0);
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);

  std::vector<double> written;
  {
    std::ifstream s(stamps);
    for (double v; s >> v;) written.push_back(v);
  }
  std::printf("%zu samples at %d a second: %.1f s wall, %.2f s CPU, %.1f %% of one core; peak "
              "memory %.1f MB\n",
              rec.x.size(), rate, wall, cpu, 100.0 * cpu / wall,
              static_cast<double>(usage.ru_maxrss) / 1024.0);
  // Each orientation's rest: captured events against half a second after its first sample was
  // written (line 1 is the header, so sample k is line k + 2).
  const char* const names[6] = {"z up", "z down", "x up", "x down", "y up", "y down"};
  for (int k = 0; k < 6; ++k) {
    const tiltfit_gen::Rest& r = rec.rests[static_cast<std::size_t>(k)];
    const std::size_t line = static_cast<std::size_t>(r.first) + 1;
    if (line >= written.size()) continue;
    const double longEnough = written[line] + 0.5;
    double said = -1.0;
    for (const auto& e : events) {
      if (e.second.find(std::string("live: ") + names[k] + " (") != std::string::npos &&
          e.second.find("captured") != std::string::npos) {
        said = e.first;
        break;
      }
    }
    if (said < 0) {
      std::printf("  %-7s not reported as captured\n", names[k]);
    } else {
      std::printf("  %-7s captured %.3f s after its stretch was long enough\n", names[k],
                  said - longEnough);
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
