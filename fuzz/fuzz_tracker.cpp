// libFuzzer target: the still-stretch tracker (fed whole, and sample by sample in pieces, as the
// batch modes and --live feed it) and the absolute stillness judgement after it, on samples cut
// from text lines by the line layer or taken as raw doubles.
//
// Input layout: a mode byte (bit 0: raw doubles rather than text; bit 1: a line without three
// numbers is a row of zeros, as the classic reader gives it, rather than left out; bits 2-7: the
// seed of the pieces), a byte for the noise floor (a table entry on every axis, or the floor the
// recording's own differences give), a byte for the widening cap, a byte for the scale to g, then
// the payload.
//
// Invariants: the tracker fed in pieces finds, bit for bit, the stretches it finds fed at once;
// stretches follow one another within the rows, each at least kMinStillSamples long, of finite
// figures, its mean within the range of its rows' samples; the stillness judgement splits the
// stretches into those kept and those left out, in order, every kept one within the limits of a
// rest, every one left out with its reason.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "lineLayer.h"
#include "stillStretches.h"
#include "stillness.h"
#include "stretchTracker.h"

namespace {

using tiltfit::analysis::StillStretch;
const char* const kTarget = "fuzz_tracker";

void check(bool ok, const std::string& what) {
  if (!ok) fuzzing::fail(kTarget, what);
}

bool sameStretch(const StillStretch& a, const StillStretch& b) {
  if (a.first != b.first || a.last != b.last || a.distinct != b.distinct ||
      !fuzzing::sameValue(a.poseMotion, b.poseMotion))
    return false;
  for (int j = 0; j < 3; ++j) {
    if (!fuzzing::sameValue(a.mean[j], b.mean[j]) || !fuzzing::sameValue(a.noise[j], b.noise[j]) ||
        !fuzzing::sameValue(a.meanSigma[j], b.meanSigma[j]) ||
        !fuzzing::sameValue(a.motion[j], b.motion[j]))
      return false;
  }
  return true;
}

void checkStretches(const std::vector<StillStretch>& stretches, const std::vector<double>* c,
                    std::size_t n) {
  std::size_t next = 0;
  for (const StillStretch& s : stretches) {
    check(s.first >= next && s.first <= s.last && s.last < n, "stretches overlap or leave the rows");
    next = s.last + 1;
    check(s.length() >= tiltfit::analysis::kMinStillSamples, "a stretch shorter than the least");
    check(s.distinct <= s.length(), "more distinct samples than samples");
    for (int j = 0; j < 3; ++j) {
      check(std::isfinite(s.mean[j]) && std::isfinite(s.noise[j]) && s.noise[j] >= 0.0 &&
                std::isfinite(s.meanSigma[j]) && s.meanSigma[j] >= 0.0 &&
                std::isfinite(s.motion[j]) && s.motion[j] >= 0.0,
            "a stretch's figures are not finite and positive");
      double lo = std::numeric_limits<double>::infinity();
      double hi = -lo;
      for (std::size_t r = s.first; r <= s.last; ++r) {
        if (std::isfinite(c[j][r])) {
          lo = std::min(lo, c[j][r]);
          hi = std::max(hi, c[j][r]);
        }
      }
      const double slack = 1e-9 * (std::abs(lo) + std::abs(hi)) + 1e-300;
      check(s.mean[j] >= lo - slack && s.mean[j] <= hi + slack,
            "a stretch's mean outside the range of its samples");
    }
  }
}

const double kFloors[] = {0.0 /* the recording's own */, 1e-3, 1e-2, 0.1, 1.0, 1e-6, 100.0, 5e-3};
const double kCaps[] = {0.0, 0.015, 0.15, 1.0, 1e3};
const double kPerG[] = {1.0, 9.80665, 16384.0, 1000.0, 256.0, -1.0, 0.5};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::Bytes in(data, size);
  const std::uint8_t mode = in.byte();
  const std::uint8_t floorByte = in.byte();
  const std::uint8_t capByte = in.byte();
  const std::uint8_t scaleByte = in.byte();

  std::vector<double> c[3];
  if (mode & 1) {
    for (std::size_t at = 0; at + 24 <= in.restSize(); at += 24) {
      for (int j = 0; j < 3; ++j) {
        double v;
        std::memcpy(&v, in.rest() + at + 8 * static_cast<std::size_t>(j), 8);
        c[j].push_back(v);
      }
    }
  } else {
    const tiltfit::io::LineCutter cutter(tiltfit::io::Separator{',', false}, {1, 2, 3});
    tiltfit::io::LineAssembler lines;
    const bool zeros = (mode & 2) != 0;
    const auto cut = [&](const char* b, const char* e) {
      double v[3] = {0.0, 0.0, 0.0};
      if (!cutter.cutAll(b, e, v)) {
        if (!zeros) return;
        v[0] = v[1] = v[2] = 0.0;
      }
      for (int j = 0; j < 3; ++j) c[j].push_back(v[j]);
    };
    lines.feed(in.rest(), in.restSize(), cut);
    lines.finish(cut);
  }
  const std::size_t n = c[0].size();

