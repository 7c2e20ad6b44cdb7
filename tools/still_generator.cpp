#include "still_generator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace tiltfit_gen {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegPerRad = 180.0 / kPi;

std::uint64_t splitmix(std::uint64_t& s) {
  std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// Decimals written for each unit: a step far below any MEMS sensor's noise.
int decimals(bool gyro, const StillOptions& o) {
  if (gyro) return o.gyroUnits == GyroUnits::kRadS ? 7 : o.gyroUnits == GyroUnits::kDegS ? 5 : 0;
  return o.accelUnits == AccelUnits::kG ? 7 : o.accelUnits == AccelUnits::kMs2 ? 6 : 0;
}

const AxisNoise& noiseOf(const StillOptions& o, int channel) {
  return channel < 3 ? o.accel[static_cast<std::size_t>(channel)]
                     : o.gyro[static_cast<std::size_t>(channel - 3)];
}

}  // namespace

StillGenerator::StillGenerator(const StillOptions& options) : o_(options) {
  if (!(o_.rate > 0.0) || !(o_.seconds > 0.0) || !std::isfinite(o_.rate) ||
      !std::isfinite(o_.seconds))
    throw std::invalid_argument("the rate and the length must be positive");
  for (int c = 0; c < 6; ++c) {
    const AxisNoise& n = noiseOf(o_, c);
    if (n.white < 0 || n.randomWalk < 0 || n.markovSigma < 0 || n.markovTime < 0)
      throw std::invalid_argument("noise figures cannot be negative");
  }
  const double norm = std::hypot(o_.up[0], o_.up[1], o_.up[2]);
  if (!(norm > 0.0)) throw std::invalid_argument("the up direction cannot be zero");
  for (double& u : o_.up) u /= norm;
  samples_ = static_cast<std::uint64_t>(std::llround(o_.seconds * o_.rate));
  if (o_.event != StillEvent::kNone) {
    const double at = o_.eventAt < 0.0 ? 0.5 * (o_.seconds - o_.eventSeconds) : o_.eventAt;
    if (!(o_.eventSeconds > 0.0) || at + o_.eventSeconds > o_.seconds)
      throw std::invalid_argument("the event does not fit in the recording");
    eventFirst_ = static_cast<std::uint64_t>(std::llround(at * o_.rate));
    eventEnd_ = eventFirst_ + static_cast<std::uint64_t>(std::llround(o_.eventSeconds * o_.rate));
  }
  std::uint64_t s = o_.seed;
  for (std::uint64_t& r : rng_) r = splitmix(s);
  const double dt = 1.0 / o_.rate;
  for (int c = 0; c < 6; ++c) {
    const AxisNoise& n = noiseOf(o_, c);
    if (n.markovTime > 0.0 && n.markovSigma > 0.0) {
      phi_[c] = std::exp(-dt / n.markovTime);
      markov_[c] = n.markovSigma * normal();
    }
  }
}

// Marsaglia's polar method on xoshiro256**.
double StillGenerator::normal() {
  if (haveSpare_) {
    haveSpare_ = false;
    return spare_;
  }
  for (;;) {
    double v[2];
    for (double& x : v) {
      const std::uint64_t r = rotl(rng_[1] * 5, 7) * 9;
      const std::uint64_t t = rng_[1] << 17;
      rng_[2] ^= rng_[0];
      rng_[3] ^= rng_[1];
      rng_[1] ^= rng_[2];
      rng_[0] ^= rng_[3];
      rng_[2] ^= t;
      rng_[3] = rotl(rng_[3], 45);
      x = static_cast<double>(r >> 11) * 0x1.0p-53 * 2.0 - 1.0;
    }
    const double q = v[0] * v[0] + v[1] * v[1];
    if (q >= 1.0 || q == 0.0) continue;
    const double f = std::sqrt(-2.0 * std::log(q) / q);
    spare_ = v[1] * f;
    haveSpare_ = true;
    return v[0] * f;
  }
}

