// libFuzzer target: the time base of a recording, from a time column, a sample counter or a rate
// (TimeBase::fromStamps, fromCounter, fromRate), on values cut from text lines by the line layer
// or taken as raw doubles.
//
// Input layout: a mode byte (bits 0-1: stamps, counter or rate; bit 2: the payload is raw
// doubles rather than text; bits 3-5: the field of a line that holds the values), a rate (or rate
// hint) from a table of numbers or raw, then the payload.
//
// Invariants: the segments lie in order within the rows and cover every row; times are finite
// and never go back, steps are positive (or 0 between repeated per-sample times); gaps lie
// strictly inside the rows in order, a restart has no missing time and another gap a positive
// one; the mean rate is no NaN. Against the generator's truth: n samples
// at a known rate, as a rate, as a counter that counts each, or as stamps k / rate, give time k /
// rate and no gap.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "gyro/timeBase.h"
#include "lineLayer.h"

namespace {

using tiltfit::analysis::gyro::TimeBase;
const char* const kTarget = "fuzz_timebase";

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kRates[] = {100.0, 0.0,   1.0,   10.0,   50.0, 200.0, 400.0, 1000.0, 1e-3,
                         1e6,   100.5, 3.3,   -5.0,   kInf, std::numeric_limits<double>::quiet_NaN(),
                         25.0,  8000.0, 1e300, 1e-300, 60.0};

void check(bool ok, const std::string& what) {
  if (!ok) fuzzing::fail(kTarget, what);
}

void checkInvariants(const TimeBase& tb, std::size_t n, const char* from) {
  const std::string where = std::string(" (from ") + from + ")";
  static const std::set<std::string> kUnits = {"s", "ms", "us", "ns", "counter", "rate"};
  check(tb.size() == n, "size is not the samples" + where);
  check(kUnits.count(tb.unit()) == 1, "unknown unit " + tb.unit() + where);
  // A clock ticking faster than 1e12 Hz has a rate beyond the doubles (1 / a subnormal period).
  bool plausible = true;
  for (const auto& s : tb.segments()) plausible = plausible && s.period >= 1e-12;
  check(!std::isnan(tb.meanRate()) && tb.meanRate() >= 0.0 &&
            (std::isfinite(tb.meanRate()) || !plausible),
        "mean rate not finite" + where);
  // No increasing stamps and no rate: no clock is known, and the time base says so with no
  // segment (a caller checks segments() before asking a time).
  if (tb.segments().empty()) {
    check(tb.gaps().empty() && !tb.note().empty(), "no clock, yet gaps or no word of it" + where);
    return;
  }
  std::size_t next = 0;
  for (const auto& s : tb.segments()) {
    check(s.first == next && s.count > 0, "segments do not follow one another" + where);
    check(std::isfinite(s.period) && s.period > 0.0, "a segment period not positive" + where);
    check(std::isfinite(s.start), "a segment start not finite" + where);
    next = s.first + s.count;
  }
  check(next == n, "the segments do not cover every row" + where);
  std::size_t previous = 0;
  for (const auto& g : tb.gaps()) {
    check(g.row > previous && g.row < n, "a gap outside the rows or out of order" + where);
    previous = g.row;
    if (g.restart) {
      check(std::isnan(g.seconds), "a restart with a missing time" + where);
    } else {
      check(std::isfinite(g.seconds) && g.seconds > 0.0, "a gap without missing time" + where);
    }
    check(tb.gapWithin(g.row - 1, g.row), "gapWithin misses a gap" + where);
  }
  // Times of a clock whose period is subnormal lose every digit (and the tool itself runs with
  // subnormals flushed to zero): no order is asked of them.
  if (!plausible) return;
  double last = -kInf;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = tb.time(i);
    check(std::isfinite(t), "a time not finite" + where);
    check(t >= last, "time goes back at row " + std::to_string(i) + " from " +
                         std::to_string(last) + " to " + std::to_string(t) + ", " +
                         std::to_string(tb.segments().size()) + " segments" +
                         (tb.perSample() ? " per sample" : " even") + where);
    last = t;
    const double step = tb.step(i);
    // Per-sample times may repeat where stamps that fit no clock sit among those that do: a step
    // of 0 then integrates nothing; it never goes back.
    check(std::isfinite(step) && (step > 0.0 || (step == 0.0 && tb.perSample())),
          "step " + std::to_string(step) + " at row " + std::to_string(i) + " of " +
              std::to_string(n) + " not positive, times " + std::to_string(t) +
              (i + 1 < n ? " " + std::to_string(tb.time(i + 1)) : std::string()) +
              (tb.perSample() ? " per sample" : " even") + where);
  }
  // Time counts from sample 0: a fitted clock may put it a little off 0, not by a period.
  if (n > 0) {
    check(std::abs(tb.time(0)) <= tb.segments().front().period, "sample 0 is not at time 0" + where);
  }
}

