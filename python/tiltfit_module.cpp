// The Python module `tiltfit`: the public library with numpy arrays in and plain Python values
// out. The dictionaries have the keys and shapes of the command line's --json report, so that a
// result can be compared with it and a saved report passed to apply().
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tiltfit/live.hpp"
#include "tiltfit/noise.hpp"
#include "tiltfit/report.hpp"
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

std::vector<tiltfit::LineRun> lineRuns(const Lines& lines, std::size_t n) {
  if (lines.ndim() != 1 || static_cast<std::size_t>(lines.shape(0)) != n) {
    throw py::value_error("lines must hold one line number per sample");
  }
  return tiltfit::lineRunsOf(lines.data(), n);
}

// The x, y and z columns of an N x 3 array.
std::array<std::vector<double>, 3> columnsOf(const Samples& samples) {
  const std::size_t n = rowsOf(samples);
  std::array<std::vector<double>, 3> c{std::vector<double>(n), std::vector<double>(n),
                                       std::vector<double>(n)};
  const double* v = samples.data();
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t j = 0; j < 3; ++j) c[j][r] = v[3 * r + j];
  }
  return c;
}

tiltfit::Recording toRecording(const Samples& samples, const std::optional<Lines>& lines) {
  std::array<std::vector<double>, 3> c = columnsOf(samples);
  const std::size_t n = c[0].size();
  tiltfit::Recording rec =
      tiltfit::makeRecording(std::move(c[0]), std::move(c[1]), std::move(c[2]));
  if (lines) rec.lineRuns = lineRuns(*lines, n);
  return rec;
}

// A result as the dict of the --json document (the same writer), with the six-rest fit and the
// suggestion of a failed run besides: a field the document gains, the dicts gain with it.
py::object toDict(const tiltfit::Result& r, const tiltfit::Recording& rec,
                  const std::string& unitsGiven) {
  tiltfit::DocumentContext context;
  context.unitsGiven = unitsGiven;
  context.withSixRests = true;
  context.withSuggestion = true;
  const std::string doc = tiltfit::calibrationDocument(r, rec, context);
  return py::module_::import("json").attr("loads")(doc);
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

py::object calibrate(const Samples& samples, double tolerancePct, double moveMeanWindow,
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
  return toDict(r, rec, units);
}

py::object calibrateAuto(const Samples& samples, const std::string& units,
                         const std::optional<std::string>& outputUnits, bool refine,
                         const std::string& method, const std::optional<Lines>& lines,
                         const std::optional<Samples>& gyro,
                         const std::optional<py::array_t<double, py::array::forcecast>>& time,
                         const std::optional<double>& rate, bool counter) {
  tiltfit::CalibrateOptions options = calibrateOptions(units, outputUnits, refine);
  options.method = tiltfit::methodFromName(method);
  tiltfit::Recording rec = toRecording(samples, lines);
  if (gyro) {
    // The gyroscope's readings beside the accelerometer's, with a time or a rate for them.
    std::array<std::vector<double>, 3> g = columnsOf(*gyro);
    if (g[0].size() != rec.rows()) {
      throw py::value_error("gyro must hold a row for every row of samples");
    }
    rec.gx = std::move(g[0]);
    rec.gy = std::move(g[1]);
    rec.gz = std::move(g[2]);
    rec.layout.gyroColumns = {4, 5, 6};
    if (time) {
      if (time->ndim() != 1 || static_cast<std::size_t>(time->shape(0)) != rec.rows())
        throw py::value_error("time must hold one value for every row of samples");
      rec.t.assign(time->data(), time->data() + rec.rows());
      rec.layout.timeColumn = 7;
      rec.layout.timeIsCounter = counter;
    }
    if (rate) options.gyroOptions.rateHz = *rate;
  } else if (time || rate) {
    throw py::value_error("time and rate time a gyroscope: give its readings with gyro=");
  }
  tiltfit::Result r;
  {
    py::gil_scoped_release release;
    r = tiltfit::calibrateAuto(rec, options);
  }
  return toDict(r, rec, units);
}

// A file name as str, bytes or os.PathLike.
std::string pathOf(const py::object& path) {
  return py::module_::import("os").attr("fspath")(path).cast<std::string>();
}

tiltfit::Layout layoutOf(const std::array<int, 3>& columns, const std::string& delimiter) {
  tiltfit::Layout layout;
  layout.columns = columns;
  const std::string why = tiltfit::delimiterFromName(delimiter, layout);
  if (!why.empty()) throw py::value_error("delimiter " + why);
  return layout;
}

// n values as a float64 array.
py::array_t<double> arrayOf(const std::vector<double>& v) {
  py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), a.mutable_data());
  return a;
}

