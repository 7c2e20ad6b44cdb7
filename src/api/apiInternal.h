// What the parts of the public library share: one calibration's working state and the
// conversions between the analysis layer's types and the public ones.
#ifndef TILTFIT_API_APIINTERNAL_H
#define TILTFIT_API_APIINTERNAL_H

#include <string>
#include <vector>

#include "autoTune.h"
#include "calibrationRun.h"
#include "layoutSniff.h"
#include "stillStretches.h"
#include "stretchScan.h"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace api {

namespace an = analysis;

// Initialises the core's library once, before any thread calibrates.
void initializeCore();

// What one calibration of a recording decided before and after the run.
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
    if (!rec.lineRuns.empty()) {
      const Recording* r = &rec;
      o.lineOf = [r](std::size_t row) { return r->lineOf(row); };
    }
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


// The layout of rec's text (its sampleLines), as readRecording detects it.
void detectLayoutOf(const ReadOptions& options, Recording& rec);
// The one line that says a source is no text but `kind`, and what to do.
std::string notTextLine(const std::string& name, const std::string& kind);

// The fit over the still stretches alone, from a scan of the samples (which info need not hold:
// it gives the text's layout and lines). Fails with what to record when they determine nothing.
Result calibrateScanned(const Recording& info, an::StretchScan& scan,
                        const CalibrateOptions& options);
an::ScanOptions scanOptions(const CalibrateOptions& options);

// The public result of a run.
Result toResult(const Work& w, const an::RunResult& r, const TuningNumbers& numbers);
TuningNumbers fromAnalysis(const an::TuningNumbers& t);
Units toPublic(an::Units u);
// Units as given, or judged by the still stretches.
void decideUnits(Work& w, Units units, const std::string& outputUnits);
an::Layout toAnalysisLayout(const Layout& l);

// explainProblems, and on each orientation not found the sentence that concerns it.
void explainFailure(const Work& w, const an::RunResult& r, const TuningNumbers& numbers,
                    Result& out);
// After the stretches alone could not determine a calibration: what to record, one sentence per
// orientation no stretch comes near ("no still stretch with z pointing up (z at +1 g): hold the
// device with z up for a few seconds").
void explainUncovered(const Work& w, const std::vector<an::OrientationId>& missing, Result& out);
// Other numbers (and units) that calibrate the recording after a classic run failed, each checked
// by a run.
void suggest(const Work& w, const TuningNumbers& given, const CalibrateOptions& options,
             const an::RunResult& failed, Result& out);

}  // namespace api
}  // namespace tiltfit

#endif
