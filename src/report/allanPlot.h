// The Allan deviation plot of the noise figures: one log-log panel per sensor, every axis's curve
// with its confidence band and the fitted model, as one standalone SVG document.
#ifndef TILTFIT_REPORT_ALLANPLOT_H
#define TILTFIT_REPORT_ALLANPLOT_H

#include <cstdio>
#include <string>
#include <vector>

namespace tiltfit {
namespace report {

// One axis: the curve (averaging times in s, the deviation and its interval in the panel's unit,
// all of one length) and, when fit is not empty, the fitted model's deviation at the same
// averaging times.
struct AllanSeries {
  std::string name;   // "x"
  std::string label;  // the legend's text after the name: "N 2.0e-03 /sqrt(Hz), K 4.1e-04 /sqrt(s)"
  std::vector<double> tau, adev, lo, hi;
  std::vector<double> fit;
};

struct AllanPanel {
  std::string title;  // "accelerometer"
  std::string unit;   // "m/s^2"
  std::vector<AllanSeries> series;
};

struct AllanPlotInput {
  std::string title;  // the line above the panels (the file, say); any bytes, escaped here
  std::vector<AllanPanel> panels;
};

// The document: 720 user units wide per panel, side by side, 600 high. Each panel has decade
// ticks on both logarithmic axes, covering every finite positive value it is given (whole decades
// around them), the curves as lines, each interval as a band of the curve's colour, the fit as a
// dashed line of it, and a legend with the labels. Values that are not finite and positive are
// left out (a curve's line is broken there). A panel without any value gets its frame and a note.
// The text depends on the input only (no time, no locale).
std::string allanPlotSvg(const AllanPlotInput& in);

// Writes allanPlotSvg(in) to out and flushes it; false when writing failed (errno tells why).
bool writeAllanPlotSvg(std::FILE* out, const AllanPlotInput& in);

}  // namespace report
}  // namespace tiltfit

#endif
