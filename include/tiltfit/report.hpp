// The calibration file: the JSON document `tiltfit --json` prints, which `tiltfit --apply`, the
// Python module and programs of their own read back. One writer and one reader, side by side, so
// that a field added to a result appears in every output at once.
//
//   std::string doc = tiltfit::calibrationDocument(result, recording);
//   tiltfit::SavedCalibration saved = tiltfit::readCalibrationDocument(doc);
//   auto c = saved.calibration.apply({x, y, z});
#ifndef TILTFIT_REPORT_HPP
#define TILTFIT_REPORT_HPP

#include <string>
#include <vector>

#include "tiltfit/tiltfit.hpp"

namespace tiltfit {

// What a document says beside the result: where the recording came from and how to make it again.
struct DocumentContext {
  std::string path;           // input.path; empty: null (samples handed over)
  std::string unitsGiven;     // input.units_given: g, ms2, counts or auto as asked
  std::string repeatCommand;  // "repeat": the command that gives the same calibration, or empty
  std::string tryCommand;     // "try": after a failure, numbers that work, or empty
  // The fit before the stretches refined it ("six_rests") and the numbers a failed run was
  // checked to calibrate with ("suggestion"), as the Python module's results hold them.
  bool withSixRests = false;
  bool withSuggestion = false;
  // A still recording's noise figures to go with the calibration ("noise"; the stretches' white
  // noise then under noise.session), and its path.
  const NoiseResult* stillNoise = nullptr;
  std::string stillNoisePath;
};

// The document, every number at full precision (it reads back to the same double); non-finite
// numbers are null. `recording` gives the input part: its layout, rows and lines left out.
std::string calibrationDocument(const Result& result, const Recording& recording,
                                const DocumentContext& context = DocumentContext());

// The document of `tiltfit --noise FILE --json`: the input's layout, and "noise" with the still
// recording's figures per sensor and axis (value, low, high in SI units, or null with the reason
// in not_determined) and its Allan deviation; null after a failure, whose reasons are in
// "problems".
std::string noiseDocument(const NoiseResult& noise, const std::string& path);

// What applying a saved calibration needs from a document.
struct SavedCalibration {
  Calibration calibration;  // offset and gainMatrix (row form), outputMs2, method
  // The layout of the recordings it was made from: input.columns and input.delimiter, or the
  // tool's own format (x, y, z in fields 1, 2, 3 at commas) where the document gives none.
  Layout layout;
  // input.column_names: the header's names of the x, y and z columns it was made from, or empty
  // strings when the document gives none.
  std::array<std::string, 3> columnNames;
  // gyro: its calibration when the document holds one of scale and axes ("method": "moves"),
  // its columns in layout.gyroColumns and their names.
  bool hasGyro = false;
  GyroCalibration gyro;
  std::array<std::string, 3> gyroColumnNames;
};

// Reads a document of calibrationDocument (members it does not use are ignored), or the
// "calibration" part of one alone. Used: "success" (must be true), "calibration": {"offset": [3
// numbers], "gain_matrix": [3 rows of 3 numbers]}, and when present "input": {"columns": [3
// distinct whole numbers >= 1], "delimiter": one character, "tab" or "space", "column_names": [3
// names] or null}. Numbers must be
// finite. Throws Error (kInvalidArgument) with a reason worded to follow "FILE is not a
// calibration: " ("calibration.gain_matrix must be 3 rows of 3 numbers", "not JSON: ...").
SavedCalibration readCalibrationDocument(const std::string& text);

}  // namespace tiltfit

#endif
