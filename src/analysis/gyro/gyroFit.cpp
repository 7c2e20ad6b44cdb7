// Model. A calibrated rate (rad/s, in the accelerometer's calibrated frame) is, in column form,
//
//     w = A (raw - r0(t)),   i.e.   w = A raw + b_g  with  b_g = -A r0,
//
// and in row form, as the accelerometer reports, w = raw . G_g + b_g with G_g = A^T. r0 is the raw
// bias measured in the gyro's rests (gyroBias.h): their mean, or, when the rests show a drift,
// the value interpolated in time between the two rests around a move. The fit solves for
// x = u A, u the judged raw units per rad/s, so that its nine numbers are near the identity
// whatever the unit.
//
// Moves. Between rests k and k+1 (gravity directions a_k, a_{k+1}, unit vectors in the
// accelerometer's calibrated frame) the body turns by R = Exp(th_1) Exp(th_2) ... Exp(th_N),
// th_i = w_i dt_i (the per-sample exponential map: each sample's rate held over its step). A
// world-fixed vector seen in the body frame turns by the transpose: the carried direction is
//
//     p = R^T a_k,   residual  r = [e1 . p, e2 . p] / sigma,
//
// e1, e2 an orthonormal pair across a_{k+1} (two components: the angle between p and a_{k+1}
// for small errors), and
//
//     sigma^2 = sigma_k^2 + sigma_{k+1}^2 + (sigma_w^2 sum dt_i^2) + (sigma_b T)^2 + sigma_model^2,
//
// the two directions' standard errors, the gyro's white noise integrated over the move, the
// bias's uncertainty over its duration T, and 0.01 deg for what the model leaves out.
//
// Whole turns. A move whose gravity direction does not change (a turntable, the turns of a
// six-faces session) says nothing through p. Its angle about the vertical,
//
//     psi = sum_i ((p_{i-1} + p_i) / 2) . th_i,
//
// when within 0.15 turn of a whole number k != 0 of turns at the start, is an observation of the
// scale about the vertical: r_turn = (psi - 2 pi k) / sigma_turn, sigma_turn^2 = (0.2 deg)^2 +
// the noise terms above (a turn against a stop or a mark returns to its heading within about
// 0.2 deg). sigma_turn is a physical figure: unlike the moves' sigmas it is not scaled by their
// scatter.
//
// Pre-integration. The samples of a move are summed once, with d_i = raw_i - r0(t_i), into blocks
// of at most 2 deg: s = sum d_i dt_i and c = 1/2 sum_{i<j} d_i dt_i x d_j dt_j. For any x the
// block's rotation vector is, to second order in the block's angle,
//
//     th = x s / u + cof(x) c / u^2,   since (x v) x (x w) = cof(x) (v x w),
//
// (cof the cofactor matrix), which is the per-sample exponential map to within the third-order
// terms of the block's angle (below 1e-5 deg a block for smooth moves); with its derivative d th / d x_rc = delta_ir s_c / u + sum_l eps_irl (x_l x c)_c / u^2
// (x_l row l of x), the carried direction's Jacobian follows block by block as in IMU
// pre-integration: p' = Exp(-th) p and
//
//     dp' = Exp(-th) dp + [p']x Jr(th) dth,   Jr the right Jacobian of SO(3).
//
// Each iteration thus costs a pass over the blocks, not the samples.
//
// Prior, for what the moves do not fix: x_ii ~ N(1, 0.05^2), x_ij ~ N(0, 0.03^2) about the judged
// unit's identity (or the signed permutation of axes that fits the moves far better, when the
// gyro's axes are not the accelerometer's). Robust loss: Cauchy of scale 3 on each move, so that a
// move that went wrong (a bump, a slip) is set aside. When the moves scatter more than their
// sigmas say (hand-placed poses, a sensor model that is not the whole truth), every move's sigma
// is scaled by the scatter of the residuals, each weighted as the loss weighs it (an M-estimate,
// corrected for the nine numbers fitted), and the fit repeated; a median would be fooled by the
// many moves a nine-number fit matches exactly. Covariance: (J'J)^-1 at the solution, loss
// included, from Ceres' Jacobian (ceres::Covariance would start a thread).
//
// Unit. Before the fit, the moves that change the gravity direction by more than 20 deg give a
// first scale (raw angle over gravity angle), refined by a one-dimensional search of the scale
// that best carries their gravity directions with x the prior's centre; whole turns give it when
// nothing else does. The measured scale names the unit (gyroUnits.h).
//
// Held out. Each fold of the moves is left out of a refit (or, past 100 moves, of one
// Gauss-Newton step from the whole fit) and its moves' gravity errors taken from that.
#include "gyro/gyroFit.h"

