#include "noiseMode.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "allanPlot.h"
#include "export/exportFormat.h"
#include "export/imuModel.h"
#include "outputFile.h"
#include "status.h"
#include "tiltfit/report.hpp"

namespace tiltfit {
namespace cli {
namespace {

namespace ex = report::exports;

constexpr double kPi = 3.14159265358979323846;
constexpr double kMicroG = 9.80665e-6;  // m/s^2
constexpr double kDeg = 180.0 / kPi;

std::string format(const char* fmt, double a, double b = 0.0) {
  char text[160];
  std::snprintf(text, sizeof text, fmt, a, b);
  return text;
}

// The units of each figure of a sensor, SI and as its users quote them.
struct FigureUnits {
  const char* si;
  const char* common;
  double perSI;  // common units per SI unit
};
FigureUnits unitsOf(bool gyro, bool counts, int figure) {
  // figure: 0 N, 1 B, 2 K.
  if (counts) {
    static const FigureUnits c[3] = {{"counts/√Hz", "", 0.0}, {"counts", "", 0.0},
                                     {"counts/s/√Hz", "", 0.0}};
    return c[figure];
  }
  if (gyro) {
    static const FigureUnits g[3] = {{"rad/s/√Hz", "°/√h", kDeg * 60.0},
                                     {"rad/s", "°/h", kDeg * 3600.0},
                                     {"rad/s^2/√Hz", "°/h/√h", kDeg * 3600.0 * 60.0}};
    return g[figure];
  }
  static const FigureUnits a[3] = {{"m/s^2/√Hz", "µg/√Hz", 1.0 / kMicroG},
                                   {"m/s^2", "µg", 1.0 / kMicroG},
                                   {"m/s^3/√Hz", "µg/√s", 1.0 / kMicroG}};
  return a[figure];
}

std::string figureLine(const char* axis, int figure, const NoiseValue& v, const FigureUnits& u) {
  static const char* const kNames[3] = {"white noise N     ", "bias instability B",
                                        "random walk K     "};
  std::string line = std::string("  ") + axis + "  " + kNames[figure] + "  ";
  if (!v.determined) {
    const std::size_t colon = v.note.find(": ");
    line += "not determined";
    if (v.upper > 0.0) line += format(" (at most %.3g ", v.upper) + u.si + ")";
    if (colon != std::string::npos) line += ": " + v.note.substr(colon + 2);
    return line;
  }
  line += format("%.4g ", v.value) + u.si + format("  [%.4g, %.4g]", v.low, v.high);
  if (u.perSI > 0.0) line += format("  = %.4g ", v.value * u.perSI) + u.common;
  if (figure == 1) line += format(", at τ %.3g s (the minimum / 0.664)", v.tauS);
  return line;
}

void printSensor(const char* name, const SensorNoise& s) {
  if (!s.present) return;
  std::printf("%s (read as %s):\n", name, s.unitsNote.c_str());
  const bool gyro = std::strcmp(name, "gyroscope") == 0;
  const bool counts = s.units == "counts" || s.units == "raw";
  static const char* const kAxes[3] = {"x", "y", "z"};
  for (int figure = 0; figure < 3; ++figure) {
    for (std::size_t k = 0; k < 3; ++k) {
      const AxisNoise& a = s.axes[k];
      const NoiseValue& v = figure == 0 ? a.white : figure == 1 ? a.biasInstability : a.randomWalk;
      std::puts(figureLine(kAxes[k], figure, v, unitsOf(gyro, counts, figure)).c_str());
    }
  }
}

}  // namespace

void printNoiseReport(const NoiseResult& n, const std::string& path) {
  const double s = n.seconds;
  const std::string length = s >= 7200 ? format("%.3g h", s / 3600)
                             : s >= 120 ? format("%.3g min", s / 60)
                                        : format("%.3g s", s);
  std::printf("Noise of %s: %s still, %llu of %llu samples, at %.6g Hz (%s)\n", path.c_str(),
              length.c_str(), static_cast<unsigned long long>(n.kept),
              static_cast<unsigned long long>(n.samples), n.rateHz, n.timeSource.c_str());
  printSensor("accelerometer", n.accelerometer);
  printSensor("gyroscope", n.gyroscope);
}

void printNoiseMessages(const NoiseResult& n, const std::string& path) {
  if (!n.success) {
    std::fprintf(stderr, "tiltfit: no noise figures from %s: %s\n", path.c_str(),
                 n.problems.empty() ? "no figures" : n.problems.front().c_str());
  }
  if (!n.leftOut.empty()) std::fprintf(stderr, "tiltfit: left out: %s\n", n.leftOut.c_str());
  if (!n.success) return;
  if (!n.columnsReason.empty())
    std::fprintf(stderr, "tiltfit: accelerometer: %s\n", n.columnsReason.c_str());
  if (!n.gyroReason.empty()) std::fprintf(stderr, "tiltfit: gyroscope: %s\n", n.gyroReason.c_str());
  for (const std::string& note : n.notes) std::fprintf(stderr, "tiltfit: %s\n", note.c_str());
}

namespace {

report::AllanPanel panelOf(const char* title, const SensorNoise& s) {
  report::AllanPanel p;
  p.title = title;
  p.unit = s.units;
  static const char* const kAxes[3] = {"x", "y", "z"};
  for (std::size_t k = 0; k < 3; ++k) {
    const AxisNoise& a = s.axes[k];
    report::AllanSeries series;
    series.name = kAxes[k];
    if (a.white.determined) series.label = format("N %.2e /sqrt(Hz)", a.white.value);
    if (a.randomWalk.determined) series.label += format(", K %.2e /sqrt(s)", a.randomWalk.value);
    series.tau = a.allan.tauS;
    series.adev = a.allan.adev;
    series.lo = a.allan.low;
    series.hi = a.allan.high;
    series.fit = a.fit;
    p.series.push_back(std::move(series));
  }
  return p;
}

bool writeAllanPlot(const std::string& plotPath, const std::string& path, const NoiseResult& n) {
  report::AllanPlotInput in;
  in.title = path + ": Allan deviation";
  if (n.accelerometer.present) in.panels.push_back(panelOf("accelerometer", n.accelerometer));
  if (n.gyroscope.present) in.panels.push_back(panelOf("gyroscope", n.gyroscope));
  return writeOutputFile(plotPath,
                         [&in](std::FILE* out) { return report::writeAllanPlotSvg(out, in); });
}

ex::NoiseValue exportValue(const NoiseValue& v) {
  ex::NoiseValue e;
  e.known = v.determined;
  e.value = v.value;
  e.lo = v.low;
  e.hi = v.high;
  return e;
}

// The driver's counts per g of a sensor calibrated at `measured` counts per g: the power of two
// within 10 % of it (full scales of MEMS parts), else the measured value.
double nominalCountsPerG(double measured) {
  for (double p = 64.0; p <= 1048576.0; p *= 2.0)
    if (std::abs(measured / p - 1.0) < 0.1) return p;
  return measured;
}

ex::ImuModel modelOf(const Result* r, const NoiseResult* still, const CliOptions& o) {
  ex::ImuModel m;
  if (r != nullptr && r->success) {
    const Calibration& c = r->calibration;
    m.accel.present = true;
    const auto A = c.columnGain();
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) m.accel.A[i][j] = A[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
      m.accel.b[i] = c.offset[static_cast<std::size_t>(i)];
    }
    m.accelRaw = r->units == Units::kMs2     ? ex::AccelRaw::kMs2
                 : r->units == Units::kCounts ? ex::AccelRaw::kCounts
                                              : ex::AccelRaw::kG;
    if (r->units == Units::kCounts) m.accelCountsPerG = nominalCountsPerG(r->unitsPerG);
    m.accelOutputG = !c.outputMs2;
    m.gravity = c.gravity;
    if (r->hasGyro && r->gyro.success) {
      const GyroCalibration& g = r->gyro.calibration;
      const bool moves = g.method == "moves";
      if (moves || g.unitsPerRadS > 0.0) {
        m.gyro.present = true;
        const auto G = g.columnGain();
        for (int i = 0; i < 3; ++i) {
          for (int j = 0; j < 3; ++j) {
            m.gyro.A[i][j] = moves ? G[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)]
                                   : (i == j ? 1.0 / g.unitsPerRadS : 0.0);
          }
          m.gyro.b[i] = g.offset[static_cast<std::size_t>(i)];
        }
        m.gyroRaw = g.units == "rad/s"   ? ex::GyroRaw::kRadS
                    : g.units == "deg/s" ? ex::GyroRaw::kDegS
                                         : ex::GyroRaw::kCounts;
        if (m.gyroRaw == ex::GyroRaw::kCounts) m.gyroCountsPerDegS = g.unitsPerRadS / kDeg;
      }
      m.rate = r->gyro.time.rateHz;
    }
  }
  if (still != nullptr && still->success) {
    for (std::size_t k = 0; k < 3; ++k) {
      for (const auto& [sensor, out] : {std::pair<const SensorNoise*, ex::AxisNoise*>{
                                            &still->accelerometer, m.accelNoise},
                                        {&still->gyroscope, m.gyroNoise}}) {
        if (!sensor->present || sensor->units == "counts" || sensor->units == "raw") continue;
        const AxisNoise& a = sensor->axes[k];
        out[k].white = exportValue(a.white);
        out[k].randomWalk = exportValue(a.randomWalk);
        out[k].biasInstability = exportValue(a.biasInstability);
      }
    }
    if (!(m.rate > 0.0)) m.rate = still->rateHz;
  } else if (r != nullptr && r->noise.present) {
    for (std::size_t k = 0; k < 3; ++k) {
      m.accelNoise[k].white = exportValue(r->noise.accelerometer[k]);
      if (r->noise.gyro) m.gyroNoise[k].white = exportValue(r->noise.gyroscope[k]);
    }
    if (!(m.rate > 0.0)) m.rate = r->noise.rateHz;
  }
  if (!(m.rate > 0.0) && o.rateHz > 0.0) m.rate = o.rateHz;
  return m;
}

}  // namespace

