// tiltfit --noise FILE: the noise figures of a still recording, as text, JSON, an Allan plot and
// the files of visual-inertial and flight software; and the same figures beside a calibration
// (--noise-file, the white noise of a session's still stretches).
#ifndef TILTFIT_CLI_NOISEMODE_H
#define TILTFIT_CLI_NOISEMODE_H

#include <string>

#include "options.h"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {

int runNoise(const CliOptions& o);

// How --noise reads a recording: the layout and units the command line gives, the rest judged.
// calibration (may be null): a session's, whose raw units the still recording shares.
NoiseOptions noiseOptions(const CliOptions& o, const Result* calibration);

// The text report of a still recording's figures, on standard output, and its messages (what
// was left out, how the units were taken, why it failed) on standard error.
void printNoiseReport(const NoiseResult& n, const std::string& path);
void printNoiseMessages(const NoiseResult& n, const std::string& path);

// "white noise of 14 still stretches at 100 Hz: accelerometer 236, 240, 310 µg/√Hz; gyroscope
// 0.29, 0.30, 0.28 °/√h", or why there is none.
std::string sessionNoiseLine(const SessionNoise& n);

// Writes --format NAME to --output FILE from the calibration (may be null) and the noise figures
// (a still recording's, may be null, else the session's), prints the format's notes on standard
// error, and returns false when the file could not be written (said so).
bool writeExportFile(const CliOptions& o, const Result* calibration, const NoiseResult* still,
                     const std::string& source);

}  // namespace cli
}  // namespace tiltfit

#endif
