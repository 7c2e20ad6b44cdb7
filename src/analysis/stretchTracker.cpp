#include "stretchTracker.h"

#include <algorithm>
#include <cmath>

namespace tiltfit {
namespace analysis {
namespace {

constexpr double kThreshold = 4.5;  // normalised distance of a still sample from the mean
constexpr int kMaxSkipped = 2;      // consecutive outside values a stretch survives
constexpr std::size_t kBlockSizes[] = {4, 16, 64, 256, 1024};
constexpr std::size_t kMinBlocks = 16;  // blocks a level needs before it speaks for the mean
// Samples a stretch needs before its own spread may widen its test: enough for the spread to mean
// something, few enough that a fast hand-held wobble cannot keep the stretch from starting.
constexpr std::size_t kMinSpreadSamples = 8;
// The most samples between two stretches that one may continue the other: the skipped values
// and a piece too short to keep.
constexpr std::uint64_t kJoinGap = 2 * kMinStillSamples;

bool opens(const double v[3]) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) &&
         !(v[0] == 0.0 && v[1] == 0.0 && v[2] == 0.0);
}

}  // namespace

StretchTracker::StretchTracker(const TrackerOptions& options) : options_(options) {
  for (int j = 0; j < 3; ++j) {
    floor2_[j] = options_.floor.sigma[j] * options_.floor.sigma[j];
    const double cap = std::max(options_.spreadCap[j], options_.floor.sigma[j]);
    cap2_[j] = cap * cap;
  }
}

void StretchTracker::push(double x, double y, double z) {
  feed(Sample{{x, y, z}, row_++});
  // Samples a closed stretch left behind are examined again, in order.
  while (!replay_.empty()) {
    const Sample s = replay_.front();
    replay_.pop_front();
    feed(s);
  }
  // Nothing can continue the pending stretch any more once its gap is past.
  if (pending_ && (open_.count == 0 ? row_ : open_.first) > kept_.last + 1 + kJoinGap) {
    emitPending();
  }
}

void StretchTracker::push(const double* x, const double* y, const double* z, std::size_t n) {
  std::size_t k = 0;
  while (k < n) {
    // Most samples lie inside a long stretch: those take the short way, sample by sample the
    // same arithmetic as feed and accept.
    if (open_.count >= kMinSpreadSamples && replay_.empty() && outside_.empty() &&
        !(pending_ && open_.first > kept_.last + 1 + kJoinGap)) {
      k += streak(x + k, y + k, z + k, n - k);
      if (k >= n) break;
    }
    push(x[k], y[k], z[k]);
    ++k;
  }
}

std::size_t StretchTracker::streak(const double* x, const double* y, const double* z,
                                   std::size_t n) {
  Sums& o = open_;
  // As feed does before its test, the units of a count that is a multiple of the spread's step.
  if (o.count % kMinSpreadSamples == 0) updateSpread();
  double sum[3], sumSq[3], sumTime[3], partial[3], previous[3], unit2[3];
  for (int j = 0; j < 3; ++j) {
    sum[j] = o.sum[j];
    sumSq[j] = o.sumSq[j];
    sumTime[j] = o.sumTime[j];
    partial[j] = o.levels[0].partial[j];
    previous[j] = previous_[j];
    unit2[j] = unit2_[j];
  }
  double time = o.time;
  double timeSq = o.timeSq;
  std::size_t count = o.count;
  std::size_t changes = o.changes;
  std::size_t filled = o.levels[0].filled;
  const std::uint64_t firstRow = o.first;
  std::uint64_t row = row_;
  auto store = [&]() {
    for (int j = 0; j < 3; ++j) {
      o.sum[j] = sum[j];
      o.sumSq[j] = sumSq[j];
      o.sumTime[j] = sumTime[j];
      o.levels[0].partial[j] = partial[j];
      previous_[j] = previous[j];
    }
    o.time = time;
    o.timeSq = timeSq;
    o.count = count;
    o.changes = changes;
    o.levels[0].filled = filled;
    row_ = row;
  };
  std::size_t k = 0;
  for (; k < n; ++k) {
    const double v[3] = {x[k], y[k], z[k]};
    const double c = static_cast<double>(count);
    const double c2 = c * c;
    double E2[3];
    double U[3];
    for (int j = 0; j < 3; ++j) {
      const double e = c * (v[j] - o.origin[j]) - sum[j];
      E2[j] = e * e;
      U[j] = c2 * unit2[j];
    }
    const bool inside = E2[0] * U[1] * U[2] + E2[1] * U[0] * U[2] + E2[2] * U[0] * U[1] <
                        kThreshold * kThreshold * U[0] * U[1] * U[2];
    if (!(inside && opens(v))) break;
    const double t = static_cast<double>(row - firstRow);
    bool changed = false;
    for (int j = 0; j < 3; ++j) {
      const double d = v[j] - o.origin[j];
      sum[j] += d;
      sumSq[j] += d * d;
      sumTime[j] += t * d;
      partial[j] += d;
      changed = changed || v[j] != previous[j];
      previous[j] = v[j];
    }
    time += t;
    timeSq += t * t;
    if (changed) ++changes;
    ++count;
    o.last = row;
    ++row;
    if (++filled == 4 || count % kMinSpreadSamples == 0) {
      store();
      if (filled == 4) {
        cascade();
        filled = 0;
        for (int j = 0; j < 3; ++j) partial[j] = 0.0;
      }
      if (count % kMinSpreadSamples == 0) {
        updateSpread();
        for (int j = 0; j < 3; ++j) unit2[j] = unit2_[j];
      }
    }
  }
  store();
  return k;
}

