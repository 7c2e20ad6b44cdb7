// Calibrating from the still stretches alone with the recording read as a stream: the samples
// are never all held, so a recording of any length (days at 1 kHz, a gzip pipe) costs the same.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "apiInternal.h"
#include "csvField.h"
#include "layoutSniff.h"
#include "stretchScan.h"

namespace tiltfit {
namespace {

namespace an = analysis;

constexpr std::size_t kBlock = std::size_t{1} << 20;
constexpr std::size_t kHeadBytes = 64 * 1024;  // as readRecording judges the layout
constexpr std::size_t kHeadLines = 400;

// The bytes of a source, decompressed when they are gzip data (one member or several in a row).
class Source {
 public:
  Source(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~Source() {
    if (inflating_) inflateEnd(&z_);
  }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  // Reads the first bytes and decides: gzip, text, or (throws) something else.
  void start(bool& gzip) {
    raw_.resize(kBlock);
    fill();
    gzip = an::isGzip(raw_.data() + at_, avail_);
    if (gzip) {
      if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
      inflating_ = true;
      return;
    }
    const std::string kind = an::binaryKind(raw_.data() + at_, std::min(avail_, kHeadBytes));
    if (!kind.empty()) throw Error(Error::Kind::kNotText, api::notTextLine(name_, kind));
  }

  // Up to n bytes of text at out; 0 at the end.
  std::size_t read(char* out, std::size_t n) {
    if (!inflating_) {
      if (avail_ == 0) fill();
      const std::size_t k = std::min(n, avail_);
      std::memcpy(out, raw_.data() + at_, k);
      at_ += k;
      avail_ -= k;
      return k;
    }
    for (;;) {
      if (avail_ == 0 && !ended_) fill();
      if (avail_ == 0 && ended_) {
        if (!inMember_) return 0;
        throw Error(Error::Kind::kCannotRead,
                    name_ + ": the gzip data end early: the file is cut short");
      }
      z_.next_in = reinterpret_cast<Bytef*>(raw_.data() + at_);
      z_.avail_in = static_cast<uInt>(avail_);
      z_.next_out = reinterpret_cast<Bytef*>(out);
      z_.avail_out = static_cast<uInt>(std::min<std::size_t>(n, std::size_t{1} << 30));
      const uInt inBefore = z_.avail_in;
      const uInt outBefore = z_.avail_out;
      inMember_ = true;
      const int r = inflate(&z_, Z_NO_FLUSH);
      at_ += inBefore - z_.avail_in;
      avail_ -= inBefore - z_.avail_in;
      const std::size_t got = outBefore - z_.avail_out;
      if (r == Z_STREAM_END) {
        inMember_ = false;
        // Another member may follow, as in concatenated .gz files; anything else ends the data.
        if (avail_ < 2 && !ended_) fill();
        if (an::isGzip(raw_.data() + at_, avail_)) {
          inflateReset(&z_);
        } else {
          avail_ = 0;
          ended_ = true;
        }
        if (got > 0) return got;
        continue;
      }
      api::checkInflate(r, z_.msg, name_);
      if (got > 0) return got;
    }
  }

 private:
  // Moves what is left to the front and reads more after it.
  void fill() {
    if (ended_) return;
    if (at_ > 0) {
      std::memmove(raw_.data(), raw_.data() + at_, avail_);
      at_ = 0;
    }
    while (avail_ < raw_.size()) {
      const ssize_t got = ::read(fd_, raw_.data() + avail_, raw_.size() - avail_);
      if (got < 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        throw Error(Error::Kind::kCannotRead, name_ + ": " + std::strerror(err), err);
      }
      if (got == 0) {
        ended_ = true;
        break;
      }
      avail_ += static_cast<std::size_t>(got);
      if (inflating_ || avail_ >= 2) break;  // enough to go on
    }
  }

  int fd_;
  std::string name_;
  std::vector<char> raw_;
  std::size_t at_ = 0;
  std::size_t avail_ = 0;
  bool ended_ = false;
  bool inflating_ = false;
  bool inMember_ = false;
  z_stream z_{};
};

// The three readings of a line as the reader takes them (each field converted as std::stod
// would); false for a line without readings.
bool readings(const char* p, const char* e, const Layout& layout, double v[3]) {
  int wanted[3];
  for (int k = 0; k < 3; ++k) wanted[k] = layout.columns[static_cast<std::size_t>(k)];
  const int last = std::max(wanted[0], std::max(wanted[1], wanted[2]));
  bool have[3] = {false, false, false};
  int field = 0;
  const char* c = p;
  while (field < last) {
    const char* begin;
    const char* end;
    if (layout.blanks) {
      while (c < e && (*c == ' ' || *c == '\t' || *c == '\r')) ++c;
      if (c >= e) break;
      begin = c;
      while (c < e && *c != ' ' && *c != '\t' && *c != '\r') ++c;
      end = c;
    } else {
      if (c > e) break;
      begin = c;
      while (c < e && *c != layout.delimiter) ++c;
      end = c;
      if (end == e && begin == e && field > 0 && e > p && e[-1] == layout.delimiter) break;
      ++c;  // past the delimiter
    }
    ++field;
    for (int k = 0; k < 3; ++k) {
      if (wanted[k] == field) have[k] = tiltfit_csv::parseField(begin, end, v[k]);
    }
  }
  return have[0] && have[1] && have[2];
}

// The line of each sample, as runs (see LineRun), built as the samples come.
class Lines {
 public:
  void add(std::uint64_t row, std::uint64_t line) {
    if (!runs_.empty()) {
      LineRun& r = runs_.back();
      const std::uint64_t count = row - r.row;
      if (count == 1 && line > prev_) {
        r.step = static_cast<std::uint32_t>(line - prev_);
        prev_ = line;
        return;
      }
      if (line == prev_ + r.step) {
        prev_ = line;
        return;
      }
    }
    runs_.push_back(LineRun{static_cast<std::uint32_t>(row), static_cast<std::uint32_t>(line), 1});
    prev_ = line;
  }
  std::vector<LineRun> take() {
    // Plain rows (sample r on line r + 1) need no runs.
    if (runs_.size() == 1 && runs_[0].row == 0 && runs_[0].line == 1 && runs_[0].step == 1)
      runs_.clear();
    return std::move(runs_);
  }

