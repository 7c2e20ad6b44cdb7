#include "rtGetNaN.h"

#include "rt_nonfinite.h"

real_T rtGetNaN() { return rtNaN; }
real32_T rtGetNaNF() { return rtNaNF; }
