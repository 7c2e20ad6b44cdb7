// VINS-Mono / VINS-Fusion: the IMU lines of its configuration file (OpenCV's FileStorage,
// "%YAML:1.0"), to paste into it:
//   acc_n, gyr_n   "measurement noise standard deviation": per sample, discrete time,
//                  N sqrt(rate) (m/s^2, rad/s)
//   acc_w, gyr_w   "bias random walk noise standard deviation": per sample, K / sqrt(rate)
//                  (m/s^2, rad/s)
//   g_norm         gravity magnitude, m/s^2
// The configuration's comments call them standard deviations, and its shipped values for the
// EuRoC sensor sit near Kalibr's discrete-time forms of that sensor's densities (Kalibr's wiki:
// sigma_d = sigma / sqrt(dt), sigma_bd = sigma_b sqrt(dt)), a few times above them, hand-tuned; so
// the figures are written in those forms, as measured, and the continuous-time densities beside
// them in comments. Each is the largest of the sensor's three axes. Without the sample rate none
// can be converted, and a figure not determined is left out (VINS then keeps the value the rest
// of its file holds).
#include <cmath>
#include <string>

#include "exportCommon.h"
#include "exportFormat.h"

namespace tiltfit {
namespace report {
namespace exports {
namespace {

class Vins : public ExportFormat {
 public:
  const char* name() const override { return "vins"; }
  const char* fileName() const override { return "vins_imu.yaml"; }
  const char* summary() const override {
    return "VINS-Mono/Fusion config lines: acc_n, gyr_n, acc_w, gyr_w, g_norm";
  }

  ExportText write(const ImuModel& m) const override {
    ExportText out;
    std::string& t = out.text;
    t += "%YAML:1.0\n";
    t += "# IMU noise for VINS-Mono / VINS-Fusion, from tiltfit's Allan deviation of a still\n";
    t += "# recording: paste these lines into the estimator's configuration file.\n";
    if (!m.source.empty()) t += "# " + m.source + "\n";
    t += "# Per-sample (discrete-time) standard deviations at " +
         (m.rate > 0.0 ? general(m.rate, 6) + " Hz" : std::string("the IMU's rate")) +
         ", as measured, not inflated;\n# each the largest of the sensor's three axes.\n";
    const struct {
      const char* key;
      const AxisNoise* noise;
      NoiseValue AxisNoise::*figure;
      bool walk;
      const char* unit;
      const char* density;
    } keys[4] = {
        {"acc_n", m.accelNoise, &AxisNoise::white, false, "m/s^2", "m/s^2/sqrt(Hz)"},
        {"gyr_n", m.gyroNoise, &AxisNoise::white, false, "rad/s", "rad/s/sqrt(Hz)"},
        {"acc_w", m.accelNoise, &AxisNoise::randomWalk, true, "m/s^2", "m/s^3/sqrt(Hz)"},
        {"gyr_w", m.gyroNoise, &AxisNoise::randomWalk, true, "rad/s", "rad/s^2/sqrt(Hz)"},
    };
    for (const auto& k : keys) {
      const SensorFigure f = largest(k.noise, k.figure);
      if (f.known && m.rate > 0.0) {
        const double v = k.walk ? f.value / std::sqrt(m.rate) : f.value * std::sqrt(m.rate);
        t += std::string(k.key) + ": " + scientific(v) + "  # " + k.unit + "; density " +
             scientific(f.value, 3) + " " + k.density + " " +
             (k.walk ? "/ sqrt(rate)" : "* sqrt(rate)") + "\n";
      } else {
        const std::string why = !f.known ? "not determined by this recording (" + f.detail + ")"
                                         : "the sample rate is not known";
        t += std::string("# ") + k.key + ": " + why + "\n";
        out.notes.push_back(std::string(k.key) + " left out: " + why);
      }
    }
    t += "g_norm: " + general(m.gravity, 8) + "  # m/s^2\n";
    return out;
  }
};

}  // namespace

const ExportFormat& vinsFormat() {
  static const Vins f;
  return f;
}

}  // namespace exports
}  // namespace report
}  // namespace tiltfit
