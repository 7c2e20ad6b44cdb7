// The C header of a calibration, for firmware: the gain in column form (the form firmware writes,
// calibrated = G raw + b), the offset and an inline function that applies them.
#ifndef TILTFIT_REPORT_CHEADER_H
#define TILTFIT_REPORT_CHEADER_H

#include <cstdio>
#include <string>

#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace report {

struct CHeader {
  // NAME_GAIN, NAME_OFFSET and NAME_apply; by default TILTFIT_GAIN, TILTFIT_OFFSET and
  // tiltfit_apply.
  std::string prefix;
  std::string command;             // the command that made it, for the comment
  std::string rawUnits;            // "g", "m/s^2" or "counts"
};

// The header's text: a C99 header, with an include guard, that compiles with -Wall -Wextra
// -Werror. The numbers are the calibration's, rounded to float (9 significant digits, which reads
// back to the same float). The prefix must be a C identifier (checkPrefix).
std::string cHeader(const Result& result, const CHeader& options);

// Empty when prefix can name the header's symbols: a C identifier of letters, digits and '_' not
// starting with a digit. Otherwise why not.
std::string checkPrefix(const std::string& prefix);

}  // namespace report
}  // namespace tiltfit

#endif
