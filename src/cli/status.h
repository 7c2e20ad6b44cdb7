// Exit statuses of the command line and the two ways every mode ends: a refusal of its arguments,
// and a report that must reach standard output to count.
#ifndef TILTFIT_CLI_STATUS_H
#define TILTFIT_CLI_STATUS_H

#include <string>

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

// Says why the arguments are refused, on standard error; returns kUsage.
int refuse(const std::string& why);

// A report that did not reach its destination (a full disk, a closed pipe) is no success: returns
// kCannotWrite, having said so, when standard output cannot be flushed, else status.
int finishReport(int status);

}  // namespace cli
}  // namespace tiltfit

#endif