#include <ceres/ceres.h>
#include <ceres/normal_prior.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "gyro/preintegration.h"

namespace tiltfit {
namespace analysis {
namespace gyro {
namespace {

constexpr double kDeg = M_PI / 180.0;
constexpr double kCauchyScale = 3.0;
constexpr double kTurnTolerance = 0.15;   // of a turn
constexpr double kTurnGravityDeg = 5.0;   // a whole turn leaves gravity within this
constexpr double kGravityMoveDeg = 20.0;  // moves that measure the unit
constexpr double kDeterminedShare = 0.2;  // posterior sigma below this share of the prior's
constexpr int kMaxRounds = 6;
constexpr std::size_t kExactFoldMoves = 100;
constexpr std::size_t kUnitMoves = 32;  // tipping moves that judge the unit and the axes  // moves up to which each fold is refitted

struct MoveData {
  std::size_t move = 0;  // index into the result's moves
  std::size_t blockStart = 0, blockCount = 0;
  double a0[3], a1[3], e1[3], e2[3];
  double sigma = 1.0;      // rad
  double sigmaTurn = 1.0;  // rad
  bool wholeTurn = false;
  int turns = 0;
};

void across(const double a[3], double e1[3], double e2[3]) {
  int least = 0;
  for (int k = 1; k < 3; ++k)
    if (std::abs(a[k]) < std::abs(a[least])) least = k;
  double t[3] = {0, 0, 0};
  t[least] = 1.0;
  const double d = t[0] * a[0] + t[1] * a[1] + t[2] * a[2];
  for (int k = 0; k < 3; ++k) e1[k] = t[k] - d * a[k];
  const double n = std::sqrt(e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]);
  for (int k = 0; k < 3; ++k) e1[k] /= n;
  e2[0] = a[1] * e1[2] - a[2] * e1[1];
  e2[1] = a[2] * e1[0] - a[0] * e1[2];
  e2[2] = a[0] * e1[1] - a[1] * e1[0];
}

double angleDeg(const double a[3], const double b[3]) {
  const double c[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                       a[0] * b[1] - a[1] * b[0]};
  return std::atan2(std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]),
                    a[0] * b[0] + a[1] * b[1] + a[2] * b[2]) /
         kDeg;
}

double median(std::vector<double> v) {
  if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

struct Context {
  const std::vector<RotationBlock>* blocks;
  double u;
};

// The gravity-direction error of a move for x, degrees.
double moveErrorDeg(const MoveData& m, const Context& ctx, const double x[9]) {
  Carried c;
  carry(ctx.blocks->data() + m.blockStart, m.blockCount, x, ctx.u, m.a0, false, c);
  return angleDeg(c.p, m.a1);
}

class MoveCost : public ceres::CostFunction {
 public:
  MoveCost(const MoveData& m, const Context& ctx, double scale) : m_(m), ctx_(ctx), scale_(scale) {
    set_num_residuals(m.wholeTurn ? 3 : 2);
    mutable_parameter_block_sizes()->push_back(9);
  }
  bool Evaluate(double const* const* parameters, double* residuals,
                double** jacobians) const override {
    const bool jac = jacobians != nullptr && jacobians[0] != nullptr;
    Carried c;
    carry(ctx_.blocks->data() + m_.blockStart, m_.blockCount, parameters[0], ctx_.u, m_.a0, jac,
          c);
    const double inv = 1.0 / (m_.sigma * scale_);
    residuals[0] = (m_.e1[0] * c.p[0] + m_.e1[1] * c.p[1] + m_.e1[2] * c.p[2]) * inv;
    residuals[1] = (m_.e2[0] * c.p[0] + m_.e2[1] * c.p[1] + m_.e2[2] * c.p[2]) * inv;
    // A whole turn's sigma is what a turn by hand returns to, not scaled with the moves' scatter.
    const double invTurn = 1.0 / m_.sigmaTurn;
    if (m_.wholeTurn) residuals[2] = (c.psi - 2.0 * M_PI * m_.turns) * invTurn;
    if (jac) {
      double* J = jacobians[0];
      for (int k = 0; k < 9; ++k) {
        J[k] = (m_.e1[0] * c.dp[k] + m_.e1[1] * c.dp[9 + k] + m_.e1[2] * c.dp[18 + k]) * inv;
        J[9 + k] = (m_.e2[0] * c.dp[k] + m_.e2[1] * c.dp[9 + k] + m_.e2[2] * c.dp[18 + k]) * inv;
        if (m_.wholeTurn) J[18 + k] = c.dpsi[k] * invTurn;
      }
    }
    return std::isfinite(residuals[0]) && std::isfinite(residuals[1]);
  }

 private:
  MoveData m_;
  Context ctx_;
  double scale_;
};

struct Solution {
  bool ok = false;
  double x[9];
  Eigen::Matrix<double, 9, 9> cov = Eigen::Matrix<double, 9, 9>::Zero();
  double scale = 1.0;
  std::vector<double> weight;  // per entry of `data`, 0 for those left out
};

// Fits x over the moves of `data` with use[k] set, from x0 with the prior about centre. With
// fixedScale > 0 the moves' sigmas are scaled by it and the scale is not estimated (a fold of
// the k-fold figure keeps the whole fit's).
Solution solveMoves(const std::vector<MoveData>& data, const std::vector<char>& use,
                    const Context& ctx, const double x0[9], const double centre[9],
                    const GyroOptions& o, bool covariance, double fixedScale = 0.0) {
  Solution sol;
  std::copy(x0, x0 + 9, sol.x);
  double scale = fixedScale > 0.0 ? fixedScale : 1.0;
  std::size_t components = 0;
  for (std::size_t k = 0; k < data.size(); ++k)
    if (use[k]) components += data[k].wholeTurn ? 3 : 2;
  for (int round = 0; round < kMaxRounds; ++round) {
    ceres::Problem::Options po;
    po.cost_function_ownership = ceres::TAKE_OWNERSHIP;
    po.loss_function_ownership = ceres::TAKE_OWNERSHIP;
    ceres::Problem problem(po);
    problem.AddParameterBlock(sol.x, 9);
    for (std::size_t k = 0; k < data.size(); ++k)
      if (use[k])
        problem.AddResidualBlock(new MoveCost(data[k], ctx, scale),
                                 new ceres::CauchyLoss(kCauchyScale), sol.x);
    Eigen::MatrixXd priorA = Eigen::MatrixXd::Zero(9, 9);
    Eigen::VectorXd priorMean(9);
    for (int k = 0; k < 9; ++k) {
      const bool diagonal = std::abs(centre[k]) > 0.5;
      priorA(k, k) = 1.0 / (diagonal ? o.scalePriorSigma : o.crossPriorSigma);
      priorMean[k] = centre[k];
    }
    problem.AddResidualBlock(new ceres::NormalPrior(priorA, priorMean), nullptr, sol.x);
    ceres::Solver::Options so;
    so.linear_solver_type = ceres::DENSE_QR;
    so.logging_type = ceres::SILENT;
    so.minimizer_progress_to_stdout = false;
    so.max_num_iterations = 100;
    so.function_tolerance = 1e-12;
    so.parameter_tolerance = 1e-12;
    so.gradient_tolerance = 1e-14;
    so.num_threads = 1;
    ceres::Solver::Summary summary;
    ceres::Solve(so, &problem, &summary);
    sol.ok = summary.IsSolutionUsable();
    for (double v : sol.x) sol.ok = sol.ok && std::isfinite(v);
    if (!sol.ok) return sol;

    // Residuals at the solution without the scale: the moves' scatter in their own sigmas.
    double weightedSquares = 0.0, weightedCount = 0.0;
    sol.weight.assign(data.size(), 0.0);
    for (std::size_t k = 0; k < data.size(); ++k) {
      if (!use[k]) continue;
      MoveCost cost(data[k], ctx, 1.0);
      double r[3] = {0, 0, 0};
      const double* params[1] = {sol.x};
      cost.Evaluate(params, r, nullptr);
      const int nr = data[k].wholeTurn ? 3 : 2;
      double s2 = 0.0;
      for (int q = 0; q < nr; ++q) s2 += r[q] * r[q];
      sol.weight[k] = 1.0 / (1.0 + s2 / (scale * scale * kCauchyScale * kCauchyScale));
      weightedSquares += sol.weight[k] * s2;
      weightedCount += sol.weight[k] * nr;
    }
    bool settled = true;
    if (components >= 12 && !(fixedScale > 0.0)) {
      // The mean square of the residuals, each move weighted as the loss weighs it (an
      // M-estimate of the scale), less the nine numbers fitted.
      const double m = static_cast<double>(components);
      const double robust = std::sqrt(weightedSquares / weightedCount * m / (m - 9.0));
      const double wanted = std::max(1.0, robust);
      if (std::abs(wanted - scale) > 0.05 * scale) settled = false;
      scale = wanted;
    }
    sol.scale = scale;
    if (settled || round + 1 == kMaxRounds) {
      if (!covariance) return sol;
      ceres::Problem::EvaluateOptions eo;
      eo.apply_loss_function = true;
      eo.num_threads = 1;
      ceres::CRSMatrix crs;
      if (!problem.Evaluate(eo, nullptr, nullptr, nullptr, &crs)) {
        sol.ok = false;
        return sol;
      }
      Eigen::MatrixXd J = Eigen::MatrixXd::Zero(crs.num_rows, crs.num_cols);
      for (int r = 0; r < crs.num_rows; ++r)
        for (int q = crs.rows[static_cast<std::size_t>(r)];
             q < crs.rows[static_cast<std::size_t>(r) + 1]; ++q)
          J(r, crs.cols[static_cast<std::size_t>(q)]) = crs.values[static_cast<std::size_t>(q)];
      const Eigen::MatrixXd inner =
          Eigen::MatrixXd(J.transpose() * J).completeOrthogonalDecomposition().pseudoInverse();
      sol.cov = inner;
      sol.ok = sol.cov.allFinite();
      return sol;
    }
  }
  return sol;
}

// The 48 signed permutation matrices, the identity first.
std::vector<std::array<double, 9>> signedPermutations() {
  std::vector<std::array<double, 9>> out;
  const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (const auto& p : perms)
    for (int signs = 0; signs < 8; ++signs) {
      std::array<double, 9> m{};
      for (int r = 0; r < 3; ++r)
        m[static_cast<std::size_t>(3 * r + p[r])] = (signs >> r) & 1 ? -1.0 : 1.0;
      out.push_back(m);
    }
  return out;
}

GyroQuality quality(const std::vector<double>& errors) {
  GyroQuality q;
  double sum = 0.0, sum2 = 0.0;
  for (double e : errors) {
    if (!std::isfinite(e)) continue;
    sum += e;
    sum2 += e * e;
    q.worstDeg = std::max(q.worstDeg, e);
    ++q.count;
  }
  if (q.count > 0) {
    q.meanDeg = sum / static_cast<double>(q.count);
    q.rmsDeg = std::sqrt(sum2 / static_cast<double>(q.count));
  }
  return q;
}

std::string fmt(const char* f, double v) {
  char buf[96];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

const char* axisName(int a) { return a == 0 ? "x" : a == 1 ? "y" : "z"; }

// RMS gravity-direction error of a 90 deg move about a random axis from the spread of x.
double expectedError90(const double x[9], const Eigen::Matrix<double, 9, 9>& cov) {
  Eigen::Matrix3d X;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) X(r, c) = x[3 * r + c];
  const Eigen::Matrix3d Xinv = X.inverse();
  if (!Xinv.allFinite()) return std::numeric_limits<double>::infinity();
  constexpr int kPoints = 400;
  const double golden = M_PI * (3.0 - std::sqrt(5.0));
  double sum = 0.0;
  for (int i = 0; i < kPoints; ++i) {
    const double z = 1.0 - (2.0 * i + 1.0) / kPoints;
    const double rho = std::sqrt(1.0 - z * z);
    const Eigen::Vector3d n(rho * std::cos(golden * i), rho * std::sin(golden * i), z);
    const Eigen::Vector3d m = Xinv * (n * (M_PI / 2.0));
    // d th_r / d x_rc = m_c.
    Eigen::Matrix<double, 3, 9> J = Eigen::Matrix<double, 3, 9>::Zero();
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) J(r, 3 * r + c) = m[c];
    const Eigen::Matrix3d C = J * cov * J.transpose();
    // Gravity across the axis, averaged around it: the error along n counts fully, the error
    // across n half.
    const double along = n.dot(C * n);
    sum += along + 0.5 * (C.trace() - along);
  }
  return std::sqrt(sum / kPoints) / kDeg;
}

}  // namespace

