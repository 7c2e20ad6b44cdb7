#include "tiltfit/tiltfit.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "autoTune.h"
#include "calibrationRun.h"
#include "diagnosis.h"
#include "getAccCalib_data.h"
#include "getAccCalib_initialize.h"
#include "layoutSniff.h"
#include "libOrr_accTools.h"
#include "stillStretches.h"

namespace tiltfit {
namespace {

namespace an = analysis;

constexpr std::size_t kHead = 64 * 1024;   // bytes of a text's start kept to judge its layout
constexpr int kProbes = 256;               // places after the start where one line is taken
constexpr std::size_t kProbeBytes = 1024;  // bytes read at each

// Adds the first whole line of [at, at + n) of text, if it has one.
void addProbeLine(const char* at, std::size_t n, std::vector<std::string>& lines) {
  const void* nl = std::memchr(at, '\n', n);
  if (nl == nullptr) return;
  const char* begin = static_cast<const char*>(nl) + 1;
  const std::size_t rest = n - static_cast<std::size_t>(begin - at);
  const void* end = std::memchr(begin, '\n', rest);
  if (end == nullptr) return;  // only a line that ends inside the probe is whole
  const std::vector<std::string> one =
      an::splitLines(begin, static_cast<std::size_t>(static_cast<const char*>(end) - begin), 1);
  lines.insert(lines.end(), one.begin(), one.end());
}

// The head of a text and one line from each of kProbes places after it, in text order, so that a
// time column still only grows.
std::vector<std::string> sampleText(const char* text, std::size_t size) {
  std::vector<std::string> lines = an::splitLines(text, std::min(size, kHead), 400);
  if (size > kHead) {
    const std::size_t span = size - kHead;
    for (int p = 0; p < kProbes; ++p) {
      const std::size_t at = kHead + span / kProbes * static_cast<std::size_t>(p);
      addProbeLine(text + at, std::min(kProbeBytes, size - at), lines);
    }
  }
  return lines;
}

std::vector<std::string> sampleFile(const std::string& path) {
  std::vector<std::string> lines;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return lines;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    std::string head(kHead, '\0');
    const ssize_t got = ::pread(fd, &head[0], kHead, 0);
    if (got > 0) lines = an::splitLines(head.data(), static_cast<std::size_t>(got), 400);
    const std::size_t size = static_cast<std::size_t>(info.st_size);
    if (size > kHead) {
      std::string probe(kProbeBytes, '\0');
      const std::size_t span = size - kHead;
      for (int p = 0; p < kProbes; ++p) {
        const std::size_t at = kHead + span / kProbes * static_cast<std::size_t>(p);
        const ssize_t n = ::pread(fd, &probe[0], kProbeBytes, static_cast<off_t>(at));
        if (n <= 0) break;
        addProbeLine(probe.data(), static_cast<std::size_t>(n), lines);
      }
    }
  }
  ::close(fd);
  return lines;
}

// Fills the parts of the layout that are to be detected.
void detectLayout(const ReadOptions& options, Recording& rec) {
  rec.layout = options.layout;
  if (!options.detectDelimiter && !options.detectColumns) return;
  const an::LayoutGuess g = an::sniffLayout(rec.sampleLines);
  if (!g.ok) return;
  if (options.detectDelimiter) {
    rec.layout.delimiter = g.layout.delimiter;
    rec.layout.blanks = g.layout.blanks;
  }
  if (options.detectColumns) {
    for (int k = 0; k < 3; ++k)
      rec.layout.columns[static_cast<std::size_t>(k)] = g.layout.columns[k];
  }
}

// Refuses columns that no line of the text reaches: they would leave every sample at zero. Only
// for columns chosen by hand; with the default ones a wrong delimiter is the likelier cause, which
// the diagnosis of the failed calibration names.
void checkColumnsReached(const Recording& rec) {
  const int wanted = *std::max_element(rec.layout.columns.begin(), rec.layout.columns.end());
  int most = 0;
  for (const std::string& line : rec.sampleLines) {
    int fields = 0;
    if (rec.layout.blanks) {
      bool inField = false;
      for (char c : line) {
        const bool blank = c == ' ' || c == '\t' || c == '\r';
        if (!blank && !inField) ++fields;
        inField = !blank;
      }
    } else {
      fields =
          line.empty()
              ? 0
              : 1 + static_cast<int>(std::count(line.begin(), line.end(), rec.layout.delimiter));
    }
    most = std::max(most, fields);
  }
  if (most > 0 && wanted > most) {
    throw Error(Error::Kind::kInvalidArgument,
                "column " + std::to_string(wanted) + " is past the end of the lines, which have " +
                    std::to_string(most) + (most == 1 ? " field" : " fields"));
  }
}

CsvLayout toCsvLayout(const Layout& layout, bool report) {
  CsvLayout c;
  for (int k = 0; k < 3; ++k) {
    c.columns[k] = layout.columns[static_cast<std::size_t>(k)];
    if (c.columns[k] < 1) throw Error(Error::Kind::kInvalidArgument, "column numbers start at 1");
  }
  if (!layout.blanks && (layout.delimiter == '\n' || layout.delimiter == '\r')) {
    throw Error(Error::Kind::kInvalidArgument, "a line end cannot separate fields");
  }
  c.delimiter = layout.delimiter;
  c.blanks = layout.blanks;
  c.quietHeaders = !report;
  return c;
}

// Moves the columns out of the reader, or throws why it failed.
void finishRead(ACCTOOLS& tools, bool ok, const std::string& path, Recording& rec) {
  if (!ok) {
    if (tools.readError() == ACCTOOLS::ReadError::kTooManyRows) {
      throw Error(Error::Kind::kTooManyRows,
                  path + " has more than " + std::to_string(ACCTOOLS::kMaxRows - 1) +
                      " lines, more than the tool can hold",
                  tools.readErrno());
    }
    throw Error(Error::Kind::kCannotRead, path + ": " + std::strerror(tools.readErrno()),
                tools.readErrno());
  }
  rec.skippedFields = tools.skippedFields();
  rec.firstSkippedField = tools.firstSkippedField();
  std::array<std::vector<double>, 3> m = tools.releaseAccelerometerMeasures();
  rec.x = std::move(m[0]);
  rec.y = std::move(m[1]);
  rec.z = std::move(m[2]);
}

an::Layout toAnalysisLayout(const Layout& l) {
  an::Layout a;
  a.delimiter = l.delimiter;
  a.blanks = l.blanks;
  for (int k = 0; k < 3; ++k) a.columns[k] = l.columns[static_cast<std::size_t>(k)];
  return a;
}

// What one calibration of a recording decided before and after the run.
// The core initialises its library on first use, which is not safe from two threads at once;
// callers of this interface may be several threads (Python releases the GIL), so it is done here
// once, first.
void initializeCore() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!isInitialized_getAccCalib) getAccCalib_initialize();
  });
}

