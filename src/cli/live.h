// tiltfit --live SOURCE: guided capture. Reads a logger's lines as they come (standard input, a
// FIFO, a serial device or, as a replay, a file), finds still stretches as the samples arrive, says
// what to hold next until the calibration is good enough, then calibrates exactly what it read
// with the same code as --auto.
#ifndef TILTFIT_CLI_LIVE_H
#define TILTFIT_CLI_LIVE_H

#include <string>

#include "options.h"

namespace tiltfit {
namespace cli {

// Seconds without a line before the status says the source is silent.
constexpr double kSilentSeconds = 5.0;

// Runs the capture; returns the exit status of the calibration that follows it.
int runLive(const CliOptions& options);

}  // namespace cli
}  // namespace tiltfit

#endif
