#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "accelcal.h"
#include "getAccCalib.h"
#include "movmean.h"
#include "recording_generator.h"
#include "test_util.h"

namespace {

using tiltfit_test::expectClose;
using tiltfit_test::kEps;
using Row = std::array<double, 3>;

// Six-set fit on rows given per input (x up, x down, y up, y down, z up, z down).
struct Fit {
  double A[9];
  double b[3];
};

Fit fit(const std::array<std::vector<Row>, 6>& sets) {
  coder::array<double, 2> in[6];
  for (int s = 0; s < 6; ++s) {
    const int m = static_cast<int>(sets[static_cast<size_t>(s)].size());
    in[s].set_size(m, 3);
    for (int r = 0; r < m; ++r)
      for (int h = 0; h < 3; ++h)
        in[s][r + m * h] =
            sets[static_cast<size_t>(s)][static_cast<size_t>(r)][static_cast<size_t>(h)];
  }
  Fit f;
  coder::accelcal(in[0], in[1], in[2], in[3], in[4], in[5], f.A, f.b);
  return f;
}

// One ideal sample per orientation, each mapped through raw = M * ideal * scale + bias.
std::array<std::vector<Row>, 6> ideal(double scale = 1.0, Row bias = {0, 0, 0},
                                      const double* M = nullptr) {
  std::array<std::vector<Row>, 6> sets;
  for (int s = 0; s < 6; ++s) {
    double u[3] = {0, 0, 0};
    u[s / 2] = (s % 2 == 0) ? -1.0 : 1.0;
    Row r;
    for (int i = 0; i < 3; ++i) {
      double v = M ? M[3 * i] * u[0] + M[3 * i + 1] * u[1] + M[3 * i + 2] * u[2] : u[i];
      r[static_cast<size_t>(i)] = v * scale + bias[static_cast<size_t>(i)];
    }
    sets[static_cast<size_t>(s)] = {r, r};
  }
  return sets;
}

void expectFit(const Fit& f, const std::vector<double>& A, const std::vector<double>& b,
               double tol) {
  for (int k = 0; k < 9; ++k) expectClose(f.A[k], A[static_cast<size_t>(k)], 0, tol);
  for (int k = 0; k < 3; ++k) expectClose(f.b[k], b[static_cast<size_t>(k)], 0, tol);
}

const std::vector<double> kIdentity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
const std::vector<double> kZero3 = {0, 0, 0};

TEST(AccelcalTest, IdealReadingsGiveIdentityInGAndInMetres) {
  expectFit(fit(ideal()), kIdentity, kZero3, 8 * kEps);
  expectFit(fit(ideal(9.81)), kIdentity, kZero3, 8 * kEps);
  expectFit(fit(ideal(-1.0)), {-1, 0, 0, 0, -1, 0, 0, 0, -1}, kZero3, 8 * kEps);
}

TEST(AccelcalTest, BiasAndScaleAreUndone) {
  expectFit(fit(ideal(1.0, {0.1, -0.2, 0.05})), kIdentity, {-0.1, 0.2, -0.05}, 16 * kEps);
  // A mean magnitude of 2 is still "g", so the fit halves.
  expectFit(fit(ideal(2.0)), {0.5, 0, 0, 0, 0.5, 0, 0, 0, 0.5}, kZero3, 8 * kEps);
}

TEST(AccelcalTest, MixingMatrixIsInvertedRowByRow) {
  const double M[9] = {1.05, 0.02, -0.01, 0.03, 0.97, 0.015, -0.02, 0.01, 1.02};
  const Fit f = fit(ideal(1.0, {0, 0, 0}, M));
  // Check A * M = I with A read row by row.
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double s = 0;
      for (int k = 0; k < 3; ++k) s += f.A[3 * i + k] * M[3 * k + j];
      expectClose(s, i == j ? 1.0 : 0.0, 0, 64 * kEps);
    }
}

TEST(AccelcalTest, UnitDecisionIsStrictlyAboveHalfOfG) {
  // Two samples of magnitude m: the x gain is g / m.
  for (const double m : {4.905, std::nextafter(4.905, 10.0)}) {
    std::array<std::vector<Row>, 6> sets;
    sets[0] = {Row{-m, 0, 0}};
    sets[1] = {Row{m, 0, 0}};
    const double g = m > 4.905 ? 9.81 : 1.0;
    expectClose(fit(sets).A[0], g / m, 4 * kEps);
  }
  // Components near 1e200 keep finite magnitudes, so the data count as m/s^2.
  expectClose(fit(ideal(1e200)).A[0], 9.81e-200, 16 * kEps);
}