void StretchTracker::finish() {
  while (open_.count > 0) {
    close();
    while (!replay_.empty()) {
      const Sample s = replay_.front();
      replay_.pop_front();
      feed(s);
    }
  }
  emitPending();
}

std::vector<StillStretch> StretchTracker::take() {
  std::vector<StillStretch> out;
  out.swap(done_);
  return out;
}

bool StretchTracker::growing() const { return open_.count > 0; }

std::uint64_t StretchTracker::oldestRowInUse() const {
  std::uint64_t oldest = row_;
  if (open_.count > 0) oldest = std::min(oldest, open_.first);
  if (pending_) oldest = std::min(oldest, kept_.first);
  return oldest;
}

StillStretch StretchTracker::current() const {
  if (open_.count == 0) return StillStretch();
  return stretchOf(pending_ && continues(open_) ? joined(kept_, open_) : open_);
}

void StretchTracker::open(const Sample& s) {
  open_.reset();
  for (int j = 0; j < 3; ++j) unit2_[j] = floor2_[j];
  for (int j = 0; j < 3; ++j) {
    open_.origin[j] = s.v[j];
    previous_[j] = s.v[j];
  }
  open_.first = s.row;
  accept(s);
}

inline void StretchTracker::accept(const Sample& s) {
  Sums& o = open_;
  bool changed = o.count == 0;
  const double t = static_cast<double>(s.row - o.first);
  for (int j = 0; j < 3; ++j) {
    const double d = s.v[j] - o.origin[j];
    o.sum[j] += d;
    o.sumSq[j] += d * d;
    o.sumTime[j] += t * d;
    changed = changed || s.v[j] != previous_[j];
    previous_[j] = s.v[j];
  }
  Level& first = o.level(0);
  for (int j = 0; j < 3; ++j) first.partial[j] += s.v[j] - o.origin[j];
  o.time += t;
  o.timeSq += t * t;
  if (changed) ++o.changes;
  if (++first.filled == 4) cascade();
  ++o.count;
  o.last = s.row;
  outside_.clear();
  outsideValues_ = 0;
}

// A full block hands its sum on to the next level's block, which is four times as long.
void StretchTracker::cascade() {
  Sums& o = open_;
  for (int k = 0; k < kLevels; ++k) {
    Level& l = o.levels[k];
    if (k > 0 && ++l.filled < 4) break;
    const double size = static_cast<double>(kBlockSizes[k]);
    Level* next = k + 1 < kLevels ? &o.level(k + 1) : nullptr;
    for (int j = 0; j < 3; ++j) {
      const double m = l.partial[j] / size;
      l.sum[j] += m;
      l.sumSq[j] += m * m;
      if (next != nullptr) next->partial[j] += l.partial[j];
      l.partial[j] = 0.0;
    }
    l.filled = 0;
    ++l.blocks;
  }
}

