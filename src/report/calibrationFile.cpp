// The calibration file: the --json document's writer and its reader.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "tiltfit/report.hpp"

namespace tiltfit {

// Typed conversions next to the value types of the public interface.
template <typename Json>
void to_json(Json& j, const Calibration& c) {
  j = Json{
      {"offset", c.offset},
      {"gain_matrix", c.gainMatrix},
      {"column_form", {{"gain", c.columnGain()}, {"offset", c.offset}}},
      {"units", c.outputMs2 ? "m/s^2" : "g"},
      {"gravity_ms2", c.outputMs2 ? Json(c.gravity) : Json(nullptr)},
      {"method", c.method},
      {"rotation_deg", c.rotationApplied ? c.rotationDeg : 0.0},
      {"rotation_sigma_deg", c.rotationApplied ? c.rotationSigmaDeg : 0.0},
      {"rotation",
       {{"applied", c.rotationApplied},
        {"vector_deg", c.rotationVectorDeg},
        {"suggested_deg", c.suggestedRotationDeg},
        {"suggested_sigma_deg", c.suggestedRotationSigmaDeg},
        {"suggested_vector_deg", c.suggestedRotationVectorDeg},
        {"note", c.rotationNote}}},
      {"uncertainty",
       {{"offset", c.uncertainty.offset}, {"gain_matrix", c.uncertainty.gainMatrix}}},
  };
}

template <typename Json>
void to_json(Json& j, const TuningNumbers& t) {
  j = Json{{"tolerancePct", t.tolerancePct},
           {"moveMeanWindow", t.moveMeanWindow},
           {"diffThreshold", t.diffThreshold},
           {"windowWidth", t.windowWidth},
           {"deltaThresholdWindow", t.deltaThresholdWindow}};
}

template <typename Json>
void to_json(Json& j, const Orientation& o) {
  j = Json{{"axis", std::string(1, static_cast<char>('x' + o.axis))},
           {"reading", o.reading},
           {"found", o.found}};
  // What a window the search did not find has not: null.
  const auto found = [&](const auto& v) { return o.found ? Json(v) : Json(nullptr); };
  j["first_row"] = found(o.firstRow);
  j["last_row"] = found(o.lastRow);
  j["mean"] = found(o.mean);
  j["angle_deg"] = found(o.angleDeg);
  j["residual_mg"] = found(o.residualMg);
  j["diagnosis"] = o.diagnosis.empty() ? Json(nullptr) : Json(o.diagnosis);
}

template <typename Json>
void to_json(Json& j, const Stretch& s) {
  j = Json{
      {"first_row", s.firstRow}, {"last_row", s.lastRow},
      {"mean", s.mean},          {"in_quality", s.inQuality},
      {"weight", s.weight},      {"held_out_mg", s.heldOut ? Json(s.heldOutMg) : Json(nullptr)},
      {"motion_mg", s.motionMg}};
}

template <typename Json>
void to_json(Json& j, const LeftOutStretch& l) {
  j = Json{{"first_row", l.firstRow},
           {"last_row", l.lastRow},
           {"not_a_rest", l.notARest},
           {"reason", l.reason}};
}

template <typename Json>
void to_json(Json& j, const Quality& q) {
  j = Json{{"still_stretches", q.stillStretches},
           {"norm_error_before_mg", q.normErrorBeforeMg},
           {"worst_before_mg", q.worstBeforeMg},
           {"norm_error_after_mg", q.normErrorAfterMg},
           {"worst_after_mg", q.worstAfterMg},
           {"norm_error_six_rests_mg", q.normErrorSixRestMg},
           {"norm_error_refined_mg", q.normErrorRefinedMg},
           {"determined_parameters", q.determined},
           {"cross_axis_determined",
            {{"x-y", q.crossDetermined[0]},
             {"x-z", q.crossDetermined[1]},
             {"y-z", q.crossDetermined[2]}}},
           {"expected_error_mg", q.expectedErrorMg},
           {"stretches_used", q.stretchesUsed},
           {"rest_tilt_deg", q.restTiltDeg},
           {"held_out_mg", q.heldOutFolds > 0 ? Json{{"mean", q.heldOutMeanMg},
                                                     {"worst", q.heldOutWorstMg},
                                                     {"stretches", q.heldOutFolds}}
                                              : Json(nullptr)},
           {"uncertainty_scale", q.uncertaintyScale},
           {"left_out", q.leftOut}};
}

template <typename Json>
void to_json(Json& j, const GyroErrors& e) {
  j = Json{{"mean_deg", e.meanDeg},
           {"rms_deg", e.rmsDeg},
           {"worst_deg", e.worstDeg},
           {"moves", e.moves}};
}

template <typename Json>
void to_json(Json& j, const GyroMove& m) {
  j = Json{{"first_row", m.firstRow},
           {"last_row", m.lastRow},
           {"angle_deg", m.angleDeg},
           {"gravity_change_deg", m.gravityChangeDeg},
           {"used", m.used},
           {"whole_turn", m.wholeTurn},
           {"error_before_deg", m.errorBeforeDeg},
           {"error_after_deg", m.errorAfterDeg},
           {"reason", m.reason.empty() ? Json(nullptr) : Json(m.reason)}};
}

template <typename Json>
void to_json(Json& j, const GyroResult& g) {
  const GyroCalibration& c = g.calibration;
  const bool moves = g.success && c.method == "moves";
  const bool known = g.success && c.unitsPerRadS > 0.0;
  j = Json{
      {"success", g.success},
      {"method", g.success ? Json(c.method) : Json(nullptr)},
      {"columns", g.columns},
      {"column_names", g.names[0].empty() ? Json(nullptr) : Json(g.names)},
      {"gain_matrix", moves ? Json(c.gainMatrix) : Json(nullptr)},
      {"offset", known ? Json(c.offset) : Json(nullptr)},
      {"column_form", moves ? Json{{"gain", c.columnGain()}, {"offset", c.offset}} : Json(nullptr)},
      {"units", "rad/s"},
      {"bias_raw", g.success ? Json(c.biasRaw) : Json(nullptr)},
      {"bias_raw_sigma", g.success ? Json(c.biasRawSigma) : Json(nullptr)},
      {"bias_drift_per_hour", g.success ? Json(c.biasDriftPerHour) : Json(nullptr)},
      {"bias_spread", g.success ? Json(c.biasSpread) : Json(nullptr)},
      {"raw_units",
       {{"name", c.units.empty() ? Json(nullptr) : Json(c.units)},
        {"per_rad_s", c.unitsPerRadS > 0.0 ? Json(c.unitsPerRadS) : Json(nullptr)},
        {"zero", c.zero},
        {"note", c.unitsNote}}},
      {"uncertainty",
       moves ? Json{{"offset", c.uncertainty.offset}, {"gain_matrix", c.uncertainty.gainMatrix}}
             : Json(nullptr)},
      {"quality",
       {{"before", g.quality.before},
        {"after", g.quality.after},
        {"held_out", g.quality.heldOut},
        {"expected_error_deg", g.quality.expectedErrorDeg},
        {"whole_turns", g.quality.wholeTurns},
        {"turn_closure_deg", g.quality.turnClosureDeg},
        {"noise_scale", g.quality.noiseScale},
        {"scale_determined", g.quality.scaleDetermined},
        {"still_stretches", g.stillStretches}}},
      {"time",
       {{"source", g.time.source},
        {"rate_hz", g.time.rateHz > 0.0 ? Json(g.time.rateHz) : Json(nullptr)},
        {"note", g.time.note},
        {"gaps", g.time.gaps}}},
      {"moves", g.moves},
      {"warnings", g.warnings},
      {"advice", g.advice},
      {"problems", g.problems}};
}

namespace {

using Json = nlohmann::ordered_json;  // keys in the order written, "success" first

// A figure as {value, low, high, tau_s} in SI units, or null (its reason in why).
Json figureOf(const NoiseValue& v, const char* key, Json& why, bool flicker = false) {
  if (!v.determined) {
    why[key] = v.note.empty() ? Json(nullptr) : Json(v.note);
    return Json(nullptr);
  }
  Json f{{"value", v.value}, {"low", v.low}, {"high", v.high}, {"tau_s", v.tauS}};
  if (flicker) f["factor"] = 0.664;  // the minimum of the deviation over B
  return f;
}

Json sensorOf(const SensorNoise& s) {
  if (!s.present) return Json(nullptr);
  Json j{{"units", s.units}, {"units_note", s.unitsNote}};
  static const char* const kAxes[3] = {"x", "y", "z"};
  for (std::size_t k = 0; k < 3; ++k) {
    const AxisNoise& a = s.axes[k];
    Json why = Json::object();
    Json axis;
    axis["white_noise_density"] = figureOf(a.white, "white_noise_density", why);
    axis["random_walk"] = figureOf(a.randomWalk, "random_walk", why);
    axis["bias_instability"] = figureOf(a.biasInstability, "bias_instability", why, true);
    axis["not_determined"] = why;
    axis["allan"] = {{"tau_s", a.allan.tauS},
                     {"adev", a.allan.adev},
                     {"low", a.allan.low},
                     {"high", a.allan.high},
                     {"fit", a.fit}};
    j[kAxes[k]] = axis;
  }
  return j;
}

// The stretches' white noise, in the form of a still recording's figures.
Json sessionSensorOf(const std::array<NoiseValue, 3>& v, const char* units) {
  Json j{{"units", units}};
  static const char* const kAxes[3] = {"x", "y", "z"};
  const char* const kShort =
      "not shown by still stretches of a few seconds; add a still recording with --noise-file";
  for (std::size_t k = 0; k < 3; ++k) {
    Json why = Json::object();
    Json axis;
    axis["white_noise_density"] = figureOf(v[k], "white_noise_density", why);
    axis["random_walk"] = nullptr;
    axis["bias_instability"] = nullptr;
    why["random_walk"] = kShort;
    why["bias_instability"] = kShort;
    axis["not_determined"] = why;
    j[kAxes[k]] = axis;
  }
  return j;
}

Json sessionOf(const SessionNoise& n) {
  if (!n.present) return Json{{"source", "still stretches"}, {"note", n.note}};
  return Json{{"source", "still stretches"},
              {"stretches", n.stretches},
              {"accelerometer_stretches_pooled", n.accelerometerUsed},
              {"gyroscope_stretches", n.gyroscopeStretches},
              {"gyroscope_stretches_pooled", n.gyroscopeUsed},
              {"rate_hz", n.rateHz},
              {"accelerometer", sessionSensorOf(n.accelerometer, "m/s^2")},
              {"gyroscope", n.gyro ? sessionSensorOf(n.gyroscope, "rad/s") : Json(nullptr)},
              {"note", n.note}};
}

Json stillOf(const NoiseResult& n, const std::string& path) {
  return Json{{"source", "still recording"},
              {"path", path},
              {"rate_hz", n.rateHz > 0.0 ? Json(n.rateHz) : Json(nullptr)},
              {"time_source", n.timeSource},
              {"seconds", n.seconds},
              {"samples", n.samples},
              {"kept", n.kept},
              {"segments", n.segments},
              {"left_out", n.leftOut.empty() ? Json(nullptr) : Json(n.leftOut)},
              {"accelerometer", sensorOf(n.accelerometer)},
              {"gyroscope", sensorOf(n.gyroscope)},
              {"notes", n.notes}};
}

Json suggestionOf(const Result& r) {
  if (!r.hasSuggestion) return Json(nullptr);
  return Json{{"parameters", r.suggestedNumbers}, {"units", unitsName(r.suggestedUnits)}};
}

}  // namespace

std::string calibrationDocument(const Result& r, const Recording& rec,
                                const DocumentContext& context) {
  Json doc;
  doc["success"] = r.success;
  if (r.success || context.withSixRests) {
    doc["calibration"] = r.success ? Json(r.calibration) : Json(nullptr);
  }
  if (context.withSixRests) doc["six_rests"] = r.success ? Json(r.sixRest) : Json(nullptr);
  if (r.parametersUsed) {
    Json parameters = r.parameters;
    parameters["chosen"] = r.parametersChosen ? "auto" : "given";
    doc["parameters"] = parameters;
  } else {
    doc["parameters"] = nullptr;  // no rest search took part
  }
  doc["input"] = {
      {"path", context.path.empty() ? Json(nullptr) : Json(context.path)},
      {"rows", rec.rows() > 0 ? static_cast<std::uint64_t>(rec.rows()) : rec.streamedSamples},
      {"units", unitsName(r.units)},
      {"units_given", context.unitsGiven},
      {"units_per_g", r.unitsPerG},
      {"units_zero", r.unitsZero},
      {"columns", rec.layout.columns},
      {"column_names", rec.columnNames[0].empty() ? Json(nullptr) : Json(rec.columnNames)},
      {"delimiter", delimiterName(rec.layout)},
      {"lines_without_readings", rec.linesWithoutReadings}};
  doc["orientations"] = r.orientations;
  doc["quality"] = r.quality;
  doc["stretches"] = r.stretches;
  if (r.hasGyro) doc["gyro"] = r.gyro;
  if (context.stillNoise != nullptr && context.stillNoise->success) {
    Json noise = stillOf(*context.stillNoise, context.stillNoisePath);
    noise["session"] = sessionOf(r.noise);
    doc["noise"] = noise;
  } else if (r.noise.present || !r.noise.note.empty()) {
    doc["noise"] = sessionOf(r.noise);
  }
  doc["warnings"] = r.success ? r.warnings : std::vector<std::string>();
  doc["problems"] = r.success ? std::vector<std::string>() : r.problems;
  if (context.withSuggestion) doc["suggestion"] = suggestionOf(r);
  doc["repeat"] = context.repeatCommand.empty() ? Json(nullptr) : Json(context.repeatCommand);
  doc["try"] = context.tryCommand.empty() ? Json(nullptr) : Json(context.tryCommand);
  // Invalid UTF-8 in a path or a message must not stop the report.
  return doc.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string noiseDocument(const NoiseResult& n, const std::string& path) {
  Json doc;
  doc["success"] = n.success;
  const Layout& l = n.layout;
  doc["input"] = {{"path", path},
                  {"columns", l.columns},
                  {"gyro_columns", l.hasGyro() ? Json(l.gyroColumns) : Json(nullptr)},
                  {"time_column", l.timeColumn > 0 ? Json(l.timeColumn) : Json(nullptr)},
                  {"delimiter", delimiterName(l)},
                  {"columns_reason", n.columnsReason},
                  {"gyro_reason", n.gyroReason}};
  doc["noise"] = n.success ? stillOf(n, path) : Json(nullptr);
  doc["memory_bytes"] = n.memoryBytes;
  doc["problems"] = n.problems;
  return doc.dump(2, ' ', false, Json::error_handler_t::replace);
}

namespace {

using nlohmann::json;

// A document that is JSON but no calibration; what() completes "<member> ...".
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Vector3 {
  double v[3];
};
struct Matrix3 {
  Vector3 rows[3];
};
struct Columns {
  int c[3];
};

double finiteNumber(const json& j, const char* expected) {
  // get<double>() would also take true and false as 1 and 0.
  if (!j.is_number()) throw Refusal(expected);
  // The parser refuses numbers beyond the double range; this keeps documents built in memory
  // honest.
  const double v = j.get<double>();
  if (!std::isfinite(v)) throw Refusal(expected);
  return v;
}

void from_json(const json& j, Vector3& out) {
  const char* expected = "must be 3 numbers";
  if (!j.is_array() || j.size() != 3) throw Refusal(expected);
  for (std::size_t k = 0; k < 3; ++k) out.v[k] = finiteNumber(j[k], expected);
}

void from_json(const json& j, Matrix3& out) {
  const char* expected = "must be 3 rows of 3 numbers";
  if (!j.is_array() || j.size() != 3) throw Refusal(expected);
  for (std::size_t i = 0; i < 3; ++i) {
    if (!j[i].is_array() || j[i].size() != 3) throw Refusal(expected);
    for (std::size_t k = 0; k < 3; ++k) out.rows[i].v[k] = finiteNumber(j[i][k], expected);
  }
}

void from_json(const json& j, Columns& out) {
  const char* expected = "must be 3 different whole numbers from 1 up";
  if (!j.is_array() || j.size() != 3) throw Refusal(expected);
  for (std::size_t k = 0; k < 3; ++k) {
    if (!j[k].is_number_unsigned()) throw Refusal(expected);
    const auto v = j[k].get<std::uint64_t>();
    if (v < 1 || v > INT_MAX) throw Refusal(expected);
    out.c[k] = static_cast<int>(v);
  }
  if (out.c[0] == out.c[1] || out.c[0] == out.c[2] || out.c[1] == out.c[2]) {
    throw Refusal(expected);
  }
}

struct Delimiter {
  Layout layout;
};

// The values --delimiter takes: one character, "tab", or "space" (and " ") for runs of blanks.
void from_json(const json& j, Delimiter& out) {
  const char* expected =
      "must be one character other than a digit, sign, point or 'e', or \"tab\" or \"space\"";
  if (!j.is_string()) throw Refusal(expected);
  if (!delimiterFromName(j.get_ref<const std::string&>(), out.layout).empty()) {
    throw Refusal(expected);
  }
}

// obj[key] as a T; a missing member or a refused value throws a Refusal naming the member.
template <class T>
T member(const json& obj, const char* key, const std::string& path, const char* what) {
  const auto it = obj.find(key);
  if (it == obj.end()) throw Refusal(path + " is missing");
  try {
    return it->template get<T>();
  } catch (const Refusal& r) {
    throw Refusal(path + " " + r.what());
  } catch (const json::exception&) {
    throw Refusal(path + " must be " + what);
  }
}

// The calibration part of a document (or its gyro part, named so in the messages).
Calibration calibrationOf(const json& part, const std::string& name = "calibration") {
  const auto offset = member<Vector3>(part, "offset", name + ".offset", "");
  const auto gain = member<Matrix3>(part, "gain_matrix", name + ".gain_matrix", "");
  Calibration c;
  for (std::size_t i = 0; i < 3; ++i) {
    c.offset[i] = offset.v[i];
    for (std::size_t j = 0; j < 3; ++j) c.gainMatrix[i][j] = gain.rows[i].v[j];
  }
  const auto units = part.find("units");
  c.outputMs2 = units != part.end() && units->is_string() && *units == "m/s^2";
  const auto method = part.find("method");
  if (method != part.end() && method->is_string()) c.method = method->get<std::string>();
  return c;
}

}  // namespace

SavedCalibration readCalibrationDocument(const std::string& text) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::exception& e) {
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..." without the tag. A
    // number beyond the double range (1e999) is no parse error but an out_of_range one.
    std::string message = e.what();
    const std::size_t tag = message.find("] ");
    if (tag != std::string::npos) message.erase(0, tag + 2);
    std::replace(message.begin(), message.end(), '\n', ' ');
    throw Error(Error::Kind::kInvalidArgument, dynamic_cast<const json::parse_error*>(&e) != nullptr
                                                   ? "not JSON: " + message
                                                   : message);
  }
  try {
    if (!doc.is_object()) throw Refusal("the document must be a JSON object");
    SavedCalibration out;
    // The calibration part alone, as a result's "calibration" is passed on.
    if (!doc.contains("success") && doc.contains("offset") && doc.contains("gain_matrix")) {
      out.calibration = calibrationOf(doc);
      return out;
    }
    if (!member<bool>(doc, "success", "success", "true or false")) {
      throw Refusal("success is false: the run that wrote it found no calibration");
    }
    const auto calibration = doc.find("calibration");
    if (calibration == doc.end() || !calibration->is_object()) {
      throw Refusal("calibration must be an object");
    }
    out.calibration = calibrationOf(*calibration);
    const auto input = doc.find("input");
    if (input != doc.end()) {
      if (!input->is_object()) throw Refusal("input must be an object");
      if (input->contains("columns")) {
        const Columns columns = member<Columns>(*input, "columns", "input.columns", "");
        for (std::size_t k = 0; k < 3; ++k) out.layout.columns[k] = columns.c[k];
      }
      const auto names = input->find("column_names");
      if (names != input->end() && !names->is_null()) {
        const char* expected = "input.column_names must be 3 names or null";
        if (!names->is_array() || names->size() != 3) throw Refusal(expected);
        for (std::size_t k = 0; k < 3; ++k) {
          if (!(*names)[k].is_string() || (*names)[k].get_ref<const std::string&>().empty())
            throw Refusal(expected);
          out.columnNames[k] = (*names)[k].get<std::string>();
        }
      }
      if (input->contains("delimiter")) {
        const Delimiter d = member<Delimiter>(*input, "delimiter", "input.delimiter", "");
        out.layout.delimiter = d.layout.delimiter;
        out.layout.blanks = d.layout.blanks;
      }
    }
    const auto gyro = doc.find("gyro");
    if (gyro != doc.end() && gyro->is_object() && gyro->value("method", json()) == "moves") {
      const Calibration g = calibrationOf(*gyro, "gyro");
      out.hasGyro = true;
      out.gyro.method = "moves";
      out.gyro.gainMatrix = g.gainMatrix;
      out.gyro.offset = g.offset;
      const Columns columns = member<Columns>(*gyro, "columns", "gyro.columns", "");
      for (std::size_t k = 0; k < 3; ++k) out.layout.gyroColumns[k] = columns.c[k];
      const auto names = gyro->find("column_names");
      if (names != gyro->end() && names->is_array() && names->size() == 3) {
        for (std::size_t k = 0; k < 3; ++k)
          if ((*names)[k].is_string()) out.gyroColumnNames[k] = (*names)[k].get<std::string>();
      }
    }
    return out;
  } catch (const Refusal& r) {
    throw Error(Error::Kind::kInvalidArgument, r.what());
  }
}

}  // namespace tiltfit
