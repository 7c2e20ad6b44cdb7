// ArduPilot's parameter file (.param, as Mission Planner and MAVProxy load it: NAME,VALUE per
// line, '#' comments; AP_Param splits a line at ',', ' ', '=' or tab).
//   INS_ACCOFFS_X/Y/Z   m/s^2      corrected = (raw - offset) * scale, per axis, applied by
//   INS_ACCSCAL_X/Y/Z   unitless   AP_InertialSensor to the readings in the sensor's board axes
//   INS_GYROFFS_X/Y/Z   rad/s      corrected = raw - offset
// (INS_ACC2*, INS_GYR2OFFS_* for the second IMU.) Readings in m/s^2 where 1 g is GRAVITY_MSS
// (9.80665), so the calibration is rescaled to read that at rest. The scales are diagonal: the
// cross-axis terms are dropped and a comment says what they were and what that costs. ArduPilot
// takes only scales within 0.8 to 1.2 and recalibrates the gyro offsets at every boot
// (INS_GYR_CAL); both are noted. It applies a calibration only while the IMU's INS_ACC*_ID matches,
// which a parameter file cannot know: the note says to keep the board's own.
#include <cmath>
#include <string>

#include "exportCommon.h"
#include "exportFormat.h"

namespace tiltfit {
namespace report {
namespace exports {
namespace {

class ArduPilot : public ExportFormat {
 public:
  const char* name() const override { return "ardupilot"; }
  const char* fileName() const override { return "tiltfit.param"; }
  const char* summary() const override {
    return "ArduPilot parameters: INS_ACCOFFS_*, INS_ACCSCAL_* (diagonal), INS_GYROFFS_*";
  }

  ExportText write(const ImuModel& m) const override {
    ExportText out;
    std::string& t = out.text;
    const std::string n = m.sensorIndex > 0 ? std::to_string(m.sensorIndex + 1) : "";
    static const char* const axes[3] = {"X", "Y", "Z"};
    t += "# ArduPilot accelerometer calibration from tiltfit, for IMU " +
         std::to_string(m.sensorIndex + 1) + ", in the axes of the recording.\n";
    if (!m.source.empty()) t += "# " + m.source + "\n";
    t += "# corrected = (raw - INS_ACC" + n + "OFFS) * INS_ACC" + n +
         "SCAL per axis; offsets in m/s^2 (1 g = 9.80665 m/s^2).\n";
    if (!m.accel.present) {
      t += "# no accelerometer calibration to write\n";
      out.notes.push_back("no accelerometer calibration: no INS_ACC parameters written");
    } else {
      const DiagonalForm d = diagonalForm(accelSI(m, kStandardGravity));
      t += "# " + d.comment + "\n";
      out.notes.push_back("ArduPilot's scales are diagonal: " + d.comment);
      for (int i = 0; i < 3; ++i)
        t += "INS_ACC" + n + "OFFS_" + axes[i] + "," + general(d.offset[i], 9) + "\n";
      for (int i = 0; i < 3; ++i) {
        t += "INS_ACC" + n + "SCAL_" + axes[i] + "," + general(d.scale[i], 9) + "\n";
        if (!(d.scale[i] >= 0.8 && d.scale[i] <= 1.2))
          out.notes.push_back(std::string("INS_ACC") + n + "SCAL_" + axes[i] + " = " +
                              general(d.scale[i], 4) +
                              " lies outside 0.8-1.2, which ArduPilot refuses");
      }
      out.notes.push_back("ArduPilot applies these only while INS_ACC" + n +
                          "_ID matches the IMU: load them on the board they were recorded on");
    }
    if (m.gyro.present) {
      const SICalibration g = gyroSI(m);
      Matrix3 inv;
      inverse(g.A, inv);
      t += "# gyro offsets, rad/s: the raw reading at rest; ArduPilot measures them again at "
           "every\n";
      t += "# boot while INS_GYR_CAL is 1\n";
      const std::string gn = m.sensorIndex > 0 ? "INS_GYR" + n + "OFFS_" : "INS_GYROFFS_";
      for (int i = 0; i < 3; ++i) {
        double v = 0.0;
        for (int j = 0; j < 3; ++j) v -= inv[i][j] * g.b[j];
        t += gn + axes[i] + "," + general(v, 9) + "\n";
      }
    }
    return out;
  }
};

}  // namespace

const ExportFormat& ardupilotFormat() {
  static const ArduPilot f;
  return f;
}

}  // namespace exports
}  // namespace report
}  // namespace tiltfit
