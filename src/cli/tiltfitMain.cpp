#include "tiltfitMain.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "calibrationRun.h"
#include "libOrr_accTools.h"
#include "options.h"

namespace tiltfit {
namespace cli {
namespace {

using analysis::RunResult;
using analysis::TuningNumbers;

const char* const kNames[5] = {"tolerancePct", "moveMeanWindow", "diffThreshold", "windowWidth",
                               "deltaThresholdWindow"};

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

int refuse(const std::string& why) {
  std::fprintf(stderr, "tiltfit: %s\n", why.c_str());
  return kUsage;
}

// Converts one tuning number like std::stod, refusing what cannot be meant: no number, out of
// range, or a number followed by a comma (a thousands separator or a decimal comma, which would
// otherwise be read as a different number).
bool convert(const char* text, const char* name, double& value) {
  try {
    std::size_t used = 0;
    value = std::stod(text, &used);
    if (text[used] == ',') {
      std::fprintf(stderr,
                   "tiltfit: %s must be written without commas (no thousands separator, a decimal "
                   "point not a comma): \"%s\"\n",
                   name, text);
      return false;
    }
    return true;
  } catch (const std::out_of_range&) {
    std::fprintf(stderr, "tiltfit: %s is out of the range of a double: \"%s\"\n", name, text);
  } catch (const std::invalid_argument&) {
    std::fprintf(stderr, "tiltfit: %s must be a number: \"%s\"\n", name, text);
  }
  return false;
}

// Values that can only end in a failure, or in a "success" built from the wrong rests (a band of
// +-1 g or more lets one rest pass for several orientations), are refused up front.
bool validate(const double v[5], const std::string texts[5]) {
  const char* problem = nullptr;
  int position = 0;
  for (int k = 0; k < 5 && problem == nullptr; ++k) {
    if (!std::isfinite(v[k])) {
      problem = "must be a finite number";
      position = k;
    }
  }
  if (problem == nullptr) {
    if (!(v[0] > 0.0 && v[0] < 100.0)) {
      problem = "must be above 0 and below 100 (percent of 1 g)";
      position = 0;
    } else if (!(v[1] >= 1.0)) {
      problem = "must be at least 1 sample";
      position = 1;
    } else if (!(v[2] > 0.0)) {
      problem = "must be greater than 0";
      position = 2;
    } else if (!(v[3] >= 2.0)) {
      problem = "must be at least 2 samples";
      position = 3;
    } else if (!(v[4] > 0.0)) {
      problem = "must be greater than 0";
      position = 4;
    }
  }
  if (problem != nullptr) {
    std::fprintf(stderr, "tiltfit: %s %s: \"%s\"\n", kNames[position], problem,
                 texts[position].c_str());
    return false;
  }
  return true;
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

// Reads the recording; on failure says why and returns the status, else returns kSuccess.
int readRecording(ACCTOOLS& tools, const std::string& path) {
  if (tools.readAccelerometerMeasures(path)) return kSuccess;
  if (tools.readError() == ACCTOOLS::ReadError::kTooManyRows) {
    std::fprintf(stderr, "tiltfit: %s has more than %llu lines, more than the tool can hold\n",
                 path.c_str(), static_cast<unsigned long long>(ACCTOOLS::kMaxRows - 1));
    return kTooManyRows;
  }
  std::fprintf(stderr, "tiltfit: %s: %s\n", path.c_str(), std::strerror(tools.readErrno()));
  return kCannotRead;
}

void printWarnings(const RunResult& r) {
  for (const std::string& w : r.warnings) std::fprintf(stderr, "tiltfit: warning: %s\n", w.c_str());
}

// A report that did not reach its destination (a full disk, a closed pipe) is no success.
int finishReport() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "tiltfit: cannot write the report: %s\n", std::strerror(errno));
    return kCannotWrite;
  }
  return kSuccess;
}

void printClassicReport(const analysis::Calibration& c, long long durationUs) {
  std::puts("Calibration success");
  std::puts("accOffset:");
  std::printf("[ ");
  for (double v : c.offset) std::printf("%f ", v);
  std::puts("]");
  std::puts("accGainMatrix:");
  for (int i = 0; i < 3; ++i) {
    std::printf("[ ");
    for (int j = 0; j < 3; ++j) std::printf("%f ", c.gain[3 * i + j]);
    std::puts("]");
  }
  std::printf("Execution time : %lld us \n", durationUs);
  std::puts("Calibration done");
  std::puts("You can use the calibration result with: ");
  std::puts("accGainMatrix * AccVector3 + accOffset ");
}

int runClassic(const CliOptions& o) {
  if (o.positionals.size() < 6) {
    if (!o.anyOption) {
      printUsage();
      return kUsage;
    }
    return refuse(
        "the classic form needs FILE and five tuning numbers (tolerancePct moveMeanWindow "
        "diffThreshold windowWidth deltaThresholdWindow); tiltfit --auto FILE chooses them");
  }
  const std::string& filePath = o.positionals[0];
  double v[5];
  std::string texts[5];
  for (int k = 0; k < 5; ++k) {
    texts[k] = o.positionals[static_cast<std::size_t>(k) + 1];
    if (!convert(texts[k].c_str(), kNames[k], v[k])) return kUsage;
  }
  if (!validate(v, texts)) return kUsage;
  const TuningNumbers numbers{v[0], v[1], v[2], v[3], v[4]};
  analysis::RunOptions options;
  options.refine = o.refine;

  const auto start = std::chrono::system_clock::now();
  ACCTOOLS tools;
  const int read = readRecording(tools, filePath);
  if (read != kSuccess) return read;
  const auto& m = tools.getAccelerometerMeasures();
  RunResult result;
  if (!m[0].empty()) {
    result = analysis::runCalibration(m[0].data(), m[1].data(), m[2].data(), m[0].size(), numbers,
                                      options);
  }
  const auto end = std::chrono::system_clock::now();

  if (!result.success) {
    std::puts(
        "Calibration failed, you can increase tolerancePct for example, or deltaThresholdWindow");
    for (const std::string& p : result.restProblems)
      std::fprintf(stderr, "tiltfit: %s\n", p.c_str());
    if (result.restProblems.empty()) hintAtUnits(tools);
    return kCalibrationFailed;
  }
  const long long duration =
      std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000;
  printClassicReport(result.reported, duration);
  printWarnings(result);
  return finishReport();
}

int run(int argc, char* argv[]) {
  CliOptions o;
  const std::string problem = parseArguments(argc, argv, o);
  if (!problem.empty()) return refuse(problem);
  if (o.help) {
    std::fputs(helpText(), stdout);
    return finishReport();
  }
  if (o.version) {
    std::puts("tiltfit " TILTFIT_VERSION);
    return finishReport();
  }
  return runClassic(o);
}

}  // namespace

int tiltfitMain(int argc, char* argv[]) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("tiltfit: out of memory\n", stderr);
    return kOutOfMemory;
  }
}

}  // namespace cli
}  // namespace tiltfit
