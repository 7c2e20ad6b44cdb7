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

double gravityOf(const CalibrateOptions& options, double modeDefault) {
  if (options.gravity == 0.0) return modeDefault;
  if (!(options.gravity >= 1.0 && options.gravity <= 30.0)) {
    throw Error(Error::Kind::kInvalidArgument,
                "gravity must be the m/s^2 of 1 g, between 1 and 30: " +
                    std::to_string(options.gravity));
  }
  return options.gravity;
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
    if (w.units == an::Units::kMs2) w.scale.perG = w.gravity;
  } else {
    w.units = units == Units::kMs2      ? an::Units::kMs2
              : units == Units::kCounts ? an::Units::kCounts
                                        : an::Units::kG;
    w.scale = an::InputScale();
    if (w.units == an::Units::kMs2) w.scale.perG = w.gravity;
    if (w.units == an::Units::kCounts) w.scale = an::countsScale(w.stretches);
  }
  if (!outputUnits.empty() && outputUnits != "g" && outputUnits != "ms2") {
    throw Error(Error::Kind::kInvalidArgument,
                "output units must be g or ms2: \"" + outputUnits + "\"");
  }
  w.outputMs2 = outputUnits.empty() ? w.units == an::Units::kMs2 : outputUnits == "ms2";
}

// The noise floor, the units (judged on the stretches of the noise floor alone, which no wobble
// widens) and the still stretches the fit uses.
void prepare(Work& w, const CalibrateOptions& options) {
  const Recording& rec = w.raw();
  const bool judged = options.units == Units::kAuto || options.units == Units::kCounts;
  if (rec.rows() > 0) {
    w.noise = an::estimateNoiseFloor(rec.x.data(), rec.y.data(), rec.z.data(), rec.rows());
    if (judged) {
      // The units need the stretches' means, not every sample: a long recording is looked at
      // every few samples, keeping some 10^6 of them.
      const std::size_t stride = std::max<std::size_t>(1, rec.rows() >> 20);
      w.stretches = an::findStillStretchesEvery(stride, rec.x.data(), rec.y.data(), rec.z.data(),
                                                rec.rows(), w.noise);
    }
  }
  decideUnits(w, options.units, options.outputUnits);
  if (rec.rows() > 0) {
    w.stretches = an::stretchesForFit(rec.x.data(), rec.y.data(), rec.z.data(), rec.rows(),
                                      w.noise, w.scale);
    w.moving = an::takeMoving(w.stretches, w.scale);
  }
  w.rotation = toAnalysis(options.rotation);
}

an::RotationChoice toAnalysis(Rotation r) {
  return r == Rotation::kNone    ? an::RotationChoice::kNone
         : r == Rotation::kRests ? an::RotationChoice::kRests
                                 : an::RotationChoice::kAuto;
}

void setRotation(Calibration& c, const an::RotationReport& r) {
  c.rotationApplied = r.applied;
  c.rotationDeg = r.applied ? r.angleDeg : 0.0;
  c.rotationSigmaDeg = r.sigmaDeg;
  c.suggestedRotationDeg = r.suggestedDeg;
  c.suggestedRotationSigmaDeg = r.suggestedSigmaDeg;
  for (std::size_t k = 0; k < 3; ++k) {
    c.rotationVectorDeg[k] = r.applied ? r.vectorDeg[k] : 0.0;
    c.suggestedRotationVectorDeg[k] = r.suggestedVectorDeg[k];
  }
  c.rotationNote = r.note;
}

Calibration toPublic(const an::Calibration& c, bool outputMs2, double gravity, an::Method method) {
  Calibration p;
  for (int i = 0; i < 3; ++i) {
    p.offset[static_cast<std::size_t>(i)] = c.offset[i];
    for (int j = 0; j < 3; ++j) {
      p.gainMatrix[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] = c.gain[3 * i + j];
    }
  }
  p.outputMs2 = outputMs2;
  p.gravity = gravity;
  p.refined = method == an::Method::kRefined;
  p.method = an::methodName(method);
  return p;
}

