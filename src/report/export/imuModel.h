// What the export writers take: an IMU's calibration and noise figures, in a form of its own so
// that the writers depend on nothing else of tiltfit's.
#ifndef TILTFIT_REPORT_EXPORT_IMUMODEL_H
#define TILTFIT_REPORT_EXPORT_IMUMODEL_H

#include <cstdint>
#include <string>

namespace tiltfit {
namespace report {
namespace exports {

// A calibration in column form: calibrated = A raw + b, raw and calibrated column vectors,
// A[row][column].
struct SensorCalibration {
  bool present = false;
  double A[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  double b[3] = {0, 0, 0};
};

// One noise figure with its interval; known = false when the recording did not determine it.
struct NoiseValue {
  bool known = false;
  double value = 0.0, lo = 0.0, hi = 0.0;
};

// The figures of one axis, SI units: white noise density N, random walk of the rate K, bias
// instability B.
struct AxisNoise {
  NoiseValue white;            // m/s^2/sqrt(Hz) or rad/s/sqrt(Hz)
  NoiseValue randomWalk;       // m/s^3/sqrt(Hz) or rad/s^2/sqrt(Hz)
  NoiseValue biasInstability;  // m/s^2 or rad/s
};

enum class AccelRaw { kG, kMs2, kCounts };
enum class GyroRaw { kRadS, kDegS, kCounts };

struct ImuModel {
  // The accelerometer: raw readings in accelRaw units (counts: accelCountsPerG counts per g, the
  // sensitivity a driver scales them by), calibrated output in g (accelOutputG) or m/s^2, in which
  // case it reads `gravity` at rest.
  SensorCalibration accel;
  AccelRaw accelRaw = AccelRaw::kG;
  double accelCountsPerG = 0.0;
  bool accelOutputG = true;
  // The gyroscope, optional: raw in gyroRaw units (counts: gyroCountsPerDegS counts per deg/s),
  // calibrated output in rad/s.
  SensorCalibration gyro;
  GyroRaw gyroRaw = GyroRaw::kRadS;
  double gyroCountsPerDegS = 0.0;

  double rate = 0.0;         // Hz; 0 when not known
  double gravity = 9.80665;  // m/s^2, the local magnitude
  AxisNoise accelNoise[3];   // x, y, z
  AxisNoise gyroNoise[3];

  std::string topic = "/imu0";  // the ROS topic of the IMU, for the estimators' files
  int sensorIndex = 0;          // which IMU of a flight controller: 0 for the first
  std::int64_t deviceId = 0;    // PX4's device id of the accelerometer; 0 when not known
  std::string source;           // one line on where the figures come from, for the comments
};

}  // namespace exports
}  // namespace report
}  // namespace tiltfit

#endif