struct Work {
  const Recording& rec;
  an::NoiseFloor noise;
  std::vector<an::StillStretch> stretches;  // recording units
  an::Units units = an::Units::kG;
  an::InputScale scale;
  bool outputMs2 = false;
  bool refine = false;
  explicit Work(const Recording& r) : rec(r) { initializeCore(); }

  an::RunOptions runOptions(bool withRefine) const {
    an::RunOptions o;
    o.scale = scale;
    o.outPerG = outputMs2 ? 9.81 : 1.0;
    o.refine = withRefine;
    o.noise = &noise;
    o.stretches = &stretches;
    return o;
  }
  an::RunResult run(const TuningNumbers& t, bool withRefine) const {
    if (rec.rows() == 0) return an::RunResult();
    const an::TuningNumbers n{t.tolerancePct, t.moveMeanWindow, t.diffThreshold, t.windowWidth,
                              t.deltaThresholdWindow};
    return an::runCalibration(rec.x.data(), rec.y.data(), rec.z.data(), rec.rows(), n,
                              runOptions(withRefine));
  }
  an::TuningChoice choose(int loosen) const {
    return an::chooseTuningNumbers(rec.x.data(), rec.y.data(), rec.z.data(), rec.rows(), scale,
                                   an::stretchesInG(stretches, scale), loosen);
  }
};

TuningNumbers fromAnalysis(const an::TuningNumbers& t) {
  return TuningNumbers{t.tolerancePct, t.moveMeanWindow, t.diffThreshold, t.windowWidth,
                       t.deltaThresholdWindow};
}

