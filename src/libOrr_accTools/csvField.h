// Conversion of one CSV field to a double, with exactly the semantics of std::stod.
#ifndef TILTFIT_CSVFIELD_H
#define TILTFIT_CSVFIELD_H

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace tiltfit_csv {

// Converts the field [begin, end) like std::stod(std::string(begin, end)): leading white space
// skipped, the longest prefix that strtod accepts converted (decimal, hex, inf and nan forms), the
// rest ignored, conversion stopping at an embedded NUL. Returns false where std::stod would throw:
// no numeric prefix, or a value out of the double range (overflow or underflow).
bool parseField(const char* begin, const char* end, double& value);
// The same, and *numberEnd (when not null) receives the end of the number's text on success.
bool parseField(const char* begin, const char* end, double& value, const char** numberEnd);

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
  // The commonest form, [-]digits[.digits] with at most 19 digits, no exponent, a value of at
  // most 2^53 units of its last digit and at most 22 decimals: the digits as an integer and the
  // power of ten are exact doubles, so their quotient, rounded once, is the correctly rounded
  // value from_chars gives. A sensor's "0.579102" costs a few instructions instead of a call.
  {
    const char* c = digits;
    std::uint64_t mantissa = 0;
    int count = 0;
    while (c < e && static_cast<unsigned>(*c - '0') <= 9) {
      mantissa = mantissa * 10 + static_cast<unsigned>(*c - '0');
      ++c;
      ++count;
    }
    int decimals = 0;
    if (c < e && *c == '.') {
      ++c;
      while (c < e && static_cast<unsigned>(*c - '0') <= 9) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*c - '0');
        ++c;
        ++count;
        ++decimals;
      }
    }
    if (count <= 19 && decimals <= 22 && mantissa <= (std::uint64_t{1} << 53) &&
        (c >= e || (*c != 'e' && *c != 'E'))) {
      static constexpr double kPowers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
      const double v = static_cast<double>(mantissa) / kPowers[decimals];
      value = digits != start ? -v : v;
      return c;
    }
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
