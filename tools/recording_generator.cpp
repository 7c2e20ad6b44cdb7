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

double dot(const Vec& a, const Vec& b) {
  return a.v[0] * b.v[0] + a.v[1] * b.v[1] + a.v[2] * b.v[2];
}

Vec combine(double ca, const Vec& a, double cb, const Vec& b) {
  Vec r;
  for (int k = 0; k < 3; ++k) r.v[k] = ca * a.v[k] + cb * b.v[k];
  return r;
}

Vec normalised(Vec u) {
  const double norm = std::sqrt(dot(u, u));
  for (double& v : u.v) v /= norm;
  return u;
}

// Great-circle interpolation between two orthogonal unit vectors, s in [0, 1].
Vec slerp90(const Vec& a, const Vec& b, double s) {
  const double angle = s * M_PI / 2;
  return combine(std::cos(angle), a, std::sin(angle), b);
}

// Great-circle interpolation between unit vectors that are not opposite, t in [0, 1].
Vec slerp(const Vec& a, const Vec& b, double t) {
  const double omega = std::acos(std::clamp(dot(a, b), -1.0, 1.0));
  if (omega < 1e-6) return normalised(combine(1 - t, a, t, b));
  return combine(std::sin((1 - t) * omega) / std::sin(omega), a,
                 std::sin(t * omega) / std::sin(omega), b);
}

// Point at fraction t of the way from unit a to unit b along the shorter great circle. Near
// opposite directions the plane through a and b is ill-defined, so the path turns through a
// direction perpendicular to a, at a speed that stays even over both legs.
Vec greatCircle(const Vec& a, const Vec& b, double t) {
  if (dot(a, b) > -0.9) return slerp(a, b, t);
  int least = 0;
  for (int k = 1; k < 3; ++k)
    if (std::abs(a.v[k]) < std::abs(a.v[least])) least = k;
  const Vec e = unit(least, 1.0);
  const Vec p =
      normalised(Vec{{a.v[1] * e.v[2] - a.v[2] * e.v[1], a.v[2] * e.v[0] - a.v[0] * e.v[2],
                      a.v[0] * e.v[1] - a.v[1] * e.v[0]}});
  const double second = std::acos(std::clamp(dot(p, b), -1.0, 1.0));
  const double split = (M_PI / 2) / (M_PI / 2 + second);
  return t < split ? slerp(a, p, t / split) : slerp(p, b, (t - split) / (1 - split));
}

// Gravity direction during a rotation between axis poses or the lead-in pose; opposite axes turn
// through a third axis. Recordings without tilts or extra rests use it so that they stay exactly
// what they always were.
Vec rotate(const Vec& a, const Vec& b, double s) {
  s = 0.5 - 0.5 * std::cos(s * M_PI);  // start and stop smoothly
  if (dot(a, b) > -0.5) return slerp90(a, b, s);
  int via = 0;
  while (via < 3 && a.v[via] != 0.0) ++via;
  // The lead-in pose has no zero component, and is 125 degrees from the axis it first turns to.
  if (via == 3) return greatCircle(a, b, s);
  const Vec p = unit(via, 1.0);
  return s < 0.5 ? slerp90(a, p, 2 * s) : slerp90(p, b, 2 * s - 1);
}

std::vector<Rest> parseOrder(const std::string& order) {
  std::vector<Rest> rests;
  if (order == "none") return rests;
  std::stringstream in(order);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.size() != 2 || item[0] < 'x' || item[0] > 'z' || (item[1] != 'u' && item[1] != 'd'))
      throw std::invalid_argument("bad orientation '" + item + "' (use xu, xd, yu, yd, zu, zd)");
    rests.push_back(Rest{item[0] - 'x', item[1] == 'u' ? -1 : 1, 0, 0, {0.0, 0.0, 0.0}});
  }
  return rests;
}

void check(const Options& options) {
  if (options.restSamples < 0 || options.transitionSamples < 0)
    throw std::invalid_argument("sample counts must not be negative");
  if (!(options.tiltDeg >= 0 && options.tiltDeg <= 180))
    throw std::invalid_argument("the tilt must be between 0 and 180 degrees");
  if (!(options.tiltMinDeg >= 0 && options.tiltMinDeg <= options.tiltDeg))
    throw std::invalid_argument("the least tilt must lie between 0 and the tilt");
  if (!(options.restBiasMg >= 0)) throw std::invalid_argument("rest bias must not be negative");
  if (options.extraRests < 0) throw std::invalid_argument("extra rests must not be negative");
  if (options.cycles < 1) throw std::invalid_argument("cycles must be at least 1");
  if (options.holdSamples < 1) throw std::invalid_argument("held samples must be at least 1");
  if (!(options.wobbleMg >= 0) || !(options.wobbleExtraMg >= 0) || options.wobbleSamples < 1)
    throw std::invalid_argument("wobble must not be negative, its time at least 1 sample");
  if (options.motionSamples < 0 || !(options.motionDegPerSample >= 0))
    throw std::invalid_argument("motion must not be negative");
  if (!std::isfinite(options.countsScale) || !std::isfinite(options.countsOffset))
    throw std::invalid_argument("counts scale and offset must be finite");
  if (options.countsScale != 0 && options.metric)
    throw std::invalid_argument("raw counts are made from g, not m/s^2");
}

