#include "plotSvg.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>

#include "svgText.h"

namespace tiltfit {
namespace report {
namespace {

// Document and plot area, in SVG user units. One pixel column of the plot area per unit.
constexpr int kDocWidth = 1800;
constexpr int kDocHeight = 780;
constexpr std::size_t kColumns = PlotColumns::kColumns;
constexpr double kLeft = 110.0;
constexpr double kTop = 80.0;
constexpr double kWidth = static_cast<double>(kColumns);
constexpr double kHeight = 560.0;
constexpr double kBottom = kTop + kHeight;

const char* const kColours[3] = {"#1f77b4", "#ff7f0e", "#2ca02c"};
const char* const kAxisNames[3] = {"x", "y", "z"};
const char* const kFailColour = "#d62728";

void fixed(std::string& s, double v, int decimals) { appendFixed(s, v, decimals); }

void coordinate(std::string& s, double v) { fixed(s, v, 1); }

void whole(std::string& s, std::uint64_t v) {
  char text[24];
  const auto r = std::to_chars(text, text + sizeof text, v);
  s.append(text, r.ptr);
}


// 1, 2 or 5 times a power of ten, near span / target.
double niceStep(double span, double target) {
  const double raw = span / target;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  const double m = raw / power;
  return (m < 1.5 ? 1.0 : m < 3.5 ? 2.0 : m < 7.5 ? 5.0 : 10.0) * power;
}

struct Frame {
  std::size_t n;
  double lo, hi;  // vertical range, g