TEST(AccelcalTest, DegenerateSampleSets) {
  expectFit(fit({}), std::vector<double>(9, 0.0), kZero3, 0);
  std::array<std::vector<Row>, 6> zeros;
  for (auto& s : zeros) s = {Row{0, 0, 0}};
  expectFit(fit(zeros), std::vector<double>(9, 0.0), kZero3, 0);
  zeros[0].push_back(Row{0, 0, 0});
  expectFit(fit(zeros), std::vector<double>(9, 0.0), {-1.0 / 7, 0, 0}, 4 * kEps);
}

TEST(AccelcalTest, FourSamplesUseTheSquareElimination) {
  std::array<std::vector<Row>, 6> sets;
  sets[0] = {Row{-1, 0, 0}};
  sets[1] = {Row{1, 0, 0}};
  sets[2] = {Row{0, -1, 0}};
  sets[4] = {Row{0, 0, -1}};
  expectFit(fit(sets), kIdentity, kZero3, 4 * kEps);
  // Nothing excites z: the zero pivot only meets zeros, so the result stays finite.
  sets[4].clear();
  sets[3] = {Row{0, 1, 0}};
  expectFit(fit(sets), {1, 0, 0, 0, 1, 0, 0, 0, 0}, kZero3, 4 * kEps);
  // Inconsistent x equations meet the zero pivot: x gains blow up, y is untouched.
  sets[0] = {Row{-1.1, 0, 0}};
  sets[1] = {Row{0.9, 0, 0}};
  const Fit f = fit(sets);
  EXPECT_FALSE(std::isfinite(f.A[0]) && std::isfinite(f.A[1]) && std::isfinite(f.A[2]));
  EXPECT_EQ(f.A[3], 0.0);
  EXPECT_EQ(f.A[4], 1.0);
  EXPECT_EQ(f.A[5], 0.0);
  EXPECT_EQ(f.b[1], 0.0);
}

// ---- the pipeline -------------------------------------------------------------------------

struct Calibration {
  bool ok;
  double offset[3];
  double gain[9];
};

Calibration calibrate(const tiltfit_gen::Recording& rec, double tolerancePct = 5,
                      double window = 50, double diffThreshold = 5e-4, double width = 1000,
                      double delta = 2e-3) {
  coder::array<double, 2> x;
  const int n = static_cast<int>(rec.x.size());
  x.set_size(n, 3);
  for (int k = 0; k < n; ++k) {
    x[k] = rec.x[static_cast<size_t>(k)];
    x[k + n] = rec.y[static_cast<size_t>(k)];
    x[k + 2 * n] = rec.z[static_cast<size_t>(k)];
  }
  Calibration c;
  for (double& v : c.offset) v = std::numeric_limits<double>::quiet_NaN();
  for (double& v : c.gain) v = std::numeric_limits<double>::quiet_NaN();
  boolean_T result = 1;
  getAccCalib(x, tolerancePct, window, diffThreshold, width, delta, c.offset, c.gain, &result);
  c.ok = result != 0;
  return c;
}

tiltfit_gen::Options sensor(std::uint64_t seed) {
  tiltfit_gen::Options o;
  o.seed = seed;
  const double K[9] = {1.02, 0.005, -0.004, 0.006, 0.98, 0.003, -0.005, 0.004, 1.01};
  std::copy(K, K + 9, o.gain);
  o.offset[0] = 0.02;
  o.offset[1] = -0.015;
  o.offset[2] = 0.03;
  return o;
}

// gain holds the fit's nine values, which read row by row form G (calibrated = G * raw + offset).
void expectRecovered(const double* gain, const double* offset, const tiltfit_gen::Options& o,
                     double offsetTol) {
  double G[9], b[3];
  tiltfit_gen::trueCalibration(o, G, b);
  for (int i = 0; i < 3; ++i) {
    expectClose(offset[i], b[i], 0, offsetTol);
    for (int j = 0; j < 3; ++j) expectClose(gain[3 * i + j], G[3 * i + j], 0, 1e-3);
  }
}

TEST(GetAccCalibTest, RecoversAKnownSensorInG) {
  for (std::uint64_t seed : {1ULL, 2ULL, 3ULL}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const tiltfit_gen::Options o = sensor(seed);
    const Calibration c = calibrate(tiltfit_gen::generate(o));
    ASSERT_TRUE(c.ok);
    expectRecovered(c.gain, c.offset, o, 1e-3);
  }
}

