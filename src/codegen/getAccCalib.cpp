#include "getAccCalib.h"

#include <exception>

#include "accelcal.h"
#include "findStaticWindow.h"
#include "getAccCalib_data.h"
#include "getAccCalib_initialize.h"
#include "movmean.h"

namespace {

// Rows idx(1) ... idx(M) (1-based) of the N x 3 matrix x, as an M x 3 matrix.
void gatherRows(const coder::array<double, 2>& x, const coder::array<unsigned int, 2>& idx,
                coder::array<double, 2>& rows) {
  const int n = x.size(0);
  const int m = n == 0 ? 0 : idx.numel();
  rows.set_size(m, 3);
  for (int j = 0; j < 3; ++j) {
    for (int r = 0; r < m; ++r) {
      rows[r + m * j] = x[static_cast<int>(idx[r] - 1U) + n * j];
    }
  }
}

}  // namespace

void getAccCalib(const coder::array<double, 2>& accVector, double tolerancePct,
                 double moveMeanWindow, double diffThreshold, double windowWidth,
                 double deltaThresholdWindow, double* offset, double* gainMatrix,
                 boolean_T* result) {
  const int n = accVector.size(0);
  const double* x = accVector.data();
  getAccCalibColumns(x, x + n, x + 2 * static_cast<long>(n), n, tolerancePct, moveMeanWindow,
                     diffThreshold, windowWidth, deltaThresholdWindow, offset, gainMatrix, result);
}

void getAccCalibColumns(const double* x, const double* y, const double* z, int n,
                        double tolerancePct, double moveMeanWindow, double diffThreshold,
                        double windowWidth, double deltaThresholdWindow, double* offset,
                        double* gainMatrix, boolean_T* result) {
  getAccCalibWindows(x, y, z, n, tolerancePct, moveMeanWindow, diffThreshold, windowWidth,
                     deltaThresholdWindow, offset, gainMatrix, result, nullptr, nullptr);
}

void getAccCalibWindows(const double* x, const double* y, const double* z, int n,
                        double tolerancePct, double moveMeanWindow, double diffThreshold,
                        double windowWidth, double deltaThresholdWindow, double* offset,
                        double* gainMatrix, boolean_T* result, AccCalibWindows* windows,
                        coder::array<double, 2>* smoothed, const ColumnHooks* hooks) {
  if (!isInitialized_getAccCalib) {
    getAccCalib_initialize();
  }

  // Each axis smoothed straight into its column of the filtered recording.
  coder::array<double, 2> ownFiltered;
  coder::array<double, 2>& accVectorFiltered = smoothed != nullptr ? *smoothed : ownFiltered;
  accVectorFiltered.set_size(n, 3);
  const double* raw[3] = {x, y, z};
  for (int j = 0; j < 3; ++j) {
    const double* column = hooks != nullptr && hooks->column ? hooks->column(j) : raw[j];
    coder::movmean(column, n, moveMeanWindow, accVectorFiltered.data() + static_cast<long>(n) * j);
    if (hooks != nullptr && hooks->smoothed) hooks->smoothed(j);
  }

  coder::array<unsigned int, 2> accZUpIdx, accZDownIdx, accXUpIdx, accXDownIdx, accYUpIdx,
      accYDownIdx;
  struct Search {
    int axis;
    double level;
    coder::array<unsigned int, 2>* idx;
  };
  const Search searches[6] = {{3, -1.0, &accZUpIdx}, {3, 1.0, &accZDownIdx},
                              {1, -1.0, &accXUpIdx}, {1, 1.0, &accXDownIdx},
                              {2, -1.0, &accYUpIdx}, {2, 1.0, &accYDownIdx}};
  // The six searches share nothing but the read-only smoothed recording; each gives the same
  // list whichever thread runs it. An exception may not leave a parallel region, so a failed
  // allocation is carried out of it and rethrown.
  std::exception_ptr failure;
#pragma omp parallel for schedule(dynamic, 1)
  for (int k = 0; k < 6; ++k) {
    try {
      const Search& s = searches[k];
      coder::findStaticWindowFast(accVectorFiltered, s.axis, s.level, tolerancePct, diffThreshold,
                                  windowWidth, deltaThresholdWindow, *s.idx);
    } catch (...) {
#pragma omp critical(getAccCalib_failure)
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) {
    std::rethrow_exception(failure);
  }

  bool found = true;
  for (const Search& s : searches) {
    found = found && s.idx->numel() != 1;
  }
  *result = found ? 1 : 0;
  if (windows != nullptr) {
    for (int k = 0; k < 6; ++k) {
      const coder::array<unsigned int, 2>& idx = *searches[k].idx;
      windows->found[k] = idx.numel() != 1;
      windows->first[k] = idx.numel() > 0 ? idx[0] : 1U;
      windows->last[k] = idx.numel() > 0 ? idx[idx.numel() - 1] : 1U;
    }
  }

  coder::array<double, 2> xUp, xDown, yUp, yDown, zUp, zDown;
  gatherRows(accVectorFiltered, accXUpIdx, xUp);
  gatherRows(accVectorFiltered, accXDownIdx, xDown);
  gatherRows(accVectorFiltered, accYUpIdx, yUp);
  gatherRows(accVectorFiltered, accYDownIdx, yDown);
  gatherRows(accVectorFiltered, accZUpIdx, zUp);
  gatherRows(accVectorFiltered, accZDownIdx, zDown);
  coder::accelcal(xUp, xDown, yUp, yDown, zUp, zDown, gainMatrix, offset);
}
