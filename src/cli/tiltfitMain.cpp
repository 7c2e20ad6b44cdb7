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
#include <stdexcept>
#include <string>

#include "autoTune.h"
#include "calibrationRun.h"
#include "diagnosis.h"
#include "layoutSniff.h"
#include "libOrr_accTools.h"
#include "options.h"
#include "recordingSource.h"
#include "session.h"

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
bool hintAtUnits(const ACCTOOLS& tools) {
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
    return true;
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

// The explicit classic command for a session: its file, numbers and the options it needs.
std::string classicCommand(const Session& s, bool refine, const CliOptions& o) {
  std::string c = "tiltfit " + shellWord(s.path);
  const TuningNumbers& t = s.numbers;
  for (double v :
       {t.tolerancePct, t.moveMeanWindow, t.diffThreshold, t.windowWidth, t.deltaThresholdWindow}) {
    c += " " + shortest(v);
  }
  if (s.units != analysis::Units::kG) c += std::string(" --units ") + analysis::unitsName(s.units);
  if (!o.outputUnits.empty()) c += " --output-units " + o.outputUnits;
  const int* col = s.layout.columns;
  if (col[0] != 1 || col[1] != 2 || col[2] != 3) {
    c += " --columns " + std::to_string(col[0]) + "," + std::to_string(col[1]) + "," +
         std::to_string(col[2]);
  }
  if (s.layout.blanks || s.layout.delimiter != ',') {
    c += " --delimiter " + (s.layout.blanks || s.layout.delimiter == '\t'
                                ? analysis::delimiterArgument(s.layout)
                                : shellWord(std::string(1, s.layout.delimiter)));
  }
  if (refine) c += " --refine";
  return c;
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

// The classic report prints six decimals and a fixed closing text; the auto report prints nine
// significant digits (gains per raw count keep their precision) and states the relation.
void printReport(const Session& s, bool classic) {
  const analysis::Calibration& c = s.result.reported;
  const char* f = classic ? "%f " : "%.9g ";
  std::puts("Calibration success");
  std::puts("accOffset:");
  std::printf("[ ");
  for (double v : c.offset) std::printf(f, v);
  std::puts("]");
  std::puts("accGainMatrix:");
  for (int i = 0; i < 3; ++i) {
    std::printf("[ ");
    for (int j = 0; j < 3; ++j) std::printf(f, c.gain[3 * i + j]);
    std::puts("]");
  }
  std::printf("Execution time : %lld us \n", s.durationUs);
  std::puts("Calibration done");
  std::puts("You can use the calibration result with: ");
  if (classic) {
    std::puts("accGainMatrix * AccVector3 + accOffset ");
  } else {
    std::printf(
        "calibrated = raw \xC2\xB7 accGainMatrix + accOffset, raw being the row vector (x, y, z); "
        "calibrated in %s\n",
        s.outputMs2 ? "m/s^2" : "g");
  }
}

analysis::Units unitsFromName(const std::string& name) {
  if (name == "ms2") return analysis::Units::kMs2;
  if (name == "counts") return analysis::Units::kCounts;
  return analysis::Units::kG;
}

// Decides the units (given or detected from the still stretches) and the output units.
void decideUnits(Session& s, const std::string& given, const CliOptions& o) {
  const analysis::RunResult& r = s.result;
  if (given == "auto") {
    const analysis::UnitsGuess g = analysis::detectUnits(r.stretches);
    s.units = g.units;
    s.scale = g.scale;
  } else {
    s.units = unitsFromName(given);
    if (s.units == analysis::Units::kMs2) s.scale.perG = 9.81;
    if (s.units == analysis::Units::kCounts) s.scale = analysis::countsScale(r.stretches);
  }
  s.outputMs2 = o.outputUnits.empty() ? s.units == analysis::Units::kMs2 : o.outputUnits == "ms2";
}

analysis::RunOptions runOptions(const Session& s, bool refine) {
  analysis::RunOptions options;
  options.scale = s.scale;
  options.outPerG = s.outputMs2 ? 9.81 : 1.0;
  options.refine = refine;
  options.noise = &s.result.noise;
  options.stretches = &s.result.stretches;
  return options;
}

RunResult calibrateWith(const ACCTOOLS& tools, const TuningNumbers& t,
                        const analysis::RunOptions& options) {
  const auto& m = tools.getAccelerometerMeasures();
  if (m[0].empty()) return RunResult();
  return analysis::runCalibration(m[0].data(), m[1].data(), m[2].data(), m[0].size(), t, options);
}

// Numbers chosen from the recording, tried until one set calibrates it; false when the recording
// lacks an orientation (named in s.failureNotes) or no set worked.
bool chooseNumbers(Session& s, const ACCTOOLS& tools, TuningNumbers& chosen, RunResult* kept,
                   bool refine) {
  const auto& m = tools.getAccelerometerMeasures();
  const std::vector<analysis::StillStretch> stretchesG = [&] {
    std::vector<analysis::StillStretch> g = s.result.stretches;
    for (auto& st : g)
      for (int j = 0; j < 3; ++j) st.mean[j] = (st.mean[j] - s.scale.zero) / s.scale.perG;
    return g;
  }();
  for (int loosen = 0; loosen < 4; ++loosen) {
    const analysis::TuningChoice c = analysis::chooseTuningNumbers(
        m[0].data(), m[1].data(), m[2].data(), m[0].size(), s.scale, stretchesG, loosen);
    if (!c.ok) {
      for (const analysis::OrientationId& o : c.missing) {
        s.failureNotes.push_back("no rest with " + analysis::orientationName(o) +
                                 " in the recording");
      }
      return false;
    }
    RunResult r = calibrateWith(tools, c.numbers, runOptions(s, refine));
    if (r.success) {
      chosen = c.numbers;
      if (kept != nullptr) *kept = std::move(r);
      return true;
    }
    if (loosen == 0 && kept != nullptr) *kept = std::move(r);
  }
  return false;
}

// Fills s.diagnosis, s.failureNotes and s.tryCommand after a failed run.
void diagnoseFailure(Session& s, const ACCTOOLS& tools, const RecordingSource& source,
                     const CliOptions& o, bool classic) {
  const RunResult& r = s.result;
  const std::vector<std::string> layout = analysis::layoutProblems(source.sampleLines(), s.layout);
  if (!layout.empty()) {
    s.failureNotes = layout;  // what else is wrong follows from the layout
    return;
  }
  if (r.stretches.empty()) {
    s.failureNotes = {"the recording holds no still stretch to calibrate from"};
    return;
  }
  if (!r.searchSucceeded && r.smoothed != nullptr && r.smoothed->size(0) > 0) {
    for (int k = 0; k < 6; ++k) {
      if (r.rests[k].found) continue;
      const analysis::OrientationId id = analysis::kOrientations[k];
      const int rest = analysis::restFor(r.stretchesG, id, 25.0);
      if (rest < 0) {
        s.diagnosis[k] = "no rest with " + analysis::orientationName(id) + " in the recording";
      } else {
        const std::size_t length = r.stretchesG[static_cast<std::size_t>(rest)].length();
        s.diagnosis[k] =
            "no window for " + analysis::diagnoseSearch(*r.smoothed, id, s.numbers, length).text;
      }
    }
  }
  if (!classic) return;

  // Other numbers that calibrate the recording: the given ones with the failing tests loosened,
  // else numbers chosen from the recording; in the units the recording appears to be in.
  Session trial;
  trial.path = s.path;
  trial.layout = s.layout;
  trial.result.noise = r.noise;
  trial.result.stretches = r.stretches;
  decideUnits(trial, o.units.empty() || o.units == "g" ? "auto" : o.units, o);
  if (!o.units.empty() && o.units != "auto" && trial.units != s.units) return;
  const analysis::TuningChoice auto0 = [&] {
    const auto& m = tools.getAccelerometerMeasures();
    std::vector<analysis::StillStretch> g = r.stretches;
    for (auto& st : g)
      for (int j = 0; j < 3; ++j) st.mean[j] = (st.mean[j] - trial.scale.zero) / trial.scale.perG;
    return analysis::chooseTuningNumbers(m[0].data(), m[1].data(), m[2].data(), m[0].size(),
                                         trial.scale, g, 0);
  }();
  if (!auto0.ok) {
    for (const analysis::OrientationId& id : auto0.missing) {
      s.failureNotes.push_back("no rest with " + analysis::orientationName(id) +
                               " in the recording");
      for (std::string& d : s.diagnosis) d.clear();
    }
    return;
  }
  std::vector<TuningNumbers> candidates;
  if (trial.units == s.units && r.restProblems.empty()) {
    TuningNumbers t = s.numbers;
    const TuningNumbers& a = auto0.numbers;
    for (int k = 0; k < 6; ++k) {
      if (s.diagnosis[k].empty()) continue;
      const int rest = analysis::restFor(r.stretchesG, analysis::kOrientations[k], 25.0);
      const std::size_t length =
          rest < 0 ? 0 : r.stretchesG[static_cast<std::size_t>(rest)].length();
      const analysis::SearchDiagnosis d =
          analysis::diagnoseSearch(*r.smoothed, analysis::kOrientations[k], s.numbers, length);
      using Stop = analysis::SearchDiagnosis::Stop;
      if (d.stoppedBy == Stop::kBand) t.tolerancePct = std::max(t.tolerancePct, a.tolerancePct);
      if (d.stoppedBy == Stop::kStep) t.diffThreshold = std::max(t.diffThreshold, a.diffThreshold);
      if (d.stoppedBy == Stop::kWindow) t.windowWidth = std::min(t.windowWidth, a.windowWidth);
      if (d.stoppedBy == Stop::kDeviation)
        t.deltaThresholdWindow = std::max(t.deltaThresholdWindow, a.deltaThresholdWindow);
    }
    candidates.push_back(t);
  }
  candidates.push_back(auto0.numbers);
  for (const TuningNumbers& t : candidates) {
    if (calibrateWith(tools, t, runOptions(trial, false)).success) {
      trial.numbers = t;
      s.tryCommand = classicCommand(trial, false, o);
      return;
    }
  }
  TuningNumbers chosen;
  if (chooseNumbers(trial, tools, chosen, nullptr, false)) {
    trial.numbers = chosen;
    s.tryCommand = classicCommand(trial, false, o);
  }
}

void printFailure(const Session& s, const ACCTOOLS& tools, bool classic) {
  std::puts(
      "Calibration failed, you can increase tolerancePct for example, or deltaThresholdWindow");
  const RunResult& r = s.result;
  for (const std::string& p : r.restProblems) std::fprintf(stderr, "tiltfit: %s\n", p.c_str());
  for (const std::string& n : s.failureNotes) std::fprintf(stderr, "tiltfit: %s\n", n.c_str());
  // Readings far from 1 g in magnitude are no matter of tuning: the units hint says it all.
  if (s.failureNotes.empty() && !(classic && r.restProblems.empty() &&
                                  s.units == analysis::Units::kG && hintAtUnits(tools))) {
    for (const std::string& d : s.diagnosis) {
      if (!d.empty()) std::fprintf(stderr, "tiltfit: %s\n", d.c_str());
    }
  }
  if (!s.tryCommand.empty()) std::fprintf(stderr, "tiltfit: try: %s\n", s.tryCommand.c_str());
}

// The classic command and --auto share everything after the arguments.
int calibrate(const CliOptions& o, Session& s, const TuningNumbers* given) {
  const bool classic = given != nullptr;
  const RecordingSource source(s.path);

  // Layout: as given, else (auto) as the text shows.
  s.layout.delimiter = o.delimiter;
  s.layout.blanks = o.blanks;
  for (int k = 0; k < 3; ++k) s.layout.columns[k] = o.columns[k];
  if (!classic && !(o.delimiterGiven && o.columnsGiven)) {
    const analysis::LayoutGuess g = analysis::sniffLayout(source.sampleLines());
    if (g.ok) {
      if (!o.delimiterGiven) {
        s.layout.delimiter = g.layout.delimiter;
        s.layout.blanks = g.layout.blanks;
      }
      if (!o.columnsGiven) {
        for (int k = 0; k < 3; ++k) s.layout.columns[k] = g.layout.columns[k];
      }
    }
  }
  CsvLayout layout;
  for (int k = 0; k < 3; ++k) layout.columns[k] = s.layout.columns[k];
  layout.delimiter = s.layout.delimiter;
  layout.blanks = s.layout.blanks;
  layout.quietHeaders = !classic;

  const auto start = std::chrono::system_clock::now();
  ACCTOOLS tools;
  const int read = source.read(tools, layout);
  if (read != kSuccess) return read;
  const auto& m = tools.getAccelerometerMeasures();
  s.rows = m[0].size();
  if (!classic && tools.skippedFields() > 0) {
    const unsigned long long skipped = tools.skippedFields();
    std::fprintf(stderr, "tiltfit: skipped %llu field%s that %s not numbers (the first: \"%s\")\n",
                 skipped, skipped == 1 ? "" : "s", skipped == 1 ? "is" : "are",
                 tools.firstSkippedField().c_str());
  }

  // Units: the classic command's g needs no look at the data; anything else is judged by the
  // still stretches, found once for the whole run.
  const std::string units = !o.units.empty() ? o.units : classic ? "g" : "auto";
  if (!m[0].empty()) {
    s.result.noise = analysis::estimateNoiseFloor(m[0].data(), m[1].data(), m[2].data(), s.rows);
    s.result.stretches =
        analysis::findStillStretches(m[0].data(), m[1].data(), m[2].data(), s.rows, s.result.noise);
  }
  decideUnits(s, units, o);

  const bool refine = classic ? o.refine : !o.noRefine;
  if (classic) {
    s.numbers = *given;
    s.result = calibrateWith(tools, s.numbers, runOptions(s, refine));
  } else {
    s.numbersAuto = true;
    RunResult kept;
    if (!m[0].empty() && chooseNumbers(s, tools, s.numbers, &kept, refine)) {
      s.result = std::move(kept);
    } else {
      const analysis::NoiseFloor noise = s.result.noise;
      const std::vector<analysis::StillStretch> stretches = s.result.stretches;
      s.result = std::move(kept);
      s.result.noise = noise;
      s.result.stretches = stretches;
      s.result.success = false;
    }
  }
  const auto end = std::chrono::system_clock::now();
  s.durationUs = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000;

  if (!s.result.success) {
    if (!m[0].empty()) diagnoseFailure(s, tools, source, o, classic);
    printFailure(s, tools, classic);
    return kCalibrationFailed;
  }
  if (!classic) s.repeatCommand = classicCommand(s, s.result.refined, o);
  printReport(s, classic);
  printWarnings(s.result);
  if (!s.repeatCommand.empty()) {
    std::fprintf(stderr, "tiltfit: to repeat: %s\n", s.repeatCommand.c_str());
  }
  return finishReport();
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
  double v[5];
  std::string texts[5];
  for (int k = 0; k < 5; ++k) {
    texts[k] = o.positionals[static_cast<std::size_t>(k) + 1];
    if (!convert(texts[k].c_str(), kNames[k], v[k])) return kUsage;
  }
  if (!validate(v, texts)) return kUsage;
  const TuningNumbers numbers{v[0], v[1], v[2], v[3], v[4]};
  Session s;
  s.path = o.positionals[0];
  return calibrate(o, s, &numbers);
}

int runAuto(const CliOptions& o) {
  if (o.positionals.empty()) return refuse("--auto needs the recording: tiltfit --auto FILE");
  if (o.positionals.size() > 1) {
    return refuse("--auto chooses the tuning numbers itself: give it only the recording (\"" +
                  o.positionals[1] + "\" is one argument too many)");
  }
  if (o.refine && o.noRefine) return refuse("--refine and --no-refine contradict each other");
  Session s;
  s.path = o.positionals[0];
  return calibrate(o, s, nullptr);
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
  if (o.autoMode) return runAuto(o);
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
