// tiltfit's noise figures: the overlapping Allan deviation of every axis of both sensors from a
// still recording of any length, read as a stream in bounded memory, and the figures that
// visual-inertial and flight software want from it: white noise density N (the -1/2 slope, read
// at 1 s), bias instability B (the curve's minimum / 0.664) and random walk K (the +1/2 slope,
// read at 3 s), each with its interval, or why the recording cannot show it.
#ifndef TILTFIT_NOISE_HPP
#define TILTFIT_NOISE_HPP

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tiltfit/types.hpp"

namespace tiltfit {

// One figure, in SI units: m/s^2/sqrt(Hz), m/s^3/sqrt(Hz), m/s^2 for the accelerometer; rad/s
// per sqrt(Hz), rad/s^2/sqrt(Hz), rad/s for the gyroscope (or raw units where they are unknown).
struct NoiseValue {
  bool determined = false;
  double value = 0.0;
  double low = 0.0, high = 0.0;  // its interval at the curve's confidence level
  double tauS = 0.0;             // where it is read
  // When not determined: the largest value the data allow (0 when they set none), the length of
  // recording that would show it, and one sentence ("random walk: not shown by 7.5 min of data;
  // record at least about 3 h").
  double upper = 0.0;
  double neededSeconds = 0.0;
  std::string note;
};

struct AllanDeviation {
  std::vector<double> tauS, adev, low, high;  // adev in the figures' units, the interval of each
};

struct AxisNoise {
  NoiseValue white;            // N
  NoiseValue randomWalk;       // K
  NoiseValue biasInstability;  // B
  AllanDeviation allan;
  std::vector<double> fit;  // the fitted model's deviation at each tau
};

struct SensorNoise {
  bool present = false;
  std::string units;      // "m/s^2", "rad/s", or "counts" (a gyro whose scale nothing gives)
  std::string unitsNote;  // how the raw readings were taken to those units
  std::array<AxisNoise, 3> axes;
};

struct NoiseOptions {
  // The layout, as given or judged as --auto judges it (the gyroscope and a time column too).
  Layout layout;
  bool detectDelimiter = true;
  bool detectColumns = true;
  bool detectGyro = true;
  double rateHz = 0.0;  // Hz; given, it stands over a time column and a header line
  // m/s^2 per raw accelerometer unit (a calibration's, say), and in words; 0: judged by the
  // readings' magnitude at rest (g, m/s^2 or counts).
  double accelPerUnit = 0.0;
  std::string accelUnitsNote;
  // Raw gyro units per rad/s (1 rad/s, 180/pi deg/s, counts per rad/s) and in words; 0: named by
  // the header or judged, counts left as they are.
  double gyroUnitsPerRadS = 0.0;
  std::string gyroUnitsNote;
  double gravity = kStandardGravity;  // m/s^2 of 1 g, for readings in g or counts
  double confidence = 0.95;
  // The scales above are a calibration session's, of the same sensor but perhaps not of the same
  // logger settings: they stand only if the still recording agrees with them (its magnitude at
  // rest within 15% of gravity; the gyro's white noise, when sessionGyroWhite (rad/s/sqrt(Hz))
  // is known, within a factor of 4 of the session's). Otherwise the units are judged afresh and
  // a note says so.
  bool scalesFromSession = false;
  double sessionGyroWhite = 0.0;
};

struct NoiseResult {
  bool success = false;
  SensorNoise accelerometer, gyroscope;
  double rateHz = 0.0;
  std::string timeSource;  // "time in column 1", "100 Hz from the header line \"Fs,100\"" ...
  double seconds = 0.0;    // of still samples, pooled
  std::uint64_t samples = 0, kept = 0, segments = 0;
  std::string leftOut;  // what was left out (moves, a position change), one sentence, or empty
  Layout layout;
  std::string columnsReason, gyroReason;
  // How the units were taken where that is worth a word (counts of no known scale); the figures
  // the recording is too short for say so in their own notes.
  std::vector<std::string> notes;
  std::vector<std::string> problems;  // after a failure: why
  std::size_t memoryBytes = 0;        // the accumulators' and the gate's
};

// A gyro's raw unit as users write it: "rad/s" (or "rads"), "deg/s" (or "degs"), or the counts
// per deg/s ("131" for an MPU-6050 at 250 deg/s). Sets options.gyroUnitsPerRadS and
// options.gyroUnitsNote ("131 counts per deg/s, as SOURCE gives"); returns "" or why the text
// names no unit (the options then unchanged).
std::string setGyroUnits(NoiseOptions& options, const std::string& unit, const std::string& source);

// The noise of the still recording at path ("-": standard input; gzip data too), read as a
// stream: memory does not grow with its length. Parts where the device moved are left out and
// the figures come from the still parts. Throws Error as readRecording does.
NoiseResult noiseOfStillRecording(const std::string& path,
                                  const NoiseOptions& options = NoiseOptions());

// The white noise density of both sensors from the still stretches of a calibration session, in
// the units of its calibration taken to SI (m/s^2 and rad/s per sqrt(Hz)). Each stretch is read
// alone first; on each axis only those whose figure is indistinguishable from the quietest
// stretch's (their 95% intervals meet) are pooled, so a position held by hand or a bench that
// hums does not inflate it. The counts say how many stretches were long enough and the fewest
// an axis pooled.
struct SessionNoise {
  bool present = false;
  double rateHz = 0.0;
  std::size_t stretches = 0, accelerometerUsed = 0;
  std::size_t gyroscopeStretches = 0, gyroscopeUsed = 0;
  std::array<NoiseValue, 3> accelerometer, gyroscope;
  bool gyro = false;
  std::string note;  // why it is missing, when it is
};

}  // namespace tiltfit

#endif
