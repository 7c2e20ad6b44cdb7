#include "getAccCalib_terminate.h"

#include "getAccCalib_data.h"

void getAccCalib_terminate() {
  omp_destroy_nest_lock(&getAccCalib_nestLockGlobal);
  isInitialized_getAccCalib = false;
}
