// What the parts of the public library share: one calibration's working state and the
// conversions between the analysis layer's types and the public ones.
#ifndef TILTFIT_API_APIINTERNAL_H
#define TILTFIT_API_APIINTERNAL_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "autoTune.h"
#include "calibrationRun.h"
#include "layoutSniff.h"
#include "rotationChoice.h"
#include "stillStretches.h"
#include "stillness.h"
#include "stretchScan.h"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace api {

namespace an = analysis;

// The m/s^2 of 1 g that options ask for, or the mode's own; throws Error for a value no planet
// has (it must lie within 1 to 30 m/s^2).
double gravityOf(const CalibrateOptions& options, double modeDefault);

// Initialises the core's library once, before any thread calibrates.
void initializeCore();

// What one calibration of a recording decided before and after the run.
struct Work {
  // The text's layout and lines, and its samples unless they were handed over and released.
  const Recording& rec;
  std::size_t rows = 0;  // samples of the recording
  an::NoiseFloor noise;
  std::vector<an::StillStretch> stretches;  // recording units; rests only
  // Stretches found that move too much for a rest (an::takeMoving), in recording units.
  std::vector<an::StillStretch> moving;
  an::RotationChoice rotation = an::RotationChoice::kAuto;
  an::Units units = an::Units::kG;
  an::InputScale scale;
  bool outputMs2 = false;
  double gravity = kClassicGravity;  // m/s^2 of 1 g, in and out
  bool refine = false;
  explicit Work(const Recording& r) : rec(r), rows(r.rows()) { initializeCore(); }
  // A recording handed over: the search releases its columns once it has smoothed them, and
  // reload reads it again when the samples are needed once more (another run, an explanation).
  Work(Recording& handed, std::function<Recording()> again)
      : rec(handed), rows(handed.rows()), handed_(&handed), reload_(std::move(again)) {
    initializeCore();
  }

  // The samples: the recording's, or read again when its columns were released.
  const Recording& raw() const {
    if (current_ == nullptr) current_ = &rec;
    if (current_->rows() != rows && reload_) {
      again_ = std::make_unique<Recording>(reload_());
      current_ = again_.get();
    }
    return *current_;
  }

  an::RunOptions runOptions(bool withRefine) const {
    an::RunOptions o;
    o.scale = scale;
    o.outPerG = outputMs2 ? gravity : 1.0;
    o.refine = withRefine;
    o.noise = &noise;
    o.stretches = &stretches;
    o.rotation = rotation;
    if (!rec.lineRuns.empty()) {
      const Recording* r = &rec;
      o.lineOf = [r](std::size_t row) { return r->lineOf(row); };
    }
    return o;
  }
  an::RunResult run(const TuningNumbers& t, bool withRefine) const {
    if (rows == 0) return an::RunResult();
    const Recording& samples = raw();
    const an::TuningNumbers n{t.tolerancePct, t.moveMeanWindow, t.diffThreshold, t.windowWidth,
                              t.deltaThresholdWindow};
    an::RunOptions o = runOptions(withRefine);
    // Samples that can be read again may go as soon as the search has smoothed them.
    Recording* mine = samples.rows() == rows && reload_
                          ? (current_ == again_.get() ? again_.get() : handed_)
                          : nullptr;
    if (mine != nullptr) {
      o.releaseColumn = [mine](int j) {
        std::vector<double>& column = j == 0 ? mine->x : j == 1 ? mine->y : mine->z;
        std::vector<double>().swap(column);
      };
    }
    return an::runCalibration(samples.x.data(), samples.y.data(), samples.z.data(), rows, n, o);
  }
  an::TuningChoice choose(int loosen) const {
    const Recording& samples = raw();
    return an::chooseTuningNumbers(samples.x.data(), samples.y.data(), samples.z.data(), rows,
                                   scale, an::stretchesInG(stretches, scale), loosen);
  }

 private:
  Recording* handed_ = nullptr;
  std::function<Recording()> reload_;
  mutable std::unique_ptr<Recording> again_;
  mutable const Recording* current_ = nullptr;
};

// The layout of rec's text (its sampleLines), as readRecording detects it.
void detectLayoutOf(const ReadOptions& options, Recording& rec);
// The fit over the still stretches alone, from a scan of the samples (which info need not hold:
// it gives the text's layout and lines). Fails with what to record when they determine nothing.
Result calibrateScanned(const Recording& info, an::StretchScan& scan,
                        const CalibrateOptions& options);
an::ScanOptions scanOptions(const CalibrateOptions& options);
an::RotationChoice toAnalysis(Rotation r);

// The public result of a run.
Result toResult(const Work& w, const an::RunResult& r, const TuningNumbers& numbers);
Units toPublic(an::Units u);
// Units as given, or judged by the still stretches.
void decideUnits(Work& w, Units units, const std::string& outputUnits);

// explainProblems, and on each orientation not found the sentence that concerns it.
void explainFailure(const Work& w, const an::RunResult& r, const TuningNumbers& numbers,
                    Result& out);
// After any failure whose problems are still empty: a reason all the same (no rest, the fit over
// the stretches did not converge or leaves gains and offsets to the prior, no six rests found).
void ensureReason(const Work& w, const an::RunResult& r, Result& out);
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
