// The gyroscope of a recording calibrated in the frame of its accelerometer's calibration: the
// time base judged from the recording, the accelerometer's still stretches turned into poses with
// their calibrated gravity directions, and the analysis layer's fit over the moves between them.
#include "tiltfit/gyro.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "apiInternal.h"
#include "gyro/gyroFit.h"
#include "gyro/timeBase.h"

namespace tiltfit {

std::array<double, 3> GyroCalibration::apply(const std::array<double, 3>& raw) const {
  std::array<double, 3> c{};
  for (std::size_t j = 0; j < 3; ++j) {
    c[j] = raw[0] * gainMatrix[0][j] + raw[1] * gainMatrix[1][j] + raw[2] * gainMatrix[2][j] +
           offset[j];
  }
  return c;
}

std::array<std::array<double, 3>, 3> GyroCalibration::columnGain() const {
  std::array<std::array<double, 3>, 3> g{};
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) g[j][i] = gainMatrix[i][j];
  return g;
}

namespace {

namespace gy = analysis::gyro;

std::string format(const char* fmt, double a, double b = 0.0) {
  char text[256];
  std::snprintf(text, sizeof text, fmt, a, b);
  return text;
}

// The time base the recording gives, and in words where it came from; ok false when nothing
// gives the seconds of the samples.
struct Timing {
  gy::TimeBase time;
  bool ok = false;
  std::string source;
};

Timing timingOf(const Recording& rec, const GyroOptions& o) {
  Timing t;
  const std::size_t n = rec.gx.size();
  const bool givenRate = o.rateHz > 0.0;
  const double rate = givenRate ? o.rateHz : rec.rateFromHeader;
  const std::string rateSource =
      givenRate ? format("%g Hz from --rate", rate)
                : format("%g Hz", rate) + " from the header line \"" + rec.rateLine + "\"";
  const std::string column = "column " + std::to_string(rec.layout.timeColumn) +
                             (rec.timeName.empty() ? std::string() : " (\"" + rec.timeName + "\")");
  if (rec.layout.timeColumn > 0 && rec.t.size() == n) {
    // Whole numbers a step of one apart, with a rate given: a counter, whatever its name says
    // (without a rate they are seconds at 1 Hz as much as a count).
    bool counts = rec.layout.timeIsCounter;
    if (!counts && givenRate && n >= 2) {
      std::size_t ones = 0;
      bool whole = true;
      for (std::size_t i = 0; i < n && whole; ++i) {
        whole = rec.t[i] == std::floor(rec.t[i]);
        if (i > 0) ones += rec.t[i] - rec.t[i - 1] == 1.0;
      }
      counts = whole && ones * 2 > n;
    }
    if (counts) {
      if (!(rate > 0.0)) return t;
      t.time = gy::TimeBase::fromCounter(rec.t.data(), n, rate);
      t.source = "sample counter in " + column + " at " + rateSource;
    } else {
      t.time = gy::TimeBase::fromStamps(rec.t.data(), n, rate);
      t.source = "time in " + column;
    }
  } else if (rate > 0.0) {
    t.time = gy::TimeBase::fromRate(n, rate);
    t.source = rateSource;
  } else {
    return t;
  }
  t.ok = !t.time.segments().empty() && t.time.meanRate() > 0.0;
  return t;
}

// The accelerometer's still stretches as poses: the calibrated direction of each stretch's mean,
// its ends trimmed (they hold the slow start and end of the moves around it), with the standard
// error of that direction.
std::vector<gy::StillPose> posesOf(const Recording& rec, const Result& acc) {
  std::vector<gy::StillPose> poses;
  const Calibration& c = acc.calibration;
  for (const Stretch& s : acc.stretches) {
    const std::size_t length = s.lastSample - s.firstSample + 1;
    const std::size_t trim = length / 10;
    const std::size_t a0 = s.firstSample + trim;
    const std::size_t a1 = s.lastSample - trim;
    if (a1 <= a0 + 4 || a1 >= rec.rows()) continue;
    double mean[3] = {0, 0, 0}, sq[3] = {0, 0, 0};
    for (std::size_t i = a0; i <= a1; ++i) {
      const double v[3] = {rec.x[i] - s.mean[0], rec.y[i] - s.mean[1], rec.z[i] - s.mean[2]};
      for (int j = 0; j < 3; ++j) {
        mean[j] += v[j];
        sq[j] += v[j] * v[j];
      }
    }
    const double n = static_cast<double>(a1 - a0 + 1);
    double sigma[3];
    std::array<double, 3> m{};
    for (std::size_t j = 0; j < 3; ++j) {
      sigma[j] = std::sqrt(std::max(0.0, sq[j] / n - mean[j] / n * (mean[j] / n)) / n);
      m[j] = s.mean[j] + mean[j] / n;
    }
    const std::array<double, 3> g = c.apply(m);
    const double norm = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
    if (!(norm > 0.0) || !std::isfinite(norm)) continue;
    gy::StillPose p;
    p.first = s.firstSample;
    p.last = s.lastSample;
    double var = 0.0;
    for (std::size_t i = 0; i < 3; ++i) {
      p.gravity[i] = g[i] / norm;
      for (std::size_t j = 0; j < 3; ++j)
        var += c.gainMatrix[j][i] * c.gainMatrix[j][i] * sigma[j] * sigma[j];
    }
    p.gravitySigma = std::sqrt(var) / norm / std::sqrt(2.0);  // per direction across gravity
    poses.push_back(p);
  }
  return poses;
}

GyroErrors errorsOf(const gy::GyroQuality& q) {
  GyroErrors e;
  e.meanDeg = q.meanDeg;
  e.rmsDeg = q.rmsDeg;
  e.worstDeg = q.worstDeg;
  e.moves = q.count;
  return e;
}

std::string whyUnused(const gy::Move& m) {
  if (m.gap) return "a gap in the samples";
  if (m.saturated) return "the gyro saturated";
  if (m.tooFast) return "too fast for the sample rate";
  return m.weight > 0.5 ? "" : "it disagrees with the others (a bump, a slip)";
}

}  // namespace

