// Model. A calibration maps a raw sample m (column vector, in g) to c = A m + b; the report prints
// A transposed (calibrated = raw · G + b, G = A^T). It is written in polar form, a rotation R(w)
// (angle-axis vector w) after a symmetric map and a shift:
//
//     A = R(w) S,   b = R(w) k,   so that   A m + b = R(w) (S m + k),   |A m + b| = |S m + k|.
//
// Every still stretch s holds gravity alone, so its mean m_s must read 1 g:
//
//     r_s = ( |S m_s + k| - 1 ) / sigma_s,   sigma_s^2 = u'C_s u + sigma_model^2,
//
// C_s the covariance of the stretch mean (its standard errors, which count repeated and correlated
// samples for what they are worth), u the direction of m_s and sigma_model = 0.05 mg for what no
// linear model captures. The magnitude cannot see the rotation: stretches alone fix S and k, nine
// numbers, and then w = 0 (the calibration keeps the sensor's own axes).
//
// When the six rests of a six-rest fit are known, their directions fix the rotation: rest k,
// standing for axis i at reading +-1, must point along that axis up to its tilt on the bench,
//
//     d_k = P_i R(w) (S m_k + k) / |S m_k + k| / tau,
//
// P_i keeping the two components across axis i, tau the rests' tilt in radians. tau is not known
// beforehand: it is estimated from the fit's own direction residuals (twelve components, six of
// which the rotation and the cross-axis terms can absorb; see kDirectionDof), so that aligned
// rests (tau near the noise) pin
// the cross-axis terms as the six-rest fit does, while rests tilted by degrees count for little
// next to the prior and the stretches. This is how far the six-rest fit's cross-axis terms count
// as evidence.
//
// Prior, for what neither determines (pseudo-observations, independent):
//
//     S_ii ~ N(1, 0.05^2),   S_ij ~ N(0, 0.004^2) (i != j),   k_i ~ N(0, (0.2 g)^2),
//
// the range of MEMS parts: gains within a few percent, offsets within a few hundred mg, and
// symmetric cross-axis terms of a few tenths of a percent (a datasheet's cross-axis sensitivity of
// 1-2 % is mostly the package's rotation, which the magnitude cannot see; the symmetric part, half
// the axes' non-orthogonality, is smaller). No prior on w.
//
// The stretch residuals go through a Cauchy loss of scale 3: a stretch that disagrees with the
// others (a bump, slow motion that looked still) is down-weighted, not allowed to pull. When the
// stretches scatter more than their noise says (an imperfect sensor model, hand-held rests), their
// sigmas are scaled up by the robust scatter of the residuals, corrected for the nine numbers the
// fit takes from them, and the fit repeated. The fit's own covariance is the Gauss-Newton
// covariance at the solution, the loss included.
//
// Held out. In-sample residuals flatter a fit of nine numbers to a few stretches. Each stretch's
// error under the fit made without it is, to first order (exactly for a linear model, and this
// one is nearly linear about its solution),
//
//     e_-k = r_k / (1 - h_k),   h_k = j_k (J'J)^-1 j_k',
//
// r_k = |S m_k + k| - 1 the in-sample error, J the Jacobian of every weighted residual (prior and
// rests included) and j_k its row for stretch k: the leverage h_k is how far stretch k pulls the
// fit towards itself. So the whole leave-one-out costs one Jacobian, not one refit per stretch.
// A stretch that holds one of the six rests takes that rest's direction with it: with U the rows
// left out (J's) and f_U their residuals, the fit moves by (J'J)^-1 U' (I - U (J'J)^-1 U')^-1 f_U
// and stretch k's residual with it, which for U = j_k alone is the formula above.
// Without stretch k the covariance is (J'J - j_k'j_k)^-1, by the Sherman-Morrison update; where
// it leaves a gain or an offset to the prior, the remaining stretches cannot calibrate without k,
// and k is not held out (as a refit without it would fail).
//
// Calibrated uncertainty. If the model and the sigmas are right, the held-out error in units of
// sigma_k, t_k = e_-k / sqrt(1 + j_k C_-k j_k') (its own noise and the spread of the prediction
// made without it, C_-k the covariance without it; r_k / (sigma_k sqrt(1 - h_k)) for one row),
// has unit variance. Real stretches scatter more than their noise (the sensor is
// not quite linear, it warms, the hand moved): the covariance is scaled by f^2 = mean t_k^2 over
// the stretches the fit used fully, when above 1, which is the same as inflating every stretch
// sigma by f. The expected error must then not fall below the mean held-out error, which is what
// a direction the fit did not see actually showed; where it would, the covariance is scaled up
// until it does not.
//
// Rotation evidence. With rests, w and its covariance (its block of the parameter covariance)
// and the rests' tilt tau say whether the rests fix the rotation; whether it is applied is the
// caller's choice (rotationChoice.h). Without it the calibration is S m + k, whose covariance is
// that of (s, k) carried through w = 0.
#include "stretchFit.h"

