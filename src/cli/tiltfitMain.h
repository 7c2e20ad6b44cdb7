// The tool's command line: parses the arguments, runs the mode they ask for and reports.
#ifndef TILTFIT_CLI_TILTFITMAIN_H
#define TILTFIT_CLI_TILTFITMAIN_H

namespace tiltfit {
namespace cli {

// Exit statuses (a POSIX shell sees them modulo 256).
constexpr int kSuccess = 0;
constexpr int kCalibrationFailed = -1;
constexpr int kUsage = -22;
constexpr int kCannotRead = -2;
constexpr int kOutOfMemory = -12;
constexpr int kTooManyRows = -75;
constexpr int kCannotWrite = -5;

// Runs the tool as `main` would; returns the exit status. Reports out of memory itself.
int tiltfitMain(int argc, char* argv[]);

}  // namespace cli
}  // namespace tiltfit

#endif
