// tiltfit: calibrates a three-axis accelerometer from one CSV recording.
//
//   tiltfit file_path.csv tolerancePct moveMeanWindow diffThreshold windowWidth
//   deltaThresholdWindow
//
// Exit status: 0 success, -1 calibration failed, -22 usage or a bad tuning number, -2 the recording
// cannot be opened or read, -12 out of memory, -75 the recording has too many rows, -5 the report
// could not be written.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "fpmode.h"
#include "libOrr_accTools.h"

namespace {

// Every computation of the run happens with subnormal numbers flushed to zero.
const bool kFlushToZero = enableFlushToZero();

constexpr int kUsage = -22;
constexpr int kCalibrationFailed = -1;
constexpr int kCannotRead = -2;
constexpr int kOutOfMemory = -12;
constexpr int kTooManyRows = -75;
constexpr int kCannotWrite = -5;

void printUsage() {
  std::puts(
      "No enough arguments, please provide: file_path.csv tolerancePct moveMeanWindow "
      "diffThreshold windowWidth deltaThresholdWindow ");
  std::puts("The input csv file format is: ");
  std::puts("accz,accy,accz ");
  std::puts("-0.11169,-0.10864,0.99744 ");
  std::puts("-0.11182,-0.10779,0.99792 ");
  std::puts("-0.11194,-0.1095,0.99536 ");
  std::puts("... ");
  std::printf(
      "Example for tolerancePct moveMeanWindow diffThreshold windowWidth deltaThresholdWindow: "
      "%f %f %f %f %f\n",
      5.0, 50.0, 0.0005, 1000.0, 0.002);
  std::puts("Full command example: ./tiltfit.exe acc.csv 5 50 5e-4 1000 2e-3 ");
}

// Converts one tuning number like std::stod; reports a text that is no number on standard error.
bool convert(const char* text, const char* name, double& value) {
  try {
    value = std::stod(text);
    return true;
  } catch (const std::out_of_range&) {
    std::fprintf(stderr, "tiltfit: %s is out of the range of a double: \"%s\"\n", name, text);
  } catch (const std::invalid_argument&) {
    std::fprintf(stderr, "tiltfit: %s must be a number: \"%s\"\n", name, text);
  }
  return false;
}

// A recording whose samples average well above 1 g in magnitude is most likely in m/s^2, which
// the window search (working in g) can never match; say so rather than only suggest wider bands.
void hintAtUnits(const ACCTOOLS& tools) {
  const auto& m = tools.getAccelerometerMeasures();
  double sum = 0.0;
  std::size_t count = 0;
  for (std::size_t r = 0; r < m[0].size(); ++r) {
    const double magnitude = std::sqrt(m[0][r] * m[0][r] + m[1][r] * m[1][r] + m[2][r] * m[2][r]);
    if (std::isfinite(magnitude) && magnitude > 0.0) {
      sum += magnitude;
      ++count;
    }
  }
  if (count > 0 && sum / static_cast<double>(count) > 4.905) {
    std::fprintf(stderr,
                 "tiltfit: the samples average %.2f in magnitude; the rest search expects readings "
                 "in g (about 1 at rest), so a recording in m/s^2 must be divided by 9.81 first\n",
                 sum / static_cast<double>(count));
  }
}

int run(int argc, char* argv[]) {
  if (argc < 7) {
    printUsage();
    return kUsage;
  }
  const std::string filePath = argv[1];
  const char* names[5] = {"tolerancePct", "moveMeanWindow", "diffThreshold", "windowWidth",
                          "deltaThresholdWindow"};
  double values[5];
  for (int k = 0; k < 5; ++k) {
    if (!convert(argv[k + 2], names[k], values[k])) {
      return kUsage;
    }
  }
  const double tolerancePct = values[0];
  const double moveMeanWindow = values[1];
  const double diffThreshold = values[2];
  const double windowWidth = values[3];
  const double deltaThresholdWindow = values[4];
  // Values that can only end in a failure, or in a "success" built from the wrong rests (a band
  // of +-1 g or more lets one rest pass for several orientations), are refused up front.
  const char* problem = nullptr;
  int position = 0;
  for (int k = 0; k < 5 && problem == nullptr; ++k) {
    if (!std::isfinite(values[k])) {
      problem = "must be a finite number";
      position = k;
    }
  }
  if (problem == nullptr) {
    if (!(tolerancePct > 0.0 && tolerancePct < 100.0)) {
      problem = "must be above 0 and below 100 (percent of 1 g)";
      position = 0;
    } else if (!(moveMeanWindow >= 1.0)) {
      problem = "must be at least 1 sample";
      position = 1;
    } else if (!(diffThreshold > 0.0)) {
      problem = "must be greater than 0";
      position = 2;
    } else if (!(windowWidth >= 2.0)) {
      problem = "must be at least 2 samples";
      position = 3;
    } else if (!(deltaThresholdWindow > 0.0)) {
      problem = "must be greater than 0";
      position = 4;
    }
  }
  if (problem != nullptr) {
    std::fprintf(stderr, "tiltfit: %s %s: \"%s\"\n", names[position], problem, argv[position + 2]);
    return kUsage;
  }

  const auto start = std::chrono::system_clock::now();
  ACCTOOLS accTools;
  if (!accTools.readAccelerometerMeasures(filePath)) {
    if (accTools.readError() == ACCTOOLS::ReadError::kTooManyRows) {
      std::fprintf(stderr, "tiltfit: %s has more than %llu lines, more than the tool can hold\n",
                   filePath.c_str(), static_cast<unsigned long long>(ACCTOOLS::kMaxRows - 1));
      return kTooManyRows;
    }
    std::fprintf(stderr, "tiltfit: %s: %s\n", filePath.c_str(),
                 std::strerror(accTools.readErrno()));
    return kCannotRead;
  }
  accTools.accCalibration(tolerancePct, moveMeanWindow, diffThreshold, windowWidth,
                          deltaThresholdWindow);
  const auto end = std::chrono::system_clock::now();

  const ACCTOOLS::ACCRESULT& result = accTools.getAccCalibResult();
  if (!result.isCalibrationSuccess) {
    std::puts(
        "Calibration failed, you can increase tolerancePct for example, or deltaThresholdWindow");
    hintAtUnits(accTools);
    return kCalibrationFailed;
  }
  const long long duration =
      std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000;
  std::puts("Calibration success");
  std::puts("accOffset:");
  std::printf("[ ");
  for (double v : result.accOffset) {
    std::printf("%f ", v);
  }
  std::puts("]");
  std::puts("accGainMatrix:");
  for (const auto& row : result.accGainMatrix) {
    std::printf("[ ");
    for (double v : row) {
      std::printf("%f ", v);
    }
    std::puts("]");
  }
  std::printf("Execution time : %lld us \n", duration);
  std::puts("Calibration done");
  std::puts("You can use the calibration result with: ");
  std::puts("accGainMatrix * AccVector3 + accOffset ");
  // A report that did not reach its destination (a full disk, a closed pipe) is no success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "tiltfit: cannot write the report: %s\n", std::strerror(errno));
    return kCannotWrite;
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  (void)kFlushToZero;
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("tiltfit: out of memory\n", stderr);
    return kOutOfMemory;
  }
}
