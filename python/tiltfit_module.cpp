// The Python module `tiltfit`: the public library with numpy arrays in and plain Python values
// out. The dictionaries have the keys and shapes of the command line's --json report, so that a
// result can be compared with it and a saved report passed to apply().
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tiltfit/tiltfit.hpp"

namespace py = pybind11;

namespace {

using Samples = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Checks that samples is N x 3 and returns N.
std::size_t rowsOf(const Samples& samples) {
  if (samples.ndim() != 2 || samples.shape(1) != 3) {
    std::string shape;
    for (py::ssize_t d = 0; d < samples.ndim(); ++d) {
      shape += (d > 0 ? ", " : "") + std::to_string(samples.shape(d));
    }
    throw py::value_error("samples must be an N x 3 array (x, y, z per row), not of shape (" +
                          shape + ")");
  }
  return static_cast<std::size_t>(samples.shape(0));
}

using Lines = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// The runs of a recording's rows from the line of each (1-based, increasing): a run takes the step
// of its first two rows and grows while the lines keep it.
std::vector<tiltfit::LineRun> lineRuns(const Lines& lines, std::size_t n) {
  if (lines.ndim() != 1 || static_cast<std::size_t>(lines.shape(0)) != n) {
    throw py::value_error("lines must hold one line number per sample");
  }
  std::vector<tiltfit::LineRun> runs;
  const std::int64_t* l = lines.data();
  std::size_t count = 0;  // rows of the last run
  for (std::size_t r = 0; r < n; ++r) {
    if (l[r] < 1 || l[r] > 0xFFFFFFFFLL || (r > 0 && l[r] <= l[r - 1])) {
      throw py::value_error("lines must be increasing line numbers from 1 up");
    }
    const auto line = static_cast<std::uint32_t>(l[r]);
    if (count == 1) {
      runs.back().step = line - runs.back().line;
      ++count;
    } else if (count >= 2 && line == runs.back().line + runs.back().step * count) {
      ++count;
    } else {
      runs.push_back(tiltfit::LineRun{static_cast<std::uint32_t>(r), line, 1});
      count = 1;
    }
  }
  return runs;
}

tiltfit::Recording toRecording(const Samples& samples, const std::optional<Lines>& lines) {
  const std::size_t n = rowsOf(samples);
  std::vector<double> x(n), y(n), z(n);
  const double* v = samples.data();
  for (std::size_t r = 0; r < n; ++r) {
    x[r] = v[3 * r];
    y[r] = v[3 * r + 1];
    z[r] = v[3 * r + 2];
  }
  tiltfit::Recording rec = tiltfit::makeRecording(std::move(x), std::move(y), std::move(z));
  if (lines) rec.lineRuns = lineRuns(*lines, n);
  return rec;
}

py::list toList(const std::array<double, 3>& v) { return py::cast(v); }

py::list toList(const std::array<std::array<double, 3>, 3>& m) {
  py::list rows;
  for (const auto& row : m) rows.append(toList(row));
  return rows;
}

py::dict toDict(const tiltfit::Calibration& c) {
  py::dict d;
  d["offset"] = toList(c.offset);
  d["gain_matrix"] = toList(c.gainMatrix);
  py::dict column;
  column["gain"] = toList(c.columnGain());
  column["offset"] = toList(c.offset);
  d["column_form"] = column;
  d["units"] = c.outputMs2 ? "m/s^2" : "g";
  d["method"] = c.method;
  py::dict uncertainty;
  uncertainty["offset"] = toList(c.uncertainty.offset);
  uncertainty["gain_matrix"] = toList(c.uncertainty.gainMatrix);
  d["uncertainty"] = uncertainty;
  return d;
}

py::dict toDict(const tiltfit::TuningNumbers& t) {
  py::dict d;
  d["tolerancePct"] = t.tolerancePct;
  d["moveMeanWindow"] = t.moveMeanWindow;
  d["diffThreshold"] = t.diffThreshold;
  d["windowWidth"] = t.windowWidth;
  d["deltaThresholdWindow"] = t.deltaThresholdWindow;
  return d;
}

py::dict toDict(const tiltfit::Orientation& o) {
  py::dict d;
  d["axis"] = std::string(1, static_cast<char>('x' + o.axis));
  d["reading"] = o.reading;
  d["found"] = o.found;
  const py::object none = py::none();
  d["first_row"] = o.found ? py::object(py::int_(o.firstRow)) : none;
  d["last_row"] = o.found ? py::object(py::int_(o.lastRow)) : none;
  d["mean"] = o.found ? py::object(toList(o.mean)) : none;
  d["angle_deg"] = o.found ? py::object(py::float_(o.angleDeg)) : none;
  d["residual_mg"] = o.found ? py::object(py::float_(o.residualMg)) : none;
  d["diagnosis"] = o.diagnosis.empty() ? none : py::object(py::str(o.diagnosis));
  return d;
}

py::dict toDict(const tiltfit::Quality& q) {
  py::dict d;
  d["still_stretches"] = q.stillStretches;
  d["norm_error_before_mg"] = q.normErrorBeforeMg;
  d["worst_before_mg"] = q.worstBeforeMg;
  d["norm_error_after_mg"] = q.normErrorAfterMg;
  d["worst_after_mg"] = q.worstAfterMg;
  d["norm_error_six_rests_mg"] = q.normErrorSixRestMg;
  d["norm_error_refined_mg"] = q.normErrorRefinedMg;
  d["determined_parameters"] = q.determined;
  py::dict cross;
  cross["x-y"] = q.crossDetermined[0];
  cross["x-z"] = q.crossDetermined[1];
  cross["y-z"] = q.crossDetermined[2];
  d["cross_axis_determined"] = cross;
  d["expected_error_mg"] = q.expectedErrorMg;
  d["stretches_used"] = q.stretchesUsed;
  d["rest_tilt_deg"] = q.restTiltDeg;
  return d;
}

py::dict toDict(const tiltfit::Result& r, std::size_t rows) {
  py::dict d;
  d["success"] = r.success;
  d["calibration"] = r.success ? py::object(toDict(r.calibration)) : py::none();
  d["six_rests"] = r.success ? py::object(toDict(r.sixRest)) : py::none();
  if (r.parametersUsed) {
    py::dict parameters = toDict(r.parameters);
    parameters["chosen"] = r.parametersChosen ? "auto" : "given";
    d["parameters"] = parameters;
  } else {
    d["parameters"] = py::none();
  }
  py::dict input;
  input["rows"] = rows;
  input["units"] = tiltfit::unitsName(r.units);
  input["units_per_g"] = r.unitsPerG;
  input["units_zero"] = r.unitsZero;
  d["input"] = input;
  py::list orientations;
  for (const tiltfit::Orientation& o : r.orientations) orientations.append(toDict(o));
  d["orientations"] = orientations;
  d["quality"] = toDict(r.quality);
  py::list stretches;
  for (const tiltfit::Stretch& s : r.stretches) {
    py::dict e;
    e["first_row"] = s.firstRow;
    e["last_row"] = s.lastRow;
    e["mean"] = toList(s.mean);
    e["in_quality"] = s.inQuality;
    e["weight"] = s.weight;
    stretches.append(e);
  }
  d["stretches"] = stretches;
  d["warnings"] = r.success ? r.warnings : std::vector<std::string>();
  d["problems"] = r.success ? std::vector<std::string>() : r.problems;
  if (r.hasSuggestion) {
    py::dict suggestion;
    suggestion["parameters"] = toDict(r.suggestedNumbers);
    suggestion["units"] = tiltfit::unitsName(r.suggestedUnits);
    d["suggestion"] = suggestion;
  } else {
    d["suggestion"] = py::none();
  }
  return d;
}

tiltfit::CalibrateOptions calibrateOptions(const std::string& units,
                                           const std::optional<std::string>& outputUnits,
                                           bool refine) {
  tiltfit::CalibrateOptions o;
  o.units = tiltfit::unitsFromName(units);
  o.outputUnits = outputUnits.value_or("");
  o.refine = refine;
  return o;
}

py::dict calibrate(const Samples& samples, double tolerancePct, double moveMeanWindow,
                   double diffThreshold, double windowWidth, double deltaThresholdWindow,
                   const std::string& units, const std::optional<std::string>& outputUnits,
                   bool refine, const std::optional<Lines>& lines) {
  const tiltfit::CalibrateOptions options = calibrateOptions(units, outputUnits, refine);
  const tiltfit::TuningNumbers numbers{tolerancePct, moveMeanWindow, diffThreshold, windowWidth,
                                       deltaThresholdWindow};
  const tiltfit::Recording rec = toRecording(samples, lines);
  tiltfit::Result r;
  {
    py::gil_scoped_release release;
    r = tiltfit::calibrate(rec, numbers, options);
  }
  return toDict(r, rec.rows());
}

py::dict calibrateAuto(const Samples& samples, const std::string& units,
                       const std::optional<std::string>& outputUnits, bool refine,
                       const std::string& method, const std::optional<Lines>& lines) {
  tiltfit::CalibrateOptions options = calibrateOptions(units, outputUnits, refine);
  options.method = tiltfit::methodFromName(method);
  const tiltfit::Recording rec = toRecording(samples, lines);
  tiltfit::Result r;
  {
    py::gil_scoped_release release;
    r = tiltfit::calibrateAuto(rec, options);
  }
  return toDict(r, rec.rows());
}

// A file name as str, bytes or os.PathLike.
std::string pathOf(const py::object& path) {
  return py::module_::import("os").attr("fspath")(path).cast<std::string>();
}

tiltfit::Layout layoutOf(const std::array<int, 3>& columns, const std::string& delimiter) {
  tiltfit::Layout layout;
  layout.columns = columns;
  if (delimiter == "space" || delimiter == " ") {
    layout.blanks = true;
    layout.delimiter = ' ';
  } else if (delimiter == "tab") {
    layout.delimiter = '\t';
  } else if (delimiter.size() == 1) {
    layout.delimiter = delimiter[0];
  } else {
    throw py::value_error("delimiter must be one character, \"tab\" or \"space\": \"" + delimiter +
                          "\"");
  }
  return layout;
}

py::object readCsv(const py::object& path, const std::array<int, 3>& columns,
                   const std::string& delimiter, bool detectLayout, bool everyLine,
                   bool withLines) {
  tiltfit::ReadOptions options;
  options.layout = layoutOf(columns, delimiter);
  options.detectDelimiter = options.detectColumns = detectLayout;
  options.keepLinesWithoutReadings = everyLine;
  const std::string name = pathOf(path);
  tiltfit::Recording rec;
  {
    py::gil_scoped_release release;
    rec = tiltfit::readRecording(name, options);
  }
  const std::size_t n = rec.rows();
  py::array_t<double> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(n), 3});
  double* v = out.mutable_data();
  for (std::size_t r = 0; r < n; ++r) {
    v[3 * r] = rec.x[r];
    v[3 * r + 1] = rec.y[r];
    v[3 * r + 2] = rec.z[r];
  }
  if (!withLines) return std::move(out);
  Lines lines(static_cast<py::ssize_t>(n));
  std::int64_t* l = lines.mutable_data();
  for (std::size_t r = 0; r < n; ++r) l[r] = static_cast<std::int64_t>(rec.lineOf(r));
  return py::make_tuple(out, lines);
}

