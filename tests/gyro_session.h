// Helpers of the gyroscope tests: a generated session turned into what the gyro analysis takes
// (the time base and the accelerometer's still poses), and the truth to judge its result by.
#ifndef TILTFIT_TESTS_GYRO_SESSION_H
#define TILTFIT_TESTS_GYRO_SESSION_H

#include <Eigen/Dense>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "gyro/gyroFit.h"
#include "imu_generator.h"
#include "stillStretches.h"
#include "stretchFit.h"

namespace tiltfit_test {

namespace gyro = tiltfit::analysis::gyro;

// The accelerometer's still stretches of three columns, with their gravity directions through
// calibration G (row-major, column form) and b: c = G m + b, gravity c / |c|, and its 1-sigma
// direction error from the samples' scatter. A stretch ends where a sample leaves the noise, so
// its ends hold the slow start and end of the moves around it, which tilt its mean: the mean is
// taken without `trim` samples at each end.
inline std::vector<gyro::StillPose> posesOf(const std::vector<double>& x, const std::vector<double>& y,
                                            const std::vector<double>& z, const double G[9],
                                            const double b[3], std::size_t trim) {
  using namespace tiltfit::analysis;
  const NoiseFloor floor = estimateNoiseFloor(x.data(), y.data(), z.data(), x.size());
  const std::vector<StillStretch> stretches =
      findStillStretches(x.data(), y.data(), z.data(), x.size(), floor);
  std::vector<gyro::StillPose> poses;
  for (const StillStretch& s : stretches) {
    gyro::StillPose p;
    p.first = s.first;
    p.last = s.last;
    if (s.length() <= 4 * trim) continue;
    const std::size_t a0 = s.first + trim, a1 = s.last - trim;
    double mean[3] = {0, 0, 0}, sq[3] = {0, 0, 0};
    for (std::size_t i = a0; i <= a1; ++i) {
      const double v[3] = {x[i], y[i], z[i]};
      for (int j = 0; j < 3; ++j) {
        mean[j] += v[j];
        sq[j] += v[j] * v[j];
      }
    }
    const double n0 = static_cast<double>(a1 - a0 + 1);
    double meanSigma[3];
    for (int j = 0; j < 3; ++j) {
      mean[j] /= n0;
      meanSigma[j] = std::sqrt(std::max(0.0, sq[j] / n0 - mean[j] * mean[j]) / n0);
    }
    double c[3];
    double var = 0.0;
    for (int i = 0; i < 3; ++i) {
      c[i] = b[i];
      for (int j = 0; j < 3; ++j) c[i] += G[3 * i + j] * mean[j];
    }
    const double n = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    for (int i = 0; i < 3; ++i) {
      p.gravity[i] = c[i] / n;
      double g = 0.0;
      for (int j = 0; j < 3; ++j) g += G[3 * i + j] * G[3 * i + j] * meanSigma[j] * meanSigma[j];
      var += g;
    }
    p.gravitySigma = std::sqrt(var) / n / std::sqrt(2.0);  // per direction across gravity
    poses.push_back(p);
  }
  return poses;
}

// A generated session ready for the gyro analysis.
struct Session {
  tiltfit_gen::ImuOptions options;
  tiltfit_gen::ImuRecording rec;
  gyro::TimeBase time;
  std::vector<gyro::StillPose> poses;
  gyro::GyroSeries series() const {
    gyro::GyroSeries s;
    s.x = rec.gx.data();
    s.y = rec.gy.data();
    s.z = rec.gz.data();
    s.n = rec.gx.size();
    s.time = &time;
    return s;
  }
};

inline Session makeSession(const tiltfit_gen::ImuOptions& o) {
  Session s;
  s.options = o;
  s.rec = tiltfit_gen::generateImu(o);
  if (o.timeUnit == "none")
    s.time = gyro::TimeBase::fromRate(s.rec.gx.size(), o.rate);
  else if (o.timeUnit == "counter")
    s.time = gyro::TimeBase::fromCounter(s.rec.time.data(), s.rec.time.size(), o.rate);
  else
    s.time = gyro::TimeBase::fromStamps(s.rec.time.data(), s.rec.time.size());
  double G[9], b[3];
  tiltfit_gen::trueCalibration(o.accel, G, b);
  s.poses = posesOf(s.rec.ax, s.rec.ay, s.rec.az, G, b,
                    static_cast<std::size_t>(std::lround(0.2 * o.rate)));
  return s;
}

// Column form A (rad/s per raw unit) of a row-form gain.
inline Eigen::Matrix3d columnForm(const double gain[9]) {
  Eigen::Matrix3d A;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) A(r, c) = gain[3 * c + r];
  return A;
}

