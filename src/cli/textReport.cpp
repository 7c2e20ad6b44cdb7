// The text report of a run: the classic layout on standard output, and the lines on standard
// error that say what was read, how good the result is and what to do.
#include "textReport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tiltfit {
namespace cli {

const char* const kNumberNames[5] = {"tolerancePct", "moveMeanWindow", "diffThreshold",
                                     "windowWidth", "deltaThresholdWindow"};

// "12.3", "0.0451": three significant digits, enough to judge a figure by.
std::string figure(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", v);
  return text;
}

namespace {

// "", or "; the header says g, the values m/s^2, which decide" when the names of the columns give
// other units than the values.
std::string unitsNote(const Recording& rec, const Result& r) {
  const std::string& said = rec.unitsInHeader;
  if (said.empty()) return "";
  const Units meant = said == "g" ? Units::kG : said == "m/s^2" ? Units::kMs2 : Units::kCounts;
  if (meant == r.units) return "";
  const char* values = r.units == Units::kMs2      ? "m/s^2"
                       : r.units == Units::kCounts ? "raw counts"
                                                   : "g";
  return "; the header says " + said + ", the values are in " + values + ", which decide";
}

// The shortest text of v that reads back to it.
std::string shortestText(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, v);
    if (std::strtod(text, nullptr) == v) break;
  }
  return text;
}

}  // namespace

std::string qualityLine(const Quality& q) {
  std::string s = std::to_string(q.stillStretches) + " still stretches read 1 g within " +
                  figure(q.normErrorAfterMg) + " mg on average (worst " + figure(q.worstAfterMg) +
                  " mg; " + figure(q.normErrorBeforeMg) + " mg before)";
  if (q.heldOutFolds > 0) {
    s += "; held out, each against a calibration made without it, " + figure(q.heldOutMeanMg) +
         " mg (worst " + figure(q.heldOutWorstMg) + " mg, " + std::to_string(q.heldOutFolds) +
         (q.heldOutFolds == 1 ? " stretch)" : " stretches)");
  }
  return s + "; expected error in any direction " + figure(q.expectedErrorMg) + " mg";
}

std::vector<std::string> leftOutLines(const Quality& q) {
  std::vector<std::string> reasons;
  std::vector<std::string> lines;
  for (const LeftOutStretch& l : q.leftOut) {
    const auto at = std::find(reasons.begin(), reasons.end(), l.reason);
    const std::size_t k = static_cast<std::size_t>(at - reasons.begin());
    if (at == reasons.end()) {
      reasons.push_back(l.reason);
      lines.push_back("lines ");
    } else {
      lines[k] += ", ";
    }
    lines[k] += std::to_string(l.firstRow) + "-" + std::to_string(l.lastRow);
  }
  for (std::size_t k = 0; k < reasons.size(); ++k) lines[k] += ": " + reasons[k];
  return lines;
}

std::string rotationLine(const Calibration& c) {
  if (c.rotationNote.empty()) return "";
  char text[96];
  std::snprintf(text, sizeof text, "%.2f +- %.2f degrees from the sensor's own axes; ",
                c.rotationDeg, c.rotationApplied ? c.rotationSigmaDeg : 0.0);
  return (c.rotationApplied ? std::string("turned ") + text : std::string("none; ")) +
         c.rotationNote;
}

// The line after a failure that says which way the tuning numbers must move, and plainly whether
// the failure line's advice (increase tolerancePct or deltaThresholdWindow) applies; "" when the
// diagnosis gives no direction.
std::string adviceLine(const Result& r, bool failureLine) {
  const char* const kAdvice =
      "the failure line's advice to increase tolerancePct or deltaThresholdWindow does not apply "
      "here";
  if (r.numbersCannotHelp) {
    return std::string("no tuning number will mend this") +
           (failureLine ? std::string(": ") + kAdvice : "");
  }
  std::string moves;
  for (std::size_t k = 0; k < 5; ++k) {
    const int m = r.moves[k];
    if (m == 0) continue;
    if (!moves.empty()) moves += ", ";
    moves += kNumberNames[k];
    moves += m == 1 ? " up" : m == -1 ? " down" : " up for one orientation and down for another";
  }
  if (moves.empty()) return "";
  std::string s = "which way the numbers must move: " + moves;
  if (failureLine) {
    const bool toleranceUp = r.moves[0] == 1 || r.moves[0] == 2;
    const bool deviationUp = r.moves[4] == 1 || r.moves[4] == 2;
    if (!toleranceUp && !deviationUp) {
      s += std::string("; ") + kAdvice;
    } else if (r.moves[0] == -1) {
      s += "; of the failure line's advice only increasing deltaThresholdWindow applies: "
           "tolerancePct must go down";
    }
  }
  return s;
}

