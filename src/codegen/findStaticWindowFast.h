// Linear-time static orientation window search.
#ifndef FINDSTATICWINDOWFAST_H
#define FINDSTATICWINDOWFAST_H

#include "coder_array.h"

namespace coder {

// Same contract and the same result as findStaticWindow (findStaticWindow.h), index for index,
// including the earliest-start tie rule and the 1.0 ceiling, at a cost of O(N) per search instead
// of O(N * windowWidth) in all but contrived inputs.
//
// How: the candidate mask is counted over a sliding window; the deviation test uses a sliding
// maximum and minimum of the axis (the largest |a(k) - mean| sits at one of them) and a sliding
// mean; the score uses sliding sums of each column around a nearby anchor. The sliding values carry
// rigorous error bounds against the from-scratch evaluation; wherever a decision falls within that
// bound (a deviation within rounding of the threshold, a score that might beat the best so far),
// that window is evaluated from scratch exactly as findStaticWindow does, so every decision is the
// one the reference makes. Windows of up to 16 samples are searched by the reference directly.
void findStaticWindowFast(const array<double, 2>& accVectorFiltered, int axis, double level,
                          double tolerancePct, double diffThreshold, double windowWidth,
                          double deltaThresholdWindow, array<unsigned int, 2>& idx);

}  // namespace coder

#endif
