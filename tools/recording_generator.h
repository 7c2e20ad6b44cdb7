// Synthetic six-orientation recordings with a known sensor model, for tests, benchmarks and the
// shipped sample.
//
// Sensor model: raw = K * u + o + noise, quantised to a multiple of `quantum`, where u is gravity
// as the tool's convention sees it (an axis pointing up reads -1 g, down +1 g), K the 3 x 3
// gain/misalignment matrix and o the offset, all in g. In m/s^2 units everything is scaled by 9.81.
// The calibration that undoes it is c = K^-1 * raw - K^-1 * o (c in the same units as raw).
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
  double quantum = 1.0 / 4096;              // quantisation step in g; 0 for none
  double offset[3] = {0.0, 0.0, 0.0};
  double gain[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // K, row-major
  bool metric = false;                           // m/s^2 instead of g
  std::uint64_t seed = 1;
};

struct Rest {
  int axis;   // 0 = x, 1 = y, 2 = z
  int level;  // -1 up, +1 down
  int first;  // 0-based sample index of the first rest sample
  int count;
};

struct Recording {
  std::vector<double> x, y, z;
  std::vector<Rest> rests;
};

// Throws std::invalid_argument for an unreadable order string.
Recording generate(const Options& options);

// The calibration that undoes the sensor model: G = K^-1 row-major (calibrated = G * raw + b as
// column vectors) and b = -G * o, scaled to the output units.
void trueCalibration(const Options& options, double G[9], double b[3]);

// Header "accx,accy,accz", then one line per sample with six decimals, as sensor loggers write.
void writeCsv(std::FILE* out, const Recording& recording);

}  // namespace tiltfit_gen

#endif