GyroResult calibrateGyro(const Recording& rec, const Result& acc, const GyroOptions& options) {
  GyroResult out;
  out.columns = rec.layout.gyroColumns;
  out.names = rec.gyroNames;
  out.columnsReason = rec.gyroReason;
  const std::size_t n = rec.gx.size();
  if (!rec.layout.hasGyro() || n == 0 || rec.gy.size() != n || rec.gz.size() != n) {
    out.problems.push_back("the recording holds no gyroscope columns");
    return out;
  }
  if (!acc.success) {
    out.problems.push_back(
        "the accelerometer did not calibrate: the gyroscope is calibrated in its frame and from "
        "its still stretches");
    return out;
  }
  const Timing timing = timingOf(rec, options);
  out.time.source = timing.source;
  if (!timing.ok) {
    out.problems.push_back(
        "no time base: the recording has no time column and no header line that gives the "
        "sample rate" +
        std::string(rec.layout.timeColumn > 0 && rec.layout.timeIsCounter
                        ? " (column " + std::to_string(rec.layout.timeColumn) + " counts samples)"
                        : "") +
        ": give it with --rate HZ");
    return out;
  }
  out.time.rateHz = timing.time.meanRate();
  out.time.note = timing.time.note();
  out.time.gaps = timing.time.gaps().size();

  gy::GyroSeries series;
  series.x = rec.gx.data();
  series.y = rec.gy.data();
  series.z = rec.gz.data();
  series.n = n;
  series.time = &timing.time;
  if (rec.rows() == n) {
    series.ax = rec.x.data();
    series.ay = rec.y.data();
    series.az = rec.z.data();
    for (std::size_t i = 0; i < 3; ++i) {
      series.accelOffset[i] = acc.calibration.offset[i];
      for (std::size_t j = 0; j < 3; ++j)
        series.accelGain[3 * i + j] = acc.calibration.gainMatrix[i][j];
    }
  }
  gy::GyroOptions go;
  go.unitsPerRadS = options.unitsPerRadS;
  const std::vector<gy::StillPose> poses = posesOf(rec, acc);
  const gy::GyroResult r = gy::calibrateGyro(series, poses, go);
  if (!r.ok) {
    out.problems.push_back(
        "no still stretch of the gyroscope: it turned throughout the accelerometer's still "
        "stretches");
    return out;
  }
  out.success = true;
  GyroCalibration& c = out.calibration;
  c.method = r.method;
  for (std::size_t i = 0; i < 3; ++i) {
    c.offset[i] = r.offset[i];
    c.uncertainty.offset[i] = r.offsetSigma[i];
    c.biasRaw[i] = r.biasRaw[i];
    c.biasRawSigma[i] = r.biasRawSigma[i];
    c.biasDriftPerHour[i] = r.biasDriftPerHour[i];
    c.biasSpread[i] = r.biasSpread[i];
    for (std::size_t j = 0; j < 3; ++j) {
      c.gainMatrix[i][j] = r.gain[3 * i + j];
      c.uncertainty.gainMatrix[i][j] = r.gainSigma[3 * i + j];
    }
  }
  c.biasDrifting = r.biasDrifting;
  c.units = r.units.name;
  c.unitsPerRadS = r.units.unitsPerRadS;
  c.zero = r.units.zero;
  c.unitsNote = r.units.note;
  GyroQuality& q = out.quality;
  q.before = errorsOf(r.before);
  q.after = errorsOf(r.after);
  q.heldOut = errorsOf(r.heldOut);
  q.expectedErrorDeg = r.expectedErrorDeg;
  q.wholeTurns = r.wholeTurns;
  q.turnClosureDeg = r.turnClosureDeg;
  q.noiseScale = r.noiseScale;
  for (std::size_t k = 0; k < 3; ++k) q.scaleDetermined[k] = r.scaleDetermined[k];
  out.stillStretches = r.rests.size();
  for (const gy::GyroRest& rest : r.rests)
    if (rest.gyroStill) out.stillRows.push_back({rest.first, rest.last});
  for (const gy::Move& m : r.moves) {
    GyroMove g;
    g.firstSample = m.first;
    g.lastSample = m.last;
    g.firstRow = static_cast<std::uint32_t>(rec.lineOf(m.first));
    g.lastRow = static_cast<std::uint32_t>(rec.lineOf(m.last));
    g.angleDeg = c.unitsPerRadS > 0.0 ? m.rawAngle / c.unitsPerRadS * 180.0 / M_PI : 0.0;
    if (m.wholeTurn) g.angleDeg = std::abs(m.turnDeg);
    g.gravityChangeDeg = m.gravityChangeDeg;
    g.reason = whyUnused(m);
    g.used = g.reason.empty();
    g.wholeTurn = m.wholeTurn;
    g.errorBeforeDeg = m.errorBeforeDeg;
    g.errorAfterDeg = m.errorAfterDeg;
    out.moves.push_back(g);
  }
  out.warnings = r.warnings;
  out.advice = r.advice;
  if (!r.timeNote.empty() && out.time.note.empty()) out.time.note = r.timeNote;
  return out;
}

}  // namespace tiltfit