double StretchTracker::unit(const Sums& s, int j) const {
  if (s.count < kMinSpreadSamples || !(options_.spreadCap[j] > 0.0)) return options_.floor.sigma[j];
  const double n = static_cast<double>(s.count);
  const double mean = s.sum[j] / n;
  const double spread = std::sqrt(std::max(0.0, s.sumSq[j] / n - mean * mean));
  return std::max(options_.floor.sigma[j], std::min(spread, options_.spreadCap[j]));
}

void StretchTracker::feed(const Sample& s) {
  if (open_.count == 0) {
    if (opens(s.v)) open(s);
    return;
  }
  // The test sum_j (e_j / u_j)^2 < 4.5^2, e the distance from the mean and u the test unit, scaled
  // by the count n and multiplied out so that no division is needed on this path, the tool's
  // busiest: with E_j = n e_j = n (v_j - origin_j) - sum_j and U_j = n^2 u_j^2, where n^2 times
  // the spread's variance is n sumSq_j - sum_j^2, it reads
  // E_0^2 U_1 U_2 + E_1^2 U_0 U_2 + E_2^2 U_0 U_1 < 4.5^2 U_0 U_1 U_2 (false for NaN).
  const Sums& o = open_;
  const double n = static_cast<double>(o.count);
  const double n2 = n * n;
  // The spread widens the test only while the stretch shows no trend: the slow end of a turn
  // spreads the samples too, and must not carry the stretch along. Judged every few samples.
  if (o.count >= kMinSpreadSamples && o.count % kMinSpreadSamples == 0) updateSpread();
  double E2[3];
  double U[3];
  for (int j = 0; j < 3; ++j) {
    const double e = n * (s.v[j] - o.origin[j]) - o.sum[j];
    E2[j] = e * e;
    U[j] = n2 * (o.count >= kMinSpreadSamples ? unit2_[j] : floor2_[j]);
  }
  const bool inside = E2[0] * U[1] * U[2] + E2[1] * U[0] * U[2] + E2[2] * U[0] * U[1] <
                      kThreshold * kThreshold * U[0] * U[1] * U[2];
  if (inside && opens(s.v)) {
    accept(s);
    return;
  }
  // A value the logger repeated is one reading of the sensor, not several.
  const bool repeated = !outside_.empty() && outside_.back().v[0] == s.v[0] &&
                        outside_.back().v[1] == s.v[1] && outside_.back().v[2] == s.v[2];
  outside_.push_back(s);
  if (!repeated) ++outsideValues_;
  if (outsideValues_ > kMaxSkipped) close();
}

void StretchTracker::updateSpread() {
  const Sums& o = open_;
  const bool trending = moving(o);
  const double n = static_cast<double>(o.count);
  for (int j = 0; j < 3; ++j) {
    const double var = (o.sumSq[j] - o.sum[j] * o.sum[j] / n) / n;
    unit2_[j] = trending ? floor2_[j] : std::max(floor2_[j], std::min(var, cap2_[j]));
  }
}

bool StretchTracker::moving(const Sums& s) const {
  // Variance explained by a line through time, against the whole variance.
  const double n = static_cast<double>(s.count);
  const double timeVar = s.timeSq - s.time * s.time / n;
  if (!(timeVar > 0.0)) return false;
  double explained = 0.0;
  double total = 0.0;
  for (int j = 0; j < 3; ++j) {
    const double cross = s.sumTime[j] - s.time * s.sum[j] / n;
    explained += cross * cross / timeVar;
    total += s.sumSq[j] - s.sum[j] * s.sum[j] / n;
  }
  return total > 0.0 && explained > kMaxTrend * total;
}