// The line that says what was read: which columns and why (--auto), and the lines left out.
std::string readSummary(const Recording& rec, const Result& r, bool autoMode, bool columnsGiven) {
  std::string s;
  if (autoMode) {
    const auto& c = rec.layout.columns;
    s = "columns " + std::to_string(c[0]) + "," + std::to_string(c[1]) + "," +
        std::to_string(c[2]) + " as x, y, z";
    if (columnsGiven) {
      s += ": as given";
    } else if (!rec.columnsReason.empty()) {
      s += ": " + rec.columnsReason;
    }
    s += unitsNote(rec, r);
  }
  if (rec.linesWithoutReadings > 0) {
    const unsigned long long n = rec.linesWithoutReadings;
    if (!s.empty()) s += "; ";
    s += "skipped " + std::to_string(n) + (n == 1 ? " line" : " lines") + " without readings";
    std::string first = rec.firstLineWithoutReadingsText;
    if (first.size() > 60) first = first.substr(0, 57) + "...";
    s += " (the first: line " + std::to_string(rec.firstLineWithoutReadings) +
         (first.empty() ? std::string(", empty)") : ", \"" + first + "\")");
  }
  return s;
}

// The classic report prints six decimals and a fixed closing text; the auto report prints nine
// significant digits (gains per raw count keep their precision) and states the relation.
void printReport(const Calibration& c, long long durationUs, bool classic) {
  const char* f = classic ? "%f " : "%.9g ";
  std::puts("Calibration success");
  std::puts("accOffset:");
  std::printf("[ ");
  for (double v : c.offset) std::printf(f, v);
  std::puts("]");
  std::puts("accGainMatrix:");
  for (const auto& row : c.gainMatrix) {
    std::printf("[ ");
    for (double v : row) std::printf(f, v);
    std::puts("]");
  }
  std::printf("Execution time : %lld us \n", durationUs);
  std::puts("Calibration done");
  std::puts("You can use the calibration result with: ");
  if (classic) {
    std::puts("accGainMatrix * AccVector3 + accOffset ");
  } else {
    std::printf(
        "calibrated = raw \xC2\xB7 accGainMatrix + accOffset, raw being the row vector (x, y, z); "
        "calibrated in %s\n",
        c.outputMs2 ? ("m/s^2, 1 g reading " + shortestText(c.gravity) + " m/s^2").c_str() : "g");
  }
}

void printGyroReport(const GyroResult& g) {
  const GyroCalibration& c = g.calibration;
  if (!g.success) {
    std::printf("Gyroscope not calibrated: %s\n",
                g.problems.empty() ? "no calibration" : g.problems.front().c_str());
    return;
  }
  auto row = [](const std::array<double, 3>& v) {
    std::printf("[ ");
    for (double x : v) std::printf("%.9g ", x);
    std::puts("]");
  };
  if (c.method == "moves") {
    std::puts("Gyroscope calibration success");
    std::puts("gyroOffset:");
    row(c.offset);
    std::puts("gyroGainMatrix:");
    for (const auto& r : c.gainMatrix) row(r);
    std::puts(
        "calibrated_rate = raw \xC2\xB7 gyroGainMatrix + gyroOffset, raw being the row vector "
        "(x, y, z); calibrated in rad/s, in the frame of the calibrated accelerometer");
    return;
  }
  std::puts("Gyroscope bias only: the moves do not fix its scale and axes");
  std::puts("gyroBias:");
  row(c.biasRaw);
  if (c.unitsPerRadS > 0.0) {
    std::puts("gyroOffset:");
    row(c.offset);
    std::puts(
        "calibrated_rate = (raw - gyroBias) in rad/s: add gyroOffset to the raw rates in rad/s");
  } else {
    std::puts("the raw rates less gyroBias are the rates, in the gyroscope's own units");
  }
}

