// Accessors for the NaN constants of rt_nonfinite.h.
#ifndef RTGETNAN_H
#define RTGETNAN_H

#include "rtwtypes.h"

real_T rtGetNaN();
real32_T rtGetNaNF();

#endif