NoiseOptions noiseOptions(const CliOptions& o, const Result* calibration) {
  NoiseOptions n;
  n.layout.delimiter = o.delimiter;
  n.layout.blanks = o.blanks;
  for (int k = 0; k < 3; ++k) n.layout.columns[static_cast<std::size_t>(k)] = o.columns[k];
  n.detectDelimiter = !o.delimiterGiven;
  n.detectColumns = !o.columnsGiven;
  n.detectGyro = !o.noGyro;
  if (o.gyroColumnsGiven)
    for (std::size_t k = 0; k < 3; ++k) n.layout.gyroColumns[k] = o.gyroColumns[k];
  n.rateHz = o.rateHz;
  if (o.gravity > 0.0) n.gravity = o.gravity;
  if (!o.gyroUnits.empty()) setGyroUnits(n, o.gyroUnits, "--gyro-units");  // checked already
  if (calibration != nullptr && calibration->success) {
    // The session's scales: the still recording comes from the same sensor and logger.
    const auto A = calibration->calibration.columnGain();
    const double perOutput =
        calibration->calibration.outputMs2 ? 1.0 : calibration->calibration.gravity;
    double rows = 0.0;
    for (const auto& row : A) rows += std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]);
    n.accelPerUnit = rows / 3.0 * perOutput;
    n.accelUnitsNote = "the session's calibration scales";
    n.scalesFromSession = true;
    if (calibration->noise.gyro) {
      std::array<double, 3> w{};
      for (std::size_t k = 0; k < 3; ++k) w[k] = calibration->noise.gyroscope[k].value;
      std::sort(w.begin(), w.end());
      n.sessionGyroWhite = w[1];
    }
    const GyroCalibration& g = calibration->gyro.calibration;
    if (n.gyroUnitsPerRadS == 0.0 && calibration->hasGyro && calibration->gyro.success &&
        g.unitsPerRadS > 0.0) {
      n.gyroUnitsPerRadS = g.unitsPerRadS;
      n.gyroUnitsNote = g.units + ", as the session's moves measured";
    }
  }
  return n;
}

