#include "tiltfitMain.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "applyCalibration.h"
#include "cHeader.h"
#include "jsonReport.h"
#include "live.h"
#include "modes.h"
#include "movmean.h"
#include "options.h"
#include "plotSvg.h"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {
namespace {

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

// The shortest text that reads back as the same double, in plain decimals where they stay short.
std::string shortest(double v) {
  char text[64];
  const double a = std::abs(v);
  const bool plain = a == 0.0 || (a >= 1e-6 && a < 1e15);
  const auto r = std::to_chars(text, text + sizeof text, v,
                               plain ? std::chars_format::fixed : std::chars_format::general);
  return std::string(text, r.ptr);
}

// The argument as a POSIX shell reads it back.
std::string shellWord(const std::string& s) {
  if (!s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789_-+./,:=@%") == std::string::npos) {
    return s;
  }
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string delimiterArgument(const Layout& layout) {
  if (layout.blanks) return "space";
  if (layout.delimiter == '\t') return "tab";
  return shellWord(std::string(1, layout.delimiter));
}

// The explicit classic command: file, numbers and the options needed to give the same result.
std::string classicCommand(const std::string& path, const TuningNumbers& t, Units units,
                           const Layout& layout, bool refine, const CliOptions& o) {
  std::string c = "tiltfit " + shellWord(path);
  for (double v :
       {t.tolerancePct, t.moveMeanWindow, t.diffThreshold, t.windowWidth, t.deltaThresholdWindow}) {
    c += " " + shortest(v);
  }
  if (units != Units::kG) c += std::string(" --units ") + unitsName(units);
  if (!o.outputUnits.empty()) c += " --output-units " + o.outputUnits;
  const auto& col = layout.columns;
  if (col[0] != 1 || col[1] != 2 || col[2] != 3) {
    c += " --columns " + std::to_string(col[0]) + "," + std::to_string(col[1]) + "," +
         std::to_string(col[2]);
  }
  if (layout.blanks || layout.delimiter != ',') c += " --delimiter " + delimiterArgument(layout);
  if (refine) c += " --refine";
  return c;
}

// The --auto command that gives the same calibration when no classic one does (the stretch fit
// alone, or the identity).
std::string autoCommand(const std::string& path, Units units, const Layout& layout,
                        const std::string& method, const CliOptions& o) {
  std::string c = "tiltfit --auto " + shellWord(path);
  if (!o.units.empty() && o.units != "auto") c += std::string(" --units ") + unitsName(units);
  if (!o.outputUnits.empty()) c += " --output-units " + o.outputUnits;
  const auto& col = layout.columns;
  if (o.columnsGiven) {
    c += " --columns " + std::to_string(col[0]) + "," + std::to_string(col[1]) + "," +
         std::to_string(col[2]);
  }
  if (o.delimiterGiven) c += " --delimiter " + delimiterArgument(layout);
  if (!method.empty() && method != "auto") c += " --method " + method;
  if (o.noRefine) c += " --no-refine";
  return c;
}

// "12.3", "0.0451": three significant digits, enough to judge a figure by.
std::string figure(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", v);
  return text;
}

// The explicit command for a run that read rec: without any option the classic command reads every
// line as a row and any bytes as text, so a recording that needed more names its units.
std::string repeatCommand(const std::string& path, const TuningNumbers& t, Units units,
                          const Recording& rec, bool refine, const CliOptions& o) {
  std::string c = classicCommand(path, t, units, rec.layout, refine, o);
  if ((rec.linesWithoutReadings > 0 || rec.gzip) && c.find(" --") == std::string::npos) {
    c += std::string(" --units ") + unitsName(units);
  }
  return c;
}

// "", or "; the header says g, the values m/s^2, which decide" when the names of the columns give
// other units than the values.
std::string unitsNote(const Recording& rec, const Result& r) {
  const std::string& said = rec.unitsInHeader;
  if (said.empty()) return "";
  const Units meant = said == "g" ? Units::kG : said == "m/s^2" ? Units::kMs2 : Units::kCounts;
  if (meant == r.units) return "";
  const char* values = r.units == Units::kMs2      ? "m/s^2"
                       : r.units == Units::kCounts ? "raw counts"
                                                   : "g";
  return "; the header says " + said + ", the values are in " + values + ", which decide";
}

// The line after a failure that says which way the tuning numbers must move, and plainly whether
// the failure line's advice (increase tolerancePct or deltaThresholdWindow) applies; "" when the
// diagnosis gives no direction.
std::string adviceLine(const Result& r, bool failureLine) {
  const char* const kAdvice =
      "the failure line's advice to increase tolerancePct or deltaThresholdWindow does not apply "
      "here";
  if (r.numbersCannotHelp) {
    return std::string("no tuning number will mend this") +
           (failureLine ? std::string(": ") + kAdvice : "");
  }
  std::string moves;
  for (std::size_t k = 0; k < 5; ++k) {
    const int m = r.moves[k];
    if (m == 0) continue;
    if (!moves.empty()) moves += ", ";
    moves += kNames[k];
    moves += m == 1 ? " up" : m == -1 ? " down" : " up for one orientation and down for another";
  }
  if (moves.empty()) return "";
  std::string s = "which way the numbers must move: " + moves;
  if (failureLine) {
    const bool toleranceUp = r.moves[0] == 1 || r.moves[0] == 2;
    const bool deviationUp = r.moves[4] == 1 || r.moves[4] == 2;
    if (!toleranceUp && !deviationUp) {
      s += std::string("; ") + kAdvice;
    } else if (r.moves[0] == -1) {
      s += "; of the failure line's advice only increasing deltaThresholdWindow applies: "
           "tolerancePct must go down";
    }
  }
  return s;
}

// The line that says what was read: which columns and why (--auto), and the lines left out.
std::string readSummary(const Recording& rec, const Result& r, bool autoMode, bool columnsGiven) {
  std::string s;
  if (autoMode) {
    const auto& c = rec.layout.columns;
    s = "columns " + std::to_string(c[0]) + "," + std::to_string(c[1]) + "," +
        std::to_string(c[2]) + " as x, y, z";
    if (columnsGiven) {
      s += ": as given";
    } else if (!rec.columnsReason.empty()) {
      s += ": " + rec.columnsReason;
    }
    s += unitsNote(rec, r);
  }
  if (rec.linesWithoutReadings > 0) {
    const unsigned long long n = rec.linesWithoutReadings;
    if (!s.empty()) s += "; ";
    s += "skipped " + std::to_string(n) + (n == 1 ? " line" : " lines") + " without readings";
    std::string first = rec.firstLineWithoutReadingsText;
    if (first.size() > 60) first = first.substr(0, 57) + "...";
    s += " (the first: line " + std::to_string(rec.firstLineWithoutReadings) +
         (first.empty() ? std::string(", empty)") : ", \"" + first + "\")");
  }
  return s;
}

// A report that did not reach its destination (a full disk, a closed pipe) is no success.
int finishReport(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "tiltfit: cannot write the report: %s\n", std::strerror(errno));
    return kCannotWrite;
  }
  return status;
}

