// Scalar type names shared by the whole numeric library.
#ifndef RTWTYPES_H
#define RTWTYPES_H

#include <cstdint>

typedef double real64_T;
typedef double real_T;
typedef float real32_T;
// A logical value stored in one byte: 0 is false, 1 is true.
typedef std::uint8_t boolean_T;

#endif