  double y(double v) const {
    const double t = (hi - std::min(std::max(v, lo), hi)) / (hi - lo);
    return kTop + t * kHeight;
  }
  // Left edge of row r's slot (rows 1..n share the width equally); r = n + 1 is the right edge.
  double rowEdge(double r) const { return kLeft + (r - 1.0) / static_cast<double>(n) * kWidth; }
};

void text(std::string& s, double x, double y, const char* anchor, const char* extra,
          const std::string& content) {
  s += "<text x=\"";
  coordinate(s, x);
  s += "\" y=\"";
  coordinate(s, y);
  s += "\" text-anchor=\"";
  s += anchor;
  s += '"';
  if (*extra != '\0') {
    s += ' ';
    s += extra;
  }
  s += '>';
  appendEscaped(s, content);
  s += "</text>\n";
}

// <TAG a0="v0" a1="v1" a2="v2" a3="v3" STYLE/>
void element(std::string& s, const char* tag, const char* const names[4], const double values[4],
             const char* style) {
  s += '<';
  s += tag;
  for (int k = 0; k < 4; ++k) {
    s += ' ';
    s += names[k];
    s += "=\"";
    coordinate(s, values[k]);
    s += '"';
  }
  s += ' ';
  s += style;
  s += "/>\n";
}

void line(std::string& s, double x1, double y1, double x2, double y2, const char* style) {
  static const char* const names[4] = {"x1", "y1", "x2", "y2"};
  const double values[4] = {x1, y1, x2, y2};
  element(s, "line", names, values, style);
}

void rect(std::string& s, double x, double y, double w, double h, const char* style) {
  static const char* const names[4] = {"x", "y", "width", "height"};
  const double values[4] = {x, y, w, h};
  element(s, "rect", names, values, style);
}

std::string windowName(int axis, int level) {
  return std::string(kAxisNames[axis]) + (level < 0 ? " at -1 g" : " at +1 g");
}

// The vertical range: both bands and every finite sample, with a margin. Samples beyond 1e300 g
// are clipped so that the span stays finite.
void verticalRange(const PlotInput& in, double band, double& lo, double& hi) {
  lo = in.rates ? -1.0 : -1.0 - band;
  hi = in.rates ? 1.0 : 1.0 + band;
  if (in.columns != nullptr) {
    const std::size_t used = std::min(in.columns->samples(), kColumns);
    for (int a = 0; a < 3; ++a) {
      for (std::size_t c = 0; c < used; ++c) {
        const PlotColumns::Column& col = in.columns->column(a, c);
        if (!col.any) continue;
        lo = std::min(lo, col.min);
        hi = std::max(hi, col.max);
      }
    }
  }
  for (int a = 0; a < 3 && in.columns == nullptr; ++a) {
    const double* v = in.axes[a];
    if (v == nullptr) continue;
    double amin = lo, amax = hi;
    for (std::size_t i = 0; i < in.n; ++i) {
      // NaN fails both comparisons; infinities are caught by the clip below.
      if (v[i] < amin) amin = v[i];
      if (v[i] > amax) amax = v[i];
    }
    lo = std::min(lo, amin);
    hi = std::max(hi, amax);
  }
  lo = std::max(lo, -1e300);
  hi = std::min(hi, 1e300);
  const double pad = 0.05 * (hi - lo);
  lo -= pad;
  hi += pad;
}

// One axis as a path. With more samples than pixel columns, each column contributes its minimum
// and maximum in the order they occur, so spikes and the envelope of the noise survive the
// decimation exactly; a column with no finite sample breaks the path.
void trace(std::string& s, const Frame& f, const PlotColumns& columns, int axis) {
  s += "<path id=\"trace-";
  s += kAxisNames[axis];
  s += "\" fill=\"none\" stroke=\"";
  s += kColours[axis];
  s += "\" stroke-width=\"1\" stroke-linejoin=\"round\" d=\"";
  bool open = false;
  auto point = [&](double x, double value) {
    s += open ? ' ' : 'M';
    coordinate(s, x);
    s += ',';
    coordinate(s, f.y(value));
    open = true;
  };
  const bool decimated = f.n > kColumns;
  const std::size_t used = decimated ? kColumns : f.n;
  for (std::size_t c = 0; c < used; ++c) {
    const PlotColumns::Column& col = columns.column(axis, c);
    if (!col.any) {
      open = false;
      continue;
    }
    const double x =
        decimated ? kLeft + static_cast<double>(c) + 0.5 : f.rowEdge(static_cast<double>(c) + 1.5);
    if (col.min == col.max) {
      point(x, col.min);
    } else if (col.minFirst) {
      point(x, col.min);
      point(x, col.max);
    } else {
      point(x, col.max);
      point(x, col.min);
    }
  }
  s += "\"/>\n";
}

}  // namespace

PlotColumns::PlotColumns(std::size_t n) : n_(n) {
  for (auto& c : columns_) c.resize(std::min(n, kColumns));
}

// The first sample of column c: the smallest i with floor(i * kColumns / n) >= c, that is
// ceil(c * n / kColumns).
std::size_t PlotColumns::firstOf(std::size_t c) const {
  if (n_ <= kColumns) return c;
  const unsigned __int128 product = static_cast<unsigned __int128>(c) * n_;
  return static_cast<std::size_t>((product + kColumns - 1) / kColumns);
}

std::size_t PlotColumns::columnOf(std::size_t i) const {
  if (n_ <= kColumns) return i;
  // floor(i * kColumns / n) without overflow for any n.
  return static_cast<std::size_t>(static_cast<unsigned __int128>(i) * kColumns / n_);
}

void PlotColumns::add(int axis, std::size_t i, double v, Cursor& cursor) {
  if (!std::isfinite(v) || i >= n_) return;
  if (i >= cursor.next || i < cursor.start) {
    cursor.column = columnOf(i);
    cursor.start = firstOf(cursor.column);
    cursor.next = firstOf(cursor.column + 1);
  }
  Column& c = columns_[axis][cursor.column];
  if (!c.any) {
    c.min = c.max = v;
    c.any = true;
    return;
  }
  // A strictly new extreme replaces the old; the order of the two is where each first occurred.
  if (v < c.min) {
    c.min = v;
    c.minFirst = false;
  } else if (v > c.max) {
    c.max = v;
    c.minFirst = true;
  }
}

void PlotColumns::rescale(double zero, double perG) {
  if (zero == 0.0 && perG == 1.0) return;
  for (auto& axis : columns_) {
    for (Column& c : axis) {
      if (!c.any) continue;
      double lo = (c.min - zero) / perG;
      double hi = (c.max - zero) / perG;
      if (perG < 0.0) {
        std::swap(lo, hi);
        c.minFirst = !c.minFirst;
      }
      c.min = lo;
      c.max = hi;
      c.any = std::isfinite(lo) && std::isfinite(hi);
    }
  }
}

bool writePlotSvg(std::FILE* out, const PlotInput& in) {
  const double band = std::isfinite(in.band) && in.band > 0.0 ? std::min(in.band, 1e6) : 0.0;
  Frame f{in.n, 0.0, 0.0};
  verticalRange(in, band, f.lo, f.hi);

  std::string s;
  s.reserve(256 * 1024);
  s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
       "width=\"";
  whole(s, kDocWidth);
  s += "\" height=\"";
  whole(s, kDocHeight);
  s += "\" viewBox=\"0 0 ";
  whole(s, kDocWidth);
  s += ' ';
  whole(s, kDocHeight);
  s += "\" font-family=\"sans-serif\" font-size=\"13\">\n<defs><clipPath id=\"plot-area\">";
  rect(s, kLeft, kTop, kWidth, kHeight, "");
  s += "</clipPath></defs>\n";
  rect(s, 0, 0, kDocWidth, kDocHeight, "fill=\"#ffffff\"");
  text(s, kLeft, 28, "start", "font-size=\"17\"", in.title);

  // Grid and ticks.
  const double yStep = niceStep(f.hi - f.lo, 8.0);
  const double decimals = std::max(0.0, -std::floor(std::log10(yStep) + 1e-9));
  for (double k = std::ceil(f.lo / yStep); k * yStep <= f.hi; ++k) {
    const double v = k * yStep;
    const double y = f.y(v);
    line(s, kLeft, y, kLeft + kWidth, y, "stroke=\"#e4e4e4\"");
    line(s, kLeft - 5, y, kLeft, y, "stroke=\"#000000\"");
    std::string label;
    if (decimals <= 6 && std::abs(v) < 1e7) {
      fixed(label, v, static_cast<int>(decimals));
    } else {
      char t[40];
      const auto r = std::to_chars(t, t + sizeof t, v + 0.0, std::chars_format::general, 3);
      label.assign(t, r.ptr);
    }
    text(s, kLeft - 8, y + 4, "end", "", label);
  }
  if (f.n > 0) {
    // Ticks at round lines of the text, each where the first sample of that line or later lies.
    const auto lineOf = [&](std::size_t i) -> std::uint64_t {
      return in.lineOf ? in.lineOf(i) : i + 1;
    };
    const std::uint64_t firstLine = lineOf(0);
    const std::uint64_t lastLine = lineOf(f.n - 1);
    const double span = static_cast<double>(lastLine - firstLine + 1);
    const double xStep = std::max(1.0, std::round(niceStep(span, 8.0)));
    const auto step = static_cast<std::uint64_t>(xStep);
    std::size_t at = 0;
    for (std::uint64_t l = (firstLine + step - 1) / step * step; l <= lastLine; l += step) {
      if (l == 0) continue;
      std::size_t lo = at;
      std::size_t hi = f.n - 1;
      while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (lineOf(mid) < l) {
          lo = mid + 1;
        } else {
          hi = mid;
        }
      }
      at = lo;
      const double x = f.rowEdge(static_cast<double>(at + 1) + 0.5);
      line(s, x, kTop, x, kBottom, "stroke=\"#e4e4e4\"");
      line(s, x, kBottom, x, kBottom + 5, "stroke=\"#000000\"");
      std::string label;
      whole(label, l);
      text(s, x, kBottom + 20, "middle", "", label);
    }
  } else {
    text(s, kLeft + kWidth / 2, kTop + kHeight / 2, "middle", "fill=\"#666666\"", "no samples");
  }

