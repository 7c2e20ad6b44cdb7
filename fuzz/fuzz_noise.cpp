// libFuzzer target: the still-recording path of --noise: six channels (accelerometer, gyroscope)
// cut from text lines by the line layer, or raw doubles, through the stillness gate into one
// Allan accumulator per channel.
//
// Input layout: a byte choosing the sample period, the SI scales and the channels fed one
// sample at a time too, a byte choosing the gate's
// block, margin and warm-up (in blocks of 8 to 15 samples, so that a few KB of lines reach every
// decision), a mode byte (bit 0: raw doubles rather than text; bit 1: a time column before the
// six; bits 2-7: the seed of the pieces), then the payload.
//
// Invariants: a gate fed a row at a time and one fed blocks of columns agree on every kept sample,
// every break and their report; accumulators fed a block at a time and a sample at a time agree
// on every bit of their curves; the report accounts for every sample (kept or in the spans left
// out, in order, inside the rows); with finite samples in (within 1e100), the curves hold no NaN: increasing
// averaging times m periods long, adev the root of avar, inside its interval.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "lineLayer.h"
#include "noise/allan.h"
#include "noise/stillGate.h"

namespace {

namespace noise = tiltfit::analysis::noise;
const char* const kTarget = "fuzz_noise";

void check(bool ok, const std::string& what) {
  if (!ok) fuzzing::fail(kTarget, what);
}

const double kPeriods[] = {0.01, 0.0025, 0.1, 1.0, 1e-3, 0.005};
const double kAccelToSI[] = {0.0, 9.80665, 9.80665 / 16384.0, 1.0};
const double kGyroToSI[] = {0.0, 3.14159265358979323846 / 180.0, 1.0, 1e-3};

// What a gate handed on: the kept samples of each channel, and before which of them a break came.
struct Stream {
  std::vector<double> channel[6];
  std::vector<std::uint64_t> breaks;
  noise::AllanAccumulator* blocks[6] = {};   // fed a block at a time
  noise::AllanAccumulator* singles[6] = {};  // fed a sample at a time
};

noise::StillGate::Sink sinkInto(Stream& s) {
  return [&s](const double* const* channels, std::size_t n, bool breakBefore) {
    if (breakBefore) s.breaks.push_back(s.channel[0].size());
    for (int c = 0; c < 6; ++c) {
      s.channel[c].insert(s.channel[c].end(), channels[c], channels[c] + n);
      if (s.blocks[c] != nullptr) {
        if (breakBefore) s.blocks[c]->breakSegment();
        s.blocks[c]->add(channels[c], n);
      }
      if (s.singles[c] != nullptr) {
        if (breakBefore) s.singles[c]->breakSegment();
        for (std::size_t k = 0; k < n; ++k) s.singles[c]->add(channels[c][k]);
      }
    }
  };
}

bool sameReport(const noise::GateReport& a, const noise::GateReport& b) {
  if (a.samples != b.samples || a.kept != b.kept || a.leftOut != b.leftOut ||
      a.segments != b.segments || a.spansNotListed != b.spansNotListed ||
      a.neverStill != b.neverStill || a.why != b.why || a.spans.size() != b.spans.size())
    return false;
  for (std::size_t k = 0; k < a.spans.size(); ++k)
    if (a.spans[k].first != b.spans[k].first || a.spans[k].end != b.spans[k].end) return false;
  for (int c = 0; c < 6; ++c)
    if (!fuzzing::sameValue(a.floor[c], b.floor[c])) return false;
  return true;
}

bool sameCurve(const noise::AllanCurve& a, const noise::AllanCurve& b) {
  if (a.samples != b.samples || a.segments != b.segments || a.points.size() != b.points.size() ||
      a.longestSegment != b.longestSegment)
    return false;
  for (std::size_t k = 0; k < a.points.size(); ++k) {
    const noise::AllanPoint& p = a.points[k];
    const noise::AllanPoint& q = b.points[k];
    if (p.m != q.m || p.terms != q.terms || !fuzzing::sameValue(p.avar, q.avar) ||
        !fuzzing::sameValue(p.lo, q.lo) || !fuzzing::sameValue(p.hi, q.hi) ||
        !fuzzing::sameValue(p.edf, q.edf))
      return false;
  }
  return true;
}

void checkReport(const noise::GateReport& r, std::uint64_t pushed, const Stream& s) {
  check(r.samples == pushed, "the gate miscounts its samples");
  check(r.kept + r.leftOut == r.samples, "kept and left out do not add up to the samples");
  check(r.kept == s.channel[0].size(), "the report's kept samples are not those handed on");
  check(r.neverStill == (r.kept == 0), "never still is not that no sample was kept");
  if (r.neverStill) check(!r.why.empty(), "never still without a reason");
  std::uint64_t end = 0;
  std::uint64_t listed = 0;
  for (const noise::GateSpan& g : r.spans) {
    check(g.first >= end && g.first < g.end && g.end <= r.samples, "spans out of order or rows");
    end = g.end;
    listed += g.end - g.first;
  }
  check(listed <= r.leftOut, "spans hold more than was left out");
  if (r.spansNotListed == 0) check(listed == r.leftOut, "spans do not hold what was left out");
  check(r.spans.size() <= noise::GateReport::kMaxSpans, "more spans listed than the most");
  for (int c = 0; c < 6; ++c) check(std::isfinite(r.floor[c]) && r.floor[c] >= 0.0, "a floor not finite");
}

void checkCurve(const noise::AllanCurve& curve, double period, std::uint64_t kept) {
  check(curve.samples == kept, "the curve pools other samples than were kept");
  std::uint64_t m = 0;
  for (const noise::AllanPoint& p : curve.points) {
    check(p.m > m, "averaging factors do not increase");
    m = p.m;
    check(std::abs(p.tau - static_cast<double>(p.m) * period) <= 1e-12 * p.tau,
          "tau is not m periods");
    check(std::isfinite(p.avar) && p.avar >= 0.0, "an Allan variance not finite");
    check(fuzzing::sameBits(p.adev, std::sqrt(p.avar)), "adev is not the root of avar");
    check(p.terms > 0, "a point without terms");
    check(std::isfinite(p.lo) && std::isfinite(p.hi) && p.lo <= p.adev && p.adev <= p.hi,
          "adev outside its interval, or an interval not finite");
    check(p.edf >= 1.0, "fewer than one degree of freedom");
    check(static_cast<double>(p.m) <= 0.1 * static_cast<double>(curve.samples) + 1e-9,
          "an averaging time beyond the longest share");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::Bytes in(data, size);
  const std::uint8_t scales = in.byte();
  const std::uint8_t shape = in.byte();
  const std::uint8_t mode = in.byte();

  noise::StillGateOptions options;
  options.period = kPeriods[scales % 6];
  options.accelToSI = kAccelToSI[(scales / 6) % 4];
  options.gyroToSI = kGyroToSI[(scales / 24) % 4];
  const double block = static_cast<double>(8 + (shape & 7));
  options.blockSeconds = block * options.period;
  options.marginSeconds = (1.0 + ((shape >> 3) & 3)) * options.blockSeconds;
  options.warmupSeconds = (1.0 + ((shape >> 5) & 7)) * options.blockSeconds;

  // The rows: six numbers each.
  std::vector<std::vector<double>> rows;
  if (mode & 1) {
    for (std::size_t at = 0; at + 48 <= in.restSize(); at += 48) {
      std::vector<double> row(6);
      std::memcpy(row.data(), in.rest() + at, 48);
      rows.push_back(row);
    }
  } else {
    const int first = (mode & 2) != 0 ? 2 : 1;
    const tiltfit::io::LineCutter cutter(tiltfit::io::Separator{',', false},
                                         {first, first + 1, first + 2, first + 3, first + 4,
                                          first + 5});
    tiltfit::io::LineAssembler lines;
    const auto cut = [&](const char* b, const char* e) {
      std::vector<double> row(6);
      if (cutter.cutAll(b, e, row.data())) rows.push_back(row);
    };
    lines.feed(in.rest(), in.restSize(), cut);
    lines.finish(cut);
  }
  // Readings a sensor can give: finite, and within 1e100 (beyond it the accumulators end the
  // segment, as their squares would overflow).
  bool finite = true;
  for (const auto& row : rows)
    for (const double v : row) finite = finite && std::abs(v) <= 1e100;

  // Every channel's accumulator is fed by blocks; one accelerometer and one gyroscope channel's
  // also sample by sample (all six would double the cost of an execution and reach nothing new).
  Stream byRow, byColumns;
  const int twin = (scales >> 5) % 3;
  std::vector<noise::AllanAccumulator> accumulators;
  accumulators.reserve(8);
  for (int k = 0; k < 8; ++k) accumulators.emplace_back(options.period);
  for (int c = 0; c < 6; ++c) byRow.blocks[c] = &accumulators[static_cast<std::size_t>(c)];
  byRow.singles[twin] = &accumulators[6];
  byRow.singles[twin + 3] = &accumulators[7];
  noise::StillGate rowGate(options, sinkInto(byRow));
  noise::StillGate columnGate(options, sinkInto(byColumns));
  for (const auto& row : rows) rowGate.push(row.data());
  fuzzing::Pieces pieces(mode >> 2);
  for (std::size_t at = 0; at < rows.size();) {
    const std::size_t piece = std::min(rows.size() - at, pieces.next(40));
    std::vector<double> columns[6];
    const double* pointers[6];
    for (int c = 0; c < 6; ++c) {
      for (std::size_t k = at; k < at + piece; ++k) columns[c].push_back(rows[k][static_cast<std::size_t>(c)]);
      pointers[c] = columns[c].data();
    }
    columnGate.push(pointers, piece);
    at += piece;
  }
  rowGate.finish();
  columnGate.finish();

  check(sameReport(rowGate.report(), columnGate.report()), "row and column feeds report differently");
  check(byRow.breaks == byColumns.breaks, "row and column feeds break in different places");
  for (int c = 0; c < 6; ++c) {
    check(byRow.channel[c].size() == byColumns.channel[c].size(), "the feeds keep other samples");
    for (std::size_t k = 0; k < byRow.channel[c].size(); ++k)
      check(fuzzing::sameValue(byRow.channel[c][k], byColumns.channel[c][k]),
            "the feeds keep other values");
  }
  checkReport(rowGate.report(), rows.size(), byRow);
  if (finite) {
    for (int c = 0; c < 6; ++c)
      for (const double v : byRow.channel[c]) check(std::isfinite(v), "a kept sample not finite");
  }

  for (int c = 0; c < 6; ++c) {
    const noise::AllanCurve blocks = accumulators[static_cast<std::size_t>(c)].curve();
    if (byRow.singles[c] != nullptr) {
      check(sameCurve(blocks, byRow.singles[c]->curve()),
            "the curve depends on how the samples were split");
    }
    if (finite) checkCurve(blocks, options.period, rowGate.report().kept);
  }
  return 0;
}
