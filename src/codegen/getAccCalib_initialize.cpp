#include "getAccCalib_initialize.h"

#include "getAccCalib_data.h"

void getAccCalib_initialize() {
  omp_init_nest_lock(&getAccCalib_nestLockGlobal);
  isInitialized_getAccCalib = true;
}
