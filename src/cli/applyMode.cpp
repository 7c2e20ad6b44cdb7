// tiltfit --apply CALIB.json FILE: the recording with its three columns calibrated.
#include "applyMode.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "status.h"
#include "tiltfit/report.hpp"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {

int runApply(const CliOptions& o) {
  if (o.autoMode) return refuse("--apply takes a calibration, not --auto");
  if (o.positionals.size() != 1) {
    return refuse(
        "--apply needs one recording after the calibration: tiltfit --apply CALIB.json FILE");
  }
  std::string text;
  {
    std::FILE* f = std::fopen(o.applyPath.c_str(), "rb");
    if (f == nullptr) {
      std::fprintf(stderr, "tiltfit: %s: %s\n", o.applyPath.c_str(), std::strerror(errno));
      return kCannotRead;
    }
    char block[1 << 16];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, f)) > 0;)
      text.append(block, got);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
      std::fprintf(stderr, "tiltfit: %s: cannot be read\n", o.applyPath.c_str());
      return kCannotRead;
    }
  }
  SavedCalibration saved;
  try {
    saved = readCalibrationDocument(text);
  } catch (const Error& e) {
    return refuse(o.applyPath + " is not a calibration: " + e.what());
  }
  Layout& layout = saved.layout;
  if (o.columnsGiven) {
    for (std::size_t k = 0; k < 3; ++k) layout.columns[k] = o.columns[k];
  }
  if (o.delimiterGiven) {
    layout.delimiter = o.delimiter;
    layout.blanks = o.blanks;
  }
  const std::string& path = o.positionals[0];
  std::FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "tiltfit: %s: %s\n", path.c_str(), std::strerror(errno));
    return kCannotRead;
  }
  // The layout is judged on the first lines, before anything is written.
  std::string head(64 * 1024, '\0');
  head.resize(std::fread(&head[0], 1, head.size(), in));
  const std::string name = path == "-" ? std::string("standard input") : path;
  // A calibration made on named columns applies to the columns of those names, wherever they
  // stand: a time column put first must not be taken for x.
  const auto& names = saved.columnNames;
  std::string unnamed;
  if (!o.columnsGiven && !names[0].empty()) {
    const std::array<int, 3> made = layout.columns;
    unnamed = columnsByName(names, head, layout);
    const auto& c = layout.columns;
    if (unnamed.empty() && c != made) {
      std::fprintf(stderr, "tiltfit: columns %d,%d,%d as x, y, z: named as in the calibration\n",
                   c[0], c[1], c[2]);
    }
  }
  const std::string mismatch = layoutMismatch(layout, head);
  if (!mismatch.empty()) {
    if (in != stdin) std::fclose(in);
    return refuse("the calibration does not fit " + name + ": " + mismatch);
  }
  if (!unnamed.empty()) {
    if (in != stdin) std::fclose(in);
    return refuse("the calibration was made on the columns named \"" + names[0] + "\", \"" +
                  names[1] + "\", \"" + names[2] + "\", and the header of " + name + " " + unnamed +
                  " (--columns X,Y,Z applies it by position)");
  }
  // The gyroscope's columns likewise, where the calibration has one of scale and axes.
  const GyroCalibration* gyro = saved.hasGyro && !o.noGyro ? &saved.gyro : nullptr;
  if (gyro != nullptr && o.gyroColumnsGiven) {
    for (std::size_t k = 0; k < 3; ++k) layout.gyroColumns[k] = o.gyroColumns[k];
  } else if (gyro != nullptr && !saved.gyroColumnNames[0].empty()) {
    Layout found = layout;
    const std::string why = columnsByName(saved.gyroColumnNames, head, found);
    if (why.empty()) {
      layout.gyroColumns = found.columns;
    } else {
      std::fprintf(stderr,
                   "tiltfit: the header of %s %s of the gyroscope's columns \"%s\", \"%s\", "
                   "\"%s\": they are copied as they are (--gyro-columns X,Y,Z calibrates them)\n",
                   name.c_str(), why.c_str(), saved.gyroColumnNames[0].c_str(),
                   saved.gyroColumnNames[1].c_str(), saved.gyroColumnNames[2].c_str());
      gyro = nullptr;
    }
  }
  ApplyCounts counts;
  const int err =
      applyCalibrationToText(saved.calibration, layout, in, stdout, &counts, head, gyro);
  const bool readFailed = std::ferror(in) != 0;
  if (in != stdin) std::fclose(in);
  if (err == ENOMEM) throw std::bad_alloc();
  if (err != 0) {
    if (readFailed) {
      std::fprintf(stderr, "tiltfit: %s: %s\n", path.c_str(), std::strerror(err));
      return kCannotRead;
    }
    std::fprintf(stderr, "tiltfit: cannot write the calibrated recording: %s\n",
                 std::strerror(err));
    return kCannotWrite;
  }
  const int status = finishReport(kSuccess);
  if (status == kSuccess && tooFewCalibrated(counts)) {
    return refuse("the calibration does not fit " + name + ": of its " +
                  std::to_string(counts.linesWithNumbers) + " lines that hold numbers, only " +
                  std::to_string(counts.linesCalibrated) + " have numbers at the calibration's " +
                  layoutWords(layout) + "; those were calibrated, the others copied");
  }
  return status;
}

}  // namespace cli
}  // namespace tiltfit