// The worst relative rate error over all directions of a calibration against the truth: the
// largest singular value of A_fit A_true^-1 - I.
inline double worstRateError(const double gain[9], const double trueGain[9]) {
  const Eigen::Matrix3d E =
      columnForm(gain) * columnForm(trueGain).inverse() - Eigen::Matrix3d::Identity();
  return Eigen::JacobiSVD<Eigen::Matrix3d>(E).singularValues()[0];
}

// The rate a calibration reports when the gyro is still (the true raw reading of zero rate,
// -A_true^-1 b_true), deg/s, largest axis.
inline double biasErrorDegS(const double gain[9], const double offset[3], const double trueGain[9],
                            const double trueOffset[3]) {
  const Eigen::Vector3d r0 = -columnForm(trueGain).inverse() *
                             Eigen::Vector3d(trueOffset[0], trueOffset[1], trueOffset[2]);
  const Eigen::Vector3d w = columnForm(gain) * r0 + Eigen::Vector3d(offset[0], offset[1], offset[2]);
  return w.cwiseAbs().maxCoeff() * 180.0 / M_PI;
}

// Gravity direction a carried through rows first..last with calibration (row-form gain, offset)
// by a per-sample rotation matrix product (each rate held over its time step), returned in the
// body frame at the end: a textbook integration to check the fit's own against.
inline Eigen::Vector3d carryDirect(const gyro::GyroSeries& s, std::size_t first, std::size_t last,
                                   const double gain[9], const double offset[3],
                                   const Eigen::Vector3d& a) {
  const Eigen::Matrix3d A = columnForm(gain);
  const Eigen::Vector3d b(offset[0], offset[1], offset[2]);
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  for (std::size_t i = first; i <= last; ++i) {
    const Eigen::Vector3d w = A * Eigen::Vector3d(s.x[i], s.y[i], s.z[i]) + b;
    const Eigen::Vector3d th = w * s.time->step(i);
    const double angle = th.norm();
    if (angle > 0) R = R * Eigen::AngleAxisd(angle, th / angle).toRotationMatrix();
  }
  return R.transpose() * a;
}

inline double angleDeg(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  return std::atan2(a.cross(b).norm(), a.dot(b)) * 180.0 / M_PI;
}

// Columns of a file by name.
struct Columns {
  std::vector<std::string> names;
  std::vector<std::vector<double>> values;
  const std::vector<double>& operator[](const std::string& name) const {
    for (std::size_t k = 0; k < names.size(); ++k)
      if (names[k] == name) return values[k];
    throw std::runtime_error("no column " + name);
  }
};

// A plain CSV (a fixture loader, not the tool's reader) after `skip` header lines: one line of names, then numbers.
inline Columns loadCsv(const std::string& path, int skip) {
  std::ifstream in(path);
  std::string line;
  for (int k = 0; k < skip; ++k) std::getline(in, line);
  Columns c;
  std::getline(in, line);
  std::stringstream names(line);
  for (std::string item; std::getline(names, item, ',');) c.names.push_back(item);
  c.values.resize(c.names.size());
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    std::string item;
    for (std::size_t k = 0; k < c.names.size() && std::getline(fields, item, ','); ++k)
      c.values[k].push_back(std::stod(item));
  }
  return c;
}

// Still poses from the accelerometer: stretches of samples in g, their directions through the
// stretch fit's offset and scale.
inline std::vector<gyro::StillPose> realPoses(std::vector<double> x, std::vector<double> y,
                                       std::vector<double> z, double perG, std::size_t trim,
                                       gyro::GyroSeries& series) {
  using namespace tiltfit::analysis;
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] /= perG;
    y[i] /= perG;
    z[i] /= perG;
  }
  const NoiseFloor floor = estimateNoiseFloor(x.data(), y.data(), z.data(), x.size());
  const std::vector<StillStretch> stretches =
      findStillStretches(x.data(), y.data(), z.data(), x.size(), floor);
  StretchFitOptions fo;
  fo.stretches = &stretches;
  fo.start.gain[0] = fo.start.gain[4] = fo.start.gain[8] = 1.0;
  const StretchFit fit = fitStretches(fo);
  if (!fit.ok) return {};
  double G[9], b[3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) G[3 * i + j] = fit.calibration.gain[3 * j + i];
    b[i] = fit.calibration.offset[i];
  }
  // The series gets the calibration of the raw columns (raw / perG in g).
  for (int k = 0; k < 9; ++k) series.accelGain[k] = fit.calibration.gain[k] / perG;
  for (int k = 0; k < 3; ++k) series.accelOffset[k] = fit.calibration.offset[k];
  return posesOf(x, y, z, G, b, trim);
}

}  // namespace tiltfit_test

#endif
