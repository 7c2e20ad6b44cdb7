#include "calibrationRun.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include <Eigen/Dense>

#include "getAccCalib.h"

namespace tiltfit {
namespace analysis {
namespace {

// Limits past which a user should hear about the result's quality.
constexpr double kMeanLimitMg = 2.0;
constexpr double kWorstLimitMg = 5.0;
constexpr double kAngleLimitDeg = 0.5;
constexpr double kWorseMarginMg = 0.1;
// An expected error worth a word when the stretches leave numbers to the prior.
constexpr double kExpectedLimitMg = 0.5;
constexpr double kFoundDeg = 20.0;    // a stretch this close to an axis stands for its orientation
constexpr double kCoveredDeg = 45.0;  // an axis direction some stretch comes this close to

// A calibration of g-scaled samples (g in, g out) as one of raw samples in output units:
// c = ((raw - zero) / perG) M + b, times outPerG.
Calibration toRawUnits(const Calibration& g, const InputScale& scale, double outPerG) {
  Calibration c;
  for (int j = 0; j < 3; ++j) {
    double shift = 0.0;
    for (int i = 0; i < 3; ++i) {
      c.gain[3 * i + j] = g.gain[3 * i + j] / scale.perG * outPerG;
      shift += g.gain[3 * i + j];
    }
    c.offset[j] = (g.offset[j] - scale.zero / scale.perG * shift) * outPerG;
  }
  return c;
}

Calibration identityG() {
  Calibration c;
  c.gain[0] = c.gain[4] = c.gain[8] = 1.0;
  return c;
}

std::string format(const char* fmt, double a, double b = 0.0, double c = 0.0) {
  char text[256];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  return text;
}

// Every stretch the fit uses counts in the quality figures: a selection of them would judge the
// calibration on fewer stretches than it was made from. Fills r.stretchesG and r.inQuality.
void selectAll(const std::vector<StillStretch>& stretches, RunResult& r) {
  r.stretchesG = stretches;
  r.inQuality.assign(stretches.size(), true);
}

// The held-out errors of the reported calibration (g): the fit's own leave-one-out for the fits
// over the stretches; for the six-rest fit, the stretches outside its six rests (which it never
// saw); for the identity, which is made from nothing, every stretch as it reads.
void heldOutOfReported(RunResult& r, const Calibration& reportedG) {
  const std::size_t n = r.stretchesG.size();
  r.notHeldOut.assign(n, std::string());
  HeldOut& h = r.heldOut;
  if (r.method == Method::kRefined || r.method == Method::kStretches) {
    h = r.fit.heldOut;
    for (std::size_t k = 0; k < n; ++k) {
      if (k < h.counted.size() && h.counted[k]) continue;
      r.notHeldOut[k] =
          "not held out: without it the other stretches do not fix every gain and offset";
    }
    return;
  }
  h = HeldOut();
  h.errorMg.assign(n, std::numeric_limits<double>::quiet_NaN());
  h.counted.assign(n, false);
  for (std::size_t k = 0; k < n; ++k) {
    const StillStretch& s = r.stretches[k];
    if (r.method == Method::kSixRest) {
      bool rest = false;
      for (const ChosenRest& c : r.rests) {
        rest = rest || (c.found && s.first + 1 <= c.last && c.first <= s.last + 1);
      }
      if (rest) {
        r.notHeldOut[k] = "not held out: it holds one of the six rests the six-rest fit is made of";
        continue;
      }
    }
    double v[3];
    reportedG.apply(r.stretchesG[k].mean, v);
    h.errorMg[k] = (std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - 1.0) * 1000.0;
    h.counted[k] = true;
    h.meanMg += std::abs(h.errorMg[k]);
    h.worstMg = std::max(h.worstMg, std::abs(h.errorMg[k]));
    ++h.folds;
  }
  if (h.folds > 0) h.meanMg /= static_cast<double>(h.folds);
}

bool withinLimits(const NormErrors& e) {
  return e.meanMg <= kMeanLimitMg && e.worstMg <= kWorstLimitMg;
}

std::string axisWord(const OrientationId& o) {
  return std::string(1, static_cast<char>('x' + o.axis)) + (o.level > 0 ? " up" : " down");
}

// "no still stretch with z pointing up (z at +1 g)": an axis pointing up reads +1 g.
std::string uncoveredText(const OrientationId& o) {
  const std::string axis(1, static_cast<char>('x' + o.axis));
  return "no still stretch with " + axis + " pointing " + (o.level > 0 ? "up" : "down") + " (" +
         orientationName(o) + ")";
}

// After a run asked for the refined fit, no warning may ask for it again, even where the fit could
// not be made.
void addWarnings(RunResult& r) {
  const StretchFit& f = r.fit;
  const bool fitted = r.method == Method::kRefined || r.method == Method::kStretches;
  static const char* const kPairs[3] = {"x-y", "x-z", "y-z"};
  std::string missing;
  int missingCount = 0;
  for (int q = 0; q < 3; ++q) {
    if (!f.crossDetermined[q]) {
      missing += missing.empty() ? kPairs[q] : std::string(", ") + kPairs[q];
      ++missingCount;
    }
  }
  // Cross-axis terms no stretch speaks for rest on the prior of a typical sensor.
  const std::string extra =
      missingCount == 0
          ? std::string()
          : std::string("the still stretches point in too few directions to fix the ") +
                (missingCount == 1 ? "cross-axis term " : "cross-axis terms ") + missing +
                ": record a few extra positions at other angles (tilted about halfway between " +
                (missingCount == 1 ? "those axes)" : "two axes)");
  // The fit over the stretches, judged by the same yardstick as the reported calibration.
  const bool refineHelps = !r.refineAsked && f.ok && (r.afterRefined.meanMg < r.after.meanMg ||
                                                      f.expectedErrorMg < r.expectedErrorMg);
  std::string refineAdvice =
      f.ok ? format("run with --refine, which fits every still stretch (expected error in any "
                    "direction %.2f mg, against %.2f mg for the six-rest fit)",
                    f.expectedErrorMg, r.expectedErrorMg)
           : std::string("run with --refine to fit every still stretch");
  if (!extra.empty() && f.expectedErrorMg > kExpectedLimitMg) refineAdvice += "; " + extra;

  const NormErrors& e = r.after;
  // Worse than the raw data by more than the noise of the figures themselves.
  const bool worse = e.meanMg > r.before.meanMg + kWorseMarginMg;
  const bool stretchesPoor = !withinLimits(e) || worse || std::isnan(e.worstMg);
  if (stretchesPoor) {
    std::string text = format(
        "calibrated, the still stretches are %.2f mg from 1 g on average and %.2f mg at worst "
        "(%.2f mg before calibration)",
        e.meanMg, e.worstMg, r.before.meanMg);
    if (worse) text += ", worse than no calibration";
    std::string advice;
    if (!fitted && refineHelps) {
      advice = refineAdvice;
    } else if (!extra.empty() && r.expectedErrorMg > kExpectedLimitMg) {
      advice = extra;
    } else {
      advice = "some stretches may hold motion, or the sensor may not be linear; check the recording";
    }
    r.warnings.push_back(text + ": " + advice);
  }

  // Tilted rests bias the six-rest fit; the fit over the stretches does not take their
  // directions for exact, so for it they are no warning.
  if (r.method == Method::kSixRest) {
    int tilted = 0;
    int worst = 0;
    for (int k = 0; k < 6; ++k) {
      if (r.angleDeg[k] > kAngleLimitDeg) ++tilted;
      if (r.angleDeg[k] > r.angleDeg[worst]) worst = k;
    }
    if (tilted > 0) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "%d of the six rests lie more than %.1f degrees from their axis after "
                    "calibration (%s: %.2f degrees)",
                    tilted, kAngleLimitDeg, orientationName(r.rests[worst].id).c_str(),
                    r.angleDeg[worst]);
      std::string advice = refineHelps ? refineAdvice : extra;
      if (advice.empty() && !r.refineAsked) advice = refineAdvice;
      if (advice.empty()) advice = "calibrate it from still stretches at other angles too";
      r.warnings.push_back(std::string(text) +
                           ": the rests were not square to gravity, which biases the six-rest "
                           "fit; " +
                           advice);
    }
  }

