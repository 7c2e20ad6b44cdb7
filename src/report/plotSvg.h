// The plot of a calibration run: the smoothed axes of the recording, the accepted bands around
// +-1 g and the rest windows the search chose, as one standalone SVG document.
#ifndef TILTFIT_REPORT_PLOTSVG_H
#define TILTFIT_REPORT_PLOTSVG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace report {

// One rest window of the search: 1-based sample numbers, inclusive (the sample at index r - 1 of
// the axes is number r).
struct PlotWindow {
  int axis;   // 0 = x, 1 = y, 2 = z
  int level;  // -1 or +1 (g)
  bool found;
  std::uint64_t firstRow, lastRow;
};

// The plot's 1600 pixel columns, each the minimum and maximum of the samples it covers and which
// came first: what the plot keeps of a recording of any length. Built by feeding each axis'
// samples in order, without holding them.
class PlotColumns {
 public:
  static constexpr std::size_t kColumns = 1600;
  explicit PlotColumns(std::size_t n);  // n samples per axis to come
  // Where the samples of one pass have been going: the column of the last sample added, its first
  // sample and the first of the next column, so that a sample finds its column without a division.
  struct Cursor {
    std::size_t column = 0, start = 0, next = 0;
  };
  // Sample i (0-based, increasing for each axis) of an axis, in g; non-finite ones are left out.
  void add(int axis, std::size_t i, double v) { add(axis, i, v, cursor_[axis]); }
  // The same, for passes that each fill their own columns (whole columns from firstOf): different
  // passes may run at the same time on different threads, each with its own cursor.
  void add(int axis, std::size_t i, double v, Cursor& cursor);
  std::size_t samples() const { return n_; }
  // Column c of an axis: empty when it holds no finite sample.
  struct Column {
    double min = 0.0, max = 0.0;
    bool minFirst = true;
    bool any = false;
  };
  const Column& column(int axis, std::size_t c) const { return columns_[axis][c]; }
  // The column of sample i: floor(i * kColumns / n) when n > kColumns, else i.
  std::size_t columnOf(std::size_t i) const;
  // The first sample of column c.
  std::size_t firstOf(std::size_t c) const;
  // Every value v becomes (v - zero) / perG (readings to g), as if the samples had been added so:
  // the conversion keeps the order of the values, or reverses it for a negative perG. A column
  // whose extremes do not convert to finite numbers is left empty.
  void rescale(double zero, double perG);

 private:
  std::size_t n_;
  std::vector<Column> columns_[3];
  Cursor cursor_[3];
};

struct PlotInput {
  // The smoothed x, y and z columns, n samples each, in g; the sample of row r at index r - 1.
  const double* axes[3];
  std::size_t n;
  // Half-width of the accepted band around +-1 g, in g (tolerancePct / 100).
  double band;
  // In the order x at -1 g, x at +1 g, y at -1 g, y at +1 g, z at -1 g, z at +1 g.
  PlotWindow windows[6];
  // The calibration failed: the windows not found are named in a red note.
  bool failed;
  // The line above the plot (the file and the outcome, say); any bytes, escaped for XML here.
  std::string title;
  // The line of the text the sample at an index came from, increasing with the index; the row axis
  // is labelled with these lines. Empty: index + 1.
  std::function<std::uint64_t(std::size_t)> lineOf;
  // Instead of the samples (axes null), their pixel columns, for n samples.
  const PlotColumns* columns = nullptr;
  // A plot of rates instead (a gyroscope's, in deg/s): no bands or windows, the spans shaded and
  // labelled instead (1-based sample numbers, inclusive).
  bool rates = false;
  struct Span {
    std::uint64_t firstRow, lastRow;
    std::string label;
  };
  std::vector<Span> spans;
};

// Writes a standalone SVG document (1800 x 780 user units) to out and flushes it: the three axes
// against the sample, the horizontal axis ticked with lines of the text (lineOf), the +-1 g
// reference lines with their bands shaded, every window found shaded and labelled ("z at +1 g"), a
// legend, axis labels and ticks, and on a failure the orientations not found. Every axis is drawn
// as one path through the minimum and the maximum of each of the 1600 pixel columns of the plot (a
// recording of any length gives a document of a few hundred kB at most); non-finite samples are
// left out and break the path. The vertical range covers the finite samples and both bands. n = 0
// gives the empty axes with a note; windows outside 1..n are clipped to it. The output depends on
// the input only (no time, no locale). Returns false when writing failed, errno then telling why.
bool writePlotSvg(std::FILE* out, const PlotInput& in);

// The recording smoothed with a centred moving mean of `window` samples, as the search smooths
// it, streamed into the plot's pixel columns in the recording's units: a recording of any length
// costs one pass and no copy of it. Each axis is cut into pieces of whole pixel columns, smoothed
// on the threads; the pieces depend on the length alone, so the plot does not depend on the
// threads.
PlotColumns smoothedColumns(const Recording& rec, double window);

}  // namespace report
}  // namespace tiltfit

#endif