// n samples at `rate` Hz, three ways: the time of sample k is k / rate.
void checkTruth(std::size_t n, double rate) {
  std::vector<double> counter(n), stamps(n);
  for (std::size_t k = 0; k < n; ++k) {
    counter[k] = 1000.0 + static_cast<double>(k);
    stamps[k] = static_cast<double>(k) / rate;
  }
  const TimeBase fromRate = TimeBase::fromRate(n, rate);
  const TimeBase fromCounter = TimeBase::fromCounter(counter.data(), n, rate);
  const TimeBase fromStamps = TimeBase::fromStamps(stamps.data(), n, rate);
  for (const TimeBase* tb : {&fromRate, &fromCounter, &fromStamps}) {
    check(tb->gaps().empty(), "a gap in evenly spaced samples");
    for (std::size_t k = 0; k < n; k += 1 + n / 16) {
      const double truth = static_cast<double>(k) / rate;
      check(std::abs(tb->time(k) - truth) <= 1e-9 * (truth + 1.0 / rate),
            "time " + std::to_string(tb->time(k)) + " of sample " + std::to_string(k) +
                " at " + std::to_string(rate) + " Hz is not k / rate, unit " + tb->unit());
    }
    check(std::abs(tb->meanRate() - rate) <= 1e-9 * rate, "the mean rate is not the rate");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::Bytes in(data, size);
  const std::uint8_t mode = in.byte();
  const double rate = in.number(kRates, sizeof kRates / sizeof kRates[0]);
  std::vector<double> values;
  if (mode & 4) {
    for (std::size_t at = 0; at + 8 <= in.restSize(); at += 8) {
      double v;
      std::memcpy(&v, in.rest() + at, 8);
      values.push_back(v);
    }
  } else {
    // Lines of text, the field chosen at commas, a line without a number there a NaN (a stamp
    // that does not fit the clock), as a reader of the column gives them.
    const tiltfit::io::LineCutter cutter(tiltfit::io::Separator{',', false}, {1 + ((mode >> 3) & 7)});
    tiltfit::io::LineAssembler lines;
    const auto cut = [&](const char* b, const char* e) {
      double v = std::numeric_limits<double>::quiet_NaN();
      cutter.cut(b, e, &v);
      values.push_back(v);
    };
    lines.feed(in.rest(), in.restSize(), cut);
    lines.finish(cut);
  }
  // A clock's stamps: nanoseconds since 1970 are below 2e18. Beyond 1e19 in magnitude a value is
  // no stamp of any clock and counts as one that does not fit (NaN); the time base is not asked
  // to sort out overflowing ones.
  for (double& v : values) {
    if (!(std::abs(v) <= 1e19)) v = std::numeric_limits<double>::quiet_NaN();
  }
  const std::size_t n = values.size();
  const bool saneRate = rate >= 1e-3 && rate <= 1e6;

  switch (mode & 3) {
    case 0:
    case 3: {
      // A hint is a rate or 0 for none.
      const TimeBase tb =
          TimeBase::fromStamps(values.data(), n, std::isfinite(rate) && rate > 0.0 ? rate : 0.0);
      checkInvariants(tb, n, "stamps");
      break;
    }
    case 1:
      if (saneRate) checkInvariants(TimeBase::fromCounter(values.data(), n, rate), n, "counter");
      break;
    default:
      if (saneRate) checkInvariants(TimeBase::fromRate(n, rate), n, "rate");
      break;
  }
  if (saneRate && rate >= 1.0 && rate <= 1e4 && n >= 16 && n <= 4096) checkTruth(n, rate);
  return 0;
}
