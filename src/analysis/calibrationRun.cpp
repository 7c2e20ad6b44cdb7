#include "calibrationRun.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "getAccCalib.h"

namespace tiltfit {
namespace analysis {
namespace {

// Limits past which a user should hear about the result's quality.
constexpr double kMeanLimitMg = 2.0;
constexpr double kWorstLimitMg = 5.0;
constexpr double kAngleLimitDeg = 0.5;
constexpr double kWorseMarginMg = 0.1;
constexpr double kPreciseMg = 0.5;

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

std::string format(const char* fmt, double a, double b, double c) {
  char text[256];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  return text;
}

// The stretches whose mean is known to within kPreciseMg: a short stretch of a noisy sensor says
// more about its noise than about the calibration. All of them when none is that precise.
std::vector<StillStretch> precise(std::vector<StillStretch> stretches) {
  std::vector<StillStretch> kept;
  for (const StillStretch& s : stretches) {
    const double var =
        (s.noise[0] * s.noise[0] + s.noise[1] * s.noise[1] + s.noise[2] * s.noise[2]) / 3.0;
    if (std::sqrt(var / static_cast<double>(s.length())) * 1000.0 <= kPreciseMg) kept.push_back(s);
  }
  return kept.empty() ? stretches : kept;
}

bool withinLimits(const NormErrors& e) {
  return e.meanMg <= kMeanLimitMg && e.worstMg <= kWorstLimitMg;
}

// refineAsked: the run was asked for the refined fit, so no warning may ask for it again, even
// where the refinement could not be applied.
void addWarnings(RunResult& r, bool refineAsked) {
  const RefineOutcome& f = r.refinement;
  // The cross-axis terms no stretch speaks for keep their six-rest values.
  static const char* const kPairs[3] = {"x-y", "x-z", "y-z"};
  std::string missing;
  int missingCount = 0;
  for (int q = 0; q < 3; ++q) {
    if (!f.crossDetermined[q]) {
      missing += missing.empty() ? kPairs[q] : std::string(", ") + kPairs[q];
      ++missingCount;
    }
  }
  std::string extra;
  if (missingCount > 0) {
    extra = std::string("the still stretches point in too few directions to fix the ") +
            (missingCount == 1 ? "cross-axis term " : "cross-axis terms ") + missing +
            (missingCount == 1 ? ", which keeps its six-rest value"
                               : ", which keep their six-rest values") +
            ": record a few extra positions at other angles "
            "(tilted about halfway between those axes)" +
            (refineAsked ? std::string() : std::string(" and run with --refine"));
  }
  std::string advice;
  if (!refineAsked) {
    // With no cross-axis term fixed, a refinement that fits the stretches fits only the rests it
    // came from: it cannot mend the directions between them.
    if (f.applied && withinLimits(r.afterRefined) && missingCount < 3) {
      advice = format(
          "run with --refine to fit every still stretch (it gives %.2f mg on average, "
          "%.2f mg at worst)",
          r.afterRefined.meanMg, r.afterRefined.worstMg, 0.0);
      if (missingCount > 0) {
        advice += std::string("; ") +
                  (missingCount == 1 ? "the cross-axis term " : "the cross-axis terms ") + missing +
                  (missingCount == 1 ? " keeps its" : " keep their") +
                  " six-rest value, as no still stretch lies between those axes: a few extra "
                  "positions there would fix that too";
      }
    } else {
      advice = extra.empty() ? std::string("run with --refine to fit every still stretch") : extra;
    }
  } else {
    advice = extra.empty() ? std::string(
                                 "some stretches may hold motion, or the sensor may not "
                                 "be linear; check the recording")
                           : extra;
  }

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
    r.warnings.push_back(text + ": " + advice);
  }

  // Tilted rests bias the six-rest fit. A refinement that brings every stretch to 1 g has removed
  // that bias from the magnitudes; only undetermined cross-axis terms are then worth a word.
  if (!(r.refined && !stretchesPoor && missingCount == 0)) {
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
      r.warnings.push_back(std::string(text) +
                           ": the rests were not square to gravity, which biases the six-rest "
                           "fit; " +
                           advice);
    }
  }
}

}  // namespace

