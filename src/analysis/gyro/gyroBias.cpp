// The rest level of a pose is found before the stillness test needs it: the pose is cut into
// blocks of about 0.15 s, and the median of the means of its quieter half of blocks is the level
// (a turn about the vertical may fill up to half of a pose without moving it). The test then
// compares each block's mean with that level, and the level is refined from the still blocks
// once. Blocks keep the cost at one pass over the pose.
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
constexpr std::size_t kBlock = 32;  // samples per block for the accelerometer's block means
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
    for (const std::size_t lag : {std::size_t{1}, std::size_t{2}, std::size_t{4}, std::size_t{8}}) {
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

  std::vector<double> sums[3], squares[3];
  std::vector<char> still;
  for (std::size_t k = 0; k < spans.size(); ++k) {
    const Span& p = spans[k];
    const std::size_t len = p.last - p.first + 1;
    const std::size_t restsBefore = model.rests.size();
    double origins[3] = {0, 0, 0};
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
    // Sums of blocks of w samples about the pose's first sample (so that a large zero such as
    // 32768 costs no precision), in one pass; the last block takes the remainder.
    const std::size_t blocks = len / w;
    for (int a = 0; a < 3; ++a) {
      const double* col = a == 0 ? s.x : a == 1 ? s.y : s.z;
      origins[a] = std::isfinite(col[p.first]) ? col[p.first] : 0.0;
      sums[a].assign(blocks, 0.0);
      squares[a].assign(blocks, 0.0);
      for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t end = b + 1 < blocks ? (b + 1) * w : len;
        double sum = 0.0, sq = 0.0;
        for (std::size_t q = b * w; q < end; ++q) {
          const double v = col[p.first + q];
          const double d = std::isfinite(v) ? v - origins[a] : 0.0;
          sum += d;
          sq += d * d;
        }
        sums[a][b] = sum;
        squares[a][b] = sq;
      }
    }
    const auto size = [&](std::size_t b) {
      return static_cast<double>(b + 1 < blocks ? w : len - (blocks - 1) * w);
    };
    // The level from the quieter half of the blocks.
    std::vector<std::pair<double, std::size_t>> spread;
    for (std::size_t b = 0; b < blocks; ++b) {
      double v = 0.0;
      for (int a = 0; a < 3; ++a) {
        const double m = sums[a][b] / size(b);
        v += std::max(0.0, squares[a][b] / size(b) - m * m) / (sigma[a] * sigma[a]);
      }
      spread.emplace_back(v, b);
    }
    std::sort(spread.begin(), spread.end());
    double level[3];
    for (int a = 0; a < 3; ++a) {
      std::vector<double> m;
      for (std::size_t q = 0; q < (blocks + 1) / 2; ++q)
        m.push_back(sums[a][spread[q].second] / size(spread[q].second));
      level[a] = median(m);
    }
    // A block is still when its mean lies within kStillSigmas standard errors of the level on
    // every axis and so do its neighbours' (the slow start and end of a turn stay in the move);
    // the level is then refined from the still blocks.
    for (int round = 0; round < 2; ++round) {
      std::vector<char> near(blocks, 1);
      for (std::size_t b = 0; b < blocks; ++b)
        for (int a = 0; a < 3; ++a)
          near[b] = near[b] && std::abs(sums[a][b] - level[a] * size(b)) <=
                                   kStillSigmas * sigma[a] * std::sqrt(size(b));
      still.assign(blocks, 0);
      for (std::size_t b = 0; b < blocks; ++b)
        still[b] = near[b] && (b == 0 || near[b - 1]) && (b + 1 == blocks || near[b + 1]);
      double sum[3] = {0, 0, 0};
      double count = 0;
      for (std::size_t b = 0; b < blocks; ++b) {
        if (!still[b]) continue;
        for (int a = 0; a < 3; ++a) sum[a] += sums[a][b];
        count += size(b);
      }
      if (count < 1) break;
      for (int a = 0; a < 3; ++a) level[a] = sum[a] / count;
    }
    // Runs of still blocks.
    std::size_t q = 0;
    while (q < blocks) {
      if (!still[q]) {
        ++q;
        continue;
      }
      std::size_t e = q;
      while (e + 1 < blocks && still[e + 1]) ++e;
      const std::size_t first = p.first + q * w;
      const std::size_t last = e + 1 == blocks ? p.last : p.first + (e + 1) * w - 1;
      if (last - first + 1 >= kMinGyroRestSamples) {
        GyroRest r;
        r.first = first;
        r.last = last;
        r.pose = owner[k];
        std::copy(pose.gravity, pose.gravity + 3, r.gravity);
        r.gravitySigma = pose.gravitySigma;
        if (s.hasAccel()) accelDirection(s, r.first, r.last, r.gravity, r.gravitySigma);
        const double count = static_cast<double>(last - first + 1);
        const std::size_t nb = e - q + 1;
        for (int a = 0; a < 3; ++a) {
          double total = 0.0;
          for (std::size_t b = q; b <= e; ++b) total += sums[a][b];
          const double relative = total / count;
          r.mean[a] = relative + origins[a];
          double se = sigma[a] / std::sqrt(count);
          // Correlated samples (a slow wobble, a sensor's own filter): the scatter of the block
          // means counts them for what they are worth.
          if (nb >= 4) {
            double ss = 0.0;
            for (std::size_t b = q; b <= e; ++b) {
              const double m = sums[a][b] / size(b);
              ss += (m - relative) * (m - relative);
            }
            se = std::max(se, std::sqrt(ss / static_cast<double>(nb - 1) / static_cast<double>(nb)));
          }
          r.meanSigma[a] = se;
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
