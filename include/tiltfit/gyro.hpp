// tiltfit's gyroscope calibration, from the same session as the accelerometer's: the bias from
// every still stretch, and the scale and axes from every move between two of them, in the
// accelerometer's calibrated frame, so that the two make one consistent IMU.
//
//   calibrated_rate = raw · gainMatrix + offset   (rad/s; raw the row vector (x, y, z))
//
// The fit carries each still stretch's gravity direction through the integrated rotation of the
// move that follows it onto the next one's; a whole turn about the vertical (a turntable, the
// turns of a six-faces session) fixes the scale about that axis by its known angle. Where the
// moves cannot fix scale and axes, the result is the bias alone, with what to record instead.
#ifndef TILTFIT_GYRO_HPP
#define TILTFIT_GYRO_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tiltfit/types.hpp"

namespace tiltfit {

// The 1-sigma of each number of a gyro calibration, in the same units and layout.
struct GyroUncertainty {
  std::array<double, 3> offset{};                     // rad/s
  std::array<std::array<double, 3>, 3> gainMatrix{};  // rad/s per raw unit
};

struct GyroCalibration {
  // calibrated[j] = sum_i raw[i] * gainMatrix[i][j] + offset[j], rad/s in the accelerometer's
  // calibrated frame. method "bias": gainMatrix is zero (no scale or axes claimed), offset is
  // -biasRaw in rad/s when the raw unit is known and zero otherwise.
  std::array<std::array<double, 3>, 3> gainMatrix{};
  std::array<double, 3> offset{};
  std::string method;  // "moves" (bias, scale and axes) or "bias" (the bias alone)
  GyroUncertainty uncertainty;
  // The raw readings' unit as the moves judged it: "rad/s", "deg/s" or "counts" (empty when
  // nothing fixed it), raw units per rad/s, and a counts converter's zero.
  std::string units;
  double unitsPerRadS = 0.0;
  double zero = 0.0;
  std::string unitsNote;  // "deg/s (the moves measured 57.9 units per rad/s)"
  // The raw bias: the mean of the gyro's still stretches, its 1-sigma, its drift over the
  // session and the stretches' scatter about it, in raw units (drift per hour).
  std::array<double, 3> biasRaw{};
  std::array<double, 3> biasRawSigma{};
  std::array<double, 3> biasDriftPerHour{};
  std::array<double, 3> biasSpread{};
  bool biasDrifting = false;

  std::array<double, 3> apply(const std::array<double, 3>& raw) const;
  // The same calibration as calibrated = G · raw + b with raw a column vector (G the transpose
  // of gainMatrix).
  std::array<std::array<double, 3>, 3> columnGain() const;
};

// Gravity-direction errors of moves, degrees.
struct GyroErrors {
  double meanDeg = 0.0;
  double rmsDeg = 0.0;
  double worstDeg = 0.0;
  std::size_t moves = 0;
};

struct GyroQuality {
  // Each move's error carrying the first still stretch's gravity direction onto the next one's:
  // with the raw rates in the judged unit and the stretches' bias (before), calibrated (after),
  // and each move under a calibration made without its fold of the moves (held out).
  GyroErrors before, after, heldOut;
  // What a 90-degree move about any axis should expect from the calibration's uncertainty (rms).
  double expectedErrorDeg = 0.0;
  std::size_t wholeTurns = 0;             // moves that were whole turns about the vertical
  double turnClosureDeg = 0.0;            // their worst calibrated distance from whole turns
  double noiseScale = 1.0;                // how far the moves scattered beyond their noise
  std::array<bool, 3> scaleDetermined{};  // by the moves rather than the prior
};

// A move between two still stretches.
struct GyroMove {
  std::uint32_t firstRow = 1;  // as 1-based lines of the text, inclusive
  std::uint32_t lastRow = 1;
  std::size_t firstSample = 0;  // 0-based rows of the recording
  std::size_t lastSample = 0;
  double angleDeg = 0.0;          // how far it turned, calibrated
  double gravityChangeDeg = 0.0;  // the angle between the two gravity directions
  bool used = false;              // in the fit and the figures
  bool wholeTurn = false;         // a whole turn about the vertical
  double errorBeforeDeg = 0.0;
  double errorAfterDeg = 0.0;
  std::string reason;  // why it is not used: "a gap in the samples", "too fast for the rate" ...
};

// The time base the rates were integrated with.
struct GyroTime {
  std::string
      source;  // "time column 1 (\"timestamp_us\"): microseconds since boot", "--rate 100" ...
  double rateHz = 0.0;
  std::string note;  // what was done with the stamps ("stamps rounded to 10 ms: ...")
  std::size_t gaps = 0;
};

struct GyroResult {
  bool success = false;  // a calibration, of one method or the other
  GyroCalibration calibration;
  GyroQuality quality;
  GyroTime time;
  std::vector<GyroMove> moves;
  std::size_t stillStretches = 0;         // the gyro's own, within the accelerometer's
  // Those stretches as 0-based rows, first and last inclusive: where both sensors lay still (a
  // turn about the vertical leaves the accelerometer still, not the gyro).
  std::vector<std::array<std::size_t, 2>> stillRows;
  std::array<int, 3> columns{{0, 0, 0}};  // 1-based field numbers of x, y and z
  std::array<std::string, 3> names;       // as the header names them
  std::string columnsReason;              // why these columns
  std::vector<std::string> warnings;      // what is poor, and what to do
  std::vector<std::string> advice;        // with method "bias": what to record
  std::vector<std::string> problems;      // after a failure: why
};

struct GyroOptions {
  // The sample rate (Hz) when the recording's time column, counter or header lines do not give
  // it; 0: judged from them. Given with a counter, it times the counter.
  double rateHz = 0.0;
  // Raw units per rad/s when known (1 rad/s, 180/pi deg/s); 0: judged from the moves.
  double unitsPerRadS = 0.0;
};

}  // namespace tiltfit

#endif