Result toResult(const Work& w, const an::RunResult& r, const TuningNumbers& numbers) {
  Result out;
  out.success = r.success;
  out.sixRest = toPublic(r.sixRest, w.outputMs2, w.gravity,
                         r.method == an::Method::kStretches ? an::Method::kStretches
                                                            : an::Method::kSixRest);
  out.calibration = toPublic(r.reported, w.outputMs2, w.gravity, r.method);
  if (r.success) {
    setRotation(out.calibration, r.rotation);
    setRotation(out.sixRest, r.sixRestRotation);
  }
  for (std::size_t i = 0; i < 3; ++i) {
    out.calibration.uncertainty.offset[i] = r.uncertainty.offset[i];
    for (std::size_t j = 0; j < 3; ++j)
      out.calibration.uncertainty.gainMatrix[i][j] = r.uncertainty.gain[3 * i + j];
  }
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
  q.determined = r.fit.determined;
  for (int k = 0; k < 3; ++k)
    q.crossDetermined[static_cast<std::size_t>(k)] = r.fit.crossDetermined[k];
  q.expectedErrorMg = r.expectedErrorMg;
  q.stretchesUsed = r.fit.stretchesUsed;
  q.restTiltDeg = r.fit.restTiltDeg;
  if (r.success) {
    q.heldOutMeanMg = r.heldOut.meanMg;
    q.heldOutWorstMg = r.heldOut.worstMg;
    q.heldOutFolds = r.heldOut.folds;
    q.uncertaintyScale = r.fit.ok ? r.fit.uncertaintyScale : 1.0;
  }
  // The stretches that are no rest and those left out of the held-out figures, in row order.
  std::vector<std::pair<std::size_t, LeftOutStretch>> left;
  auto leave = [&](const an::StillStretch& s, bool notARest, const std::string& reason) {
    LeftOutStretch l;
    l.firstSample = s.first;
    l.lastSample = s.last;
    l.firstRow = static_cast<std::uint32_t>(w.rec.lineOf(s.first));
    l.lastRow = static_cast<std::uint32_t>(w.rec.lineOf(s.last));
    l.notARest = notARest;
    l.reason = reason;
    left.emplace_back(s.first, l);
  };
  for (const an::StillStretch& s : w.moving) leave(s, true, an::movingReason(s, w.scale));
  for (std::size_t k = 0; k < r.stretches.size(); ++k) {
    const an::StillStretch& s = r.stretches[k];
    Stretch p;
    p.firstSample = s.first;
    p.lastSample = s.last;
    p.firstRow = static_cast<std::uint32_t>(w.rec.lineOf(s.first));
    p.lastRow = static_cast<std::uint32_t>(w.rec.lineOf(s.last));
    for (std::size_t j = 0; j < 3; ++j) p.mean[j] = s.mean[j];
    p.inQuality = k < r.inQuality.size() && r.inQuality[k];
    p.weight = k < r.fit.weight.size() ? r.fit.weight[k] : 0.0;
    p.motionMg = an::motionG(s, w.scale) * 1000.0;
    p.heldOut = r.success && k < r.heldOut.counted.size() && r.heldOut.counted[k];
    p.heldOutMg = p.heldOut ? r.heldOut.errorMg[k] : std::nan("");
    if (r.success && k < r.notHeldOut.size() && !r.notHeldOut[k].empty())
      leave(s, false, r.notHeldOut[k]);
    out.stretches.push_back(p);
  }
  std::stable_sort(left.begin(), left.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& l : left) q.leftOut.push_back(std::move(l.second));
  out.warnings = r.warnings;
  out.problems = r.restProblems;
  return out;
}

