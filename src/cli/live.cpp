#include "live.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "autoTune.h"
#include "calibrationRun.h"
#include "guidance.h"
#include "layoutSniff.h"
#include "lineLayer.h"
#include "modes.h"
#include "stillStretches.h"
#include "stretchFit.h"
#include "stretchTracker.h"
#include "tiltfit/tiltfit.hpp"
#include "tiltfitMain.h"

namespace tiltfit {
namespace cli {
namespace {

namespace an = analysis;
using Clock = std::chrono::steady_clock;

// Signals: the first SIGINT or SIGTERM ends the capture, which is then calibrated; a second ends
// the tool at once. Every line read is in the capture file by then, written as it came.
volatile std::sig_atomic_t gSignals = 0;
volatile std::sig_atomic_t gLastSignal = 0;

extern "C" void onSignal(int sig) {
  gLastSignal = sig;
  if (++gSignals >= 2) _exit(128 + sig);
}

void installSignals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a read or poll returns with EINTR
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string format(const char* fmt, double a, double b = 0.0, double c = 0.0) {
  char text[256];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  return text;
}

// Events: on a terminal, a status line redrawn in place at most ten times a second, with events
// printed above it; otherwise one line per event.
class Display {
 public:
  Display() : tty_(::isatty(STDERR_FILENO) == 1) {}
  bool tty() const { return tty_; }

  void event(const std::string& text) {
    if (tty_) std::fputs("\r\033[K", stderr);
    std::fprintf(stderr, "tiltfit: live: %s\n", text.c_str());
    if (tty_ && !status_.empty()) std::fputs(status_.c_str(), stderr);
    std::fflush(stderr);
  }

  void status(const std::string& text, Clock::time_point now) {
    if (!tty_) return;
    if (text == status_ || seconds(drawn_, now) < 0.1) return;
    status_ = text;
    drawn_ = now;
    std::fprintf(stderr, "\r\033[K%s", status_.c_str());
    std::fflush(stderr);
  }

  void clear() {
    if (tty_ && !status_.empty()) std::fputs("\r\033[K", stderr);
    status_.clear();
    std::fflush(stderr);
  }

 private:
  bool tty_;
  std::string status_;
  Clock::time_point drawn_{};
};

// A capture of more lines than this is calibrated from its still stretches, read as a stream, so
// that a session of any length (a logger left running) stays in the same memory: about 70 MB at
// most for the rests' search, a few minutes at 10 kHz or half an hour at 1 kHz.
constexpr std::uint64_t kLinesInMemory = 2000000;

// The words of an orientation in the order a person holds them.
constexpr an::OrientationId kSequence[6] = {{2, 1}, {2, -1}, {0, 1}, {0, -1}, {1, 1}, {1, -1}};

int orientationIndex(const an::OrientationId& o) {
  for (int k = 0; k < 6; ++k)
    if (an::kOrientations[k].axis == o.axis && an::kOrientations[k].level == o.level) return k;
  return 0;
}

class Capture {
 public:
  explicit Capture(const CliOptions& o) : options_(o) {}
  int run();

 private:
  bool openSource();
  bool openCaptureFile();
  void consume(const char* data, std::size_t n);
  void line(const std::string& text);
  void decideLayout();
  void sample(const double v[3]);
  void afterChunk(Clock::time_point now);
  void stretchEnded(const an::StillStretch& s);
  void refit();
  void guide();
  bool confirmStop();
  std::string holdNext() const;
  std::string statusText(Clock::time_point now) const;
  an::InputScale scale() const;
  void toG(const double raw[3], double g[3]) const;
  bool calibratedDirection(const an::StillStretch& s, double dir[3]) const;
  void restartTracker();

  const CliOptions& options_;
  Display display_;
  std::string source_;
  int fd_ = -1;
  bool replay_ = false;  // a regular file, read to its end
  std::string capturePath_;
  int captureFd_ = -1;
  bool temporary_ = false;
  double target_ = kDefaultTargetMg;