#include <ceres/ceres.h>
#include <ceres/normal_prior.h>
#include <ceres/rotation.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace tiltfit {
namespace analysis {
namespace {

constexpr double kModelSigma = 5e-5;    // g    // g    // g    // g    // g
constexpr double kCauchyScale = 3.0;    // residuals, in sigmas, beyond which a stretch counts less
constexpr double kMinTilt = 5e-5;       // rad: below what any rest can be known to be aligned
// The tilt is estimated as tau^2 = (sum of squared direction residuals) / kDirectionDof. Of the
// twelve components, the six off-diagonal terms of A absorb six, which leaves six degrees of
// freedom; dividing by two instead takes tau about 1.7 times its plain estimate. With so few
// degrees of freedom the plain estimate falls a third or more below the truth about one time in
// four, and a tilt taken too small passes the rests' tilt into the cross-axis terms, where it does
// its harm; one taken too large only leaves aligned rests' cross-axis terms a little more to the
// stretches and the prior.
constexpr int kDirectionDof = 2;
constexpr int kMaxRounds = 8;
constexpr int kSpherePoints = 2000;

// S from its six numbers s = (Sxx, Sxy, Sxz, Syy, Syz, Szz), row by row.
template <typename T>
void symmetric(const T* s, T S[9]) {
  S[0] = s[0];
  S[1] = s[1];
  S[2] = s[2];
  S[3] = s[1];
  S[4] = s[3];
  S[5] = s[4];
  S[6] = s[2];
  S[7] = s[4];
  S[8] = s[5];
}

// S m + k: the calibrated sample before the rotation.
template <typename T>
void shaped(const T* s, const T* k, const double m[3], T v[3]) {
  T S[9];
  symmetric(s, S);
  for (int r = 0; r < 3; ++r) v[r] = S[3 * r] * m[0] + S[3 * r + 1] * m[1] + S[3 * r + 2] * m[2] + k[r];
}

struct MagnitudeResidual {
  double m[3];
  double inv;
  template <typename T>
  bool operator()(const T* s, const T* k, T* r) const {
    T v[3];
    shaped(s, k, m, v);
    r[0] = (ceres::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - 1.0) * inv;
    return true;
  }
};

struct DirectionResidual {
  double m[3];
  int axis;
  double inv;
  template <typename T>
  bool operator()(const T* s, const T* w, const T* k, T* r) const {
    T v[3];
    shaped(s, k, m, v);
    T turned[3];
    ceres::AngleAxisRotatePoint(w, v, turned);
    const T n = ceres::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    r[0] = turned[(axis + 1) % 3] / n * inv;
    r[1] = turned[(axis + 2) % 3] / n * inv;
    return true;
  }
};

struct Parameters {
  double s[6];
  double w[3];  // angle-axis
  double k[3];
};

// The twelve numbers (A row by row, then b) of p.
void twelve(const Parameters& p, double out[12]) {
  double S[9];
  symmetric(p.s, S);
  double R[9];  // row-major
  ceres::AngleAxisToRotationMatrix(p.w, ceres::RowMajorAdapter3x3(R));
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      out[3 * r + c] = R[3 * r] * S[c] + R[3 * r + 1] * S[3 + c] + R[3 * r + 2] * S[6 + c];
    }
    out[9 + r] = R[3 * r] * p.k[0] + R[3 * r + 1] * p.k[1] + R[3 * r + 2] * p.k[2];
  }
}

