#include "exportFormat.h"

namespace tiltfit {
namespace report {
namespace exports {

const std::vector<const ExportFormat*>& exportFormats() {
  static const std::vector<const ExportFormat*> table = {&kalibrFormat(),    &openvinsFormat(),
                                                         &vinsFormat(),      &basaltFormat(),
                                                         &ardupilotFormat(), &px4Format()};
  return table;
}

const ExportFormat* findExportFormat(const std::string& name) {
  for (const ExportFormat* f : exportFormats())
    if (name == f->name()) return f;
  return nullptr;
}

}  // namespace exports
}  // namespace report
}  // namespace tiltfit
