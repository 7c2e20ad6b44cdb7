// libFuzzer target: the reader of the calibration file that --apply and the Python module read
// (readCalibrationDocument), any bytes as the document, and its writer on what it read.
//
// Invariants: a refusal is an Error with a reason, never another exception; what is read has
// finite numbers and three distinct columns from 1 up; written again (calibrationDocument) it
// reads back to the same calibration and layout, bit for bit, and that document written once
// more is the same text; its "calibration" part alone reads as the same calibration.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "tiltfit/report.hpp"

namespace {

const char* const kTarget = "fuzz_calibration_file";

void check(bool ok, const std::string& what) {
  if (!ok) fuzzing::fail(kTarget, what);
}

bool sameCalibration(const tiltfit::Calibration& a, const tiltfit::Calibration& b) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (!fuzzing::sameBits(a.offset[i], b.offset[i])) return false;
    for (std::size_t j = 0; j < 3; ++j)
      if (!fuzzing::sameBits(a.gainMatrix[i][j], b.gainMatrix[i][j])) return false;
  }
  return a.outputMs2 == b.outputMs2 && a.method == b.method;
}

bool sameLayout(const tiltfit::Layout& a, const tiltfit::Layout& b) {
  return a.columns == b.columns && a.blanks == b.blanks && (a.blanks || a.delimiter == b.delimiter);
}

// The document a successful result with this calibration writes, for a recording of `layout`.
std::string written(const tiltfit::SavedCalibration& saved) {
  tiltfit::Result result;
  result.success = true;
  result.calibration = saved.calibration;
  tiltfit::Recording recording;
  recording.layout = saved.layout;
  return tiltfit::calibrationDocument(result, recording);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  tiltfit::SavedCalibration saved;
  try {
    saved = tiltfit::readCalibrationDocument(text);
  } catch (const tiltfit::Error& e) {
    check(e.kind() == tiltfit::Error::Kind::kInvalidArgument, "a refusal of another kind");
    check(e.what()[0] != '\0', "a refusal without a reason");
    return 0;
  }
  for (std::size_t i = 0; i < 3; ++i) {
    check(std::isfinite(saved.calibration.offset[i]), "an offset read that is not finite");
    for (std::size_t j = 0; j < 3; ++j)
      check(std::isfinite(saved.calibration.gainMatrix[i][j]), "a gain read that is not finite");
  }
  const std::array<int, 3>& c = saved.layout.columns;
  check(c[0] >= 1 && c[1] >= 1 && c[2] >= 1 && c[0] != c[1] && c[0] != c[2] && c[1] != c[2],
        "columns read that are not three distinct fields");
  check(saved.layout.blanks || (saved.layout.delimiter != '\n' && saved.layout.delimiter != '\r'),
        "a line end read as the delimiter");

  const std::string doc = written(saved);
  tiltfit::SavedCalibration again;
  try {
    again = tiltfit::readCalibrationDocument(doc);
  } catch (const tiltfit::Error& e) {
    fuzzing::fail(kTarget, std::string("a written document does not read back: ") + e.what());
  }
  check(sameCalibration(again.calibration, saved.calibration), "the calibration changed on the way");
  check(sameLayout(again.layout, saved.layout), "the layout changed on the way");
  check(written(again) == doc, "the document written twice differs");

  const nlohmann::json part = nlohmann::json::parse(doc).at("calibration");
  const tiltfit::SavedCalibration alone = tiltfit::readCalibrationDocument(part.dump());
  check(sameCalibration(alone.calibration, saved.calibration),
        "the calibration part alone reads differently");
  return 0;
}