// The tolerance that keeps out the rests a run took at another angle: a band narrower than their
// distance from the level they passed for. Infinite when no found rest lies off its axis.
double bandExcludingOffAxis(const an::RunResult& r, const an::InputScale& scale) {
  double limit = HUGE_VAL;
  for (const an::ChosenRest& rest : r.rests) {
    if (!rest.found) continue;
    double g[3];
    scale.toG(rest.mean, g);
    if (an::angleFromAxisDeg(g, rest.id) <= 20.0) continue;
    limit = std::min(limit, std::abs(g[rest.id.axis] - rest.id.level));
  }
  return limit;
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

namespace {

Result calibrateWork(Work& w, const TuningNumbers& numbers, const CalibrateOptions& options) {
  const std::string bad = checkTuningNumbers(numbers);
  if (!bad.empty()) throw Error(Error::Kind::kInvalidArgument, bad);
  w.gravity = gravityOf(options, kClassicGravity);
  prepare(w, options);
  const an::RunResult r = w.run(numbers, options.refine);
  Result out = toResult(w, r, numbers);
  if (!r.success) {
    explainFailure(w, r, numbers, out);
    suggest(w, numbers, options, r, out);
    ensureReason(w, r, out);
  }
  return out;
}

Result calibrateAutoWork(Work& w, const CalibrateOptions& options);

// After a calibration that was handed the recording: how many samples it had, when they are gone.
void noteReleased(Recording& recording, std::size_t rows) {
  if (recording.rows() != rows) recording.streamedSamples = rows;
}

}  // namespace

Result calibrate(const Recording& recording, const TuningNumbers& numbers,
                 const CalibrateOptions& options) {
  Work w(recording);
  return calibrateWork(w, numbers, options);
}

Result calibrate(Recording& recording, const std::function<Recording()>& reload,
                 const TuningNumbers& numbers, const CalibrateOptions& options) {
  const std::size_t rows = recording.rows();
  Work w(recording, reload);
  Result out = calibrateWork(w, numbers, options);
  noteReleased(recording, rows);
  return out;
}

Result calibrateAuto(Recording& recording, const std::function<Recording()>& reload,
                     const CalibrateOptions& options) {
  const std::size_t rows = recording.rows();
  // The gyroscope needs the accelerometer's samples after the fit, and so does the white noise
  // of the stretches, which needs a rate: they are kept.
  const bool gyro = options.gyro && recording.layout.hasGyro();
  const bool rate = options.gyroOptions.rateHz > 0.0 || recording.rateFromHeader > 0.0;
  if (options.method == Method::kStretches || gyro || rate) {
    return calibrateAuto(static_cast<const Recording&>(recording), options);
  }
  Work w(recording, reload);
  Result out = calibrateAutoWork(w, options);
  out.noise = sessionNoise(recording, out, options.gyroOptions.rateHz);  // says why not: no rate
  noteReleased(recording, rows);
  return out;
}

Result calibrateAuto(const Recording& recording, const CalibrateOptions& options) {
  Result out;
  if (options.method == Method::kStretches) {
    // The stretches alone, judged as a stream would judge them.
    initializeCore();
    an::StretchScan scan(scanOptions(options));
    scan.push(recording.x.data(), recording.y.data(), recording.z.data(), recording.rows());
    scan.finish();
    out = calibrateScanned(recording, scan, options);
  } else {
    Work w(recording);
    out = calibrateAutoWork(w, options);
  }
  if (options.gyro && recording.layout.hasGyro()) {
    out.hasGyro = true;
    out.gyro = calibrateGyro(recording, out, options.gyroOptions);
  }
  out.noise = sessionNoise(recording, out, options.gyroOptions.rateHz);
  return out;
}

namespace {

Result calibrateAutoWork(Work& w, const CalibrateOptions& options) {
  w.gravity = gravityOf(options, kStandardGravity);
  prepare(w, options);
  const double outPerG = w.outputMs2 ? w.gravity : 1.0;
  // A result the stretches read no better than the raw readings gives way to the identity.
  auto finish = [&](an::RunResult& r, const TuningNumbers& t, bool used) {
    an::preferIdentity(r, w.scale, outPerG);
    Result out = toResult(w, r, t);
    out.parametersChosen = true;
    out.parametersUsed = used;
    return out;
  };
  an::RunResult first;
  TuningNumbers firstNumbers;
  bool searched = false;
  if (options.method != Method::kStretches) {
    for (int loosen = 0; loosen < 4 && !w.stretches.empty(); ++loosen) {
      const an::TuningChoice c = w.choose(loosen);
      if (!c.ok) break;
      TuningNumbers t = c.numbers;
      an::RunResult r = w.run(t, options.refine);
      // A wider band lets rests at other angles in; one that keeps them out may do instead.
      const double band = bandExcludingOffAxis(r, w.scale);
      if (!r.success && r.searchSucceeded && 100.0 * band < t.tolerancePct) {
        TuningNumbers narrow = t;
        narrow.tolerancePct = std::floor(95.0 * band * 10.0) / 10.0;
        if (narrow.tolerancePct > 0.0) {
          an::RunResult again = w.run(narrow, options.refine);
          if (again.success) {
            r = std::move(again);
            t = narrow;
          }
        }
      }
      if (r.success) return finish(r, t, true);
      if (!searched) {
        first = std::move(r);
        firstNumbers = t;
        searched = true;
      }
    }
  }
  std::vector<an::OrientationId> missing;
  if (options.method != Method::kSixRest && w.rows > 0) {
    // Six rests the band of the search could not tell from rests at other angles (a sensor whose
    // errors move its rests further than those lie) still show among the calibrated stretches.
    an::RunResult r =
        an::runStretchCalibration(nullptr, nullptr, nullptr, w.rows,
                                  w.runOptions(true), options.method != Method::kStretches,
                                  &missing);
    if (r.success) return finish(r, searched ? firstNumbers : TuningNumbers(), false);
    if (!searched) {
      first = std::move(r);
      firstNumbers = TuningNumbers();
    }
  }
  Result out = toResult(w, first, firstNumbers);
  out.success = false;
  out.parametersChosen = true;
  out.parametersUsed = searched;
  if (options.method == Method::kSixRest || w.stretches.empty() || missing.empty()) {
    explainFailure(w, first, firstNumbers, out);
  } else {
    explainUncovered(w, missing, out);
  }
  ensureReason(w, first, out);
  return out;
}

}  // namespace

const char* methodName(Method method) {
  switch (method) {
    case Method::kSixRest:
      return "six-rest";
    case Method::kStretches:
      return "stretches";
    default:
      return "auto";
  }
}

const char* rotationName(Rotation rotation) {
  switch (rotation) {
    case Rotation::kNone:
      return "none";
    case Rotation::kRests:
      return "rests";
    default:
      return "auto";
  }
}

Rotation rotationFromName(const std::string& name) {
  if (name == "auto") return Rotation::kAuto;
  if (name == "none") return Rotation::kNone;
  if (name == "rests") return Rotation::kRests;
  throw Error(Error::Kind::kInvalidArgument,
              "rotation must be auto, none or rests: \"" + name + "\"");
}

Method methodFromName(const std::string& name) {
  if (name == "auto") return Method::kAuto;
  if (name == "six-rest") return Method::kSixRest;
  if (name == "stretches") return Method::kStretches;
  throw Error(Error::Kind::kInvalidArgument,
              "method must be auto, six-rest or stretches: \"" + name + "\"");
}

}  // namespace tiltfit