StretchTracker::Sums StretchTracker::joined(const Sums& a, const Sums& b) {
  // b's sums moved to a's origin and first row: d' = d + delta, t' = t + tau.
  Sums j = a;
  const double n = static_cast<double>(b.count);
  const double tau = static_cast<double>(b.first - a.first);
  for (int q = 0; q < b.used; ++q) j.level(q);
  for (int k = 0; k < 3; ++k) {
    const double delta = b.origin[k] - a.origin[k];
    j.sum[k] += b.sum[k] + n * delta;
    j.sumSq[k] += b.sumSq[k] + 2.0 * delta * b.sum[k] + n * delta * delta;
    j.sumTime[k] += b.sumTime[k] + delta * b.time + tau * b.sum[k] + n * tau * delta;
    // Block means move by delta too; the blocks left unfinished at either end are dropped.
    for (int q = 0; q < b.used; ++q) {
      const Level& from = b.levels[q];
      Level& to = j.levels[q];
      const double blocks = static_cast<double>(from.blocks);
      to.sum[k] += from.sum[k] + blocks * delta;
      to.sumSq[k] += from.sumSq[k] + 2.0 * delta * from.sum[k] + blocks * delta * delta;
    }
  }
  for (int q = 0; q < b.used; ++q) j.levels[q].blocks += b.levels[q].blocks;
  j.time += b.time + n * tau;
  j.timeSq += b.timeSq + 2.0 * tau * b.time + n * tau * tau;
  j.count += b.count;
  j.changes += b.changes;
  j.last = b.last;
  return j;
}

bool StretchTracker::continues(const Sums& later) const {
  if (!pending_ || later.first > kept_.last + 1 + kJoinGap) return false;
  const double na = static_cast<double>(kept_.count);
  const double nb = static_cast<double>(later.count);
  double dist = 0.0;
  for (int j = 0; j < 3; ++j) {
    const double gap = (later.origin[j] + later.sum[j] / nb) - (kept_.origin[j] + kept_.sum[j] / na);
    const double e = gap / std::max(unit(kept_, j), unit(later, j));
    dist += e * e;
  }
  return dist < kThreshold * kThreshold;
}

void StretchTracker::keep(const Sums& s) {
  if (continues(s)) {
    const Sums j = joined(kept_, s);
    if (!moving(j)) {
      kept_ = j;
      return;
    }
  }
  emitPending();
  kept_ = s;
  pending_ = true;
}

void StretchTracker::emitPending() {
  if (!pending_) return;
  done_.push_back(stretchOf(kept_));
  pending_ = false;
}

void StretchTracker::close() {
  if (open_.count >= kMinStillSamples && !moving(open_)) keep(open_);
  open_.count = 0;
  // The samples this stretch did not take may open the next one.
  replay_.insert(replay_.begin(), outside_.begin(), outside_.end());
  outside_.clear();
  outsideValues_ = 0;
}

StillStretch StretchTracker::stretchOf(const Sums& s) const {
  StillStretch st;
  st.first = static_cast<std::size_t>(s.first);
  st.last = static_cast<std::size_t>(s.last);
  st.distinct = s.changes;
  const double n = static_cast<double>(s.count);
  for (int j = 0; j < 3; ++j) {
    const double m = s.sum[j] / n;
    st.mean[j] = s.origin[j] + m;
    const double var = std::max(0.0, s.sumSq[j] / n - m * m);
    st.noise[j] = std::sqrt(var);
    // Independent samples: the variance over the samples the sensor produced. Correlated ones
    // (a wobble, a sensor's own filter): the scatter of block means, from the longest blocks that
    // are still numerous enough to judge by. One level only: the largest of several noisy
    // estimates would overstate the error of every mean.
    double meanVar = var / static_cast<double>(std::max<std::size_t>(1, s.changes));
    const Level* chosen = nullptr;
    for (int q = 0; q < s.used; ++q) {
      if (s.levels[q].blocks >= kMinBlocks) chosen = &s.levels[q];
    }
    if (chosen != nullptr) {
      const double b = static_cast<double>(chosen->blocks);
      const double bm = chosen->sum[j] / b;
      const double blockVar = std::max(0.0, chosen->sumSq[j] / b - bm * bm) * b / (b - 1.0);
      meanVar = std::max(meanVar, blockVar / b);
    }
    st.meanSigma[j] = std::sqrt(meanVar);
    // The slow part, from the blocks of four; with fewer than two blocks all of the spread.
    const Level& quads = s.levels[0];
    double slowVar = var;
    if (s.used > 0 && quads.blocks >= 2) {
      const double b = static_cast<double>(quads.blocks);
      const double qm = quads.sum[j] / b;
      const double quadVar = std::max(0.0, quads.sumSq[j] / b - qm * qm);
      slowVar = std::max(0.0, (4.0 * quadVar - var) / 3.0);
    }
    st.motion[j] = std::sqrt(slowVar);
  }
  return st;
}

}  // namespace analysis
}  // namespace tiltfit