Units toPublic(an::Units u) {
  return u == an::Units::kMs2 ? Units::kMs2 : u == an::Units::kCounts ? Units::kCounts : Units::kG;
}

// Units as given, or judged by the still stretches.
void decideUnits(Work& w, Units units, const std::string& outputUnits) {
  if (units == Units::kAuto) {
    const an::UnitsGuess g = an::detectUnits(w.stretches);
    w.units = g.units;
    w.scale = g.scale;
  } else {
    w.units = units == Units::kMs2      ? an::Units::kMs2
              : units == Units::kCounts ? an::Units::kCounts
                                        : an::Units::kG;
    w.scale = an::InputScale();
    if (w.units == an::Units::kMs2) w.scale.perG = 9.81;
    if (w.units == an::Units::kCounts) w.scale = an::countsScale(w.stretches);
  }
  if (!outputUnits.empty() && outputUnits != "g" && outputUnits != "ms2") {
    throw Error(Error::Kind::kInvalidArgument,
                "output units must be g or ms2: \"" + outputUnits + "\"");
  }
  w.outputMs2 = outputUnits.empty() ? w.units == an::Units::kMs2 : outputUnits == "ms2";
}

void prepare(Work& w, const CalibrateOptions& options) {
  if (w.rec.rows() > 0) {
    w.noise = an::estimateNoiseFloor(w.rec.x.data(), w.rec.y.data(), w.rec.z.data(), w.rec.rows());
    w.stretches = an::findStillStretches(w.rec.x.data(), w.rec.y.data(), w.rec.z.data(),
                                         w.rec.rows(), w.noise);
  }
  decideUnits(w, options.units, options.outputUnits);
}

Calibration toPublic(const an::Calibration& c, bool outputMs2, bool refined) {
  Calibration p;
  for (int i = 0; i < 3; ++i) {
    p.offset[static_cast<std::size_t>(i)] = c.offset[i];
    for (int j = 0; j < 3; ++j) {
      p.gainMatrix[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] = c.gain[3 * i + j];
    }
  }
  p.outputMs2 = outputMs2;
  p.refined = refined;
  return p;
}

Result toResult(const Work& w, const an::RunResult& r, const TuningNumbers& numbers) {
  Result out;
  out.success = r.success;
  out.sixRest = toPublic(r.sixRest, w.outputMs2, false);
  out.calibration = toPublic(r.reported, w.outputMs2, r.refined);
  out.parameters = numbers;
  out.units = toPublic(w.units);
  out.unitsPerG = w.scale.perG;
  out.unitsZero = w.scale.zero;
  for (int k = 0; k < 6; ++k) {
    Orientation& o = out.orientations[static_cast<std::size_t>(k)];
    const an::ChosenRest& c = r.rests[k];
    o.axis = an::kOrientations[k].axis;
    o.reading = an::kOrientations[k].level;
    o.found = c.found;
    o.firstRow = c.first;
    o.lastRow = c.last;
    for (int j = 0; j < 3; ++j) o.mean[static_cast<std::size_t>(j)] = c.mean[j];
    o.angleDeg = r.angleDeg[k];
    o.residualMg = r.residualMg[k];
  }
  Quality& q = out.quality;
  q.stillStretches = r.stretchesG.size();
  q.normErrorBeforeMg = r.before.meanMg;
  q.worstBeforeMg = r.before.worstMg;
  q.normErrorAfterMg = r.after.meanMg;
  q.worstAfterMg = r.after.worstMg;
  q.normErrorSixRestMg = r.afterSixRest.meanMg;
  q.normErrorRefinedMg = r.afterRefined.meanMg;
  q.determined = r.refinement.determined;
  for (int k = 0; k < 3; ++k)
    q.crossDetermined[static_cast<std::size_t>(k)] = r.refinement.crossDetermined[k];
  out.warnings = r.warnings;
  out.problems = r.restProblems;
  return out;
}

// A recording whose samples average well above 1 g in magnitude is most likely in m/s^2, which
// a search in g can never match.
std::string unitsHint(const Recording& rec) {
  double sum = 0.0;
  std::size_t count = 0;
  for (std::size_t r = 0; r < rec.rows(); ++r) {
    const double m = std::sqrt(rec.x[r] * rec.x[r] + rec.y[r] * rec.y[r] + rec.z[r] * rec.z[r]);
    if (std::isfinite(m) && m > 0.0) {
      sum += m;
      ++count;
    }
  }
  if (count == 0 || !(sum / static_cast<double>(count) > 4.905)) return "";
  char text[256];
  std::snprintf(text, sizeof text,
                "the samples average %.2f in magnitude; the rest search expects readings in g "
                "(about 1 at rest), so a recording in m/s^2 must be divided by 9.81 first",
                sum / static_cast<double>(count));
  return text;
}