  // What the recording leaves to the prior, when it matters.
  if (fitted && !stretchesPoor && r.expectedErrorMg > kExpectedLimitMg) {
    std::vector<OrientationId> uncovered;
    if (r.method == Method::kStretches) {
      std::vector<StillStretch> calibrated = r.stretchesG;
      for (StillStretch& s : calibrated) {
        double v[3];
        f.calibration.apply(s.mean, v);
        std::copy(v, v + 3, s.mean);
      }
      uncovered = uncoveredOrientations(calibrated);
    }
    const std::string lead =
        format("the calibration may be %.2f mg off on average in directions the recording does "
               "not cover",
               r.expectedErrorMg);
    if (!uncovered.empty()) {
      std::string names;
      for (const OrientationId& o : uncovered) {
        names += (names.empty() ? "" : ", ") + axisWord(o);
      }
      r.warnings.push_back(lead + ": " + uncoveredText(uncovered[0]) +
                           (uncovered.size() > 1 ? " and others" : "") +
                           "; hold the device still with " + names + " for a few seconds each");
    } else if (!extra.empty()) {
      r.warnings.push_back(lead + ": " + extra);
    }
  }

  // A fit of nine numbers reads its own few stretches better than it reads any other direction.
  const HeldOut& h = r.heldOut;
  if (fitted && !stretchesPoor && h.folds > 0 && h.meanMg > kMeanLimitMg) {
    r.warnings.push_back(format(
        "each still stretch left out of the fit reads 1 g only within %.2f mg on average (%.2f mg "
        "at worst), against %.2f mg with it: the stretches are too few or disagree for the "
        "numbers fitted to them; record more positions, each still for a few seconds",
        h.meanMg, h.worstMg, e.meanMg));
  }
}

// Quality figures, uncertainty and warnings of a successful run whose fit and reported
// calibration (in g) are set.
void finish(RunResult& r, const Calibration& reportedG, const InputScale& scale, double outPerG) {
  const InputScale unitG;
  r.before = rawNormErrors(r.stretchesG, unitG);
  r.afterRefined = r.fit.ok ? calibratedNormErrors(r.stretchesG, r.fit.calibration, 1.0) : NormErrors{};
  r.after = calibratedNormErrors(r.stretchesG, reportedG, 1.0);
  r.reportedG = reportedG;
  r.reported = toRawUnits(reportedG, scale, outPerG);
  heldOutOfReported(r, reportedG);
  if (r.fit.ok) {
    r.uncertainty = uncertaintyOf(reportedG, r.fit, scale, outPerG);
    r.expectedErrorMg = expectedErrorMg(reportedG, r.fit);
  }
  // What directions it did not see showed is the least to expect in any direction.
  if (r.heldOut.folds > 0) r.expectedErrorMg = std::max(r.expectedErrorMg, r.heldOut.meanMg);
  addWarnings(r);
}

// The fit with or without its rotation, as choice decides, and the report of it.
void chooseRotation(RunResult& r, RotationChoice choice) {
  r.rotation = decideRotation(r.fit.rotation, choice);
  if (!r.rotation.applied) {
    r.fit = withoutRotation(r.fit);
    return;
  }
  for (int k = 0; k < 3; ++k) r.rotation.vectorDeg[k] = r.rotation.suggestedVectorDeg[k];
  r.rotation.angleDeg = r.rotation.suggestedDeg;
}

}  // namespace

