// The unit of a gyro's raw readings. No datasheet is needed: the moves measure how many raw units
// a radian per second is (see gyroFit.cpp), and that number names the unit.
#ifndef TILTFIT_ANALYSIS_GYRO_GYROUNITS_H
#define TILTFIT_ANALYSIS_GYRO_GYROUNITS_H

#include <string>

namespace tiltfit {
namespace analysis {
namespace gyro {

struct GyroUnits {
  std::string name;             // "rad/s", "deg/s", "counts", or empty when nothing fixes it
  double unitsPerRadS = 0.0;    // raw units per rad/s as used for the start and the prior; 0 unknown
  double measuredPerRadS = 0.0; // what the moves measured; 0 when not measured
  double zero = 0.0;            // an unsigned converter's zero (counts), 0 otherwise
  bool fromMoves = false;
  std::string note;             // one phrase for a report
};

// A measured scale (raw units per rad/s, > 0) within 15 % of 1 is rad/s and of 180/pi deg/s, and
// is then used at that nominal value; anything else is counts at the measured scale. The zero
// comes from biasRaw (see converterZero).
GyroUnits nameUnits(double measuredPerRadS, const double biasRaw[3], bool fromMoves);

// The zero of an unsigned converter: the power of two from 2^9 to 2^23 that every axis' raw bias
// lies within 5 % of (32768 for a 16-bit one), or 0.
double converterZero(const double biasRaw[3]);

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit

#endif
