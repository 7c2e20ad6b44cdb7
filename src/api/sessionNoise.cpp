// The white noise of a calibration session's still stretches (see sessionNoise in tiltfit.hpp).
#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "noise/noiseFit.h"
#include "noiseValue.h"
#include "tiltfit/noise.hpp"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {

namespace nz = analysis::noise;

SessionNoise sessionNoise(const Recording& rec, const Result& r, double rateHz) {
  SessionNoise out;
  double rate = rateHz;
  if (!(rate > 0.0) && r.hasGyro && r.gyro.success) rate = r.gyro.time.rateHz;
  if (!(rate > 0.0)) rate = rec.rateFromHeader;
  if (!r.success) {
    out.note = "no calibration to take the stretches' noise to SI units";
    return out;
  }
  if (!(rate > 0.0)) {
    out.note = "no sample rate: give --rate HZ for the white noise of the still stretches";
    return out;
  }
  out.rateHz = rate;
  const std::size_t n = rec.rows();
  const bool gyroKnown = r.hasGyro && r.gyro.success && rec.gx.size() == n &&
                         (r.gyro.calibration.method == "moves" ||
                          r.gyro.calibration.unitsPerRadS > 0.0);
  const double period = 1.0 / rate;
  const Calibration& c = r.calibration;
  const GyroCalibration& gc = r.gyro.calibration;
  std::vector<std::array<std::size_t, 2>> accSpans;
  for (const Stretch& st : r.stretches) accSpans.push_back({st.firstSample, st.lastSample});
  // Each stretch calibrated, its ends trimmed (they hold the slow start and end of the moves
  // around it), its white noise read alone; then, axis by axis, the stretches whose interval
  // reaches the quietest one's are pooled. A position held by hand, or on a bench that hums,
  // is noisier than the sensor and is left out rather than averaged in.
  struct Pooled {
    std::array<NoiseValue, 3> value;
    std::size_t measured = 0, used = 0;  // stretches long enough; the fewest pooled on an axis
  };
  auto pool = [n, period](const std::vector<std::array<std::size_t, 2>>& spans, auto calibrated,
                          double perOutput) {
    std::vector<std::array<std::vector<double>, 3>> data;
    for (const auto& span : spans) {
      if (span[1] >= n || span[1] < span[0]) continue;
      const std::size_t trim = (span[1] - span[0] + 1) / 10;
      const std::size_t first = span[0] + trim, last = span[1] - trim;
      if (last < first + 16) continue;
      std::array<std::vector<double>, 3> v;
      for (std::size_t i = first; i <= last; ++i) {
        const std::array<double, 3> x = calibrated(i);
        for (std::size_t k = 0; k < 3; ++k) v[k].push_back(x[k]);
      }
      data.push_back(std::move(v));
    }
    Pooled p;
    p.measured = data.size();
    p.used = data.size();
    if (data.empty()) return p;
    for (std::size_t k = 0; k < 3; ++k) {
      std::vector<nz::NoiseFigure> alone;
      std::size_t quietest = data.size();
      for (std::size_t s = 0; s < data.size(); ++s) {
        nz::StretchWhiteNoise one(period);
        one.addStretch(data[s][k].data(), data[s][k].size());
        alone.push_back(one.estimate(0.95, perOutput));
        if (alone.back().determined &&
            (quietest == data.size() || alone.back().value < alone[quietest].value))
          quietest = s;
      }
      nz::StretchWhiteNoise pooled(period);
      std::size_t used = 0;
      for (std::size_t s = 0; s < data.size(); ++s) {
        const bool alike = quietest == data.size() ||
                           (alone[s].determined && alone[s].lo <= alone[quietest].hi);
        if (!alike) continue;
        pooled.addStretch(data[s][k].data(), data[s][k].size());
        ++used;
      }
      p.value[k] = noiseValueOf(pooled.estimate(0.95, perOutput));
      p.used = std::min(p.used, used);
    }
    return p;
  };
  const double perOutput = c.outputMs2 ? 1.0 : c.gravity;  // m/s^2 per calibrated unit
  const Pooled acc = pool(
      accSpans, [&](std::size_t i) { return c.apply({rec.x[i], rec.y[i], rec.z[i]}); }, perOutput);
  Pooled gyr;
  if (gyroKnown) {
    gyr = pool(
        r.gyro.stillRows,
        [&](std::size_t i) -> std::array<double, 3> {
          if (gc.method == "moves") return gc.apply({rec.gx[i], rec.gy[i], rec.gz[i]});
          return {(rec.gx[i] - gc.biasRaw[0]) / gc.unitsPerRadS,
                  (rec.gy[i] - gc.biasRaw[1]) / gc.unitsPerRadS,
                  (rec.gz[i] - gc.biasRaw[2]) / gc.unitsPerRadS};
        },
        1.0);
  }
  out.stretches = acc.measured;
  if (out.stretches == 0) {
    out.note = n == 0 ? "the samples were not kept" : "no still stretch long enough";
    return out;
  }
  out.accelerometer = acc.value;
  out.gyroscope = gyr.value;
  out.accelerometerUsed = acc.used;
  out.gyroscopeStretches = gyr.measured;
  out.gyroscopeUsed = gyr.used;
  out.gyro = gyroKnown && gyr.measured > 0;
  out.present = true;
  if (r.hasGyro && !gyroKnown) out.note = "the gyroscope's unit is not known: its noise left out";
  return out;
}

}  // namespace tiltfit