// The classic report prints six decimals and a fixed closing text; the auto report prints nine
// significant digits (gains per raw count keep their precision) and states the relation.
void printReport(const Calibration& c, long long durationUs, bool classic) {
  const char* f = classic ? "%f " : "%.9g ";
  std::puts("Calibration success");
  std::puts("accOffset:");
  std::printf("[ ");
  for (double v : c.offset) std::printf(f, v);
  std::puts("]");
  std::puts("accGainMatrix:");
  for (const auto& row : c.gainMatrix) {
    std::printf("[ ");
    for (double v : row) std::printf(f, v);
    std::puts("]");
  }
  std::printf("Execution time : %lld us \n", durationUs);
  std::puts("Calibration done");
  std::puts("You can use the calibration result with: ");
  if (classic) {
    std::puts("accGainMatrix * AccVector3 + accOffset ");
  } else {
    std::printf(
        "calibrated = raw \xC2\xB7 accGainMatrix + accOffset, raw being the row vector (x, y, z); "
        "calibrated in %s\n",
        c.outputMs2 ? "m/s^2" : "g");
  }
}

// The recording smoothed with a centred moving mean of `window` samples, as the search smooths
// it, streamed into the plot's pixel columns in the recording's units: a recording of any length
// costs one pass and no copy of it. Each axis is cut into pieces of whole pixel columns, smoothed
// on the threads; the pieces depend on the length alone, so the plot does not depend on the
// threads.
report::PlotColumns smoothedColumns(const Recording& rec, double window) {
  const std::size_t n = rec.rows();
  if (!(window >= 1.0)) window = 1.0;
  const std::size_t k = window < 1e9 ? static_cast<std::size_t>(window) : std::size_t{1000000000};
  const std::size_t before = k / 2;       // samples before the centre
  const std::size_t after = (k - 1) / 2;  // and after it
  report::PlotColumns columns(n);
  constexpr int kPieces = 8;
  const std::size_t pixelColumns = std::min(n, report::PlotColumns::kColumns);
  const std::vector<double>* raw[3] = {&rec.x, &rec.y, &rec.z};
#pragma omp parallel for schedule(dynamic, 1)
  for (int task = 0; task < 3 * kPieces; ++task) {
    const int j = task / kPieces;
    const std::size_t piece = static_cast<std::size_t>(task % kPieces);
    const std::size_t first = columns.firstOf(piece * pixelColumns / kPieces);
    const std::size_t end = columns.firstOf((piece + 1) * pixelColumns / kPieces);
    if (first >= end) continue;
    const double* a = raw[j]->data();
    // Sums relative to the piece's first sample keep their precision for large offsets (raw
    // counts); a non-finite sample in the window makes the mean NaN, as the search's smoothing
    // does.
    const double origin = std::isfinite(a[first]) ? a[first] : 0.0;
    double sum = 0.0;
    std::size_t bad = 0;
    std::size_t lo = first >= before ? first - before : 0;
    std::size_t hi = lo;  // the window is [lo, hi)
    report::PlotColumns::Cursor cursor;
    for (std::size_t i = first; i < end; ++i) {
      const std::size_t wantLo = i >= before ? i - before : 0;
      const std::size_t wantHi = std::min(n, i + after + 1);
      for (; hi < wantHi; ++hi) {
        if (std::isfinite(a[hi])) {
          sum += a[hi] - origin;
        } else {
          ++bad;
        }
      }
      for (; lo < wantLo; ++lo) {
        if (std::isfinite(a[lo])) {
          sum -= a[lo] - origin;
        } else {
          --bad;
        }
      }
      columns.add(j, i, bad > 0 ? std::nan("") : origin + sum / static_cast<double>(hi - lo),
                  cursor);
    }
  }
  return columns;
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
  std::FILE* out = std::fopen(plotPath.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = report::writePlotSvg(out, in);
  const int err = errno;
  if (std::fclose(out) != 0 || !written) {
    if (!written) errno = err;
    return false;
  }
  return true;
}

// Writes the calibration as a C header; false when the file could not be written (errno set).
bool writeCHeader(const CliOptions& o, const Result& r) {
  report::CHeader h;
  h.prefix = o.cPrefix;
  h.command = o.commandLine;
  h.rawUnits = r.units == Units::kMs2 ? "m/s^2" : r.units == Units::kCounts ? "counts" : "g";
  const std::string text = report::cHeader(r, h);
  std::FILE* f = std::fopen(o.cHeaderPath.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const int err = errno;
  if (std::fclose(f) != 0 || !written) {
    if (!written) errno = err;
    return false;
  }
  return true;
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
    plotted.emplace(smoothedColumns(rec, given->moveMeanWindow));
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
  report::Report report{shown, rec, r, o.units.empty() ? (classic ? "g" : "auto") : o.units,
                        "",    ""};
  if (r.success && !classic && !o.noRepeat) {
    report.repeatCommand =
        r.parametersUsed && r.calibration.method != "identity"
            ? repeatCommand(path, r.parameters, r.units, rec, r.calibration.refined, o)
            : autoCommand(path, r.units, rec.layout, o.method, o);
  }
  if (!r.success && r.hasSuggestion && !o.noRepeat) {
    report.tryCommand = repeatCommand(path, r.suggestedNumbers, r.suggestedUnits, rec, false, o);
  }

  if (o.json) {
    const std::string doc = report::jsonReport(report);
    std::fwrite(doc.data(), 1, doc.size(), stdout);
    std::fputc('\n', stdout);
  } else if (r.success) {
    printReport(r.calibration, durationUs, classic);
  } else {
    std::puts(
        "Calibration failed, you can increase tolerancePct for example, or deltaThresholdWindow");
  }
  if (r.success) {
    // The figures belong to the report: none when the report itself could not be written.
    if (!o.json && std::fflush(stdout) == 0 && !std::ferror(stdout)) {
      const Quality& q = r.quality;
      std::fprintf(stderr,
                   "tiltfit: quality: %zu still stretches read 1 g within %s mg on average (worst "
                   "%s mg; %s mg before); expected error in any direction %s mg\n",
                   q.stillStretches, figure(q.normErrorAfterMg).c_str(),
                   figure(q.worstAfterMg).c_str(), figure(q.normErrorBeforeMg).c_str(),
                   figure(q.expectedErrorMg).c_str());
    }
    for (const std::string& w : r.warnings)
      std::fprintf(stderr, "tiltfit: warning: %s\n", w.c_str());
    if (!report.repeatCommand.empty()) {
      std::fprintf(stderr, "tiltfit: to repeat: %s\n", report.repeatCommand.c_str());
    }
  } else {
    for (const std::string& p : r.problems) std::fprintf(stderr, "tiltfit: %s\n", p.c_str());
    const std::string advice = adviceLine(r, !o.json);
    if (!advice.empty()) std::fprintf(stderr, "tiltfit: %s\n", advice.c_str());
    if (!report.tryCommand.empty()) {
      std::fprintf(stderr, "tiltfit: try: %s\n", report.tryCommand.c_str());
    }
  }
  int status = finishReport(r.success ? kSuccess : kCalibrationFailed);
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
      !writePlot(o.plotPath, path, rec,
                 plotted ? std::move(*plotted) : smoothedColumns(rec, r.parameters.moveMeanWindow),
                 r)) {
    std::fprintf(stderr, "tiltfit: cannot write the plot %s: %s\n", o.plotPath.c_str(),
                 std::strerror(errno));
    if (status == kSuccess) status = kCannotWrite;
  }
  return status;
}

namespace {

// tiltfit --apply CALIB.json FILE: the recording with its three columns calibrated.
int runApply(const CliOptions& o) {
  if (o.autoMode) return refuse("--apply takes a calibration, not --auto");
  if (o.positionals.size() != 1) {
    return refuse(
        "--apply needs one recording after the calibration: tiltfit --apply CALIB.json FILE");
  }
  std::string text;
  {
    std::FILE* f = std::fopen(o.applyPath.c_str(), "rb");
    if (f == nullptr) {
      std::fprintf(stderr, "tiltfit: %s: %s\n", o.applyPath.c_str(), std::strerror(errno));
      return kCannotRead;
    }
    char block[1 << 16];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, f)) > 0;)
      text.append(block, got);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
      std::fprintf(stderr, "tiltfit: %s: cannot be read\n", o.applyPath.c_str());
      return kCannotRead;
    }
  }
  CalibrationFile c;
  std::string why;
  if (!parseCalibrationFile(text, c, why)) {
    return refuse(o.applyPath + " is not a calibration: " + why);
  }
  if (o.columnsGiven) {
    for (int k = 0; k < 3; ++k) c.columns[k] = o.columns[k];
  }
  if (o.delimiterGiven) {
    c.delimiter = o.delimiter;
    c.blanks = o.blanks;
  }
  const std::string& path = o.positionals[0];
  std::FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "tiltfit: %s: %s\n", path.c_str(), std::strerror(errno));
    return kCannotRead;
  }
  // The layout is judged on the first lines, before anything is written.
  std::string head(64 * 1024, '\0');
  head.resize(std::fread(&head[0], 1, head.size(), in));
  const std::string name = path == "-" ? std::string("standard input") : path;
  const std::string mismatch = layoutMismatch(c, head);
  if (!mismatch.empty()) {
    if (in != stdin) std::fclose(in);
    return refuse("the calibration does not fit " + name + ": " + mismatch);
  }
  ApplyCounts counts;
  const int err = applyCalibrationStream(c, in, stdout, &counts, head);
  const bool readFailed = std::ferror(in) != 0;
  if (in != stdin) std::fclose(in);
  if (err == ENOMEM) throw std::bad_alloc();
  if (err != 0) {
    if (readFailed) {
      std::fprintf(stderr, "tiltfit: %s: %s\n", path.c_str(), std::strerror(err));
      return kCannotRead;
    }
    std::fprintf(stderr, "tiltfit: cannot write the calibrated recording: %s\n",
                 std::strerror(err));
    return kCannotWrite;
  }
  const int status = finishReport(kSuccess);
  if (status == kSuccess && tooFewCalibrated(counts)) {
    return refuse("the calibration does not fit " + name + ": of its " +
                  std::to_string(counts.linesWithNumbers) + " lines that hold numbers, only " +
                  std::to_string(counts.linesCalibrated) + " have numbers at the calibration's " +
                  layoutArgument(c) + "; those were calibrated, the others copied");
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
    if (!convert(text.c_str(), kNames[k], v[k])) return kUsage;
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

int run(int argc, char* argv[]) {
  CliOptions o;
  const std::string problem = parseArguments(argc, argv, o);
  if (!problem.empty()) return refuse(problem);
  o.commandLine = "tiltfit";
  for (int i = 1; i < argc; ++i) o.commandLine += " " + shellWord(argv[i]);
  if (!o.cPrefix.empty()) {
    const std::string bad = report::checkPrefix(o.cPrefix);
    if (!bad.empty()) return refuse(bad);
    if (o.cHeaderPath.empty()) return refuse("--c-prefix names the symbols of --c-header FILE.h");
  }
  if (o.help) {
    std::fputs(helpText(), stdout);
    return finishReport(kSuccess);
  }
  if (o.version) {
    std::puts("tiltfit " TILTFIT_VERSION);
    return finishReport(kSuccess);
  }
  try {
    if (!o.applyPath.empty()) return runApply(o);
    if (o.liveMode) {
      if (o.autoMode) return refuse("--live calibrates as --auto does: give one of them");
      return runLive(o);
    }
    if (!o.targetMg.empty() || !o.savePath.empty())
      return refuse("--target-mg and --save belong to --live SOURCE");
    return o.autoMode ? runAuto(o) : runClassic(o);
  } catch (const Error& e) {
    std::fprintf(stderr, "tiltfit: %s\n", e.what());
    switch (e.kind()) {
      case Error::Kind::kCannotRead:
      case Error::Kind::kNotText:
        return kCannotRead;
      case Error::Kind::kTooManyRows:
        return kTooManyRows;
      default:
        return kUsage;
    }
  }
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
