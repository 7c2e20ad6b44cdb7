// libFuzzer target: arbitrary bytes as a recording and as the five tuning numbers, through both
// CSV readers (keeping every line, and leaving out the lines without readings), gzip
// decompression and the whole calibration. Beyond crashes and sanitizer reports it checks that the
// block reader agrees with the stream reader, that the lines each kept row came from are the lines
// whose fields all convert, that a file reads as the same bytes in memory, and the linear-time
// window search with the from-scratch one, and aborts on any difference.
//
// Input layout: five selector bytes, one per tuning number (a value from a table of interesting
// numbers, or the next eight bytes taken as a raw double), then the CSV text.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "csvField.h"
#include "findStaticWindow.h"
#include "libOrr_accTools.h"
#include "movmean.h"
#include "tiltfit/tiltfit.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kValues[] = {0.0,      -0.0,         1.0,
                          2.0,      3.0,          5.0,
                          10.0,     20.0,         50.0,
                          100.0,    1000.0,       5e-4,
                          2e-3,     0.5,          1.5,
                          17.0,     17.5,         0.25,
                          -1.0,     1e300,        1e-300,
                          4.9e-324, 2147483647.0, 2147483648.0,
                          kInf,     -kInf,        std::numeric_limits<double>::quiet_NaN(),
                          25.0,     0.05,         30.0};
constexpr std::size_t kTable = sizeof(kValues) / sizeof(kValues[0]);

[[noreturn]] void mismatch(const char* what) {
  std::fprintf(stderr, "fuzz_tiltfit: %s\n", what);
  std::abort();
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool sameColumn(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0);
}

struct Reading {
  bool ok;
  std::array<std::vector<double>, 3> columns;
  std::string messages;
  std::vector<ACCTOOLS::LineRun> runs;
  std::uint64_t dropped;
};

Reading read(const std::string& path, bool fast, bool drop = false) {
  std::stringstream captured;
  std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
  ACCTOOLS tools;
  Reading r;
  CsvLayout layout;
  layout.dropLinesWithoutReadings = drop;
  r.ok = fast ? tools.readAccelerometerMeasures(path, layout)
              : tools.readAccelerometerMeasuresReference(path, layout);
  std::cerr.rdbuf(saved);
  r.messages = captured.str();
  r.columns = tools.getAccelerometerMeasures();
  r.runs = tools.lineRuns();
  r.dropped = tools.linesWithoutReadings();
  return r;
}

void expectSame(const Reading& fast, const Reading& reference) {
  if (fast.ok != reference.ok) mismatch("readers disagree on success");
  if (fast.messages != reference.messages) mismatch("readers disagree on messages");
  for (std::size_t c = 0; c < 3; ++c) {
    if (fast.columns[c].size() != reference.columns[c].size()) mismatch("readers disagree on rows");
    for (std::size_t r = 0; r < fast.columns[c].size(); ++r)
      if (!sameBits(fast.columns[c][r], reference.columns[c][r]))
        mismatch("readers disagree on a value");
  }
  if (fast.dropped != reference.dropped) mismatch("readers disagree on the lines left out");
  if (fast.runs.size() != reference.runs.size()) mismatch("readers disagree on the line runs");
  for (std::size_t k = 0; k < fast.runs.size(); ++k) {
    if (fast.runs[k].row != reference.runs[k].row || fast.runs[k].line != reference.runs[k].line ||
        fast.runs[k].step != reference.runs[k].step)
      mismatch("readers disagree on a line run");
  }
}

