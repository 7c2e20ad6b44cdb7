// tiltfit: calibrates a three-axis accelerometer from one CSV recording.
//
//   tiltfit --auto FILE [options]
//   tiltfit FILE tolerancePct moveMeanWindow diffThreshold windowWidth deltaThresholdWindow
//   [options]
//
// tiltfit --help lists the options and the exit statuses.
#include "fpmode.h"
#include "tiltfitMain.h"

namespace {
// Every computation of the run happens with subnormal numbers flushed to zero.
const bool kFlushToZero = enableFlushToZero();
}  // namespace

int main(int argc, char* argv[]) {
  (void)kFlushToZero;
  return tiltfit::cli::tiltfitMain(argc, argv);
}
