#include "gyro/preintegration.h"

#include <cmath>

namespace tiltfit {
namespace analysis {
namespace gyro {
namespace {

constexpr std::size_t kMaxBlockSamples = 512;

void cross(const double a[3], const double b[3], double out[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

// sin(t)/t, (1 - cos t)/t^2 and (t - sin t)/t^3 of t = |v|, by their series near 0.
void coefficients(double t2, double& a, double& b, double& c) {
  if (t2 < 1e-8) {
    a = 1.0 - t2 / 6.0;
    b = 0.5 - t2 / 24.0;
    c = 1.0 / 6.0 - t2 / 120.0;
    return;
  }
  const double t = std::sqrt(t2);
  a = std::sin(t) / t;
  b = (1.0 - std::cos(t)) / t2;
  c = (t - std::sin(t)) / (t2 * t);
}

}  // namespace

std::size_t appendBlocks(const GyroSeries& s, const BiasModel& bias, const Move& m, double maxRaw,
                         std::vector<RotationBlock>& out) {
  // The bias is constant, or linear in time between two gyro-still rests; a move may pass
  // waypoints and so span several of those lines.
  double b[3];
  bias.at(s.time->time(m.first), b);
  RotationBlock blk{{0, 0, 0}, {0, 0, 0}};
  std::size_t inBlock = 0;
  std::size_t added = 0;
  const double limit2 = maxRaw * maxRaw;
  for (std::size_t i = m.first; i <= m.last; ++i) {
    const double dt = s.time->step(i);
    if (bias.drifting) bias.at(s.time->time(i), b);
    double phi[3];
    for (int a = 0; a < 3; ++a) phi[a] = (s.at(a, i) - b[a]) * dt;
    double c[3];
    cross(blk.s, phi, c);
    for (int a = 0; a < 3; ++a) {
      blk.c[a] += 0.5 * c[a];
      blk.s[a] += phi[a];
    }
    ++inBlock;
    const double n2 = blk.s[0] * blk.s[0] + blk.s[1] * blk.s[1] + blk.s[2] * blk.s[2];
    if (n2 >= limit2 || inBlock >= kMaxBlockSamples) {
      out.push_back(blk);
      blk = RotationBlock{{0, 0, 0}, {0, 0, 0}};
      inBlock = 0;
      ++added;
    }
  }
  if (inBlock > 0) {
    out.push_back(blk);
    ++added;
  }
  return added;
}

void carry(const RotationBlock* blocks, std::size_t count, const double x[9], double u,
           const double a[3], bool jacobian, Carried& out) {
  const double iu = 1.0 / u;
  const double iu2 = iu * iu;
  // The cofactor matrix of x: (x v) x (x w) = cof(x) (v x w).
  double cof[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      cof[3 * i + j] = x[3 * i1 + j1] * x[3 * i2 + j2] - x[3 * i1 + j2] * x[3 * i2 + j1];
    }
  double p[3] = {a[0], a[1], a[2]};
  double psi = 0.0;
  double G[27] = {0};
  double dpsi[9] = {0};
  for (std::size_t k = 0; k < count; ++k) {
    const RotationBlock& b = blocks[k];
    double th[3];
    for (int i = 0; i < 3; ++i)
      th[i] = iu * (x[3 * i] * b.s[0] + x[3 * i + 1] * b.s[1] + x[3 * i + 2] * b.s[2]) +
              iu2 * (cof[3 * i] * b.c[0] + cof[3 * i + 1] * b.c[1] + cof[3 * i + 2] * b.c[2]);
    const double t2 = th[0] * th[0] + th[1] * th[1] + th[2] * th[2];
    double ca, cb, cc;
    coefficients(t2, ca, cb, cc);
    // R = Exp(th) = I + ca [th]x + cb [th]x^2; q = R^T p = p - ca th x p + cb th x (th x p).
    double tp[3], ttp[3];
    cross(th, p, tp);
    cross(th, tp, ttp);
    double q[3];
    for (int i = 0; i < 3; ++i) q[i] = p[i] - ca * tp[i] + cb * ttp[i];
    if (jacobian) {
      // D = d th / d x: iu delta_ir s_c + iu2 sum_l eps_irl (x_l x c)_c.
      double D[27] = {0};
      double xc[3][3];
      for (int l = 0; l < 3; ++l) cross(&x[3 * l], b.c, xc[l]);
      for (int i = 0; i < 3; ++i) {
        for (int c = 0; c < 3; ++c) D[9 * i + 3 * i + c] += iu * b.s[c];
        for (int r = 0; r < 3; ++r) {
          if (r == i) continue;
          const int l = 3 - i - r;
          const double sign = (r - i + 3) % 3 == 1 ? 1.0 : -1.0;
          for (int c = 0; c < 3; ++c) D[9 * i + 3 * r + c] += iu2 * sign * xc[l][c];
        }
      }
      // Jr(th) = I - cb [th]x + cc [th]x^2, and M = [q]x Jr.
      double T[9] = {0, -th[2], th[1], th[2], 0, -th[0], -th[1], th[0], 0};
      double T2[9];
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          T2[3 * i + j] = T[3 * i] * T[j] + T[3 * i + 1] * T[3 + j] + T[3 * i + 2] * T[6 + j];
      double Jr[9];
      for (int i = 0; i < 9; ++i) Jr[i] = (i % 4 == 0 ? 1.0 : 0.0) - cb * T[i] + cc * T2[i];
      const double Q[9] = {0, -q[2], q[1], q[2], 0, -q[0], -q[1], q[0], 0};
      double M[9];
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          M[3 * i + j] = Q[3 * i] * Jr[j] + Q[3 * i + 1] * Jr[3 + j] + Q[3 * i + 2] * Jr[6 + j];
      // R^T = I - ca [th]x + cb [th]x^2.
      double Rt[9];
      for (int i = 0; i < 9; ++i) Rt[i] = (i % 4 == 0 ? 1.0 : 0.0) - ca * T[i] + cb * T2[i];
      double Gn[27];
      for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 9; ++c) {
          double v = 0.0;
          for (int j = 0; j < 3; ++j) v += Rt[3 * i + j] * G[9 * j + c] + M[3 * i + j] * D[9 * j + c];
          Gn[9 * i + c] = v;
        }
      for (int c = 0; c < 9; ++c) {
        double v = 0.0;
        for (int i = 0; i < 3; ++i)
          v += 0.5 * (p[i] + q[i]) * D[9 * i + c] + 0.5 * th[i] * (G[9 * i + c] + Gn[9 * i + c]);
        dpsi[c] += v;
      }
      for (int i = 0; i < 27; ++i) G[i] = Gn[i];
    }
    for (int i = 0; i < 3; ++i) {
      psi += 0.5 * (p[i] + q[i]) * th[i];
      p[i] = q[i];
    }
  }
  for (int i = 0; i < 3; ++i) out.p[i] = p[i];
  out.psi = psi;
  for (int i = 0; i < 27; ++i) out.dp[i] = jacobian ? G[i] : 0.0;
  for (int i = 0; i < 9; ++i) out.dpsi[i] = jacobian ? dpsi[i] : 0.0;
}

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit
