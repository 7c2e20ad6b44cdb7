#include "csvField.h"

#include <stdexcept>
#include <string>

namespace tiltfit_csv {

bool parseField(const char* begin, const char* end, double& value) {
  if (parseDecimalPrefix(begin, end, value) != nullptr) {
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
