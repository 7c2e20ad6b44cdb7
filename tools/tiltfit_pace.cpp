// tiltfit_pace: writes the lines of a file to standard output at a given pace, as a logger would,
// for trying, testing and timing `tiltfit --live`.
//
//   tiltfit_pace FILE LINES_PER_SECOND [--pause-at LINE SECONDS] [--stop-at LINE]
//                [--stamp STAMPS_FILE]
//
// Lines go out in bursts every 10 ms. --pause-at stops writing before that line (1-based) for so
// many seconds; --stop-at ends the output before that line. --stamp writes, for every line, the
// time it was written on the monotonic clock (CLOCK_MONOTONIC, in seconds; one number a line), to
// time what the tool says.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: tiltfit_pace FILE LINES_PER_SECOND [options]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
  const double rate = std::atof(argv[2]);
  std::size_t pauseAt = 0, stopAt = lines.size() + 1;
  double pauseSeconds = 0.0;
  std::FILE* stamps = nullptr;
  for (int i = 3; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--pause-at") && i + 2 < argc) {
      pauseAt = std::strtoul(argv[++i], nullptr, 10);
      pauseSeconds = std::atof(argv[++i]);
    } else if (!std::strcmp(argv[i], "--stop-at") && i + 1 < argc) {
      stopAt = std::strtoul(argv[++i], nullptr, 10);
    } else if (!std::strcmp(argv[i], "--stamp") && i + 1 < argc) {
      stamps = std::fopen(argv[++i], "w");
    }
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  Clock::duration paused{};
  std::size_t next = 0;
  while (next < lines.size() && next + 1 < stopAt) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start - paused).count();
    const std::size_t due = std::min(lines.size(), static_cast<std::size_t>(elapsed * rate) + 1);
    std::string burst;
    std::size_t end = std::min(due, stopAt - 1);
    if (pauseAt > 0 && next < pauseAt - 1 && end >= pauseAt - 1) end = pauseAt - 1;
    for (; next < end; ++next) {
      burst += lines[next];
      if (stamps) {
        std::fprintf(stamps, "%.6f\n",
                     std::chrono::duration<double>(Clock::now().time_since_epoch()).count());
      }
    }
    for (std::size_t done = 0; done < burst.size();) {
      const ssize_t w = ::write(STDOUT_FILENO, burst.data() + done, burst.size() - done);
      if (w <= 0) return 1;  // the reader is gone
      done += static_cast<std::size_t>(w);
    }
    if (pauseAt > 0 && next == pauseAt - 1 && pauseSeconds > 0.0) {
      std::this_thread::sleep_for(std::chrono::duration<double>(pauseSeconds));
      paused += std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(pauseSeconds));
      pauseSeconds = 0.0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (stamps) std::fclose(stamps);
  return 0;
}
