// What the command line's modes share: calibrating one file and reporting it.
#ifndef TILTFIT_CLI_MODES_H
#define TILTFIT_CLI_MODES_H

#include <string>

#include "options.h"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {

// Reads the recording at path, calibrates it with the given numbers (the classic command) or
// with numbers chosen from it (given null: --auto), prints the report and the messages, writes
// the plot and the C header when asked, and returns the exit status.
int calibrateFile(const CliOptions& o, const std::string& path, const TuningNumbers* given);

}  // namespace cli
}  // namespace tiltfit

#endif