  tiltfit::analysis::TrackerOptions options;
  const double floor = kFloors[floorByte % (sizeof kFloors / sizeof kFloors[0])];
  if (floor == 0.0) {
    options.floor = tiltfit::analysis::estimateNoiseFloor(c[0].data(), c[1].data(), c[2].data(), n);
  } else {
    for (double& s : options.floor.sigma) s = floor;
  }
  // Differences of samples near the top of the doubles overflow: only samples a sensor can give
  // (below 1e100) promise a finite floor.
  double largest = 0.0;
  for (const auto& column : c)
    for (const double v : column)
      if (std::isfinite(v)) largest = std::max(largest, std::abs(v));
  for (int j = 0; j < 3; ++j) {
    check(!(options.floor.sigma[j] < 0.0) &&
              (largest > 1e100 || std::isfinite(options.floor.sigma[j])),
          "a noise floor not finite");
  }
  const double cap = kCaps[capByte % (sizeof kCaps / sizeof kCaps[0])];
  for (double& s : options.spreadCap) s = cap;

  // Whole, as the batch modes feed it.
  const std::vector<StillStretch> whole = tiltfit::analysis::findStillStretches(
      c[0].data(), c[1].data(), c[2].data(), n, options.floor, options.spreadCap);
  checkStretches(whole, c, n);

  // In pieces, alternately a sample at a time and a block at a time, taking what ended as --live
  // does.
  tiltfit::analysis::StretchTracker tracker(options);
  std::vector<StillStretch> pieces;
  fuzzing::Pieces split(mode >> 2);
  bool single = false;
  for (std::size_t at = 0; at < n;) {
    const std::size_t piece = std::min(n - at, split.next(97));
    if (single) {
      for (std::size_t k = at; k < at + piece; ++k) tracker.push(c[0][k], c[1][k], c[2][k]);
    } else {
      tracker.push(c[0].data() + at, c[1].data() + at, c[2].data() + at, piece);
    }
    single = !single;
    at += piece;
    check(tracker.samples() == at, "the tracker miscounts its samples");
    check(tracker.oldestRowInUse() <= at, "a row in use beyond the samples");
    if (tracker.growing()) {
      const StillStretch open = tracker.current();
      check(open.first <= open.last && open.last < at, "the growing stretch leaves the rows");
    }
    for (const StillStretch& s : tracker.take()) pieces.push_back(s);
  }
  tracker.finish();
  for (const StillStretch& s : tracker.take()) pieces.push_back(s);
  check(pieces.size() == whole.size(), "fed in pieces, the tracker finds other stretches");
  for (std::size_t k = 0; k < whole.size(); ++k)
    check(sameStretch(pieces[k], whole[k]), "fed in pieces, a stretch differs");

  // The judgement of rests.
  tiltfit::analysis::InputScale scale;
  scale.perG = kPerG[scaleByte % (sizeof kPerG / sizeof kPerG[0])];
  scale.zero = (scaleByte & 0x80) != 0 ? 32768.0 : 0.0;
  std::vector<StillStretch> kept = whole;
  const std::vector<StillStretch> moving = tiltfit::analysis::takeMoving(kept, scale);
  check(kept.size() + moving.size() == whole.size(), "the judgement loses or adds stretches");
  std::size_t a = 0;
  std::size_t b = 0;
  for (const StillStretch& s : whole) {
    // Each stretch is in one of the two lists, both in recording order.
    if (a < kept.size() && kept[a].first == s.first && kept[a].last == s.last) {
      ++a;
    } else {
      check(b < moving.size() && moving[b].first == s.first && moving[b].last == s.last,
            "a stretch is in neither list, or out of order");
      ++b;
    }
  }
  for (const StillStretch& s : kept) {
    check(tiltfit::analysis::motionG(s, scale) <= tiltfit::analysis::kRestMotionLimitG &&
              tiltfit::analysis::spreadG(s, scale) <= tiltfit::analysis::kRestSpreadLimitG,
          "a stretch beyond the limits of a rest kept as one");
  }
  for (const StillStretch& s : moving) {
    check(!tiltfit::analysis::movingReason(s, scale).empty(), "a stretch left out without reason");
  }
  if (!moving.empty()) {
    check(!tiltfit::analysis::noRestProblem(moving, scale).empty(), "no problem named");
    check(!tiltfit::analysis::movingNote(moving, kept.size(), scale).empty(), "no note made");
  }
  return 0;
}
