// The --json report: one document with the calibration, the numbers it used, the input, the six
// orientations, the quality figures and the messages.
#ifndef TILTFIT_REPORT_JSONREPORT_H
#define TILTFIT_REPORT_JSONREPORT_H

#include <string>

#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace report {

struct Report {
  const std::string& path;
  const Recording& recording;
  const Result& result;
  std::string unitsGiven;     // as the command line gave it: g, ms2, counts or auto
  std::string repeatCommand;  // after an automatic success
  std::string tryCommand;     // after a failure, when numbers that work were found
};

// The document, every number at full precision (it reads back to the same double); non-finite
// numbers are null.
std::string jsonReport(const Report& report);

}  // namespace report
}  // namespace tiltfit

#endif