std::string sessionNoiseLine(const SessionNoise& n) {
  if (!n.present) return "white noise: " + n.note;
  auto list = [](const std::array<NoiseValue, 3>& v, double per, const char* unit) {
    std::string s;
    for (std::size_t k = 0; k < 3; ++k) {
      if (k > 0) s += ", ";
      s += v[k].determined ? format("%.3g", v[k].value * per) : std::string("?");
    }
    return s + " " + unit;
  };
  // "of 5 of 7 still stretches": the quietest alike pooled, the rest left out as noisier
  auto of = [](std::size_t used, std::size_t all) {
    return (used < all ? std::to_string(used) + " of " : std::string()) + std::to_string(all);
  };
  std::string line = format("white noise at %.6g Hz, of ", n.rateHz) +
                     of(n.accelerometerUsed, n.stretches) + " still stretches: accelerometer " +
                     list(n.accelerometer, 1.0 / kMicroG, "µg/√Hz");
  if (n.gyro)
    line += "; of " + of(n.gyroscopeUsed, n.gyroscopeStretches) + ": gyroscope " +
            list(n.gyroscope, kDeg * 60.0, "°/√h");
  if (!n.note.empty()) line += " (" + n.note + ")";
  return line;
}

bool writeExportFile(const CliOptions& o, const Result* calibration, const NoiseResult* still,
                     const std::string& source) {
  const ex::ExportFormat* f = ex::findExportFormat(o.format);
  if (f == nullptr) return false;  // the options admit only known names
  ex::ImuModel model = modelOf(calibration, still, o);
  model.source = source;
  const ex::ExportText text = f->write(model);
  if (!writeOutputText(o.outputPath, text.text)) {
    std::fprintf(stderr, "tiltfit: cannot write %s: %s\n", o.outputPath.c_str(),
                 std::strerror(errno));
    return false;
  }
  std::fprintf(stderr, "tiltfit: %s: %s\n", f->name(), o.outputPath.c_str());
  for (const std::string& note : text.notes)
    std::fprintf(stderr, "tiltfit: %s: %s\n", f->name(), note.c_str());
  return true;
}

