// Calibrations of the real recordings in data/: the fitted model must turn every physical rest into
// a 1 g reading along its axis.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "libOrr_accTools.h"

namespace {

struct Rest {
  int axis;   // 0 = x, 1 = y, 2 = z
  int first;  // rows after the header, inclusive
  int last;
};

struct Recording {
  const char* file;
  const char* params[5];
  std::vector<Rest> rests;
};

std::string dataPath(const char* file) { return std::string(TILTFIT_SOURCE_DIR) + "/data/" + file; }

class RealDataTest : public ::testing::TestWithParam<Recording> {};

TEST_P(RealDataTest, EveryRestBecomesOneGAlongItsAxis) {
  const Recording& r = GetParam();
  const std::string path = dataPath(r.file);

  ACCTOOLS tools;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(tools.readAccelerometerMeasures(path));
  testing::internal::GetCapturedStderr();
  double p[5];
  for (int k = 0; k < 5; ++k) p[k] = std::stod(r.params[k]);
  tools.accCalibration(p[0], p[1], p[2], p[3], p[4]);
  const ACCTOOLS::ACCRESULT& result = tools.getAccCalibResult();
  ASSERT_TRUE(result.isCalibrationSuccess);

  const auto& m = tools.getAccelerometerMeasures();
  for (const Rest& rest : r.rests) {
    // The middle 80 % of the rest, shifted by one for the header row.
    const int margin = (rest.last - rest.first) / 10;
    double raw[3] = {0, 0, 0};
    int count = 0;
    for (int row = rest.first + margin + 1; row <= rest.last - margin + 1; ++row, ++count)
      for (int j = 0; j < 3; ++j) raw[j] += m[static_cast<size_t>(j)][static_cast<size_t>(row)];
    double c[3];
    for (int j = 0; j < 3; ++j) {
      c[j] = result.accOffset[j];
      for (int i = 0; i < 3; ++i)
        c[j] +=
            raw[i] / count * result.accGainMatrix[static_cast<size_t>(i)][static_cast<size_t>(j)];
    }
    const double norm = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    SCOPED_TRACE(std::string(r.file) + " rest at row " + std::to_string(rest.first));
    EXPECT_NEAR(norm, 1.0, 0.01);
    // Along its axis, with the sign of the raw reading; hand-held rests may lean a few degrees.
    EXPECT_GT(c[rest.axis] * (raw[rest.axis] > 0 ? 1.0 : -1.0), 0.98);
  }
}

INSTANTIATE_TEST_SUITE_P(Recordings, RealDataTest,
                         ::testing::Values(Recording{"imucal_ferraris_g.csv",
                                                     {"10", "20", "1e-3", "200", "4e-3"},
                                                     {{0, 394, 1366},
                                                      {0, 1522, 2498},
                                                      {1, 2611, 3472},
                                                      {1, 3626, 4271},
                                                      {2, 4390, 5118},
                                                      {2, 5274, 6087}}},
                                           Recording{"mpu6050_tomisuarez_g.csv",
                                                     {"15", "20", "2e-3", "150", "8e-3"},
                                                     {{2, 0, 3735},
                                                      {2, 4200, 4415},
                                                      {0, 4839, 5070},
                                                      {0, 5475, 5812},
                                                      {1, 6085, 6491},
                                                      {1, 6897, 7169}}}),
                         [](const ::testing::TestParamInfo<Recording>& p) {
                           const std::string name = p.param.file;
                           return name.substr(0, name.rfind('.'));
                         });

}  // namespace