void printGyroMessages(const GyroResult& g) {
  const auto& col = g.columns;
  std::string s = "gyro: columns " + std::to_string(col[0]) + "," + std::to_string(col[1]) + "," +
                  std::to_string(col[2]) + " as x, y, z";
  if (!g.columnsReason.empty()) s += ": " + g.columnsReason;
  if (!g.time.source.empty()) s += "; time: " + g.time.source;
  // What was done with the stamps, where there were stamps or gaps to tell of.
  if (!g.time.note.empty() && (g.time.source.rfind("time in", 0) == 0 || g.time.gaps > 0))
    s += "; " + g.time.note;
  if (!g.calibration.unitsNote.empty()) s += "; raw units: " + g.calibration.unitsNote;
  std::fprintf(stderr, "tiltfit: %s\n", s.c_str());
  for (const std::string& p : g.problems) std::fprintf(stderr, "tiltfit: gyro: %s\n", p.c_str());
  if (!g.success) return;
  const GyroQuality& q = g.quality;
  if (g.calibration.method == "moves") {
    char text[512];
    std::snprintf(text, sizeof text,
                  "%zu moves carry gravity within %s degrees on average (rms %s, worst %s; %s "
                  "before); held out, each move against a calibration made without it, %s "
                  "degrees; expected error of a 90-degree move %s degrees",
                  q.after.moves, figure(q.after.meanDeg).c_str(), figure(q.after.rmsDeg).c_str(),
                  figure(q.after.worstDeg).c_str(), figure(q.before.meanDeg).c_str(),
                  figure(q.heldOut.meanDeg).c_str(), figure(q.expectedErrorDeg).c_str());
    std::string line = text;
    if (q.wholeTurns > 0) {
      line += "; " + std::to_string(q.wholeTurns) + " whole turns within " +
              figure(q.turnClosureDeg) + " degrees of whole turns";
    }
    std::fprintf(stderr, "tiltfit: gyro quality: %s\n", line.c_str());
  }
  for (const std::string& w : g.warnings)
    std::fprintf(stderr, "tiltfit: gyro warning: %s\n", w.c_str());
  for (const std::string& a : g.advice) std::fprintf(stderr, "tiltfit: gyro: %s\n", a.c_str());
}

void printMessages(const Result& r, bool json, bool classic, const std::string& repeat,
                   const std::string& tryCommand) {
  if (r.success) {
    // The figures belong to the report: none when the report itself could not be written.
    if (!json && std::fflush(stdout) == 0 && !std::ferror(stdout)) {
      std::fprintf(stderr, "tiltfit: quality: %s\n", qualityLine(r.quality).c_str());
      if (!classic) {
        const std::string rotation = rotationLine(r.calibration);
        if (!rotation.empty()) std::fprintf(stderr, "tiltfit: rotation: %s\n", rotation.c_str());
        for (const std::string& l : leftOutLines(r.quality))
          std::fprintf(stderr, "tiltfit: left out: %s\n", l.c_str());
      }
    }
    for (const std::string& w : r.warnings)
      std::fprintf(stderr, "tiltfit: warning: %s\n", w.c_str());
    if (!repeat.empty()) {
      std::fprintf(stderr, "tiltfit: to repeat: %s\n", repeat.c_str());
    }
  } else {
    for (const std::string& p : r.problems) std::fprintf(stderr, "tiltfit: %s\n", p.c_str());
    const std::string advice = classic ? adviceLine(r, !json) : "";
    if (!advice.empty()) std::fprintf(stderr, "tiltfit: %s\n", advice.c_str());
    if (!tryCommand.empty()) {
      std::fprintf(stderr, "tiltfit: try: %s\n", tryCommand.c_str());
    }
  }
}

}  // namespace cli
}  // namespace tiltfit
