#include "imu_generator.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <random>
#include <sstream>
#include <stdexcept>

namespace tiltfit_gen {
namespace {

using Mat = std::array<double, 9>;  // row-major
using V3 = std::array<double, 3>;

constexpr double kDeg = M_PI / 180.0;
constexpr double kEpochSeconds = 1.7e9;

Mat mul(const Mat& a, const Mat& b) {
  Mat c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      c[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
  return c;
}

Mat transpose(const Mat& a) {
  return Mat{a[0], a[3], a[6], a[1], a[4], a[7], a[2], a[5], a[8]};
}

V3 apply(const Mat& a, const V3& v) {
  return V3{a[0] * v[0] + a[1] * v[1] + a[2] * v[2], a[3] * v[0] + a[4] * v[1] + a[5] * v[2],
            a[6] * v[0] + a[7] * v[1] + a[8] * v[2]};
}

V3 cross(const V3& a, const V3& b) {
  return V3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double dot(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

V3 normalised(V3 v) {
  const double n = std::sqrt(dot(v, v));
  for (double& x : v) x /= n;
  return v;
}

// Exp of the rotation vector angle * axis (axis a unit vector).
Mat rotation(const V3& axis, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
  const double x = axis[0], y = axis[1], z = axis[2];
  return Mat{t * x * x + c,     t * x * y - s * z, t * x * z + s * y,
             t * x * y + s * z, t * y * y + c,     t * y * z - s * x,
             t * x * z - s * y, t * y * z + s * x, t * z * z + c};
}

// The axis and angle of a rotation matrix; near a half turn the axis comes from the symmetric
// part, where the antisymmetric one vanishes.
void axisAngle(const Mat& R, V3& axis, double& angle) {
  const double c = std::clamp(0.5 * (R[0] + R[4] + R[8] - 1.0), -1.0, 1.0);
  angle = std::acos(c);
  V3 v{R[7] - R[5], R[2] - R[6], R[3] - R[1]};
  const double n = std::sqrt(dot(v, v));
  if (angle < 1e-9) {
    axis = V3{0, 0, 1};
    angle = 0.0;
    return;
  }
  if (angle < M_PI - 1e-3 && n > 1e-12) {
    axis = V3{v[0] / n, v[1] / n, v[2] / n};
    return;
  }
  // R = 2 a a^T - I at a half turn: the largest column of R + I.
  int k = 0;
  for (int q = 1; q < 3; ++q)
    if (R[4 * q] > R[4 * k]) k = q;
  V3 a{R[k] + (k == 0), R[3 + k] + (k == 1), R[6 + k] + (k == 2)};
  axis = normalised(a);
  if (dot(axis, v) < 0) axis = V3{-axis[0], -axis[1], -axis[2]};
}

V3 gravityOf(const Mat& R) { return apply(transpose(R), V3{0.0, 0.0, -1.0}); }

V3 anyAcross(const V3& n) {
  int least = 0;
  for (int k = 1; k < 3; ++k)
    if (std::abs(n[k]) < std::abs(n[least])) least = k;
  V3 e{0, 0, 0};
  e[static_cast<std::size_t>(least)] = 1.0;
  return normalised(cross(n, e));
}

// The body-frame rotation D with D^T u = v (turning gravity u into v), the shorter way.
Mat tipping(const V3& u, const V3& v) {
  V3 n = cross(v, u);
  const double s = std::sqrt(dot(n, n));
  const double angle = std::atan2(s, dot(u, v));
  if (s < 1e-9) {
    if (dot(u, v) > 0) return rotation(V3{0, 0, 1}, 0.0);
    n = anyAcross(u);
  } else {
    n = V3{n[0] / s, n[1] / s, n[2] / s};
  }
  return rotation(n, angle);
}

struct Segment {
  bool move = false;
  Mat R0{};          // orientation at the start
  V3 n{0, 0, 1};     // move axis (body frame)
  double angle = 0;  // rad
  V3 m{1, 0, 0};     // excursion axis
  double beta = 0;   // excursion, rad
  std::size_t samples = 0;
  bool wholeTurn = false;
  bool gap = false;
};

std::vector<V3> parseFaces(const std::string& order) {
  std::vector<V3> faces;
  if (order == "none") return faces;
  std::stringstream in(order);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.size() != 2 || item[0] < 'x' || item[0] > 'z' || (item[1] != 'u' && item[1] != 'd'))
      throw std::invalid_argument("bad face '" + item + "' (use xu, xd, yu, yd, zu, zd)");
    V3 u{0, 0, 0};
    u[static_cast<std::size_t>(item[0] - 'x')] = item[1] == 'u' ? -1.0 : 1.0;
    faces.push_back(u);
  }
  return faces;
}

double unitScale(const ImuOptions& o) {
  if (o.gyroUnits == "rad") return 1.0;
  if (o.gyroUnits == "deg") return 1.0 / kDeg;
  return o.countsPerDegS / kDeg;
}

void check(const ImuOptions& o) {
  if (!(o.rate > 0) || !(o.restSeconds > 0) || !(o.moveSeconds > 0) || !(o.turnSeconds > 0))
    throw std::invalid_argument("the rate and the rest, move and turn times must be positive");
  if (o.gyroUnits != "rad" && o.gyroUnits != "deg" && o.gyroUnits != "counts")
    throw std::invalid_argument("gyro units are rad, deg or counts");
  if (o.gyroUnits == "counts" && !(o.countsPerDegS > 0))
    throw std::invalid_argument("counts per deg/s must be positive");
  const std::string units[] = {"s", "ms", "us", "ns", "counter", "none"};
  if (std::find(std::begin(units), std::end(units), o.timeUnit) == std::end(units))
    throw std::invalid_argument("the time column is s, ms, us, ns, counter or none");
  if (o.randomPoses < 0 || o.turntable < 0 || o.gaps < 0)
    throw std::invalid_argument("counts of poses, turns and gaps must not be negative");
  if (!(o.jitter >= 0) || !(o.stampStep >= 0) || !(o.repeat >= 0 && o.repeat < 1) ||
      !(o.gyroNoise >= 0) || !(o.gapSeconds > 0))
    throw std::invalid_argument("jitter, stamp step, noise and gap time must not be negative, "
                                "the repeated share below 1");
  if (o.restart && !o.joined) throw std::invalid_argument("--restart goes with --joined");
}

}  // namespace

void trueGyroCalibration(const ImuOptions& o, double t, double gain[9], double offset[3]) {
  const double* K = o.gyroMatrix;
  const double det = K[0] * (K[4] * K[8] - K[5] * K[7]) - K[1] * (K[3] * K[8] - K[5] * K[6]) +
                     K[2] * (K[3] * K[7] - K[4] * K[6]);
  const Mat inv{(K[4] * K[8] - K[5] * K[7]) / det, (K[2] * K[7] - K[1] * K[8]) / det,
                (K[1] * K[5] - K[2] * K[4]) / det, (K[5] * K[6] - K[3] * K[8]) / det,
                (K[0] * K[8] - K[2] * K[6]) / det, (K[2] * K[3] - K[0] * K[5]) / det,
                (K[3] * K[7] - K[4] * K[6]) / det, (K[1] * K[6] - K[0] * K[7]) / det,
                (K[0] * K[4] - K[1] * K[3]) / det};
  const double S = unitScale(o);
  const double zero = o.gyroUnits == "counts" ? o.countsZero : 0.0;
  V3 c;
  for (int a = 0; a < 3; ++a)
    c[static_cast<std::size_t>(a)] =
        zero / S + (o.gyroBias[a] + o.gyroDrift[a] * t / 3600.0) * kDeg;
  for (int j = 0; j < 3; ++j) {
    offset[j] = 0.0;
    for (int i = 0; i < 3; ++i) {
      gain[3 * i + j] = inv[static_cast<std::size_t>(3 * j + i)] / S;  // row form: A transposed
      offset[j] -= inv[static_cast<std::size_t>(3 * j + i)] * c[static_cast<std::size_t>(i)];
    }
  }
}

ImuRecording generateImu(const ImuOptions& o) {
  check(o);
  const std::vector<V3> faces = parseFaces(o.order);
  std::seed_seq poseSeed{static_cast<std::uint32_t>(o.accel.seed),
                         static_cast<std::uint32_t>(o.accel.seed >> 32), 0x9e0u};
  std::mt19937_64 poseRng(poseSeed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::normal_distribution<double> standard(0.0, 1.0);
  auto heading = [&]() { return (2.0 * uniform(poseRng) - 1.0) * o.headingDeg * kDeg; };

  // The plan: rests and moves in order.
  std::vector<Segment> plan;
  const auto samples = [&](double seconds) {
    return std::max<std::size_t>(2, static_cast<std::size_t>(std::lround(seconds * o.rate)));
  };
  Mat R = rotation(V3{0, 0, 1}, 0.0);
  auto rest = [&]() {
    Segment s;
    s.R0 = R;
    s.samples = samples(o.restSeconds);
    plan.push_back(s);
  };
  auto move = [&](const V3& n, double angle, bool wholeTurn) {
    Segment s;
    s.move = true;
    s.R0 = R;
    s.n = n;
    s.angle = angle;
    const V3 a = anyAcross(n);
    const double phi = 2.0 * M_PI * uniform(poseRng);
    const V3 b = cross(n, a);
    for (int k = 0; k < 3; ++k)
      s.m[static_cast<std::size_t>(k)] =
          std::cos(phi) * a[static_cast<std::size_t>(k)] + std::sin(phi) * b[static_cast<std::size_t>(k)];
    s.beta = o.wobbleDeg * kDeg;
    s.wholeTurn = wholeTurn;
    s.samples = samples(wholeTurn ? o.turnSeconds
                                  : o.moveSeconds * std::max(1.0, std::abs(angle) / (M_PI / 2)));
    plan.push_back(s);
    R = mul(R, rotation(n, angle));
  };
  auto moveTo = [&](const Mat& target) {
    V3 n;
    double angle;
    axisAngle(mul(transpose(R), target), n, angle);
    move(n, angle, false);
  };
  auto tipTo = [&](const V3& v) {
    const V3 u = gravityOf(R);
    const Mat D = mul(rotation(u, heading()), tipping(u, v));
    moveTo(mul(R, D));
  };
  // The first pose: the first face (or z up) at a random heading.
  {
    const V3 first = faces.empty() ? V3{0, 0, -1} : faces.front();
    // A heading about the world's vertical leaves gravity in the body alone.
    R = mul(rotation(V3{0, 0, 1}, heading()), tipping(V3{0, 0, -1}, first));
    rest();
  }
  for (std::size_t k = 1; k < faces.size(); ++k) {
    tipTo(faces[k]);
    rest();
  }
  for (int k = 0; k < o.randomPoses; ++k) {
    // A uniform random rotation from a uniform unit quaternion.
    double q[4];
    double norm = 0;
    for (double& v : q) {
      v = standard(poseRng);
      norm += v * v;
    }
    norm = std::sqrt(norm);
    for (double& v : q) v /= norm;
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    const Mat target{1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
                     2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
                     2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
    moveTo(target);
    rest();
  }
  if (o.faceTurns) {
    for (int a = 0; a < 3; ++a) {
      V3 up{0, 0, 0};
      up[static_cast<std::size_t>(a)] = -1.0;
      if (dot(gravityOf(R), up) < 0.999) {
        tipTo(up);
        rest();
      }
      move(gravityOf(R), 2.0 * M_PI, true);
      rest();
    }
  }
  for (int k = 0; k < o.turntable; ++k) {
    move(gravityOf(R), 2.0 * M_PI, true);
    rest();
  }
  // Gaps in moves chosen at random.
  {
    std::vector<std::size_t> candidates;
    for (std::size_t k = 0; k < plan.size(); ++k)
      if (plan[k].move && plan[k].samples > 4 * samples(o.gapSeconds)) candidates.push_back(k);
    for (int g = 0; g < o.gaps && !candidates.empty(); ++g) {
      const std::size_t pick =
          static_cast<std::size_t>(uniform(poseRng) * static_cast<double>(candidates.size()));
      plan[candidates[std::min(pick, candidates.size() - 1)]].gap = true;
      candidates.erase(candidates.begin() + static_cast<std::ptrdiff_t>(std::min(pick, candidates.size() - 1)));
    }
  }

  // The samples.
  ImuRecording rec;
  rec.accelCounts = o.accel.countsScale != 0;
  rec.gyroCounts = o.gyroUnits == "counts";
  std::mt19937_64 rng(o.accel.seed);
  std::normal_distribution<double> accelNoise(0.0, o.accel.noise);
  const double S = unitScale(o);
  const double zero = rec.gyroCounts ? o.countsZero : 0.0;
  const double range = o.gyroRangeDegS > 0 ? o.gyroRangeDegS * kDeg * S : 0.0;
  const double dt = 1.0 / o.rate;
  const double unitSeconds = o.timeUnit == "ms" ? 1e-3 : o.timeUnit == "us" ? 1e-6
                             : o.timeUnit == "ns" ? 1e-9 : 1.0;
  rec.timeDecimals = o.timeUnit == "s" ? (o.epoch ? 6 : 6) : o.timeUnit == "ms" ? 3 : 0;
  const double decimalScale = std::pow(10.0, rec.timeDecimals);
  std::size_t sampleIndex = 0;
  double fileStart = 0.0;
  double lastStamp = 0.0;
  auto emit = [&](const Mat& Rb, const V3& w) {
    const double t = static_cast<double>(sampleIndex) * dt;
    const std::size_t row = rec.ax.size();
    const V3 u = gravityOf(Rb);
    double noise[3], raw[3];
    for (double& v : noise) v = accelNoise(rng);
    accelerometerReading(o.accel, u.data(), noise, raw);
    rec.ax.push_back(raw[0]);
    rec.ay.push_back(raw[1]);
    rec.az.push_back(raw[2]);
    double g[3];
    for (int i = 0; i < 3; ++i) {
      double v = (o.gyroBias[i] + o.gyroDrift[i] * t / 3600.0) * kDeg +
                 o.gyroNoise * kDeg * standard(rng);
      for (int j = 0; j < 3; ++j) v += o.gyroMatrix[3 * i + j] * w[static_cast<std::size_t>(j)];
      v *= S;
      if (range > 0) v = std::clamp(v, -range, range);
      if (rec.gyroCounts) {
        v = std::round(v + zero) + 0.0;
      } else {
        if (o.gyroQuantum > 0) v = std::round(v / o.gyroQuantum) * o.gyroQuantum;
        v = std::round(v * 1e6) / 1e6 + 0.0;
      }
      g[i] = v;
    }
    rec.gx.push_back(g[0]);
    rec.gy.push_back(g[1]);
    rec.gz.push_back(g[2]);
    if (o.timeUnit == "counter") {
      rec.time.push_back(static_cast<double>(sampleIndex));
    } else if (o.timeUnit != "none") {
      double stamp = t - fileStart + o.jitter * standard(rng);
      if (row % 2 == 1) stamp -= o.interleave * dt;
      if (o.epoch) stamp += kEpochSeconds;
      if (o.stampStep > 0) stamp = std::floor(stamp / o.stampStep + 1e-9) * o.stampStep;
      if (row > 0 && o.repeat > 0 && uniform(rng) < o.repeat) stamp = lastStamp;
      lastStamp = stamp;
      rec.time.push_back(std::round(stamp / unitSeconds * decimalScale) / decimalScale);
    }
    ++sampleIndex;
  };
  const std::size_t gapSamples = samples(o.gapSeconds);
  for (std::size_t k = 0; k < plan.size(); ++k) {
    const Segment& s = plan[k];
    if (!s.move) {
      if (o.joined && o.restart) fileStart = static_cast<double>(sampleIndex) * dt;
      ImuRest r;
      r.first = rec.ax.size();
      r.count = s.samples;
      std::copy(s.R0.begin(), s.R0.end(), r.R);
      const V3 u = gravityOf(s.R0);
      std::copy(u.begin(), u.end(), r.gravity);
      for (std::size_t i = 0; i < s.samples; ++i) emit(s.R0, V3{0, 0, 0});
      rec.rests.push_back(r);
      continue;
    }
    ImuMove mv;
    mv.first = rec.ax.size();
    mv.angleDeg = s.angle / kDeg;
    mv.wholeTurn = s.wholeTurn;
    mv.gap = s.gap;
    const double T = static_cast<double>(s.samples) * dt;
    const std::size_t cutFrom = s.samples / 2 - gapSamples / 2;
    for (std::size_t j = 0; j < s.samples; ++j) {
      const double x = (static_cast<double>(j) + 0.5) / static_cast<double>(s.samples);
      const double alpha = s.angle * (x - std::sin(2 * M_PI * x) / (2 * M_PI));
      const double alphaDot = s.angle * (1 - std::cos(2 * M_PI * x)) / T;
      const double beta = s.beta * std::sin(M_PI * x) * std::sin(M_PI * x);
      const double betaDot = s.beta * M_PI * std::sin(2 * M_PI * x) / T;
      const Mat E2 = rotation(s.m, beta);
      const Mat Rb = mul(mul(s.R0, rotation(s.n, alpha)), E2);
      const V3 along = apply(transpose(E2), s.n);
      V3 w;
      for (int q = 0; q < 3; ++q)
        w[static_cast<std::size_t>(q)] = along[static_cast<std::size_t>(q)] * alphaDot +
                                         s.m[static_cast<std::size_t>(q)] * betaDot;
      const bool cut = o.joined || (s.gap && j >= cutFrom && j < cutFrom + gapSamples);
      if (cut) {
        ++sampleIndex;
        continue;
      }
      emit(Rb, w);
    }
    mv.count = rec.ax.size() - mv.first;
    rec.moves.push_back(mv);
  }
  return rec;
}

void writeImuCsv(std::FILE* out, const ImuRecording& rec, const ImuOptions& o) {
  const bool withTime = !rec.time.empty();
  std::string header;
  if (withTime) header = o.timeName + ",";
  const std::string accel = "accx,accy,accz";
  header += o.gyroFirst ? o.gyroNames + "," + accel : accel + "," + o.gyroNames;
  header += "\n";
  std::fputs(header.c_str(), out);
  char line[256];
  const int accelDecimals = rec.accelCounts ? 0 : 6;
  const int gyroDecimals = rec.gyroCounts ? 0 : 6;
  for (std::size_t i = 0; i < rec.ax.size(); ++i) {
    char* p = line;
    char* const end = line + sizeof line;
    auto put = [&](double v, int decimals) {
      if (p != line) *p++ = ',';
      p = std::to_chars(p, end, v, std::chars_format::fixed, decimals).ptr;
    };
    if (withTime) put(rec.time[i], rec.timeDecimals);
    auto accelPart = [&]() {
      for (double v : {rec.ax[i], rec.ay[i], rec.az[i]}) put(v, accelDecimals);
    };
    auto gyroPart = [&]() {
      for (double v : {rec.gx[i], rec.gy[i], rec.gz[i]}) put(v, gyroDecimals);
    };
    if (o.gyroFirst) {
      gyroPart();
      accelPart();
    } else {
      accelPart();
      gyroPart();
    }
    *p++ = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(p - line), out);
  }
}

namespace {

// Options of this generator: name and whether it takes a value.
struct ImuOption {
  const char* name;
  bool value;
};
constexpr ImuOption kImuOptions[] = {
    {"--gyro", false},          {"--rate", true},         {"--rest-time", true},
    {"--move-time", true},      {"--faces", true},        {"--random-poses", true},
    {"--heading", true},        {"--path-wobble", true},  {"--face-turns", false},
    {"--turntable", true},      {"--turn-time", true},    {"--joined", false},
    {"--restart", false},       {"--gaps", true},         {"--gap-time", true},
    {"--gyro-matrix", true},    {"--gyro-bias", true},    {"--gyro-drift", true},
    {"--gyro-noise", true},     {"--gyro-units", true},   {"--gyro-counts", true},
    {"--gyro-quantum", true},   {"--gyro-range", true},   {"--time", true},
    {"--epoch", false},         {"--jitter", true},       {"--stamp-step", true},
    {"--repeat", true},         {"--interleave", true},   {"--gyro-first", false},
    {"--gyro-names", true},     {"--time-name", true}};

const ImuOption* imuOption(const std::string& arg) {
  for (const ImuOption& o : kImuOptions)
    if (arg == o.name) return &o;
  return nullptr;
}

double number(const std::string& option, const std::string& text) {
  double value{};
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc{} || ptr != end || text.empty())
    throw std::invalid_argument(option + " needs a number, not \"" + text + "\"");
  return value;
}

int whole(const std::string& option, const std::string& text) {
  int value{};
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc{} || ptr != end || text.empty())
    throw std::invalid_argument(option + " needs a whole number, not \"" + text + "\"");
  return value;
}

void numbers(const std::string& option, const std::string& text, double* values, int count) {
  std::stringstream in(text);
  std::string item;
  int k = 0;
  for (; std::getline(in, item, ','); ++k)
    if (k < count) values[k] = number(option, item);
  if (k != count)
    throw std::invalid_argument(option + " needs " + std::to_string(count) +
                                " comma-separated numbers");
}

}  // namespace

bool wantsImu(const std::vector<std::string>& args) {
  for (const std::string& a : args)
    if (imuOption(a) != nullptr) return true;
  return false;
}

ImuArguments parseImuArguments(const std::vector<std::string>& args) {
  ImuArguments a;
  ImuOptions& o = a.options;
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const ImuOption* opt = imuOption(arg);
    if (opt == nullptr) {
      rest.push_back(arg);
      continue;
    }
    std::string v;
    if (opt->value) {
      if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
      v = args[++i];
    }
    if (arg == "--rate") o.rate = number(arg, v);
    else if (arg == "--rest-time") o.restSeconds = number(arg, v);
    else if (arg == "--move-time") o.moveSeconds = number(arg, v);
    else if (arg == "--faces") o.order = v;
    else if (arg == "--random-poses") o.randomPoses = whole(arg, v);
    else if (arg == "--heading") o.headingDeg = number(arg, v);
    else if (arg == "--path-wobble") o.wobbleDeg = number(arg, v);
    else if (arg == "--face-turns") o.faceTurns = true;
    else if (arg == "--turntable") o.turntable = whole(arg, v);
    else if (arg == "--turn-time") o.turnSeconds = number(arg, v);
    else if (arg == "--joined") o.joined = true;
    else if (arg == "--restart") o.restart = true;
    else if (arg == "--gaps") o.gaps = whole(arg, v);
    else if (arg == "--gap-time") o.gapSeconds = number(arg, v);
    else if (arg == "--gyro-matrix") numbers(arg, v, o.gyroMatrix, 9);
    else if (arg == "--gyro-bias") numbers(arg, v, o.gyroBias, 3);
    else if (arg == "--gyro-drift") numbers(arg, v, o.gyroDrift, 3);
    else if (arg == "--gyro-noise") o.gyroNoise = number(arg, v);
    else if (arg == "--gyro-units") {
      if (v != "rad" && v != "deg" && v != "counts")
        throw std::invalid_argument("--gyro-units is rad, deg or counts");
      o.gyroUnits = v;
    } else if (arg == "--gyro-counts") {
      double c[2];
      numbers(arg, v, c, 2);
      o.gyroUnits = "counts";
      o.countsPerDegS = c[0];
      o.countsZero = c[1];
    } else if (arg == "--gyro-quantum") o.gyroQuantum = number(arg, v);
    else if (arg == "--gyro-range") o.gyroRangeDegS = number(arg, v);
    else if (arg == "--time") o.timeUnit = v;
    else if (arg == "--epoch") o.epoch = true;
    else if (arg == "--jitter") o.jitter = number(arg, v);
    else if (arg == "--stamp-step") o.stampStep = number(arg, v);
    else if (arg == "--repeat") o.repeat = number(arg, v);
    else if (arg == "--interleave") o.interleave = number(arg, v);
    else if (arg == "--gyro-first") o.gyroFirst = true;
    else if (arg == "--gyro-names") {
      if (std::count(v.begin(), v.end(), ',') != 2)
        throw std::invalid_argument("--gyro-names needs three comma-separated names");
      o.gyroNames = v;
    } else if (arg == "--time-name") o.timeName = v;
  }
  const Arguments accel = parseArguments(rest);
  o.accel = accel.options;
  a.output = accel.output;
  a.truth = accel.truth;
  check(o);
  return a;
}

}  // namespace tiltfit_gen
