// The noise figures of a still recording, read once as a stream. The text is cut into batches of
// whole lines, which the reader's threads convert while one more thread runs the stillness gate and
// the six Allan accumulators over the batch before; the batches in flight bound the memory.
//
// Time. The sample period comes from --rate, else the time column (its unit judged on the first
// lines as the gyroscope's time base judges it, the period over every stamp of the recording),
// else a header line such as "Fs,100". A stamp that jumps ahead by several periods (samples lost)
// or back (files joined) breaks the still parts there, as a move does, so that no Allan term spans
// the break; a counter that wraps at a power of two does not break them.
//
// Units. The accelerometer's readings are taken to m/s^2 by their magnitude at rest: about 1 is g,
// about 9.8 is m/s^2, and anything larger counts, scaled by the counts its magnitude reads for
// 1 g. The gyroscope's unit is given (--gyro-units, a calibration), named by its header, or judged:
// whole numbers are counts of a scale nothing gives, so their figures stay in counts; other
// readings are deg/s when their bias or noise is larger than a rad/s gyro's ever is (a bias over
// 0.35 units, a white noise over 0.001 units/sqrt(Hz), 0.06 deg/s/sqrt(Hz)), else rad/s.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "apiInternal.h"
#include "byteSource.h"
#include "gyro/timeBase.h"
#include "layoutSniff.h"
#include "lineLayer.h"
#include "noise/allan.h"
#include "noise/noiseFit.h"
#include "noise/stillGate.h"
#include "noiseValue.h"
#include "tiltfit/noise.hpp"

namespace tiltfit {
namespace {

namespace an = analysis;
namespace nz = analysis::noise;
namespace gy = analysis::gyro;

constexpr std::size_t kReadBytes = std::size_t{1} << 20;
constexpr std::size_t kBatchBytes = std::size_t{4} << 20;  // text converted at once
constexpr std::size_t kInFlight = 3;                       // batches converted, not yet consumed
constexpr std::size_t kHeadBytes = 64 * 1024;              // as readRecording judges the layout
constexpr std::size_t kHeadLines = 400;
constexpr double kPi = 3.14159265358979323846;

std::string format(const char* fmt, double a) {
  char text[128];
  std::snprintf(text, sizeof text, fmt, a);
  return text;
}

// The samples of consecutive lines: ax, ay, az, gx, gy, gz (zeros without a gyroscope) and the
// time column's values when there is one.
struct Batch {
  std::vector<double> column[7];
  std::uint64_t lines = 0;  // lines of text the batch held
  std::uint64_t withoutReadings = 0;
  std::uint64_t firstWithout = 0;  // 1-based among the batch's lines; 0 for none
  std::string firstWithoutText;
  std::size_t size() const { return column[0].size(); }
};

// Which fields hold what.
struct Fields {
  io::Separator separator;
  std::vector<int> wanted;  // acc x, y, z, then gyro x, y, z, then time, as far as present
  bool gyro = false, time = false;
};

void convert(const Fields& f, const io::LineCutter& cutter, const char* p, const char* e,
             Batch& out) {
  const std::size_t guess = static_cast<std::size_t>(e - p) / 40 + 16;
  for (auto& c : out.column) c.reserve(guess);
  double v[7] = {0, 0, 0, 0, 0, 0, 0};
  while (p < e) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(e - p)));
    const char* end = nl == nullptr ? e : nl;
    ++out.lines;
    if (cutter.cutAll(p, end, v)) {
      for (int c = 0; c < 3; ++c) out.column[c].push_back(v[c]);
      for (int c = 3; c < 6; ++c) out.column[c].push_back(f.gyro ? v[c] : 0.0);
      if (f.time) out.column[6].push_back(v[f.gyro ? 6 : 3]);
    } else if (out.withoutReadings++ == 0) {
      out.firstWithout = out.lines;
      out.firstWithoutText = tiltfit_csv::lineStart(p, end);
    }
    p = end + 1;
  }
}

// Lowers the calling thread's scheduling priority a little (Linux: nice is per thread).
void lowerPriority() {
  const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (errno == 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), std::min(nice + 5, 19));
}