std::vector<StillStretch> stretchesInG(const std::vector<StillStretch>& stretches,
                                       const InputScale& scale) {
  std::vector<StillStretch> g = stretches;
  for (StillStretch& s : g) {
    for (int j = 0; j < 3; ++j) {
      s.mean[j] = (s.mean[j] - scale.zero) / scale.perG;
      s.noise[j] /= scale.perG;
    }
  }
  return g;
}

RunResult runCalibration(const double* x, const double* y, const double* z, std::size_t n,
                         const TuningNumbers& t, const RunOptions& options) {
  RunResult r;
  r.smoothed = std::make_unique<coder::array<double, 2>>();
  const InputScale& scale = options.scale;
  const bool identity = scale.zero == 0.0 && scale.perG == 1.0;

  // The search and the six-rest fit, on g-scaled samples.
  std::vector<double> scaled[3];
  const double* in[3] = {x, y, z};
  if (!identity) {
    for (int j = 0; j < 3; ++j) {
      scaled[j].resize(n);
      for (std::size_t k = 0; k < n; ++k) scaled[j][k] = (in[j][k] - scale.zero) / scale.perG;
      in[j] = scaled[j].data();
    }
  }
  double offset[3];
  double gainMatrix[9];
  boolean_T found = 0;
  AccCalibWindows windows;
  getAccCalibWindows(in[0], in[1], in[2], static_cast<int>(n), t.tolerancePct, t.moveMeanWindow,
                     t.diffThreshold, t.windowWidth, t.deltaThresholdWindow, offset, gainMatrix,
                     &found, &windows, r.smoothed.get());
  for (auto& column : scaled) std::vector<double>().swap(column);

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
  // Still stretches, in the recording's units and in g.
  r.noise = options.noise != nullptr ? *options.noise : estimateNoiseFloor(x, y, z, n);
  r.stretches =
      options.stretches != nullptr ? *options.stretches : findStillStretches(x, y, z, n, r.noise);
  r.stretchesG = precise(stretchesInG(r.stretches, scale));
  const std::vector<StillStretch>& stretchesG = r.stretchesG;

  r.searchSucceeded = found != 0;
  if (r.searchSucceeded) r.restProblems = checkChosenRests(r.rests, scale, options.lineOf);
  r.success = r.searchSucceeded && r.restProblems.empty();
  if (!r.success) return r;

  r.refinement = refineCalibration(stretchesG, sixRestG);
  const InputScale unitG;
  r.before = rawNormErrors(stretchesG, unitG);
  r.afterSixRest = calibratedNormErrors(stretchesG, sixRestG, 1.0);
  r.afterRefined = calibratedNormErrors(stretchesG, r.refinement.calibration, 1.0);
  // A refinement that fits the stretches worse than the six rests is no refinement.
  if (r.refinement.applied && r.afterRefined.meanMg > r.afterSixRest.meanMg) {
    r.refinement.applied = false;
    r.refinement.calibration = sixRestG;
    r.afterRefined = r.afterSixRest;
  }
  r.refined = options.refine && r.refinement.applied;
  const Calibration& reportedG = r.refined ? r.refinement.calibration : sixRestG;
  if (r.refined) r.reported = toRawUnits(reportedG, scale, options.outPerG);
  r.after = r.refined ? r.afterRefined : r.afterSixRest;

  for (int k = 0; k < 6; ++k) {
    double c[3];
    sixRestG.apply(meanG[k], c);
    c[r.rests[k].id.axis] -= r.rests[k].id.level;
    r.residualMg[k] = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]) * 1000.0;
    reportedG.apply(meanG[k], c);
    r.angleDeg[k] = angleFromAxisDeg(c, r.rests[k].id);
  }
  addWarnings(r, options.refine);
  return r;
}

}  // namespace analysis
}  // namespace tiltfit