// Three columns as an N x 3 float64 array.
py::array_t<double> arrayOf(const std::vector<double>& x, const std::vector<double>& y,
                            const std::vector<double>& z) {
  const std::size_t n = x.size();
  py::array_t<double> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(n), 3});
  double* v = out.mutable_data();
  for (std::size_t r = 0; r < n; ++r) {
    v[3 * r] = x[r];
    v[3 * r + 1] = y[r];
    v[3 * r + 2] = z[r];
  }
  return out;
}

// What the reader judged of a recording's layout, as a dict.
py::dict layoutDict(const tiltfit::Recording& rec) {
  const tiltfit::Layout& l = rec.layout;
  py::dict d;
  d["columns"] = l.columns;
  d["column_names"] = rec.columnNames;
  d["delimiter"] = tiltfit::delimiterName(l);
  d["gyro_columns"] = l.hasGyro() ? py::object(py::cast(l.gyroColumns)) : py::none();
  d["gyro_names"] = rec.gyroNames;
  d["time_column"] = l.timeColumn > 0 ? py::object(py::int_(l.timeColumn)) : py::none();
  d["time_name"] = rec.timeName;
  d["time_is_counter"] = l.timeIsCounter;
  d["rate"] = rec.rateFromHeader > 0.0 ? py::object(py::float_(rec.rateFromHeader)) : py::none();
  return d;
}

// The layout --auto judges from a text (a header line and the first lines of numbers).
py::dict detectLayout(const std::string& text) {
  tiltfit::ReadOptions options;
  options.detectDelimiter = options.detectColumns = options.detectGyro = true;
  return layoutDict(tiltfit::readRecordingFromText(text, options));
}

// The noise figures of a still recording, as the dict of `tiltfit --noise FILE --json`.
py::object noise(const py::object& pathArg, std::optional<double> rate,
                 const py::object& gyroUnits) {
  const std::string path = pathOf(pathArg);
  tiltfit::NoiseOptions o;
  if (rate) {
    if (!(*rate > 0.0) || !std::isfinite(*rate))
      throw py::value_error("rate must be a positive number of Hz");
    o.rateHz = *rate;
  }
  if (!gyroUnits.is_none()) {
    // A number is the counts per deg/s, written as the command line's option takes it.
    const std::string unit = py::str(gyroUnits).cast<std::string>();
    const std::string why = tiltfit::setGyroUnits(o, unit, "gyro_units");
    if (!why.empty()) throw py::value_error("gyro_units: " + why);
  }
  std::string doc;
  {
    py::gil_scoped_release release;
    doc = tiltfit::noiseDocument(tiltfit::noiseOfStillRecording(path, o), path);
  }
  return py::module_::import("json").attr("loads")(doc);
}

py::object readCsv(const py::object& path, const std::array<int, 3>& columns,
                   const std::string& delimiter, bool detectLayout, bool everyLine,
                   bool withLines, bool imu) {
  tiltfit::ReadOptions options;
  options.layout = layoutOf(columns, delimiter);
  options.detectDelimiter = options.detectColumns = detectLayout;
  options.detectGyro = imu;
  options.keepLinesWithoutReadings = everyLine;
  const std::string name = pathOf(path);
  tiltfit::Recording rec;
  {
    py::gil_scoped_release release;
    rec = tiltfit::readRecording(name, options);
  }
  const std::size_t n = rec.rows();
  py::array_t<double> out = arrayOf(rec.x, rec.y, rec.z);
  Lines lines(static_cast<py::ssize_t>(n));
  std::int64_t* l = lines.mutable_data();
  for (std::size_t r = 0; r < n; ++r) l[r] = static_cast<std::int64_t>(rec.lineOf(r));
  if (imu) {
    py::dict d;
    d["accel"] = out;
    d["gyro"] = rec.layout.hasGyro() ? py::object(arrayOf(rec.gx, rec.gy, rec.gz)) : py::none();
    d["time"] = !rec.t.empty() ? py::object(arrayOf(rec.t)) : py::none();
    d["lines"] = lines;
    d["layout"] = layoutDict(rec);
    return std::move(d);
  }
  if (!withLines) return std::move(out);
  return py::make_tuple(out, lines);
}