// Says why a run failed: the layout, missing rests, the units, or for each orientation the test
// that stopped its search.
void explainProblems(const Work& w, const an::RunResult& r, const TuningNumbers& numbers,
                     Result& out) {
  const std::vector<std::string> layout =
      an::layoutProblems(w.rec.sampleLines, toAnalysisLayout(w.rec.layout));
  if (!layout.empty()) {
    out.problems = layout;  // whatever else is wrong follows from the layout
    return;
  }
  if (w.stretches.empty()) {
    out.problems.push_back("the recording holds no still stretch to calibrate from");
    return;
  }
  const std::vector<an::StillStretch> stretchesG = an::stretchesInG(w.stretches, w.scale);
  std::vector<std::string> missing;
  for (int k = 0; k < 6; ++k) {
    if (an::restFor(stretchesG, an::kOrientations[k], 25.0) < 0) {
      missing.push_back("no rest with " + an::orientationName(an::kOrientations[k]) +
                        " in the recording");
    }
  }
  if (!missing.empty()) {
    out.problems.insert(out.problems.end(), missing.begin(), missing.end());
    return;
  }
  if (w.units == an::Units::kG && out.problems.empty()) {
    const std::string hint = unitsHint(w.rec);
    if (!hint.empty()) {
      out.problems.push_back(hint);
      return;
    }
  }
  if (r.searchSucceeded || r.smoothed == nullptr || r.smoothed->size(0) == 0) return;
  const an::TuningNumbers t{numbers.tolerancePct, numbers.moveMeanWindow, numbers.diffThreshold,
                            numbers.windowWidth, numbers.deltaThresholdWindow};
  for (int k = 0; k < 6; ++k) {
    if (r.rests[k].found) continue;
    const int rest = an::restFor(r.stretchesG, an::kOrientations[k], 25.0);
    const std::size_t length = rest < 0 ? 0 : r.stretchesG[static_cast<std::size_t>(rest)].length();
    const an::SearchDiagnosis d = an::diagnoseSearch(*r.smoothed, an::kOrientations[k], t, length);
    Orientation& o = out.orientations[static_cast<std::size_t>(k)];
    o.diagnosis = d.text;
    out.problems.push_back("no window for " + d.text);
  }
}

// explainProblems, and on each orientation not found the sentence that concerns it: its own
// diagnosis, that it has no rest in the recording, or else what stopped the whole run.
void explainFailure(const Work& w, const an::RunResult& r, const TuningNumbers& numbers,
                    Result& out) {
  explainProblems(w, r, numbers, out);
  for (Orientation& o : out.orientations) {
    if (o.found || !o.diagnosis.empty()) continue;
    const std::string missing = "no rest with " + o.name() + " in the recording";
    const bool isMissing =
        std::find(out.problems.begin(), out.problems.end(), missing) != out.problems.end();
    if (isMissing) {
      o.diagnosis = missing;
    } else if (!out.problems.empty()) {
      o.diagnosis = out.problems.front();
    }
  }
}

