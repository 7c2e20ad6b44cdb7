#include "allanPlot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "svgText.h"

namespace tiltfit {
namespace report {
namespace {

constexpr double kPanelWidth = 720.0;
constexpr double kHeight = 600.0;
constexpr double kLeft = 90.0, kRight = 30.0, kTop = 90.0, kBottom = 170.0;  // margins
const char* const kColours[3] = {"#1f77b4", "#ff7f0e", "#2ca02c"};

void fixed(std::string& s, double v, int decimals = 1) { appendFixed(s, v, decimals); }
void escaped(std::string& s, const std::string& text) { appendEscaped(s, text); }

bool usable(double v) { return std::isfinite(v) && v > 0.0; }

struct Range {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  void add(double v) {
    if (!usable(v)) return;
    const double l = std::log10(v);
    lo = std::min(lo, l);
    hi = std::max(hi, l);
  }
  bool any() const { return lo <= hi; }
  // Whole decades around the values, at least one.
  void decades() {
    lo = std::floor(lo + 1e-9);
    hi = std::ceil(hi - 1e-9);
    if (hi <= lo) hi = lo + 1.0;
  }
};

struct Frame {
  double x0, y0, w, h;  // plot area
  Range x, y;
  double px(double tau) const { return x0 + (std::log10(tau) - x.lo) / (x.hi - x.lo) * w; }
  double py(double v) const { return y0 + h - (std::log10(v) - y.lo) / (y.hi - y.lo) * h; }
};

void power(std::string& s, double x, double y, int exponent, const char* anchor) {
  s += "<text x=\"";
  fixed(s, x);
  s += "\" y=\"";
  fixed(s, y);
  s += "\" text-anchor=\"";
  s += anchor;
  s += "\">10<tspan dy=\"-7\" font-size=\"10\">";
  s += std::to_string(exponent);
  s += "</tspan></text>\n";
}

// A line through the usable points, broken where one is not.
void path(std::string& s, const Frame& f, const std::vector<double>& tau,
          const std::vector<double>& v, const char* colour, bool dashed) {
  std::string d;
  bool pen = false;
  for (std::size_t i = 0; i < tau.size() && i < v.size(); ++i) {
    if (!usable(tau[i]) || !usable(v[i])) {
      pen = false;
      continue;
    }
    d += pen ? " L" : (d.empty() ? "M" : " M");
    fixed(d, f.px(tau[i]));
    d += ' ';
    fixed(d, f.py(v[i]));
    pen = true;
  }
  if (d.empty()) return;
  s += "<path d=\"" + d + "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"" +
       (dashed ? "1.5\" stroke-dasharray=\"6 4\"" : "2\"") + "/>\n";
}

// The interval as a band: up along hi, back along lo, for each run of usable points.
void band(std::string& s, const Frame& f, const AllanSeries& a, const char* colour) {
  const std::size_t n = std::min({a.tau.size(), a.lo.size(), a.hi.size()});
  std::size_t i = 0;
  while (i < n) {
    while (i < n && !(usable(a.tau[i]) && usable(a.lo[i]) && usable(a.hi[i]))) ++i;
    std::size_t j = i;
    while (j < n && usable(a.tau[j]) && usable(a.lo[j]) && usable(a.hi[j])) ++j;
    if (j > i) {
      std::string d = "M";
      for (std::size_t k = i; k < j; ++k) {
        if (k > i) d += " L";
        fixed(d, f.px(a.tau[k]));
        d += ' ';
        fixed(d, f.py(a.hi[k]));
      }
      for (std::size_t k = j; k-- > i;) {
        d += " L";
        fixed(d, f.px(a.tau[k]));
        d += ' ';
        fixed(d, f.py(a.lo[k]));
      }
      s += "<path d=\"" + d + " Z\" fill=\"" + colour +
           "\" fill-opacity=\"0.18\" stroke=\"none\"/>\n";
    }
    i = j;
  }
}

void panel(std::string& s, const AllanPanel& p, double left) {
  Frame f{left + kLeft, kTop, kPanelWidth - kLeft - kRight, kHeight - kTop - kBottom, {}, {}};
  for (const AllanSeries& a : p.series) {
    for (double t : a.tau) f.x.add(t);
    for (const auto* v : {&a.adev, &a.lo, &a.hi, &a.fit})
      for (double x : *v) f.y.add(x);
  }
  const bool any = f.x.any() && f.y.any();
  if (!any) f.x = f.y = Range{0.0, 1.0};
  f.x.decades();
  f.y.decades();
  s += "<text x=\"";
  fixed(s, f.x0 + f.w / 2);
  s += "\" y=\"";
  fixed(s, kTop - 14);
  s += "\" text-anchor=\"middle\" font-size=\"15\">";
  escaped(s, p.title);
  s += "</text>\n";
  // Grid: decades solid, 2..9 faint.
  for (int e = static_cast<int>(f.x.lo); e <= static_cast<int>(f.x.hi); ++e) {
    for (int k = 1; k <= 9 && (k == 1 || e < f.x.hi); ++k) {
      const double x = f.px(k * std::pow(10.0, e));
      s += "<line x1=\"";
      fixed(s, x);
      s += "\" y1=\"";
      fixed(s, f.y0);
      s += "\" x2=\"";
      fixed(s, x);
      s += "\" y2=\"";
      fixed(s, f.y0 + f.h);
      s += k == 1 ? "\" stroke=\"#bbb\"/>\n" : "\" stroke=\"#eee\"/>\n";
    }
    power(s, f.px(std::pow(10.0, e)), f.y0 + f.h + 22, e, "middle");
  }
  for (int e = static_cast<int>(f.y.lo); e <= static_cast<int>(f.y.hi); ++e) {
    for (int k = 1; k <= 9 && (k == 1 || e < f.y.hi); ++k) {
      const double y = f.py(k * std::pow(10.0, e));
      s += "<line x1=\"";
      fixed(s, f.x0);
      s += "\" y1=\"";
      fixed(s, y);
      s += "\" x2=\"";
      fixed(s, f.x0 + f.w);
      s += "\" y2=\"";
      fixed(s, y);
      s += k == 1 ? "\" stroke=\"#bbb\"/>\n" : "\" stroke=\"#eee\"/>\n";
    }
    power(s, f.x0 - 8, f.py(std::pow(10.0, e)) + 5, e, "end");
  }
  s += "<rect x=\"";
  fixed(s, f.x0);
  s += "\" y=\"";
  fixed(s, f.y0);
  s += "\" width=\"";
  fixed(s, f.w);
  s += "\" height=\"";
  fixed(s, f.h);
  s += "\" fill=\"none\" stroke=\"#333\"/>\n";
  s += "<text x=\"";
  fixed(s, f.x0 + f.w / 2);
  s += "\" y=\"";
  fixed(s, f.y0 + f.h + 48);
  s += "\" text-anchor=\"middle\">averaging time tau (s)</text>\n";
  s += "<text transform=\"translate(";
  fixed(s, left + 22);
  s += ' ';
  fixed(s, f.y0 + f.h / 2);
  s += ") rotate(-90)\" text-anchor=\"middle\">Allan deviation (";
  escaped(s, p.unit);
  s += ")</text>\n";
  if (!any) {
    s += "<text x=\"";
    fixed(s, f.x0 + f.w / 2);
    s += "\" y=\"";
    fixed(s, f.y0 + f.h / 2);
    s += "\" text-anchor=\"middle\" fill=\"#d62728\">no curve</text>\n";
  }
  for (std::size_t k = 0; k < p.series.size(); ++k) {
    const AllanSeries& a = p.series[k];
    const char* colour = kColours[k % 3];
    band(s, f, a, colour);
    path(s, f, a.tau, a.adev, colour, false);
    path(s, f, a.tau, a.fit, colour, true);
    // Legend below the plot.
    const double y = f.y0 + f.h + 74 + 22.0 * static_cast<double>(k);
    s += "<line x1=\"";
    fixed(s, f.x0);
    s += "\" y1=\"";
    fixed(s, y - 4);
    s += "\" x2=\"";
    fixed(s, f.x0 + 24);
    s += "\" y2=\"";
    fixed(s, y - 4);
    s += std::string("\" stroke=\"") + colour + "\" stroke-width=\"2\"/>\n<text x=\"";
    fixed(s, f.x0 + 32);
    s += "\" y=\"";
    fixed(s, y);
    s += "\">";
    escaped(s, a.name);
    if (!a.label.empty()) {
      s += ": ";
      escaped(s, a.label);
    }
    s += "</text>\n";
  }
}

}  // namespace

std::string allanPlotSvg(const AllanPlotInput& in) {
  const std::size_t panels = std::max<std::size_t>(1, in.panels.size());
  const double width = kPanelWidth * static_cast<double>(panels);
  std::string s;
  s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"";
  fixed(s, width, 0);
  s += "\" height=\"";
  fixed(s, kHeight, 0);
  s += "\" viewBox=\"0 0 ";
  fixed(s, width, 0);
  s += ' ';
  fixed(s, kHeight, 0);
  s += "\" font-family=\"sans-serif\" font-size=\"13\">\n";
  s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  s += "<text x=\"20\" y=\"28\" font-size=\"16\">";
  escaped(s, in.title);
  s += "</text>\n";
  s += "<text x=\"20\" y=\"48\" fill=\"#555\">line: the curve; band: its confidence interval; "
       "dashed: the fitted model</text>\n";
  for (std::size_t k = 0; k < in.panels.size(); ++k)
    panel(s, in.panels[k], kPanelWidth * static_cast<double>(k));
  s += "</svg>\n";
  return s;
}

bool writeAllanPlotSvg(std::FILE* out, const AllanPlotInput& in) {
  const std::string s = allanPlotSvg(in);
  return std::fwrite(s.data(), 1, s.size(), out) == s.size() && std::fflush(out) == 0;
}

}  // namespace report
}  // namespace tiltfit