const char* methodName(Method m) {
  switch (m) {
    case Method::kRefined:
      return "refined";
    case Method::kStretches:
      return "stretches";
    case Method::kIdentity:
      return "identity";
    default:
      return "six rests";
  }
}

std::vector<StillStretch> stretchesInG(const std::vector<StillStretch>& stretches,
                                       const InputScale& scale) {
  std::vector<StillStretch> g = stretches;
  for (StillStretch& s : g) {
    for (int j = 0; j < 3; ++j) {
      s.mean[j] = (s.mean[j] - scale.zero) / scale.perG;
      s.noise[j] /= scale.perG;
      s.meanSigma[j] /= scale.perG;
    }
  }
  return g;
}

std::vector<StillStretch> stretchesForFit(const double* x, const double* y, const double* z,
                                          std::size_t n, const NoiseFloor& floor,
                                          const InputScale& scale) {
  double cap[3];
  for (double& c : cap) c = kSpreadCapG * std::abs(scale.perG);
  return findStillStretches(x, y, z, n, floor, cap);
}

std::vector<OrientationId> uncoveredOrientations(const std::vector<StillStretch>& stretchesG) {
  std::vector<OrientationId> out;
  for (const OrientationId& o : kOrientations) {
    bool covered = false;
    for (const StillStretch& s : stretchesG) covered = covered || angleFromAxisDeg(s.mean, o) <= kCoveredDeg;
    if (!covered) out.push_back(o);
  }
  return out;
}

