// The commands a run prints for the lab notebook or a script: the explicit command that gives the
// same calibration again ("to repeat: tiltfit FILE 5.7 50 0.00049 710 0.0016 --refine"), and the
// words they are made of.
#ifndef TILTFIT_CLI_REPEAT_H
#define TILTFIT_CLI_REPEAT_H

#include <string>

#include "options.h"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {

// The shortest text that reads back as the same double, in plain decimals where they stay short.
std::string shortest(double v);
// The argument as a POSIX shell reads it back: as it is, or in single quotes.
std::string shellWord(const std::string& s);
// The --delimiter argument of a layout: "space", "tab" or the character, quoted for a shell.
std::string delimiterArgument(const Layout& layout);
// The explicit classic command: the file, the numbers and the options that give the same result.
// gravity: the m/s^2 of 1 g the run used, where the recording or the output was in m/s^2, else 0.
std::string classicCommand(const std::string& path, const TuningNumbers& t, Units units,
                           const Layout& layout, bool refine, const CliOptions& o, double gravity);
// The --auto command that gives the same calibration when no classic one does (the stretch fit
// alone, or the identity).
std::string autoCommand(const std::string& path, Units units, const Layout& layout,
                        const std::string& method, const CliOptions& o);
// The explicit command for a run that read rec: without any option the classic command reads
// every line as a row and any bytes as text, so a recording that needed more names its units.
std::string repeatCommand(const std::string& path, const TuningNumbers& t, Units units,
                          const Recording& rec, bool refine, const CliOptions& o, double gravity);

}  // namespace cli
}  // namespace tiltfit

#endif
