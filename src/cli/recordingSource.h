// Where a recording comes from: a file, or standard input held in memory so that it can be read
// twice (once to look at its layout, once to parse it).
#ifndef TILTFIT_CLI_RECORDINGSOURCE_H
#define TILTFIT_CLI_RECORDINGSOURCE_H

#include <string>
#include <vector>

#include "libOrr_accTools.h"

namespace tiltfit {
namespace cli {

class RecordingSource {
 public:
  // "-" is standard input, read whole at once; any other text is a file path.
  explicit RecordingSource(std::string path);

  const std::string& path() const { return path_; }
  bool isStdin() const { return path_ == "-"; }

  // Lines to judge the layout by: the first lines of the recording and lines from across it.
  // Empty when the file cannot be read (reading it then reports why).
  std::vector<std::string> sampleLines() const;

  // Reads the recording into tools with layout; on failure prints why (after the reader's own
  // "Can not open csv file") and returns the exit status, else 0.
  int read(ACCTOOLS& tools, const CsvLayout& layout) const;

 private:
  std::string path_;
  std::string bytes_;  // standard input
  int stdinErrno_ = 0;
};

}  // namespace cli
}  // namespace tiltfit

#endif