// The calibration part of a result (or of a saved --json report), or the part itself.
tiltfit::Calibration calibrationOf(const py::dict& given) {
  py::dict c = given;
  if (given.contains("calibration")) {
    if (given["calibration"].is_none()) {
      throw py::value_error("the result holds no calibration: the calibration did not succeed");
    }
    c = given["calibration"].cast<py::dict>();
  }
  if (!c.contains("offset") || !c.contains("gain_matrix")) {
    throw py::value_error("a calibration needs \"offset\" and \"gain_matrix\"");
  }
  tiltfit::Calibration out;
  try {
    out.offset = c["offset"].cast<std::array<double, 3>>();
    out.gainMatrix = c["gain_matrix"].cast<std::array<std::array<double, 3>, 3>>();
  } catch (const py::cast_error&) {
    throw py::value_error(
        "a calibration's offset must be 3 numbers and its gain_matrix 3 rows of 3");
  }
  return out;
}

py::array_t<double> apply(const py::dict& calibration, const Samples& samples) {
  const tiltfit::Calibration c = calibrationOf(calibration);
  const std::size_t n = rowsOf(samples);
  py::array_t<double> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(n), 3});
  const double* in = samples.data();
  double* v = out.mutable_data();
  {
    py::gil_scoped_release release;
    for (std::size_t r = 0; r < n; ++r) {
      const std::array<double, 3> a = c.apply({in[3 * r], in[3 * r + 1], in[3 * r + 2]});
      v[3 * r] = a[0];
      v[3 * r + 1] = a[1];
      v[3 * r + 2] = a[2];
    }
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(tiltfit, m) {
  m.doc() =
      "Calibrates a three-axis accelerometer from one recording of six rests (each axis up and "
      "down).\n\n"
      "Samples are N x 3 arrays of x, y, z readings, one row per sample. Results are plain dicts "
      "with the keys of the command line's --json report; calibrated = raw @ gain_matrix + "
      "offset for raw a row (x, y, z).";
  m.attr("__version__") = TILTFIT_VERSION;

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const tiltfit::Error& e) {
      if (e.kind() != tiltfit::Error::Kind::kCannotRead) {
        PyErr_SetString(PyExc_ValueError, e.what());
      } else if (e.systemError() != 0) {
        // OSError(errno, text) becomes the matching subclass (FileNotFoundError ...).
        py::object error =
            py::reinterpret_borrow<py::object>(PyExc_OSError)(e.systemError(), e.what());
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
      } else {
        PyErr_SetString(PyExc_OSError, e.what());
      }
    }
  });

  m.def("read_csv", &readCsv, py::arg("path"), py::arg("columns") = std::array<int, 3>{{1, 2, 3}},
        py::arg("delimiter") = ",", py::arg("detect_layout") = false, py::arg("every_line") = false,
        py::arg("with_lines") = false,
        "Reads a CSV recording, or gzip-compressed CSV, into an N x 3 float64 array, one row per "
        "sample: lines whose three fields are not all numbers (a header, a blank line, a record "
        "of another kind) are left out. with_lines=True returns (samples, lines) instead, lines "
        "holding the 1-based line of the file of each sample (pass it to calibrate() to have the "
        "rows of the result given as lines). every_line=True reads as the classic command does: "
        "one row per line, a line without numbers a row of zeros, so row r - 1 is line r. "
        "columns are the 1-based field numbers of x, y and z; delimiter is one character, "
        "\"tab\" or \"space\" (runs of spaces and tabs); detect_layout sniffs the delimiter and "
        "the columns from the text instead (by their names where a header names them). Raises "
        "OSError (FileNotFoundError ...) when the file cannot be read and ValueError for a layout "
        "that cannot work or binary data.");

  m.def("calibrate", &calibrate, py::arg("samples"), py::arg("tolerance_pct"),
        py::arg("move_mean_window"), py::arg("diff_threshold"), py::arg("window_width"),
        py::arg("delta_threshold_window"), py::arg("units") = "g",
        py::arg("output_units") = std::nullopt, py::arg("refine") = false,
        py::arg("lines") = std::nullopt,
        "Calibrates with the five tuning numbers of the classic command. samples is N x 3 "
        "(anything numpy turns into float64). The rows of the result (orientations' first_row "
        "and last_row) are 1-based sample numbers (row 1 is samples[0]), or, when lines gives "
        "the line of each sample (read_csv(..., with_lines=True)), the file's line numbers. "
        "units: \"g\", \"ms2\", \"counts\" or \"auto\"; "
        "output_units: \"g\", \"ms2\" or None for the recording's own (g for counts); refine: "
        "report the refined fit. A calibration that fails is no error: result[\"success\"] is "
        "False and result[\"problems\"] says why. Raises ValueError for numbers or units that "
        "cannot work.");

  m.def("calibrate_auto", &calibrateAuto, py::arg("samples"), py::arg("units") = "auto",
        py::arg("output_units") = std::nullopt, py::arg("refine") = true,
        py::arg("method") = "auto", py::arg("lines") = std::nullopt,
        "Calibrates with tuning numbers chosen from the recording (result[\"parameters\"] tells "
        "which, None when no rest search took part), or from the still stretches alone when the "
        "recording holds no six rests. method: \"auto\", \"six-rest\" or \"stretches\". "
        "Otherwise as calibrate().");

  m.def("apply", &apply, py::arg("calibration"), py::arg("samples"),
        "Returns samples (N x 3) calibrated: raw @ gain_matrix + offset for each row. "
        "calibration is a result of calibrate() or calibrate_auto(), its \"calibration\" part, "
        "or a report the command line wrote with --json. Raises ValueError for a result that "
        "did not succeed.");
}
