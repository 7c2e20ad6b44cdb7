#include "csvField.h"

#include <stdexcept>
#include <string>

namespace tiltfit_csv {

bool parseField(const char* begin, const char* end, double& value) {
  // Blanks before the number ("1.5, -2.25, 9.8" as serial monitors print) are skipped as stod
  // skips them, so such fields still take the fast conversion.
  const char* number = begin;
  while (number < end && (*number == ' ' || *number == '\t')) ++number;
  if (parseDecimalPrefix(number, end, value) != nullptr) {
    return true;
  }
  try {
    value = std::stod(std::string(begin, end));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace tiltfit_csv
