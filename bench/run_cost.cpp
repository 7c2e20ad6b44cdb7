// tiltfit_bench_run: runs a command once, its standard output and error sent to /dev/null, and
// prints what it cost the system, for the end-to-end benchmark:
//
//   tiltfit_bench_run COMMAND [ARGUMENTS...]
//
// Output, one line: wall=<s> peak_mb=<MiB> minflt=<minor page faults> status=<exit status>.
// peak_mb is the largest resident set the command reached (what the kernel charged it, page
// cache not included).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tiltfit_bench_run COMMAND [ARGUMENTS...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("fork");
    return 1;
  }
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execvp(argv[1], argv + 1);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (::wait4(child, &status, 0, &usage) != child) {
    std::perror("wait4");
    return 1;
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("wall=%.4f peak_mb=%.1f minflt=%ld status=%d\n", wall,
              static_cast<double>(usage.ru_maxrss) / 1024.0, usage.ru_minflt,
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
