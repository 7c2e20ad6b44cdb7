#include "recording_generator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <random>
#include <sstream>
#include <stdexcept>

namespace tiltfit_gen {
namespace {

struct Vec {
  double v[3];
};

Vec unit(int axis, double level) {
  Vec u{{0.0, 0.0, 0.0}};
  u.v[axis] = level;
  return u;
}

// Great-circle interpolation between two orthogonal unit vectors, s in [0, 1].
Vec slerp90(const Vec& a, const Vec& b, double s) {
  const double angle = s * M_PI / 2;
  Vec r;
  for (int k = 0; k < 3; ++k) r.v[k] = std::cos(angle) * a.v[k] + std::sin(angle) * b.v[k];
  return r;
}

// Great-circle interpolation between unit vectors that are not opposite, t in [0, 1].
Vec slerp(const Vec& a, const Vec& b, double t) {
  double dot = 0;
  for (int k = 0; k < 3; ++k) dot += a.v[k] * b.v[k];
  const double omega = std::acos(std::clamp(dot, -1.0, 1.0));
  Vec r;
  for (int k = 0; k < 3; ++k)
    r.v[k] = (std::sin((1 - t) * omega) * a.v[k] + std::sin(t * omega) * b.v[k]) / std::sin(omega);
  return r;
}

// Gravity direction during a rotation from a to b; opposite axes turn through a third axis.
Vec rotate(const Vec& a, const Vec& b, double s) {
  s = 0.5 - 0.5 * std::cos(s * M_PI);  // start and stop smoothly
  double dot = 0;
  for (int k = 0; k < 3; ++k) dot += a.v[k] * b.v[k];
  if (dot > -0.5) return slerp90(a, b, s);
  int via = 0;
  while (via < 3 && a.v[via] != 0.0) ++via;
  // The lead-in pose has no zero component; it is 125 degrees from the axes it can turn to first.
  if (via == 3) return slerp(a, b, s);
  const Vec p = unit(via, 1.0);
  return s < 0.5 ? slerp90(a, p, 2 * s) : slerp90(p, b, 2 * s - 1);
}

std::vector<Rest> parseOrder(const std::string& order) {
  std::vector<Rest> rests;
  std::stringstream in(order);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.size() != 2 || item[0] < 'x' || item[0] > 'z' || (item[1] != 'u' && item[1] != 'd'))
      throw std::invalid_argument("bad orientation '" + item + "' (use xu, xd, yu, yd, zu, zd)");
    rests.push_back(Rest{item[0] - 'x', item[1] == 'u' ? -1 : 1, 0, 0});
  }
  return rests;
}

}  // namespace

Recording generate(const Options& options) {
  Recording rec;
  rec.rests = parseOrder(options.order);
  std::mt19937_64 rng(options.seed);
  std::normal_distribution<double> noise(0.0, options.noise);
  const double unitScale = options.metric ? 9.81 : 1.0;

  auto emit = [&](const Vec& u) {
    double raw[3];
    for (int i = 0; i < 3; ++i) {
      double s = options.offset[i];
      for (int j = 0; j < 3; ++j) s += options.gain[3 * i + j] * u.v[j];
      s += noise(rng);
      if (options.quantum > 0) s = std::round(s / options.quantum) * options.quantum;
      raw[i] = s * unitScale;
    }
    rec.x.push_back(raw[0]);
    rec.y.push_back(raw[1]);
    rec.z.push_back(raw[2]);
  };

  // Lead-in and tail: rotations from and to a tilted pose, so that no rest touches either end.
  const double c = 1.0 / std::sqrt(3.0);
  const Vec tilted{{c, c, -c}};
  auto rotation = [&](const Vec& from, const Vec& to) {
    for (int k = 0; k < options.transitionSamples; ++k) {
      const double s = static_cast<double>(k + 1) / (options.transitionSamples + 1);
      Vec u = rotate(from, to, s);
      const double norm = std::sqrt(u.v[0] * u.v[0] + u.v[1] * u.v[1] + u.v[2] * u.v[2]);
      for (double& v : u.v) v /= norm;
      emit(u);
    }
  };
  Vec previous = tilted;
  for (Rest& rest : rec.rests) {
    const Vec target = unit(rest.axis, rest.level);
    rotation(previous, target);
    rest.first = static_cast<int>(rec.x.size());
    rest.count = options.restSamples;
    for (int k = 0; k < options.restSamples; ++k) emit(target);
    previous = target;
  }
  rotation(previous, tilted);
  return rec;
}

void trueCalibration(const Options& options, double G[9], double b[3]) {
  const double* K = options.gain;
  const double det = K[0] * (K[4] * K[8] - K[5] * K[7]) - K[1] * (K[3] * K[8] - K[5] * K[6]) +
                     K[2] * (K[3] * K[7] - K[4] * K[6]);
  G[0] = (K[4] * K[8] - K[5] * K[7]) / det;
  G[1] = (K[2] * K[7] - K[1] * K[8]) / det;
  G[2] = (K[1] * K[5] - K[2] * K[4]) / det;
  G[3] = (K[5] * K[6] - K[3] * K[8]) / det;
  G[4] = (K[0] * K[8] - K[2] * K[6]) / det;
  G[5] = (K[2] * K[3] - K[0] * K[5]) / det;
  G[6] = (K[3] * K[7] - K[4] * K[6]) / det;
  G[7] = (K[1] * K[6] - K[0] * K[7]) / det;
  G[8] = (K[0] * K[4] - K[1] * K[3]) / det;
  const double unitScale = options.metric ? 9.81 : 1.0;
  for (int i = 0; i < 3; ++i) {
    b[i] = 0;
    for (int j = 0; j < 3; ++j) b[i] -= G[3 * i + j] * options.offset[j];
    b[i] *= unitScale;
  }
}

void writeCsv(std::FILE* out, const Recording& recording) {
  std::fputs("accx,accy,accz\n", out);
  char line[128];
  for (size_t i = 0; i < recording.x.size(); ++i) {
    char* p = line;
    char* const end = line + sizeof line;
    for (const double v : {recording.x[i], recording.y[i], recording.z[i]}) {
      if (p != line) *p++ = ',';
      p = std::to_chars(p, end, v, std::chars_format::fixed, 6).ptr;
    }
    *p++ = '\n';
    std::fwrite(line, 1, static_cast<size_t>(p - line), out);
  }
}

}  // namespace tiltfit_gen
