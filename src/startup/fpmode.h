// Floating-point mode of the process: subnormal results and operands flushed to zero.
#ifndef TILTFIT_STARTUP_FPMODE_H
#define TILTFIT_STARTUP_FPMODE_H

// Sets flush-to-zero and denormals-are-zero on the calling thread (MXCSR FTZ and DAZ on x86-64,
// FPCR.FZ on AArch64). Threads created afterwards inherit the mode. A no-op on other processors.
// Then starts the OpenMP worker threads of the calling thread (startWorkerThreads in workers.h),
// which so compute in the same mode; the tool calls it before main, ahead of any large
// allocation. Returns true when the mode is set.
bool enableFlushToZero();

// True when the calling thread flushes subnormal values to zero.
bool flushToZeroEnabled();

#endif