// A bounded queue of converted batches, from the reading thread to the one that judges them.
class BatchQueue {
 public:
  void put(std::unique_ptr<Batch> b) {
    std::unique_lock<std::mutex> lock(m_);
    room_.wait(lock, [&] { return q_.size() < kInFlight || stopped_; });
    if (stopped_) return;
    q_.push_back(std::move(b));
    ready_.notify_one();
  }
  // nullptr at the end.
  std::unique_ptr<Batch> take() {
    std::unique_lock<std::mutex> lock(m_);
    ready_.wait(lock, [&] { return !q_.empty() || ended_; });
    if (q_.empty()) return nullptr;
    std::unique_ptr<Batch> b = std::move(q_.front());
    q_.pop_front();
    room_.notify_one();
    return b;
  }
  void end() {
    std::lock_guard<std::mutex> lock(m_);
    ended_ = true;
    ready_.notify_all();
  }
  // The consumer gave up: the producer's puts return at once.
  void stop() {
    std::lock_guard<std::mutex> lock(m_);
    stopped_ = true;
    room_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable ready_, room_;
  std::deque<std::unique_ptr<Batch>> q_;
  bool ended_ = false, stopped_ = false;
};

// How the stamps are read: their unit in seconds, the period in their units, whether they count
// samples.
struct Clock {
  bool stamps = false;
  bool counter = false;
  double unitSeconds = 1.0;
  double period = 0.0;  // seconds, first estimate (the gate's blocks)
  std::string source;
};

double secondsOfUnit(const std::string& unit) {
  if (unit == "ms") return 1e-3;
  if (unit == "us") return 1e-6;
  if (unit == "ns") return 1e-9;
  return 1.0;
}

// The gate, restarted after every break in the stamps, the accumulators fed from it, and the
// stamps' own bookkeeping.
class Consumer {
 public:
  Consumer(const Clock& clock, const nz::StillGateOptions& gate, bool hasGyro)
      : clock_(clock), gateOptions_(gate), hasGyro_(hasGyro) {
    for (int c = 0; c < 6; ++c) allan_.emplace_back(gate.period);
    startGate();
  }

  void take(const Batch& b) {
    const std::size_t n = b.size();
    std::size_t from = 0;
    if (clock_.stamps) {
      const double* t = b.column[6].data();
      for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(t[k])) continue;
        if (haveStamp_ && breaksAt(t[k])) {
          push(b, from, k);
          from = k;
          breakHere();
        }
        if (!segmentOpen_) {
          segmentFirst_ = t[k];
          segmentSamples_ = 0;
          segmentOpen_ = true;
        }
        ++segmentSamples_;
        lastStamp_ = t[k];
        haveStamp_ = true;
      }
    }
    push(b, from, n);
  }

  void finish() {
    closeSegment();
    gate_->finish();
    addReport();
  }

  const std::vector<nz::AllanAccumulator>& allan() const { return allan_; }
  const nz::GateReport& report() const { return total_; }
  double sum(int c) const { return sums_[c]; }
  std::size_t gaps() const { return gaps_; }
  // The period the stamps give over the whole recording, seconds; 0 without stamps.
  double stampPeriod() const {
    if (intervals_ == 0 || !(spanUnits_ > 0.0)) return 0.0;
    return clock_.counter ? 0.0 : spanUnits_ * clock_.unitSeconds / static_cast<double>(intervals_);
  }
  std::size_t memoryBytes() const {
    std::size_t bytes = gate_->memoryBytes();
    for (const auto& a : allan_) bytes += a.memoryBytes();
    return bytes;
  }

 private:
  bool breaksAt(double t) {
    const double d = t - lastStamp_;
    if (clock_.counter) {
      if (d == 1.0) return false;
      // A counter of 8, 16, 24 or 32 bits that wrapped.
      for (double bits : {256.0, 65536.0, 16777216.0, 4294967296.0})
        if (lastStamp_ < bits && d + bits == 1.0) return false;
      return d != 0.0;  // a repeated count is a repeated line, not a break
    }
    const double p = clock_.period / clock_.unitSeconds;
    const double slack = std::max(4.0 * p, p + 0.05 / clock_.unitSeconds);
    return d > slack || d < -slack;
  }
  void closeSegment() {
    if (!segmentOpen_) return;
    if (segmentSamples_ > 1) {
      spanUnits_ += lastStamp_ - segmentFirst_;
      intervals_ += segmentSamples_ - 1;
    }
    segmentOpen_ = false;
  }
  void breakHere() {
    closeSegment();
    ++gaps_;
    gate_->finish();
    addReport();
    for (auto& a : allan_) a.breakSegment();
    startGate();
  }
  void push(const Batch& b, std::size_t from, std::size_t to) {
    if (to <= from) return;
    const double* ch[6];
    for (int c = 0; c < 6; ++c) ch[c] = b.column[c].data() + from;
    gate_->push(ch, to - from);
  }
  void startGate() {
    base_ = total_.samples;
    gate_ = std::make_unique<nz::StillGate>(
        gateOptions_, [this](const double* const* channels, std::size_t n, bool breakBefore) {
          for (std::size_t c = 0; c < 6; ++c) {
            if (!hasGyro_ && c >= 3) break;
            if (breakBefore) allan_[c].breakSegment();
            allan_[c].add(channels[c], n);
            double s = 0.0;
            for (std::size_t k = 0; k < n; ++k) s += channels[c][k];
            sums_[c] += s;
          }
        });
  }
  // The finished gate's report, added to those before it, its rows counted from the recording's
  // start.
  void addReport() {
    const nz::GateReport& r = gate_->report();
    total_.samples += r.samples;
    total_.kept += r.kept;
    total_.leftOut += r.leftOut;
    total_.segments += r.segments;
    total_.spansNotListed += r.spansNotListed;
    for (const nz::GateSpan& s : r.spans) {
      if (total_.spans.size() >= nz::GateReport::kMaxSpans) {
        ++total_.spansNotListed;
        continue;
      }
      total_.spans.push_back(nz::GateSpan{s.first + base_, s.end + base_});
    }
    if (r.kept > 0 || total_.why.empty()) total_.why = r.why;
    for (int c = 0; c < 6; ++c) total_.floor[c] = std::max(total_.floor[c], r.floor[c]);
    total_.neverStill = total_.kept == 0;
  }

  Clock clock_;
  nz::StillGateOptions gateOptions_;
  bool hasGyro_;
  std::unique_ptr<nz::StillGate> gate_;
  std::vector<nz::AllanAccumulator> allan_;
  nz::GateReport total_;
  std::uint64_t base_ = 0;
  double sums_[6] = {0, 0, 0, 0, 0, 0};
  bool haveStamp_ = false, segmentOpen_ = false;
  double lastStamp_ = 0.0, segmentFirst_ = 0.0;
  std::uint64_t segmentSamples_ = 0;
  double spanUnits_ = 0.0;
  std::uint64_t intervals_ = 0;
  std::size_t gaps_ = 0;
};

