// tiltfit_gen: writes a synthetic six-orientation recording as CSV (see recording_generator.h).
//
//   tiltfit_gen [--rest N] [--transition N] [--order zu,zd,xu,xd,yu,yd] [--noise G] [--quantum G]
//               [--offset X,Y,Z] [--gain K11,K12,...,K33] [--units g|ms2] [--seed N]
//               [--tilt DEG] [--extra K] [--cycles N] [--counts SCALE,OFFSET] [--hold K]
//               [--cross XY,XZ,YZ] [--wobble MG] [--wobble-extra MG] [--wobble-time N]
//               [--motion N] [--motion-speed DEG] [--tilt-min DEG] [--rest-bias MG]
//               [--truth] [-o FILE]
//
// --tilt tilts every rest of the order by up to DEG degrees, --extra adds K rests at random
// directions after the last of --cycles repetitions of the order, --counts writes whole raw counts
// round(g * SCALE + OFFSET). --order none leaves the six orientations out (rests at random
// directions only, with --extra). --hold logs each sensor value K times. --cross sets the sensor's
// cross-axis terms (symmetric, after --gain). --wobble / --wobble-extra make every rest / the extra
// rests hand-held, wobbling by MG mg with a correlation time of --wobble-time samples. --motion
// appends N samples of continuous turning at --motion-speed degrees per sample. --tilt-min draws
// the tilts from [--tilt-min, --tilt] instead. --rest-bias gives every rest an extra offset of MG
// mg per axis that no linear model explains. --truth prints, on standard error, the gain matrix and offset the tool
// should report (for counts: the calibration from counts to g).
//
// With --gyro, or any of the options below, the session has a gyroscope and a time column (see
// imu_generator.h); the accelerometer options above give its accelerometer's model:
//
//   tiltfit_gen --gyro [--rate HZ] [--rest-time S] [--move-time S] [--faces zu,xu,...]
//               [--random-poses K] [--heading DEG] [--path-wobble DEG] [--face-turns]
//               [--turntable N] [--turn-time S] [--joined [--restart]] [--gaps K] [--gap-time S]
//               [--gyro-matrix M11,...,M33] [--gyro-bias X,Y,Z] [--gyro-drift X,Y,Z]
//               [--gyro-noise DEGS] [--gyro-units rad|deg|counts] [--gyro-counts PERDEGS,ZERO]
//               [--gyro-quantum Q] [--gyro-range DEGS] [--time s|ms|us|ns|counter|none]
//               [--epoch] [--jitter S] [--stamp-step S] [--repeat P] [--interleave PERIODS]
//               [--gyro-first] [--gyro-names A,B,C] [--time-name NAME]
//
// Gyro bias in deg/s, drift in deg/s per hour, noise in deg/s per sample. --truth then also
// prints the gyro's calibration (rad/s, row form, in the accelerometer's true frame) at time 0.
//
//   tiltfit_gen --still SECONDS [--rate HZ] [--accel-units g|ms2|counts] [--accel-counts PER_G]
//               [--gyro-units rads|degs|counts] [--gyro-counts PER_DEG_S]
//               [--accel-white N] [--accel-walk K] [--accel-markov SIGMA,SECONDS] [--accel-bias B]
//               [--gyro-white N] [--gyro-walk K] [--gyro-markov SIGMA,SECONDS] [--gyro-bias B]
//               [--gravity G] [--up X,Y,Z] [--columns t,ax,ay,az,gx,gy,gz]
//               [--event none|turn|bump] [--event-at S] [--event-seconds S] [--turn DEG]
//               [--seed N] [--truth] [-o FILE]
//
// writes a still six-axis recording instead (see still_generator.h): noise figures in SI units
// (m/s^2 and rad/s; N per sqrt(Hz), K per sqrt(s), one number for all axes or X,Y,Z), the
// accelerometer in g, m/s^2 or counts (PER_G counts per g), the gyroscope in rad/s, deg/s or counts
// (PER_DEG_S counts per deg/s), with a turn or a bump in the middle when asked. --truth prints the
// model's figures per axis on standard error.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "imu_generator.h"
#include "recording_generator.h"
#include "still_generator.h"