RunResult runCalibration(const double* x, const double* y, const double* z, std::size_t n,
                         const TuningNumbers& t, const RunOptions& options) {
  RunResult r;
  r.smoothed = std::make_unique<coder::array<double, 2>>();
  const InputScale& scale = options.scale;
  const bool identity = scale.zero == 0.0 && scale.perG == 1.0;

  // The noise floor and the stretches come first: the search may release the samples.
  r.noise = options.noise != nullptr ? *options.noise : estimateNoiseFloor(x, y, z, n);
  r.stretches = options.stretches != nullptr ? *options.stretches
                                             : stretchesForFit(x, y, z, n, r.noise, scale);

  // The search and the six-rest fit, on g-scaled samples: each column scaled just before it is
  // smoothed, so that at most one scaled column and, when the caller lets go of them, the
  // columns not yet smoothed are held beside the smoothed recording.
  std::vector<double> scaled;
  const double* in[3] = {x, y, z};
  ColumnHooks hooks;
  hooks.column = [&](int j) -> const double* {
    if (identity) return in[j];
    scaled.resize(n);
    for (std::size_t k = 0; k < n; ++k) scaled[k] = (in[j][k] - scale.zero) / scale.perG;
    if (options.releaseColumn) options.releaseColumn(j);
    return scaled.data();
  };
  hooks.smoothed = [&](int j) {
    if (identity && options.releaseColumn) options.releaseColumn(j);
  };
  double offset[3];
  double gainMatrix[9];
  boolean_T found = 0;
  AccCalibWindows windows;
  getAccCalibWindows(in[0], in[1], in[2], static_cast<int>(n), t.tolerancePct, t.moveMeanWindow,
                     t.diffThreshold, t.windowWidth, t.deltaThresholdWindow, offset, gainMatrix,
                     &found, &windows, r.smoothed.get(), &hooks);
  std::vector<double>().swap(scaled);

  // The core's gain matrix is column-major A with calibrated_j = sum_i A[3j + i] raw_i, which is
  // row i, column j of the printed matrix.
  Calibration sixRestG;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) sixRestG.gain[3 * i + j] = gainMatrix[i + 3 * j];
    sixRestG.offset[i] = offset[i];
  }
  r.sixRest = toRawUnits(sixRestG, scale, options.outPerG);
  r.reported = r.sixRest;

  // The chosen rests, in report order, with the mean of the smoothed rows the fit used.
  const double* smooth = r.smoothed->data();
  double meanG[6][3] = {};
  for (int k = 0; k < 6; ++k) {
    const OrientationId id = kOrientations[k];
    int search = 0;
    while (!(AccCalibWindows::kAxis[search] == id.axis + 1 &&
             AccCalibWindows::kLevel[search] == id.level)) {
      ++search;
    }
    ChosenRest& rest = r.rests[k];
    rest.id = id;
    rest.found = windows.found[search];
    rest.first = windows.first[search];
    rest.last = windows.last[search];
    if (n > 0 && rest.last >= rest.first) {
      for (int j = 0; j < 3; ++j) {
        double sum = 0.0;
        for (unsigned int row = rest.first; row <= rest.last; ++row) {
          sum += smooth[static_cast<std::size_t>(row - 1) + n * static_cast<std::size_t>(j)];
        }
        meanG[k][j] = sum / static_cast<double>(rest.last - rest.first + 1);
        rest.mean[j] = meanG[k][j] * scale.perG + scale.zero;
      }
    }
  }
  // Still stretches in g.
  const std::vector<StillStretch> allG = stretchesInG(r.stretches, scale);
  selectAll(allG, r);

  r.searchSucceeded = found != 0;
  if (r.searchSucceeded) r.restProblems = checkChosenRests(r.rests, scale, options.lineOf);
  r.success = r.searchSucceeded && r.restProblems.empty();
  if (!r.success) return r;

  // The fit over every still stretch, its rotation fixed by the six rests.
  RestDirection directions[6];
  for (int k = 0; k < 6; ++k) {
    directions[k].id = r.rests[k].id;
    std::copy(meanG[k], meanG[k] + 3, directions[k].mean);
    const double rows = static_cast<double>(r.rests[k].last - r.rests[k].first + 1);
    double noise = 0.0;
    for (double s : r.noise.sigma) noise = std::max(noise, s / std::abs(scale.perG));
    directions[k].sigma = noise / std::sqrt(rows);
  }
  StretchFitOptions fo;
  fo.stretches = &allG;
  fo.rests = directions;
  fo.start = sixRestG;
  // The stretch that holds each rest, to be held out with it.
  for (int k = 0; k < 6; ++k) {
    const ChosenRest& c = r.rests[k];
    for (std::size_t q = 0; q < r.stretches.size() && fo.restStretch[k] < 0; ++q) {
      const StillStretch& s = r.stretches[q];
      if (s.first + 1 <= c.last && c.first <= s.last + 1) fo.restStretch[k] = static_cast<int>(q);
    }
  }
  r.fit = fitStretches(fo);
  r.afterSixRest = calibratedNormErrors(r.stretchesG, sixRestG, 1.0);
  r.refineAsked = options.refine;
  r.refined = options.refine && r.fit.ok;
  r.method = r.refined ? Method::kRefined : Method::kSixRest;
  r.sixRestG = sixRestG;
  r.sixRestRotation = rotationAsIs(
      sixRestG, r.fit.rotation, "the six-rest fit turns its output to its six rests as they lie");
  if (r.refined) {
    chooseRotation(r, options.rotation);
  } else {
    r.rotation = r.sixRestRotation;
  }
  const Calibration reportedG = r.refined ? r.fit.calibration : sixRestG;

  for (int k = 0; k < 6; ++k) {
    double c[3];
    sixRestG.apply(meanG[k], c);
    c[r.rests[k].id.axis] -= r.rests[k].id.level;
    r.residualMg[k] = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]) * 1000.0;
    reportedG.apply(meanG[k], c);
    r.angleDeg[k] = angleFromAxisDeg(c, r.rests[k].id);
  }
  finish(r, reportedG, scale, options.outPerG);
  return r;
}