  std::string pending_;  // bytes of a line not yet ended
  std::uint64_t lines_ = 0;
  std::uint64_t withoutReadings_ = 0;
  std::vector<std::string> head_;  // first lines, to judge the layout by
  bool layoutKnown_ = false;
  Layout layout_;
  Clock::time_point started_{};
  Clock::time_point lastData_{};
  bool silentSaid_ = false;

  // Samples: the last few thousand, for the noise floor; the tracker over all of them.
  std::vector<double> ring_[3];
  std::size_t ringNext_ = 0;
  std::uint64_t samples_ = 0;
  std::uint64_t floorAt_ = 0;
  an::NoiseFloor floor_;
  an::NoiseFloor nextFloor_;
  bool floorMoved_ = false;
  bool tracking_ = false;
  std::unique_ptr<an::StretchTracker> tracker_;
  std::uint64_t trackerStart_ = 0;           // sample number of the tracker's row 0
  std::vector<an::StillStretch> stretches_;  // ended, in the recording's units, rows as samples
  // When samples arrived: the first sample of each chunk read and its time, for durations; only
  // what the stretch growing now may still ask for is kept.
  std::deque<std::pair<std::uint64_t, Clock::time_point>> arrivals_;
  Clock::time_point arrival(std::uint64_t sample) const;
  std::unique_ptr<io::LineCutter> cutter_;
  bool changed_ = true;  // stretches or orientations changed since the last guidance

