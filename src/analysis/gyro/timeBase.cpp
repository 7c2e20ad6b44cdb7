// How the stamps become a clock.
//
// Unit. Stamps that count from 1970 have a size of their own in each unit (1e9-4e9 s, 1e12-4e12
// ms, 1e15-4e15 us, 1e18-4e18 ns), which settles both the unit and the epoch. Otherwise the
// typical step P (the median over windows of 64 steps of their mean step, so that steps of zero
// from coarse stamps and single late stamps average out) is read in the unit that makes the rate
// closest to the stated one, or without one to 200 Hz on a log scale: IMU loggers run between a
// few hertz and a few kilohertz, and the four units lie a factor 1000 apart.
//
// Clock. A phase-locked walk: the prediction advances by P each sample and is pulled towards each
// stamp that lies within T of it by 1/64 of the difference (which follows a clock a little off P
// without following jitter). A stamp beyond T is an outlier; when kPersist consecutive outliers
// agree with each other on a new line of slope P, the clock broke at the first of them (a gap
// when the new line lies ahead, a restart when it lies behind). Outliers that do not persist
// (a late stamp, a record of another kind stepping back) are ignored. T is the larger of 0.6 P
// and five times the mean absolute deviation of the steps from P, so that rounding to a step
// coarser than the period (steps of 0 and 2P) is not taken for gaps.
//
// Each segment between breaks is then fitted by least squares (stamps within T of the first fit,
// refitted), which gives its start and period. When the stamps follow an uneven clock (residuals
// above 0.2 P, from stamps on no grid as coarse as a tenth of the period, whose consecutive steps
// are not anticorrelated as jitter about an even clock makes them) the samples keep their own
// stamps, as 8-byte seconds; otherwise the even model stands and takes O(segments) memory.
#include "gyro/timeBase.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace tiltfit {
namespace analysis {
namespace gyro {
namespace {

constexpr int kPersist = 4;
constexpr double kPull = 1.0 / 64.0;
constexpr std::size_t kSampled = 1 << 16;
constexpr std::size_t kWindow = 64;

struct Unit {
  const char* name;
  const char* longName;
  double seconds;
};
constexpr Unit kUnits[4] = {{"s", "seconds", 1.0},
                            {"ms", "milliseconds", 1e-3},
                            {"us", "microseconds", 1e-6},
                            {"ns", "nanoseconds", 1e-9}};

double median(std::vector<double> v) {
  if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// Evenly spread indices 0 <= i < limit, at most kSampled of them.
template <typename F>
void sampled(std::size_t limit, F&& f) {
  const std::size_t stride = std::max<std::size_t>(1, limit / kSampled);
  for (std::size_t i = 0; i < limit; i += stride) f(i);
}

// Median over windows of kWindow steps (or all of them, for a short recording) of the mean step,
// in the stamps' units; NaN when no window of finite stamps moves forward.
double typicalStep(const double* t, std::size_t n) {
  if (n < 2) return std::numeric_limits<double>::quiet_NaN();
  const std::size_t w = std::min(kWindow, n - 1);
  std::vector<double> steps;
  sampled(n - w, [&](std::size_t i) {
    const double d = (t[i + w] - t[i]) / static_cast<double>(w);
    if (std::isfinite(d) && d > 0.0) steps.push_back(d);
  });
  return median(std::move(steps));
}

std::string format(const char* fmt, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

// A duration in words: "0.3 s", "12 ms".
std::string duration(double s) {
  if (s >= 1.0) return format("%.3g s", s);
  if (s >= 1e-3) return format("%.3g ms", s * 1e3);
  return format("%.3g us", s * 1e6);
}

struct Walk {
  std::vector<TimeSegment> segments;  // start in the stamps' own seconds (not yet made continuous)
  std::vector<double> rms;            // residual rms of each segment, seconds
};

// The clock walk and the segment fits over seconds sec(i), i < n, with typical period P and
// tolerance T (seconds).
template <typename Sec>
Walk walk(const Sec& sec, std::size_t n, double P, double T) {
  std::vector<std::size_t> firsts{0};
  std::size_t i0 = 0;
  while (i0 < n && !std::isfinite(sec(i0))) ++i0;
  if (i0 < n) {
    double pred = sec(i0);
    std::size_t candidate = 0;
    double candidateStart = 0.0;
    int agreeing = 0;
    for (std::size_t i = i0 + 1; i < n; ++i) {
      pred += P;
      const double s = sec(i);
      if (!std::isfinite(s)) continue;
      const double e = s - pred;
      if (std::abs(e) <= T) {
        pred += kPull * e;
        agreeing = 0;
        continue;
      }
      if (agreeing > 0 &&
          std::abs(s - (candidateStart + static_cast<double>(i - candidate) * P)) <= T) {
        ++agreeing;
      } else {
        candidate = i;
        candidateStart = s;
        agreeing = 1;
      }
      if (agreeing >= kPersist) {
        firsts.push_back(candidate);
        pred = candidateStart + static_cast<double>(i - candidate) * P;
        agreeing = 0;
      }
    }
  }
  firsts.push_back(n);
  Walk w;
  for (std::size_t k = 0; k + 1 < firsts.size(); ++k) {
    const std::size_t a = firsts[k];
    const std::size_t b = firsts[k + 1];
    TimeSegment seg;
    seg.first = a;
    seg.count = b - a;
    seg.period = P;
    // Least squares s = c0 + c1 (i - a), then again over the stamps near the first line.
    double c0 = std::numeric_limits<double>::quiet_NaN();
    double c1 = P;
    double rms = 0.0;
    for (int pass = 0; pass < 2; ++pass) {
      double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
      for (std::size_t i = a; i < b; ++i) {
        const double s = sec(i);
        if (!std::isfinite(s)) continue;
        const double x = static_cast<double>(i - a);
        if (pass == 1 && std::isfinite(c0) && std::abs(s - (c0 + c1 * x)) > T) continue;
        sw += 1;
        sx += x;
        sy += s;
        sxx += x * x;
        sxy += x * s;
      }
      if (sw < 1) break;
      const double den = sw * sxx - sx * sx;
      if (sw >= 8 && den > 0) {
        c1 = (sw * sxy - sx * sy) / den;
        c0 = (sy - c1 * sx) / sw;
      } else {
        c1 = P;
        c0 = (sy - P * sx) / sw;
      }
      if (!(c1 > 0.0) || !std::isfinite(c1)) c1 = P;
    }
    double ss = 0;
    double cnt = 0;
    for (std::size_t i = a; i < b && std::isfinite(c0); ++i) {
      const double s = sec(i);
      const double r = s - (c0 + c1 * static_cast<double>(i - a));
      if (std::isfinite(s) && std::abs(r) <= T) {
        ss += r * r;
        cnt += 1;
      }
    }
    rms = cnt > 0 ? std::sqrt(ss / cnt) : 0.0;
    seg.start = std::isfinite(c0) ? c0 : 0.0;
    seg.period = c1;
    w.segments.push_back(seg);
    w.rms.push_back(rms);
  }
  return w;
}

}  // namespace

namespace {
// A rate whose period is a positive, finite number of seconds, and `periods` of it too (the
// longest time asked of it).
bool usableRate(double rate, double periods = 1.0) {
  return rate > 0.0 && std::isfinite(rate) && 1.0 / rate > 0.0 &&
         std::isfinite(std::max(periods, 1.0) / rate);
}
}  // namespace

std::size_t TimeBase::segmentOf(std::size_t i) const {
  auto it = std::upper_bound(segments_.begin(), segments_.end(), i,
                             [](std::size_t v, const TimeSegment& s) { return v < s.first; });
  return static_cast<std::size_t>(it - segments_.begin()) - 1;
}

double TimeBase::time(std::size_t i) const {
  if (!times_.empty()) return times_[i];
  const TimeSegment& s = segments_[segmentOf(i)];
  return s.start + static_cast<double>(i - s.first) * s.period;
}

double TimeBase::step(std::size_t i) const {
  const std::size_t k = segmentOf(i);
  const TimeSegment& s = segments_[k];
  if (i + 1 >= s.first + s.count) return s.period;
  if (!times_.empty()) return times_[i + 1] - times_[i];
  return s.period;
}

bool TimeBase::gapWithin(std::size_t first, std::size_t last) const {
  for (const TimeGap& g : gaps_)
    if (g.row > first && g.row <= last) return true;
  return false;
}

void TimeBase::finish() {
  double samples = 0;
  double seconds = 0;
  for (const TimeSegment& s : segments_) {
    samples += static_cast<double>(s.count);
    seconds += static_cast<double>(s.count) * s.period;
  }
  meanRate_ = seconds > 0 ? samples / seconds : 0.0;
}

TimeBase TimeBase::fromRate(std::size_t n, double rate) {
  TimeBase tb;
  tb.n_ = n;
  tb.unit_ = "rate";
  if (n > 0 && usableRate(rate, static_cast<double>(n))) tb.segments_.push_back(TimeSegment{0, n, 0.0, 1.0 / rate});
  tb.finish();
  tb.note_ = "no time column: samples taken evenly at " + format("%.6g", rate) + " Hz";
  return tb;
}

// The common part of fromStamps and fromCounter: sec(i) in seconds, typical period P, tolerance T.
template <typename Sec>
static void build(std::vector<TimeSegment>& segments, std::vector<TimeGap>& gaps,
                  std::vector<double>& times, const Sec& sec, std::size_t n, double P, double T,
                  bool allowPerSample, double& rmsOut, bool fixedPeriod = false) {
  Walk w = walk(sec, n, P, T);
  // A counter counts samples: every segment runs at the stated rate, set before the segments are
  // joined so that the joins hold for the periods they keep.
  if (fixedPeriod)
    for (TimeSegment& s : w.segments) s.period = P;
  // Make the segments continuous: a restart continues one period after the last sample before it.
  double shift = 0.0;
  double rms2 = 0.0;
  double counted = 0.0;
  std::vector<double> restartShift(w.segments.size(), 0.0);  // what restarts moved each segment by
  double restarted = 0.0;
  for (std::size_t k = 0; k < w.segments.size(); ++k) {
    TimeSegment& s = w.segments[k];
    rms2 += w.rms[k] * w.rms[k] * static_cast<double>(s.count);
    counted += static_cast<double>(s.count);
    if (k == 0) {
      shift = -s.start;
      s.start = 0.0;
      continue;
    }
    const TimeSegment& prev = w.segments[k - 1];
    const double expected = prev.start + static_cast<double>(prev.count) * prev.period;
    const double start = s.start + shift;
    const double missing = start - expected;
    if (missing > T) {
      gaps.push_back(TimeGap{s.first, missing, false});
      s.start = start;
    } else if (missing < -T) {
      gaps.push_back(TimeGap{s.first, std::numeric_limits<double>::quiet_NaN(), true});
      shift += expected - start;
      restarted += expected - start;
      s.start = expected;
    } else {
      // Within the tolerance, which may exceed a period, the fitted start could still fall before
      // the last sample of the segment before: time never goes back.
      s.start = std::max(start, prev.start + static_cast<double>(prev.count - 1) * prev.period);
    }
    restartShift[k] = restarted;
  }
  rmsOut = counted > 0 ? std::sqrt(rms2 / counted) : 0.0;
  segments = w.segments;
  if (allowPerSample && rmsOut > 0.2 * P) {
    // An uneven clock: each sample keeps its stamp. Its breaks are read from the steps alone, as
    // the walk's line does not hold: a step back beyond T is a restart (time continues one
    // period on), a step of more than 2.5 periods a gap. A missing stamp is one period after the
    // one before.
    gaps.clear();
    times.resize(n);
    double shiftBy = 0.0;
    double last = -std::numeric_limits<double>::infinity();
    double previous = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < n; ++i) {
      const double raw = sec(i);
      double v;
      if (!std::isfinite(raw)) {
        v = std::isfinite(last) ? last + P : 0.0;
      } else {
        if (std::isfinite(previous)) {
          const double d = raw - previous;
          if (d < -T) {
            gaps.push_back(TimeGap{i, std::numeric_limits<double>::quiet_NaN(), true});
            shiftBy += last + P - (raw + shiftBy);
          } else if (d > 2.5 * P) {
            gaps.push_back(TimeGap{i, d - P, false});
          }
        }
        previous = raw;
        v = raw + shiftBy;
      }
      v = std::max(v, last);
      times[i] = v;
      last = v;
    }
    // The mean step, or P where the times never advance (every stamp but one failing to fit).
    const double mean = n > 1 ? (times[n - 1] - times[0]) / double(n - 1) : P;
    segments.assign(1, TimeSegment{0, n, 0.0, mean > 0.0 && std::isfinite(mean) ? mean : P});
  }
}

TimeBase TimeBase::fromStamps(const double* stamps, std::size_t n, double rateHint) {
  TimeBase tb;
  tb.n_ = n;
  const double rawStep = typicalStep(stamps, n);
  if (!std::isfinite(rawStep)) {
    if (rateHint > 0) {
      tb = fromRate(n, rateHint);
      tb.note_ = "time column holds no increasing stamps: samples taken evenly at the stated " +
                 format("%.6g", rateHint) + " Hz";
    } else {
      tb.note_ = "time column holds no increasing stamps and no rate is known";
    }
    return tb;
  }
  std::size_t i0 = 0;
  while (i0 < n && !std::isfinite(stamps[i0])) ++i0;
  const double first = stamps[i0];
  int unit = -1;
  for (int k = 0; k < 4; ++k) {
    const double scale = std::pow(1000.0, k);
    if (first >= 1e9 * scale && first <= 4e9 * scale) unit = k;
  }
  tb.epoch_ = unit >= 0;
  if (unit < 0) {
    const double target = rateHint > 0 ? rateHint : 200.0;
    double best = std::numeric_limits<double>::infinity();
    for (int k = 0; k < 4; ++k) {
      const double rate = 1.0 / (rawStep * kUnits[k].seconds);
      const double score = std::abs(std::log(rate / target));
      // The first unit stands when no score is finite (a step so small or large that every rate
      // overflows or vanishes).
      if (unit < 0 || score < best) {
        best = score;
        unit = k;
      }
    }
  }
  const double scale = kUnits[unit].seconds;
  tb.unit_ = kUnits[unit].name;
  const double P = rawStep * scale;
  if (!(P > 0.0) || !std::isfinite(P)) {
    // A step of no seconds a double can hold (below the smallest or beyond the largest).
    tb = usableRate(rateHint, static_cast<double>(n)) ? fromRate(n, rateHint) : TimeBase();
    tb.n_ = n;
    tb.unit_ = kUnits[unit].name;
    tb.note_ = "time column steps by no usable number of seconds";
    return tb;
  }

  // Spread of the steps about P (gaps excluded), stamp resolution and repeats, from a sample.
  double absDev = 0.0;
  double devCount = 0.0;
  std::vector<double> positive;
  std::size_t zeros = 0;
  std::size_t backs = 0;
  std::size_t steps = 0;
  sampled(n - 1, [&](std::size_t i) {
    const double d = (stamps[i + 1] - stamps[i]) * scale;
    if (!std::isfinite(d)) return;
    ++steps;
    if (d == 0.0) ++zeros;
    if (d < 0.0) ++backs;
    if (d != 0.0) positive.push_back(std::abs(d));
    if (std::abs(d - P) < 10.0 * P) {
      absDev += std::abs(d - P);
      devCount += 1;
    }
  });
  absDev = devCount > 0 ? absDev / devCount : 0.0;
  // The stamps' resolution: the smallest step when every step is a whole multiple of it (stamps
  // rounded to a grid), otherwise finer than the steps show (0).
  double resolution = 0.0;
  if (!positive.empty()) {
    const double m = *std::min_element(positive.begin(), positive.end());
    std::size_t multiples = 0;
    for (double d : positive) multiples += std::abs(d / m - std::round(d / m)) < 0.02;
    if (multiples * 100 >= positive.size() * 95) resolution = m;
  }
  // Jitter of the stamps about an even clock makes consecutive steps anticorrelated (a late stamp
  // lengthens one step and shortens the next: correlation -1/2); a clock that really ticks
  // unevenly does not.
  double c01 = 0.0, c00 = 0.0;
  sampled(n > 2 ? n - 2 : 0, [&](std::size_t i) {
    const double d0 = (stamps[i + 1] - stamps[i]) * scale - P;
    const double d1 = (stamps[i + 2] - stamps[i + 1]) * scale - P;
    if (!std::isfinite(d0) || !std::isfinite(d1) || std::abs(d0) > 10 * P || std::abs(d1) > 10 * P)
      return;
    c01 += d0 * d1;
    c00 += d0 * d0;
  });
  const bool uneven = c00 > 0.0 && c01 / c00 > -0.25;
  const double T = std::max(0.6 * P, 5.0 * absDev);
  const auto sec = [&](std::size_t i) { return (stamps[i] - first) * scale; };
  double rms = 0.0;
  build(tb.segments_, tb.gaps_, tb.times_, sec, n, P, T, uneven && resolution < 0.1 * P, rms);
  tb.finish();

  const bool coarse = resolution > 1.2 * P;
  std::string note = std::string("time column in ") + kUnits[unit].longName +
                     (tb.epoch_ ? " since 1970" : " since boot");
  if (coarse) note += ", stamps rounded to " + duration(resolution);
  else if (steps > 0 && zeros * 20 > steps)
    note += format(", %.0f %% of stamps repeat the one before", 100.0 * double(zeros) / double(steps));
  if (!coarse && rms > 0.05 * P) note += ", stamps jitter by " + duration(rms) + " rms";
  if (backs * 100 > steps && !coarse) note += ", some stamps step back";
  note += tb.perSample() ? ": integrating each sample over its own step"
                         : format(": integrating at the mean rate %.5g Hz", tb.meanRate_);
  if (rateHint > 0 && std::abs(tb.meanRate_ / rateHint - 1.0) > 0.02)
    note += format(" (the stated rate is %.6g Hz)", rateHint);
  std::vector<double> lengths;
  std::size_t restarts = 0;
  for (const TimeGap& g : tb.gaps_) {
    if (g.restart) ++restarts;
    else lengths.push_back(g.seconds);
  }
  if (!lengths.empty()) {
    note += "; " + std::to_string(lengths.size()) + (lengths.size() == 1 ? " gap of " : " gaps of ");
    for (std::size_t k = 0; k < lengths.size() && k < 4; ++k)
      note += (k == 0 ? "" : k + 1 == lengths.size() ? " and " : ", ") + duration(lengths[k]);
    if (lengths.size() > 4) note += ", ...";
  }
  if (restarts > 0)
    note += "; the stamps restart " + std::to_string(restarts) +
            (restarts == 1 ? " time (files joined)" : " times (files joined)");
  tb.note_ = note;
  return tb;
}

TimeBase TimeBase::fromCounter(const double* counter, std::size_t n, double rate) {
  TimeBase tb;
  tb.n_ = n;
  tb.unit_ = "counter";
  double span = static_cast<double>(n);  // the most periods a time may be from the first count
  for (std::size_t i = 0; i < n; ++i)
    if (std::isfinite(counter[i])) span = std::max(span, 2.0 * std::abs(counter[i]) + static_cast<double>(n));
  if (n == 0 || !usableRate(rate, span)) {
    tb.note_ = "sample counter without a rate";
    return tb;
  }
  std::size_t i0 = 0;
  while (i0 < n && !std::isfinite(counter[i0])) ++i0;
  const double first = i0 < n ? counter[i0] : 0.0;
  const double P = 1.0 / rate;
  const auto sec = [&](std::size_t i) { return (counter[i] - first) * P; };
  double rms = 0.0;
  build(tb.segments_, tb.gaps_, tb.times_, sec, n, P, 0.5 * P, false, rms, true);
  tb.finish();
  std::string note = "sample counter at " + format("%.6g", rate) + " Hz";
  std::size_t missing = 0;
  std::size_t restarts = 0;
  for (const TimeGap& g : tb.gaps_) {
    if (g.restart) ++restarts;
    else missing += static_cast<std::size_t>(std::lround(g.seconds * rate));
  }
  if (missing > 0)
    note += "; " + std::to_string(missing) + " samples missing in " +
            std::to_string(tb.gaps_.size() - restarts) + " gaps";
  if (restarts > 0) note += "; the counter restarts " + std::to_string(restarts) + " times";
  tb.note_ = note;
  return tb;
}

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit
