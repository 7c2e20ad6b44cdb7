#include "outputFile.h"

#include <cerrno>

namespace tiltfit {
namespace cli {

bool writeOutputFile(const std::string& path, const std::function<bool(std::FILE*)>& write) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = write(out);
  const int err = errno;
  if (std::fclose(out) != 0 || !written) {
    if (!written) errno = err;
    return false;
  }
  return true;
}

bool writeOutputText(const std::string& path, const std::string& text) {
  return writeOutputFile(path, [&text](std::FILE* out) {
    return std::fwrite(text.data(), 1, text.size(), out) == text.size();
  });
}

}  // namespace cli
}  // namespace tiltfit
