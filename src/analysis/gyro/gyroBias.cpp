// The rest level of a pose is found before the stillness test needs it: the pose is cut into
// windows, and the median of the means of its quieter half of windows is the level (a turn about
// the vertical may fill up to half of a pose without moving it). The test then compares each
// sample's window mean with that level, and the level is refined from the still samples once.
//
// Noise: the median absolute difference at lags 1, 2, 4 and 8 (the largest wins, so that noise a
// sensor's own low-pass filter smoothed is not underestimated), floored at half the smallest step
// of the readings (their quantisation).
#include "gyro/gyroBias.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tiltfit {
namespace analysis {
namespace gyro {
namespace {

constexpr double kStillSigmas = 6.0;
constexpr double kWindowSeconds = 0.15;
constexpr std::size_t kBlock = 32;  // samples per block for the scatter of block means
constexpr double kDriftChi2 = 4.0;

double median(std::vector<double>& v) {
  if (v.empty()) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

struct Span {
  std::size_t first, last;
};

void noiseOf(const GyroSeries& s, const std::vector<Span>& spans, double sigma[3]) {
  std::size_t total = 0;
  for (const Span& p : spans) total += p.last - p.first + 1;
  const std::size_t stride = std::max<std::size_t>(1, total / 65536);
  for (int axis = 0; axis < 3; ++axis) {
    double best = 0.0;
    double smallest = std::numeric_limits<double>::infinity();
    for (std::size_t lag : {1, 2, 4, 8}) {
      std::vector<double> d;
      for (const Span& p : spans)
        for (std::size_t i = p.first; i + lag <= p.last; i += stride) {
          const double v = std::abs(s.at(axis, i + lag) - s.at(axis, i));
          if (!std::isfinite(v)) continue;
          d.push_back(v);
          if (v > 0.0) smallest = std::min(smallest, v);
        }
      if (d.empty()) continue;
      best = std::max(best, 1.4826 * median(d) / std::sqrt(2.0));
    }
    if (std::isfinite(smallest)) best = std::max(best, 0.5 * smallest);
    sigma[axis] = best > 0.0 ? best : 1e-12;
  }
}

// The still rows of pose span p into `still` (indexed from p.first), given the rest level.
void stillness(const Span& p, std::size_t w, const double level[3],
               const double sigma[3], const std::vector<double> prefix[3],
               std::vector<char>& still) {
  const std::size_t len = p.last - p.first + 1;
  still.assign(len, 1);
  for (std::size_t k = 0; k < len; ++k) {
    const std::size_t a = k >= w / 2 ? k - w / 2 : 0;
    const std::size_t b = std::min(len, k + w / 2 + 1);
    const double count = static_cast<double>(b - a);
    for (int axis = 0; axis < 3; ++axis) {
      const double m = (prefix[axis][b] - prefix[axis][a]) / count;
      if (!(std::abs(m - level[axis]) <= kStillSigmas * sigma[axis] / std::sqrt(count))) {
        still[k] = 0;
        break;
      }
    }
  }
  // Widen every moving run by one window on each side.
  std::vector<char> widened = still;
  for (std::size_t k = 0; k < len; ++k) {
    if (still[k]) continue;
    const std::size_t a = k >= w ? k - w : 0;
    const std::size_t b = std::min(len, k + w + 1);
    for (std::size_t q = a; q < b; ++q) widened[q] = 0;
  }
  still.swap(widened);
}

// The calibrated accelerometer's direction over rows a..b and its 1-sigma across gravity (rad),
// from standard errors that count correlated samples (the scatter of block means) for what they
// are worth.
void accelDirection(const GyroSeries& s, std::size_t a, std::size_t b, double g[3], double& sigma) {
  const double* col[3] = {s.ax, s.ay, s.az};
  const double count = static_cast<double>(b - a + 1);
  double mean[3], se[3];
  for (int k = 0; k < 3; ++k) {
    double sum = 0.0, sq = 0.0;
    for (std::size_t i = a; i <= b; ++i) sum += col[k][i];
    mean[k] = sum / count;
    for (std::size_t i = a; i <= b; ++i) sq += (col[k][i] - mean[k]) * (col[k][i] - mean[k]);
    se[k] = std::sqrt(sq / std::max(1.0, count - 1.0) / count);
    const std::size_t blocks = (b - a + 1) / kBlock;
    if (blocks >= 4) {
      double ss = 0.0;
      for (std::size_t q = 0; q < blocks; ++q) {
        double m = 0.0;
        for (std::size_t i = a + q * kBlock; i < a + (q + 1) * kBlock; ++i) m += col[k][i];
        m /= static_cast<double>(kBlock);
        ss += (m - mean[k]) * (m - mean[k]);
      }
      se[k] = std::max(se[k], std::sqrt(ss / static_cast<double>(blocks - 1) /
                                        static_cast<double>(blocks)));
    }
  }
  double c[3], var = 0.0;
  for (int j = 0; j < 3; ++j) {
    c[j] = s.accelOffset[j];
    for (int i = 0; i < 3; ++i) {
      c[j] += mean[i] * s.accelGain[3 * i + j];
      var += s.accelGain[3 * i + j] * s.accelGain[3 * i + j] * se[i] * se[i];
    }
  }
  const double n = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
  for (int j = 0; j < 3; ++j) g[j] = c[j] / n;
  sigma = std::sqrt(var / 2.0) / n;
}

constexpr double kWaypointSigma = 0.1 * M_PI / 180.0;  // rad: the wobble of a hand-held pose
constexpr double kWaypointSeconds = 0.25;             // half the window of a waypoint's gravity

}  // namespace

void BiasModel::at(double t, double out[3]) const {
  for (int a = 0; a < 3; ++a) out[a] = mean[a];
  if (still.empty()) {
    for (int a = 0; a < 3; ++a) out[a] = 0.0;
    return;
  }
  if (!drifting) return;
  auto it = std::upper_bound(still.begin(), still.end(), t,
                             [](double v, const GyroRest& r) { return v < r.time; });
  if (it == still.begin()) {
    for (int a = 0; a < 3; ++a) out[a] = still.front().mean[a];
    return;
  }
  if (it == still.end()) {
    for (int a = 0; a < 3; ++a) out[a] = still.back().mean[a];
    return;
  }
  const GyroRest& lo = *(it - 1);
  const GyroRest& hi = *it;
  const double f = hi.time > lo.time ? (t - lo.time) / (hi.time - lo.time) : 0.0;
  for (int a = 0; a < 3; ++a) out[a] = (1.0 - f) * lo.mean[a] + f * hi.mean[a];
}

void BiasModel::sigmaAt(double t, double out[3]) const {
  for (int a = 0; a < 3; ++a) out[a] = meanSigma[a];
  if (still.empty() || !drifting) return;
  auto it = std::upper_bound(still.begin(), still.end(), t,
                             [](double v, const GyroRest& r) { return v < r.time; });
  if (it == still.begin() || it == still.end()) {
    const GyroRest& r = it == still.begin() ? still.front() : still.back();
    for (int a = 0; a < 3; ++a) out[a] = r.meanSigma[a];
    return;
  }
  const GyroRest& lo = *(it - 1);
  const GyroRest& hi = *it;
  const double f = hi.time > lo.time ? (t - lo.time) / (hi.time - lo.time) : 0.0;
  for (int a = 0; a < 3; ++a)
    out[a] = std::hypot((1.0 - f) * lo.meanSigma[a], f * hi.meanSigma[a]);
}

BiasModel findGyroRests(const GyroSeries& s, const std::vector<StillPose>& poses) {
  BiasModel model;
  if (s.n == 0 || s.x == nullptr || s.y == nullptr || s.z == nullptr) return model;
  const double rate = s.time != nullptr && s.time->meanRate() > 0 ? s.time->meanRate() : 100.0;
  const std::size_t w =
      std::clamp<std::size_t>(static_cast<std::size_t>(std::lround(kWindowSeconds * rate)), 5, 64);
  // The poses, less one window at each end: where the accelerometer's stretch ends, the gyro may
  // already be turning.
  std::vector<Span> spans;
  std::vector<std::size_t> owner;
  for (std::size_t k = 0; k < poses.size(); ++k) {
    const StillPose& p = poses[k];
    if (p.first >= s.n || p.last < p.first) continue;
    const std::size_t last = std::min(p.last, s.n - 1);
    if (last - p.first + 1 < kMinGyroRestSamples) continue;
    if (last - p.first + 1 < kMinGyroRestSamples + 2 * w) {
      spans.push_back(Span{p.first, last});  // too short for a rest: a waypoint at most
      owner.push_back(k);
      continue;
    }
    spans.push_back(Span{p.first + w, last - w});
    owner.push_back(k);
  }
  noiseOf(s, spans, model.noise);
  const double* sigma = model.noise;

  std::vector<double> prefix[3];
  std::vector<char> still;
  for (std::size_t k = 0; k < spans.size(); ++k) {
    const Span& p = spans[k];
    const std::size_t len = p.last - p.first + 1;
    const std::size_t restsBefore = model.rests.size();
    const StillPose& pose = poses[owner[k]];
    // A pose in which the gyro is never still: a waypoint at its middle.
    auto waypoint = [&]() {
      GyroRest r;
      r.gyroStill = false;
      r.first = r.last = (pose.first + std::min(pose.last, s.n - 1)) / 2;
      r.pose = owner[k];
      std::copy(pose.gravity, pose.gravity + 3, r.gravity);
      r.gravitySigma = std::hypot(pose.gravitySigma, kWaypointSigma);
      if (s.hasAccel()) {
        const std::size_t h =
            std::max<std::size_t>(5, static_cast<std::size_t>(std::lround(kWaypointSeconds * rate)));
        const std::size_t a = std::max(pose.first, r.first >= h ? r.first - h : 0);
        const std::size_t b = std::min(std::min(pose.last, s.n - 1), r.first + h);
        accelDirection(s, a, b, r.gravity, r.gravitySigma);
      }
      r.time = s.time != nullptr ? s.time->time(r.first) : static_cast<double>(r.first) / rate;
      model.rests.push_back(r);
    };
    if (len < kMinGyroRestSamples + 2 * w) {
      waypoint();
      continue;
    }
    for (int a = 0; a < 3; ++a) {
      prefix[a].assign(len + 1, 0.0);
      for (std::size_t q = 0; q < len; ++q) {
        const double v = s.at(a, p.first + q);
        prefix[a][q + 1] = prefix[a][q] + (std::isfinite(v) ? v : 0.0);
      }
    }
    // The level from the quieter half of the windows.
    struct Window {
      double spread;
      double mean[3];
    };
    std::vector<Window> windows;
    for (std::size_t a = 0; a + w <= len; a += w) {
      Window win{0.0, {0, 0, 0}};
      for (int axis = 0; axis < 3; ++axis) {
        win.mean[axis] = (prefix[axis][a + w] - prefix[axis][a]) / static_cast<double>(w);
        double ss = 0.0;
        for (std::size_t q = a; q < a + w; ++q) {
          const double d = s.at(axis, p.first + q) - win.mean[axis];
          ss += d * d;
        }
        win.spread += ss / (sigma[axis] * sigma[axis]);
      }
      windows.push_back(win);
    }
    if (windows.empty()) continue;
    std::sort(windows.begin(), windows.end(),
              [](const Window& x, const Window& y) { return x.spread < y.spread; });
    const std::size_t quiet = (windows.size() + 1) / 2;
    double level[3];
    for (int axis = 0; axis < 3; ++axis) {
      std::vector<double> m;
      for (std::size_t q = 0; q < quiet; ++q) m.push_back(windows[q].mean[axis]);
      level[axis] = median(m);
    }
    for (int round = 0; round < 2; ++round) {
      stillness(p, w, level, sigma, prefix, still);
      double sum[3] = {0, 0, 0};
      double count = 0;
      for (std::size_t q = 0; q < len; ++q) {
        if (!still[q]) continue;
        for (int axis = 0; axis < 3; ++axis) sum[axis] += s.at(axis, p.first + q);
        count += 1;
      }
      if (count < 1) break;
      for (int axis = 0; axis < 3; ++axis) level[axis] = sum[axis] / count;
    }
    // Runs of still samples.
    std::size_t q = 0;
    while (q < len) {
      if (!still[q]) {
        ++q;
        continue;
      }
      std::size_t e = q;
      while (e + 1 < len && still[e + 1]) ++e;
      if (e - q + 1 >= kMinGyroRestSamples) {
        GyroRest r;
        r.first = p.first + q;
        r.last = p.first + e;
        r.pose = owner[k];
        std::copy(pose.gravity, pose.gravity + 3, r.gravity);
        r.gravitySigma = pose.gravitySigma;
        if (s.hasAccel()) accelDirection(s, r.first, r.last, r.gravity, r.gravitySigma);
        const double count = static_cast<double>(e - q + 1);
        const std::size_t blocks = (e - q + 1) / kBlock;
        for (int axis = 0; axis < 3; ++axis) {
          r.mean[axis] = (prefix[axis][e + 1] - prefix[axis][q]) / count;
          double se = sigma[axis] / std::sqrt(count);
          if (blocks >= 4) {
            double ss = 0.0;
            for (std::size_t b = 0; b < blocks; ++b) {
              const std::size_t a0 = q + b * kBlock;
              const double m =
                  (prefix[axis][a0 + kBlock] - prefix[axis][a0]) / static_cast<double>(kBlock);
              ss += (m - r.mean[axis]) * (m - r.mean[axis]);
            }
            se = std::max(se, std::sqrt(ss / static_cast<double>(blocks - 1)) /
                                  std::sqrt(static_cast<double>(blocks)));
          }
          r.meanSigma[axis] = se;
        }
        r.time = s.time != nullptr ? s.time->time((r.first + r.last) / 2)
                                   : static_cast<double>((r.first + r.last) / 2) / rate;
        model.rests.push_back(r);
      }
      q = e + 1;
    }
    if (model.rests.size() == restsBefore) waypoint();
  }
  std::sort(model.rests.begin(), model.rests.end(),
            [](const GyroRest& a, const GyroRest& b) { return a.first < b.first; });
  for (const GyroRest& r : model.rests)
    if (r.gyroStill) model.still.push_back(r);

  const std::size_t K = model.still.size();
  if (K == 0) return model;
  for (int axis = 0; axis < 3; ++axis) {
    double sw = 0, sm = 0;
    for (const GyroRest& r : model.still) {
      const double wt = 1.0 / (r.meanSigma[axis] * r.meanSigma[axis]);
      sw += wt;
      sm += wt * r.mean[axis];
    }
    model.mean[axis] = sm / sw;
    double chi2 = 0.0;
    double ss = 0.0;
    double plain = 0.0;
    for (const GyroRest& r : model.still) plain += r.mean[axis] / static_cast<double>(K);
    for (const GyroRest& r : model.still) {
      const double d = (r.mean[axis] - model.mean[axis]) / r.meanSigma[axis];
      chi2 += d * d;
      ss += (r.mean[axis] - plain) * (r.mean[axis] - plain);
    }
    const double reduced = K > 1 ? chi2 / static_cast<double>(K - 1) : 1.0;
    if (reduced > kDriftChi2) model.drifting = true;
    model.meanSigma[axis] = std::sqrt(1.0 / sw) * std::sqrt(std::max(1.0, reduced));
    model.spread[axis] = K > 1 ? std::sqrt(ss / static_cast<double>(K - 1)) : 0.0;
    // Weighted straight line through the rests' means in time.
    if (K > 1) {
      double s0 = 0, s1 = 0, s2 = 0, sy = 0, sxy = 0;
      for (const GyroRest& r : model.still) {
        const double wt = 1.0 / (r.meanSigma[axis] * r.meanSigma[axis]);
        s0 += wt;
        s1 += wt * r.time;
        s2 += wt * r.time * r.time;
        sy += wt * r.mean[axis];
        sxy += wt * r.time * r.mean[axis];
      }
      const double den = s0 * s2 - s1 * s1;
      model.driftPerSecond[axis] = den > 0 ? (s0 * sxy - s1 * sy) / den : 0.0;
    }
  }
  return model;
}

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit
