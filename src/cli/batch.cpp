// The batch mode: one recording read, calibrated with given numbers (the classic command) or with
// numbers it chooses (--auto), and reported.
#include "batch.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cHeader.h"
#include "noiseMode.h"
#include "outputFile.h"
#include "plotSvg.h"
#include "repeat.h"
#include "status.h"
#include "textReport.h"
#include "tiltfit/report.hpp"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {
namespace {

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

// Draws the smoothed recording (pixel columns in the recording's units, converted to g here),
// the bands and the chosen windows; false when the file could not be written (errno set).
bool writePlot(const std::string& plotPath, const std::string& path, const Recording& rec,
               report::PlotColumns columns, const Result& r) {
  columns.rescale(r.unitsZero, r.unitsPerG);
  report::PlotInput in{};
  in.n = columns.samples();
  in.columns = &columns;
  in.band = r.parameters.tolerancePct / 100.0;
  for (std::size_t q = 0; q < 6; ++q) {
    const Orientation& o = r.orientations[q];
    in.windows[q] =
        report::PlotWindow{o.axis, o.reading, o.found, o.firstSample + 1, o.lastSample + 1};
  }
  if (!rec.lineRuns.empty()) in.lineOf = [&rec](std::size_t i) { return rec.lineOf(i); };
  in.failed = !r.success;
  in.title = path + (r.success ? ": calibration success" : ": calibration failed");
  return writeOutputFile(plotPath, [&in](std::FILE* out) { return report::writePlotSvg(out, in); });
}

// The plot of the gyroscope beside the accelerometer's: FILE.svg's rates go to FILE-gyro.svg.
std::string gyroPlotPath(const std::string& plotPath) {
  const std::size_t dot = plotPath.rfind('.');
  const std::size_t slash = plotPath.rfind('/');
  const bool ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (ext ? plotPath.substr(0, dot) : plotPath) + "-gyro" +
         (ext ? plotPath.substr(dot) : std::string(".svg"));
}

// Draws the calibrated rates (deg/s) and the moves between the still stretches; false when the
// file could not be written (errno set).
bool writeGyroPlot(const std::string& plotPath, const std::string& path, const Recording& rec,
                   const GyroResult& g) {
  const std::size_t n = rec.gx.size();
  report::PlotColumns columns(n);
  const double toDeg = 180.0 / M_PI;
  for (std::size_t i = 0; i < n; ++i) {
    const std::array<double, 3> w = g.calibration.apply({rec.gx[i], rec.gy[i], rec.gz[i]});
    for (int a = 0; a < 3; ++a) columns.add(a, i, w[static_cast<std::size_t>(a)] * toDeg);
  }
  report::PlotInput in{};
  in.n = n;
  in.columns = &columns;
  in.rates = true;
  for (const GyroMove& m : g.moves) {
    if (!m.used) continue;
    in.spans.push_back(report::PlotInput::Span{m.firstSample + 1, m.lastSample + 1,
                                               m.wholeTurn ? "turn" : "move"});
  }
  if (!rec.lineRuns.empty()) in.lineOf = [&rec](std::size_t i) { return rec.lineOf(i); };
  in.title = path + ": the gyroscope, calibrated";
  return writeOutputFile(plotPath, [&in](std::FILE* out) { return report::writePlotSvg(out, in); });
}

// Writes the calibration as a C header; false when the file could not be written (errno set).
bool writeCHeader(const CliOptions& o, const Result& r) {
  report::CHeader h;
  h.prefix = o.cPrefix;
  h.command = o.commandLine;
  h.rawUnits = r.units == Units::kMs2 ? "m/s^2" : r.units == Units::kCounts ? "counts" : "g";
  const std::string text = report::cHeader(r, h);
  return writeOutputText(o.cHeaderPath, text);
}

}  // namespace

// The classic command, --auto and --live share everything after the arguments.
int calibrateFile(const CliOptions& o, const std::string& path, const TuningNumbers* given) {
  const bool classic = given != nullptr;
  ReadOptions read;
  read.layout.delimiter = o.delimiter;
  read.layout.blanks = o.blanks;
  for (int k = 0; k < 3; ++k) read.layout.columns[static_cast<std::size_t>(k)] = o.columns[k];
  read.detectDelimiter = !classic && !o.delimiterGiven;
  read.detectColumns = !classic && !o.columnsGiven;
  // --auto calibrates a gyroscope whose columns the header names, unless told not to.
  read.detectGyro = !classic && !o.noGyro;
  if (o.gyroColumnsGiven) {
    for (std::size_t k = 0; k < 3; ++k) read.layout.gyroColumns[k] = o.gyroColumns[k];
  }
  // The classic command without options reads as it always has: a row for every line, its fields
  // that are no numbers reported one by one. Every other run leaves out the lines without
  // readings and sums them up in one line.
  const bool asSpecified = classic && !o.anyOption;
  read.reportToStderr = asSpecified;
  read.keepLinesWithoutReadings = asSpecified;

  CalibrateOptions options;
  options.units = unitsFromName(!o.units.empty() ? o.units : classic ? "g" : "auto");
  options.outputUnits = o.outputUnits;
  options.refine = classic ? o.refine : !o.noRefine;
  if (!o.method.empty()) options.method = methodFromName(o.method);
  if (!o.rotation.empty()) options.rotation = rotationFromName(o.rotation);
  options.gravity = o.gravity;
  options.gyro = !o.noGyro;
  options.gyroOptions.rateHz = o.rateHz;

  const auto start = std::chrono::system_clock::now();
  // The still stretches alone need no sample kept: the recording is read as a stream, in the
  // same memory whatever its length (the plot, which draws every sample, reads it whole).
  bool stream = !classic && options.method == Method::kStretches && o.plotPath.empty();
  Recording rec;
  Result r;
  if (!stream) {
    try {
      rec = readRecording(path, read);
    } catch (const Error& e) {
      // More lines than the rest search's arrays can hold: the still stretches alone need none.
      if (classic || e.kind() != Error::Kind::kTooManyRows || path == "-" ||
          options.method == Method::kSixRest) {
        throw;
      }
      std::fprintf(stderr,
                   "tiltfit: %s: more lines than the rest search can hold: calibrating from the "
                   "still stretches alone, read as a stream\n",
                   path.c_str());
      options.method = Method::kStretches;
      stream = true;
    }
  }
  // The classic command knows its smoothing before it calibrates: the plot's columns are made
  // first, and the samples may go once the search has smoothed them. --auto learns its smoothing
  // from the samples, which it keeps for the plot.
  std::optional<report::PlotColumns> plotted;
  if (!stream && classic && !o.plotPath.empty()) {
    plotted.emplace(report::smoothedColumns(rec, given->moveMeanWindow));
  }
  if (stream) {
    r = calibrateStretchesStreaming(path, read, options, &rec);
  } else if (path != "-" && (o.plotPath.empty() || plotted)) {
    // The columns go once the search has smoothed them; a file can be read again should the run
    // need its samples once more. Standard input is read once.
    ReadOptions quiet = read;
    quiet.reportToStderr = false;
    const auto reload = [&path, quiet]() { return readRecording(path, quiet); };
    r = classic ? calibrate(rec, reload, *given, options) : calibrateAuto(rec, reload, options);
  } else {
    r = classic ? calibrate(rec, *given, options) : calibrateAuto(rec, options);
  }
  const auto end = std::chrono::system_clock::now();
  const long long durationUs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000;
  if (!asSpecified) {
    const std::string summary = readSummary(rec, r, !classic, o.columnsGiven);
    if (!summary.empty()) std::fprintf(stderr, "tiltfit: %s\n", summary.c_str());
  }

  const std::string& shown = o.shownPath.empty() ? path : o.shownPath;
  DocumentContext report;
  report.path = shown;
  report.unitsGiven = o.units.empty() ? (classic ? "g" : "auto") : o.units;
  // The m/s^2 of 1 g matters to a command only where the recording or the output is in m/s^2.
  const double gravity =
      r.units == Units::kMs2 || r.calibration.outputMs2 ? r.calibration.gravity : 0.0;
  if (r.success && !classic && !o.noRepeat) {
    // The classic command calibrates no gyroscope: a run that did is repeated with --auto.
    report.repeatCommand =
        r.parametersUsed && r.calibration.method != "identity" && !r.hasGyro
            ? repeatCommand(path, r.parameters, r.units, rec, r.calibration.refined, o, gravity)
            : autoCommand(path, r.units, rec.layout, o.method, o);
  }
  if (!r.success && r.hasSuggestion && !o.noRepeat) {
    report.tryCommand =
        repeatCommand(path, r.suggestedNumbers, r.suggestedUnits, rec, false, o, gravity);
  }

  // A still recording's noise figures beside the calibration, its raw units taken as the
  // calibration takes them.
  std::optional<NoiseResult> still;
  if (r.success && !o.noiseFilePath.empty()) {
    still.emplace(noiseOfStillRecording(o.noiseFilePath, noiseOptions(o, &r)));
    report.stillNoise = &*still;
    report.stillNoisePath = o.noiseFilePath;
  }
  if (o.json) {
    const std::string doc = calibrationDocument(r, rec, report);
    std::fwrite(doc.data(), 1, doc.size(), stdout);
    std::fputc('\n', stdout);
  } else if (r.success) {
    printReport(r.calibration, durationUs, classic);
    if (r.hasGyro) printGyroReport(r.gyro);
  } else if (classic) {
    std::puts(
        "Calibration failed, you can increase tolerancePct for example, or deltaThresholdWindow");
  } else {
    // The tuning numbers were the tool's own choice: the failure ends with its reason.
    std::printf("Calibration failed: %s\n",
                r.problems.empty() ? "no calibration" : r.problems.front().c_str());
  }
  if (still && !o.json && still->success) printNoiseReport(*still, o.noiseFilePath);
  printMessages(r, o.json, classic, report.repeatCommand, report.tryCommand);
  if (r.success && r.hasGyro) printGyroMessages(r.gyro);
  if (r.success && r.noise.present)
    std::fprintf(stderr, "tiltfit: %s\n", sessionNoiseLine(r.noise).c_str());
  const bool stillFailed = still && !still->success;
  if (still) printNoiseMessages(*still, o.noiseFilePath);
  int status = finishReport(r.success && !stillFailed ? kSuccess : kCalibrationFailed);
  if (status == kSuccess && classic && !o.json) {
    // The classic report's closing line is fixed text, which does not say that the sample is a
    // row vector; read as a column vector the matrix is applied transposed.
    std::fputs(
        "tiltfit: the numbers above satisfy calibrated = raw \xC2\xB7 accGainMatrix + accOffset, "
        "raw being the row vector (x, y, z); for firmware that multiplies a column vector, "
        "--json gives the transposed matrix as column_form\n",
        stderr);
  }
  if (r.success && !o.cHeaderPath.empty() && !writeCHeader(o, r)) {
    std::fprintf(stderr, "tiltfit: cannot write the C header %s: %s\n", o.cHeaderPath.c_str(),
                 std::strerror(errno));
    if (status == kSuccess) status = kCannotWrite;
  }
  if (!o.plotPath.empty() &&
      !writePlot(
          o.plotPath, path, rec,
          plotted ? std::move(*plotted) : report::smoothedColumns(rec, r.parameters.moveMeanWindow),
          r)) {
    std::fprintf(stderr, "tiltfit: cannot write the plot %s: %s\n", o.plotPath.c_str(),
                 std::strerror(errno));
    if (status == kSuccess) status = kCannotWrite;
  }
  if (!o.plotPath.empty() && r.hasGyro && r.gyro.success && r.gyro.calibration.method == "moves") {
    const std::string gyroPath = gyroPlotPath(o.plotPath);
    if (writeGyroPlot(gyroPath, path, rec, r.gyro)) {
      std::fprintf(stderr, "tiltfit: gyro plot: %s\n", gyroPath.c_str());
    } else {
      std::fprintf(stderr, "tiltfit: cannot write the plot %s: %s\n", gyroPath.c_str(),
                   std::strerror(errno));
      if (status == kSuccess) status = kCannotWrite;
    }
  }
  if (r.success && !stillFailed && !o.format.empty()) {
    const std::string source = "calibration from " + shown +
                               (still ? ", noise from the still recording " + o.noiseFilePath
                                      : std::string(", white noise from its still stretches"));
    if (!writeExportFile(o, &r, still ? &*still : nullptr, source) && status == kSuccess)
      status = kCannotWrite;
  }
  return status;
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
  if (o.noRefine)
    return refuse("--no-refine belongs to --auto; the classic form refines only with --refine");
  if (!o.method.empty())
    return refuse("--method belongs to --auto; the classic form makes the six-rest fit");
  double v[5];
  for (int k = 0; k < 5; ++k) {
    const std::string& text = o.positionals[static_cast<std::size_t>(k) + 1];
    if (!convert(text.c_str(), kNumberNames[k], v[k])) return kUsage;
  }
  const TuningNumbers numbers{v[0], v[1], v[2], v[3], v[4]};
  int which = 0;
  const std::string problem = checkTuningNumbers(numbers, &which);
  if (!problem.empty()) {
    return refuse(problem + ": \"" + o.positionals[static_cast<std::size_t>(which) + 1] + "\"");
  }
  return calibrateFile(o, o.positionals[0], &numbers);
}

int runAuto(const CliOptions& o) {
  if (o.positionals.empty()) return refuse("--auto needs the recording: tiltfit --auto FILE");
  if (o.positionals.size() > 1) {
    return refuse("--auto chooses the tuning numbers itself: give it only the recording (\"" +
                  o.positionals[1] + "\" is one argument too many)");
  }
  if (o.refine && o.noRefine) return refuse("--refine and --no-refine contradict each other");
  if (o.noRefine && o.method == "stretches")
    return refuse("--no-refine keeps the six-rest fit, which --method stretches does not make");
  return calibrateFile(o, o.positionals[0], nullptr);
}

}  // namespace cli
}  // namespace tiltfit