  // Guidance.
  an::StretchFit fit_;
  bool fitUsable_ = false;
  double expectedMg_ = HUGE_VAL;
  bool covered_[6] = {false, false, false, false, false, false};
  std::string instruction_;
  bool stop_ = false;
  std::string stopReason_;
  bool confirmedOnce_ = false;
  std::size_t confirmedAt_ = 0;  // stretches when the stop was last checked on the capture
};

bool Capture::openSource() {
  source_ = options_.positionals[0];
  if (source_ == "-") {
    fd_ = STDIN_FILENO;
  } else {
    // A FIFO's open waits for its writer; a signal ends the wait.
    do {
      fd_ = ::open(source_.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR && gSignals == 0);
    if (fd_ < 0) {
      std::fprintf(stderr, "tiltfit: %s: %s\n", source_.c_str(), std::strerror(errno));
      return false;
    }
  }
  struct stat info;
  replay_ = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
  return true;
}

bool Capture::openCaptureFile() {
  if (!options_.savePath.empty()) {
    capturePath_ = options_.savePath;
    captureFd_ = ::open(capturePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } else {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tiltfit_live_XXXXXX";
    captureFd_ = ::mkstemp(&pattern[0]);
    capturePath_ = pattern;
    temporary_ = true;
  }
  if (captureFd_ < 0) {
    std::fprintf(stderr, "tiltfit: cannot write the capture %s: %s\n", capturePath_.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

an::InputScale Capture::scale() const {
  an::InputScale s;
  const std::string& u = options_.units;
  if (u == "ms2") s.perG = 9.81;
  if (u == "g" || u == "ms2" || stretches_.empty()) return s;
  // Judged on the stretches so far. Their magnitude tells g and m/s^2 at once; raw counts need a
  // sphere through stretches in several directions, and meanwhile are scaled by their magnitude.
  std::vector<double> m;
  for (const an::StillStretch& st : stretches_)
    m.push_back(
        std::sqrt(st.mean[0] * st.mean[0] + st.mean[1] * st.mean[1] + st.mean[2] * st.mean[2]));
  std::nth_element(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(m.size() / 2), m.end());
  const double magnitude = m[m.size() / 2];
  if (u != "counts" && magnitude > 0.5 && magnitude < 2.0) return s;
  if (u != "counts" && magnitude > 5.0 && magnitude < 20.0) {
    s.perG = 9.81;
    return s;
  }
  if (stretches_.size() >= 6) return an::countsScale(stretches_);
  s.perG = magnitude > 0.0 ? magnitude : 1.0;
  return s;
}

void Capture::toG(const double raw[3], double g[3]) const { scale().toG(raw, g); }

// The direction a stretch reads, in g and calibrated as far as the fit allows.
bool Capture::calibratedDirection(const an::StillStretch& s, double dir[3]) const {
  double g[3];
  toG(s.mean, g);
  if (fitUsable_) {
    fit_.calibration.apply(g, dir);
  } else {
    std::copy(g, g + 3, dir);
  }
  return std::isfinite(dir[0] + dir[1] + dir[2]);
}

void Capture::decideLayout() {
  layout_.delimiter = options_.delimiter;
  layout_.blanks = options_.blanks;
  for (int k = 0; k < 3; ++k) layout_.columns[static_cast<std::size_t>(k)] = options_.columns[k];
  if (!options_.delimiterGiven || !options_.columnsGiven) {
    const an::LayoutGuess g = an::sniffLayout(head_);
    if (g.ok) {
      if (!options_.delimiterGiven) {
        layout_.delimiter = g.layout.delimiter;
        layout_.blanks = g.layout.blanks;
      }
      if (!options_.columnsGiven) {
        for (int k = 0; k < 3; ++k)
          layout_.columns[static_cast<std::size_t>(k)] = g.layout.columns[k];
      }
    }
  }
  layoutKnown_ = true;
  const auto& c = layout_.columns;
  cutter_ = std::make_unique<io::LineCutter>(io::Separator{layout_.delimiter, layout_.blanks},
                                             std::vector<int>{c[0], c[1], c[2]});
  const std::string delimiter = layout_.blanks ? "blanks"
                                : layout_.delimiter == '\t'
                                    ? "tab"
                                    : "'" + std::string(1, layout_.delimiter) + "'";
  display_.event("columns " + std::to_string(layout_.columns[0]) + "," +
                 std::to_string(layout_.columns[1]) + "," + std::to_string(layout_.columns[2]) +
                 ", fields separated by " + delimiter);
  guide();
  std::vector<std::string> lines;
  lines.swap(head_);
  for (const std::string& l : lines) line(l);
}

void Capture::line(const std::string& text) {
  if (!layoutKnown_) {
    head_.push_back(text);
    return;
  }
  ++lines_;
  double v[3];
  if (!cutter_->cutAll(text.data(), text.data() + text.size(), v)) {
    ++withoutReadings_;
    return;
  }
  sample(v);
}

void Capture::restartTracker() {
  an::TrackerOptions t;
  t.floor = floor_;
  const an::InputScale s = scale();
  for (double& c : t.spreadCap) c = an::kSpreadCapG * std::abs(s.perG);
  if (tracker_) {
    tracker_->finish();
    for (const an::StillStretch& st : tracker_->take()) stretchEnded(st);
  }
  tracker_ = std::make_unique<an::StretchTracker>(t);
  trackerStart_ = samples_;
}

void Capture::sample(const double v[3]) {
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
    const an::NoiseFloor f =
        an::estimateNoiseFloor(ring_[0].data(), ring_[1].data(), ring_[2].data(), ring_[0].size());
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

void Capture::stretchEnded(const an::StillStretch& ended) {
  an::StillStretch s = ended;
  s.first += static_cast<std::size_t>(trackerStart_);
  s.last += static_cast<std::size_t>(trackerStart_);
  stretches_.push_back(s);
  refit();
  double dir[3];
  std::string what;
  if (calibratedDirection(s, dir)) {
    double angle = 0.0;
    const an::OrientationId o = an::nearestAxis(dir, &angle);
    if (angle <= 20.0) {
      covered_[orientationIndex(o)] = true;
      what = an::axisWords(o);
    } else {
      what = format("%.0f degrees from ", angle) + an::axisWords(o);
    }
  }
  std::string text = "still stretch of " + std::to_string(s.length()) + " samples";
  if (!replay_) text += format(" (%.1f s)", seconds(arrival(s.first), arrival(s.last)));
  changed_ = true;
  text += ": " + what;
  if (fitUsable_) text += format("; expected error now %.2f mg", expectedMg_);
  display_.event(text);
}

void Capture::refit() {
  std::vector<an::StillStretch> g = an::stretchesInG(stretches_, scale());
  an::StretchFitOptions fo;
  fo.stretches = &g;
  fo.start.gain[0] = fo.start.gain[4] = fo.start.gain[8] = 1.0;
  fit_ = an::fitStretches(fo);
  fitUsable_ = fit_.ok && fit_.gainsAndOffsetsDetermined();
  expectedMg_ = fitUsable_ ? fit_.expectedErrorMg : HUGE_VAL;
}

std::string Capture::holdNext() const {
  for (const an::OrientationId& o : kSequence) {
    if (!covered_[orientationIndex(o)]) return "hold " + an::axisWords(o);
  }
  if (!fitUsable_) return "hold the device still in other positions";
  double sigma = 0.0;
  for (const an::StillStretch& s : an::stretchesInG(stretches_, scale())) {
    sigma += (s.meanSigma[0] + s.meanSigma[1] + s.meanSigma[2]) / 3.0;
  }
  sigma /= static_cast<double>(std::max<std::size_t>(1, stretches_.size()));
  const std::vector<an::Suggestion> ranked = an::rankPositions(fit_, std::max(sigma, 5e-5));
  if (ranked.empty()) return "hold the device still in other positions";
  return "hold " + ranked[0].words +
         format(" (expected error %.2f mg, with it about %.2f mg)", expectedMg_,
                ranked[0].expectedErrorMg);
}

Clock::time_point Capture::arrival(std::uint64_t sample) const {
  auto it =
      std::upper_bound(arrivals_.begin(), arrivals_.end(), sample,
                       [](std::uint64_t v, const std::pair<std::uint64_t, Clock::time_point>& a) {
                         return v < a.first;
                       });
  if (it == arrivals_.begin()) return arrivals_.empty() ? started_ : arrivals_.front().second;
  return std::prev(it)->second;
}

void Capture::guide() {
  if (!changed_) return;
  changed_ = false;
  const std::string next = holdNext();
  if (next != instruction_) {
    instruction_ = next;
    display_.event("next: " + next);
  }
}

// The capture so far, calibrated as --auto would: the stop needs its expected error within the
// target, not only the estimate made while capturing.
bool Capture::confirmStop() {
  if (replay_ || !fitUsable_ || expectedMg_ > target_) return false;
  for (bool c : covered_)
    if (!c) return false;
  if (confirmedOnce_ && confirmedAt_ == stretches_.size()) return false;
  confirmedOnce_ = true;
  confirmedAt_ = stretches_.size();
  try {
    ReadOptions read;
    read.detectDelimiter = !options_.delimiterGiven;
    read.detectColumns = !options_.columnsGiven;
    read.layout = layout_;
    CalibrateOptions c = autoOptions();
    if (!options_.units.empty()) c.units = unitsFromName(options_.units);
    if (!options_.method.empty()) c.method = methodFromName(options_.method);
    const bool stream = lines_ > kLinesInMemory && options_.method.empty();
    if (stream) c.method = Method::kStretches;
    const Result r = stream ? calibrateStretchesStreaming(capturePath_, read, c)
                            : calibrateAuto(readRecording(capturePath_, read), c);
    if (!r.success || r.quality.expectedErrorMg > target_) return false;
    stopReason_ = format("the expected error is %.2f mg, at or below the target %.2f mg",
                         r.quality.expectedErrorMg, target_);
    return true;
  } catch (const Error&) {
    return false;
  }
}

std::string Capture::statusText(Clock::time_point now) const {
  std::string text = "captured:";
  bool any = false;
  for (const an::OrientationId& o : kSequence) {
    if (!covered_[orientationIndex(o)]) continue;
    text += std::string(" ") + static_cast<char>('x' + o.axis) + (o.level > 0 ? "+" : "-");
    any = true;
  }
  if (!any) text += " none";
  if (tracker_ && tracker_->growing()) {
    const an::StillStretch c = tracker_->current();
    text += format(" | still %.1f s", seconds(arrival(c.first + trackerStart_), now));
  } else {
    text += " | moving";
  }
  if (fitUsable_) text += format(" | expected %.2f mg", expectedMg_);
  if (seconds(lastData_, now) >= kSilentSeconds) text += " | no data";
  text += " | " + instruction_;
  return text;
}

void Capture::afterChunk(Clock::time_point now) {
  if (tracking_) {
    for (const an::StillStretch& s : tracker_->take()) stretchEnded(s);
    // An orientation counts as soon as its stretch is long enough: still for half a second (on
    // a live source), its mean known to half a mg.
    if (tracker_->growing()) {
      an::StillStretch c = tracker_->current();
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
      const bool held = replay_ || seconds(arrival(c.first), now) >= kHoldSeconds;
      double dir[3];
      if (c.length() >= 2 * an::kMinStillSamples && sigma <= 0.5e-3 && held &&
          calibratedDirection(c, dir)) {
        double angle = 0.0;
        const an::OrientationId o = an::nearestAxis(dir, &angle);
        const int k = orientationIndex(o);
        if (angle <= 20.0 && !covered_[k]) {
          covered_[k] = true;
          changed_ = true;
          display_.event(an::axisWords(o) + " captured");
        }
      }
    }
    // Arrival times older than any stretch not yet ended are asked for no more.
    const std::uint64_t keep = tracker_->oldestRowInUse() + trackerStart_;
    while (arrivals_.size() > 1 && arrivals_[1].first <= keep) arrivals_.pop_front();
  }
  if (layoutKnown_) guide();
  if (!stop_ && confirmStop()) stop_ = true;
  if (display_.tty()) display_.status(statusText(now), now);
}

void Capture::consume(const char* data, std::size_t n) {
  std::size_t begin = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (data[k] != '\n') continue;
    pending_.append(data + begin, k - begin);
    const std::string text = std::move(pending_);
    pending_.clear();
    line(text);
    begin = k + 1;
  }
  pending_.append(data + begin, n - begin);
  if (!layoutKnown_ && (head_.size() >= 64 || pending_.size() > 65536)) decideLayout();
}

int Capture::run() {
  if (options_.positionals.size() != 1) {
    std::fprintf(stderr,
                 "tiltfit: --live needs one source: tiltfit --live SOURCE (- for standard "
                 "input, a FIFO, a serial device or a file)\n");
    return kUsage;
  }
  if (!options_.targetMg.empty()) {
    char* end = nullptr;
    target_ = std::strtod(options_.targetMg.c_str(), &end);
    if (end == options_.targetMg.c_str() || *end != '\0' || !(target_ > 0.0) ||
        !std::isfinite(target_)) {
      std::fprintf(stderr, "tiltfit: --target-mg must be a number of mg above 0: \"%s\"\n",
                   options_.targetMg.c_str());
      return kUsage;
    }
  }
  installSignals();
  if (!openCaptureFile()) return kCannotWrite;
  if (!openSource()) {
    ::close(captureFd_);
    if (temporary_) ::unlink(capturePath_.c_str());
    return kCannotRead;
  }
  started_ = lastData_ = Clock::now();
  display_.event("reading " + (source_ == "-" ? std::string("standard input") : source_) +
                 (replay_ ? " to its end" : "") +
                 format("; capture ends at an expected error of %.2f mg (--target-mg)", target_) +
                 "; up and down assume that an axis pointing up reads +1 g, as most MEMS parts "
                 "do: the readings in brackets are what counts");
  std::vector<char> buffer(1 << 16);
  Clock::time_point synced = started_;
  bool dirty = false;
  while (!stop_) {
    if (gSignals > 0) {
      stopReason_ = gLastSignal == SIGTERM ? "terminated (SIGTERM)" : "interrupted (SIGINT)";
      break;
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = replay_ ? 1 : ::poll(&p, 1, 100);
    const Clock::time_point now = Clock::now();
    if (ready < 0) {
      if (errno == EINTR) continue;
      stopReason_ = std::string("cannot wait for the source: ") + std::strerror(errno);
      break;
    }
    if (ready > 0) {
      const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        stopReason_ = std::string("the source failed: ") + std::strerror(errno);
        break;
      }
      if (got == 0) {
        stopReason_ = "end of input";
        break;
      }
      // Every byte goes to the capture first, so that nothing read is lost whatever comes next.
      for (ssize_t done = 0; done < got;) {
        const ssize_t w =
            ::write(captureFd_, buffer.data() + done, static_cast<std::size_t>(got - done));
        if (w < 0) {
          if (errno == EINTR) continue;
          std::fprintf(stderr, "tiltfit: cannot write the capture %s: %s\n", capturePath_.c_str(),
                       std::strerror(errno));
          return kCannotWrite;
        }
        done += w;
      }
      dirty = true;
      lastData_ = now;
      silentSaid_ = false;
      arrivals_.emplace_back(samples_, now);
      consume(buffer.data(), static_cast<std::size_t>(got));
    }
    if (dirty && seconds(synced, now) >= 1.0) {
      ::fdatasync(captureFd_);
      synced = now;
      dirty = false;
    }
    if (!silentSaid_ && seconds(lastData_, now) >= kSilentSeconds) {
      display_.event(format("no line for %.0f s from the source; still listening", kSilentSeconds));
      silentSaid_ = true;
    }
    afterChunk(now);
  }
  if (!pending_.empty() && layoutKnown_) {
    line(pending_);  // a last line without its newline
  }
  if (!layoutKnown_) decideLayout();
  if (tracker_) {
    tracker_->finish();
    for (const an::StillStretch& s : tracker_->take()) stretchEnded(s);
  }
  ::fdatasync(captureFd_);
  ::close(captureFd_);
  if (fd_ != STDIN_FILENO) ::close(fd_);
  display_.clear();
  display_.event("capture ended: " + stopReason_ + "; " + std::to_string(lines_) + " lines read, " +
                 std::to_string(withoutReadings_) + " without readings" +
                 (temporary_ ? std::string() : "; saved to " + capturePath_));

  // Exactly what was read, calibrated as --auto calibrates a file.
  CliOptions batch = options_;
  batch.autoMode = true;
  batch.liveMode = false;
  batch.positionals = {capturePath_};
  if (lines_ > kLinesInMemory && options_.method.empty() && options_.plotPath.empty()) {
    batch.method = "stretches";
    display_.event("the capture holds more than " + std::to_string(kLinesInMemory) +
                   " lines: calibrated from its still stretches, read as a stream (--method "
                   "six-rest calibrates it from its rests, in memory that grows with it)");
  }
  if (temporary_) {
    // The capture is gone after the run: the report names the source, and no command repeats it.
    batch.shownPath = source_ == "-" ? "standard input" : source_;
    batch.noRepeat = true;
  }
  const int status = calibrateFile(batch, capturePath_, nullptr);
  if (temporary_) ::unlink(capturePath_.c_str());
  return status;
}

}  // namespace

int runLive(const CliOptions& options) {
  Capture capture(options);
  return capture.run();
}

}  // namespace cli
}  // namespace tiltfit
