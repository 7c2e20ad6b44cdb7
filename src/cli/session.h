// Everything one calibration run of the command line decided and found, for the text and JSON
// reports and the plot.
#ifndef TILTFIT_CLI_SESSION_H
#define TILTFIT_CLI_SESSION_H

#include <string>
#include <vector>

#include "autoTune.h"
#include "calibrationRun.h"
#include "layoutSniff.h"

namespace tiltfit {
namespace cli {

struct Session {
  std::string path;
  analysis::Layout layout;
  std::size_t rows = 0;
  analysis::Units units = analysis::Units::kG;
  analysis::InputScale scale;
  bool outputMs2 = false;
  analysis::TuningNumbers numbers;
  bool numbersAuto = false;
  analysis::RunResult result;
  // One sentence per orientation the search did not find, in report order (empty when found).
  std::string diagnosis[6];
  std::vector<std::string> failureNotes;  // layout problems, missing rests, unit hints
  std::string tryCommand;                 // a command that calibrates, when one was found
  std::string repeatCommand;              // after a success: the explicit classic command
  long long durationUs = 0;
};

}  // namespace cli
}  // namespace tiltfit

#endif