// The polar form of a calibration: R from the singular vectors of A (the rotation nearest A), S
// the symmetric rest.
Parameters fromCalibration(const Calibration& c) {
  Eigen::Matrix3d A;
  for (int r = 0; r < 3; ++r)
    for (int q = 0; q < 3; ++q) A(r, q) = c.gain[3 * q + r];
  Parameters p{};
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  if (A.allFinite()) {
    Eigen::JacobiSVD<Eigen::Matrix3d> svd(A, Eigen::ComputeFullU | Eigen::ComputeFullV);
    R = svd.matrixU() * svd.matrixV().transpose();
    if (R.determinant() < 0.0) R = Eigen::Matrix3d::Identity();  // a reflection: no polar form
  }
  const Eigen::Matrix3d S = R.transpose() * A;
  p.s[0] = S(0, 0);
  p.s[1] = 0.5 * (S(0, 1) + S(1, 0));
  p.s[2] = 0.5 * (S(0, 2) + S(2, 0));
  p.s[3] = S(1, 1);
  p.s[4] = 0.5 * (S(1, 2) + S(2, 1));
  p.s[5] = S(2, 2);
  const Eigen::Vector3d k = R.transpose() * Eigen::Vector3d(c.offset[0], c.offset[1], c.offset[2]);
  for (int q = 0; q < 3; ++q) p.k[q] = k[q];
  double Rm[9];
  for (int r = 0; r < 3; ++r)
    for (int q = 0; q < 3; ++q) Rm[3 * r + q] = R(r, q);
  ceres::RotationMatrixToAngleAxis(ceres::RowMajorAdapter3x3(static_cast<const double*>(Rm)), p.w);
  for (double& v : p.s)
    if (!std::isfinite(v)) v = 0.0;
  return p;
}

Calibration toCalibration(const Parameters& p) {
  double t[12];
  twelve(p, t);
  Calibration c;
  for (int r = 0; r < 3; ++r) {
    for (int q = 0; q < 3; ++q) c.gain[3 * q + r] = t[3 * r + q];
    c.offset[r] = t[9 + r];
  }
  return c;
}