int runNoise(const CliOptions& o) {
  if (o.autoMode || !o.positionals.empty())
    return refuse("--noise FILE reads one still recording; give no other");
  const NoiseResult n = noiseOfStillRecording(o.noisePath, noiseOptions(o, nullptr));
  if (o.json) {
    const std::string doc = noiseDocument(n, o.noisePath);
    std::fwrite(doc.data(), 1, doc.size(), stdout);
    std::fputc('\n', stdout);
  } else if (n.success) {
    printNoiseReport(n, o.noisePath);
  } else {
    std::printf("Noise figures failed: %s\n",
                n.problems.empty() ? "no figures" : n.problems.front().c_str());
  }
  printNoiseMessages(n, o.noisePath);
  int status = finishReport(n.success ? kSuccess : kCalibrationFailed);
  if (!n.success) return status;
  if (!o.plotPath.empty() && !writeAllanPlot(o.plotPath, o.noisePath, n)) {
    std::fprintf(stderr, "tiltfit: cannot write the plot %s: %s\n", o.plotPath.c_str(),
                 std::strerror(errno));
    if (status == kSuccess) status = kCannotWrite;
  }
  if (!o.format.empty() &&
      !writeExportFile(o, nullptr, &n, "noise from the still recording " + o.noisePath)) {
    if (status == kSuccess) status = kCannotWrite;
  }
  return status;
}

}  // namespace cli
}  // namespace tiltfit