GyroResult calibrateGyro(const GyroSeries& series, const std::vector<StillPose>& poses,
                         const GyroOptions& o) {
  GyroResult res;
  res.method = "bias";
  if (series.time == nullptr || series.n == 0 || series.time->size() != series.n) {
    res.warnings.push_back("the gyro series has no time base of its length");
    return res;
  }
  res.timeNote = series.time->note();
  BiasModel bias = findGyroRests(series, poses);
  res.rests = bias.rests;
  for (int a = 0; a < 3; ++a) {
    res.biasRaw[a] = bias.mean[a];
    res.biasRawSigma[a] = bias.meanSigma[a];
    res.biasDriftPerHour[a] = bias.driftPerSecond[a] * 3600.0;
    res.biasSpread[a] = bias.spread[a];
    res.noiseRaw[a] = bias.noise[a];
  }
  res.biasDrifting = bias.drifting;
  if (bias.stillCount() == 0) {
    res.warnings.push_back("the gyro is still in none of the accelerometer's still stretches");
    res.advice.push_back("hold the sensor still for a few seconds before and after each turn");
    return res;
  }
  res.ok = true;
  std::vector<Move> moves = findMoves(series, bias);

  // A first scale: raw angle over gravity angle of the moves that tip gravity, else whole turns.
  const bool given = o.unitsPerRadS > 0.0;
  std::vector<double> ratios, turnRatios;
  for (const Move& m : moves) {
    if (m.gap || m.saturated) continue;
    if (m.gravityChangeDeg > kGravityMoveDeg)
      ratios.push_back(m.rawAngle / (m.gravityChangeDeg * kDeg));
    else if (m.gravityChangeDeg < kTurnGravityDeg && m.rawAngle > 0.0)
      turnRatios.push_back(m.rawAngle / (2.0 * M_PI));
  }
  double u0 = given ? o.unitsPerRadS : !ratios.empty() ? median(ratios) : median(turnRatios);
  if (!(u0 > 0.0) || !std::isfinite(u0)) u0 = 0.0;
  // Waypoints that turn fast are turns the accelerometer took for still: drop them and join the
  // moves on either side.
  if (u0 > 0.0) {
    const std::size_t before = bias.rests.size();
    const double rate = series.time->meanRate() > 0 ? series.time->meanRate() : 100.0;
    const std::size_t h = std::max<std::size_t>(5, static_cast<std::size_t>(0.25 * rate));
    bias.rests.erase(
        std::remove_if(bias.rests.begin(), bias.rests.end(),
                       [&](const GyroRest& r) {
                         if (r.gyroStill) return false;
                         const std::size_t a = r.first >= h ? r.first - h : 0;
                         const std::size_t b = std::min(series.n - 1, r.first + h);
                         double fastest = 0.0;
                         for (std::size_t i = a; i <= b; ++i) {
                           double bb[3];
                           bias.at(series.time->time(i), bb);
                           double s2 = 0.0;
                           for (int k = 0; k < 3; ++k)
                             s2 += (series.at(k, i) - bb[k]) * (series.at(k, i) - bb[k]);
                           fastest = std::max(fastest, std::sqrt(s2));
                         }
                         return fastest / u0 / kDeg > o.maxWaypointRateDegS;
                       }),
        bias.rests.end());
    if (bias.rests.size() != before) {
      moves = findMoves(series, bias);
      res.rests = bias.rests;
    }
  }

  std::vector<RotationBlock> blocks;
  std::vector<MoveData> data;
  std::size_t gaps = 0, saturated = 0, tooFast = 0;
  double fastestDeg = 0.0;
  for (std::size_t k = 0; k < moves.size(); ++k) {
    Move& m = moves[k];
    if (u0 > 0.0) {
      const double stepDeg = m.rawStepMax / u0 / kDeg;
      m.tooFast = stepDeg > o.maxStepDeg;
      if (m.tooFast) fastestDeg = std::max(fastestDeg, stepDeg);
    }
    gaps += m.gap;
    saturated += m.saturated;
    tooFast += m.tooFast;
    if (!m.usable() || u0 <= 0.0) continue;
    MoveData d;
    d.move = k;
    d.blockStart = blocks.size();
    d.blockCount = appendBlocks(series, bias, m, o.blockAngleDeg * kDeg * u0, blocks);
    const GyroRest& r0 = bias.rests[m.from];
    const GyroRest& r1 = bias.rests[m.to];
    std::copy(r0.gravity, r0.gravity + 3, d.a0);
    std::copy(r1.gravity, r1.gravity + 3, d.a1);
    across(d.a1, d.e1, d.e2);
    data.push_back(d);
  }
  const Context ctxRough{&blocks, u0 > 0 ? u0 : 1.0};
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  // Entries of data whose gravity changes; for the unit and the axes, a few dozen of them spread
  // over the session say as much as all of a long one's.
  std::vector<std::size_t> tipping;
  for (std::size_t k = 0; k < data.size(); ++k)
    if (moves[data[k].move].gravityChangeDeg > kGravityMoveDeg) tipping.push_back(k);
  if (tipping.size() > kUnitMoves) {
    std::vector<std::size_t> some;
    for (std::size_t q = 0; q < kUnitMoves; ++q) some.push_back(tipping[q * tipping.size() / kUnitMoves]);
    tipping.swap(some);
  }
  auto tippingCost = [&](const double* x, double u) {
    const Context c{&blocks, u};
    double sum = 0.0;
    for (std::size_t k : tipping) {
      const double e = moveErrorDeg(data[k], c, x);
      sum += e * e;
    }
    return sum;
  };

  // The axes: the signed permutation that carries the tipping moves best.
  std::array<double, 9> centre{};
  std::copy(identity, identity + 9, centre.begin());
  if (tipping.size() >= 3) {
    const double base = tippingCost(identity, ctxRough.u);
    double best = base;
    for (const auto& p : signedPermutations()) {
      const double c = tippingCost(p.data(), ctxRough.u);
      if (c < best) {
        best = c;
        centre = p;
      }
    }
    if (!(best < 0.25 * base)) std::copy(identity, identity + 9, centre.begin());
    if (centre != std::array<double, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1}) {
      std::string map;
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
          if (centre[static_cast<std::size_t>(3 * r + c)] != 0.0)
            map += std::string(r ? ", " : "") + "accelerometer " + axisName(r) + " = " +
                   (centre[static_cast<std::size_t>(3 * r + c)] < 0 ? "-" : "+") + "gyro " +
                   axisName(c);
      res.warnings.push_back("the gyro's axes are not the accelerometer's: " + map);
    }
  }
  // The unit: a golden-section search of the scale over [u0 / 2, 2 u0] on a log scale.
  double measured = u0;
  if (!given && !tipping.empty()) {
    double lo = std::log(u0 / 2.0), hi = std::log(u0 * 2.0);
    const double g = 0.5 * (std::sqrt(5.0) - 1.0);
    double a = hi - g * (hi - lo), b = lo + g * (hi - lo);
    double fa = tippingCost(centre.data(), std::exp(a)), fb = tippingCost(centre.data(), std::exp(b));
    for (int it = 0; it < 50; ++it) {
      if (fa < fb) {
        hi = b;
        b = a;
        fb = fa;
        a = hi - g * (hi - lo);
        fa = tippingCost(centre.data(), std::exp(a));
      } else {
        lo = a;
        a = b;
        fa = fb;
        b = lo + g * (hi - lo);
        fb = tippingCost(centre.data(), std::exp(b));
      }
    }
    measured = std::exp(0.5 * (lo + hi));
  }
  res.units = given ? nameUnits(o.unitsPerRadS, bias.mean, false)
                    : nameUnits(measured, bias.mean, u0 > 0.0);
  if (given) res.units.unitsPerRadS = o.unitsPerRadS;
  const double u = res.units.unitsPerRadS;
  const Context ctx{&blocks, u > 0 ? u : 1.0};
  if (u > 0)
    for (int a = 0; a < 3; ++a) res.offset[a] = -bias.mean[a] / u;

  // Whole turns, the sigmas of every move, the errors before calibration.
  const double noiseRms =
      std::sqrt((bias.noise[0] * bias.noise[0] + bias.noise[1] * bias.noise[1] +
                 bias.noise[2] * bias.noise[2]) / 3.0);
  for (MoveData& d : data) {
    Move& m = moves[d.move];
    Carried c;
    carry(blocks.data() + d.blockStart, d.blockCount, centre.data(), ctx.u, d.a0, false, c);
    const double turns = c.psi / (2.0 * M_PI);
    const double k = std::round(turns);
    if (m.gravityChangeDeg < kTurnGravityDeg && k != 0.0 && std::abs(turns - k) < kTurnTolerance) {
      d.wholeTurn = true;
      d.turns = static_cast<int>(k);
    }
    m.wholeTurn = d.wholeTurn;
    m.turns = d.turns;
    const double dt = m.seconds / static_cast<double>(m.last - m.first + 1);
    const double integrated = noiseRms / ctx.u * std::sqrt(m.seconds * dt);
    double bs[3];
    bias.sigmaAt(series.time->time((m.first + m.last) / 2), bs);
    const double biasTerm =
        std::sqrt((bs[0] * bs[0] + bs[1] * bs[1] + bs[2] * bs[2]) / 3.0) / ctx.u * m.seconds;
    const double gs0 = bias.rests[m.from].gravitySigma, gs1 = bias.rests[m.to].gravitySigma;
    const double noise2 = integrated * integrated + biasTerm * biasTerm;
    d.sigma = std::sqrt(gs0 * gs0 + gs1 * gs1 + noise2 +
                        (o.modelSigmaDeg * kDeg) * (o.modelSigmaDeg * kDeg));
    d.sigmaTurn = std::sqrt((o.turnSigmaDeg * kDeg) * (o.turnSigmaDeg * kDeg) + noise2);
    m.errorBeforeDeg = moveErrorDeg(d, ctx, identity);
  }
  for (Move& m : moves)
    if (!m.usable()) m.errorBeforeDeg = m.errorAfterDeg = m.heldOutDeg = std::nan("");
  {
    std::vector<double> e;
    for (const MoveData& d : data) e.push_back(moves[d.move].errorBeforeDeg);
    res.before = quality(e);
  }
  if (gaps > 0)
    res.warnings.push_back(std::to_string(gaps) +
                           (gaps == 1 ? " move has" : " moves have") +
                           " a gap in the time stamps and cannot be integrated");
  if (saturated > 0)
    res.warnings.push_back(std::to_string(saturated) +
                           (saturated == 1 ? " move" : " moves") + " saturated the gyro");
  if (tooFast > 0)
    res.warnings.push_back(std::to_string(tooFast) + (tooFast == 1 ? " move was" : " moves were") +
                           " too fast for the rate: up to " + fmt("%.0f", fastestDeg) +
                           " deg between two samples");

  auto biasOnly = [&](const std::string& why) {
    res.method = "bias";
    res.moves = moves;
    for (double& v : res.gain) v = 0.0;
    for (int a = 0; a < 3; ++a)
      res.offsetSigma[a] = u > 0 ? bias.meanSigma[a] / u : 0.0;
    if (!why.empty()) res.warnings.push_back(why);
    return res;
  };
  if (data.empty()) {
    if (moves.empty() || gaps == moves.size())
      res.advice.push_back("record the turns between positions without pausing the logger");
    if (saturated > 0 || tooFast > 0)
      res.advice.push_back("turn more slowly, or log at a higher rate");
    if (moves.empty() && bias.rests.size() < 2)
      res.advice.push_back("turn the sensor by about 90 deg between still positions, about each axis");
    return biasOnly("no move between still positions can be integrated: the bias alone");
  }

  std::vector<char> all(data.size(), 1);
  Solution sol = solveMoves(data, all, ctx, centre.data(), centre.data(), o, true);
  if (!sol.ok) {
    res.ok = false;
    return biasOnly("the gyro fit did not converge");
  }
  res.noiseScale = sol.scale;
  // Scales the moves fix: the diagonal of x in the axes of the centre.
  bool allDetermined = true;
  for (int r = 0; r < 3; ++r) {
    int c = 0;
    while (centre[static_cast<std::size_t>(3 * r + c)] == 0.0) ++c;
    const double s = std::sqrt(std::max(0.0, sol.cov(3 * r + c, 3 * r + c)));
    res.scaleDetermined[r] = s <= kDeterminedShare * o.scalePriorSigma;
    allDetermined = allDetermined && res.scaleDetermined[r];
  }
  for (std::size_t k = 0; k < data.size(); ++k) {
    Move& m = moves[data[k].move];
    m.weight = sol.weight[k];
    m.errorAfterDeg = moveErrorDeg(data[k], ctx, sol.x);
    Carried c;
    carry(blocks.data() + data[k].blockStart, data[k].blockCount, sol.x, ctx.u, data[k].a0, false,
          c);
    m.turnDeg = c.psi / kDeg;
    if (m.wholeTurn) {
      ++res.wholeTurns;
      res.turnClosureDeg = std::max(res.turnClosureDeg, std::abs(m.turnDeg - 360.0 * m.turns));
    }
  }
  {
    std::vector<double> e;
    for (const MoveData& d : data) e.push_back(moves[d.move].errorAfterDeg);
    res.after = quality(e);
  }
  // Held out: each fold's moves from a fit without them. Up to kExactFoldMoves moves each fold is
  // refitted; beyond, where a fold barely moves the fit, one Gauss-Newton step from the whole
  // fit without the fold's moves stands for the refit (the normal matrix less the fold's share,
  // applied to the fold's share of the gradient), which costs one pass over the moves in all.
  const std::size_t folds = std::min<std::size_t>(static_cast<std::size_t>(std::max(o.folds, 2)),
                                                  data.size());
  if (data.size() >= 3) {
    std::vector<double> e(data.size(), std::nan(""));
    if (data.size() <= kExactFoldMoves) {
      for (std::size_t f = 0; f < folds; ++f) {
        std::vector<char> use(data.size(), 1);
        for (std::size_t k = f; k < data.size(); k += folds) use[k] = 0;
        const Solution part =
            solveMoves(data, use, ctx, sol.x, centre.data(), o, false, sol.scale);
        for (std::size_t k = f; k < data.size(); k += folds)
          e[k] = part.ok ? moveErrorDeg(data[k], ctx, part.x) : std::nan("");
      }
    } else {
      using M9 = Eigen::Matrix<double, 9, 9>;
      using V9 = Eigen::Matrix<double, 9, 1>;
      std::vector<M9> foldH(folds, M9::Zero());
      std::vector<V9> foldG(folds, V9::Zero());
      M9 H = M9::Zero();
      for (int k = 0; k < 9; ++k) {
        const double sigma = std::abs(centre[static_cast<std::size_t>(k)]) > 0.5
                                 ? o.scalePriorSigma : o.crossPriorSigma;
        H(k, k) = 1.0 / (sigma * sigma);
      }
      for (std::size_t k = 0; k < data.size(); ++k) {
        MoveCost cost(data[k], ctx, sol.scale);
        double r[3] = {0, 0, 0}, jac[27];
        double* jacobians[1] = {jac};
        const double* params[1] = {sol.x};
        cost.Evaluate(params, r, jacobians);
        const int nr = data[k].wholeTurn ? 3 : 2;
        const Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, 9, Eigen::RowMajor>> J(jac, nr, 9);
        const Eigen::Map<const Eigen::VectorXd> rv(r, nr);
        const double w = 1.0 / (1.0 + rv.squaredNorm() / (kCauchyScale * kCauchyScale));
        const M9 h = w * J.transpose() * J;
        H += h;
        foldH[k % folds] += h;
        foldG[k % folds] += w * J.transpose() * rv;
      }
      for (std::size_t f = 0; f < folds; ++f) {
        const V9 delta = (H - foldH[f]).ldlt().solve(foldG[f]);
        double x[9];
        for (int q = 0; q < 9; ++q) x[q] = sol.x[q] + delta[q];
        for (std::size_t k = f; k < data.size(); k += folds) e[k] = moveErrorDeg(data[k], ctx, x);
      }
    }
    for (std::size_t k = 0; k < data.size(); ++k) moves[data[k].move].heldOutDeg = e[k];
    res.heldOut = quality(e);
  } else {
    for (const MoveData& d : data) moves[d.move].heldOutDeg = std::nan("");
  }
  res.expectedErrorDeg = expectedError90(sol.x, sol.cov);

  std::size_t setAside = 0;
  for (const MoveData& d : data) setAside += moves[d.move].weight < 0.5;
  if (setAside > 0)
    res.warnings.push_back(std::to_string(setAside) +
                           (setAside == 1 ? " move disagrees" : " moves disagree") +
                           " with the others and counted for little (a bump or a slip)");
  if (sol.scale > 3.0)
    res.warnings.push_back("the moves scatter " + fmt("%.1f", sol.scale) +
                           " times more than the gyro noise and the rests explain: the "
                           "uncertainty is scaled up by as much");
  if (res.heldOut.count > 0 && res.heldOut.rmsDeg > 2.0 * res.after.rmsDeg &&
      res.heldOut.rmsDeg > 0.2)
    res.warnings.push_back("moves left out of the fit err by " + fmt("%.2f", res.heldOut.rmsDeg) +
                           " deg rms against " + fmt("%.2f", res.after.rmsDeg) +
                           " deg in it: the moves barely determine the calibration");
  if (res.wholeTurns > 0 && res.turnClosureDeg > 2.0)
    res.warnings.push_back("whole turns close up to " + fmt("%.1f", res.turnClosureDeg) +
                           " deg from whole turns after calibration");
  if (bias.drifting && u > 0) {
    double drift = 0.0;
    for (int a = 0; a < 3; ++a) drift = std::max(drift, std::abs(bias.driftPerSecond[a]));
    res.warnings.push_back("the bias drifts, up to " + fmt("%.3g", drift * 3600.0 / u / kDeg) +
                           " deg/s per hour: it is interpolated between the rests around each move");
  }

  if (!allDetermined) {
    for (int a = 0; a < 3; ++a)
      if (!res.scaleDetermined[a])
        res.advice.push_back(std::string("turn about ") + axisName(a) + " as well");
    return biasOnly("the moves do not fix the scale of every axis: the bias alone");
  }

  // The calibration: A = x / u, b = -A r0.
  res.method = "moves";
  Eigen::Matrix3d A;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) A(r, c) = sol.x[3 * r + c] / u;
  const Eigen::Vector3d r0(bias.mean[0], bias.mean[1], bias.mean[2]);
  const Eigen::Vector3d b = -A * r0;
  // Covariance of (A row by row, b): b = -A r0 with r0's own spread.
  Eigen::Matrix<double, 12, 9> M = Eigen::Matrix<double, 12, 9>::Zero();
  for (int k = 0; k < 9; ++k) M(k, k) = 1.0 / u;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) M(9 + r, 3 * r + c) = -r0[c] / u;
  Eigen::Matrix<double, 12, 12> cov = M * sol.cov * M.transpose();
  Eigen::Matrix3d r0cov = Eigen::Matrix3d::Zero();
  for (int a = 0; a < 3; ++a) r0cov(a, a) = bias.meanSigma[a] * bias.meanSigma[a];
  cov.block<3, 3>(9, 9) += A * r0cov * A.transpose();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      res.gain[3 * c + r] = A(r, c);
      res.gainSigma[3 * c + r] = std::sqrt(std::max(0.0, cov(3 * r + c, 3 * r + c)));
    }
    res.offset[r] = b[r];
    res.offsetSigma[r] = std::sqrt(std::max(0.0, cov(9 + r, 9 + r)));
  }
  for (std::size_t r = 0; r < 12; ++r)
    for (std::size_t c = 0; c < 12; ++c)
      res.covariance[r][c] = cov(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c));
  res.moves = moves;
  return res;
}

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit
