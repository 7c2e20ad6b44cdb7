// tiltfit --apply CALIB.json FILE: a recording with its reading columns calibrated by a saved
// calibration, written to standard output.
#ifndef TILTFIT_CLI_APPLYMODE_H
#define TILTFIT_CLI_APPLYMODE_H

#include "options.h"

namespace tiltfit {
namespace cli {

// Runs the mode; returns the exit status.
int runApply(const CliOptions& o);

}  // namespace cli
}  // namespace tiltfit

#endif
