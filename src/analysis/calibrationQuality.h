// A calibration as the tool reports it, and the figures that say how good it is: the magnitude of
// every still stretch after calibration, the angle of each chosen rest from its axis, and the
// checks that a chosen rest really is the orientation it stands for.
#ifndef TILTFIT_ANALYSIS_CALIBRATIONQUALITY_H
#define TILTFIT_ANALYSIS_CALIBRATIONQUALITY_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stillStretches.h"

namespace tiltfit {
namespace analysis {

// calibrated = raw · gain + offset for a raw row vector: calibrated_j = sum_i raw_i * gain[3i+j] +
// offset[j]. gain[3i + j] is row i, column j of the matrix as the report prints it.
struct Calibration {
  double gain[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  double offset[3] = {0, 0, 0};

  void apply(const double raw[3], double out[3]) const {
    for (int j = 0; j < 3; ++j) {
      out[j] = raw[0] * gain[j] + raw[1] * gain[3 + j] + raw[2] * gain[6 + j] + offset[j];
    }
  }
};

// The map from the recording's units to g: g = (raw - zero) / perG on every axis. Identity for a
// recording in g; perG 9.81 for m/s^2; counts per g and the ADC's zero for raw counts.
struct InputScale {
  double zero = 0.0;
  double perG = 1.0;
  void toG(const double raw[3], double out[3]) const {
    for (int j = 0; j < 3; ++j) out[j] = (raw[j] - zero) / perG;
  }
};

// One of the six orientations, in report order: x at -1 g, x at +1 g, y ..., z at +1 g.
struct OrientationId {
  int axis;   // 0 = x, 1 = y, 2 = z
  int level;  // -1 or +1: the reading the search looks for on that axis
};
constexpr OrientationId kOrientations[6] = {{0, -1}, {0, 1}, {1, -1}, {1, 1}, {2, -1}, {2, 1}};
// "x at -1 g", "z at +1 g", ...
std::string orientationName(const OrientationId& o);

// A chosen rest window: rows first ... last (1-based, inclusive) and the mean of the rows the fit
// used, in the recording's units.
struct ChosenRest {
  OrientationId id{0, -1};
  bool found = false;
  unsigned int first = 1;
  unsigned int last = 1;
  double mean[3] = {0, 0, 0};
};

// Angle in degrees between v and the axis direction level * e_axis; NaN for a zero or non-finite v.
double angleFromAxisDeg(const double v[3], const OrientationId& o);
// Angle in degrees between two vectors.
double angleBetweenDeg(const double a[3], const double b[3]);

// Mean and worst over still stretches of | |v| - 1 | in mg, for v the stretch mean mapped to g.
struct NormErrors {
  double meanMg = 0.0;
  double worstMg = 0.0;
};
// Before calibration: the raw means scaled to g.
NormErrors rawNormErrors(const std::vector<StillStretch>& stretches, const InputScale& scale);
// After calibration: calibrated means divided by outPerG (1 for an output in g, 9.81 for m/s^2).
NormErrors calibratedNormErrors(const std::vector<StillStretch>& stretches, const Calibration& c,
                                double outPerG);

// The 1-based line of the text that a 0-based row was read from; empty: row + 1.
using LineOfRow = std::function<std::uint64_t(std::size_t)>;

// Checks that six found rests are six different orientations: no two windows overlap, no two mean
// directions lie less than 45 degrees apart, and no mean direction (scaled to g) lies more than 20
// degrees from its axis. No real sensor's own errors come near those angles, so a rest that fails
// them passed a band meant for another orientation. Returns one message per problem (empty when
// all is well), each naming the orientations and their rows as lines of the text (lineOf).
std::vector<std::string> checkChosenRests(const ChosenRest rests[6], const InputScale& scale,
                                          const LineOfRow& lineOf = LineOfRow());

}  // namespace analysis
}  // namespace tiltfit

#endif