// The calibration of a result (or of a saved --json report), or its "calibration" part alone,
// read by the reader of the calibration file.
tiltfit::Calibration calibrationOf(const py::dict& given) {
  if (given.contains("calibration") && given["calibration"].is_none()) {
    throw py::value_error("the result holds no calibration: the calibration did not succeed");
  }
  const py::object json = py::module_::import("json");
  std::string text;
  try {
    text =
        json.attr("dumps")(given, py::arg("default") = py::module_::import("builtins").attr("list"))
            .cast<std::string>();
  } catch (const py::error_already_set&) {
    throw py::value_error("a calibration must hold numbers: offset 3, gain_matrix 3 rows of 3");
  }
  try {
    return tiltfit::readCalibrationDocument(text).calibration;
  } catch (const tiltfit::Error& e) {
    throw py::value_error(std::string("not a calibration: ") + e.what());
  }
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

// A guided capture fed from Python: bytes, lines or N x 3 arrays in, event dicts out.
class PyLiveSession {
 public:
  PyLiveSession(const std::array<int, 3>& columns, const std::string& delimiter, bool detectLayout,
                const std::string& units, const std::optional<std::string>& outputUnits,
                const std::string& method, double targetMg, bool replay) {
    tiltfit::LiveOptions o;
    o.layout = layoutOf(columns, delimiter);
    o.detectDelimiter = o.detectColumns = detectLayout;
    o.units = tiltfit::unitsFromName(units);
    o.outputUnits = outputUnits.value_or("");
    o.method = tiltfit::methodFromName(method);
    if (!(targetMg > 0.0)) throw py::value_error("target_mg must be above 0");
    o.targetMg = targetMg;
    o.replay = replay;
    units_ = units;
    session_ = std::make_unique<tiltfit::LiveSession>(o);
  }

  py::list feed(const py::object& data, const std::optional<double>& now) {
    std::string bytes;
    if (py::isinstance<py::bytes>(data)) {
      bytes = data.cast<std::string>();
    } else if (py::isinstance<py::str>(data)) {
      bytes = data.cast<std::string>();
    } else {
      throw py::type_error("feed() takes bytes or str; feed_lines() lines, feed_samples() arrays");
    }
    const double t = timeOf(now);
    {
      py::gil_scoped_release release;
      session_->feed(bytes.data(), bytes.size(), t);
    }
    return events();
  }

  py::list feedLines(const std::vector<std::string>& lines, const std::optional<double>& now) {
    const double t = timeOf(now);
    {
      py::gil_scoped_release release;
      session_->feedLines(lines, t);
    }
    return events();
  }

  py::list feedSamples(const Samples& samples, const std::optional<double>& now) {
    const std::array<std::vector<double>, 3> c = columnsOf(samples);
    const double t = timeOf(now);
    {
      py::gil_scoped_release release;
      session_->feedSamples(c[0].data(), c[1].data(), c[2].data(), c[0].size(), t);
    }
    return events();
  }

  py::list finish(const std::optional<double>& now) {
    session_->finish(timeOf(now));
    return events();
  }

  py::object result() const {
    tiltfit::Result r;
    {
      py::gil_scoped_release release;
      r = session_->result();
    }
    tiltfit::Recording rec;
    rec.layout = session_->layout();
    rec.streamedSamples = session_->samples();
    rec.linesWithoutReadings = session_->linesWithoutReadings();
    return toDict(r, rec, units_);
  }

  bool stopped() const { return session_->stopped(); }
  std::string stopReason() const { return session_->stopReason(); }
  std::string status(const std::optional<double>& now) const {
    return session_->status(timeOf(now));
  }
  std::uint64_t lines() const { return session_->lines(); }
  std::uint64_t samples() const { return session_->samples(); }

 private:
  static double timeOf(const std::optional<double>& now) {
    if (now) return *now;
    return py::module_::import("time").attr("monotonic")().cast<double>();
  }

  py::list events() {
    py::list out;
    for (const tiltfit::LiveEvent& e : session_->events()) {
      py::dict d;
      d["kind"] = tiltfit::liveEventKindName(e.kind);
      d["text"] = e.text;
      if (e.kind == tiltfit::LiveEvent::Kind::kStretch) {
        d["first_sample"] = e.firstSample;
        d["last_sample"] = e.lastSample;
        d["expected_error_mg"] = std::isfinite(e.expectedErrorMg)
                                     ? py::object(py::float_(e.expectedErrorMg))
                                     : py::none();
      }
      d["orientation"] = e.orientation >= 0 ? py::object(py::int_(e.orientation)) : py::none();
      out.append(d);
    }
    return out;
  }

  std::string units_;
  std::unique_ptr<tiltfit::LiveSession> session_;
};

}  // namespace

