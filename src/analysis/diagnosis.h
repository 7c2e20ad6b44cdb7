// Why a search found no window: for one orientation, which of the search's tests stopped it and
// by how much.
#ifndef TILTFIT_ANALYSIS_DIAGNOSIS_H
#define TILTFIT_ANALYSIS_DIAGNOSIS_H

#include <cstddef>
#include <string>

#include "calibrationQuality.h"
#include "calibrationRun.h"
#include "coder_array.h"

namespace tiltfit {
namespace analysis {

struct SearchDiagnosis {
  enum class Stop { kNone, kBand, kStep, kWindow, kDeviation, kScore };
  Stop stoppedBy = Stop::kNone;
  double closest = 0.0;            // smallest |a - level| of the smoothed axis, in g
  std::size_t longestRun = 0;      // longest run passing the band and step tests
  std::size_t longestBandRun = 0;  // longest run inside the band, steps ignored
  double smallestDeviation = 0.0;  // smallest window deviation among runs >= the window (NaN: none)
  double typicalStep = 0.0;        // median |a(k) - a(k-1)| of samples inside the band
  std::string text;                // one sentence for the user
};

// Diagnoses the search for orientation o on the smoothed recording (N x 3, column-major, in g),
// with the tests and numbers of the window search. restLength is the length of the recording's
// still stretch nearest to that orientation (0 when unknown): it tells a band too narrow to hold
// a window from a window longer than the rest. Linear in N.
SearchDiagnosis diagnoseSearch(const coder::array<double, 2>& smoothed, const OrientationId& o,
                               const TuningNumbers& t, std::size_t restLength);

}  // namespace analysis
}  // namespace tiltfit

#endif