  // The moves of a plot of rates, shaded and labelled.
  for (std::size_t k = 0; k < in.spans.size() && f.n > 0; ++k) {
    const PlotInput::Span& w = in.spans[k];
    const auto clip = [&](std::uint64_t r) {
      return static_cast<double>(std::min<std::uint64_t>(std::max<std::uint64_t>(r, 1), f.n));
    };
    const double x0 = f.rowEdge(clip(w.firstRow));
    const double x1 = std::max(f.rowEdge(clip(w.lastRow) + 1.0), x0 + 1.0);
    rect(s, x0, kTop, x1 - x0, kHeight, "fill=\"#9467bd\" fill-opacity=\"0.12\"");
    const double labelX = std::min(std::max((x0 + x1) / 2, kLeft + 20), kLeft + kWidth - 20);
    text(s, labelX, kTop - 8 - 16 * static_cast<double>(k % 2), "middle", "fill=\"#9467bd\"",
         w.label);
  }

  // The accepted bands and the levels they surround.
  for (const double level : {-1.0, 1.0}) {
    if (in.rates) break;
    const double top = f.y(level + band), bottom = f.y(level - band);
    rect(s, kLeft, top, kWidth, std::max(bottom - top, 0.0),
         "fill=\"#888888\" fill-opacity=\"0.18\"");
    line(s, kLeft, f.y(level), kLeft + kWidth, f.y(level),
         "stroke=\"#555555\" stroke-dasharray=\"6,4\"");
    text(s, kLeft + kWidth + 6, f.y(level) + 4, "start", "fill=\"#555555\"",
         level < 0 ? "-1 g" : "+1 g");
  }