// sigma of the magnitude of a stretch mean, from its per-axis standard errors.
double magnitudeSigma(const StillStretch& s) {
  const double n = std::sqrt(s.mean[0] * s.mean[0] + s.mean[1] * s.mean[1] + s.mean[2] * s.mean[2]);
  double var = 0.0;
  for (int j = 0; j < 3; ++j) {
    const double u = n > 0.0 ? s.mean[j] / n : 1.0 / std::sqrt(3.0);
    var += u * u * s.meanSigma[j] * s.meanSigma[j];
  }
  return std::sqrt(var + kModelSigma * kModelSigma);
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// A solved problem. The problem keeps the addresses of the parameters, which therefore live on
// the heap with it.
struct Round {
  std::unique_ptr<Parameters> params;
  bool ok = false;
  std::unique_ptr<ceres::Problem> problem;
  const Parameters& p() const { return *params; }
};

// One solve with the given stretch scale and rest tilt.
Round solve(const StretchFitOptions& o, const std::vector<double>& sigma, double scale, double tilt,
            const Parameters& start) {
  Round round;
  round.params = std::make_unique<Parameters>(start);
  ceres::Problem::Options po;
  po.cost_function_ownership = ceres::TAKE_OWNERSHIP;
  po.loss_function_ownership = ceres::TAKE_OWNERSHIP;
  round.problem = std::make_unique<ceres::Problem>(po);
  ceres::Problem& problem = *round.problem;
  Parameters& p = *round.params;
  problem.AddParameterBlock(p.s, 6);
  problem.AddParameterBlock(p.w, 3);
  problem.AddParameterBlock(p.k, 3);
  const std::vector<StillStretch>& stretches = *o.stretches;
  for (std::size_t k = 0; k < stretches.size(); ++k) {
    auto* cost = new ceres::AutoDiffCostFunction<MagnitudeResidual, 1, 6, 3>(
        new MagnitudeResidual{{stretches[k].mean[0], stretches[k].mean[1], stretches[k].mean[2]},
                              1.0 / (sigma[k] * scale)});
    problem.AddResidualBlock(cost, new ceres::CauchyLoss(kCauchyScale), p.s, p.k);
  }
  if (o.rests != nullptr) {
    for (int k = 0; k < 6; ++k) {
      const RestDirection& r = o.rests[k];
      auto* cost = new ceres::AutoDiffCostFunction<DirectionResidual, 2, 6, 3, 3>(
          new DirectionResidual{{r.mean[0], r.mean[1], r.mean[2]}, r.id.axis, 1.0 / tilt});
      problem.AddResidualBlock(cost, nullptr, p.s, p.w, p.k);
    }
  } else {
    problem.SetParameterBlockConstant(p.w);
  }
  const FitPrior& prior = o.prior;
  Eigen::MatrixXd shapeA = Eigen::MatrixXd::Zero(6, 6);
  Eigen::VectorXd shapeMean = Eigen::VectorXd::Zero(6);
  for (int k = 0; k < 6; ++k) {
    const bool diagonal = k == 0 || k == 3 || k == 5;
    shapeA(k, k) = 1.0 / (diagonal ? prior.gainSigma : prior.crossSigma);
    shapeMean[k] = diagonal ? 1.0 : 0.0;
  }
  problem.AddResidualBlock(new ceres::NormalPrior(shapeA, shapeMean), nullptr, p.s);
  const Eigen::MatrixXd offsetA = Eigen::MatrixXd::Identity(3, 3) / prior.offsetSigma;
  problem.AddResidualBlock(new ceres::NormalPrior(offsetA, Eigen::VectorXd::Zero(3)), nullptr, p.k);

  ceres::Solver::Options so;
  so.linear_solver_type = ceres::DENSE_QR;
  so.logging_type = ceres::SILENT;
  so.minimizer_progress_to_stdout = false;
  so.max_num_iterations = 200;
  so.function_tolerance = 1e-14;
  so.parameter_tolerance = 1e-14;
  so.gradient_tolerance = 1e-16;
  so.num_threads = 1;
  ceres::Solver::Summary summary;
  ceres::Solve(so, &problem, &summary);
  round.ok = summary.IsSolutionUsable();
  for (double v : p.s) round.ok = round.ok && std::isfinite(v);
  for (double v : p.w) round.ok = round.ok && std::isfinite(v);
  for (double v : p.k) round.ok = round.ok && std::isfinite(v);
  return round;
}

// The sum of the squared direction residuals of the rests at p, in radians squared.
double directionSquares(const StretchFitOptions& o, const Parameters& p) {
  double sum = 0.0;
  for (int q = 0; q < 6; ++q) {
    const DirectionResidual d{{o.rests[q].mean[0], o.rests[q].mean[1], o.rests[q].mean[2]},
                              o.rests[q].id.axis, 1.0};
    double r[2];
    d(p.s, p.w, p.k, r);
    sum += r[0] * r[0] + r[1] * r[1];
  }
  return sum;
}

// d(A row by row, b) / d(s, w, k) at p, by central differences: the map that carries the
// covariance of the fitted numbers to the twelve of the report.
Eigen::Matrix<double, 12, 12> parameterMap(const Parameters& p) {
  Eigen::Matrix<double, 12, 12> M;
  for (int c = 0; c < 12; ++c) {
    Parameters lo = p;
    Parameters hi = p;
    double* a = c < 6 ? &lo.s[c] : c < 9 ? &lo.w[c - 6] : &lo.k[c - 9];
    double* z = c < 6 ? &hi.s[c] : c < 9 ? &hi.w[c - 6] : &hi.k[c - 9];
    const double h = 1e-6;
    *a -= h;
    *z += h;
    double tl[12];
    double th[12];
    twelve(lo, tl);
    twelve(hi, th);
    for (int r = 0; r < 12; ++r) M(r, c) = (th[r] - tl[r]) / (2.0 * h);
  }
  return M;
}

// The Gauss-Newton covariance (J'J)^-1 at the solution, J the Jacobian of every residual with the
// loss applied, as ceres::Covariance computes it. It is computed here from Ceres' own Jacobian
// because ceres::Covariance starts a worker thread on every call, which a run under a tight
// memory limit may not be able to start.
struct Linearised {
  Eigen::MatrixXd J;      // rows: the stretches first, in order, then rests and priors
  Eigen::VectorXd f;      // the residuals of those rows, the loss applied as to J
  Eigen::MatrixXd inner;  // (J'J)^-1 over the fitted blocks: s (6), [w (3)], k (3)
  std::vector<int> index;  // column of `inner` -> position among (s, w, k), 0-11
};

bool linearise(Round& round, bool withRotation, Linearised& out) {
  Parameters& p = *round.params;
  ceres::Problem::EvaluateOptions eo;
  eo.parameter_blocks = {p.s, p.k};
  if (withRotation) eo.parameter_blocks.insert(eo.parameter_blocks.begin() + 1, p.w);
  eo.apply_loss_function = true;
  eo.num_threads = 1;
  ceres::CRSMatrix crs;
  std::vector<double> residuals;
  if (!round.problem->Evaluate(eo, nullptr, &residuals, nullptr, &crs)) return false;
  out.f = Eigen::Map<const Eigen::VectorXd>(residuals.data(), Eigen::Index(residuals.size()));
  const int n = crs.num_cols;
  out.J = Eigen::MatrixXd::Zero(crs.num_rows, n);
  for (int r = 0; r < crs.num_rows; ++r) {
    for (int q = crs.rows[static_cast<std::size_t>(r)]; q < crs.rows[static_cast<std::size_t>(r) + 1];
         ++q) {
      out.J(r, crs.cols[static_cast<std::size_t>(q)]) = crs.values[static_cast<std::size_t>(q)];
    }
  }
  // The prior keeps J'J well conditioned; the pseudo-inverse guards against what it cannot.
  out.inner = Eigen::MatrixXd(out.J.transpose() * out.J)
                  .completeOrthogonalDecomposition()
                  .pseudoInverse();
  out.index.clear();
  for (int k = 0; k < 6; ++k) out.index.push_back(k);
  if (withRotation)
    for (int k = 6; k < 9; ++k) out.index.push_back(k);
  for (int k = 9; k < 12; ++k) out.index.push_back(k);
  return out.inner.allFinite();
}

// A parameter-space covariance (over the fitted blocks) as the covariance of the twelve numbers
// of the calibration, M = parameterMap at the parameters; with dropRotation, of S m + k (w's rows
// left out, M taken at w = 0).
Eigen::Matrix<double, 12, 12> twelveCovariance(const Linearised& l, const Eigen::MatrixXd& inner,
                                               const Eigen::Matrix<double, 12, 12>& M,
                                               bool dropRotation) {
  const std::size_t n = l.index.size();
  Eigen::Matrix<double, 12, 12> full = Eigen::Matrix<double, 12, 12>::Zero();
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = 0; c < n; ++c) {
      const int a = l.index[r];
      const int b = l.index[c];
      if (dropRotation && ((a >= 6 && a < 9) || (b >= 6 && b < 9))) continue;
      full(a, b) = inner(Eigen::Index(r), Eigen::Index(c));
    }
  }
  return M * full * M.transpose();
}

