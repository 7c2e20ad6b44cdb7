// PX4's parameters as QGroundControl saves and loads them (.params): '#' comments, then one
// parameter a line, tab-separated: vehicle id, component id, name, value, MAVLink type (9 a
// 32-bit float, 6 a 32-bit integer).
//   CAL_ACC0_XOFF/YOFF/ZOFF       m/s^2      corrected = (raw - offset) .* scale, in the sensor's
//   CAL_ACC0_XSCALE/YSCALE/ZSCALE unitless   frame, before CAL_ACC0_ROT
//                                            (PX4's Accelerometer::Correct)
//   CAL_ACC0_ID                   int32      the device id the calibration belongs to
//   CAL_GYRO0_XOFF/YOFF/ZOFF      rad/s      corrected = raw - offset
// (CAL_ACC1_* for the second accelerometer.) As for ArduPilot, 1 g is 9.80665 m/s^2, the scales
// are diagonal (a comment gives the dropped terms and their cost), and PX4 uses a calibration only
// for the sensor whose id CAL_ACC0_ID holds: without a device id in the model it is left out, with
// a comment and a note, and the user keeps the board's own.
#include <string>

#include "exportCommon.h"
#include "exportFormat.h"

namespace tiltfit {
namespace report {
namespace exports {
namespace {

void line(std::string& t, const std::string& name, const std::string& value, int type) {
  t += "1\t1\t" + name + "\t" + value + "\t" + std::to_string(type) + "\n";
}

class Px4 : public ExportFormat {
 public:
  const char* name() const override { return "px4"; }
  const char* fileName() const override { return "tiltfit.params"; }
  const char* summary() const override {
    return "PX4 parameters (QGroundControl): CAL_ACC0_*OFF, CAL_ACC0_*SCALE (diagonal), "
           "CAL_GYRO0_*OFF";
  }

  ExportText write(const ImuModel& m) const override {
    ExportText out;
    std::string& t = out.text;
    const std::string acc = "CAL_ACC" + std::to_string(m.sensorIndex) + "_";
    const std::string gyr = "CAL_GYRO" + std::to_string(m.sensorIndex) + "_";
    static const char* const axes[3] = {"X", "Y", "Z"};
    t += "# Onboard parameters for Vehicle 1\n";
    t += "#\n";
    t += "# Accelerometer calibration from tiltfit, in the sensor's axes as recorded.\n";
    if (!m.source.empty()) t += "# " + m.source + "\n";
    t += "# corrected = (raw - " + acc + "?OFF) * " + acc + "?SCALE per axis; offsets in m/s^2.\n";
    std::string body;
    if (m.accel.present) {
      const DiagonalForm d = diagonalForm(accelSI(m, kStandardGravity));
      t += "# " + d.comment + "\n";
      out.notes.push_back("PX4's scales are diagonal: " + d.comment);
      if (m.deviceId != 0) {
        line(body, acc + "ID", std::to_string(m.deviceId), 6);
      } else {
        t += "# " + acc +
             "ID not written: PX4 uses these only for the sensor whose device id it "
             "holds; keep the board's own\n";
        out.notes.push_back(acc +
                            "ID not written (the device id is not known): PX4 applies the "
                            "calibration only while it matches the sensor");
      }
      for (int i = 0; i < 3; ++i) line(body, acc + axes[i] + "OFF", general(d.offset[i], 9), 9);
      for (int i = 0; i < 3; ++i) line(body, acc + axes[i] + "SCALE", general(d.scale[i], 9), 9);
    } else {
      out.notes.push_back("no accelerometer calibration: no CAL_ACC parameters written");
    }
    if (m.gyro.present) {
      const SICalibration g = gyroSI(m);
      Matrix3 inv;
      inverse(g.A, inv);
      for (int i = 0; i < 3; ++i) {
        double v = 0.0;
        for (int j = 0; j < 3; ++j) v -= inv[i][j] * g.b[j];
        line(body, gyr + axes[i] + "OFF", general(v, 9), 9);
      }
      out.notes.push_back("PX4 re-estimates the gyro offsets in flight; " + gyr +
                          "*OFF are the recording's, without the gyro's scale (PX4 has none)");
    }
    t += "#\n# Vehicle-Id Component-Id Name Value Type\n";
    t += body;
    return out;
  }
};

}  // namespace

const ExportFormat& px4Format() {
  static const Px4 f;
  return f;
}

}  // namespace exports
}  // namespace report
}  // namespace tiltfit