  // The chosen windows: shaded across the plot, the stretch marked on its level, labelled above the
  // plot area (two rows, so that neighbouring labels do not collide).
  for (int k = 0; k < 6 && f.n > 0; ++k) {
    const PlotWindow& w = in.windows[k];
    if (!w.found || w.axis < 0 || w.axis > 2) continue;
    const auto clip = [&](std::uint64_t r) {
      return static_cast<double>(std::min<std::uint64_t>(std::max<std::uint64_t>(r, 1), f.n));
    };
    double x0 = f.rowEdge(std::min(clip(w.firstRow), clip(w.lastRow)));
    double x1 = f.rowEdge(std::max(clip(w.firstRow), clip(w.lastRow)) + 1.0);
    if (x1 - x0 < 6.0) {  // a window of a long recording would be a hairline
      const double mid = (x0 + x1) / 2;
      x0 = mid - 3.0;
      x1 = mid + 3.0;
    }
    const std::string colour = kColours[w.axis];
    const std::string shade = "fill=\"" + colour + "\" fill-opacity=\"0.13\"";
    rect(s, x0, kTop, x1 - x0, kHeight, shade.c_str());
    const double level = w.level < 0 ? -1.0 : 1.0;
    const std::string mark = "stroke=\"" + colour + "\" stroke-width=\"4\"";
    line(s, x0, f.y(level), x1, f.y(level), mark.c_str());
    const double labelX = std::min(std::max((x0 + x1) / 2, kLeft + 40), kLeft + kWidth - 40);
    const std::string fill = "fill=\"" + colour + "\" font-weight=\"bold\"";
    text(s, labelX, kTop - 8 - 16 * (k % 2), "middle", fill.c_str(), windowName(w.axis, w.level));
  }

  s += "<g clip-path=\"url(#plot-area)\">\n";
  if (in.columns != nullptr) {
    for (int a = 0; a < 3; ++a) trace(s, f, *in.columns, a);
  } else {
    // Each column holds the samples i with floor(i * kColumns / n) == c; with no more samples
    // than columns, one sample each.
    PlotColumns columns(in.n);
    for (int a = 0; a < 3; ++a) {
      if (in.axes[a] == nullptr) continue;
      for (std::size_t i = 0; i < in.n; ++i) columns.add(a, i, in.axes[a][i]);
      trace(s, f, columns, a);
    }
  }
  s += "</g>\n";
  rect(s, kLeft, kTop, kWidth, kHeight, "fill=\"none\" stroke=\"#000000\"");

  text(s, kLeft + kWidth / 2, kBottom + 44, "middle", "", "row");
  s += "<text transform=\"translate(34,";
  coordinate(s, kTop + kHeight / 2);
  s += in.rates ? ") rotate(-90)\" text-anchor=\"middle\">calibrated rate (deg/s)</text>\n"
                : ") rotate(-90)\" text-anchor=\"middle\">smoothed reading (g)</text>\n";