// The six-rest fit on six rest means (in g): for each output axis j the least-squares
// c_j = A_j . m + b_j over the six rests, with the axis level as target, as the core fits its six
// windows.
Calibration sixRestOnMeans(const RestDirection rests[6]) {
  Calibration c;
  Eigen::Matrix<double, 6, 4> X;
  for (int k = 0; k < 6; ++k) X.row(k) << rests[k].mean[0], rests[k].mean[1], rests[k].mean[2], 1.0;
  const Eigen::ColPivHouseholderQR<Eigen::Matrix<double, 6, 4>> qr(X);
  for (int j = 0; j < 3; ++j) {
    Eigen::Matrix<double, 6, 1> target = Eigen::Matrix<double, 6, 1>::Zero();
    for (int k = 0; k < 6; ++k)
      if (rests[k].id.axis == j) target[k] = rests[k].id.level;
    const Eigen::Vector4d beta = qr.solve(target);
    for (int i = 0; i < 3; ++i) c.gain[3 * i + j] = beta[i];
    c.offset[j] = beta[3];
  }
  return c;
}

RunResult runStretchCalibration(const double* x, const double* y, const double* z, std::size_t n,
                                const RunOptions& options, bool restsFromStretches,
                                std::vector<OrientationId>* missing) {
  RunResult r;
  r.refineAsked = true;  // the fit over the stretches is what this run reports
  const InputScale& scale = options.scale;
  r.noise = options.noise != nullptr ? *options.noise : estimateNoiseFloor(x, y, z, n);
  r.stretches = options.stretches != nullptr ? *options.stretches
                                             : stretchesForFit(x, y, z, n, r.noise, scale);
  const std::vector<StillStretch> allG = stretchesInG(r.stretches, scale);
  selectAll(allG, r);
  for (int k = 0; k < 6; ++k) r.rests[k].id = kOrientations[k];
  if (missing != nullptr) missing->clear();
  if (allG.empty()) return r;

  StretchFitOptions fo;
  fo.stretches = &allG;
  fo.start = identityG();
  r.fit = fitStretches(fo);
  r.method = Method::kStretches;
  if (!r.fit.ok || !r.fit.gainsAndOffsetsDetermined()) {
    if (missing != nullptr) *missing = uncoveredOrientations(allG);
    return r;
  }
  r.success = true;
  Calibration reportedG = r.fit.calibration;
  r.sixRest = toRawUnits(reportedG, scale, options.outPerG);
  r.sixRestG = reportedG;
  r.rotation = decideRotation(r.fit.rotation, options.rotation);
  r.sixRestRotation = r.rotation;
  // Each orientation is the calibrated stretch nearest its axis, when one lies close to it.
  int nearest[6] = {-1, -1, -1, -1, -1, -1};
  for (int k = 0; k < 6; ++k) {
    double best = kFoundDeg;
    for (std::size_t s = 0; s < allG.size(); ++s) {
      double v[3];
      reportedG.apply(allG[s].mean, v);
      const double angle = angleFromAxisDeg(v, r.rests[k].id);
      if (!(angle <= best)) continue;
      best = angle;
      nearest[k] = static_cast<int>(s);
    }
  }
  bool six = true;
  for (int k = 0; k < 6; ++k) six = six && nearest[k] >= 0;
  if (six && restsFromStretches) {
    // Six rests among the stretches: their directions give the rotation, as a six-rest fit's do.
    RestDirection directions[6];
    for (int k = 0; k < 6; ++k) {
      const StillStretch& s = allG[static_cast<std::size_t>(nearest[k])];
      directions[k].id = r.rests[k].id;
      std::copy(s.mean, s.mean + 3, directions[k].mean);
      directions[k].sigma = std::sqrt((s.meanSigma[0] * s.meanSigma[0] +
                                       s.meanSigma[1] * s.meanSigma[1] +
                                       s.meanSigma[2] * s.meanSigma[2]) /
                                      3.0);
    }
    const Calibration sixRestG = sixRestOnMeans(directions);
    StretchFitOptions withRests = fo;
    withRests.rests = directions;
    withRests.start = sixRestG;
    for (int k = 0; k < 6; ++k) withRests.restStretch[k] = nearest[k];
    StretchFit fit = fitStretches(withRests);
    if (fit.ok) {
      r.fit = fit;
      r.method = Method::kRefined;
      r.refined = true;
      r.sixRest = toRawUnits(sixRestG, scale, options.outPerG);
      r.sixRestG = sixRestG;
      r.sixRestRotation = rotationAsIs(sixRestG, fit.rotation,
                                       "the six-rest fit turns its output to its six rests as "
                                       "they lie");
      r.afterSixRest = calibratedNormErrors(r.stretchesG, sixRestG, 1.0);
      chooseRotation(r, options.rotation);
      reportedG = r.fit.calibration;
      for (int k = 0; k < 6; ++k) {
        double c[3];
        sixRestG.apply(directions[k].mean, c);
        c[directions[k].id.axis] -= directions[k].id.level;
        r.residualMg[k] = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]) * 1000.0;
      }
    }
  }
  for (int k = 0; k < 6; ++k) {
    if (nearest[k] < 0) continue;
    const std::size_t s = static_cast<std::size_t>(nearest[k]);
    ChosenRest& rest = r.rests[k];
    rest.found = true;
    rest.first = static_cast<unsigned int>(r.stretches[s].first + 1);
    rest.last = static_cast<unsigned int>(r.stretches[s].last + 1);
    std::copy(r.stretches[s].mean, r.stretches[s].mean + 3, rest.mean);
    double v[3];
    reportedG.apply(allG[s].mean, v);
    r.angleDeg[k] = angleFromAxisDeg(v, rest.id);
    if (r.method == Method::kStretches)
      r.residualMg[k] = std::abs(std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - 1.0) * 1000.0;
  }
  finish(r, reportedG, scale, options.outPerG);
  return r;
}