StillSample StillGenerator::next() {
  const double dt = 1.0 / o_.rate;
  double signal[6] = {0, 0, 0, 0, 0, 0};
  // The turn: theta(s) = turn (s - sin(2 pi s) / (2 pi)) over s in [0, 1], whose rate starts and
  // ends at 0; the sensor turns about its x axis, so gravity turns the other way in its frame.
  double angle = 0.0;
  if (o_.event == StillEvent::kTurn && k_ >= eventFirst_) {
    const double turn = o_.turnDeg / kDegPerRad;
    if (k_ < eventEnd_) {
      const double T = static_cast<double>(eventEnd_ - eventFirst_) * dt;
      const double s = static_cast<double>(k_ - eventFirst_) * dt / T;
      angle = turn * (s - std::sin(2.0 * kPi * s) / (2.0 * kPi));
      signal[3] = turn * (1.0 - std::cos(2.0 * kPi * s)) / T;
    } else {
      angle = turn;
    }
  }
  const double c = std::cos(angle), sn = std::sin(angle);
  const double* u = o_.up.data();
  signal[0] = o_.gravity * u[0];
  signal[1] = o_.gravity * (c * u[1] + sn * u[2]);
  signal[2] = o_.gravity * (-sn * u[1] + c * u[2]);
  if (o_.event == StillEvent::kBump && k_ >= eventFirst_ && k_ < eventEnd_) {
    const double t = static_cast<double>(k_ - eventFirst_) * dt;
    const double s = t / (static_cast<double>(eventEnd_ - eventFirst_) * dt);
    const double shake = std::sin(kPi * s) * std::sin(2.0 * kPi * 15.0 * t);
    signal[0] += 3.0 / std::sqrt(2.0) * shake;
    signal[1] += 3.0 / std::sqrt(2.0) * shake;
    signal[4] += 0.5 * shake;
  }
  StillSample out;
  for (int ch = 0; ch < 6; ++ch) {
    const AxisNoise& n = noiseOf(o_, ch);
    double v = signal[ch] + n.bias + walk_[ch] + markov_[ch];
    if (n.white > 0.0) v += n.white / std::sqrt(dt) * normal();
    if (n.randomWalk > 0.0) walk_[ch] += n.randomWalk * std::sqrt(dt) * normal();
    if (phi_[ch] > 0.0)
      markov_[ch] =
          phi_[ch] * markov_[ch] + n.markovSigma * std::sqrt(1.0 - phi_[ch] * phi_[ch]) * normal();
    (ch < 3 ? out.accel[ch] : out.gyro[ch - 3]) = v;
  }
  ++k_;
  return out;
}

double modelAllanVariance(const AxisNoise& n, double dt, double quantum, std::uint64_t m) {
  const double mm = static_cast<double>(m);
  const double white = n.white * n.white / dt + quantum * quantum / 12.0;
  const double q = n.randomWalk * n.randomWalk * dt;
  double avar = white / mm + q * (2.0 * mm * mm + 1.0) / (6.0 * mm);
  if (n.markovTime > 0.0 && n.markovSigma > 0.0) {
    // a = 1 - phi and b = 1 - phi^m without the cancellation of 1 - exp(...).
    const double a = -std::expm1(-dt / n.markovTime);
    const double b = -std::expm1(-mm * dt / n.markovTime);
    const double phi = 1.0 - a;
    const double s2 = n.markovSigma * n.markovSigma;
    const double V = s2 * (mm + 2.0 * phi * (mm * a - b) / (a * a));
    const double C = s2 * phi * b * b / (a * a);
    avar += (V - C) / (mm * mm);
  }
  return avar;
}

double accelQuantum(const StillOptions& o) {
  switch (o.accelUnits) {
    case AccelUnits::kG:
      return 1e-7 * o.gravity;
    case AccelUnits::kMs2:
      return 1e-6;
    default:
      return o.gravity / o.accelCountsPerG;
  }
}

double gyroQuantum(const StillOptions& o) {
  switch (o.gyroUnits) {
    case GyroUnits::kRadS:
      return 1e-7;
    case GyroUnits::kDegS:
      return 1e-5 / kDegPerRad;
    default:
      return 1.0 / (kDegPerRad * o.gyroCountsPerDegS);
  }
}

double writtenPerSI(const StillOptions& o, bool gyro) {
  if (gyro) {
    return o.gyroUnits == GyroUnits::kRadS   ? 1.0
           : o.gyroUnits == GyroUnits::kDegS ? kDegPerRad
                                             : kDegPerRad * o.gyroCountsPerDegS;
  }
  return o.accelUnits == AccelUnits::kMs2 ? 1.0
         : o.accelUnits == AccelUnits::kG ? 1.0 / o.gravity
                                          : o.accelCountsPerG / o.gravity;
}

