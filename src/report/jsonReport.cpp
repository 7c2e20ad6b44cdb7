#include "jsonReport.h"

#include <nlohmann/json.hpp>

namespace tiltfit {

// Typed conversions next to the value types of the public interface.
template <typename Json>
void to_json(Json& j, const Calibration& c) {
  j = Json{
      {"offset", c.offset},
      {"gain_matrix", c.gainMatrix},
      {"column_form", {{"gain", c.columnGain()}, {"offset", c.offset}}},
      {"units", c.outputMs2 ? "m/s^2" : "g"},
      {"method", c.method},
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
  if (o.found) {
    j["first_row"] = o.firstRow;
    j["last_row"] = o.lastRow;
    j["mean"] = o.mean;
    j["angle_deg"] = o.angleDeg;
    j["residual_mg"] = o.residualMg;
  } else {
    j["first_row"] = nullptr;
    j["last_row"] = nullptr;
    j["mean"] = nullptr;
    j["angle_deg"] = nullptr;
    j["residual_mg"] = nullptr;
  }
  j["diagnosis"] = o.diagnosis.empty() ? Json(nullptr) : Json(o.diagnosis);
}

template <typename Json>
void to_json(Json& j, const Stretch& s) {
  j = Json{{"first_row", s.firstRow},
           {"last_row", s.lastRow},
           {"mean", s.mean},
           {"in_quality", s.inQuality},
           {"weight", s.weight}};
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
           {"rest_tilt_deg", q.restTiltDeg}};
}

namespace report {

std::string jsonReport(const Report& report) {
  const Result& r = report.result;
  const Recording& rec = report.recording;
  using Json = nlohmann::ordered_json;  // keys in the order written, "success" first
  Json doc;
  doc["success"] = r.success;
  if (r.success) doc["calibration"] = r.calibration;
  if (r.parametersUsed) {
    Json parameters = r.parameters;
    parameters["chosen"] = r.parametersChosen ? "auto" : "given";
    doc["parameters"] = parameters;
  } else {
    doc["parameters"] = nullptr;  // no rest search took part
  }
  std::string delimiter = rec.layout.blanks ? "space" : std::string(1, rec.layout.delimiter);
  if (!rec.layout.blanks && rec.layout.delimiter == '\t') delimiter = "tab";
  doc["input"] = {{"path", report.path},
                  {"rows", rec.rows() > 0 ? static_cast<std::uint64_t>(rec.rows()) : rec.streamedSamples},
                  {"units", unitsName(r.units)},
                  {"units_given", report.unitsGiven},
                  {"units_per_g", r.unitsPerG},
                  {"units_zero", r.unitsZero},
                  {"columns", rec.layout.columns},
                  {"delimiter", delimiter},
                  {"lines_without_readings", rec.linesWithoutReadings}};
  doc["orientations"] = r.orientations;
  doc["quality"] = r.quality;
  doc["stretches"] = r.stretches;
  doc["warnings"] = r.success ? r.warnings : std::vector<std::string>();
  doc["problems"] = r.success ? std::vector<std::string>() : r.problems;
  doc["repeat"] = report.repeatCommand.empty() ? Json(nullptr) : Json(report.repeatCommand);
  doc["try"] = report.tryCommand.empty() ? Json(nullptr) : Json(report.tryCommand);
  // Invalid UTF-8 in a path or a message must not stop the report.
  return doc.dump(2, ' ', false, Json::error_handler_t::replace);
}

}  // namespace report
}  // namespace tiltfit
