// Model. A calibration maps a raw sample m (column vector, in g) to c = G m + b. Every still
// stretch holds gravity alone, so |G m_s + b| = 1 for each stretch mean m_s. The magnitude cannot
// see a rotation of the output frame: with the polar decomposition G = Q S (Q orthogonal, S
// symmetric positive definite) and c = Q^T b,
//
//     |G m + b| = |S m + c|,
//
// so the stretches determine at most the nine numbers of S and c. Q is taken from the six-rest fit
// (G6 = Q S6): the refined result keeps its orientation. The fit minimises
//
//     sum_s w_s r_s^2,   r_s = |S m_s + c| - 1,   w_s = 1 / (sigma_s^2 + sigma_model^2),
//
// sigma_s being the standard error of the stretch mean and sigma_model a floor for what no sensor
// model captures (0.3 mg), so a long rest counts more than a short stretch but not a thousand
// times more. The Jacobian is
//
//     dr/dS_ii = u_i m_i,   dr/dS_ij = u_i m_j + u_j m_i (i < j),   dr/dc_i = u_i,
//
// with u = (S m + c) / |S m + c|. Where the stretches span few directions some combinations of
// parameters barely change any r_s (six rests along the axes say almost nothing about the
// off-diagonal terms of S): those are the right singular vectors of the weighted Jacobian at the
// six-rest solution whose singular value is below kDetermined times the largest. The fit moves only
// in the span of the others (Levenberg-Marquardt from Eigen), so undetermined combinations keep
// their six-rest values; so do the weakest directions when the stretches do not outnumber the
// fitted directions, which would let the fit match every stretch exactly, noise included. Stretches
// whose normalised residual is far beyond the others' (motion that looked still) are dropped and
// the fit repeated.
#include "refineFit.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <unsupported/Eigen/LevenbergMarquardt>

namespace tiltfit {
namespace analysis {
namespace {

using Eigen::Index;
using Eigen::Matrix3d;
using Eigen::MatrixXd;
using Eigen::Vector3d;
using Eigen::VectorXd;
using Params = Eigen::Matrix<double, 9, 1>;

constexpr double kModelSigma = 0.3e-3;  // g
constexpr double kDetermined = 0.05;    // relative singular value of a determined direction
constexpr double kOutlier = 6.0;        // normalised residuals beyond this many robust deviations
constexpr int kRedundancy = 1;          // stretches beyond the number of directions fitted

Matrix3d symmetric(const Params& p) {
  Matrix3d S;
  S << p[0], p[1], p[2], p[1], p[3], p[4], p[2], p[4], p[5];
  return S;
}

struct Problem {
  std::vector<Vector3d> means;
  std::vector<double> sqrtWeight;

  void residuals(const Params& p, VectorXd& r) const {
    const Matrix3d S = symmetric(p);
    const Vector3d c(p[6], p[7], p[8]);
    r.resize(static_cast<Index>(means.size()));
    for (std::size_t s = 0; s < means.size(); ++s) {
      r[static_cast<Index>(s)] = sqrtWeight[s] * ((S * means[s] + c).norm() - 1.0);
    }
  }

  void jacobian(const Params& p, MatrixXd& J) const {
    const Matrix3d S = symmetric(p);
    const Vector3d c(p[6], p[7], p[8]);
    J.resize(static_cast<Index>(means.size()), 9);
    for (std::size_t s = 0; s < means.size(); ++s) {
      const Vector3d& m = means[s];
      const Vector3d v = S * m + c;
      const double len = v.norm();
      const Vector3d u = len > 0.0 ? Vector3d(v / len) : Vector3d::Zero();
      const double w = sqrtWeight[s];
      const Index row = static_cast<Index>(s);
      J(row, 0) = w * u[0] * m[0];
      J(row, 1) = w * (u[0] * m[1] + u[1] * m[0]);
      J(row, 2) = w * (u[0] * m[2] + u[2] * m[0]);
      J(row, 3) = w * u[1] * m[1];
      J(row, 4) = w * (u[1] * m[2] + u[2] * m[1]);
      J(row, 5) = w * u[2] * m[2];
      J(row, 6) = w * u[0];
      J(row, 7) = w * u[1];
      J(row, 8) = w * u[2];
    }
  }
};

// The residuals as a function of the coordinates z in the determined subspace: p = p0 + V z.
struct ReducedFunctor : Eigen::DenseFunctor<double> {
  const Problem& problem;
  Params p0;
  MatrixXd V;  // 9 x k

  ReducedFunctor(const Problem& pr, const Params& start, const MatrixXd& basis)
      : Eigen::DenseFunctor<double>(static_cast<int>(basis.cols()),
                                    static_cast<int>(pr.means.size())),
        problem(pr),
        p0(start),
        V(basis) {}