Eigen::Matrix3d columnForm(const Calibration& c) {
  Eigen::Matrix3d A;
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) A(r, k) = c.gain[3 * k + r];
  return A;
}

double normalCdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// E|X| for X ~ N(mu, sigma^2).
double foldedMean(double mu, double sigma) {
  if (!(sigma > 0.0)) return std::abs(mu);
  const double z = mu / sigma;
  return sigma * std::sqrt(2.0 / M_PI) * std::exp(-0.5 * z * z) + mu * (1.0 - 2.0 * normalCdf(-z));
}

// Which numbers of a calibration the data fix rather than the prior, judged on its covariance.
struct Determination {
  bool gain[3] = {false, false, false};
  bool offset[3] = {false, false, false};
  bool cross[3] = {false, false, false};
  bool gainsAndOffsets() const {
    for (int k = 0; k < 3; ++k)
      if (!gain[k] || !offset[k]) return false;
    return true;
  }
};

Determination determination(const Eigen::Matrix<double, 12, 12>& cov, const FitPrior& prior) {
  Determination d;
  const int diag[3] = {0, 4, 8};
  const int cross[3][2] = {{1, 3}, {2, 6}, {5, 7}};
  for (int k = 0; k < 3; ++k) {
    d.gain[k] = std::sqrt(cov(diag[k], diag[k])) <= 0.2 * prior.gainSigma;
    d.offset[k] = std::sqrt(cov(9 + k, 9 + k)) <= 0.2 * prior.offsetSigma;
    // The symmetric part of the pair: (A_ij + A_ji) / 2.
    const int a = cross[k][0];
    const int b = cross[k][1];
    const double var = 0.25 * (cov(a, a) + cov(b, b) + 2.0 * cov(a, b));
    d.cross[k] = std::sqrt(var) <= 0.5 * prior.crossSigma;
  }
  return d;
}

void store(const Eigen::Matrix<double, 12, 12>& cov, Covariance12& out) {
  for (std::size_t r = 0; r < 12; ++r)
    for (std::size_t c = 0; c < 12; ++c) out[r][c] = cov(Eigen::Index(r), Eigen::Index(c));
}

}  // namespace

