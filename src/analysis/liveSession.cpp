#include "liveSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "autoTune.h"
#include "calibrationRun.h"
#include "guidance.h"
#include "layoutSniff.h"

namespace tiltfit {
namespace analysis {
namespace {

std::string format(const char* fmt, double a, double b = 0.0, double c = 0.0) {
  char text[256];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  return text;
}

// The orientations in the order a person holds them.
constexpr OrientationId kSequence[6] = {{2, 1}, {2, -1}, {0, 1}, {0, -1}, {1, 1}, {1, -1}};

int orientationIndex(const OrientationId& o) {
  for (int k = 0; k < 6; ++k)
    if (kOrientations[k].axis == o.axis && kOrientations[k].level == o.level) return k;
  return 0;
}

// Lines judged before the layout is decided, and the bytes a line may hold meanwhile.
constexpr std::size_t kHeadLines = 64;
constexpr std::size_t kHeadBytes = 65536;

}  // namespace

LiveSession::LiveSession(LiveSettings settings) : settings_(std::move(settings)) {
  layout_ = settings_.layout;
}

void LiveSession::note(LiveNote::Kind kind, std::string text) {
  LiveNote n;
  n.kind = kind;
  n.text = std::move(text);
  notes_.push_back(std::move(n));
}

std::vector<LiveNote> LiveSession::take() { return std::exchange(notes_, {}); }

void LiveSession::feed(const char* data, std::size_t n, double now) {
  if (!startedKnown_) {
    started_ = now;
    startedKnown_ = true;
  }
  arrivals_.emplace_back(samples_, now);
  assembler_.feed(data, n, [this](const char* b, const char* e) { line(b, e); });
  if (!layoutKnown_ && (head_.size() >= kHeadLines || assembler_.pending().size() > kHeadBytes))
    decideLayout();
  look(now);
}

void LiveSession::feedLines(const std::vector<std::string>& lines, double now) {
  if (!startedKnown_) {
    started_ = now;
    startedKnown_ = true;
  }
  arrivals_.emplace_back(samples_, now);
  for (const std::string& l : lines) line(l.data(), l.data() + l.size());
  if (!layoutKnown_ && head_.size() >= kHeadLines) decideLayout();
  look(now);
}

void LiveSession::feedSamples(const double* x, const double* y, const double* z, std::size_t n,
                              double now) {
  if (!startedKnown_) {
    started_ = now;
    startedKnown_ = true;
  }
  if (!layoutKnown_) {
    layoutKnown_ = true;  // samples need no layout
    guide();
  }
  arrivals_.emplace_back(samples_, now);
  for (std::size_t k = 0; k < n; ++k) {
    const double v[3] = {x[k], y[k], z[k]};
    sample(v, 0);
  }
  look(now);
}

void LiveSession::finish(double /*now*/) {
  if (!layoutKnown_) {
    assembler_.finish([this](const char* b, const char* e) { head_.emplace_back(b, e); });
    decideLayout();
  } else {
    assembler_.finish([this](const char* b, const char* e) { line(b, e); });
  }
  if (tracker_) {
    tracker_->finish();
    for (const StillStretch& s : tracker_->take()) stretchEnded(s);
  }
}

void LiveSession::line(const char* b, const char* e) {
  if (!layoutKnown_) {
    head_.emplace_back(b, e);
    return;
  }
  ++lines_;
  double v[7];
  if (!cutter_->cutAll(b, e, v)) {
    ++withoutReadings_;
    return;
  }
  sample(v, lines_);
}

void LiveSession::decideLayout() {
  if (settings_.detectDelimiter || settings_.detectColumns) {
    const LayoutGuess g = sniffLayout(head_);
    if (g.ok) {
      if (settings_.detectDelimiter) {
        layout_.delimiter = g.layout.delimiter;
        layout_.blanks = g.layout.blanks;
      }
      if (settings_.detectColumns) {
        for (std::size_t k = 0; k < 3; ++k) layout_.columns[k] = g.layout.columns[k];
      }
    }
  }
  layoutKnown_ = true;
  const auto& c = layout_.columns;
  std::vector<int> fields{c[0], c[1], c[2]};
  if (settings_.gyro) {
    // A gyroscope and a time beside the accelerometer, as --auto finds them.
    const ImuGuess g = sniffImu(head_, layout_);
    if (g.gyro) {
      for (std::size_t k = 0; k < 3; ++k) layout_.gyroColumns[k] = g.gyroColumns[k];
      fields.insert(fields.end(), layout_.gyroColumns.begin(), layout_.gyroColumns.end());
      if (g.timeColumn > 0) {
        layout_.timeColumn = g.timeColumn;
        layout_.timeIsCounter = g.counter;
        fields.push_back(g.timeColumn);
      }
    }
    rateFromHeader_ = g.rateHz;
  }
  cutter_ =
      std::make_unique<io::LineCutter>(io::Separator{layout_.delimiter, layout_.blanks}, fields);
  const std::string delimiter = layout_.blanks ? "blanks"
                                : layout_.delimiter == '\t'
                                    ? "tab"
                                    : "'" + std::string(1, layout_.delimiter) + "'";
  note(LiveNote::Kind::kLayout, "columns " + std::to_string(c[0]) + "," + std::to_string(c[1]) +
                                    "," + std::to_string(c[2]) + ", fields separated by " +
                                    delimiter);
  guide();
  // The lines held back are lines of the capture like any other.
  std::vector<std::string> lines;
  lines.swap(head_);
  for (const std::string& l : lines) line(l.data(), l.data() + l.size());
}

InputScale LiveSession::scale() const {
  InputScale s;
  const std::string& u = settings_.units;
  if (u == "ms2") s.perG = 9.81;
  if (u == "g" || u == "ms2" || stretches_.empty()) return s;
  // Judged on the stretches so far. Their magnitude tells g and m/s^2 at once; raw counts need a
  // sphere through stretches in several directions, and meanwhile are scaled by their magnitude.
  std::vector<double> m;
  for (const StillStretch& st : stretches_)
    m.push_back(
        std::sqrt(st.mean[0] * st.mean[0] + st.mean[1] * st.mean[1] + st.mean[2] * st.mean[2]));
  std::nth_element(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(m.size() / 2), m.end());
  const double magnitude = m[m.size() / 2];
  if (u != "counts" && magnitude > 0.5 && magnitude < 2.0) return s;
  if (u != "counts" && magnitude > 5.0 && magnitude < 20.0) {
    s.perG = 9.81;
    return s;
  }
  if (stretches_.size() >= 6) return countsScale(stretches_);
  s.perG = magnitude > 0.0 ? magnitude : 1.0;
  return s;
}

// The direction a stretch reads, in g and calibrated as far as the fit allows.
bool LiveSession::calibratedDirection(const StillStretch& s, double dir[3]) const {
  double g[3];
  scale().toG(s.mean, g);
  if (fitUsable_) {
    fit_.calibration.apply(g, dir);
  } else {
    std::copy(g, g + 3, dir);
  }
  return std::isfinite(dir[0] + dir[1] + dir[2]);
}

void LiveSession::restartTracker() {
  TrackerOptions t;
  t.floor = floor_;
  const InputScale s = scale();
  for (double& c : t.spreadCap) c = kSpreadCapG * std::abs(s.perG);
  if (tracker_) {
    tracker_->finish();
    for (const StillStretch& st : tracker_->take()) stretchEnded(st);
  }
  tracker_ = std::make_unique<StretchTracker>(t);
  trackerStart_ = samples_;
}

void LiveSession::sample(const double* v, std::uint64_t lineNumber) {
  if (onSample_) onSample_(v, lineNumber);
  constexpr std::size_t kRing = 8192;
  for (int j = 0; j < 3; ++j) {
    if (ring_[j].size() < kRing) {
      ring_[j].push_back(v[j]);
    } else {
      ring_[j][ringNext_] = v[j];
    }
  }
  if (ring_[0].size() == kRing) ringNext_ = (ringNext_ + 1) % kRing;
  ++samples_;
  // The noise floor from the samples so far, judged again every 4096 samples; the tracker starts
  // once there are 256, and starts over when the floor moves by half.
  if (samples_ == 256 || samples_ - floorAt_ >= 4096) {
    const NoiseFloor f =
        estimateNoiseFloor(ring_[0].data(), ring_[1].data(), ring_[2].data(), ring_[0].size());
    bool moved = !tracking_;
    for (int j = 0; j < 3; ++j)
      moved = moved || f.sigma[j] > 1.5 * floor_.sigma[j] || f.sigma[j] < floor_.sigma[j] / 1.5;
    floorAt_ = samples_;
    if (moved) {
      nextFloor_ = f;
      floorMoved_ = true;
    }
  }
  // A new floor takes over between stretches, never splitting one. The samples before the
  // tracker starts are not tracked: a stretch begins after them.
  if (floorMoved_ && !(tracker_ && tracker_->growing())) {
    floor_ = nextFloor_;
    floorMoved_ = false;
    restartTracker();
    trackerStart_ = samples_ - 1;  // this sample is the new tracker's row 0
    tracking_ = true;
  }
  if (tracking_) tracker_->push(v[0], v[1], v[2]);
}

void LiveSession::stretchEnded(const StillStretch& ended) {
  StillStretch s = ended;
  s.first += static_cast<std::size_t>(trackerStart_);
  s.last += static_cast<std::size_t>(trackerStart_);
  stretches_.push_back(s);
  refit();
  double dir[3];
  std::string what;
  int orientation = -1;
  if (calibratedDirection(s, dir)) {
    double angle = 0.0;
    const OrientationId o = nearestAxis(dir, &angle);
    if (angle <= 20.0) {
      orientation = orientationIndex(o);
      covered_[orientation] = true;
      what = axisWords(o);
    } else {
      what = format("%.0f degrees from ", angle) + axisWords(o);
    }
  }
  std::string text = "still stretch of " + std::to_string(s.length()) + " samples";
  if (!settings_.replay) text += format(" (%.1f s)", arrival(s.last) - arrival(s.first));
  changed_ = true;
  text += ": " + what;
  if (fitUsable_) {
    if (heldOutFolds_ > 0) {
      text += format("; held out %.2f mg over %.0f stretches", heldOutMg_,
                     static_cast<double>(heldOutFolds_));
    }
    text += format("; expected error now %.2f mg", expectedMg_);
  }
  note(LiveNote::Kind::kStretch, text);
  LiveNote& n = notes_.back();
  n.firstSample = s.first;
  n.lastSample = s.last;
  n.orientation = orientation;
  n.expectedErrorMg = fitUsable_ ? expectedMg_ : std::nan("");
}

void LiveSession::refit() {
  std::vector<StillStretch> g = stretchesInG(stretches_, scale());
  StretchFitOptions fo;
  fo.stretches = &g;
  fo.start.gain[0] = fo.start.gain[4] = fo.start.gain[8] = 1.0;
  fit_ = fitStretches(fo);
  fitUsable_ = fit_.ok && fit_.gainsAndOffsetsDetermined();
  expectedMg_ = fitUsable_ ? fit_.expectedErrorMg : HUGE_VAL;
  heldOutMg_ = fitUsable_ ? fit_.heldOut.meanMg : HUGE_VAL;
  heldOutFolds_ = fitUsable_ ? fit_.heldOut.folds : 0;
}

std::string LiveSession::holdNext() const {
  const std::string howLong =
      holdSeconds_ > 0.0 ? format(" for %.0f s", holdSeconds_) : std::string(" for a few seconds");
  for (const OrientationId& o : kSequence) {
    if (!covered_[orientationIndex(o)]) return "hold " + axisWords(o) + howLong;
  }
  if (!fitUsable_) return "hold the device still in other positions";
  if (!gyroInstruction_.empty()) return gyroInstruction_;
  double sigma = 0.0;
  for (const StillStretch& s : stretchesInG(stretches_, scale())) {
    sigma += (s.meanSigma[0] + s.meanSigma[1] + s.meanSigma[2]) / 3.0;
  }
  sigma /= static_cast<double>(std::max<std::size_t>(1, stretches_.size()));
  const std::vector<Suggestion> ranked = rankPositions(fit_, std::max(sigma, 5e-5));
  // A position held now, and captured, counts in the fit only once its stretch ends: it is not
  // asked for again meanwhile.
  double held[3];
  const bool holding = heldDirection(held);
  std::size_t pick = 0;
  while (holding && pick + 1 < ranked.size() &&
         angleBetweenDeg(held, ranked[pick].direction) <= 20.0)
    ++pick;
  if (ranked.empty()) return "hold the device still in other positions";
  return "hold " + ranked[pick].words + howLong +
         format(" (expected error %.2f mg, with it about %.2f mg)", expectedMg_,
                ranked[pick].expectedErrorMg);
}

double LiveSession::arrival(std::uint64_t sample) const {
  auto it = std::upper_bound(
      arrivals_.begin(), arrivals_.end(), sample,
      [](std::uint64_t v, const std::pair<std::uint64_t, double>& a) { return v < a.first; });
  if (it == arrivals_.begin()) return arrivals_.empty() ? started_ : arrivals_.front().second;
  return std::prev(it)->second;
}

void LiveSession::guide() {
  if (!changed_) return;
  changed_ = false;
  const std::string next = holdNext();
  if (next != instruction_) {
    instruction_ = next;
    note(LiveNote::Kind::kNext, "next: " + next);
  }
}

// The capture so far, calibrated as --auto would: the stop needs its expected error within the
// target, not only the estimate made while capturing.
bool LiveSession::confirmStop() {
  if (settings_.replay || !settings_.confirm || !fitUsable_ || heldOutFolds_ < kMinHeldOut ||
      heldOutMg_ > settings_.targetMg)
    return false;
  for (bool c : covered_)
    if (!c) return false;
  if (confirmedOnce_ && confirmedAt_ == stretches_.size()) return false;
  confirmedOnce_ = true;
  confirmedAt_ = stretches_.size();
  LiveCheck check;
  if (!settings_.confirm(check) || !check.ok || !(check.heldOutMg <= settings_.targetMg))
    return false;
  if (check.gyro && !check.gyroOk) {
    // The accelerometer is done; the gyroscope wants turns about the axis it knows least.
    const int axis = check.gyroAxis >= 0 ? check.gyroAxis : 0;
    const std::string a(1, static_cast<char>('x' + axis));
    const std::string next =
        "turn the device over about " + a + " (a half turn with " + a +
        " level), then hold it still" +
        (holdSeconds_ > 0.0 ? format(" for %.0f s", holdSeconds_) : std::string()) +
        (check.gyroExpectedDeg > 0.0
             ? format(": the gyroscope's expected error in a 90-degree move is %.3g degrees, the "
                      "target %.3g",
                      check.gyroExpectedDeg, settings_.targetDeg)
             : std::string(": the gyroscope's scale and axes are not fixed yet"));
    if (next != gyroInstruction_) {
      gyroInstruction_ = next;
      changed_ = true;
    }
    return false;
  }
  stopReason_ = format(
      "the held-out error is %.3g mg, at or below the target %.3g mg (expected error in any "
      "direction %.3g mg)",
      check.heldOutMg, settings_.targetMg, check.expectedMg);
  if (check.gyro) {
    stopReason_ += format("; the gyroscope's expected error in a 90-degree move is %.3g degrees",
                          check.gyroExpectedDeg);
  }
  return true;
}

void LiveSession::updateHold(double now) {
  if (!tracking_) return;
  // The mean of n samples is known to s / sqrt(n), s the spread its standard error implies: a
  // third of the target needs n = len (sigma_mean / (target / 3))^2 of a stretch's own samples.
  // Judged on the stretches so far (the median over them), which count correlated and repeated
  // samples for what they are worth; before the first, on the floor judged early on.
  const double target = settings_.targetMg / 1000.0;
  const double perG = std::abs(scale().perG);
  double n = 0.0;
  if (stretches_.empty()) {
    double sigma = 0.0;
    for (double f : floor_.sigma) sigma = std::max(sigma, f / perG);
    n = std::pow(3.0 * sigma / target, 2.0);
  } else {
    std::vector<double> need;
    for (const StillStretch& st : stretches_) {
      const double norm =
          std::sqrt(st.mean[0] * st.mean[0] + st.mean[1] * st.mean[1] + st.mean[2] * st.mean[2]);
      double var = 0.0;
      for (int j = 0; j < 3; ++j) {
        const double u = norm > 0.0 ? st.mean[j] / norm : 0.0;
        var += u * u * st.meanSigma[j] * st.meanSigma[j];
      }
      need.push_back(static_cast<double>(st.length()) * var / (perG * perG) /
                     std::pow(target / 3.0, 2.0));
    }
    std::nth_element(need.begin(), need.begin() + static_cast<std::ptrdiff_t>(need.size() / 2),
                     need.end());
    n = need[need.size() / 2];
  }
  n = std::ceil(n);
  holdSamples_ = std::max<std::size_t>(2 * kMinStillSamples,
                                       n < 1e9 ? static_cast<std::size_t>(n) : 1000000000);
  const double elapsed = now - started_;
  if (settings_.replay || !(elapsed >= 1.0) || samples_ < 2) return;
  const double rate = static_cast<double>(samples_ - 1) / elapsed;
  holdNeeded_ = std::max(kHoldSeconds, static_cast<double>(holdSamples_) / rate);
  // Whole seconds: what a person can count, and steady from one stretch to the next.
  const double seconds = std::ceil(std::max(1.0, static_cast<double>(holdSamples_) / rate));
  if (seconds != holdSeconds_) {
    holdSeconds_ = seconds;
    changed_ = true;  // the instructions say how long
  }
}

bool LiveSession::heldDirection(double dir[3]) const {
  if (!tracker_ || !tracker_->growing()) return false;
  StillStretch c = tracker_->current();
  if (c.first + trackerStart_ != announced_) return false;
  return calibratedDirection(c, dir);
}

void LiveSession::look(double now) {
  updateHold(now);
  if (tracking_) {
    for (const StillStretch& s : tracker_->take()) stretchEnded(s);
    // An orientation counts as soon as its stretch is long enough: still for half a second (on
    // a live source), its mean known to half a mg.
    if (tracker_->growing()) {
      StillStretch c = tracker_->current();
      c.first += static_cast<std::size_t>(trackerStart_);
      c.last += static_cast<std::size_t>(trackerStart_);
      // How well the stretch's magnitude is known: its standard errors along its direction.
      const double norm =
          std::sqrt(c.mean[0] * c.mean[0] + c.mean[1] * c.mean[1] + c.mean[2] * c.mean[2]);
      double var = 0.0;
      for (int j = 0; j < 3; ++j) {
        const double u = norm > 0.0 ? c.mean[j] / norm : 0.0;
        var += u * u * c.meanSigma[j] * c.meanSigma[j];
      }
      const double sigma = std::sqrt(var) / std::abs(scale().perG);
      const bool held = settings_.replay || now - arrival(c.first) >= holdNeeded_;
      double dir[3];
      if (c.length() >= holdSamples_ && sigma <= settings_.targetMg / 3e3 && held &&
          announced_ != c.first && calibratedDirection(c, dir)) {
        // Every position is said once it is held long enough: an axis it stands for counts.
        announced_ = c.first;
        double angle = 0.0;
        const OrientationId o = nearestAxis(dir, &angle);
        const int k = orientationIndex(o);
        if (angle <= 20.0) {
          changed_ = changed_ || !covered_[k];
          covered_[k] = true;
          note(LiveNote::Kind::kCaptured, axisWords(o) + " captured");
          notes_.back().orientation = k;
        } else {
          changed_ = true;
          note(LiveNote::Kind::kCaptured, "position captured (" + readingWords(dir) + ")");
        }
      }
    }
    // Arrival times older than any stretch not yet ended are asked for no more.
    const std::uint64_t keep = tracker_->oldestRowInUse() + trackerStart_;
    while (arrivals_.size() > 1 && arrivals_[1].first <= keep) arrivals_.pop_front();
  }
  if (layoutKnown_) guide();
  if (!stop_ && confirmStop()) {
    stop_ = true;
    note(LiveNote::Kind::kStop, stopReason_);
  }
}

std::string LiveSession::status(double now, bool silent) const {
  std::string text = "captured:";
  bool any = false;
  for (const OrientationId& o : kSequence) {
    if (!covered_[orientationIndex(o)]) continue;
    text += std::string(" ") + static_cast<char>('x' + o.axis) + (o.level > 0 ? "+" : "-");
    any = true;
  }
  if (!any) text += " none";
  if (tracker_ && tracker_->growing()) {
    const StillStretch c = tracker_->current();
    text += format(" | still %.1f s", now - arrival(c.first + trackerStart_));
  } else {
    text += " | moving";
  }
  if (fitUsable_) text += format(" | expected %.2f mg", expectedMg_);
  if (silent) text += " | no data";
  return text + " | " + instruction_;
}

}  // namespace analysis
}  // namespace tiltfit