namespace {

int imuMain(const std::vector<std::string>& argv) {
  const tiltfit_gen::ImuArguments args = tiltfit_gen::parseImuArguments(argv);
  const tiltfit_gen::ImuRecording rec = tiltfit_gen::generateImu(args.options);
  const char* outPath = args.output.empty() ? nullptr : args.output.c_str();
  std::FILE* out = outPath ? std::fopen(outPath, "wb") : stdout;
  if (out == nullptr) {
    std::perror(outPath);
    return 1;
  }
  tiltfit_gen::writeImuCsv(out, rec, args.options);
  if (out != stdout && std::fclose(out) != 0) {
    std::perror(outPath);
    return 1;
  }
  if (args.truth) {
    double G[9], b[3];
    tiltfit_gen::trueCalibration(args.options.accel, G, b);
    std::fprintf(stderr, "accOffset:\n[ %.9g %.9g %.9g ]\naccGainMatrix:\n", b[0], b[1], b[2]);
    for (int i = 0; i < 3; ++i) std::fprintf(stderr, "[ %.9g %.9g %.9g ]\n", G[i], G[i + 3], G[i + 6]);
    double gain[9], offset[3];
    tiltfit_gen::trueGyroCalibration(args.options, 0.0, gain, offset);
    std::fprintf(stderr, "gyroOffset:\n[ %.9g %.9g %.9g ]\ngyroGainMatrix:\n", offset[0], offset[1],
                 offset[2]);
    for (int i = 0; i < 3; ++i)
      std::fprintf(stderr, "[ %.9g %.9g %.9g ]\n", gain[3 * i], gain[3 * i + 1], gain[3 * i + 2]);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::string(argv[1]) == "--still") {
      const tiltfit_gen::StillArguments still =
          tiltfit_gen::parseStillArguments(std::vector<std::string>(argv + 2, argv + argc));
      std::FILE* out = still.output.empty() ? stdout : std::fopen(still.output.c_str(), "wb");
      if (out == nullptr) {
        std::perror(still.output.c_str());
        return 1;
      }
      const bool written = tiltfit_gen::writeStillCsv(out, still.options);
      if (!written || (out != stdout && std::fclose(out) != 0)) {
        std::perror(still.output.empty() ? "stdout" : still.output.c_str());
        return 1;
      }
      if (still.truth) std::fputs(tiltfit_gen::stillTruthText(still.options).c_str(), stderr);
      return 0;
    }
    const std::vector<std::string> all(argv + 1, argv + argc);
    if (tiltfit_gen::wantsImu(all)) return imuMain(all);
    const tiltfit_gen::Arguments args =
        tiltfit_gen::parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    const tiltfit_gen::Recording rec = tiltfit_gen::generate(args.options);
    const char* outPath = args.output.empty() ? nullptr : args.output.c_str();
    std::FILE* out = outPath ? std::fopen(outPath, "wb") : stdout;
    if (out == nullptr) {
      std::perror(outPath);
      return 1;
    }
    tiltfit_gen::writeCsv(out, rec);
    if (out != stdout && std::fclose(out) != 0) {
      std::perror(outPath);
      return 1;
    }
    if (args.truth) {
      double G[9], b[3];
      tiltfit_gen::trueCalibration(args.options, G, b);
      // The tool prints the transpose of G: calibrated = raw * accGainMatrix + accOffset. Gains
      // per count are small, so they get significant digits rather than six decimals.
      const char* row = args.options.countsScale != 0 ? "[ %.9g %.9g %.9g ]\n" : "[ %f %f %f ]\n";
      std::fprintf(stderr, "accOffset:\n[ %f %f %f ]\naccGainMatrix:\n", b[0], b[1], b[2]);
      for (int i = 0; i < 3; ++i) std::fprintf(stderr, row, G[i], G[i + 3], G[i + 6]);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tiltfit_gen: %s\n", e.what());
    return 2;
  }
  return 0;
}
