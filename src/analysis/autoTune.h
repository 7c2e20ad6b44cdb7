// Choices a user would otherwise make by hand: the recording's units and the five tuning numbers.
#ifndef TILTFIT_ANALYSIS_AUTOTUNE_H
#define TILTFIT_ANALYSIS_AUTOTUNE_H

#include <cstddef>
#include <string>
#include <vector>

#include "calibrationQuality.h"
#include "calibrationRun.h"
#include "stillStretches.h"

namespace tiltfit {
namespace analysis {

enum class Units { kG, kMs2, kCounts };

// "g", "ms2", "counts": the names the command line uses.
const char* unitsName(Units u);

struct UnitsGuess {
  Units units = Units::kG;
  InputScale scale;  // to g
};

// The units of a recording judged by its still stretches: a sphere fitted through their means
// gives the reading of 1 g (its radius) and the zero (its centre). A radius near 1 is g, near 9.81
// m/s^2, anything else counts, whose scale and zero are snapped to a power of two where one lies
// close (16384 per g, zero 32768 ...). With fewer than four spread stretches the median magnitude
// stands in for the radius and the zero is taken as 0.
UnitsGuess detectUnits(const std::vector<StillStretch>& stretches);

// The scale for a recording known to be in counts: as detectUnits, but never g or m/s^2.
InputScale countsScale(const std::vector<StillStretch>& stretches);

struct TuningChoice {
  bool ok = false;
  TuningNumbers numbers;
  // The orientations for which no still stretch lies within 25 degrees of the axis, in report
  // order; when any is missing, ok is false.
  std::vector<OrientationId> missing;
};

// Tuning numbers for the recording's rests: x, y, z are the recording, scale its map to g,
// stretchesG its still stretches in g. For each orientation the longest stretch near its axis
// stands for the rest; the numbers are chosen so that each such rest passes every test of the
// search with room to spare and the window fits the shortest of them: moveMeanWindow about a tenth
// of the shortest rest (at most 50), windowWidth half of what remains of it after smoothing (at most 5000), the
// band, the step and the deviation thresholds 1.5 to 2 times what the smoothed rests show. `loosen`
// (0, 1, 2 ...) widens every margin for a second or third attempt.
TuningChoice chooseTuningNumbers(const double* x, const double* y, const double* z, std::size_t n,
                                 const InputScale& scale,
                                 const std::vector<StillStretch>& stretchesG, int loosen);

// The still stretch (index into stretchesG) nearest to the orientation's axis within maxDeg, the
// longest among them; -1 when none.
int restFor(const std::vector<StillStretch>& stretchesG, const OrientationId& o, double maxDeg);

}  // namespace analysis
}  // namespace tiltfit

#endif