// The rows kept are, in order, the lines whose first three fields all convert, and the runs say
// which: checked line by line on the text, with the field conversion the readers share.
void expectKeptLines(const char* text, std::size_t size, const Reading& kept) {
  std::vector<std::uint64_t> lines;
  std::size_t at = 0;
  for (std::uint64_t line = 0; at < size; ++line) {
    const char* nl = static_cast<const char*>(std::memchr(text + at, '\n', size - at));
    const std::size_t end = nl != nullptr ? static_cast<std::size_t>(nl - text) : size;
    std::size_t f = at;
    int converted = 0;
    for (int field = 0; field < 3 && f <= end; ++field) {
      std::size_t e = f;
      while (e < end && text[e] != ',') ++e;
      double v;
      if (f >= end && field > 0) break;  // the line ends: no field after a final comma
      if (tiltfit_csv::parseField(text + f, text + e, v)) ++converted;
      f = e + 1;
    }
    if (converted == 3) lines.push_back(line);
    at = end + 1;
  }
  const std::size_t rows = kept.columns[0].size();
  if (lines.size() != rows) mismatch("rows kept are not the lines that convert");
  for (std::size_t k = 0; k < kept.runs.size(); ++k) {
    const std::size_t end = k + 1 < kept.runs.size() ? kept.runs[k + 1].row : rows;
    for (std::size_t r = kept.runs[k].row; r < end; ++r) {
      if (kept.runs[k].line + std::uint64_t{kept.runs[k].step} * (r - kept.runs[k].row) != lines[r])
        mismatch("a line run names the wrong line");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  double p[5];
  std::size_t at = 0;
  for (double& v : p) {
    const std::uint8_t selector = at < size ? data[at++] : 0;
    if (selector < 4 * kTable) {
      v = kValues[selector % kTable];
    } else if (at + 8 <= size) {
      std::memcpy(&v, data + at, 8);
      at += 8;
    } else {
      v = 1.0;
    }
  }
  const char* csv = reinterpret_cast<const char*>(data + at);
  const std::size_t csvSize = size - at;

  const int fd = memfd_create("recording", 0);
  if (fd < 0) return 0;
  if (csvSize > 0 && write(fd, csv, csvSize) != static_cast<ssize_t>(csvSize)) {
    close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  // The two readers agree on everything, keeping every line or leaving some out.
  const Reading fast = read(path, true);
  expectSame(fast, read(path, false));
  const Reading kept = read(path, true, true);
  expectSame(kept, read(path, false, true));
  expectKeptLines(csv, csvSize, kept);

  // The two window searches agree on the smoothed recording, where the reference is affordable.
  const int n = static_cast<int>(fast.columns[0].size());
  if (n > 0 && !(p[1] < 0.0) && !std::isnan(p[1])) {
    coder::array<double, 2> filtered;
    filtered.set_size(n, 3);
    for (int j = 0; j < 3; ++j) {
      coder::movmean(fast.columns[static_cast<std::size_t>(j)].data(), n, p[1],
                     filtered.data() + static_cast<long>(n) * j);
    }
    const double width = p[3];
    if (!(width > 0.0) || width * n < 3e5) {
      for (int s = 0; s < 6; ++s) {
        coder::array<unsigned int, 2> a, b;
        coder::findStaticWindowFast(filtered, 1 + s / 2, s % 2 ? 1.0 : -1.0, p[0], p[2], width,
                                    p[4], a);
        coder::findStaticWindow(filtered, 1 + s / 2, s % 2 ? 1.0 : -1.0, p[0], p[2], width, p[4],
                                b);
        if (a.numel() != b.numel() ||
            std::memcmp(a.data(), b.data(),
                        sizeof(unsigned) * static_cast<std::size_t>(a.numel())) != 0)
          mismatch("window searches disagree");
      }
    }
  }

  // The whole calibration, with whatever numbers came in.
  {
    std::stringstream captured;
    std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
    ACCTOOLS tools;
    if (tools.readAccelerometerMeasures(path)) {
      tools.accCalibration(p[0], p[1], p[2], p[3], p[4]);
    }
    std::cerr.rdbuf(saved);
  }

  // Everything above the core: reading with a sniffed layout, the automatic calibration with its
  // units, numbers, refinement and diagnosis, and the classic one with the numbers that came in.
  try {
    tiltfit::ReadOptions options;
    options.detectDelimiter = true;
    options.detectColumns = true;
    const tiltfit::Recording rec = tiltfit::readRecording(path, options);
    // The file, read twice through its descriptor (gzip data decompressed into a temporary file),
    // and the same bytes in memory give one recording.
    const tiltfit::Recording fromMemory =
        tiltfit::readRecordingFromText(std::string(csv, csvSize), options);
    if (!sameColumn(rec.x, fromMemory.x) || !sameColumn(rec.y, fromMemory.y) ||
        !sameColumn(rec.z, fromMemory.z) ||
        rec.linesWithoutReadings != fromMemory.linesWithoutReadings ||
        rec.sampleLines != fromMemory.sampleLines || rec.layout.columns != fromMemory.layout.columns)
      mismatch("a file and the same bytes in memory read differently");
    for (std::size_t row = 0; row < rec.rows(); row += 1 + rec.rows() / 64) {
      if (rec.lineOf(row) != fromMemory.lineOf(row)) mismatch("a file and memory disagree on a line");
    }
    const tiltfit::Result automatic = tiltfit::calibrateAuto(rec);
    if (automatic.success && !automatic.problems.empty()) mismatch("success with problems");
    const tiltfit::TuningNumbers given{p[0], p[1], p[2], p[3], p[4]};
    if (tiltfit::checkTuningNumbers(given).empty() && given.windowWidth * n < 1e7 &&
        given.moveMeanWindow < 1e6) {
      tiltfit::CalibrateOptions refine;
      refine.refine = true;
      const tiltfit::Result classic = tiltfit::calibrate(rec, given, refine);
      if (!classic.success && classic.problems.empty() && classic.quality.stillStretches > 0)
        mismatch("a failure that says nothing");
    }
  } catch (const tiltfit::Error&) {
    // An unreadable layout is reported, not a fault.
  }
  close(fd);
  return 0;
}
