// Kalibr's IMU configuration, imu.yaml: one continuous-time noise density and one random-walk
// density per sensor, the topic and the rate (Kalibr's wiki, "IMU Noise Model"):
//   accelerometer_noise_density   m/s^2 / sqrt(Hz)      the white noise N
//   accelerometer_random_walk     m/s^3 / sqrt(Hz)      the random walk of the rate K
//   gyroscope_noise_density       rad/s / sqrt(Hz)
//   gyroscope_random_walk         rad/s^2 / sqrt(Hz)
//   rostopic, update_rate (Hz, with which Kalibr discretises the densities)
// One figure stands for three axes: the largest, which overstates the quieter axes rather than
// understating the noisiest. The figures are written as measured; Kalibr's documentation suggests
// raising bench figures for a moving platform, which is the user's call, so a comment says so and
// nothing is inflated here. A figure the recording did not determine is left out (Kalibr then
// refuses the file and names the key) rather than written as a number Kalibr would trust.
#include <string>

#include "exportCommon.h"
#include "exportFormat.h"

namespace tiltfit {
namespace report {
namespace exports {
namespace {

struct Key {
  const char* name;
  const char* unit;
  const AxisNoise* noise;
  NoiseValue AxisNoise::*figure;
  const char* what;
};

class Kalibr : public ExportFormat {
 public:
  const char* name() const override { return "kalibr"; }
  const char* fileName() const override { return "imu.yaml"; }
  const char* summary() const override {
    return "Kalibr imu.yaml: noise densities and random walks, topic, rate";
  }

  ExportText write(const ImuModel& m) const override {
    ExportText out;
    std::string& t = out.text;
    t += "# IMU noise for Kalibr, from the Allan deviation of a still recording (tiltfit).\n";
    if (!m.source.empty()) t += "# " + m.source + "\n";
    t +=
        "# Continuous-time densities as measured, not inflated: vibration and temperature in use\n";
    t += "# add to them, and Kalibr's documentation suggests raising bench figures accordingly.\n";
    t += "# Each figure is the largest of the sensor's three axes.\n";
    const Key keys[4] = {
        {"accelerometer_noise_density", "m/s^2/sqrt(Hz)", m.accelNoise, &AxisNoise::white,
         "accelerometer white noise"},
        {"accelerometer_random_walk", "m/s^3/sqrt(Hz)", m.accelNoise, &AxisNoise::randomWalk,
         "accelerometer random walk"},
        {"gyroscope_noise_density", "rad/s/sqrt(Hz)", m.gyroNoise, &AxisNoise::white,
         "gyroscope white noise"},
        {"gyroscope_random_walk", "rad/s^2/sqrt(Hz)", m.gyroNoise, &AxisNoise::randomWalk,
         "gyroscope random walk"},
    };
    for (const Key& k : keys) {
      const SensorFigure f = largest(k.noise, k.figure);
      if (f.known) {
        t += std::string(k.name) + ": " + scientific(f.value) + "  # " + k.unit + "; " + f.detail +
             "\n";
      } else {
        t += "# " + std::string(k.name) + ": not determined by this recording (" + f.detail +
             "); Kalibr needs it\n";
        out.notes.push_back(std::string(k.what) + " not determined: " + k.name + " left out of " +
                            fileName() + "; Kalibr will not load it until it is set");
      }
    }
    t += "rostopic: " + m.topic + "\n";
    if (m.rate > 0.0) {
      t += "update_rate: " + general(m.rate, 6) + "  # Hz\n";
    } else {
      t += "# update_rate: the IMU's rate in Hz, not known from the recording\n";
      out.notes.push_back("the sample rate is not known: update_rate left out of imu.yaml");
    }
    return out;
  }
};

}  // namespace

const ExportFormat& kalibrFormat() {
  static const Kalibr f;
  return f;
}

}  // namespace exports
}  // namespace report
}  // namespace tiltfit