PYBIND11_MODULE(_core, m) {
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
        py::arg("with_lines") = false, py::arg("imu") = false,
        "Reads a CSV recording, or gzip-compressed CSV, into an N x 3 float64 array, one row per "
        "sample: lines whose three fields are not all numbers (a header, a blank line, a record "
        "of another kind) are left out. with_lines=True returns (samples, lines) instead, lines "
        "holding the 1-based line of the file of each sample (pass it to calibrate() to have the "
        "rows of the result given as lines). every_line=True reads as the classic command does: "
        "one row per line, a line without numbers a row of zeros, so row r - 1 is line r. "
        "columns are the 1-based field numbers of x, y and z; delimiter is one character, "
        "\"tab\" or \"space\" (runs of spaces and tabs); detect_layout sniffs the delimiter and "
        "the columns from the text instead (by their names where a header names them). "
        "imu=True also reads a gyroscope the header names and a time column, and returns a dict "
        "of \"accel\", \"gyro\", \"time\" and \"lines\" arrays and the \"layout\" judged. Raises "
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
        py::arg("gyro") = std::nullopt, py::arg("time") = std::nullopt,
        py::arg("rate") = std::nullopt, py::arg("counter") = false,
        "Calibrates with tuning numbers chosen from the recording (result[\"parameters\"] tells "
        "which, None when no rest search took part), or from the still stretches alone when the "
        "recording holds no six rests. method: \"auto\", \"six-rest\" or \"stretches\". "
        "Otherwise as calibrate(). With gyro (N x 3, the gyroscope's readings of the same rows) "
        "and time (N stamps in any unit, or a sample counter with counter=True) or rate (Hz), "
        "the gyroscope is calibrated too, in the accelerometer's frame: result[\"gyro\"].");

  m.def("noise", &noise, py::arg("path"), py::arg("rate") = std::nullopt,
        py::arg("gyro_units") = py::none(),
        "The noise figures of a still recording (any length; gzip read too), as tiltfit --noise "
        "FILE --json gives them: for each axis of both sensors the white noise density, bias "
        "instability and random walk in SI units with their intervals (or None and the reason "
        "in \"not_determined\"), and the Allan deviation (\"allan\"). rate in Hz where no time "
        "column or Fs line gives it; gyro_units \"rad/s\", \"deg/s\" or counts per deg/s (131 for "
        "an MPU-6050 at 250 deg/s). A recording that gives no figures is no error: "
        "result[\"success\"] is False and result[\"problems\"] says why.");

  m.def("detect_layout", &detectLayout, py::arg("text"),
        "The layout tiltfit --auto judges from a CSV text (a header and the first lines): the "
        "accelerometer's, gyroscope's and time's 1-based columns, their names, the delimiter and "
        "a sample rate a header line gives.");

  py::class_<PyLiveSession>(m, "LiveSession",
                            "A guided capture: feed a logger's output as it arrives and each call "
                            "returns the events it caused (dicts with \"kind\": layout, next, "
                            "stretch, captured or stop, and \"text\" as tiltfit --live prints "
                            "it). The session does no I/O; `now` is the arrival time in seconds "
                            "(time.monotonic() when None).")
      .def(py::init<const std::array<int, 3>&, const std::string&, bool, const std::string&,
                    const std::optional<std::string>&, const std::string&, double, bool>(),
           py::arg("columns") = std::array<int, 3>{{1, 2, 3}}, py::arg("delimiter") = ",",
           py::arg("detect_layout") = true, py::arg("units") = "auto",
           py::arg("output_units") = std::nullopt, py::arg("method") = "auto",
           py::arg("target_mg") = tiltfit::kDefaultTargetMg, py::arg("replay") = false)
      .def("feed", &PyLiveSession::feed, py::arg("data"), py::arg("now") = std::nullopt,
           "Bytes or text as they arrived; whole lines are taken as they complete.")
      .def("feed_lines", &PyLiveSession::feedLines, py::arg("lines"), py::arg("now") = std::nullopt,
           "Lines without their newline.")
      .def("feed_samples", &PyLiveSession::feedSamples, py::arg("samples"),
           py::arg("now") = std::nullopt, "An N x 3 array of x, y, z readings.")
      .def("finish", &PyLiveSession::finish, py::arg("now") = std::nullopt,
           "The input has ended: the last line and the open still stretch are taken.")
      .def("result", &PyLiveSession::result,
           "The capture calibrated as calibrate_auto() calibrates it: the same dict.")
      .def("status", &PyLiveSession::status, py::arg("now") = std::nullopt,
           "The status line tiltfit --live redraws on a terminal.")
      .def_property_readonly("stopped", &PyLiveSession::stopped,
                             "The calibration meets the target: the capture may end.")
      .def_property_readonly("stop_reason", &PyLiveSession::stopReason)
      .def_property_readonly("lines", &PyLiveSession::lines)
      .def_property_readonly("samples", &PyLiveSession::samples);

  m.def("apply", &apply, py::arg("calibration"), py::arg("samples"),
        "Returns samples (N x 3) calibrated: raw @ gain_matrix + offset for each row. "
        "calibration is a result of calibrate() or calibrate_auto(), its \"calibration\" part, "
        "or a report the command line wrote with --json. Raises ValueError for a result that "
        "did not succeed.");
}
