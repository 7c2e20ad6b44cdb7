// The export formats: one interface, one file per target, and the table of them.
#ifndef TILTFIT_REPORT_EXPORT_EXPORTFORMAT_H
#define TILTFIT_REPORT_EXPORT_EXPORTFORMAT_H

#include <string>
#include <vector>

#include "imuModel.h"

namespace tiltfit {
namespace report {
namespace exports {

struct ExportText {
  std::string text;  // the file's contents
  // What the caller should tell the user: figures missing (and what was written instead), terms
  // the format cannot hold and what dropping them costs, choices made (one figure for three
  // axes, a frame turned), parameters still to set by hand. One sentence each.
  std::vector<std::string> notes;
};

class ExportFormat {
 public:
  virtual ~ExportFormat() = default;
  virtual const char* name() const = 0;      // "kalibr", as --format takes it
  virtual const char* fileName() const = 0;  // the name its software uses ("imu.yaml")
  virtual const char* summary() const = 0;   // one line for --help
  // The file for model. Never fails: what the model lacks is written as the format allows
  // (left out, or a commented placeholder) and named in the notes. Numbers are written without
  // the locale.
  virtual ExportText write(const ImuModel& model) const = 0;
};

// Every format, in the order of --help: kalibr, openvins, vins, basalt, ardupilot, px4.
const std::vector<const ExportFormat*>& exportFormats();
// The format of that name, or nullptr.
const ExportFormat* findExportFormat(const std::string& name);

const ExportFormat& kalibrFormat();
const ExportFormat& openvinsFormat();
const ExportFormat& vinsFormat();
const ExportFormat& basaltFormat();
const ExportFormat& ardupilotFormat();
const ExportFormat& px4Format();

}  // namespace exports
}  // namespace report
}  // namespace tiltfit

#endif
