// Accessors for the infinite constants of rt_nonfinite.h.
#ifndef RTGETINF_H
#define RTGETINF_H

#include "rtwtypes.h"

real_T rtGetInf();
real32_T rtGetInfF();
real_T rtGetMinusInf();
real32_T rtGetMinusInfF();

#endif