StretchFit fitStretches(const StretchFitOptions& o) {
  StretchFit fit;
  if (o.stretches == nullptr || o.stretches->empty()) return fit;
  const std::vector<StillStretch>& stretches = *o.stretches;
  std::vector<double> sigma;
  for (const StillStretch& s : stretches) sigma.push_back(magnitudeSigma(s));

  Parameters start = fromCalibration(o.start);
  if (o.rests == nullptr) start.w[0] = start.w[1] = start.w[2] = 0.0;
  double tilt = kMinTilt;
  double tiltFloor = kMinTilt;
  if (o.rests != nullptr) {
    // The rests' own noise limits how well their directions are known.
    double noise = 0.0;
    for (int k = 0; k < 6; ++k) noise += o.rests[k].sigma * o.rests[k].sigma / 6.0;
    tiltFloor = std::max(kMinTilt, std::sqrt(noise));
    // Start from what the six-rest fit leaves across the axes: about half of the tilt shows there.
    tilt = std::max(tiltFloor, std::sqrt(2.0 * directionSquares(o, start) / 12.0));
  }

  double scale = 1.0;
  Round round;
  for (int k = 0; k < kMaxRounds; ++k) {
    round = solve(o, sigma, scale, tilt, start);
    if (!round.ok) return fit;
    bool settled = true;
    // Stretches that scatter beyond their noise: scale every sigma by the robust scatter.
    const std::size_t n = stretches.size();
    if (n >= 12) {
      std::vector<double> r;
      for (std::size_t q = 0; q < n; ++q) {
        double v[3];
        shaped(round.p().s, round.p().k, stretches[q].mean, v);
        r.push_back(std::abs(std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - 1.0) / sigma[q]);
      }
      const double robust =
          1.4826 * median(r) * std::sqrt(static_cast<double>(n) / static_cast<double>(n - 9));
      const double wanted = std::max(1.0, robust);
      if (std::abs(wanted - scale) > 0.05 * scale) settled = false;
      scale = wanted;
    }
    if (o.rests != nullptr) {
      const double wanted =
          std::max(tiltFloor, std::sqrt(directionSquares(o, round.p()) / kDirectionDof));
      if (std::abs(wanted - tilt) > 0.05 * tilt) settled = false;
      tilt = wanted;
    }
    start = round.p();
    if (settled) break;
  }

  const bool withRotation = o.rests != nullptr;
  Linearised lin;
  if (!linearise(round, withRotation, lin)) return fit;
  const Parameters& p = round.p();
  Parameters flat = p;
  flat.w[0] = flat.w[1] = flat.w[2] = 0.0;
  const Eigen::Matrix<double, 12, 12> M = parameterMap(p);
  const Eigen::Matrix<double, 12, 12> flatM = parameterMap(flat);
  Eigen::Matrix<double, 12, 12> cov = twelveCovariance(lin, lin.inner, M, false);
  if (!cov.allFinite()) return fit;
  fit.ok = true;
  fit.calibration = toCalibration(p);
  fit.noiseScale = scale;
  fit.restTiltDeg =
      o.rests != nullptr ? std::sqrt(directionSquares(o, p) / 6.0) * 180.0 / M_PI : 0.0;
  const std::size_t n = stretches.size();
  std::vector<double> raw(n);  // in-sample magnitude errors, g
  for (std::size_t q = 0; q < n; ++q) {
    double v[3];
    shaped(p.s, p.k, stretches[q].mean, v);
    raw[q] = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - 1.0;
    const double e = raw[q] / (sigma[q] * scale);
    const double w = 1.0 / (1.0 + e * e / (kCauchyScale * kCauchyScale));
    fit.weight.push_back(w);
    if (w > 0.5) ++fit.stretchesUsed;
  }
  // A number is the data's when its spread is well inside the prior's. Judged on the fit's own
  // covariance, before any calibration against the held-out errors, which says how far to trust
  // the numbers, not which of them the stretches reach.
  const Determination d = determination(cov, o.prior);
  for (int k = 0; k < 3; ++k) {
    fit.gainDetermined[k] = d.gain[k];
    fit.offsetDetermined[k] = d.offset[k];
    fit.crossDetermined[k] = d.cross[k];
    fit.determined += d.gain[k] + d.offset[k] + d.cross[k];
  }

  // Leave one out from the leverages (see the top of this file).
  HeldOut& held = fit.heldOut;
  held.errorMg.assign(n, std::numeric_limits<double>::quiet_NaN());
  held.counted.assign(n, false);
  double tSum = 0.0;
  std::size_t tCount = 0;
  const bool fullyDetermined = d.gainsAndOffsets();
  for (std::size_t q = 0; q < n; ++q) {
    // The rows left out with stretch q: its magnitude and the direction of the rest it holds.
    std::vector<Eigen::Index> rows{Eigen::Index(q)};
    if (o.rests != nullptr) {
      for (int k = 0; k < 6; ++k) {
        if (o.restStretch[k] != static_cast<int>(q)) continue;
        rows.push_back(Eigen::Index(n + 2 * static_cast<std::size_t>(k)));
        rows.push_back(Eigen::Index(n + 2 * static_cast<std::size_t>(k) + 1));
      }
    }
    const Eigen::Index g = Eigen::Index(rows.size());
    Eigen::MatrixXd U(g, lin.J.cols());
    Eigen::VectorXd fG(g);
    for (Eigen::Index r = 0; r < g; ++r) {
      U.row(r) = lin.J.row(rows[static_cast<std::size_t>(r)]);
      fG[r] = lin.f[rows[static_cast<std::size_t>(r)]];
    }
    const Eigen::MatrixXd CU = lin.inner * U.transpose();
    const Eigen::MatrixXd I = Eigen::MatrixXd::Identity(g, g);
    const Eigen::MatrixXd rest = I - U * CU;
    const Eigen::FullPivLU<Eigen::MatrixXd> lu(rest);
    if (!lu.isInvertible() || !(lu.rcond() > 1e-9)) continue;
    const Eigen::MatrixXd D = lu.inverse();
    const Eigen::MatrixXd without = lin.inner + CU * D * CU.transpose();
    if (fullyDetermined &&
        !determination(twelveCovariance(lin, without, M, false), o.prior).gainsAndOffsets())
      continue;
    // The fit without those rows moves by C U' D f_G; stretch q's residual moves with it.
    const Eigen::VectorXd step = CU * (D * fG);
    const Eigen::VectorXd j = U.row(0).transpose();
    const double predicted = fG[0] + j.dot(step);  // weighted
    const double perUnit = std::abs(fG[0]) > 0.0 ? raw[q] / fG[0] : sigma[q] * scale;
    held.errorMg[q] = predicted * perUnit * 1000.0;
    held.counted[q] = true;
    const double a = std::abs(held.errorMg[q]);
    held.meanMg += a;
    held.worstMg = std::max(held.worstMg, a);
    ++held.folds;
    if (fit.weight[q] > 0.5) {
      // Its own noise and the spread of the prediction, in the same weighted units.
      const double t2 = predicted * predicted / (1.0 + j.dot(without * j));
      tSum += t2;
      ++tCount;
    }
  }
  if (held.folds > 0) held.meanMg /= static_cast<double>(held.folds);

  // The uncertainty, calibrated against the held-out errors.
  const double f2 = tCount > 0 ? std::max(1.0, tSum / static_cast<double>(tCount)) : 1.0;
  Eigen::Matrix<double, 12, 12> unrotated =
      twelveCovariance(lin, lin.inner, withRotation ? flatM : M, withRotation);
  cov *= f2;
  unrotated *= f2;
  double inflation = f2;
  store(cov, fit.covariance);
  fit.expectedErrorMg = expectedErrorMg(fit.calibration, fit);
  if (held.folds > 0 && fit.expectedErrorMg < held.meanMg && fit.expectedErrorMg > 0.0) {
    // For the fit's own calibration the expected error grows as the square root of the scale.
    const double more = (held.meanMg / fit.expectedErrorMg) * (held.meanMg / fit.expectedErrorMg);
    cov *= more;
    unrotated *= more;
    inflation *= more;
    store(cov, fit.covariance);
    fit.expectedErrorMg = std::max(held.meanMg, expectedErrorMg(fit.calibration, fit));
  }
  fit.uncertaintyScale = std::sqrt(inflation);

  fit.unrotated = toCalibration(flat);
  store(unrotated, fit.unrotatedCovariance);
  if (withRotation) {
    RotationEvidence& r = fit.rotation;
    r.fitted = true;
    std::copy(p.w, p.w + 3, r.w);
    // The rests' directions fix w, and tau is judged on their own residuals: the magnitudes'
    // held-out errors say nothing of them, so w's uncertainty is the fit's own.
    double trace = 0.0;
    for (std::size_t c = 0; c < lin.index.size(); ++c)
      if (lin.index[c] >= 6 && lin.index[c] < 9)
        trace += lin.inner(Eigen::Index(c), Eigen::Index(c));
    r.sigma = std::sqrt(std::max(0.0, trace));
    r.tilt = fit.restTiltDeg * M_PI / 180.0;
  }
  return fit;
}

