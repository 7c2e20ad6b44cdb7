#include "blockedSummation.h"

namespace coder {

double blockedSummation(const double* x, int vlen) {
  if (vlen <= 0) {
    return 0.0;
  }
  int firstBlockLength;
  int lastBlockLength;
  int nblocks;
  if (vlen <= 1024) {
    firstBlockLength = vlen;
    lastBlockLength = 0;
    nblocks = 1;
  } else {
    firstBlockLength = 1024;
    nblocks = vlen / 1024;
    lastBlockLength = vlen - 1024 * nblocks;
    if (lastBlockLength > 0) {
      ++nblocks;
    } else {
      lastBlockLength = 1024;
    }
  }
  double total = x[0];
  for (int k = 1; k < firstBlockLength; ++k) {
    total += x[k];
  }
  for (int b = 2; b <= nblocks; ++b) {
    const double* block = x + static_cast<long>(b - 1) * 1024;
    const int len = (b == nblocks) ? lastBlockLength : 1024;
    double bsum = block[0];
    for (int k = 1; k < len; ++k) {
      bsum += block[k];
    }
    total += bsum;
  }
  return total;
}

double blockedSummation(const array<double, 1>& x, int vlen) {
  if (x.size(0) == 0) {
    return 0.0;
  }
  return blockedSummation(x.data(), vlen);
}

}  // namespace coder
