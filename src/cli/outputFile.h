// The files the command line writes beside its report (plots, C headers, export files).
#ifndef TILTFIT_CLI_OUTPUTFILE_H
#define TILTFIT_CLI_OUTPUTFILE_H

#include <cstdio>
#include <functional>
#include <string>

namespace tiltfit {
namespace cli {

// Creates or truncates `path` and fills it through `write`, which returns false on a write error.
// False when the file could not be opened, written or closed, with errno of the first failure.
bool writeOutputFile(const std::string& path, const std::function<bool(std::FILE*)>& write);

// The same for a text held whole.
bool writeOutputText(const std::string& path, const std::string& text);

}  // namespace cli
}  // namespace tiltfit

#endif