// Other numbers (and units) that calibrate the recording after a classic run failed: the given
// numbers with the failing tests loosened to what the recording needs, else numbers chosen from
// the recording, each checked by a run.
void suggest(const Work& w, const TuningNumbers& given, const CalibrateOptions& options,
             const an::RunResult& failed, Result& out) {
  // The same stretches, judged again for their units when the run assumed g.
  Work trial(w.rec);
  trial.noise = w.noise;
  trial.stretches = w.stretches;
  decideUnits(trial, options.units == Units::kG ? Units::kAuto : options.units,
              options.outputUnits);
  if (trial.stretches.empty()) return;
  const an::TuningChoice first = trial.choose(0);
  if (!first.ok) return;
  const bool sameUnits = toPublic(trial.units) == out.units;
  std::vector<TuningNumbers> candidates;
  if (sameUnits && failed.restProblems.empty() && failed.smoothed != nullptr) {
    TuningNumbers t = given;
    const TuningNumbers a = fromAnalysis(first.numbers);
    const an::TuningNumbers g{given.tolerancePct, given.moveMeanWindow, given.diffThreshold,
                              given.windowWidth, given.deltaThresholdWindow};
    for (int k = 0; k < 6; ++k) {
      if (failed.rests[k].found) continue;
      const int rest = an::restFor(failed.stretchesG, an::kOrientations[k], 25.0);
      const std::size_t length =
          rest < 0 ? 0 : failed.stretchesG[static_cast<std::size_t>(rest)].length();
      using Stop = an::SearchDiagnosis::Stop;
      switch (an::diagnoseSearch(*failed.smoothed, an::kOrientations[k], g, length).stoppedBy) {
        case Stop::kBand:
          t.tolerancePct = std::max(t.tolerancePct, a.tolerancePct);
          break;
        case Stop::kStep:
          t.diffThreshold = std::max(t.diffThreshold, a.diffThreshold);
          break;
        case Stop::kWindow:
          t.windowWidth = std::min(t.windowWidth, a.windowWidth);
          break;
        case Stop::kDeviation:
          t.deltaThresholdWindow = std::max(t.deltaThresholdWindow, a.deltaThresholdWindow);
          break;
        default:
          break;
      }
    }
    candidates.push_back(t);
  }
  for (int loosen = 0; loosen < 4; ++loosen) {
    const an::TuningChoice c = loosen == 0 ? first : trial.choose(loosen);
    if (c.ok) candidates.push_back(fromAnalysis(c.numbers));
  }
  for (const TuningNumbers& t : candidates) {
    if (trial.run(t, false).success) {
      out.hasSuggestion = true;
      out.suggestedNumbers = t;
      out.suggestedUnits = toPublic(trial.units);
      return;
    }
  }
}

}  // namespace

const char* unitsName(Units units) {
  switch (units) {
    case Units::kMs2:
      return "ms2";
    case Units::kCounts:
      return "counts";
    case Units::kAuto:
      return "auto";
    default:
      return "g";
  }
}

Units unitsFromName(const std::string& name) {
  if (name == "g") return Units::kG;
  if (name == "ms2") return Units::kMs2;
  if (name == "counts") return Units::kCounts;
  if (name == "auto") return Units::kAuto;
  throw Error(Error::Kind::kInvalidArgument,
              "units must be g, ms2, counts or auto: \"" + name + "\"");
}

Recording readRecording(const std::string& path, const ReadOptions& options) {
  Recording rec;
  if (path == "-") {
    std::string text;
    char block[1 << 16];
    for (;;) {
      const ssize_t got = ::read(STDIN_FILENO, block, sizeof block);
      if (got < 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        if (options.reportToStderr) std::fputs("Can not open csv file\n", stderr);
        throw Error(Error::Kind::kCannotRead, std::string("standard input: ") + std::strerror(err),
                    err);
      }
      if (got == 0) break;
      text.append(block, static_cast<std::size_t>(got));
    }
    Recording r = readRecordingFromText(text, options);
    return r;
  }
  rec.sampleLines = sampleFile(path);
  detectLayout(options, rec);
  if (!options.detectColumns && options.layout.columns != Layout().columns)
    checkColumnsReached(rec);
  ACCTOOLS tools;
  const bool ok =
      tools.readAccelerometerMeasures(path, toCsvLayout(rec.layout, options.reportToStderr));
  finishRead(tools, ok, path, rec);
  return rec;
}

Recording readRecordingFromText(const std::string& text, const ReadOptions& options) {
  Recording rec;
  rec.sampleLines = sampleText(text.data(), text.size());
  detectLayout(options, rec);
  if (!options.detectColumns && options.layout.columns != Layout().columns)
    checkColumnsReached(rec);
  ACCTOOLS tools;
  const bool ok = tools.readAccelerometerMeasuresFromBuffer(
      text.data(), text.size(), toCsvLayout(rec.layout, options.reportToStderr));
  finishRead(tools, ok, "standard input", rec);
  return rec;
}

