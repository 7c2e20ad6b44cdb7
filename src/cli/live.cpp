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
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "batch.h"
#include "status.h"
#include "tiltfit/live.hpp"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {
namespace {

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

class Capture {
 public:
  explicit Capture(const CliOptions& o) : options_(o) {}
  int run();

 private:
  bool openSource();
  bool openCaptureFile();
  void show(double now);
  LiveOptions liveOptions() const;

  const CliOptions& options_;
  Display display_;
  std::string source_;
  int fd_ = -1;
  bool replay_ = false;  // a regular file, read to its end
  std::string capturePath_;
  int captureFd_ = -1;
  bool temporary_ = false;
  double target_ = kDefaultTargetMg;
  Clock::time_point started_{};
  Clock::time_point lastData_{};
  std::unique_ptr<LiveSession> session_;
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

LiveOptions Capture::liveOptions() const {
  LiveOptions l;
  l.layout.delimiter = options_.delimiter;
  l.layout.blanks = options_.blanks;
  for (int k = 0; k < 3; ++k) l.layout.columns[static_cast<std::size_t>(k)] = options_.columns[k];
  // Given parts stay; the others are judged, as --auto judges a file.
  l.detectDelimiter = !options_.delimiterGiven;
  l.detectColumns = !options_.columnsGiven;
  if (!options_.units.empty()) l.units = unitsFromName(options_.units);
  l.outputUnits = options_.outputUnits;
  if (!options_.method.empty()) l.method = methodFromName(options_.method);
  l.targetMg = target_;
  l.targetDeg = options_.targetDeg > 0.0 ? options_.targetDeg : 0.5;
  l.gyro = !options_.noGyro;
  l.gyroOptions.rateHz = options_.rateHz;
  l.replay = replay_;
  return l;
}

void Capture::show(double now) {
  // The stop is said once, as the reason the capture ended.
  for (const LiveEvent& e : session_->events()) {
    if (e.kind != LiveEvent::Kind::kStop) display_.event(e.text);
  }
  if (display_.tty()) {
    const bool silent = seconds(lastData_, Clock::now()) >= kSilentSeconds;
    display_.status(session_->status(now, silent), Clock::now());
  }
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
  session_ = std::make_unique<LiveSession>(liveOptions());
  display_.event("reading " + (source_ == "-" ? std::string("standard input") : source_) +
                 (replay_ ? " to its end" : "") +
                 format("; capture ends once the still stretches, each held out of the fit, read 1 "
                        "g within %.2f mg (--target-mg)",
                        target_) +
                 "; up and down assume that an axis pointing up reads +1 g, as most MEMS parts "
                 "do: the readings in brackets are what counts");
  std::vector<char> buffer(1 << 16);
  Clock::time_point synced = started_;
  bool dirty = false;
  bool silentSaid = false;
  std::string stopReason;
  while (!session_->stopped()) {
    if (gSignals > 0) {
      stopReason = gLastSignal == SIGTERM ? "terminated (SIGTERM)" : "interrupted (SIGINT)";
      break;
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = replay_ ? 1 : ::poll(&p, 1, 100);
    const Clock::time_point now = Clock::now();
    if (ready < 0) {
      if (errno == EINTR) continue;
      stopReason = std::string("cannot wait for the source: ") + std::strerror(errno);
      break;
    }
    if (ready > 0) {
      const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        stopReason = std::string("the source failed: ") + std::strerror(errno);
        break;
      }
      if (got == 0) {
        stopReason = "end of input";
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
      silentSaid = false;
      session_->feed(buffer.data(), static_cast<std::size_t>(got), seconds(started_, now));
    }
    if (dirty && seconds(synced, now) >= 1.0) {
      ::fdatasync(captureFd_);
      synced = now;
      dirty = false;
    }
    if (!silentSaid && seconds(lastData_, now) >= kSilentSeconds) {
      display_.event(format("no line for %.0f s from the source; still listening", kSilentSeconds));
      silentSaid = true;
    }
    show(seconds(started_, now));
  }
  if (session_->stopped()) stopReason = session_->stopReason();
  session_->finish(seconds(started_, Clock::now()));
  for (const LiveEvent& e : session_->events()) {
    if (e.kind != LiveEvent::Kind::kStop) display_.event(e.text);
  }
  ::fdatasync(captureFd_);
  ::close(captureFd_);
  if (fd_ != STDIN_FILENO) ::close(fd_);
  display_.clear();
  display_.event("capture ended: " + stopReason + "; " + std::to_string(session_->lines()) +
                 " lines read, " + std::to_string(session_->linesWithoutReadings()) +
                 " without readings" + (temporary_ ? std::string() : "; saved to " + capturePath_));
  const std::uint64_t lines = session_->lines();
  session_.reset();  // the capture's samples are read again from the file

  // Exactly what was read, calibrated as --auto calibrates a file.
  CliOptions batch = options_;
  batch.autoMode = true;
  batch.liveMode = false;
  batch.positionals = {capturePath_};
  if (lines > kLiveLinesInMemory && options_.method.empty() && options_.plotPath.empty()) {
    batch.method = "stretches";
    display_.event("the capture holds more than " + std::to_string(kLiveLinesInMemory) +
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
