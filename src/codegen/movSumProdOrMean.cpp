#include "movSumProdOrMean.h"

#include <omp.h>

#include <algorithm>

#include "blockedSummation.h"

namespace coder {
namespace {

constexpr int kBlock = 1024;
constexpr int kLanes = 32;

// out[w] = x[w] + x[w + 1] + ... + x[w + len - 1], added left to right, for w < kLanes.
// The lanes are independent chains, which the compiler turns into vector additions: this is what
// makes a long moving mean fast without changing any output's summation order. 32 lanes are eight
// chains of four (AVX2) or four of eight (AVX-512), enough to hide the latency of an addition;
// with 16 the kernel waited on it and ran at less than half this speed.
inline void laneSums(const double* x, int len, double* out) {
  double s[kLanes];
  for (int w = 0; w < kLanes; ++w) {
    s[w] = x[w];
  }
  for (int k = 1; k < len; ++k) {
    for (int w = 0; w < kLanes; ++w) {
      s[w] += x[w + k];
    }
  }
  for (int w = 0; w < kLanes; ++w) {
    out[w] = s[w];
  }
}

// kLanes consecutive full windows of vlen samples starting at x: each sum in exactly the order
// of blockedSummation (first block into the total, every further block into its own partial sum).
inline void laneBlockedSums(const double* x, int vlen, double* total) {
  const int firstLen = std::min(vlen, kBlock);
  laneSums(x, firstLen, total);
  for (int offset = kBlock; offset < vlen; offset += kBlock) {
    double bsum[kLanes];
    laneSums(x + offset, std::min(kBlock, vlen - offset), bsum);
    for (int w = 0; w < kLanes; ++w) {
      total[w] += bsum[w];
    }
  }
}

// Built for AVX2 and AVX-512 as well where the compiler can, chosen at run time: the lanes are the
// same independent IEEE additions either way (no multiplication to fuse), only more of them per
// instruction.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void meanRange(const double* x, int n, int kleft, int kright, int begin, int end, double* y) {
  const long long fullLen = static_cast<long long>(kleft) + kright + 1;
  // Outputs whose window is not cut by either end of the signal all hold fullLen samples.
  const long long fullBegin = kleft;
  const long long fullEnd = static_cast<long long>(n) - kright;  // exclusive
  long long i = begin;
  while (i < end) {
    const bool full = i >= fullBegin && i + kLanes <= fullEnd && i + kLanes <= end;
    if (full && fullLen > 0) {
      double sums[kLanes];
      laneBlockedSums(x + (i - kleft), static_cast<int>(fullLen), sums);
      for (int w = 0; w < kLanes; ++w) {
        y[i + w] = sums[w] / static_cast<double>(fullLen);
      }
      i += kLanes;
      continue;
    }
    const long long iLeft = i >= kleft ? i - kleft : 0;
    const long long hi = std::min(i + kright + 1, static_cast<long long>(n));
    const int vlen = static_cast<int>(hi - iLeft);
    const double s = vlen == 0 ? 0.0 : blockedSummation(x + iLeft, vlen);
    y[i] = s / static_cast<double>(vlen);
    ++i;
  }
}

}  // namespace

void vmovfun(const double* x, int n, int nx, int kleft, int kright, double* y) {
  for (int i = nx; i < n; ++i) {
    y[i] = 0.0;
  }
#pragma omp parallel num_threads(omp_get_max_threads())
  {
    // Static division of the outputs into contiguous ranges, the first nx mod P threads taking
    // one index more.
    const int nthreads = omp_get_num_threads();
    const int t = omp_get_thread_num();
    const int q = nx / nthreads;
    const int r = nx % nthreads;
    const int begin = t < r ? t * (q + 1) : t * q + r;
    const int count = t < r ? q + 1 : q;
    if (count > 0) {
      meanRange(x, n, kleft, kright, begin, begin + count, y);
    }
  }
}

void vmovfun(const array<double, 1>& x, int nx, int kleft, int kright, array<double, 1>& y) {
  const int n = x.size(0);
  y.set_size(n);
  vmovfun(x.data(), n, nx, kleft, kright, y.data());
}

}  // namespace coder