Recording makeRecording(std::vector<double> x, std::vector<double> y, std::vector<double> z) {
  if (x.size() != y.size() || x.size() != z.size()) {
    throw Error(Error::Kind::kInvalidArgument, "x, y and z must hold as many samples each");
  }
  if (x.size() > ACCTOOLS::kMaxRows) {
    throw Error(Error::Kind::kTooManyRows, "more samples than the tool can hold");
  }
  Recording rec;
  rec.x = std::move(x);
  rec.y = std::move(y);
  rec.z = std::move(z);
  return rec;
}

std::string checkTuningNumbers(const TuningNumbers& t, int* which) {
  const double v[5] = {t.tolerancePct, t.moveMeanWindow, t.diffThreshold, t.windowWidth,
                       t.deltaThresholdWindow};
  static const char* const names[5] = {"tolerancePct", "moveMeanWindow", "diffThreshold",
                                       "windowWidth", "deltaThresholdWindow"};
  auto fail = [&](int k, const char* rule) {
    if (which != nullptr) *which = k;
    return std::string(names[k]) + " " + rule;
  };
  for (int k = 0; k < 5; ++k) {
    if (!std::isfinite(v[k])) return fail(k, "must be a finite number");
  }
  // Values that can only end in a failure, or in a "success" built from the wrong rests (a band
  // of +-1 g or more lets one rest pass for several orientations).
  const bool ok[5] = {v[0] > 0.0 && v[0]<100.0, v[1] >= 1.0, v[2]> 0.0, v[3] >= 2.0, v[4] > 0.0};
  static const char* const rules[5] = {"must be above 0 and below 100 (percent of 1 g)",
                                       "must be at least 1 sample", "must be greater than 0",
                                       "must be at least 2 samples", "must be greater than 0"};
  for (int k = 0; k < 5; ++k) {
    if (!ok[k]) return fail(k, rules[k]);
  }
  return "";
}

std::array<double, 3> Calibration::apply(const std::array<double, 3>& raw) const {
  std::array<double, 3> c{};
  for (std::size_t j = 0; j < 3; ++j) {
    c[j] = raw[0] * gainMatrix[0][j] + raw[1] * gainMatrix[1][j] + raw[2] * gainMatrix[2][j] +
           offset[j];
  }
  return c;
}

std::array<std::array<double, 3>, 3> Calibration::columnGain() const {
  std::array<std::array<double, 3>, 3> g{};
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) g[j][i] = gainMatrix[i][j];
  return g;
}

void applyCalibration(const Calibration& c, double* x, double* y, double* z, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    const std::array<double, 3> v = c.apply({x[k], y[k], z[k]});
    x[k] = v[0];
    y[k] = v[1];
    z[k] = v[2];
  }
}

std::string Orientation::name() const {
  return an::orientationName(an::OrientationId{axis, reading});
}

CalibrateOptions autoOptions() {
  CalibrateOptions o;
  o.units = Units::kAuto;
  o.refine = true;
  return o;
}

Result calibrate(const Recording& recording, const TuningNumbers& numbers,
                 const CalibrateOptions& options) {
  const std::string bad = checkTuningNumbers(numbers);
  if (!bad.empty()) throw Error(Error::Kind::kInvalidArgument, bad);
  Work w(recording);
  prepare(w, options);
  const an::RunResult r = w.run(numbers, options.refine);
  Result out = toResult(w, r, numbers);
  if (!r.success) {
    explainFailure(w, r, numbers, out);
    suggest(w, numbers, options, r, out);
  }
  return out;
}

Result calibrateAuto(const Recording& recording, const CalibrateOptions& options) {
  Work w(recording);
  prepare(w, options);
  an::RunResult first;
  TuningNumbers firstNumbers;
  for (int loosen = 0; loosen < 4 && !w.stretches.empty(); ++loosen) {
    const an::TuningChoice c = w.choose(loosen);
    if (!c.ok) break;
    const TuningNumbers t = fromAnalysis(c.numbers);
    an::RunResult r = w.run(t, options.refine);
    if (r.success) {
      Result out = toResult(w, r, t);
      out.parametersChosen = true;
      return out;
    }
    if (loosen == 0) {
      first = std::move(r);
      firstNumbers = t;
    }
  }
  Result out = toResult(w, first, firstNumbers);
  out.success = false;
  out.parametersChosen = true;
  explainFailure(w, first, firstNumbers, out);
  return out;
}

}  // namespace tiltfit
