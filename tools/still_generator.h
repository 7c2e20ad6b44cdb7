// Long still recordings of a six-axis IMU (accelerometer and gyroscope) with a known noise model,
// for the tests and benchmarks of the noise figures.
//
// Model. Each axis of each sensor reads, every dt = 1 / rate, in SI units (m/s^2, rad/s):
//
//     reading_k = signal_k + bias + w_k + r_k + g_k
//     w_k = N / sqrt(dt) n0_k                                white noise of density N
//     r_k = r_{k-1} + K sqrt(dt) n1_k,  r_0 = 0              random walk of the rate, K
//     g_k = phi g_{k-1} + sigma sqrt(1 - phi^2) n2_k         first-order Gauss-Markov bias,
//           phi = exp(-dt / T), g_0 ~ N(0, sigma^2)          stationary std sigma, time T
//
// with n0, n1, n2 independent standard normal draws (a generator of our own, so that a seed gives
// the same recording everywhere). N is in units/sqrt(Hz) (= units sqrt(s)), K in units/s/sqrt(Hz)
// (= units/sqrt(s)). The signal of the accelerometer is the specific force of gravity, an axis
// pointing up reading +gravity; the gyroscope's is the turn rate of an event, 0 otherwise.
//
// Its overlapping Allan variance at m samples (tau = m dt) is, exactly for this discrete model,
//
//     sigma_w^2 / m  +  q (2 m^2 + 1) / (6 m)  +  (V_m - C_m) / m^2
//
// sigma_w^2 = N^2 / dt + quantum^2 / 12 (the rounding of the written values, when it is fine next
// to the noise), q = K^2 dt, and
//     V_m = sigma^2 (m + 2 sum_{k=1}^{m-1} (m - k) phi^k),
//     C_m = sigma^2 phi (1 - phi^m)^2 / (1 - phi)^2,
// the variance of a sum of m Gauss-Markov samples and the covariance of two adjacent ones.
//
// Output: a header naming the columns (t, ax, ay, az, gx, gy, gz, in an order of choice, the time
// optional), then one line per sample: the accelerometer in g (reading / gravity), m/s^2 or whole
// counts round(reading / gravity * countsPerG); the gyroscope in rad/s, deg/s or whole counts
// round(reading in deg/s * countsPerDegS).
//
// Events in the middle: a position change (a smooth turn by turnDeg about the sensor's x axis over
// eventSeconds, after which the device lies still in its new position) or a bump (a damped shake of
// 3 m/s^2 and 0.5 rad/s at 15 Hz for eventSeconds, ending where it began).
#ifndef TILTFIT_TOOLS_STILL_GENERATOR_H
#define TILTFIT_TOOLS_STILL_GENERATOR_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tiltfit_gen {

// The noise of one axis, SI units.
struct AxisNoise {
  double white = 0.0;        // N, units/sqrt(Hz)
  double randomWalk = 0.0;   // K, units/s/sqrt(Hz)
  double markovSigma = 0.0;  // sigma, units
  double markovTime = 0.0;   // T, s (0: no Gauss-Markov bias)
  double bias = 0.0;         // constant, units
};

enum class AccelUnits { kG, kMs2, kCounts };
enum class GyroUnits { kRadS, kDegS, kCounts };
enum class StillEvent { kNone, kTurn, kBump };

struct StillOptions {
  double seconds = 600.0;
  double rate = 100.0;             // Hz
  std::array<AxisNoise, 3> accel;  // x, y, z
  std::array<AxisNoise, 3> gyro;
  double gravity = 9.80665;                    // m/s^2
  std::array<double, 3> up = {0.0, 0.0, 1.0};  // the sensor axis that points up (normalised)
  AccelUnits accelUnits = AccelUnits::kMs2;
  double accelCountsPerG = 16384.0;
  GyroUnits gyroUnits = GyroUnits::kRadS;
  double gyroCountsPerDegS = 131.0;
  // Columns left to right, from t, ax, ay, az, gx, gy, gz; "t" may be left out.
  std::string columns = "t,ax,ay,az,gx,gy,gz";
  StillEvent event = StillEvent::kNone;
  double eventAt = -1.0;      // s; below 0: the middle of the recording
  double eventSeconds = 2.0;  // s
  double turnDeg = 90.0;
  std::uint64_t seed = 1;
};

// Every sample in SI, sensor by sensor, as the model gives it before it is written.
struct StillSample {
  double accel[3];  // m/s^2
  double gyro[3];   // rad/s
};

// Draws the recording sample by sample, in bounded memory whatever its length.
class StillGenerator {
 public:
  // Throws std::invalid_argument for a rate or length that is not positive, a negative noise
  // figure, a zero up vector or an event that does not fit in the recording.
  explicit StillGenerator(const StillOptions& options);
  std::uint64_t samples() const { return samples_; }
  bool done() const { return k_ >= samples_; }
  // The next sample; k() is its 0-based number before the call.
  StillSample next();
  std::uint64_t k() const { return k_; }
  // Samples [first, last) of the event (empty without one).
  std::uint64_t eventFirst() const { return eventFirst_; }
  std::uint64_t eventEnd() const { return eventEnd_; }

 private:
  double normal();
  StillOptions o_;
  std::uint64_t samples_ = 0, k_ = 0, eventFirst_ = 0, eventEnd_ = 0;
  std::uint64_t rng_[4];
  bool haveSpare_ = false;
  double spare_ = 0.0;
  double walk_[6] = {0, 0, 0, 0, 0, 0};
  double markov_[6] = {0, 0, 0, 0, 0, 0};
  double phi_[6] = {0, 0, 0, 0, 0, 0};
};

// The exact overlapping Allan variance of one axis of the model at m samples, with `quantum` the
// rounding step of the written values in the same units as the noise (0 for none).
double modelAllanVariance(const AxisNoise& noise, double dt, double quantum, std::uint64_t m);

// What a perfect noise fit should report for one axis, in SI.
struct AxisTruth {
  double white = 0.0;       // N with the rounding's white noise: sqrt(N^2 + quantum^2 dt / 12)
  double randomWalk = 0.0;  // K
  // The minimum of the model's deviation over tau from dt to a tenth of the recording, divided by
  // 0.664 (as a flicker floor is read), and where it lies.
  double biasInstability = 0.0;
  double biasTau = 0.0;
  bool biasShown = false;  // the minimum lies before the longest tau: the curve turns up again
};

// The rounding step of the written values of a sensor, in SI.
double accelQuantum(const StillOptions& o);
double gyroQuantum(const StillOptions& o);
// The truth of axis i (0..2) of the accelerometer (gyro = false) or gyroscope.
AxisTruth stillTruth(const StillOptions& o, bool gyro, int axis);
// The factor from SI to the written units of a sensor (1 / gravity for g, counts per m/s^2, ...).
double writtenPerSI(const StillOptions& o, bool gyro);

// Writes the whole recording as CSV. Returns false on a write error.
bool writeStillCsv(std::FILE* out, const StillOptions& options);

// The still-recording part of the tiltfit_gen command line (everything after --still SECONDS is
// given here, SECONDS first). Throws std::invalid_argument naming the option for an unknown option,
// a missing value or one that is no number of the expected kind.
struct StillArguments {
  StillOptions options;
  std::string output;  // -o FILE; empty for standard output
  bool truth = false;  // --truth: the model's figures on standard error
};
StillArguments parseStillArguments(const std::vector<std::string>& args);

// The --truth text: per axis N, K, the Gauss-Markov bias and what the fit should read, in SI.
std::string stillTruthText(const StillOptions& o);

}  // namespace tiltfit_gen

#endif
