#include "stretchScan.h"

#include <cmath>

namespace tiltfit {
namespace analysis {

StretchScan::StretchScan(const ScanOptions& options) : options_(options) {}

StretchScan::StretchScan(const StretchScan& other)
    : options_(other.options_),
      samples_(other.samples_),
      prefix_{other.prefix_[0], other.prefix_[1], other.prefix_[2]},
      started_(other.started_),
      floor_(other.floor_),
      units_(other.units_),
      scale_(other.scale_),
      strictTracker_(other.strictTracker_ ? std::make_unique<StretchTracker>(*other.strictTracker_)
                                          : nullptr),
      widenedTracker_(other.widenedTracker_
                          ? std::make_unique<StretchTracker>(*other.widenedTracker_)
                          : nullptr),
      strict_(other.strict_),
      widened_(other.widened_) {}

void StretchScan::push(double x, double y, double z) {
  ++samples_;
  if (!started_) {
    prefix_[0].push_back(x);
    prefix_[1].push_back(y);
    prefix_[2].push_back(z);
    if (prefix_[0].size() >= kScanPrefix) start();
    return;
  }
  track(x, y, z);
}

void StretchScan::push(const double* x, const double* y, const double* z, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) push(x[k], y[k], z[k]);
}

void StretchScan::track(double x, double y, double z) {
  strictTracker_->push(x, y, z);
  widenedTracker_->push(x, y, z);
  // Taken as they end, so that nothing but the stretches accumulates.
  for (const StillStretch& s : strictTracker_->take()) strict_.push_back(s);
  for (const StillStretch& s : widenedTracker_->take()) widened_.push_back(s);
}

void StretchScan::start() {
  started_ = true;
  const std::size_t n = prefix_[0].size();
  const double* p[3] = {prefix_[0].data(), prefix_[1].data(), prefix_[2].data()};
  if (n > 0) floor_ = estimateNoiseFloor(p[0], p[1], p[2], n);
  // A first scale to g, for the widening: known, or judged on the prefix's stretches.
  scale_ = options_.scale;
  if (!options_.unitsKnown && n > 0) {
    const std::vector<StillStretch> first = findStillStretches(p[0], p[1], p[2], n, floor_);
    scale_ = options_.counts ? countsScale(first) : detectUnits(first).scale;
  }
  TrackerOptions strict;
  strict.floor = floor_;
  TrackerOptions widened = strict;
  for (double& c : widened.spreadCap) c = kSpreadCapG * std::abs(scale_.perG);
  strictTracker_ = std::make_unique<StretchTracker>(strict);
  widenedTracker_ = std::make_unique<StretchTracker>(widened);
  for (std::size_t k = 0; k < n; ++k) track(p[0][k], p[1][k], p[2][k]);
  for (std::vector<double>& column : prefix_) std::vector<double>().swap(column);
}

void StretchScan::finish() {
  if (!started_) start();
  strictTracker_->finish();
  widenedTracker_->finish();
  for (const StillStretch& s : strictTracker_->take()) strict_.push_back(s);
  for (const StillStretch& s : widenedTracker_->take()) widened_.push_back(s);
  // The units, judged on every stretch of the noise floor as --auto judges them.
  if (options_.unitsKnown) {
    units_ = options_.scale.perG == 1.0 && options_.scale.zero == 0.0 ? Units::kG : Units::kMs2;
    scale_ = options_.scale;
  } else if (options_.counts) {
    units_ = Units::kCounts;
    scale_ = countsScale(strict_);
  } else {
    const UnitsGuess g = detectUnits(strict_);
    units_ = g.units;
    scale_ = g.scale;
  }
}

}  // namespace analysis
}  // namespace tiltfit
