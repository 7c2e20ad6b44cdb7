// Synthetic IMU sessions with a known accelerometer and gyroscope, for tests and benchmarks.
//
// Orientation. The body's orientation R(t) (body to world, world z up) rests at a sequence of
// orientations and turns between them. Gravity in the body frame, as the tool's convention sees
// it (an axis pointing up reads -1), is u = R^T (0, 0, -1). A move from R_k to R_{k+1} = R_k D,
// D = Exp(angle n), follows
//
//     R(s) = R_k Exp(n alpha(s)) Exp(m beta(s)),  s = t / T in [0, 1],
//     alpha = angle (s - sin(2 pi s) / (2 pi)),   beta = wobble sin^2(pi s),
//
// m a unit vector across n: the body turns smoothly from rest to rest (rate zero at both ends)
// with an excursion off the plain axis, so that the rotation does not stay about one axis. The
// body rate is exactly w = Exp(m beta)^T n alpha' + m beta'. Rate samples are taken at the middle
// of each sample period (sample j of a move at s = (j + 1/2) / N), so that each rate held over
// its period integrates the move to within the integrator's own error.
//
// Sensors. The accelerometer reads u through the recording generator's model (gain K, offset,
// noise, quantisation or counts). The gyroscope reads
//
//     raw = S (M_g w + b(t) + noise) + zero,   b(t) = b0 + drift t,
//
// quantised (or rounded to whole counts), with S = 1 for rad/s, 180/pi for deg/s and
// countsPerDegS * 180/pi for counts. The calibration that undoes it, in the body frame (the
// accelerometer's true calibrated frame), is w = A raw + b_g with A = M_g^-1 / S and
// b_g = -M_g^-1 (zero / S + b(t)).
//
// Time. Sample i is taken at i / rate seconds. Its stamp is that time plus jitter (normal, rms
// `jitter`), optionally plus the epoch offset, truncated to a multiple of stampStep, repeated
// from the row before with probability `repeat`, stamped `interleave` periods early on odd rows
// (records of two kinds interleaved), and written in s, ms, us or ns; or a sample counter.
// Joined files leave the moves out (the time jumps over them, or restarts at 0 with --restart);
// gaps cut gapSeconds out of the middle of moves.
#ifndef TILTFIT_TOOLS_IMU_GENERATOR_H
#define TILTFIT_TOOLS_IMU_GENERATOR_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "recording_generator.h"

namespace tiltfit_gen {

struct ImuOptions {
  Options accel;  // the accelerometer's model; its seed seeds the whole session
  double rate = 100.0;         // Hz
  double restSeconds = 3.0;
  double moveSeconds = 1.5;    // per move of up to 90 deg; longer moves in proportion
  std::string order = "zu,xu,yu,zd,xd,yd";  // the faces, as the recording generator's order
  int randomPoses = 0;         // rests at random orientations after the faces
  double headingDeg = 20.0;    // each move also turns by up to this about the vertical
  double wobbleDeg = 8.0;      // the moves' excursion off their axis
  bool faceTurns = false;      // whole turns about x, y and z with that axis up, after the rest
  int turntable = 0;           // whole turns about the vertical at the last pose, rests between
  double turnSeconds = 4.0;
  bool joined = false;         // single positions joined: no moves recorded
  bool restart = false;        // with joined: each position's stamps restart at 0
  int gaps = 0;                // gaps cut out of moves
  double gapSeconds = 0.3;
  // Gyroscope.
  double gyroMatrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // M_g, row-major
  double gyroBias[3] = {0.0, 0.0, 0.0};   // deg/s
  double gyroDrift[3] = {0.0, 0.0, 0.0};  // deg/s per hour
  double gyroNoise = 0.05;                // deg/s, per sample
  std::string gyroUnits = "rad";          // "rad", "deg" or "counts"
  double countsPerDegS = 131.0;
  double countsZero = 0.0;
  double gyroQuantum = 0.0;  // rad/s or deg/s, for those units; 0 for none
  double gyroRangeDegS = 0;  // the gyro saturates at this |reading| (deg/s); 0 for never
  // Time column: "s", "ms", "us", "ns", "counter" (a sample counter) or "none".
  std::string timeUnit = "s";
  bool epoch = false;
  double jitter = 0.0;     // s rms
  double stampStep = 0.0;  // s: stamps truncated to a multiple of it; 0 for none
  double repeat = 0.0;     // share of rows that repeat the stamp before them
  double interleave = 0.0; // periods by which odd rows are stamped early
  bool gyroFirst = false;
  std::string gyroNames = "gyrx,gyry,gyrz";
  std::string timeName = "time";
};

struct ImuRest {
  std::size_t first = 0;  // row of its first sample in the written recording
  std::size_t count = 0;
  double R[9];            // body to world, row-major
  double gravity[3];      // true u
};

struct ImuMove {
  std::size_t first = 0;  // rows in the written recording (count 0 when left out)
  std::size_t count = 0;
  double angleDeg = 0.0;  // the rotation from the rest before to the rest after
  bool wholeTurn = false;
  bool gap = false;       // samples were cut out of it
};

struct ImuRecording {
  std::vector<double> time;  // the stamps as written (empty for "none")
  std::vector<double> ax, ay, az, gx, gy, gz;
  std::vector<ImuRest> rests;
  std::vector<ImuMove> moves;  // moves[k] lies between rests[k] and rests[k + 1]
  bool accelCounts = false;
  bool gyroCounts = false;
  int timeDecimals = 6;
};

// Throws std::invalid_argument for options that cannot be met (a rate or duration that is not
// positive, unknown units, an unreadable order).
ImuRecording generateImu(const ImuOptions& options);

// The true gyro calibration at t seconds, in the body frame and rad/s, row form as the tool
// reports: w_j = sum_i raw_i gain[3i + j] + offset[j].
void trueGyroCalibration(const ImuOptions& options, double t, double gain[9], double offset[3]);

// Header (time, then the accelerometer's and the gyro's names in the chosen order), then one line
// per sample: accelerometer as the recording generator writes it, gyro with six decimals or whole
// counts, time with the decimals its unit needs.
void writeImuCsv(std::FILE* out, const ImuRecording& recording, const ImuOptions& options);

struct ImuArguments {
  ImuOptions options;
  std::string output;
  bool truth = false;
};

// Whether args ask for a session with a gyroscope: --gyro, or any option of this generator that
// the recording generator does not have.
bool wantsImu(const std::vector<std::string>& args);

// The recording generator's options (for the accelerometer) and these; throws
// std::invalid_argument naming the option for an unknown option or a bad value.
ImuArguments parseImuArguments(const std::vector<std::string>& args);

}  // namespace tiltfit_gen

#endif
