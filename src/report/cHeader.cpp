#include "cHeader.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>

namespace tiltfit {
namespace report {
namespace {

// A float literal that reads back as the float nearest to v.
std::string floatLiteral(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(static_cast<float>(v)));
  std::string s = text;
  if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
  return s + "f";
}

std::string figure(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", v);
  return text;
}

// A comment line cannot end the comment early.
std::string commentSafe(std::string s) {
  for (std::size_t at = s.find("*/"); at != std::string::npos; at = s.find("*/", at)) {
    s.replace(at, 2, "* /");
  }
  return s;
}

}  // namespace

std::string checkPrefix(const std::string& prefix) {
  bool ok = !prefix.empty() && !std::isdigit(static_cast<unsigned char>(prefix[0]));
  for (char c : prefix) ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
  return ok ? "" : "--c-prefix must be a C identifier (letters, digits and _): \"" + prefix + "\"";
}

std::string cHeader(const Result& r, const CHeader& o) {
  const Calibration& c = r.calibration;
  const std::string p = o.prefix.empty() ? "TILTFIT" : o.prefix;
  const std::string apply = (o.prefix.empty() ? "tiltfit" : o.prefix) + "_apply";
  const std::string guard = p + "_CALIBRATION_H";
  char gravity[64];
  std::snprintf(gravity, sizeof gravity, "m/s^2 (1 g = %.6g m/s^2)", c.gravity);
  const std::string out = c.outputMs2 ? gravity : "g";
  const auto G = c.columnGain();
  const Quality& q = r.quality;
  std::string h;
  h += "/* Accelerometer calibration made by tiltfit.\n";
  h += " *\n";
  h += " *   calibrated[i] = sum over j of " + p + "_GAIN[i][j] * raw[j] + " + p + "_OFFSET[i]\n";
  h += " *\n";
  h += " * raw: the sensor's readings (x, y, z) in " + o.rawUnits + ", as in the recording;\n";
  h += " * calibrated: in " + out + ". The matrix is in column form (the matrix times the raw\n";
  h += " * sample as a column vector); tiltfit's report prints its transpose.\n";
  h += " * Method: " + c.method + ".\n";
  h += " * Quality: " + std::to_string(q.stillStretches) + " still stretches read 1 g within " +
       figure(q.normErrorAfterMg) + " mg on average\n";
  h += " * (worst " + figure(q.worstAfterMg) + " mg; " + figure(q.normErrorBeforeMg) +
       " mg before);";
  if (q.heldOutFolds > 0) {
    h += "\n * held out " + figure(q.heldOutMeanMg) + " mg (worst " + figure(q.heldOutWorstMg) +
         " mg);";
  }
  h += " expected error in any direction " + figure(q.expectedErrorMg) + " mg.\n";
  if (!o.command.empty()) h += " * Made by: " + commentSafe(o.command) + "\n";
  h += " */\n";
  h += "#ifndef " + guard + "\n#define " + guard + "\n\n";
  h += "static const float " + p + "_GAIN[3][3] = {\n";
  for (std::size_t i = 0; i < 3; ++i) {
    h += "    {" + floatLiteral(G[i][0]) + ", " + floatLiteral(G[i][1]) + ", " +
         floatLiteral(G[i][2]) + "}" + (i < 2 ? ",\n" : "\n");
  }
  h += "};\n\n";
  h += "static const float " + p + "_OFFSET[3] = {" + floatLiteral(c.offset[0]) + ", " +
       floatLiteral(c.offset[1]) + ", " + floatLiteral(c.offset[2]) + "};\n\n";
  h += "static inline void " + apply + "(const float raw[3], float calibrated[3]) {\n";
  h += "  int i;\n";
  h += "  for (i = 0; i < 3; ++i) {\n";
  h += "    calibrated[i] = " + p + "_GAIN[i][0] * raw[0] + " + p + "_GAIN[i][1] * raw[1] +\n";
  h += "                    " + p + "_GAIN[i][2] * raw[2] + " + p + "_OFFSET[i];\n";
  h += "  }\n";
  h += "}\n\n";
  const GyroResult& g = r.gyro;
  if (r.hasGyro && g.success && g.calibration.method == "moves") {
    // The gyroscope beside it, in the same frame and the same form.
    const auto Gg = g.calibration.columnGain();
    const std::string gyroApply = (o.prefix.empty() ? "tiltfit" : o.prefix) + "_gyro_apply";
    h += "/* Gyroscope calibration, in the frame of the calibrated accelerometer:\n";
    h += " *   rate[i] = sum over j of " + p + "_GYRO_GAIN[i][j] * raw[j] + " + p +
         "_GYRO_OFFSET[i]\n";
    h += " * raw: the gyro's readings (x, y, z) in " +
         (g.calibration.units.empty() ? std::string("its own units") : g.calibration.units) +
         "; rate: in rad/s.\n";
    h += " * Quality: " + std::to_string(g.quality.after.moves) +
         " moves carry gravity within " + figure(g.quality.after.meanDeg) +
         " degrees on average (" + figure(g.quality.before.meanDeg) +
         " before); expected error of a 90-degree move " + figure(g.quality.expectedErrorDeg) +
         " degrees.\n */\n";
    h += "static const float " + p + "_GYRO_GAIN[3][3] = {\n";
    for (std::size_t i = 0; i < 3; ++i) {
      h += "    {" + floatLiteral(Gg[i][0]) + ", " + floatLiteral(Gg[i][1]) + ", " +
           floatLiteral(Gg[i][2]) + "}" + (i < 2 ? ",\n" : "\n");
    }
    h += "};\n\n";
    const auto& b = g.calibration.offset;
    h += "static const float " + p + "_GYRO_OFFSET[3] = {" + floatLiteral(b[0]) + ", " +
         floatLiteral(b[1]) + ", " + floatLiteral(b[2]) + "};\n\n";
    h += "static inline void " + gyroApply + "(const float raw[3], float rate[3]) {\n";
    h += "  int i;\n";
    h += "  for (i = 0; i < 3; ++i) {\n";
    h += "    rate[i] = " + p + "_GYRO_GAIN[i][0] * raw[0] + " + p + "_GYRO_GAIN[i][1] * raw[1] +\n";
    h += "              " + p + "_GYRO_GAIN[i][2] * raw[2] + " + p + "_GYRO_OFFSET[i];\n";
    h += "  }\n";
    h += "}\n\n";
  }
  h += "#endif\n";
  return h;
}

}  // namespace report
}  // namespace tiltfit