// The reading without noise or quantisation, in the recording's units.
void idealRaw(const Options& options, const Vec& u, double raw[3]) {
  const double unitScale = options.metric ? 9.81 : 1.0;
  for (int i = 0; i < 3; ++i) {
    double s = options.offset[i];
    for (int j = 0; j < 3; ++j) s += options.gain[3 * i + j] * u.v[j];
    raw[i] =
        options.countsScale != 0 ? s * options.countsScale + options.countsOffset : s * unitScale;
  }
}

}  // namespace

Recording generate(const Options& options) {
  check(options);
  const std::vector<Rest> sequence = parseOrder(options.order);
  Recording rec;
  rec.counts = options.countsScale != 0;
  std::mt19937_64 rng(options.seed);
  std::normal_distribution<double> noise(0.0, options.noise);
  const double unitScale = options.metric ? 9.81 : 1.0;
  // Tilts and extra directions draw from a stream of their own, so that they leave the noise alone.
  std::seed_seq poseSeed{static_cast<std::uint32_t>(options.seed),
                         static_cast<std::uint32_t>(options.seed >> 32), 0x7e57u};
  std::mt19937_64 poseRng(poseSeed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);

  // Wobble and motion draw from a stream of their own too.
  std::seed_seq motionSeed{static_cast<std::uint32_t>(options.seed),
                           static_cast<std::uint32_t>(options.seed >> 32), 0x3b1du};
  std::mt19937_64 motionRng(motionSeed);
  std::normal_distribution<double> standard(0.0, 1.0);
  double held[3] = {0.0, 0.0, 0.0};
  long long emitted = 0;
  // The extra offset of the rest being recorded (restBiasMg), from a stream of its own.
  std::seed_seq biasSeed{static_cast<std::uint32_t>(options.seed),
                         static_cast<std::uint32_t>(options.seed >> 32), 0x6b1au};
  std::mt19937_64 biasRng(biasSeed);
  double bias[3] = {0.0, 0.0, 0.0};
  auto emit = [&](const Vec& u) {
    if (emitted++ % options.holdSamples != 0) {
      rec.x.push_back(held[0]);
      rec.y.push_back(held[1]);
      rec.z.push_back(held[2]);
      return;
    }
    double* raw = held;
    for (int i = 0; i < 3; ++i) {
      double s = options.offset[i];
      for (int j = 0; j < 3; ++j) s += options.gain[3 * i + j] * u.v[j];
      s += noise(rng);
      if (options.restBiasMg > 0) s += bias[i];
      if (rec.counts) {
        raw[i] = std::round(s * options.countsScale + options.countsOffset) + 0.0;  // no "-0"
        continue;
      }
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
  const bool axisPoses = options.tiltDeg == 0 && options.extraRests == 0;
  auto rotation = [&](const Vec& from, const Vec& to) {
    for (int k = 0; k < options.transitionSamples; ++k) {
      const double s = static_cast<double>(k + 1) / (options.transitionSamples + 1);
      emit(normalised(axisPoses ? rotate(from, to, s)
                                : greatCircle(from, to, 0.5 - 0.5 * std::cos(s * M_PI))));
    }
  };
  Vec previous = tilted;
  auto rest = [&](Rest r, const Vec& g) {
    rotation(previous, g);
    r.first = static_cast<int>(rec.x.size());
    r.count = options.restSamples;
    if (options.restBiasMg > 0)
      for (double& b : bias) b = options.restBiasMg / 1000 * standard(biasRng);
    std::copy(g.v, g.v + 3, r.gravity);
    const double wobble = (r.axis < 0 ? options.wobbleExtraMg : 0.0) + options.wobbleMg;
    if (wobble > 0) {
      // A small rotation w about the rest's direction, each component a first-order process.
      const double rho = std::exp(-1.0 / options.wobbleSamples);
      const double sigma = wobble / 1000 / std::sqrt(2.0);  // two components move the reading
      double w[3];
      for (double& wc : w) wc = sigma * standard(motionRng);
      for (int k = 0; k < options.restSamples; ++k) {
        const Vec turned{{g.v[0] + w[1] * g.v[2] - w[2] * g.v[1],
                          g.v[1] + w[2] * g.v[0] - w[0] * g.v[2],
                          g.v[2] + w[0] * g.v[1] - w[1] * g.v[0]}};
        emit(normalised(turned));
        for (double& wc : w) wc = rho * wc + std::sqrt(1 - rho * rho) * sigma * standard(motionRng);
      }
    } else {
      for (int k = 0; k < options.restSamples; ++k) emit(g);
    }
    for (double& b : bias) b = 0.0;
    rec.rests.push_back(r);
    previous = g;
  };
  for (int cycle = 0; cycle < options.cycles; ++cycle) {
    for (const Rest& r : sequence) {
      Vec g = unit(r.axis, r.level);
      if (options.tiltDeg > 0) {
        // Turn towards the direction phi in the plane of the other two axes.
        const double theta =
            options.tiltMinDeg > 0
                ? (options.tiltMinDeg + uniform(poseRng) * (options.tiltDeg - options.tiltMinDeg)) *
                      M_PI / 180
                : uniform(poseRng) * options.tiltDeg * M_PI / 180;
        const double phi = uniform(poseRng) * 2 * M_PI;
        Vec across{{0.0, 0.0, 0.0}};
        across.v[(r.axis + 1) % 3] = std::cos(phi);
        across.v[(r.axis + 2) % 3] = std::sin(phi);
        g = normalised(combine(std::cos(theta), g, std::sin(theta), across));
      }
      rest(r, g);
    }
  }
  for (int k = 0; k < options.extraRests; ++k) {
    const double z = 2 * uniform(poseRng) - 1;  // uniform in z is uniform on the sphere
    const double phi = uniform(poseRng) * 2 * M_PI;
    const double r = std::sqrt(1 - z * z);
    rest(Rest{-1, 0, 0, 0, {0.0, 0.0, 0.0}}, Vec{{r * std::cos(phi), r * std::sin(phi), z}});
  }
  if (options.motionSamples > 0) {
    // Turn about an axis perpendicular to the direction, the axis drifting a little each sample.
    Vec u = previous;
    Vec axis = normalised(Vec{{u.v[1] - u.v[2], u.v[2] - u.v[0], u.v[0] - u.v[1] + 0.5}});
    const double step = options.motionDegPerSample * M_PI / 180;
    for (int k = 0; k < options.motionSamples; ++k) {
      for (double& ac : axis.v) ac += 0.005 * standard(motionRng);
      // Keep the axis perpendicular to u, so that the turn moves the direction at full speed.
      axis = normalised(combine(1.0, axis, -dot(axis, u), u));
      const Vec across{{axis.v[1] * u.v[2] - axis.v[2] * u.v[1],
                        axis.v[2] * u.v[0] - axis.v[0] * u.v[2],
                        axis.v[0] * u.v[1] - axis.v[1] * u.v[0]}};
      u = normalised(combine(std::cos(step), u, std::sin(step), across));
      emit(u);
    }
    previous = u;
  }
  rotation(previous, tilted);
  return rec;
}

void accelerometerReading(const Options& options, const double u[3], const double noise[3],
                          double raw[3]) {
  const double unitScale = options.metric ? 9.81 : 1.0;
  for (int i = 0; i < 3; ++i) {
    double s = options.offset[i];
    for (int j = 0; j < 3; ++j) s += options.gain[3 * i + j] * u[j];
    s += noise[i];
    if (options.countsScale != 0) {
      raw[i] = std::round(s * options.countsScale + options.countsOffset) + 0.0;
      continue;
    }
    if (options.quantum > 0) s = std::round(s / options.quantum) * options.quantum;
    raw[i] = s * unitScale;
  }
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
  if (options.countsScale != 0) {
    // raw = s * (K u + o) + offset, so u = K^-1 raw / s - K^-1 (o + offset / s).
    for (int i = 0; i < 3; ++i) {
      b[i] = 0;
      for (int j = 0; j < 3; ++j)
        b[i] -= G[3 * i + j] * (options.offset[j] + options.countsOffset / options.countsScale);
    }
    for (int k = 0; k < 9; ++k) G[k] /= options.countsScale;
    return;
  }
  const double unitScale = options.metric ? 9.81 : 1.0;
  for (int i = 0; i < 3; ++i) {
    b[i] = 0;
    for (int j = 0; j < 3; ++j) b[i] -= G[3 * i + j] * options.offset[j];
    b[i] *= unitScale;
  }
}

void sphereError(const Options& options, const double G[9], const double b[3], double outUnitScale,
                 double& meanMg, double& worstMg) {
  constexpr int kPoints = 4000;
  const double goldenAngle = M_PI * (3 - std::sqrt(5.0));
  double sum = 0;
  worstMg = 0;
  for (int i = 0; i < kPoints; ++i) {
    const double z = 1 - (2 * i + 1) / static_cast<double>(kPoints);
    const double r = std::sqrt(1 - z * z);
    const double phi = goldenAngle * i;
    double raw[3];
    idealRaw(options, Vec{{r * std::cos(phi), r * std::sin(phi), z}}, raw);
    double norm2 = 0;
    for (int k = 0; k < 3; ++k) {
      const double c = G[3 * k] * raw[0] + G[3 * k + 1] * raw[1] + G[3 * k + 2] * raw[2] + b[k];
      norm2 += c * c;
    }
    const double mg = std::abs(std::sqrt(norm2) / outUnitScale - 1) * 1000;
    sum += mg;
    worstMg = std::max(worstMg, mg);
  }
  meanMg = sum / kPoints;
}

void writeCsv(std::FILE* out, const Recording& recording) {
  std::fputs("accx,accy,accz\n", out);
  char line[128];
  const int decimals = recording.counts ? 0 : 6;
  for (size_t i = 0; i < recording.x.size(); ++i) {
    char* p = line;
    char* const end = line + sizeof line;
    for (const double v : {recording.x[i], recording.y[i], recording.z[i]}) {
      if (p != line) *p++ = ',';
      p = std::to_chars(p, end, v, std::chars_format::fixed, decimals).ptr;
    }
    *p++ = '\n';
    std::fwrite(line, 1, static_cast<size_t>(p - line), out);
  }
}

namespace {

template <typename T>
T number(const std::string& option, const std::string& text) {
  T value{};
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc{} || ptr != end || text.empty())
    throw std::invalid_argument(option + " needs a number, not \"" + text + "\"");
  return value;
}

void list(const std::string& option, const std::string& text, double* values, int count) {
  std::stringstream in(text);
  std::string item;
  int k = 0;
  for (; std::getline(in, item, ','); ++k)
    if (k < count) values[k] = number<double>(option, item);
  if (k != count)
    throw std::invalid_argument(option + " needs " + std::to_string(count) +
                                " comma-separated numbers");
}

}  // namespace

Arguments parseArguments(const std::vector<std::string>& args) {
  Arguments a;
  Options& o = a.options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
      return args[++i];
    };
    if (arg == "--rest")
      o.restSamples = number<int>(arg, value());
    else if (arg == "--transition")
      o.transitionSamples = number<int>(arg, value());
    else if (arg == "--order")
      o.order = value();
    else if (arg == "--noise")
      o.noise = number<double>(arg, value());
    else if (arg == "--quantum")
      o.quantum = number<double>(arg, value());
    else if (arg == "--offset")
      list(arg, value(), o.offset, 3);
    else if (arg == "--gain")
      list(arg, value(), o.gain, 9);
    else if (arg == "--units") {
      const std::string& units = value();
      if (units != "g" && units != "ms2") throw std::invalid_argument("--units is g or ms2");
      o.metric = units == "ms2";
    } else if (arg == "--seed")
      o.seed = number<std::uint64_t>(arg, value());
    else if (arg == "--tilt")
      o.tiltDeg = number<double>(arg, value());
    else if (arg == "--tilt-min")
      o.tiltMinDeg = number<double>(arg, value());
    else if (arg == "--rest-bias")
      o.restBiasMg = number<double>(arg, value());
    else if (arg == "--extra")
      o.extraRests = number<int>(arg, value());
    else if (arg == "--cycles")
      o.cycles = number<int>(arg, value());
    else if (arg == "--counts") {
      double counts[2];
      list(arg, value(), counts, 2);
      o.countsScale = counts[0];
      o.countsOffset = counts[1];
    } else if (arg == "--hold")
      o.holdSamples = number<int>(arg, value());
    else if (arg == "--cross") {
      double cross[3];
      list(arg, value(), cross, 3);
      o.gain[1] = o.gain[3] = cross[0];
      o.gain[2] = o.gain[6] = cross[1];
      o.gain[5] = o.gain[7] = cross[2];
    } else if (arg == "--wobble")
      o.wobbleMg = number<double>(arg, value());
    else if (arg == "--wobble-extra")
      o.wobbleExtraMg = number<double>(arg, value());
    else if (arg == "--wobble-time")
      o.wobbleSamples = number<int>(arg, value());
    else if (arg == "--motion")
      o.motionSamples = number<int>(arg, value());
    else if (arg == "--motion-speed")
      o.motionDegPerSample = number<double>(arg, value());
    else if (arg == "--truth")
      a.truth = true;
    else if (arg == "-o")
      a.output = value();
    else
      throw std::invalid_argument("unknown option " + arg);
  }
  return a;
}

}  // namespace tiltfit_gen
