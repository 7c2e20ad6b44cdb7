// Reads one recording once through the path a mode of the tool uses and prints what it read, so
// that the reader's cost can be measured from outside (valgrind --tool=callgrind counts its
// instructions; time gives its seconds):
//
//   tiltfit_bench_read FILE classic   the six-argument command's reader (ACCTOOLS)
//   tiltfit_bench_read FILE library   tiltfit::readRecording with the default options
//   tiltfit_bench_read FILE auto      the same with the delimiter and columns detected (--auto)
//
// Run it with OMP_NUM_THREADS=1 for instruction counts that do not depend on the machine.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "libOrr_accTools.h"
#include "tiltfit/tiltfit.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tiltfit_bench_read FILE classic|library|auto\n");
    return 2;
  }
  const std::string path = argv[1];
  const std::string mode = argv[2];
  try {
    double sum = 0.0;
    std::size_t rows = 0;
    if (mode == "classic") {
      ACCTOOLS tools;
      CsvLayout layout;
      layout.quietHeaders = true;
      if (!tools.readAccelerometerMeasures(path, layout)) return 1;
      const auto& m = tools.getAccelerometerMeasures();
      rows = m[0].size();
      for (std::size_t r = 0; r < rows; ++r) sum += m[0][r] + m[1][r] + m[2][r];
    } else if (mode == "library" || mode == "auto") {
      tiltfit::ReadOptions options;
      options.detectDelimiter = options.detectColumns = mode == "auto";
      const tiltfit::Recording rec = tiltfit::readRecording(path, options);
      rows = rec.rows();
      for (std::size_t r = 0; r < rows; ++r) sum += rec.x[r] + rec.y[r] + rec.z[r];
    } else {
      std::fprintf(stderr, "tiltfit_bench_read: unknown mode %s\n", mode.c_str());
      return 2;
    }
    std::printf("%s: %zu rows, sum %.9g\n", mode.c_str(), rows, sum);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tiltfit_bench_read: %s\n", e.what());
    return 1;
  }
  return 0;
}