AxisTruth stillTruth(const StillOptions& o, bool gyro, int axis) {
  const AxisNoise& n =
      gyro ? o.gyro[static_cast<std::size_t>(axis)] : o.accel[static_cast<std::size_t>(axis)];
  const double dt = 1.0 / o.rate;
  const double quantum = gyro ? gyroQuantum(o) : accelQuantum(o);
  AxisTruth t;
  t.white = std::sqrt(n.white * n.white + quantum * quantum * dt / 12.0);
  t.randomWalk = n.randomWalk;
  const double longest = 0.1 * o.seconds * o.rate;
  double best = HUGE_VAL, last = 0.0;
  for (int k = 0;; ++k) {
    const double m = std::round(std::pow(10.0, k / 64.0));
    if (m > longest) break;
    const double adev =
        std::sqrt(modelAllanVariance(n, dt, quantum, static_cast<std::uint64_t>(m)));
    if (adev < best) {
      best = adev;
      t.biasTau = m * dt;
    }
    last = adev;
  }
  t.biasInstability = best / 0.664;
  t.biasShown = last > best * 1.0001;
  return t;
}

namespace {

void appendFixed(std::string& s, double v, int decimals) {
  char text[64];
  const auto r =
      std::to_chars(text, text + sizeof text, v + 0.0, std::chars_format::fixed, decimals);
  s.append(text, r.ptr);
}

// Column indices of the order string: 0 = t, 1..3 = ax..az, 4..6 = gx..gz.
std::vector<int> columnOrder(const std::string& columns) {
  static const char* const names[7] = {"t", "ax", "ay", "az", "gx", "gy", "gz"};
  std::vector<int> order;
  std::size_t from = 0;
  while (from <= columns.size()) {
    const std::size_t comma = std::min(columns.find(',', from), columns.size());
    const std::string name = columns.substr(from, comma - from);
    int found = -1;
    for (int i = 0; i < 7; ++i)
      if (name == names[i]) found = i;
    if (found < 0 || std::count(order.begin(), order.end(), found) > 0)
      throw std::invalid_argument("--columns: unknown or repeated column \"" + name + "\"");
    order.push_back(found);
    from = comma + 1;
  }
  for (int i = 1; i < 7; ++i)
    if (std::count(order.begin(), order.end(), i) == 0)
      throw std::invalid_argument("--columns must name ax, ay, az, gx, gy and gz");
  return order;
}

}  // namespace

bool writeStillCsv(std::FILE* out, const StillOptions& options) {
  const std::vector<int> order = columnOrder(options.columns);
  StillGenerator gen(options);
  std::string line = options.columns + "\n";
  const double accelScale = writtenPerSI(options, false);
  const double gyroScale = writtenPerSI(options, true);
  const int accelDecimals = decimals(false, options);
  const int gyroDecimals = decimals(true, options);
  const bool accelCounts = options.accelUnits == AccelUnits::kCounts;
  const bool gyroCounts = options.gyroUnits == GyroUnits::kCounts;
  while (!gen.done()) {
    const double t = static_cast<double>(gen.k()) / options.rate;
    const StillSample s = gen.next();
    for (std::size_t c = 0; c < order.size(); ++c) {
      if (c > 0) line += ',';
      const int col = order[c];
      if (col == 0) {
        appendFixed(line, t, 6);
      } else if (col <= 3) {
        const double v = s.accel[col - 1] * accelScale;
        appendFixed(line, accelCounts ? std::nearbyint(v) : v, accelDecimals);
      } else {
        const double v = s.gyro[col - 4] * gyroScale;
        appendFixed(line, gyroCounts ? std::nearbyint(v) : v, gyroDecimals);
      }
    }
    line += '\n';
    if (line.size() > (1u << 16)) {
      if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) return false;
      line.clear();
    }
  }
  return std::fwrite(line.data(), 1, line.size(), out) == line.size() && std::fflush(out) == 0;
}

namespace {

double number(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v))
    throw std::invalid_argument(option + ": not a number: \"" + text + "\"");
  return v;
}

// "V" for all three axes or "X,Y,Z".
std::array<double, 3> triple(const std::string& option, const std::string& text) {
  std::vector<double> v;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t comma = std::min(text.find(',', from), text.size());
    v.push_back(number(option, text.substr(from, comma - from)));
    from = comma + 1;
  }
  if (v.size() == 1) return {v[0], v[0], v[0]};
  if (v.size() != 3) throw std::invalid_argument(option + " takes one number or three");
  return {v[0], v[1], v[2]};
}

}  // namespace

