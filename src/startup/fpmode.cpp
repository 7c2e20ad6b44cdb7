#include "fpmode.h"

#include <cstdint>

#include "workers.h"

#if defined(__x86_64__) || defined(_M_X64) || (defined(__i386__) && defined(__SSE__))
#include <xmmintrin.h>
#define TILTFIT_FP_X86 1
#elif defined(__aarch64__)
#define TILTFIT_FP_ARM64 1
#endif

namespace {
#if TILTFIT_FP_X86
constexpr unsigned kFtz = 0x8000;  // MXCSR bit 15: flush-to-zero
constexpr unsigned kDaz = 0x0040;  // MXCSR bit 6: denormals-are-zero
#elif TILTFIT_FP_ARM64
constexpr std::uint64_t kFz = std::uint64_t{1} << 24;  // FPCR.FZ flushes inputs and outputs
#endif
}  // namespace

bool enableFlushToZero() {
#if TILTFIT_FP_X86
  _mm_setcsr(_mm_getcsr() | kFtz | kDaz);
#elif TILTFIT_FP_ARM64
  std::uint64_t fpcr;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
  fpcr |= kFz;
  __asm__ __volatile__("msr fpcr, %0" : : "r"(fpcr));
#endif
  // The workers inherit the mode from this thread when they are created, so only now.
  startWorkerThreads();
  return flushToZeroEnabled();
}

bool flushToZeroEnabled() {
#if TILTFIT_FP_X86
  return (_mm_getcsr() & (kFtz | kDaz)) == (kFtz | kDaz);
#elif TILTFIT_FP_ARM64
  std::uint64_t fpcr;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
  return (fpcr & kFz) != 0;
#else
  return false;
#endif
}