// The window search works in g, so m/s^2 data are checked on the fit: the smoothed rest stretches
// of a metric recording go straight to accelcal.
TEST(GetAccCalibTest, FitRecoversAKnownSensorInMetres) {
  tiltfit_gen::Options o = sensor(4);
  o.metric = true;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  const std::vector<double>* cols[3] = {&rec.x, &rec.y, &rec.z};
  coder::array<double, 1> raw, smooth[3];
  for (int h = 0; h < 3; ++h) {
    tiltfit_test::fill(raw, *cols[h]);
    coder::movmean(raw, 50, smooth[h]);
  }
  coder::array<double, 2> sets[6];
  for (const tiltfit_gen::Rest& r : rec.rests) {
    coder::array<double, 2>& s = sets[2 * r.axis + (r.level > 0 ? 1 : 0)];
    const int first = r.first + 500;
    s.set_size(1000, 3);
    for (int k = 0; k < 1000; ++k)
      for (int h = 0; h < 3; ++h) s[k + 1000 * h] = smooth[h][first + k];
  }
  double A[9], b[3];
  coder::accelcal(sets[0], sets[1], sets[2], sets[3], sets[4], sets[5], A, b);
  expectRecovered(A, b, o, 9.81e-3);
}

TEST(GetAccCalibTest, MissingOrientationFailsButStillWritesOutputs) {
  tiltfit_gen::Options o = sensor(5);
  o.order = "zu,zd,xu,xd,yu";
  const Calibration c = calibrate(tiltfit_gen::generate(o));
  EXPECT_FALSE(c.ok);
  for (double v : c.offset) EXPECT_FALSE(std::isnan(v));
  for (double v : c.gain) EXPECT_FALSE(std::isnan(v));
}

TEST(GetAccCalibTest, WindowWidthsThatCannotSucceed) {
  tiltfit_gen::Options o = sensor(6);
  o.restSamples = 300;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  EXPECT_TRUE(calibrate(rec, 5, 50, 5e-4, 100, 2e-3).ok);
  EXPECT_FALSE(calibrate(rec, 5, 50, 5e-4, 1, 2e-3).ok);
  EXPECT_FALSE(calibrate(rec, 5, 50, 5e-4, 0.5, 2e-3).ok);
  const Calibration c = calibrate(rec, 5, 50, 5e-4, static_cast<double>(rec.x.size()), 2e-3);
  EXPECT_FALSE(c.ok);
  for (double v : c.gain) EXPECT_TRUE(std::isfinite(v));
}

TEST(GetAccCalibTest, SwappedColumnsSwapTheFoundOrientations) {
  const tiltfit_gen::Options o = sensor(7);
  tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  const Calibration c = calibrate(rec);
  std::swap(rec.x, rec.y);
  const Calibration s = calibrate(rec);
  ASSERT_TRUE(c.ok && s.ok);
  // Swapping raw x and y swaps both the rows and the columns of G and the offset's x and y.
  const int p[3] = {1, 0, 2};
  for (int i = 0; i < 3; ++i) {
    expectClose(s.offset[p[i]], c.offset[i], 0, 1e-9);
    for (int j = 0; j < 3; ++j) expectClose(s.gain[p[i] + 3 * p[j]], c.gain[i + 3 * j], 0, 1e-9);
  }
}

TEST(GetAccCalibTest, EmptyRecordingFailsWithZeroOutputs) {
  const Calibration c = calibrate(tiltfit_gen::Recording{});
  EXPECT_FALSE(c.ok);
  for (double v : c.offset) EXPECT_EQ(v, 0.0);
  for (double v : c.gain) EXPECT_EQ(v, 0.0);
}

TEST(GetAccCalibTest, NonFiniteSamplesAndArgumentsDoNotCrash) {
  tiltfit_gen::Options o = sensor(8);
  o.restSamples = 300;
  tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  rec.x[10] = std::numeric_limits<double>::quiet_NaN();
  rec.y[400] = std::numeric_limits<double>::infinity();
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double v : {nan, inf, -inf, -1.0, 0.0, 1e300, 1e-300}) {
    calibrate(rec, v, 50, 5e-4, 100, 2e-3);
    calibrate(rec, 5, v, 5e-4, 100, 2e-3);
    calibrate(rec, 5, 50, v, 100, 2e-3);
    calibrate(rec, 5, 50, 5e-4, v, 2e-3);
    calibrate(rec, 5, 50, 5e-4, 100, v);
  }
  EXPECT_FALSE(calibrate(rec, nan, 50, 5e-4, 100, 2e-3).ok);
}

}  // namespace
