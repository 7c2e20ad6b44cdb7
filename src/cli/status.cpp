#include "status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tiltfit {
namespace cli {

int refuse(const std::string& why) {
  std::fprintf(stderr, "tiltfit: %s\n", why.c_str());
  return kUsage;
}

int finishReport(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "tiltfit: cannot write the report: %s\n", std::strerror(errno));
    return kCannotWrite;
  }
  return status;
}

}  // namespace cli
}  // namespace tiltfit
