#include "findStaticWindow.h"

#include <cmath>

#include "blockedSummation.h"
#include "diff.h"
#include "rtwtypes.h"
#include "std.h"

namespace coder {

void findStaticWindow(const array<double, 2>& accVectorFiltered, int axis, double level,
                      double tolerancePct, double diffThreshold, double windowWidth,
                      double deltaThresholdWindow, array<unsigned int, 2>& idx) {
  const int n = accVectorFiltered.size(0);
  idx.set_size(1, 1);
  idx[0] = 1U;

  // Starts 1 ... trunc(N - windowWidth); NaN and anything below one start examine nothing.
  const double nxd = std::trunc(static_cast<double>(n) - windowWidth);
  if (!(nxd >= 1.0) || !(windowWidth >= 1.0)) {
    return;
  }
  // Here 1 <= windowWidth <= N - 1, so both counts fit an int.
  const int nx = static_cast<int>(nxd);
  const int len = static_cast<int>(std::floor(windowWidth));

  array<double, 1> a;
  a.set_size(n);
  const int col = n * (axis - 1);
  for (int k = 0; k < n; ++k) {
    a[k] = accVectorFiltered[col + k];
  }

  // Candidate mask: a small step into the sample and a value inside the open band.
  const double t = tolerancePct * 0.01;
  const double bandLow = level - t;
  const double bandHigh = level + t;
  array<double, 1> steps;
  diff(a, steps);
  array<boolean_T, 1> conditionZUp;
  conditionZUp.set_size(n);
  for (int k = 0; k < n; ++k) {
    const double step = k == 0 ? 0.0 : std::abs(steps[k - 1]);
    conditionZUp[k] = (step < diffThreshold && a[k] > bandLow && a[k] < bandHigh) ? 1 : 0;
  }

  double windowsStdSaved = 1.0;
  array<double, 1> curIdx;
  array<double, 1> curWindow;
  array<double, 2> rows;
  for (int p = 1; p <= nx; ++p) {
    curIdx.set_size(len);
    curWindow.set_size(len);
    for (int k = 0; k < len; ++k) {
      curIdx[k] = static_cast<double>(p + k);
      curWindow[k] = a[static_cast<int>(curIdx[k]) - 1];
    }
    const double curMean = blockedSummation(curWindow, len) / static_cast<double>(len);

    bool pass = true;
    for (int k = 0; k < len; ++k) {
      if (!(conditionZUp[static_cast<int>(curIdx[k]) - 1] != 0 &&
            std::abs(curWindow[k] - curMean) < deltaThresholdWindow)) {
        pass = false;
        break;
      }
    }
    if (!pass) {
      continue;
    }

    rows.set_size(len, 3);
    for (int j = 0; j < 3; ++j) {
      for (int k = 0; k < len; ++k) {
        rows[k + len * j] = accVectorFiltered[(static_cast<int>(curIdx[k]) - 1) + n * j];
      }
    }
    double s[3];
    b_std(rows, s);
    const double score = (s[0] + s[1]) + s[2];
    if (score < windowsStdSaved) {
      idx.set_size(1, len);
      for (int k = 0; k < len; ++k) {
        idx[k] = static_cast<unsigned int>(curIdx[k]);
      }
      windowsStdSaved = score;
    }
  }
}

}  // namespace coder
