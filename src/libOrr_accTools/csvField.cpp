#include "csvField.h"

#include <stdexcept>
#include <string>

namespace tiltfit_csv {

bool parseField(const char* begin, const char* end, double& value) {
  return parseField(begin, end, value, nullptr);
}

bool parseField(const char* begin, const char* end, double& value, const char** numberEnd) {
  // Blanks before the number ("1.5, -2.25, 9.8" as serial monitors print) are skipped as stod
  // skips them, so such fields still take the fast conversion.
  const char* number = begin;
  while (number < end && (*number == ' ' || *number == '\t')) ++number;
  if (const char* stop = parseDecimalPrefix(number, end, value)) {
    if (numberEnd != nullptr) *numberEnd = stop;
    return true;
  }
  // A field that cannot start a number (a header word, an empty field) is refused here: std::stod
  // would throw, and a thrown exception costs a thousand times the conversion.
  const char* c = begin;
  while (c < end && (*c == ' ' || (*c >= '\t' && *c <= '\r'))) ++c;
  if (c < end && (*c == '+' || *c == '-')) ++c;
  if (c >= end) return false;
  const char first = *c;
  if (!((first >= '0' && first <= '9') || first == '.' || first == 'i' || first == 'I' ||
        first == 'n' || first == 'N')) {
    return false;
  }
  try {
    std::size_t used = 0;
    value = std::stod(std::string(begin, end), &used);
    if (numberEnd != nullptr) *numberEnd = begin + used;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace tiltfit_csv
