// Library-wide state: the initialisation flag and the library's nestable lock.
// The lock is valid only between getAccCalib_initialize and getAccCalib_terminate; nothing in the
// library takes it.
#ifndef GETACCCALIB_DATA_H
#define GETACCCALIB_DATA_H

#include <omp.h>

#include "rtwtypes.h"

extern omp_nest_lock_t getAccCalib_nestLockGlobal;
extern boolean_T isInitialized_getAccCalib;

#endif
