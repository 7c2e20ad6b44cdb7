// Synthetic six-orientation recordings with a known sensor model, for tests, benchmarks and the
// shipped sample.
//
// Sensor model: raw = K * u + o + noise, quantised to a multiple of `quantum`, where u is gravity
// as the tool's convention sees it (an axis pointing up reads -1 g, down +1 g), K the 3 x 3
// gain/misalignment matrix and o the offset, all in g. In m/s^2 units everything is scaled by 9.81.
// With raw-count output each value v in g becomes the integer round(v * countsScale + countsOffset)
// instead (the counts are then the only quantisation).
// The calibration that undoes it is c = K^-1 * raw - K^-1 * o (c in the same units as raw; for
// counts see trueCalibration).
//
// Recording layout: a lead-in rotation from a tilted pose, then `cycles` times the orientation
// sequence of `order`, then `extraRests` rests at random directions, then a rotation back to the
// tilted pose. Every rest lasts restSamples and is reached by a smooth rotation of
// transitionSamples. Tilts and extra directions come from a random stream of their own (seeded from
// `seed`), so they never change the noise, and options left at their defaults give the recordings
// the generator always gave.
#ifndef TILTFIT_TOOLS_RECORDING_GENERATOR_H
#define TILTFIT_TOOLS_RECORDING_GENERATOR_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tiltfit_gen {

struct Options {
  int restSamples = 2000;       // samples per rest stretch
  int transitionSamples = 300;  // samples per rotation between rests (also lead-in and tail)
  std::string order = "zu,zd,xu,xd,yu,yd";  // rests in recording order: axis x/y/z, u(p) or d(own)
  double noise = 0.002;                     // white noise, standard deviation in g
  double quantum = 1.0 / 4096;              // quantisation step in g; 0 for none; unused for counts
  double offset[3] = {0.0, 0.0, 0.0};
  double gain[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // K, row-major
  bool metric = false;                           // m/s^2 instead of g
  std::uint64_t seed = 1;
  // Each rest of the orientation sequence is tilted away from its axis by an angle drawn uniformly
  // from [0, tiltDeg] degrees, towards a direction drawn uniformly around the axis.
  double tiltDeg = 0.0;
  // With tiltMinDeg the angle is drawn from [tiltMinDeg, tiltDeg] instead, for rests all about
  // as far off their axes.
  double tiltMinDeg = 0.0;
  int extraRests = 0;  // rests at directions uniform on the sphere, once, after the last cycle
  int cycles = 1;      // times the orientation sequence is recorded
  // Raw-count output when nonzero: counts = round(g * countsScale + countsOffset), for instance
  // 16384, 0 for a signed 16-bit sensor at +-2 g or 4096, 32768 for an unsigned one at +-8 g.
  // Excludes metric.
  double countsScale = 0.0;
  double countsOffset = 0.0;
  // Each value the sensor produces is logged holdSamples times, as when a logger samples faster
  // than the sensor updates.
  int holdSamples = 1;
  // Hand-held rests: the gravity direction wobbles about the rest's direction by a rotation whose
  // components follow a first-order random process with this standard deviation (in mg of the
  // reading, i.e. milliradians) and a correlation time of wobbleSamples. wobbleMg applies to every
  // rest, wobbleExtraMg to the extra rests only.
  double wobbleMg = 0.0;
  double wobbleExtraMg = 0.0;
  int wobbleSamples = 25;
  // Continuous motion of motionSamples after the last rest, before the tail: the gravity direction
  // turns at motionDegPerSample about an axis that itself wanders.
  int motionSamples = 0;
  double motionDegPerSample = 0.5;
  // What no linear model captures (a sensor's own nonlinearity, its warming, hysteresis): every
  // rest reads an extra constant offset, each axis drawn from a normal distribution of this
  // standard deviation in mg, from a stream of its own. It is no part of the sensor model above:
  // no calibration removes it.
  double restBiasMg = 0.0;
};

struct Rest {
  int axis;   // 0 = x, 1 = y, 2 = z; -1 for an extra rest at a random direction
  int level;  // -1 up, +1 down (0 for an extra rest)
  int first;  // 0-based sample index of the first rest sample
  int count;
  double gravity[3];  // true u during the rest: a unit vector, an axis pointing up reads -1
};

struct Recording {
  std::vector<double> x, y, z;
  std::vector<Rest> rests;
  bool counts = false;  // values are whole raw counts
};

// Throws std::invalid_argument for an unreadable order string or options that cannot be met
// (cycles below 1, a negative count or tilt, counts together with metric). The order "none" holds
// no orientation: with extraRests the recording has rests at random directions only.
Recording generate(const Options& options);

// The calibration that undoes the sensor model, calibrated = G * raw + b as column vectors with G
// row-major: G = K^-1 and b = -G * o in g, or b scaled to m/s^2 for metric output. For raw-count
// output it maps counts to g: G = K^-1 / countsScale and b = -K^-1 * (o + countsOffset /
// countsScale).
void trueCalibration(const Options& options, double G[9], double b[3]);

// How well a calibration (calibrated = G * raw + b, G row-major) fits the noise-free sensor of
// `options`: over 4000 directions u spread evenly on the sphere (a Fibonacci lattice), the mean and
// the worst of | |G * raw(u) + b| / outUnitScale - 1 | in mg, where raw(u) is the reading without
// noise or quantisation in the recording's own units (g, m/s^2 or counts). outUnitScale is the
// magnitude the calibration should give at rest: 1 when it maps to g, 9.81 for m/s^2.
void sphereError(const Options& options, const double G[9], const double b[3], double outUnitScale,
                 double& meanMg, double& worstMg);

// One reading of the accelerometer of `options` for gravity direction u (the tool's convention)
// and the noise draws noise[3] in g: K u + o + noise, quantised or made counts, in the recording's
// units, exactly as generate() makes each sample.
void accelerometerReading(const Options& options, const double u[3], const double noise[3],
                          double raw[3]);

// Header "accx,accy,accz", then one line per sample with six decimals, as sensor loggers write;
// raw counts as whole numbers.
void writeCsv(std::FILE* out, const Recording& recording);

// The tiltfit_gen command line, without the program name: options as listed in tiltfit_gen.cpp.
struct Arguments {
  Options options;
  std::string output;  // -o FILE; empty for standard output
  bool truth = false;  // --truth
};

// Throws std::invalid_argument naming the option for an unknown option, a missing value or a value
// that is no number of the expected kind.
Arguments parseArguments(const std::vector<std::string>& args);

}  // namespace tiltfit_gen

#endif