  int operator()(const InputType& z, ValueType& r) const {
    problem.residuals(at(z), r);
    return 0;
  }
  int df(const InputType& z, JacobianType& Jz) const {
    MatrixXd J;
    problem.jacobian(at(z), J);
    Jz = J * V;
    return 0;
  }
  Params at(const InputType& z) const { return p0 + V * z; }
};

double median(std::vector<double> v) {
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

}  // namespace

RefineOutcome refineCalibration(const std::vector<StillStretch>& stretches,
                                const Calibration& sixRest) {
  RefineOutcome out;
  out.calibration = sixRest;

  // Column form of the six-rest fit: G[j][i] = gain[3i + j].
  Matrix3d G6;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) G6(j, i) = sixRest.gain[3 * i + j];
  const Vector3d b6(sixRest.offset[0], sixRest.offset[1], sixRest.offset[2]);
  if (!G6.allFinite() || !b6.allFinite()) return out;

  Eigen::JacobiSVD<Matrix3d> polar(G6, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const Matrix3d Q = polar.matrixU() * polar.matrixV().transpose();
  const Matrix3d S6 = Q.transpose() * G6;
  const Vector3d c6 = Q.transpose() * b6;
  Params p0;
  p0 << S6(0, 0), 0.5 * (S6(0, 1) + S6(1, 0)), 0.5 * (S6(0, 2) + S6(2, 0)), S6(1, 1),
      0.5 * (S6(1, 2) + S6(2, 1)), S6(2, 2), c6[0], c6[1], c6[2];

  Problem problem;
  for (const StillStretch& s : stretches) {
    const Vector3d m(s.mean[0], s.mean[1], s.mean[2]);
    if (!m.allFinite()) continue;
    const double n2 = s.noise[0] * s.noise[0] + s.noise[1] * s.noise[1] + s.noise[2] * s.noise[2];
    const double meanVar = n2 / 3.0 / static_cast<double>(s.length());
    problem.means.push_back(m);
    problem.sqrtWeight.push_back(1.0 / std::sqrt(meanVar + kModelSigma * kModelSigma));
  }

  Params p = p0;
  for (int round = 0; round < 3; ++round) {
    if (problem.means.size() < 2) return out;
    MatrixXd J;
    problem.jacobian(p0, J);
    Eigen::JacobiSVD<MatrixXd> svd(J, Eigen::ComputeThinV);
    const VectorXd& sv = svd.singularValues();
    int k = 0;
    while (k < sv.size() && sv[k] > kDetermined * sv[0]) ++k;
    // The fit must be checked by data it did not have to match exactly: the stretches outnumber
    // the directions it moves in by kRedundancy, the weakest directions staying put otherwise.
    k = std::min<int>(k, static_cast<int>(problem.means.size()) - kRedundancy);
    if (k <= 0) return out;
    if (k == 0) return out;
    const MatrixXd basis = svd.matrixV().leftCols(k);
    // A cross-axis term is determined when it lies (almost) inside the determined subspace.
    const int cross[3] = {1, 2, 4};  // S_xy, S_xz, S_yz
    for (int q = 0; q < 3; ++q) out.crossDetermined[q] = basis.row(cross[q]).norm() > 0.9;

    ReducedFunctor functor(problem, p0, basis);
    Eigen::LevenbergMarquardt<ReducedFunctor> lm(functor);
    VectorXd z = VectorXd::Zero(k);
    lm.minimize(z);
    p = functor.at(z);
    out.determined = k;
    if (!p.allFinite()) return out;

    // Drop stretches that disagree with the rest, then fit again from the six-rest start.
    VectorXd r;
    problem.residuals(p, r);
    std::vector<double> absr(static_cast<std::size_t>(r.size()));
    for (Index s = 0; s < r.size(); ++s) absr[static_cast<std::size_t>(s)] = std::abs(r[s]);
    const double limit = kOutlier * std::max(1.0, 1.4826 * median(absr));
    Problem kept;
    for (std::size_t s = 0; s < absr.size(); ++s) {
      if (absr[s] <= limit) {
        kept.means.push_back(problem.means[s]);
        kept.sqrtWeight.push_back(problem.sqrtWeight[s]);
      }
    }
    if (kept.means.size() == problem.means.size() || round == 2) break;
    problem = std::move(kept);
  }
  out.stretchesUsed = problem.means.size();

  const Matrix3d G = Q * symmetric(p);
  const Vector3d b = Q * Vector3d(p[6], p[7], p[8]);
  if (!G.allFinite() || !b.allFinite()) return out;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out.calibration.gain[3 * i + j] = G(j, i);
    out.calibration.offset[i] = b[i];
  }
  out.applied = true;
  return out;
}

}  // namespace analysis
}  // namespace tiltfit
