// Conversion of one CSV field to a double, with exactly the semantics of std::stod.
#ifndef TILTFIT_CSVFIELD_H
#define TILTFIT_CSVFIELD_H

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace tiltfit_csv {

// Converts the field [begin, end) like std::stod(std::string(begin, end)): leading white space
// skipped, the longest prefix that strtod accepts converted (decimal, hex, inf and nan forms), the
// rest ignored, conversion stopping at an embedded NUL. Returns false where std::stod would throw:
// no numeric prefix, or a value out of the double range (overflow or underflow).
bool parseField(const char* begin, const char* end, double& value);

// The common case of parseField: a plain decimal number ([sign] digits [. digits] [e [sign]
// digits], no blanks, hex, infinity or NaN) whose value is zero or a normal double. For those forms
// std::from_chars and strtod both return the correctly rounded value of the same prefix, so
// std::from_chars, which is several times faster, gives stod's result. Returns the end of the
// number, or nullptr when the text is not of that form (the caller then uses std::stod); subnormal
// and out-of-range values also return nullptr, because strtod reports those as range errors.
// Reads nothing at or past e.
inline const char* parseDecimalPrefix(const char* p, const char* e, double& value) {
  const char* start = p;
  if (start < e && *start == '+') ++start;  // from_chars takes no plus sign
  const char* digits = start;
  if (digits < e && *digits == '-') {
    if (start != p) return nullptr;  // "+-": no number for strtod either
    ++digits;
  }
  if (digits >= e) return nullptr;
  if (digits[0] == '.') {
    if (digits + 1 >= e || digits[1] < '0' || digits[1] > '9') return nullptr;
  } else if (digits[0] < '0' || digits[0] > '9') {
    return nullptr;
  } else if (digits[0] == '0' && digits + 1 < e && (digits[1] == 'x' || digits[1] == 'X')) {
    return nullptr;  // hexadecimal
  }
  double v;
  const std::from_chars_result r = std::from_chars(start, e, v, std::chars_format::general);
  if (r.ec != std::errc()) return nullptr;
  if (v == 0.0) {
    // A true zero, or an underflow that strtod would report: only the former has no non-zero digit.
    for (const char* c = digits; c < r.ptr && *c != 'e' && *c != 'E'; ++c) {
      if (*c >= '1' && *c <= '9') return nullptr;
    }
  } else if (!(std::abs(v) >= std::numeric_limits<double>::min()) || std::isinf(v)) {
    return nullptr;
  }
  value = v;
  return r.ptr;
}

}  // namespace tiltfit_csv

#endif