// "at 301.2 s" for a sample at the period.
std::string atTime(std::uint64_t sample, double period) {
  return format("%.1f s", static_cast<double>(sample) * period);
}

// One sentence on what the gate left out, or "".
std::string leftOutSentence(const nz::GateReport& r, double period, std::size_t gaps) {
  if (r.leftOut == 0 && gaps == 0) return "";
  std::string s;
  if (r.leftOut > 0) {
    const std::uint64_t parts = r.spans.size() + r.spansNotListed;
    s = std::to_string(r.leftOut) + " of " + std::to_string(r.samples) + " samples (" +
        nz::formatDuration(static_cast<double>(r.leftOut) * period) + ") where the device moved, in " +
        std::to_string(parts) + (parts == 1 ? " part" : " parts");
    if (!r.spans.empty()) {
      s += ", the first from " + atTime(r.spans[0].first, period) + " to " +
           atTime(r.spans[0].end, period);
    }
  }
  if (gaps > 0) {
    if (!s.empty()) s += "; ";
    s += "the still parts broken at " + std::to_string(gaps) +
         (gaps == 1 ? " gap" : " gaps") + " in the stamps";
  }
  return s;
}

// The figures of one axis in the wanted units, from its curve.
AxisNoise axisOf(const nz::AllanCurve& curve, double scale) {
  AxisNoise a;
  nz::NoiseFitOptions fo;
  fo.unitScale = scale;
  const nz::NoiseFit fit = nz::fitNoise(curve, fo);
  a.white = noiseValueOf(fit.white);
  a.randomWalk = noiseValueOf(fit.randomWalk);
  a.biasInstability = noiseValueOf(fit.bias);
  for (const nz::AllanPoint& p : curve.points) {
    a.allan.tauS.push_back(p.tau);
    a.allan.adev.push_back(p.adev * scale);
    a.allan.low.push_back(p.lo * scale);
    a.allan.high.push_back(p.hi * scale);
    a.fit.push_back(fit.ok ? fit.modelAdev(p.tau) : 0.0);
  }
  return a;
}

