// Calibrating a recording: units, still stretches, the run with given or chosen numbers, and the
// result as the public interface gives it.
#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

#include "apiInternal.h"
#include "autoTune.h"
#include "getAccCalib_data.h"
#include "getAccCalib_initialize.h"
#include "libOrr_accTools.h"

namespace tiltfit {
namespace api {

// The core initialises its library on first use, which is not safe from two threads at once;
// callers of this interface may be several threads (Python releases the GIL), so it is done here
// once, first.
void initializeCore() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!isInitialized_getAccCalib) getAccCalib_initialize();
  });
}

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
    o.firstSample = c.first - 1;
    o.lastSample = c.last - 1;
    o.firstRow = static_cast<std::uint32_t>(w.rec.lineOf(o.firstSample));
    o.lastRow = static_cast<std::uint32_t>(w.rec.lineOf(o.lastSample));
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


}  // namespace api

using namespace api;

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