  // Legend, one row under the plot.
  double x = kLeft;
  const double legendY = kBottom + 78;
  for (int a = 0; a < 3; ++a) {
    const std::string stroke = std::string("stroke=\"") + kColours[a] + "\" stroke-width=\"2\"";
    line(s, x, legendY - 4, x + 24, legendY - 4, stroke.c_str());
    text(s, x + 30, legendY, "start", "",
         std::string(kAxisNames[a]) + (in.rates ? " (calibrated)" : " (smoothed)"));
    x += 130;
  }
  if (in.rates) {
    rect(s, x, legendY - 11, 24, 12, "fill=\"#9467bd\" fill-opacity=\"0.12\"");
    text(s, x + 30, legendY, "start", "", "move between two still positions");
  }
  if (!in.rates) {
    rect(s, x, legendY - 11, 24, 12, "fill=\"#888888\" fill-opacity=\"0.18\"");
    std::string bandText = "accepted band: \u00b11 g \u00b1 ";
    fixed(bandText, band, 3);
    bandText += " g";
    text(s, x + 30, legendY, "start", "", bandText);
    x += 260;
    rect(s, x, legendY - 11, 24, 12, "fill=\"#1f77b4\" fill-opacity=\"0.13\"");
    line(s, x, legendY - 5, x + 24, legendY - 5, "stroke=\"#1f77b4\" stroke-width=\"4\"");
    text(s, x + 30, legendY, "start", "", "chosen rest window");
  }

  if (in.failed) {
    std::string missing;
    for (const PlotWindow& w : in.windows) {
      if (w.found || w.axis < 0 || w.axis > 2) continue;
      missing += (missing.empty() ? "not found: " : ", ") + windowName(w.axis, w.level);
    }
    const std::string note = missing.empty() ? std::string("calibration failed") : missing;
    const std::string style = std::string("fill=\"") + kFailColour + "\" font-weight=\"bold\"";
    text(s, kLeft, kBottom + 108, "start", style.c_str(), note);
  }
  s += "</svg>\n";

  errno = 0;
  if (std::fwrite(s.data(), 1, s.size(), out) != s.size() || std::fflush(out) != 0 ||
      std::ferror(out)) {
    if (errno == 0) errno = EIO;
    return false;
  }
  return true;
}

PlotColumns smoothedColumns(const Recording& rec, double window) {
  const std::size_t n = rec.rows();
  if (!(window >= 1.0)) window = 1.0;
  const std::size_t k = window < 1e9 ? static_cast<std::size_t>(window) : std::size_t{1000000000};
  const std::size_t before = k / 2;       // samples before the centre
  const std::size_t after = (k - 1) / 2;  // and after it
  PlotColumns columns(n);
  constexpr int kPieces = 8;
  const std::size_t pixelColumns = std::min(n, PlotColumns::kColumns);
  const std::vector<double>* raw[3] = {&rec.x, &rec.y, &rec.z};
#pragma omp parallel for schedule(dynamic, 1)
  for (int task = 0; task < 3 * kPieces; ++task) {
    const int j = task / kPieces;
    const std::size_t piece = static_cast<std::size_t>(task % kPieces);
    const std::size_t first = columns.firstOf(piece * pixelColumns / kPieces);
    const std::size_t end = columns.firstOf((piece + 1) * pixelColumns / kPieces);
    if (first >= end) continue;
    const double* a = raw[j]->data();
    // Sums relative to the piece's first sample keep their precision for large offsets (raw
    // counts); a non-finite sample in the window makes the mean NaN, as the search's smoothing
    // does.
    const double origin = std::isfinite(a[first]) ? a[first] : 0.0;
    double sum = 0.0;
    std::size_t bad = 0;
    std::size_t lo = first >= before ? first - before : 0;
    std::size_t hi = lo;  // the window is [lo, hi)
    PlotColumns::Cursor cursor;
    for (std::size_t i = first; i < end; ++i) {
      const std::size_t wantLo = i >= before ? i - before : 0;
      const std::size_t wantHi = std::min(n, i + after + 1);
      for (; hi < wantHi; ++hi) {
        if (std::isfinite(a[hi])) {
          sum += a[hi] - origin;
        } else {
          ++bad;
        }
      }
      for (; lo < wantLo; ++lo) {
        if (std::isfinite(a[lo])) {
          sum -= a[lo] - origin;
        } else {
          --bad;
        }
      }
      columns.add(j, i, bad > 0 ? std::nan("") : origin + sum / static_cast<double>(hi - lo),
                  cursor);
    }
  }
  return columns;
}

}  // namespace report
}  // namespace tiltfit
