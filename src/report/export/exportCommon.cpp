#include "exportCommon.h"

#include <Eigen/Dense>
#include <algorithm>
#include <charconv>
#include <cmath>

namespace tiltfit {
namespace report {
namespace exports {

std::string scientific(double v, int digits) {
  char text[64];
  const auto r =
      std::to_chars(text, text + sizeof text, v + 0.0, std::chars_format::scientific, digits - 1);
  return std::string(text, r.ptr);
}

std::string general(double v, int digits) {
  char text[64];
  const auto r =
      std::to_chars(text, text + sizeof text, v + 0.0, std::chars_format::general, digits);
  std::string s(text, r.ptr);
  // YAML and parameter readers take "1" as an integer; a figure stays a real number.
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

namespace {

double accelRawToSI(const ImuModel& m) {
  switch (m.accelRaw) {
    case AccelRaw::kG:
      return kStandardGravity;
    case AccelRaw::kMs2:
      return 1.0;
    default:
      return m.accelCountsPerG > 0.0 ? kStandardGravity / m.accelCountsPerG : 1.0;
  }
}

double gyroRawToSI(const ImuModel& m) {
  constexpr double kRadPerDeg = 3.14159265358979323846 / 180.0;
  switch (m.gyroRaw) {
    case GyroRaw::kRadS:
      return 1.0;
    case GyroRaw::kDegS:
      return kRadPerDeg;
    default:
      return m.gyroCountsPerDegS > 0.0 ? kRadPerDeg / m.gyroCountsPerDegS : 1.0;
  }
}

}  // namespace

SICalibration accelSI(const ImuModel& m, double outPerG) {
  const double out = m.accelOutputG ? outPerG : outPerG / m.gravity;
  const double raw = accelRawToSI(m);
  SICalibration c;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) c.A[i][j] = m.accel.A[i][j] * out / raw;
    c.b[i] = m.accel.b[i] * out;
  }
  return c;
}

SICalibration gyroSI(const ImuModel& m) {
  const double raw = gyroRawToSI(m);
  SICalibration c;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) c.A[i][j] = m.gyro.A[i][j] / raw;
    c.b[i] = m.gyro.b[i];
  }
  return c;
}

void inverse(const Matrix3 A, Matrix3 out) {
  Eigen::Matrix3d a;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a(i, j) = A[i][j];
  const Eigen::Matrix3d v = a.inverse();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i][j] = v(i, j);
}

double determinant(const Matrix3 A) {
  return A[0][0] * (A[1][1] * A[2][2] - A[1][2] * A[2][1]) -
         A[0][1] * (A[1][0] * A[2][2] - A[1][2] * A[2][0]) +
         A[0][2] * (A[1][0] * A[2][1] - A[1][1] * A[2][0]);
}

// With J the exchange matrix (ones on the anti-diagonal), A = Q L exactly when A J = (Q J)(J L J)
// is a QR factorisation, J L J being upper triangular: so the QR factors of A with its columns
// reversed give Q = Q' J and L = J R' J. Signs are then moved between Q's columns and L's rows
// to make L's diagonal positive.
QLFactors qlFactors(const Matrix3 A) {
  QLFactors f;
  if (!(determinant(A) > 0.0)) return f;
  Eigen::Matrix3d aj;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) aj(i, j) = A[i][2 - j];
  const Eigen::HouseholderQR<Eigen::Matrix3d> qr(aj);
  const Eigen::Matrix3d q = qr.householderQ();
  const Eigen::Matrix3d r = qr.matrixQR().triangularView<Eigen::Upper>();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      f.Q[i][j] = q(i, 2 - j);
      f.L[i][j] = r(2 - i, 2 - j);
    }
  for (int k = 0; k < 3; ++k) {
    if (f.L[k][k] < 0.0) {
      for (int j = 0; j < 3; ++j) f.L[k][j] = -f.L[k][j];
      for (int i = 0; i < 3; ++i) f.Q[i][k] = -f.Q[i][k];
    }
  }
  // det A > 0 and det L > 0 leave det Q = +1: a rotation.
  const double trace = f.Q[0][0] + f.Q[1][1] + f.Q[2][2];
  f.angleDeg =
      std::acos(std::clamp(0.5 * (trace - 1.0), -1.0, 1.0)) * 180.0 / 3.14159265358979323846;
  f.ok = true;
  return f;
}

SensorFigure largest(const AxisNoise noise[3], NoiseValue AxisNoise::*figure) {
  SensorFigure s;
  s.known = true;
  static const char* const axes[3] = {"x", "y", "z"};
  for (int k = 0; k < 3; ++k) {
    const NoiseValue& v = noise[k].*figure;
    if (!s.detail.empty()) s.detail += ", ";
    s.detail += std::string(axes[k]) + " " + (v.known ? scientific(v.value, 2) : "not determined");
    if (!v.known) {
      s.known = false;
      continue;
    }
    s.value = s.any ? std::max(s.value, v.value) : v.value;
    s.any = true;
  }
  return s;
}

void diagonalCost(const SICalibration& c, double g0, double& worstMg, double& meanMg) {
  Matrix3 inv;
  inverse(c.A, inv);
  constexpr int kPoints = 2000;
  worstMg = 0.0;
  double sum = 0.0;
  const double golden = 3.14159265358979323846 * (3.0 - std::sqrt(5.0));
  for (int k = 0; k < kPoints; ++k) {
    const double z = 1.0 - (2.0 * k + 1.0) / kPoints;
    const double rho = std::sqrt(1.0 - z * z);
    const double u[3] = {rho * std::cos(golden * k), rho * std::sin(golden * k), z};
    // The raw reading the calibration maps to g0 u, and what the off-diagonal terms add to it.
    double raw[3];
    for (int i = 0; i < 3; ++i) {
      raw[i] = 0.0;
      for (int j = 0; j < 3; ++j) raw[i] += inv[i][j] * (g0 * u[j] - c.b[j]);
    }
    double e2 = 0.0;
    for (int i = 0; i < 3; ++i) {
      double e = 0.0;
      for (int j = 0; j < 3; ++j)
        if (j != i) e += c.A[i][j] * raw[j];
      e2 += e * e;
    }
    const double mg = std::sqrt(e2) / g0 * 1000.0;
    worstMg = std::max(worstMg, mg);
    sum += mg;
  }
  meanMg = sum / kPoints;
}

DiagonalForm diagonalForm(const SICalibration& c) {
  DiagonalForm d;
  for (int i = 0; i < 3; ++i) {
    d.scale[i] = c.A[i][i];
    d.offset[i] = -c.b[i] / c.A[i][i];
  }
  diagonalCost(c, kStandardGravity, d.worstMg, d.meanMg);
  static const char* const axes = "xyz";
  d.comment = "cross-axis terms of the calibration (column form, corrected = A raw + b), dropped:";
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (i != j) d.comment += std::string(" A_") + axes[i] + axes[j] + " " + general(c.A[i][j], 3);
  d.comment += "; dropping them moves a reading by up to " + general(d.worstMg, 3) + " mg (mean " +
               general(d.meanMg, 3) + " mg) over all directions";
  return d;
}

}  // namespace exports
}  // namespace report
}  // namespace tiltfit
