// OpenVINS's IMU chain file (kalibr_imu_chain.yaml, read by OpenCV's FileStorage: "%YAML:1.0").
//
// Its measurement model (OpenVINS documentation, "IMU Intrinsic Calibration") is the inverse of a
// correction: the sensors read
//
//     w_m = Tw R_IMUtoGYRO w + Tg a + b_g + n_g,     a_m = Ta R_IMUtoACC a + b_a + n_a,
//
// w and a the true turn rate and specific force in the IMU frame, so that the estimator corrects
// with D = T^-1:  a = R_IMUtoACC^T Da (a_m - b_a),  w = R_IMUtoGYRO^T Dw (w_m - Tg a - b_g).
// With model "kalibr" it keeps D lower triangular (the six numbers of its lower triangle, as its
// own calibration estimates them), and takes the IMU frame for the accelerometer's, its
// R_IMUtoACC the identity. tiltfit's correction is c = A raw + b, raw and c in SI units; with
// A = Q L (Q a rotation, L lower triangular) the frame c' = Q^T c = L raw + Q^T b is the
// accelerometer's own, so
//
//     Ta = L^-1,  R_IMUtoACC = I,   and for the gyroscope  Q^T A_g = Q_g L_g:  Tw = L_g^-1,
//     R_IMUtoGYRO = Q_g^T,  Tg = 0.
//
// The file then holds whether OpenVINS applies R_IMUtoACC or takes it for the identity. The IMU
// frame is tiltfit's calibrated frame turned by Q (as small as the cross-axis terms; the note
// gives its angle), which an existing camera-IMU extrinsic calibration may need to know.
// The biases (b_a = -A^-1 b in raw units) are estimated online by OpenVINS, which takes none from
// this file: the note gives them. The noise keys are Kalibr's (continuous-time densities, the
// largest axis), T_i_b the identity (the IMU is the body), time_offset 0.
#include <cmath>
#include <string>

#include "exportCommon.h"
#include "exportFormat.h"

namespace tiltfit {
namespace report {
namespace exports {
namespace {

void matrix(std::string& t, const char* name, const Matrix3 M) {
  t += "  ";
  t += name;
  t += ":\n";
  for (int i = 0; i < 3; ++i) {
    t += "    - [ ";
    for (int j = 0; j < 3; ++j) t += general(M[i][j], 12) + (j < 2 ? ", " : " ]\n");
  }
}

// T (= L^-1) and the rotation from the IMU frame to the sensor's (Q^T) of A = Q L; false when A
// has no such form.
bool intrinsics(const Matrix3 A, Matrix3 T, Matrix3 R, Matrix3 Q) {
  const QLFactors f = qlFactors(A);
  if (!f.ok) return false;
  inverse(f.L, T);
  for (int i = 0; i < 3; ++i)
    for (int j = i + 1; j < 3; ++j) T[i][j] = 0.0;  // the inverse of a lower triangle is one
  // Rounding leaves terms of 1e-19 where the sensor has none; they would read as cross-axis terms.
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (std::abs(T[i][j]) < 1e-15 * std::abs(T[i][i])) T[i][j] = 0.0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      R[i][j] = f.Q[j][i];
      Q[i][j] = f.Q[i][j];
    }
  return true;
}

class OpenVins : public ExportFormat {
 public:
  const char* name() const override { return "openvins"; }
  const char* fileName() const override { return "kalibr_imu_chain.yaml"; }
  const char* summary() const override {
    return "OpenVINS kalibr_imu_chain.yaml: noise, Tw, R_IMUtoGYRO, Ta, R_IMUtoACC, Tg";
  }

