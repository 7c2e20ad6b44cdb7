// tiltfit_bench_gyro: how accurate the gyroscope's calibration is on generated sessions of every
// unit and time column (written as CSV and read back by column name, so that the layout counts
// too), on sessions that can only give a bias, on the real sessions in data/, how honest its
// uncertainty is, and what it costs on a long session. Prints tables.
//
//   tiltfit_bench_gyro [DATA_DIR] [ROWS]
//
// rate err: the worst relative rate error over all directions (largest singular value of
// A_fit A_true^-1 - I); bias err: the rate the calibration reports at rest, largest axis; gravity
// error: per move, the angle between the second rest's gravity and the first's carried through
// the calibrated rates (mean over the moves; held out: each move from a fit without its fold).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gyro_session.h"

namespace {

using namespace tiltfit_test;

tiltfit_gen::ImuOptions sensor(std::uint64_t seed) {
  tiltfit_gen::ImuOptions o;
  o.accel.seed = seed;
  const double M[9] = {1.012, 0.004, -0.006, -0.003, 0.986, 0.008, 0.005, -0.002, 1.021};
  std::copy(M, M + 9, o.gyroMatrix);
  o.gyroBias[0] = 0.5;
  o.gyroBias[1] = -0.3;
  o.gyroBias[2] = 0.2;
  o.randomPoses = 4;
  o.faceTurns = true;
  return o;
}

struct Case {
  const char* name;
  const char* units;
  double countsPerDegS, zero;
  const char* time;
  bool epoch, gyroFirst;
  double jitter, stampStep;
  bool joined;
};

double seconds(std::chrono::steady_clock::time_point a) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

// The session written as CSV and read back by the header's names.
struct ReadBack {
  Columns c;
  gyro::TimeBase time;
  gyro::GyroSeries series;
};

void readBack(const tiltfit_gen::ImuOptions& o, const tiltfit_gen::ImuRecording& rec, ReadBack& r) {
  char path[] = "/tmp/tiltfit_gyro_XXXXXX";
  const int fd = mkstemp(path);
  std::FILE* f = fdopen(fd, "wb");
  tiltfit_gen::writeImuCsv(f, rec, o);
  std::fclose(f);
  r.c = loadCsv(path, 0);
  std::remove(path);
  const std::string names = o.gyroNames;
  const std::size_t a = names.find(','), b = names.rfind(',');
  const std::vector<double>& gx = r.c[names.substr(0, a)];
  const std::vector<double>& gy = r.c[names.substr(a + 1, b - a - 1)];
  const std::vector<double>& gz = r.c[names.substr(b + 1)];
  const std::string t = o.timeUnit;
  r.time = t == "counter" ? gyro::TimeBase::fromCounter(r.c[o.timeName].data(), gx.size(), o.rate)
           : t == "none"  ? gyro::TimeBase::fromRate(gx.size(), o.rate)
                          : gyro::TimeBase::fromStamps(r.c[o.timeName].data(), gx.size());
  r.series = gyro::GyroSeries();
  r.series.x = gx.data();
  r.series.y = gy.data();
  r.series.z = gz.data();
  r.series.n = gx.size();
  r.series.time = &r.time;
  double G[9], bb[3];
  tiltfit_gen::trueCalibration(o.accel, G, bb);
  r.series.ax = r.c["accx"].data();
  r.series.ay = r.c["accy"].data();
  r.series.az = r.c["accz"].data();
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r.series.accelGain[3 * j + i] = G[3 * i + j];
    r.series.accelOffset[i] = bb[i];
  }
}

