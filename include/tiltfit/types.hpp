// tiltfit's value types shared by every layer: the error a call throws, and (below) the plain
// values that describe a recording and how to read and calibrate it.
#ifndef TILTFIT_TYPES_HPP
#define TILTFIT_TYPES_HPP

#include <array>
#include <stdexcept>
#include <string>

namespace tiltfit {

class Error : public std::runtime_error {
 public:
  enum class Kind {
    kInvalidArgument,  // an option or number that cannot work
    kCannotRead,       // the recording cannot be opened or read; systemError() tells why
    kTooManyRows,      // more lines than the tool can hold (715,827,881)
    kNotText,          // the recording is binary data (an archive, an image ...), not text
  };
  Error(Kind kind, const std::string& what, int systemError = 0)
      : std::runtime_error(what), kind_(kind), systemError_(systemError) {}
  Kind kind() const { return kind_; }
  int systemError() const { return systemError_; }  // an errno value, or 0

 private:
  Kind kind_;
  int systemError_;
};

// The standard gravity, m/s^2: what 1 g reads in m/s^2 unless told otherwise.
constexpr double kStandardGravity = 9.80665;
// What the classic command takes 1 g for in m/s^2, as it always has.
constexpr double kClassicGravity = 9.81;

// Units of a recording. Counts have any scale and zero (16384 per g signed, 4096 per g around
// 32768 unsigned ...); they are judged from the recording's still stretches.
enum class Units { kG, kMs2, kCounts, kAuto };
const char* unitsName(Units units);            // "g", "ms2", "counts", "auto"
Units unitsFromName(const std::string& name);  // throws Error for anything else

// Where the readings sit on a line of text.
struct Layout {
  std::array<int, 3> columns{{1, 2, 3}};  // 1-based field numbers of the accelerometer's x, y, z
  char delimiter = ',';
  bool blanks = false;  // fields separated by runs of spaces and tabs instead
  // A gyroscope's x, y and z (1-based; all 0: none read), and a time or sample counter beside
  // them (1-based; 0: none). With them, a line gives a sample only when all its fields do.
  std::array<int, 3> gyroColumns{{0, 0, 0}};
  int timeColumn = 0;
  bool timeIsCounter = false;  // the time column counts samples rather than keeping time
  bool hasGyro() const { return gyroColumns[0] > 0; }
};

// The classic command's five tuning numbers (see the README's table).
struct TuningNumbers {
  double tolerancePct = 5.0;
  double moveMeanWindow = 50.0;
  double diffThreshold = 5e-4;
  double windowWidth = 1000.0;
  double deltaThresholdWindow = 2e-3;
};
// Which calibration calibrateAuto reports.
enum class Method {
  kAuto,       // the six-rest fit refined with the stretches when six rests exist, else kStretches
  kSixRest,    // the six-rest fit (refined unless CalibrateOptions::refine is false)
  kStretches,  // the still stretches alone, no rest search
};
const char* methodName(Method method);           // "auto", "six-rest", "stretches"
Method methodFromName(const std::string& name);  // throws Error for anything else

// Whether a fit over the still stretches turns its output to the frame of the six rests.
enum class Rotation {
  kAuto,   // where the rests fix the rotation: it stands out against its uncertainty and their tilt
  kNone,   // never: the sensor's own axes
  kRests,  // whenever six rests took part, however tilted
};
const char* rotationName(Rotation rotation);         // "auto", "none", "rests"
Rotation rotationFromName(const std::string& name);  // throws Error for anything else

}  // namespace tiltfit

#endif
