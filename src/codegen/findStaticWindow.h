// Static orientation window search: for one axis and rest level, the run of consecutive samples in
// which the device lay most still with that axis aligned with gravity. The plain search, and the
// linear-time one that makes the same decisions.
#ifndef FINDSTATICWINDOW_H
#define FINDSTATICWINDOW_H

#include "coder_array.h"

namespace coder {

// accVectorFiltered: the smoothed recording, N x 3, column-major, in units of g.
// axis: the column searched, 1 = X, 2 = Y, 3 = Z. level: -1 (axis up) or +1 (axis down).
//
// A sample k is a candidate when |a(k) - a(k-1)| < diffThreshold (0 for the first sample) and
// level - t < a(k) < level + t with t = tolerancePct / 100. Windows of L = floor(windowWidth)
// samples start at 1 ... trunc(N - windowWidth); a window passes when all its samples are
// candidates and deviate from the window's mean on the axis by less than deltaThresholdWindow.
// Among passing windows the one with the smallest (std X + std Y) + std Z wins, if that sum is
// below 1.0; the earliest start wins ties. All comparisons are strict and false for NaN.
//
// idx receives the chosen window as a 1 x L row of 1-based sample numbers, or the placeholder [1]
// when no window qualified (a one-sample window [p] is indistinguishable from failure by design).
// NaN, infinite, negative and huge widths and thresholds give defined results: no window is
// examined when trunc(N - windowWidth) < 1 or windowWidth < 1 (every window would be empty and
// score NaN), so nothing outside the recording is read and nothing huge is allocated.
//
// This is the plain from-scratch evaluation: every window's mean and standard deviations are
// recomputed from its own samples, so its cost grows with (N - windowWidth) * windowWidth.
void findStaticWindow(const array<double, 2>& accVectorFiltered, int axis, double level,
                      double tolerancePct, double diffThreshold, double windowWidth,
                      double deltaThresholdWindow, array<unsigned int, 2>& idx);

// Same contract and the same result as findStaticWindow (above), index for index,
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
