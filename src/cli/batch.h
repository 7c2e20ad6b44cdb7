// The batch mode: the classic command (FILE and five tuning numbers) and --auto FILE. Both read
// one recording, calibrate it and report it; --live calibrates its capture the same way.
#ifndef TILTFIT_CLI_BATCH_H
#define TILTFIT_CLI_BATCH_H

#include <string>

#include "options.h"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {

// tiltfit FILE tolerancePct moveMeanWindow diffThreshold windowWidth deltaThresholdWindow.
int runClassic(const CliOptions& o);
// tiltfit --auto FILE.
int runAuto(const CliOptions& o);

// Reads the recording at path, calibrates it with the given numbers (the classic command) or
// with numbers chosen from it (given null: --auto), prints the report and the messages, writes
// the plot and the C header when asked, and returns the exit status.
int calibrateFile(const CliOptions& o, const std::string& path, const TuningNumbers* given);

}  // namespace cli
}  // namespace tiltfit

#endif