HeldOut leaveOneOut(const std::vector<StillStretch>& stretchesG, const RestDirection* rests,
                    bool* ok) {
  StretchFitOptions o;
  o.stretches = &stretchesG;
  o.rests = rests;
  o.start.gain[0] = o.start.gain[4] = o.start.gain[8] = 1.0;
  StretchFit fit = fitStretches(o);
  if (ok != nullptr) *ok = fit.ok;
  return fit.heldOut;
}

StretchFit withoutRotation(const StretchFit& fit) {
  StretchFit out = fit;
  out.calibration = fit.unrotated;
  out.covariance = fit.unrotatedCovariance;
  return out;
}

double RotationEvidence::angle() const { return std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]); }

double expectedErrorMg(const Calibration& c, const StretchFit& fit) {
  const Eigen::Matrix3d A = columnForm(fit.calibration);
  const Eigen::Vector3d b(fit.calibration.offset[0], fit.calibration.offset[1],
                          fit.calibration.offset[2]);
  Eigen::Matrix<double, 12, 12> cov;
  for (std::size_t r = 0; r < 12; ++r)
    for (std::size_t k = 0; k < 12; ++k)
      cov(Eigen::Index(r), Eigen::Index(k)) = fit.covariance[r][k];
  const Eigen::Matrix3d Ainv = A.inverse();
  if (!Ainv.allFinite()) return std::numeric_limits<double>::infinity();
  const Eigen::Matrix3d C = columnForm(c);
  const Eigen::Vector3d cb(c.offset[0], c.offset[1], c.offset[2]);
  const double golden = M_PI * (3.0 - std::sqrt(5.0));
  double sum = 0.0;
  for (int i = 0; i < kSpherePoints; ++i) {
    const double z = 1.0 - (2.0 * i + 1.0) / kSpherePoints;
    const double rho = std::sqrt(1.0 - z * z);
    const Eigen::Vector3d u(rho * std::cos(golden * i), rho * std::sin(golden * i), z);
    const Eigen::Vector3d m = Ainv * (u - b);
    // d|A m + b| / d(A, b) at the fit: u_r m_k for A(r, k), u_r for b_r.
    Eigen::Matrix<double, 12, 1> J;
    for (int r = 0; r < 3; ++r) {
      for (int k = 0; k < 3; ++k) J[3 * r + k] = u[r] * m[k];
      J[9 + r] = u[r];
    }
    const double var = J.dot(cov * J);
    const double mu = (C * m + cb).norm() - 1.0;
    sum += foldedMean(mu, std::sqrt(std::max(0.0, var)));
  }
  return sum / kSpherePoints * 1000.0;
}