 private:
  std::vector<LineRun> runs_;
  std::uint64_t prev_ = 0;
};

}  // namespace

namespace api {

an::ScanOptions scanOptions(const CalibrateOptions& options) {
  an::ScanOptions s;
  if (options.units == Units::kG || options.units == Units::kMs2) {
    s.unitsKnown = true;
    s.scale.perG = options.units == Units::kMs2 ? 9.81 : 1.0;
  }
  s.counts = options.units == Units::kCounts;
  return s;
}

Result calibrateScanned(const Recording& info, an::StretchScan& scan,
                        const CalibrateOptions& options) {
  Work w(info);
  decideUnits(w, options.units == Units::kAuto ? Units::kG : options.units, options.outputUnits);
  w.units = scan.units();
  w.scale = scan.scale();
  if (options.outputUnits.empty()) w.outputMs2 = w.units == an::Units::kMs2;
  w.noise = scan.floor();
  w.stretches = scan.stretches();
  w.moving = an::takeMoving(w.stretches, w.scale);
  w.rotation = api::toAnalysis(options.rotation);
  const double outPerG = w.outputMs2 ? 9.81 : 1.0;
  std::vector<an::OrientationId> missing;
  an::RunResult r =
      an::runStretchCalibration(nullptr, nullptr, nullptr, static_cast<std::size_t>(scan.samples()),
                                w.runOptions(true), false, &missing);
  if (r.success) an::preferIdentity(r, w.scale, outPerG);
  Result out = toResult(w, r, TuningNumbers());
  out.parametersChosen = true;
  out.parametersUsed = false;
  if (!r.success) {
    out.success = false;
    if (w.stretches.empty() || missing.empty()) {
      explainFailure(w, r, TuningNumbers(), out);
    } else {
      explainUncovered(w, missing, out);
    }
    ensureReason(w, r, out);
  }
  return out;
}

}  // namespace api

Result calibrateStretchesStreaming(const std::string& path, const ReadOptions& read,
                                   const CalibrateOptions& options, Recording* info) {
  api::initializeCore();
  const bool stdinput = path == "-";
  const std::string name = stdinput ? "standard input" : path;
  const int fd = stdinput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    throw Error(Error::Kind::kCannotRead, path + ": " + std::strerror(err), err);
  }
  struct Close {
    int fd;
    bool own;
    ~Close() {
      if (own) ::close(fd);
    }
  } closer{fd, !stdinput};
  if (!stdinput) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      throw Error(Error::Kind::kCannotRead, path + ": " + std::strerror(EISDIR), EISDIR);
    }
  }
  Recording rec;
  Source source(fd, name);
  source.start(rec.gzip);

  an::StretchScan scan(api::scanOptions(options));
  Lines lines;
  std::vector<char> block(kBlock);
  std::string pending;  // a line not yet ended
  std::string head;     // the text before the layout is known
  bool layoutKnown = false;
  std::uint64_t line = 0;  // lines seen, 1-based numbers
  std::uint64_t samples = 0;
  auto take = [&](const char* p, const char* e) {
    ++line;
    double v[3];
    if (readings(p, e, rec.layout, v)) {
      lines.add(samples++, line);
      scan.push(v[0], v[1], v[2]);
      return;
    }
    if (rec.linesWithoutReadings++ == 0) {
      rec.firstLineWithoutReadings = line;
      const char* cut = e > p && e[-1] == '\r' ? e - 1 : e;
      rec.firstLineWithoutReadingsText.assign(
          p, std::min<std::size_t>(120, static_cast<std::size_t>(cut - p)));
    }
  };
  auto lines_of = [&](const char* p, const char* e) {
    for (const char* nl;
         (nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(e - p)))) !=
         nullptr;
         p = nl + 1) {
      if (!pending.empty()) {
        pending.append(p, nl);
        take(pending.data(), pending.data() + pending.size());
        pending.clear();
      } else {
        take(p, nl);
      }
    }
    pending.append(p, e);
  };
  auto decide = [&]() {
    rec.sampleLines = an::splitLines(head.data(), head.size(), kHeadLines);
    api::detectLayoutOf(read, rec);
    layoutKnown = true;
    std::string text;
    text.swap(head);
    lines_of(text.data(), text.data() + text.size());
  };
  for (;;) {
    const std::size_t got = source.read(block.data(), block.size());
    if (got == 0) break;
    if (!layoutKnown) {
      head.append(block.data(), got);
      if (head.size() >= kHeadBytes) decide();
      continue;
    }
    lines_of(block.data(), block.data() + got);
  }
  if (!layoutKnown) decide();
  if (!pending.empty()) {
    const std::string last = std::move(pending);
    pending.clear();
    take(last.data(), last.data() + last.size());
  }
  scan.finish();
  rec.lineRuns = lines.take();
  rec.streamedSamples = samples;
  Result out = api::calibrateScanned(rec, scan, options);
  if (info != nullptr) *info = std::move(rec);
  return out;
}

}  // namespace tiltfit
