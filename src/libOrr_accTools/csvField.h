// Conversion of one CSV field to a double, with exactly the semantics of std::stod.
#ifndef TILTFIT_CSVFIELD_H
#define TILTFIT_CSVFIELD_H

namespace tiltfit_csv {

// Converts the field [begin, end) like std::stod(std::string(begin, end)): leading white space
// skipped, the longest prefix that strtod accepts converted (decimal, hex, inf and nan forms), the
// rest ignored, conversion stopping at an embedded NUL. Returns false where std::stod would throw:
// no numeric prefix, or a value out of the double range (overflow or underflow).
//
// Plain decimals of up to 19 significant digits whose value is m * 10^e with m <= 2^53 and
// |e| <= 22 are converted directly with one correctly rounded multiplication or division, which
// gives the same double as strtod; every other form goes through std::stod itself.
bool parseField(const char* begin, const char* end, double& value);

}  // namespace tiltfit_csv

#endif
