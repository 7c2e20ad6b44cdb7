#include "rtGetInf.h"

#include "rt_nonfinite.h"

real_T rtGetInf() { return rtInf; }
real32_T rtGetInfF() { return rtInfF; }
real_T rtGetMinusInf() { return rtMinusInf; }
real32_T rtGetMinusInfF() { return rtMinusInfF; }
