// Basalt's calibration JSON (cereal: everything under "value0"), its IMU fields, to merge into
// the camera calibration:
//   calib_accel_bias  [b_x, b_y, b_z, M00, M10, M20, M11, M21, M22]   (M lower triangular)
//   calib_gyro_bias   [b_x, b_y, b_z, M00, M10, M20, M01, M11, M21, M02, M12, M22]   (M by columns)
//   imu_update_rate   Hz
//   accel_noise_std, gyro_noise_std   per axis, continuous-time densities (Basalt multiplies by
//                                     sqrt(imu_update_rate) for its discrete noise)
//   accel_bias_std, gyro_bias_std     per axis, random-walk densities of the biases
// Its calibrated reading is (I - M)(raw - b), raw in m/s^2 and rad/s, so the correction
// c = A raw + b of tiltfit (SI units) is I - M = A, bias = -A^-1 b. The accelerometer's M is lower
// triangular: with A = Q L (Q a rotation), the IMU frame is taken as the accelerometer's,
// c' = Q^T c, I - M_a = L, and the gyroscope follows the frame, I - M_g = Q^T A_g; the note gives
// the angle. Every noise number is per axis, as measured; a field whose figure is not determined
// on every axis is left out (JSON has no comments to mark a placeholder with) and the note says so.
#include <string>

#include "exportCommon.h"
#include "exportFormat.h"

namespace tiltfit {
namespace report {
namespace exports {
namespace {

std::string array(const double* v, int n) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += (i ? ", " : "") + general(v[i], 12);
  return s + "]";
}

class Basalt : public ExportFormat {
 public:
  const char* name() const override { return "basalt"; }
  const char* fileName() const override { return "basalt_imu.json"; }
  const char* summary() const override {
    return "Basalt calibration JSON: calib_accel_bias, calib_gyro_bias, noise and bias std, rate";
  }

  ExportText write(const ImuModel& m) const override {
    ExportText out;
    std::vector<std::string> fields;
    Matrix3 Q = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    if (m.accel.present) {
      const SICalibration a = accelSI(m, m.gravity);
      const QLFactors f = qlFactors(a.A);
      if (f.ok) {
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) Q[i][j] = f.Q[i][j];
        Matrix3 inv;
        inverse(a.A, inv);
        double v[9];
        for (int i = 0; i < 3; ++i) {
          v[i] = 0.0;
          for (int j = 0; j < 3; ++j) v[i] -= inv[i][j] * a.b[j];
        }
        const int at[6][2] = {{0, 0}, {1, 0}, {2, 0}, {1, 1}, {2, 1}, {2, 2}};
        for (int k = 0; k < 6; ++k)
          v[3 + k] = (at[k][0] == at[k][1] ? 1.0 : 0.0) - f.L[at[k][0]][at[k][1]];
        fields.push_back("\"calib_accel_bias\": " + array(v, 9));
        out.notes.push_back(
            "the IMU frame of this file is the accelerometer's: tiltfit's calibrated "
            "frame turned by " +
            general(f.angleDeg, 3) + " deg");
      } else {
        out.notes.push_back(
            "the accelerometer calibration is a reflection: calib_accel_bias left out");
      }
    } else {
      out.notes.push_back("no accelerometer calibration: calib_accel_bias left out");
    }
    if (m.gyro.present) {
      const SICalibration g = gyroSI(m);
      Matrix3 turned, inv;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
          turned[i][j] = 0.0;
          for (int k = 0; k < 3; ++k) turned[i][j] += Q[k][i] * g.A[k][j];
        }
      inverse(g.A, inv);
      double v[12];
      for (int i = 0; i < 3; ++i) {
        v[i] = 0.0;
        for (int j = 0; j < 3; ++j) v[i] -= inv[i][j] * g.b[j];
      }
      for (int col = 0; col < 3; ++col)
        for (int row = 0; row < 3; ++row)
          v[3 + 3 * col + row] = (row == col ? 1.0 : 0.0) - turned[row][col];
      fields.push_back("\"calib_gyro_bias\": " + array(v, 12));
    } else {
      out.notes.push_back("no gyroscope calibration: calib_gyro_bias left out");
    }
    if (m.rate > 0.0) {
      fields.push_back("\"imu_update_rate\": " + general(m.rate, 6));
    } else {
      out.notes.push_back("the sample rate is not known: imu_update_rate left out");
    }
    const struct {
      const char* key;
      const AxisNoise* noise;
      NoiseValue AxisNoise::*figure;
    } keys[4] = {{"accel_noise_std", m.accelNoise, &AxisNoise::white},
                 {"gyro_noise_std", m.gyroNoise, &AxisNoise::white},
                 {"accel_bias_std", m.accelNoise, &AxisNoise::randomWalk},
                 {"gyro_bias_std", m.gyroNoise, &AxisNoise::randomWalk}};
    for (const auto& k : keys) {
      const SensorFigure f = largest(k.noise, k.figure);
      if (f.known) {
        double v[3];
        for (int i = 0; i < 3; ++i) v[i] = (k.noise[i].*k.figure).value;
        fields.push_back(std::string("\"") + k.key + "\": " + array(v, 3));
      } else {
        out.notes.push_back(std::string(k.key) + " left out: not determined on every axis (" +
                            f.detail + ")");
      }
    }
    std::string& t = out.text;
    t += "{\n  \"value0\": {\n";
    for (std::size_t i = 0; i < fields.size(); ++i)
      t += "    " + fields[i] + (i + 1 < fields.size() ? ",\n" : "\n");
    t += "  }\n}\n";
    return out;
  }
};

}  // namespace

const ExportFormat& basaltFormat() {
  static const Basalt f;
  return f;
}

}  // namespace exports
}  // namespace report
}  // namespace tiltfit
