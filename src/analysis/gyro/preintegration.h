// A move's samples summed into short blocks once, so that the fit can carry a gravity direction
// through the move for any gain matrix, with its Jacobian, at the cost of a pass over the blocks
// rather than over the samples. The equations are at the top of gyroFit.cpp.
#ifndef TILTFIT_ANALYSIS_GYRO_PREINTEGRATION_H
#define TILTFIT_ANALYSIS_GYRO_PREINTEGRATION_H

#include <cstddef>
#include <vector>

#include "gyro/gyroBias.h"
#include "gyro/gyroSeries.h"
#include "gyro/moves.h"

namespace tiltfit {
namespace analysis {
namespace gyro {

// One block of consecutive samples, with d_i = raw_i - bias(t_i) and dt_i the step of sample i:
// s = sum_i d_i dt_i (raw units times seconds), c = 1/2 sum_{i<j} (d_i dt_i) x (d_j dt_j).
struct RotationBlock {
  double s[3];
  double c[3];
};

// Appends the blocks of move m to `out`: a block closes when |s| reaches maxRaw (raw units times
// seconds; the fit passes its block angle times the units per rad/s) or after 512 samples.
// Returns the number of blocks appended.
std::size_t appendBlocks(const GyroSeries& series, const BiasModel& bias, const Move& m,
                         double maxRaw, std::vector<RotationBlock>& out);

// What carrying a world-fixed direction through a move gives, for the calibration w = x d / u
// (x 3 x 3 row-major, dimensionless; u units per rad/s).
struct Carried {
  double p[3];     // the direction seen in the body frame at the end of the move
  double psi;      // integrated angle about the carried direction (rad)
  double dp[27];   // d p_i / d x_rc at 9 i + 3 r + c
  double dpsi[9];  // d psi / d x_rc at 3 r + c
};

// Carries unit vector a through `count` blocks; the Jacobians only when `jacobian`.
void carry(const RotationBlock* blocks, std::size_t count, const double x[9], double u,
           const double a[3], bool jacobian, Carried& out);

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit

#endif
