// The command line's entry: parses the arguments, hands them to the mode they ask for, and turns
// the errors that stop a run into exit statuses.
#include "tiltfitMain.h"

#include <cstdio>
#include <new>
#include <string>

#include "applyMode.h"
#include "batch.h"
#include "cHeader.h"
#include "live.h"
#include "noiseMode.h"
#include "options.h"
#include "repeat.h"
#include "status.h"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {
namespace {

int run(int argc, char* argv[]) {
  CliOptions o;
  const std::string problem = parseArguments(argc, argv, o);
  if (!problem.empty()) return refuse(problem);
  o.commandLine = "tiltfit";
  for (int i = 1; i < argc; ++i) o.commandLine += " " + shellWord(argv[i]);
  if (!o.cPrefix.empty()) {
    const std::string bad = report::checkPrefix(o.cPrefix);
    if (!bad.empty()) return refuse(bad);
    if (o.cHeaderPath.empty()) return refuse("--c-prefix names the symbols of --c-header FILE.h");
  }
  if (o.help) {
    std::fputs(helpText().c_str(), stdout);
    return finishReport(kSuccess);
  }
  if (o.version) {
    std::puts("tiltfit " TILTFIT_VERSION);
    return finishReport(kSuccess);
  }
  try {
    if (!o.applyPath.empty()) return runApply(o);
    if (!o.format.empty() && o.outputPath.empty())
      return refuse("--format " + o.format + " needs --output FILE");
    if (o.format.empty() && !o.outputPath.empty())
      return refuse("--output FILE is where --format NAME writes: give the format");
    if (!o.noisePath.empty()) {
      if (!o.noiseFilePath.empty())
        return refuse("--noise-file adds a still recording to --auto; --noise reads one itself");
      return runNoise(o);
    }
    if (!o.autoMode && (!o.noiseFilePath.empty() || !o.format.empty()))
      return refuse("--noise-file and --format belong to --auto FILE (or --noise FILE)");
    if (o.liveMode) {
      if (o.autoMode) return refuse("--live calibrates as --auto does: give one of them");
      return runLive(o);
    }
    if (!o.targetMg.empty() || !o.savePath.empty())
      return refuse("--target-mg and --save belong to --live SOURCE");
    return o.autoMode ? runAuto(o) : runClassic(o);
  } catch (const Error& e) {
    std::fprintf(stderr, "tiltfit: %s\n", e.what());
    switch (e.kind()) {
      case Error::Kind::kCannotRead:
      case Error::Kind::kNotText:
        return kCannotRead;
      case Error::Kind::kTooManyRows:
        return kTooManyRows;
      default:
        return kUsage;
    }
  }
}

}  // namespace

int tiltfitMain(int argc, char* argv[]) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("tiltfit: out of memory\n", stderr);
    return kOutOfMemory;
  }
}

}  // namespace cli
}  // namespace tiltfit
