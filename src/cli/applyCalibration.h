// Applying a saved calibration to a recording: reading the JSON document of `tiltfit --json` and
// rewriting the three reading columns of a CSV stream with the calibrated values.
#ifndef TILTFIT_CLI_APPLYCALIBRATION_H
#define TILTFIT_CLI_APPLYCALIBRATION_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace tiltfit {
namespace cli {

// A calibration and the layout of the recordings it applies to. For a raw sample as the row vector
// r = (x, y, z): calibrated_j = sum_i r_i * gain[3 * i + j] + offset[j].
struct CalibrationFile {
  double gain[9];  // gain[3 * i + j] = gain_matrix[i][j]
  double offset[3];
  int columns[3];  // 1-based field numbers of x, y and z, all different
  char delimiter;  // the byte between fields; unused when blanks is set
  bool blanks;     // fields separated by runs of spaces and tabs
};

// Reads the document `tiltfit --json` writes. Used: "success" (must be true),
// "calibration": {"offset": [3 numbers], "gain_matrix": [3 rows of 3 numbers]} and, when present,
// "input": {"columns": [3 distinct whole numbers >= 1], "delimiter": "," (one character; "tab";
// "space" or " " for runs of blanks)}; without "input" (or without one of its two members) the
// layout is the tool's default, x, y, z in fields 1, 2, 3 separated by commas. Every other member
// is ignored. Numbers must be finite (a JSON number too large for a double, 1e999, is refused).
//
// Returns true and fills out, or returns false with a one-line reason in why (no trailing
// newline, out unspecified), worded to follow "FILE is not a calibration: ", for instance
// "calibration.gain_matrix must be 3 rows of 3 numbers" or "not JSON: ...".
bool parseCalibrationFile(const std::string& text, CalibrationFile& out, std::string& why);

// What applying did to the lines: those that hold numbers (a digit, and a field at one of the
// columns that is not blank: a header, a blank line or a record whose readings are empty do not
// count) and those of them calibrated.
struct ApplyCounts {
  std::uint64_t linesWithNumbers = 0;
  std::uint64_t linesCalibrated = 0;
};

// Fewer than 90 % of the lines that hold numbers were calibrated: the calibration's layout does
// not fit the text.
bool tooFewCalibrated(const ApplyCounts& counts);

// Judges, on the whole lines of head (the start of a text), whether the calibration's layout fits:
// "" when at least 90 % of the lines that hold numbers calibrate, and one at least does unless the
// head holds no lines of numbers at all; else the mismatch in words: the delimiter, columns past
// the end of the lines, or how few lines calibrate.
std::string layoutMismatch(const CalibrationFile& c, const std::string& head);

// "columns 1,2,3 at ','": the layout a calibration reads.
std::string layoutArgument(const CalibrationFile& c);

// Copies in to out, calibrating every line whose fields at c.columns all hold a finite number:
// each number is replaced by the calibrated value in the shortest form that reads back to the
// same double (std::to_chars), x's value into x's field and so on. Fields are split, and numbers
// read, by the line layer every reader shares (lineLayer.h): a field's leading blanks are skipped
// and its longest numeric prefix is its number ("1.5g" reads 1.5, 0x10 reads 16); the blanks and
// whatever follows the number in its field are kept. Infinite and NaN values calibrate nothing.
// The sums are evaluated as ((r_0 * g_0j + r_1 * g_1j) + r_2 * g_2j) + offset_j.
//
// Everything else goes through byte for byte: other fields and the delimiters, every line that
// has too few fields or a non-number among the three (headers, blank lines, garbage), and the line
// ends (LF, CRLF, a last line without one). A line longer than 1 MiB (line end included) is copied
// unchanged.
//
// Reads in blocks of 1 MiB per thread and calibrates each block on as many threads as OpenMP
// would use (omp_get_max_threads(); the output is the same for any number); the memory used is a
// few MiB per thread whatever the length of the input. in may be a pipe. head, when given, holds
// bytes already read from in (at most 1 MiB), which come first. counts, when given, receives what
// was done to the lines. Flushes out. Returns 0, or the errno value of the read or write that
// failed (EIO when the stream gave none; EINVAL for columns that are not three different numbers
// from 1 up or a head too long, ENOMEM when a buffer cannot be had).
int applyCalibrationStream(const CalibrationFile& c, std::FILE* in, std::FILE* out,
                           ApplyCounts* counts = nullptr, const std::string& head = "");

}  // namespace cli
}  // namespace tiltfit

#endif
