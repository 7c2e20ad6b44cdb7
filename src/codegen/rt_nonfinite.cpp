#include "rt_nonfinite.h"

#include <limits>

real_T rtInf = std::numeric_limits<real_T>::infinity();
real_T rtMinusInf = -std::numeric_limits<real_T>::infinity();
real_T rtNaN = std::numeric_limits<real_T>::quiet_NaN();
real32_T rtInfF = std::numeric_limits<real32_T>::infinity();
real32_T rtMinusInfF = -std::numeric_limits<real32_T>::infinity();
real32_T rtNaNF = std::numeric_limits<real32_T>::quiet_NaN();
