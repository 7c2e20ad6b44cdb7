#include "getAccCalib_data.h"

omp_nest_lock_t getAccCalib_nestLockGlobal;
boolean_T isInitialized_getAccCalib = false;
