// The layout of a CSV recording judged from its text: the delimiter, the time or index column and
// the three accelerometer columns, and the layouts the reader cannot take.
#ifndef TILTFIT_ANALYSIS_LAYOUTSNIFF_H
#define TILTFIT_ANALYSIS_LAYOUTSNIFF_H

#include <cstddef>
#include <string>
#include <vector>

#include "tiltfit/types.hpp"

namespace tiltfit {
namespace analysis {

struct LayoutGuess {
  bool ok = false;  // a delimiter splits the lines into at least three numeric fields
  Layout layout;
  int fields = 0;                   // fields per line of numbers
  std::vector<int> growingColumns;  // 1-based columns that only grow: a time or an index
  bool decimalComma = false;        // numbers written with a decimal comma
  bool byName = false;              // the columns were chosen by their names in a header
  std::string names[3];             // then their names
  std::string units;                // what the names say of the units: "g", "m/s^2", "mg", "counts"
  std::string reason;               // why these columns, in words: "named ... in the header"
};

// What the name of a column says, for the usual ways of naming an accelerometer's axes: "ax",
// "acc_x", "accX", "AccX", "accel_x", "Accel X", "aX (g)", "scaledAccelX", "acceleration_x",
// "accelerometer x", "ACC_X_RAW", "linAccX" ...
struct ColumnName {
  bool accelerometer = false;  // an axis of an accelerometer, or of a gravity vector
  int axis = -1;               // 0 x, 1 y, 2 z
  // 0: raw, scaled or plain readings; 1: estimated, compensated, filtered or calibrated ones; 2:
  // linear (gravity removed), gravity, or turned into the world's frame: none of these
  // calibrates the sensor.
  int tier = 0;
  std::string qualifier;  // the word that set the tier ("estimated", "gravity" ...); empty for 0
  std::string units;      // "g", "m/s^2", "mg", "counts", or empty: the unit the name gives
  std::string pattern;    // the name without its axis and unit: x, y and z of one sensor share it
};
// Gyroscope, magnetometer, temperature, time, counter, index, orientation, bias and other such
// columns are never an accelerometer, whatever else their names say.
ColumnName parseColumnName(const std::string& field);

// Guesses the layout from sample lines of a recording: its first lines and, for a long
// recording, lines from across it (the three accelerometer columns are told from other sensors'
// by their magnitude, steady while the device turns, which needs lines from several rests). The
// delimiter is the one of `,` `;` tab or blanks (or the one given) that splits the most lines
// into the same number of fields, three or more of them numbers and the rest empty or words (a
// log may interleave records of several kinds, leaving the others' fields empty). Where a line
// before the numbers names three columns as an accelerometer's x, y and z, those are taken (raw
// or scaled ones before estimated, filtered, linear or gravity ones, then the leftmost), provided
// the lines hold numbers there and none of them only grows. Otherwise: a column whose values only
// grow (but for a few restarts, as a time that starts again with each file of a concatenation) is
// a time or index column; of the others, three are chosen: when there are more, the three whose
// vector magnitude varies least (relative to its size) while each of them swings by at least half
// of it.
LayoutGuess sniffLayout(const std::vector<std::string>& lines,
                        const Layout* delimiterGiven = nullptr);

// The names a header gives the fields `columns` (1-based) of lines cut as `separator` says: from
// the last line before the first line of numbers that has a field holding a letter at each of
// them, the fields trimmed of blanks; empty when no line does.
std::vector<std::string> headerNames(const std::vector<std::string>& lines, const Layout& separator,
                                     const std::vector<int>& columns);

// The other columns of an IMU's recording beside the accelerometer's, judged from the same lines:
// a gyroscope's three axes (by their names: "gx", "gyr_x", "gyro_x", "GyroX", "gX",
// "scaledGyroX", "angular_velocity_x" ...; never a magnetometer, Euler angles or a quaternion),
// a time or a sample counter (by its name, else a column of numbers that only grows), and a
// sample rate that header lines give ("Fs,100", "rate: 200 Hz").
struct ImuGuess {
  bool gyro = false;
  int gyroColumns[3] = {0, 0, 0};  // 1-based
  std::string gyroNames[3];
  std::string gyroUnits;  // what the names say: "rad/s", "deg/s", "counts", or empty
  std::string gyroReason;
  int timeColumn = 0;     // 1-based, 0 for none
  bool counter = false;   // a sample counter rather than a time
  std::string timeName;   // its name, or empty when it has none
  std::string timeUnits;  // what the name says: "s", "ms", "us", "ns", or empty
  std::string timeReason;
  double rateHz = 0.0;    // from a header line, 0 when none gives one
  std::string rateLine;   // that line
};
// layout gives the delimiter and the accelerometer's columns, which nothing else takes.
ImuGuess sniffImu(const std::vector<std::string>& lines, const Layout& layout);

// What the name of a column says when it names a gyroscope's axis: the axis (or -1 when it names
// none), the tier and qualifier as ColumnName's, the unit it gives and the pattern the three axes
// share.
ColumnName parseGyroName(const std::string& field);

// What is wrong with reading lines with `layout`, in words a user can act on, or an empty list:
// the lines hold another delimiter, a decimal comma, a growing column among the three, or fewer
// fields than the columns name.
std::vector<std::string> layoutProblems(const std::vector<std::string>& lines,
                                        const Layout& layout);

// The --delimiter argument that gives this layout: "','", "';'", "tab" or "space".
std::string delimiterArgument(const Layout& layout);

}  // namespace analysis
}  // namespace tiltfit

#endif
