// The still stretches of a recording read as a stream, in memory that does not grow with its
// length: what the fit over the stretches alone needs, without keeping the samples.
#ifndef TILTFIT_ANALYSIS_STRETCHSCAN_H
#define TILTFIT_ANALYSIS_STRETCHSCAN_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "autoTune.h"
#include "calibrationQuality.h"
#include "stillStretches.h"
#include "stretchTracker.h"

namespace tiltfit {
namespace analysis {

struct ScanOptions {
  // The recording's units when known (a scale to g); judged from its still stretches otherwise.
  bool unitsKnown = false;
  InputScale scale;
  bool counts = false;  // judged, but known to be raw counts
};

// Samples are pushed in order. The first kScanPrefix of them are held to judge the noise floor and
// a first scale to g (for how far a hand-held stretch may widen its test); then two trackers run
// over every sample: one at the noise floor alone, whose stretches judge the units at the end as
// --auto judges them, and one widened, whose stretches the fit uses. A recording of any length
// costs the prefix and the stretches.
class StretchScan {
 public:
  static constexpr std::size_t kScanPrefix = std::size_t{1} << 20;

  explicit StretchScan(const ScanOptions& options);
  // A copy goes on from where this one stands (a live capture calibrates a copy, finished, while
  // the capture goes on).
  StretchScan(const StretchScan& other);
  StretchScan& operator=(const StretchScan&) = delete;
  void push(double x, double y, double z);
  void push(const double* x, const double* y, const double* z, std::size_t n);
  // Ends the input and judges the units.
  void finish();

  std::uint64_t samples() const { return samples_; }
  const NoiseFloor& floor() const { return floor_; }
  Units units() const { return units_; }
  const InputScale& scale() const { return scale_; }
  // The stretches the fit uses, in the recording's units; rows are sample numbers (0-based).
  const std::vector<StillStretch>& stretches() const { return widened_; }
  // The stretches of the noise floor alone (what the units were judged on).
  const std::vector<StillStretch>& strictStretches() const { return strict_; }

 private:
  void start();  // judges the floor and first scale from the prefix, starts the trackers
  void track(double x, double y, double z);

  ScanOptions options_;
  std::uint64_t samples_ = 0;
  std::vector<double> prefix_[3];
  bool started_ = false;
  NoiseFloor floor_;
  Units units_ = Units::kG;
  InputScale scale_;
  std::unique_ptr<StretchTracker> strictTracker_;
  std::unique_ptr<StretchTracker> widenedTracker_;
  std::vector<StillStretch> strict_;
  std::vector<StillStretch> widened_;
};

}  // namespace analysis
}  // namespace tiltfit

#endif