StillArguments parseStillArguments(const std::vector<std::string>& args) {
  StillArguments a;
  if (args.empty()) throw std::invalid_argument("--still needs the length in seconds");
  a.options.seconds = number("--still", args[0]);
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (opt == "--truth") {
      a.truth = true;
      continue;
    }
    if (i + 1 >= args.size()) throw std::invalid_argument(opt + " needs a value");
    const std::string& v = args[++i];
    StillOptions& o = a.options;
    const bool gyro = opt.rfind("--gyro-", 0) == 0;
    std::array<AxisNoise, 3>& axes = gyro ? o.gyro : o.accel;
    if (opt == "-o") {
      a.output = v;
    } else if (opt == "--rate") {
      o.rate = number(opt, v);
    } else if (opt == "--seed") {
      o.seed = static_cast<std::uint64_t>(number(opt, v));
    } else if (opt == "--gravity") {
      o.gravity = number(opt, v);
    } else if (opt == "--up") {
      o.up = triple(opt, v);
    } else if (opt == "--columns") {
      o.columns = v;
      columnOrder(v);
    } else if (opt == "--accel-units") {
      if (v == "g")
        o.accelUnits = AccelUnits::kG;
      else if (v == "ms2")
        o.accelUnits = AccelUnits::kMs2;
      else if (v == "counts")
        o.accelUnits = AccelUnits::kCounts;
      else
        throw std::invalid_argument("--accel-units takes g, ms2 or counts");
    } else if (opt == "--gyro-units") {
      if (v == "rads")
        o.gyroUnits = GyroUnits::kRadS;
      else if (v == "degs")
        o.gyroUnits = GyroUnits::kDegS;
      else if (v == "counts")
        o.gyroUnits = GyroUnits::kCounts;
      else
        throw std::invalid_argument("--gyro-units takes rads, degs or counts");
    } else if (opt == "--accel-counts") {
      o.accelCountsPerG = number(opt, v);
    } else if (opt == "--gyro-counts") {
      o.gyroCountsPerDegS = number(opt, v);
    } else if (opt == "--accel-white" || opt == "--gyro-white") {
      const auto t = triple(opt, v);
      for (int k = 0; k < 3; ++k)
        axes[static_cast<std::size_t>(k)].white = t[static_cast<std::size_t>(k)];
    } else if (opt == "--accel-walk" || opt == "--gyro-walk") {
      const auto t = triple(opt, v);
      for (int k = 0; k < 3; ++k)
        axes[static_cast<std::size_t>(k)].randomWalk = t[static_cast<std::size_t>(k)];
    } else if (opt == "--accel-markov" || opt == "--gyro-markov") {
      const std::size_t comma = v.find(',');
      if (comma == std::string::npos) throw std::invalid_argument(opt + " takes SIGMA,SECONDS");
      const double sigma = number(opt, v.substr(0, comma));
      const double time = number(opt, v.substr(comma + 1));
      for (AxisNoise& n : axes) {
        n.markovSigma = sigma;
        n.markovTime = time;
      }
    } else if (opt == "--accel-bias" || opt == "--gyro-bias") {
      const auto t = triple(opt, v);
      for (int k = 0; k < 3; ++k)
        axes[static_cast<std::size_t>(k)].bias = t[static_cast<std::size_t>(k)];
    } else if (opt == "--event") {
      if (v == "none")
        o.event = StillEvent::kNone;
      else if (v == "turn")
        o.event = StillEvent::kTurn;
      else if (v == "bump")
        o.event = StillEvent::kBump;
      else
        throw std::invalid_argument("--event takes none, turn or bump");
    } else if (opt == "--event-at") {
      o.eventAt = number(opt, v);
    } else if (opt == "--event-seconds") {
      o.eventSeconds = number(opt, v);
    } else if (opt == "--turn") {
      o.turnDeg = number(opt, v);
    } else {
      throw std::invalid_argument("unknown option " + opt);
    }
  }
  StillGenerator check(a.options);  // the same checks before anything is written
  return a;
}

std::string stillTruthText(const StillOptions& o) {
  static const char* const names[6] = {"ax", "ay", "az", "gx", "gy", "gz"};
  std::string s;
  char line[512];
  for (int c = 0; c < 6; ++c) {
    const bool gyro = c >= 3;
    const AxisNoise& n = noiseOf(o, c);
    const AxisTruth t = stillTruth(o, gyro, c % 3);
    const char* unit = gyro ? "rad/s" : "m/s^2";
    std::snprintf(
        line, sizeof line,
        "%s: white %.6g %s/sqrt(Hz) (with the rounding %.6g), random walk %.6g %s/sqrt(s), "
        "Gauss-Markov %.6g %s over %.6g s; %s %.6g %s at %.4g s\n",
        names[c], n.white, unit, t.white, n.randomWalk, unit, n.markovSigma, unit, n.markovTime,
        t.biasShown ? "bias instability (minimum / 0.664)" : "no minimum; the least / 0.664",
        t.biasInstability, unit, t.biasTau);
    s += line;
  }
  return s;
}

}  // namespace tiltfit_gen