bool preferIdentity(RunResult& r, const InputScale& scale, double outPerG) {
  if (!r.success || r.stretchesG.empty()) return false;
  // The raw readings of the stretches held out, to set against their held-out errors.
  double rawHeld = 0.0;
  const HeldOut& h = r.heldOut;
  for (std::size_t k = 0; k < r.stretchesG.size() && k < h.counted.size(); ++k) {
    if (!h.counted[k]) continue;
    const double* m = r.stretchesG[k].mean;
    rawHeld += std::abs(std::sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]) - 1.0) * 1000.0;
  }
  if (h.folds > 0) rawHeld /= static_cast<double>(h.folds);
  const bool heldOutNoBetter = h.folds > 0 && h.meanMg >= rawHeld;
  if (!(r.after.meanMg >= r.before.meanMg) && !heldOutNoBetter) return false;
  const Calibration none = identityG();
  r.method = Method::kIdentity;
  r.refined = false;
  r.warnings.clear();
  r.rotation = rotationAsIs(none, r.fit.rotation,
                            "none: the identity keeps the sensor's own axes");
  finish(r, none, scale, outPerG);
  r.warnings.clear();
  r.warnings.push_back(
      format("the sensor already reads within %.2f mg of 1 g on average in its still stretches "
             "(%.2f mg at worst), and no fit does better: the calibration reported is none (the "
             "identity)",
             r.before.meanMg, r.before.worstMg));
  return true;
}

}  // namespace analysis
}  // namespace tiltfit