void generated() {
  const Case cases[] = {
      {"rad/s, stamps in s, jitter 0.2 ms", "rad", 0, 0, "s", false, false, 2e-4, 0, false},
      {"deg/s, stamps in ms, jitter 0.1 ms", "deg", 0, 0, "ms", false, false, 1e-4, 0, false},
      {"counts 131/(deg/s) zero 32768, us", "counts", 131, 32768, "us", false, false, 5e-5, 0,
       false},
      {"counts 16.4/(deg/s), ns epoch", "counts", 16.4, 0, "ns", true, false, 1e-4, 0, false},
      {"deg/s, gyro columns first, ms", "deg", 0, 0, "ms", false, true, 1e-4, 0, false},
      {"rad/s, 10 ms stamps at 200 Hz", "rad", 0, 0, "ms", false, true, 0, 0.01, false},
      {"deg/s, six positions joined", "deg", 0, 0, "s", false, false, 1e-4, 0, true},
  };
  std::printf("\nGenerated sessions (6 faces, 4 random poses, 3 whole turns; gyro scales off by "
              "1-2 %%, axes by 0.3-0.5 deg)\n");
  std::printf("%-38s %-7s %-7s %10s %12s %12s %12s %12s  %s\n", "case", "method", "units",
              "rate err %", "bias deg/s", "grav before", "grav after", "held out", "advice");
  for (const Case& c : cases) {
    tiltfit_gen::ImuOptions o = sensor(7);
    o.gyroUnits = c.units;
    o.countsPerDegS = c.countsPerDegS;
    o.countsZero = c.zero;
    o.timeUnit = c.time;
    o.epoch = c.epoch;
    o.gyroFirst = c.gyroFirst;
    o.jitter = c.jitter;
    o.stampStep = c.stampStep;
    if (c.stampStep > 0) o.rate = 200;
    o.joined = c.joined;
    if (c.joined) o.faceTurns = false;
    if (c.gyroFirst) o.gyroNames = "gx,gy,gz";
    const tiltfit_gen::ImuRecording rec = tiltfit_gen::generateImu(o);
    ReadBack rb;
    readBack(o, rec, rb);
    double G[9], b[3];
    tiltfit_gen::trueCalibration(o.accel, G, b);
    const auto poses = posesOf(rb.c["accx"], rb.c["accy"], rb.c["accz"], G, b,
                               static_cast<std::size_t>(0.2 * o.rate));
    const gyro::GyroResult r = gyro::calibrateGyro(rb.series, poses);
    double g[9], tb[3];
    tiltfit_gen::trueGyroCalibration(o, 0.0, g, tb);
    if (r.method == "moves") {
      std::printf("%-38s %-7s %-7s %10.4f %12.5f %12.3f %12.4f %12.4f\n", c.name, r.method.c_str(),
                  r.units.name.c_str(), 100 * worstRateError(r.gain, g),
                  biasErrorDegS(r.gain, r.offset, g, tb), r.before.meanDeg, r.after.meanDeg,
                  r.heldOut.meanDeg);
    } else {
      // The raw bias in the file's deg/s against the generator's.
      double worst = 0.0;
      for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(r.biasRaw[k] - o.gyroBias[k]));
      bool anyGain = false;
      for (double v : r.gain) anyGain = anyGain || v != 0.0;
      std::printf("%-38s %-7s %-7s %10s %12.5f %12s %12s %12s  %s%s\n", c.name, r.method.c_str(),
                  "-", anyGain ? "CLAIMED" : "none", worst, "-", "-", "-",
                  r.advice.empty() ? "" : r.advice.front().c_str(), "");
    }
  }
}

void realFiles(const std::string& dir) {
  std::printf("\nReal sessions (gravity error per move, deg: mean / rms / worst)\n");
  std::printf("%-30s %-7s %-26s %-22s %-22s %-22s %10s %8s\n", "file", "method", "units",
              "before", "after", "held out", "expected", "turns");
  struct File {
    const char* name;
    int skip;
    const char *gx, *gy, *gz, *ax, *ay, *az, *counter;
    double perG, rate;
  };
  const File files[] = {
      {"imucal_ferraris_imu.csv", 0, "gyr_x", "gyr_y", "gyr_z", "acc_x", "acc_y", "acc_z",
       "n_samples", 9.81, 102.4},
      {"tomisuarez_mpu6050_imu.csv", 4, "gx", "gy", "gz", "ax", "ay", "az", nullptr, 16384.0,
       100.0},
  };
  for (const File& f : files) {
    const Columns c = loadCsv(dir + "/" + f.name, f.skip);
    const std::size_t n = c[f.gx].size();
    const gyro::TimeBase time = f.counter != nullptr
                                    ? gyro::TimeBase::fromCounter(c[f.counter].data(), n, f.rate)
                                    : gyro::TimeBase::fromRate(n, f.rate);
    gyro::GyroSeries s;
    const auto poses = realPoses(c[f.ax], c[f.ay], c[f.az], f.perG, 20, s);
    s.x = c[f.gx].data();
    s.y = c[f.gy].data();
    s.z = c[f.gz].data();
    s.n = n;
    s.time = &time;
    s.ax = c[f.ax].data();
    s.ay = c[f.ay].data();
    s.az = c[f.az].data();
    const gyro::GyroResult r = gyro::calibrateGyro(s, poses);
    char before[64], after[64], held[64], turns[64];
    std::snprintf(before, sizeof before, "%.3f / %.3f / %.3f", r.before.meanDeg, r.before.rmsDeg,
                  r.before.worstDeg);
    std::snprintf(after, sizeof after, "%.3f / %.3f / %.3f", r.after.meanDeg, r.after.rmsDeg,
                  r.after.worstDeg);
    std::snprintf(held, sizeof held, "%.3f / %.3f / %.3f", r.heldOut.meanDeg, r.heldOut.rmsDeg,
                  r.heldOut.worstDeg);
    std::snprintf(turns, sizeof turns, "%zu", r.wholeTurns);
    std::printf("%-30s %-7s %-26s %-22s %-22s %-22s %10.3f %8s\n", f.name, r.method.c_str(),
                r.units.note.substr(0, 26).c_str(), before, after, held, r.expectedErrorDeg, turns);
    for (const gyro::Move& m : r.moves)
      if (m.wholeTurn)
        std::printf("    whole turn rows %zu-%zu: %.2f deg after calibration (%.2f deg off)\n",
                    m.first, m.last, m.turnDeg, std::abs(m.turnDeg) - 360.0 * std::abs(m.turns));
  }
}

