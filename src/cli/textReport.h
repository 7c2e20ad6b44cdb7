// The text report of a run: the classic layout on standard output, and the lines on standard
// error that say what was read ("tiltfit: columns 5,6,7 as x, y, z: ..."), how good the result is
// ("tiltfit: quality: ..."), and what to do after a failure.
#ifndef TILTFIT_CLI_TEXTREPORT_H
#define TILTFIT_CLI_TEXTREPORT_H

#include <string>
#include <vector>

#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {

// The five tuning numbers' names, in their order on the command line.
extern const char* const kNumberNames[5];

// "12.3", "0.0451": three significant digits, enough to judge a figure by.
std::string figure(double v);
// The line that says what was read: which columns and why (--auto), and the lines left out; ""
// when there is nothing to say.
std::string readSummary(const Recording& rec, const Result& r, bool autoMode, bool columnsGiven);
// The line after a failure that says which way the tuning numbers must move, and plainly whether
// the failure line's advice applies; "" when the diagnosis gives no direction.
std::string adviceLine(const Result& r, bool failureLine);
// "6 still stretches read 1 g within ...; held out ...; expected error in any direction ...".
std::string qualityLine(const Quality& q);
// The stretches left out of some figure, one line per reason: "lines 93-505, 598-1007: REASON".
std::vector<std::string> leftOutLines(const Quality& q);
// What the calibration turned its output by, and why: "" when the result says nothing of it.
std::string rotationLine(const Calibration& c);
// The report of a success: the classic layout with six decimals and its fixed closing text, or
// nine significant digits and the relation the numbers satisfy.
void printReport(const Calibration& c, long long durationUs, bool classic);
// The gyroscope's part of the report, after the accelerometer's: its calibration on standard
// output (a gain matrix only where the moves fix one), and on standard error which columns and
// time base were taken, its quality, warnings and what to record.
void printGyroReport(const GyroResult& g);
void printGyroMessages(const GyroResult& g);
// After the report: the quality line (not after --json), the rotation, the stretches left out,
// the warnings and the command to repeat it; after a failure its reasons, and after a classic
// one which way the tuning numbers must move and the command to try.
void printMessages(const Result& r, bool json, bool classic, const std::string& repeat,
                   const std::string& tryCommand);

}  // namespace cli
}  // namespace tiltfit

#endif
