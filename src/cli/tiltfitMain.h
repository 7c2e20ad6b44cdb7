// The tool's command line: parses the arguments, runs the mode they ask for and reports.
#ifndef TILTFIT_CLI_TILTFITMAIN_H
#define TILTFIT_CLI_TILTFITMAIN_H

namespace tiltfit {
namespace cli {

// Runs the tool as `main` would; returns the exit status (status.h). Reports out of memory itself.
int tiltfitMain(int argc, char* argv[]);

}  // namespace cli
}  // namespace tiltfit

#endif
