#include "repeat.h"

#include <charconv>
#include <cmath>

namespace tiltfit {
namespace cli {

// The shortest text that reads back as the same double, in plain decimals where they stay short.
std::string shortest(double v) {
  char text[64];
  const double a = std::abs(v);
  const bool plain = a == 0.0 || (a >= 1e-6 && a < 1e15);
  const auto r = std::to_chars(text, text + sizeof text, v,
                               plain ? std::chars_format::fixed : std::chars_format::general);
  return std::string(text, r.ptr);
}

// The argument as a POSIX shell reads it back.
std::string shellWord(const std::string& s) {
  if (!s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789_-+./,:=@%") == std::string::npos) {
    return s;
  }
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string delimiterArgument(const Layout& layout) {
  if (layout.blanks) return "space";
  if (layout.delimiter == '\t') return "tab";
  return shellWord(std::string(1, layout.delimiter));
}

// The options a command takes over from the run it repeats: the rotation asked for, and the
// gravity the run used where the mode it names would take another.
std::string sharedOptions(const CliOptions& o, double gravity, double modeGravity) {
  std::string c;
  if (!o.rotation.empty() && o.rotation != "auto") c += " --rotation " + o.rotation;
  if (gravity != 0.0 && gravity != modeGravity) c += " --gravity " + shortest(gravity);
  return c;
}

// The explicit classic command: file, numbers and the options needed to give the same result.
std::string classicCommand(const std::string& path, const TuningNumbers& t, Units units,
                           const Layout& layout, bool refine, const CliOptions& o, double gravity) {
  std::string c = "tiltfit " + shellWord(path);
  for (double v :
       {t.tolerancePct, t.moveMeanWindow, t.diffThreshold, t.windowWidth, t.deltaThresholdWindow}) {
    c += " " + shortest(v);
  }
  if (units != Units::kG) c += std::string(" --units ") + unitsName(units);
  if (!o.outputUnits.empty()) c += " --output-units " + o.outputUnits;
  const auto& col = layout.columns;
  if (col[0] != 1 || col[1] != 2 || col[2] != 3) {
    c += " --columns " + std::to_string(col[0]) + "," + std::to_string(col[1]) + "," +
         std::to_string(col[2]);
  }
  if (layout.blanks || layout.delimiter != ',') c += " --delimiter " + delimiterArgument(layout);
  if (refine) c += " --refine";
  c += sharedOptions(o, gravity, kClassicGravity);
  return c;
}

// The --auto command that gives the same calibration when no classic one does (the stretch fit
// alone, or the identity).
std::string autoCommand(const std::string& path, Units units, const Layout& layout,
                        const std::string& method, const CliOptions& o) {
  std::string c = "tiltfit --auto " + shellWord(path);
  if (!o.units.empty() && o.units != "auto") c += std::string(" --units ") + unitsName(units);
  if (!o.outputUnits.empty()) c += " --output-units " + o.outputUnits;
  const auto& col = layout.columns;
  if (o.columnsGiven) {
    c += " --columns " + std::to_string(col[0]) + "," + std::to_string(col[1]) + "," +
         std::to_string(col[2]);
  }
  if (o.delimiterGiven) c += " --delimiter " + delimiterArgument(layout);
  if (!method.empty() && method != "auto") c += " --method " + method;
  if (o.noRefine) c += " --no-refine";
  if (o.noGyro) c += " --no-gyro";
  if (o.gyroColumnsGiven) {
    c += " --gyro-columns " + std::to_string(o.gyroColumns[0]) + "," +
         std::to_string(o.gyroColumns[1]) + "," + std::to_string(o.gyroColumns[2]);
  }
  if (o.rateHz > 0.0) c += " --rate " + shortest(o.rateHz);
  c += sharedOptions(o, o.gravity, kStandardGravity);
  return c;
}

// The explicit command for a run that read rec: without any option the classic command reads every
// line as a row and any bytes as text, so a recording that needed more names its units.
std::string repeatCommand(const std::string& path, const TuningNumbers& t, Units units,
                          const Recording& rec, bool refine, const CliOptions& o, double gravity) {
  std::string c = classicCommand(path, t, units, rec.layout, refine, o, gravity);
  if ((rec.linesWithoutReadings > 0 || rec.gzip) && c.find(" --") == std::string::npos) {
    c += std::string(" --units ") + unitsName(units);
  }
  return c;
}

}  // namespace cli
}  // namespace tiltfit