  ExportText write(const ImuModel& m) const override {
    ExportText out;
    std::string& t = out.text;
    t += "%YAML:1.0\n";
    t += "# IMU intrinsics and noise for OpenVINS (model kalibr), from tiltfit.\n";
    if (!m.source.empty()) t += "# " + m.source + "\n";
    t += "# Ta, Tw: the measurement model (raw = T R x + bias), the inverse of the correction;\n";
    t += "# noise: continuous-time densities as measured, each the largest of three axes.\n";
    t += "imu0:\n";
    t += "  T_i_b:\n";
    for (int i = 0; i < 4; ++i) {
      t += "    - [ ";
      for (int j = 0; j < 4; ++j)
        t += std::string(i == j ? "1.0" : "0.0") + (j < 3 ? ", " : " ]\n");
    }
    const struct {
      const char* key;
      const AxisNoise* noise;
      NoiseValue AxisNoise::*figure;
    } keys[4] = {{"accelerometer_noise_density", m.accelNoise, &AxisNoise::white},
                 {"accelerometer_random_walk", m.accelNoise, &AxisNoise::randomWalk},
                 {"gyroscope_noise_density", m.gyroNoise, &AxisNoise::white},
                 {"gyroscope_random_walk", m.gyroNoise, &AxisNoise::randomWalk}};
    for (const auto& k : keys) {
      const SensorFigure f = largest(k.noise, k.figure);
      if (f.known) {
        t += std::string("  ") + k.key + ": " + scientific(f.value) + "  # " + f.detail + "\n";
      } else {
        t +=
            std::string("  # ") + k.key + ": not determined by this recording (" + f.detail + ")\n";
        out.notes.push_back(std::string(k.key) + " not determined: left out of " + fileName() +
                            ", where OpenVINS falls back to its own default");
      }
    }
    t += "  rostopic: " + m.topic + "\n";
    t += "  time_offset: 0.0\n";
    if (m.rate > 0.0) {
      t += "  update_rate: " + general(m.rate, 6) + "\n";
    } else {
      t += "  # update_rate: the IMU's rate in Hz, not known from the recording\n";
      out.notes.push_back("the sample rate is not known: update_rate left out");
    }
    t += "  model: \"kalibr\"\n";

    const Matrix3 identity = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const Matrix3 zero = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    Matrix3 Tw, Rw, Ta, Ra, Qa, Qw;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) Tw[i][j] = Rw[i][j] = Ta[i][j] = Qa[i][j] = identity[i][j];
    const SICalibration a = accelSI(m, m.gravity);
    const bool okA = m.accel.present && intrinsics(a.A, Ta, Ra, Qa);
    if (!okA)
      out.notes.push_back(
          m.accel.present ? "the accelerometer calibration is a reflection: Ta left at the identity"
                          : "no accelerometer calibration: Ta is the identity");
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) Ra[i][j] = identity[i][j];
    bool okW = false;
    if (m.gyro.present) {
      // The gyroscope in the accelerometer's frame: Q^T A_g.
      const SICalibration g = gyroSI(m);
      Matrix3 turned;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
          turned[i][j] = 0.0;
          for (int k = 0; k < 3; ++k) turned[i][j] += Qa[k][i] * g.A[k][j];
        }
      okW = intrinsics(turned, Tw, Rw, Qw);
      if (!okW) {
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) Tw[i][j] = Rw[i][j] = identity[i][j];
        out.notes.push_back("the gyroscope calibration is a reflection: Tw left at the identity");
      }
    } else {
      out.notes.push_back("no gyroscope calibration: Tw and R_IMUtoGYRO are the identity");
    }
    matrix(t, "Tw", Tw);
    matrix(t, "R_IMUtoGYRO", Rw);
    matrix(t, "Ta", Ta);
    matrix(t, "R_IMUtoACC", Ra);
    matrix(t, "Tg", zero);
    if (okA) {
      Matrix3 inv;
      inverse(a.A, inv);
      std::string bias;
      for (int i = 0; i < 3; ++i) {
        double v = 0.0;
        for (int j = 0; j < 3; ++j) v -= inv[i][j] * a.b[j];
        bias += (i ? ", " : "") + general(v, 6);
      }
      out.notes.push_back(
          "OpenVINS estimates the accelerometer bias online; this calibration's is (" + bias +
          ") m/s^2 in raw terms, for its initial value");
      const QLFactors f = qlFactors(a.A);
      out.notes.push_back(
          "the IMU frame of this file is the accelerometer's: tiltfit's calibrated "
          "frame turned by " +
          general(f.angleDeg, 3) + " deg");
    }
    return out;
  }
};

}  // namespace

const ExportFormat& openvinsFormat() {
  static const OpenVins f;
  return f;
}

}  // namespace exports
}  // namespace report
}  // namespace tiltfit