void honesty() {
  const int kSeeds = 20;
  double a2 = 0, e2 = 0, worst = 0, best = 1e9;
  for (int seed = 1; seed <= kSeeds; ++seed) {
    tiltfit_gen::ImuOptions o = sensor(static_cast<std::uint64_t>(seed) * 101);
    o.faceTurns = false;
    o.randomPoses = 2;
    o.gyroNoise = 0.1;
    const Session s = makeSession(o);
    const gyro::GyroResult r = gyro::calibrateGyro(s.series(), s.poses);
    double g[9], b[3];
    tiltfit_gen::trueGyroCalibration(o, 0.0, g, b);
    const Eigen::Matrix3d E =
        columnForm(r.gain) * columnForm(g).inverse() - Eigen::Matrix3d::Identity();
    double sum = 0.0;
    for (int i = 0; i < 200; ++i) {
      const double z = 1.0 - (2.0 * i + 1.0) / 200;
      const double rho = std::sqrt(1.0 - z * z), phi = i * M_PI * (3.0 - std::sqrt(5.0));
      const Eigen::Vector3d n(rho * std::cos(phi), rho * std::sin(phi), z);
      const Eigen::Vector3d d = E * n * (M_PI / 2.0);
      const double along = d.dot(n);
      sum += along * along + 0.5 * (d.squaredNorm() - along * along);
    }
    const double actual = std::sqrt(sum / 200) * 180.0 / M_PI;
    a2 += actual * actual;
    e2 += r.expectedErrorDeg * r.expectedErrorDeg;
    worst = std::max(worst, actual / r.expectedErrorDeg);
    best = std::min(best, actual / r.expectedErrorDeg);
  }
  std::printf("\nUncertainty over %d sessions: rms actual 90 deg move error %.4f deg, rms expected "
              "%.4f deg, ratio %.2f (per session %.2f to %.2f)\n",
              kSeeds, std::sqrt(a2 / kSeeds), std::sqrt(e2 / kSeeds), std::sqrt(a2 / e2), best,
              worst);
}

void cost(std::size_t rows) {
  // Rests of 8 s and moves of about 2 s at 1 kHz: moves are about 20 % of the rows.
  tiltfit_gen::ImuOptions o = sensor(3);
  o.rate = 1000;
  o.restSeconds = 8.0;
  o.moveSeconds = 1.6;
  o.faceTurns = false;
  o.randomPoses = std::max(1, static_cast<int>(rows / 10400) - 5);
  o.accel.noise = 0.002;
  auto t0 = std::chrono::steady_clock::now();
  const tiltfit_gen::ImuRecording rec = tiltfit_gen::generateImu(o);
  const double generate = seconds(t0);
  double G[9], b[3];
  tiltfit_gen::trueCalibration(o.accel, G, b);
  t0 = std::chrono::steady_clock::now();
  const auto poses = posesOf(rec.ax, rec.ay, rec.az, G, b, 200);
  const double accel = seconds(t0);
  t0 = std::chrono::steady_clock::now();
  const gyro::TimeBase time = gyro::TimeBase::fromStamps(rec.time.data(), rec.time.size());
  const double timeBase = seconds(t0);
  gyro::GyroSeries s;
  s.x = rec.gx.data();
  s.y = rec.gy.data();
  s.z = rec.gz.data();
  s.n = rec.gx.size();
  s.time = &time;
  t0 = std::chrono::steady_clock::now();
  const gyro::BiasModel bias = gyro::findGyroRests(s, poses);
  const double rests = seconds(t0);
  t0 = std::chrono::steady_clock::now();
  const std::vector<gyro::Move> moves = gyro::findMoves(s, bias);
  const double findMoves = seconds(t0);
  std::size_t moveRows = 0;
  for (const gyro::Move& m : moves) moveRows += m.last - m.first + 1;
  t0 = std::chrono::steady_clock::now();
  const gyro::GyroResult r = gyro::calibrateGyro(s, poses);
  const double whole = seconds(t0);
  double g[9], tb[3];
  tiltfit_gen::trueGyroCalibration(o, 0.0, g, tb);
  std::printf("\nCost: %zu rows (%zu in %zu moves, %.0f %%), generated in %.2f s, accelerometer "
              "stretches %.2f s\n",
              rec.gx.size(), moveRows, moves.size(), 100.0 * double(moveRows) / double(rec.gx.size()),
              generate, accel);
  std::printf("  time base %.3f s; gyro rests %.3f s; moves %.3f s; calibrateGyro in all %.3f s "
              "(%.1f ns per move row, %.1f ns per row); %s, rate err %.4f %%\n",
              timeBase, rests, findMoves, whole, 1e9 * whole / double(moveRows),
              1e9 * whole / double(rec.gx.size()), r.method.c_str(),
              100 * worstRateError(r.gain, g));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : TILTFIT_SOURCE_DIR "/data";
  const std::size_t rows = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10000000;
  generated();
  realFiles(dir);
  honesty();
  cost(rows);
  return 0;
}