double medianOf3(double a, double b, double c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

}  // namespace

NoiseResult noiseOfStillRecording(const std::string& path, const NoiseOptions& options) {
  NoiseResult out;
  std::unique_ptr<io::ByteSource> source = io::ByteSource::open(path);
  source->start();

  // The head decides the layout, the time and the units of the gate's tests.
  std::vector<char> block(kReadBytes);
  std::string text;
  while (text.size() < kHeadBytes) {
    const std::size_t got = source->read(block.data(), block.size());
    if (got == 0) break;
    text.append(block.data(), got);
  }
  Recording rec;
  rec.sampleLines = io::splitLines(text.data(), text.size(), kHeadLines);
  ReadOptions read;
  read.layout = options.layout;
  read.detectDelimiter = options.detectDelimiter;
  read.detectColumns = options.detectColumns;
  read.detectGyro = options.detectGyro;
  api::detectLayoutOf(read, rec);
  if (rec.layout.timeColumn == 0 && !rec.layout.hasGyro()) {
    // An accelerometer alone: its time column too.
    const an::ImuGuess g = an::sniffImu(rec.sampleLines, rec.layout);
    if (g.timeColumn > 0) {
      rec.layout.timeColumn = g.timeColumn;
      rec.layout.timeIsCounter = g.counter;
      rec.timeName = g.timeName;
    }
  }
  out.layout = rec.layout;
  out.columnsReason = rec.columnsReason;
  out.gyroReason = rec.gyroReason;

  Fields fields;
  fields.separator = io::Separator{rec.layout.delimiter, rec.layout.blanks};
  for (int c : rec.layout.columns) fields.wanted.push_back(c);
  fields.gyro = rec.layout.hasGyro();
  if (fields.gyro)
    for (int c : rec.layout.gyroColumns) fields.wanted.push_back(c);
  fields.time = rec.layout.timeColumn > 0;
  if (fields.time) fields.wanted.push_back(rec.layout.timeColumn);
  const io::LineCutter cutter(fields.separator, fields.wanted);

  // Whole lines of the head, converted to judge the clock and the units.
  Batch head;
  {
    const std::size_t lastNl = text.rfind('\n');
    const std::size_t whole = lastNl == std::string::npos ? 0 : lastNl + 1;
    convert(fields, cutter, text.data(), text.data() + whole, head);
  }
  Clock clock;
  const std::string column =
      "column " + std::to_string(rec.layout.timeColumn) +
      (rec.timeName.empty() ? std::string() : " (\"" + rec.timeName + "\")");
  if (options.rateHz > 0.0) {
    clock.period = 1.0 / options.rateHz;
    out.timeSource = format("%g Hz from --rate", options.rateHz);
  }
  if (fields.time && head.size() >= 2) {
    const std::vector<double>& t = head.column[6];
    bool whole = true;
    std::size_t ones = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
      whole = whole && t[i] == std::floor(t[i]);
      if (i > 0) ones += t[i] - t[i - 1] == 1.0;
    }
    const double rate = options.rateHz > 0.0 ? options.rateHz : rec.rateFromHeader;
    clock.counter = rec.layout.timeIsCounter || (whole && ones * 2 > t.size() && rate > 0.0);
    if (clock.counter) {
      if (rate > 0.0) {
        clock.stamps = true;
        clock.period = 1.0 / rate;
        if (out.timeSource.empty())
          out.timeSource = "sample counter in " + column + format(" at %g Hz", rate);
      }
    } else {
      const gy::TimeBase tb = gy::TimeBase::fromStamps(t.data(), t.size(), rate);
      if (tb.unit() != "rate" && tb.meanRate() > 0.0) {
        clock.stamps = true;
        clock.unitSeconds = secondsOfUnit(tb.unit());
        if (clock.period == 0.0) clock.period = 1.0 / tb.meanRate();
        if (out.timeSource.empty()) out.timeSource = "time in " + column + ", in " + tb.unit();
      }
    }
  }
  if (clock.period == 0.0 && rec.rateFromHeader > 0.0) {
    clock.period = 1.0 / rec.rateFromHeader;
    out.timeSource = format("%g Hz", rec.rateFromHeader) + " from the header line \"" +
                     rec.rateLine + "\"";
  }
  if (!(clock.period > 0.0)) {
    out.problems.push_back(
        "the recording gives no sample rate (no time column and no header line such as "
        "\"Fs,100\"): give it with --rate HZ");
    return out;
  }

  // The units the gate's absolute tests need, from the head's samples.
  nz::StillGateOptions gate;
  gate.period = clock.period;
  double magnitude = 0.0;
  if (head.size() > 0) {
    double m[3] = {0, 0, 0};
    for (int c = 0; c < 3; ++c) {
      for (double v : head.column[c]) m[c] += v;
      m[c] /= static_cast<double>(head.size());
    }
    magnitude = std::sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
  }
  // A session's scales that this recording's readings disagree with are not used.
  double accelPerUnit = options.accelPerUnit;
  double gyroUnitsPerRadS = options.gyroUnitsPerRadS;
  if (options.scalesFromSession && accelPerUnit > 0.0 && head.size() > 0 &&
      std::abs(magnitude * accelPerUnit / options.gravity - 1.0) > 0.15) {
    out.notes.push_back(format("the accelerometer does not read in the session's units (%.4g g "
                               "at rest through them): its units judged afresh",
                               magnitude * accelPerUnit / options.gravity));
    accelPerUnit = 0.0;
  }
  if (options.scalesFromSession && gyroUnitsPerRadS > 0.0 && options.sessionGyroWhite > 0.0 &&
      fields.gyro && head.size() >= 64 && clock.period > 0.0) {
    // White noise of the head from its first differences (their median absolute deviation, so
    // that a move in the head does not count), against the session's stretches'.
    std::array<double, 3> white{};
    for (int c = 3; c < 6; ++c) {
      const std::vector<double>& v = head.column[c];
      std::vector<double> d;
      for (std::size_t i = 1; i < v.size(); ++i) d.push_back(std::abs(v[i] - v[i - 1]));
      std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2), d.end());
      white[static_cast<std::size_t>(c - 3)] =
          d[d.size() / 2] * 1.4826 / std::sqrt(2.0) * std::sqrt(clock.period);
    }
    const double ratio =
        medianOf3(white[0], white[1], white[2]) / gyroUnitsPerRadS / options.sessionGyroWhite;
    if (ratio > 4.0 || (ratio > 0.0 && ratio < 0.25)) {
      out.notes.push_back("the gyroscope does not read in the session's units (its noise " +
                          format("%.3g", ratio) +
                          " times the session's through them): its units judged afresh");
      gyroUnitsPerRadS = 0.0;
    }
  }
  auto accelScaleOf = [&](double mag) {
    if (accelPerUnit > 0.0) return accelPerUnit;
    if (mag > 0.5 && mag < 2.0) return options.gravity;
    if (mag > 5.0 && mag < 20.0) return 1.0;
    if (mag > 50.0) return options.gravity / mag;
    return 0.0;
  };
  gate.accelToSI = accelScaleOf(magnitude);
  double gyroToSI = 0.0;
  std::string gyroHow;
  if (fields.gyro) {
    if (gyroUnitsPerRadS > 0.0) {
      gyroToSI = 1.0 / gyroUnitsPerRadS;
      gyroHow = options.gyroUnitsNote.empty() ? "as given" : options.gyroUnitsNote;
    } else if (rec.gyroUnitsInHeader == "rad/s") {
      gyroToSI = 1.0;
      gyroHow = "rad/s, as the header names them";
    } else if (rec.gyroUnitsInHeader == "deg/s") {
      gyroToSI = kPi / 180.0;
      gyroHow = "deg/s, as the header names them";
    }
  }
  gate.gyroToSI = gyroToSI;

  Consumer consumer(clock, gate, fields.gyro);
  BatchQueue queue;
  std::exception_ptr failed;
  std::atomic<bool> stopped{false};
  std::thread judge([&]() {
    try {
      while (std::unique_ptr<Batch> b = queue.take()) consumer.take(*b);
    } catch (...) {
      failed = std::current_exception();
      stopped = true;
      queue.stop();
    }
  });

  std::uint64_t lines = 0;
  auto account = [&](const Batch& b) {
    if (b.withoutReadings > 0) {
      if (rec.linesWithoutReadings == 0) {
        rec.firstLineWithoutReadings = lines + b.firstWithout;
        rec.firstLineWithoutReadingsText = b.firstWithoutText;
      }
      rec.linesWithoutReadings += b.withoutReadings;
    }
    lines += b.lines;
    out.samples += b.size();
  };
  const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // Converts whole lines [p, e) in pieces, one a thread, and hands them on in order.
  auto convertAll = [&](const char* p, const char* e) {
    std::vector<const char*> cuts{p};
    const std::size_t piece = static_cast<std::size_t>(e - p) / static_cast<std::size_t>(threads);
    for (int k = 1; k < threads && piece > 0; ++k) {
      const char* at = std::max(cuts.back(), p + piece * static_cast<std::size_t>(k));
      const char* nl = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(e - at)));
      cuts.push_back(nl == nullptr ? e : nl + 1);
    }
    cuts.push_back(e);
    // Threads of their own rather than OpenMP's, whose idle workers spin between batches on the
    // core the judging thread needs.
    const std::size_t pieces = cuts.size() - 1;
    std::vector<std::unique_ptr<Batch>> done(pieces);
    for (auto& b : done) b = std::make_unique<Batch>();
    std::vector<std::thread> helpers;
    std::vector<std::exception_ptr> errors(pieces);
    // The converters run at a lower priority than the judging thread: when there are fewer
    // cores than threads, the judge, which nothing can share, gets a whole one.
    for (std::size_t k = 0; k < pieces; ++k) {
      helpers.emplace_back([&, k] {
        lowerPriority();
        try {
          convert(fields, cutter, cuts[k], cuts[k + 1], *done[k]);
        } catch (...) {
          errors[k] = std::current_exception();  // out of memory
        }
      });
    }
    for (std::thread& t : helpers) t.join();
    for (const std::exception_ptr& error : errors)
      if (error) std::rethrow_exception(error);
    for (auto& b : done) {
      account(*b);
      queue.put(std::move(b));
    }
  };
  try {
    for (;;) {
      if (stopped) break;
      const bool more = text.size() < kBatchBytes;
      std::size_t got = 0;
      if (more) {
        got = source->read(block.data(), block.size());
        text.append(block.data(), got);
        if (got > 0 && text.size() < kBatchBytes) continue;
      }
      // At the end, the last line without its newline too; a batch without any line end is cut
      // where it stands, so that no text holds the memory without bound.
      const std::size_t lastNl = text.rfind('\n');
      const std::size_t whole =
          (got == 0 && more) || lastNl == std::string::npos ? text.size() : lastNl + 1;
      convertAll(text.data(), text.data() + whole);
      text.erase(0, whole);
      if (got == 0 && more) break;
    }
  } catch (...) {
    queue.end();
    judge.join();
    throw;
  }
  queue.end();
  judge.join();
  if (failed) std::rethrow_exception(failed);
  consumer.finish();

  // The period: the stamps' over the whole recording, when they give one.
  double period = clock.period;
  if (options.rateHz <= 0.0 && consumer.stampPeriod() > 0.0) period = consumer.stampPeriod();
  out.rateHz = 1.0 / period;
  const nz::GateReport& report = consumer.report();
  out.kept = report.kept;
  out.segments = report.segments;
  out.seconds = static_cast<double>(report.kept) * period;
  out.memoryBytes = consumer.memoryBytes() + kInFlight * kBatchBytes * 2;
  out.leftOut = leftOutSentence(report, period, consumer.gaps());
  if (report.kept == 0) {
    out.problems.push_back(out.samples == 0 ? "no line holds numbers in every column read (" +
                                                  layoutWords(rec.layout) + ")"
                                            : "no still part: " + report.why);
    return out;
  }

  std::array<nz::AllanCurve, 6> curves;
  for (int c = 0; c < (fields.gyro ? 6 : 3); ++c) {
    curves[static_cast<std::size_t>(c)] = consumer.allan()[static_cast<std::size_t>(c)].curve(options.confidence);
    nz::AllanCurve& cv = curves[static_cast<std::size_t>(c)];
    cv.period = period;
    for (nz::AllanPoint& p : cv.points) p.tau = static_cast<double>(p.m) * period;
  }
  if (curves[0].points.size() < 4) {
    out.problems.push_back("too short for noise figures: " + nz::formatDuration(out.seconds) +
                           " still; record at least a few minutes");
    return out;
  }

  // The accelerometer in m/s^2, by the magnitude of its still mean.
  const double kept = static_cast<double>(report.kept);
  const double mean[3] = {consumer.sum(0) / kept, consumer.sum(1) / kept, consumer.sum(2) / kept};
  const double mag = std::sqrt(mean[0] * mean[0] + mean[1] * mean[1] + mean[2] * mean[2]);
  double accelScale = accelScaleOf(mag);
  SensorNoise& acc = out.accelerometer;
  acc.present = true;
  if (accelPerUnit > 0.0) {
    acc.units = "m/s^2";
    acc.unitsNote = options.accelUnitsNote.empty() ? "as given" : options.accelUnitsNote;
  } else if (accelScale == 0.0) {
    acc.units = "raw";
    accelScale = 1.0;
    acc.unitsNote = format("left as read: its magnitude at rest, %.4g, names no unit", mag);
    out.notes.push_back("the accelerometer's figures are in its raw units: " + acc.unitsNote);
  } else if (mag > 50.0) {
    acc.units = "m/s^2";
    acc.unitsNote = format("counts, %.6g of them to 1 g by their magnitude at rest", mag);
  } else {
    acc.units = "m/s^2";
    acc.unitsNote = mag < 2.0 ? "g, by their magnitude at rest" : "m/s^2, by their magnitude at rest";
  }
  for (int k = 0; k < 3; ++k)
    acc.axes[static_cast<std::size_t>(k)] = axisOf(curves[static_cast<std::size_t>(k)], accelScale);

  if (fields.gyro) {
    SensorNoise& g = out.gyroscope;
    g.present = true;
    if (gyroToSI > 0.0) {
      g.units = "rad/s";
      g.unitsNote = gyroHow;
    } else {
      bool whole = true;
      for (int c = 3; c < 6 && whole; ++c)
        for (double v : head.column[c]) whole = whole && v == std::floor(v);
      if (whole && head.size() > 0) {
        g.units = "counts";
        g.unitsNote = "counts of a scale nothing gives";
        out.notes.push_back(
            "the gyroscope's figures are in counts: give --gyro-units COUNTS_PER_DEG_S (131 for "
            "an MPU-6050 at 250 deg/s full scale) for them in rad/s");
      } else {
        const double bias = std::max({std::abs(consumer.sum(3)), std::abs(consumer.sum(4)),
                                      std::abs(consumer.sum(5))}) /
                            kept;
        double n[3];
        for (int k = 0; k < 3; ++k) {
          const AxisNoise raw = axisOf(curves[static_cast<std::size_t>(3 + k)], 1.0);
          n[k] = raw.white.value;
        }
        const double white = medianOf3(n[0], n[1], n[2]);
        const bool degrees = bias > 0.35 || white > 1e-3;
        gyroToSI = degrees ? kPi / 180.0 : 1.0;
        g.units = "rad/s";
        g.unitsNote = std::string(degrees ? "deg/s" : "rad/s") + ", judged from their " +
                      (bias > 0.35 ? format("bias (%.3g units)", bias)
                                   : format("white noise (%.3g units/sqrt(Hz))", white)) +
                      "; give --gyro-units if that is wrong";
      }
    }
    const double scale = gyroToSI > 0.0 ? gyroToSI : 1.0;
    for (int k = 0; k < 3; ++k)
      g.axes[static_cast<std::size_t>(k)] =
          axisOf(curves[static_cast<std::size_t>(3 + k)], scale);
  }
  out.success = true;
  return out;
}

std::string setGyroUnits(NoiseOptions& options, const std::string& unit,
                         const std::string& source) {
  constexpr double kDegPerRad = 180.0 / kPi;
  double perRadS = 0.0;
  std::string how = unit;
  if (unit == "rad/s" || unit == "rads") {
    perRadS = 1.0;
  } else if (unit == "deg/s" || unit == "degs") {
    perRadS = kDegPerRad;
  } else {
    char* end = nullptr;
    const double counts = std::strtod(unit.c_str(), &end);
    if (unit.empty() || *end != '\0' || !(counts > 0.0 && counts < 1e9))
      return "the gyro's unit must be rad/s, deg/s or the counts per deg/s: \"" + unit + "\"";
    perRadS = counts * kDegPerRad;
    how = unit + " counts per deg/s";
  }
  options.gyroUnitsPerRadS = perRadS;
  options.gyroUnitsNote = how + ", as " + source + " gives";
  return std::string();
}

}  // namespace tiltfit