Uncertainty uncertaintyOf(const Calibration& c, const StretchFit& fit, const InputScale& scale,
                          double outPerG) {
  // The twelve numbers of c and of the fit, A row by row then b.
  Eigen::Matrix<double, 12, 1> d;
  Eigen::Matrix<double, 12, 12> cov;
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) d[3 * r + k] = c.gain[3 * k + r] - fit.calibration.gain[3 * k + r];
    d[9 + r] = c.offset[r] - fit.calibration.offset[r];
  }
  for (std::size_t r = 0; r < 12; ++r)
    for (std::size_t k = 0; k < 12; ++k)
      cov(Eigen::Index(r), Eigen::Index(k)) = fit.covariance[r][k];
  cov += d * d.transpose();
  // Output: gain (row i, column j) = A(j, i) outPerG / perG; offset_j = outPerG (b_j - z sum_i
  // A(j, i)) with z = zero / perG.
  const double z = scale.zero / scale.perG;
  Uncertainty u;
  for (int j = 0; j < 3; ++j) {
    Eigen::Matrix<double, 12, 1> e = Eigen::Matrix<double, 12, 1>::Zero();
    e[9 + j] = 1.0;
    for (int i = 0; i < 3; ++i) {
      u.gain[3 * i + j] =
          std::sqrt(std::max(0.0, cov(3 * j + i, 3 * j + i))) * outPerG / scale.perG;
      e[3 * j + i] = -z;
    }
    u.offset[j] = std::sqrt(std::max(0.0, e.dot(cov * e))) * outPerG;
  }
  return u;
}

}  // namespace analysis
}  // namespace tiltfit
