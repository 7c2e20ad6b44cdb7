#include "csvField.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tiltfit_csv {
namespace {

// Powers of ten that are exact doubles.
constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool slowPath(const char* begin, const char* end, double& value) {
  try {
    value = std::stod(std::string(begin, end));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool parseField(const char* begin, const char* end, double& value) {
  const char* s = begin;
  bool negative = false;
  if (s < end && (*s == '+' || *s == '-')) {
    negative = *s == '-';
    ++s;
  }
  if (s + 1 < end && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    return slowPath(begin, end, value);  // hexadecimal
  }
  std::uint64_t mantissa = 0;
  int significant = 0;
  int exponent = 0;
  bool anyDigit = false;
  for (; s < end && isDigit(*s); ++s) {
    anyDigit = true;
    if (mantissa == 0 && *s == '0') continue;
    if (++significant > 19) return slowPath(begin, end, value);
    mantissa = mantissa * 10 + static_cast<std::uint64_t>(*s - '0');
  }
  if (s < end && *s == '.') {
    for (++s; s < end && isDigit(*s); ++s) {
      anyDigit = true;
      --exponent;
      if (mantissa == 0 && *s == '0') continue;
      if (++significant > 19) return slowPath(begin, end, value);
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(*s - '0');
    }
  }
  if (!anyDigit) {
    return slowPath(begin, end, value);  // blanks, inf, nan, or no number at all
  }
  if (s < end && (*s == 'e' || *s == 'E')) {
    const char* t = s + 1;
    bool negativeExponent = false;
    if (t < end && (*t == '+' || *t == '-')) {
      negativeExponent = *t == '-';
      ++t;
    }
    if (t < end && isDigit(*t)) {  // otherwise the 'e' is not part of the number
      int e = 0;
      for (; t < end && isDigit(*t); ++t) {
        if (e < 100000) e = e * 10 + (*t - '0');
      }
      exponent += negativeExponent ? -e : e;
    }
  }
  if (mantissa == 0) {
    value = negative ? -0.0 : 0.0;
    return true;
  }
  if (mantissa > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22) {
    return slowPath(begin, end, value);
  }
  // Both operands are exact, so the one rounding of the operation is strtod's rounding.
  const double m = static_cast<double>(mantissa);
  const double v = exponent >= 0 ? m * kPow10[exponent] : m / kPow10[-exponent];
  value = negative ? -v : v;
  return true;
}

}  // namespace tiltfit_csv
