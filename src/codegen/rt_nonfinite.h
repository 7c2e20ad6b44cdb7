// Process-wide non-finite constants of the numeric library. They are constant-initialised before
// the program starts and never change, so any thread may read them.
#ifndef RT_NONFINITE_H
#define RT_NONFINITE_H

#include "rtwtypes.h"

extern real_T rtInf;
extern real_T rtMinusInf;
// Quiet NaN: sign clear, exponent all ones, only the top fraction bit set.
extern real_T rtNaN;
extern real32_T rtInfF;
extern real32_T rtMinusInfF;
extern real32_T rtNaNF;

#endif
