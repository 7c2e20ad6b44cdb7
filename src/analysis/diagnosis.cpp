#include "diagnosis.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <limits>
#include <vector>

namespace tiltfit {
namespace analysis {
namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// Smallest, over windows of len samples lying inside [from, to), of the largest |a - window
// mean|. The largest deviation sits at the window's maximum or minimum, kept in monotonic deques.
double smallestWindowDeviation(const double* a, std::size_t from, std::size_t to, std::size_t len,
                               double best) {
  std::deque<std::size_t> maxQ;
  std::deque<std::size_t> minQ;
  double sum = 0.0;
  for (std::size_t i = from; i < to; ++i) {
    sum += a[i];
    while (!maxQ.empty() && a[maxQ.back()] <= a[i]) maxQ.pop_back();
    maxQ.push_back(i);
    while (!minQ.empty() && a[minQ.back()] >= a[i]) minQ.pop_back();
    minQ.push_back(i);
    if (i + 1 >= from + len) {
      const std::size_t start = i + 1 - len;
      while (maxQ.front() < start) maxQ.pop_front();
      while (minQ.front() < start) minQ.pop_front();
      const double mean = sum / static_cast<double>(len);
      best = std::min(best, std::max(a[maxQ.front()] - mean, mean - a[minQ.front()]));
      sum -= a[start];
    }
  }
  return best;
}

}  // namespace

SearchDiagnosis diagnoseSearch(const coder::array<double, 2>& smoothed, const OrientationId& o,
                               const TuningNumbers& t, std::size_t restLength) {
  SearchDiagnosis d;
  const std::size_t n = static_cast<std::size_t>(smoothed.size(0));
  const double* a = smoothed.data() + n * static_cast<std::size_t>(o.axis);
  const double tol = t.tolerancePct * 0.01;
  const double level = o.level;
  const std::size_t len =
      t.windowWidth >= 1.0 && t.windowWidth < 4e9 ? static_cast<std::size_t>(t.windowWidth) : 0;

  d.closest = std::numeric_limits<double>::infinity();
  d.smallestDeviation = std::numeric_limits<double>::infinity();
  std::vector<double> steps;
  std::size_t run = 0;
  std::size_t bandRun = 0;
  std::size_t runStart = 0;
  auto closeRun = [&](std::size_t end) {
    if (len > 0 && run >= len) {
      d.smallestDeviation = smallestWindowDeviation(a, runStart, end, len, d.smallestDeviation);
    }
  };
  for (std::size_t k = 0; k < n; ++k) {
    const double dist = std::abs(a[k] - level);
    if (dist < d.closest) d.closest = dist;
    const bool inBand = a[k] > level - tol && a[k] < level + tol;
    const double step = k == 0 ? 0.0 : std::abs(a[k] - a[k - 1]);
    if (inBand && k > 0 && std::isfinite(step)) steps.push_back(step);
    bandRun = inBand ? bandRun + 1 : 0;
    d.longestBandRun = std::max(d.longestBandRun, bandRun);
    if (inBand && step < t.diffThreshold) {
      if (run == 0) runStart = k;
      ++run;
      d.longestRun = std::max(d.longestRun, run);
    } else {
      closeRun(k);
      run = 0;
    }
  }
  closeRun(n);
  if (!steps.empty()) {
    std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2),
                     steps.end());
    d.typicalStep = steps[steps.size() / 2];
  }

  const std::string name = orientationName(o);
  if (!(t.windowWidth < static_cast<double>(n))) {
    d.stoppedBy = SearchDiagnosis::Stop::kWindow;
    d.text = format("%s: the window: windowWidth %g is longer than the recording (%zu samples)",
                    name.c_str(), t.windowWidth, n);
  } else if (!(d.closest < tol)) {
    d.stoppedBy = SearchDiagnosis::Stop::kBand;
    d.text = format(
        "%s: the band: the smoothed %c axis comes no closer than %.4g g to %+d g, outside the band "
        "of +-%.4g g (tolerancePct %g)",
        name.c_str(), 'x' + o.axis, d.closest, o.level, tol, t.tolerancePct);
  } else if (d.longestBandRun < len + 1) {
    // A window needs len samples in the band that do not include the recording's last sample.
    if (restLength > len + 1) {
      d.stoppedBy = SearchDiagnosis::Stop::kBand;
      d.text = format(
          "%s: the band: the smoothed %c axis stays inside the band of +-%.4g g (tolerancePct %g) "
          "for at most %zu samples in a row, though the rest lasts %zu; it reads up to %.4g g "
          "from %+d g",
          name.c_str(), 'x' + o.axis, tol, t.tolerancePct, d.longestBandRun, restLength, d.closest,
          o.level);
    } else {
      d.stoppedBy = SearchDiagnosis::Stop::kWindow;
      d.text = format(
          "%s: the window: the longest run inside the band is %zu samples, shorter than "
          "windowWidth %g",
          name.c_str(), d.longestBandRun, t.windowWidth);
    }
  } else if (d.longestRun < len + 1) {
    d.stoppedBy = SearchDiagnosis::Stop::kStep;
    d.text = format(
        "%s: the step: inside the band the smoothed axis typically moves %.3g g from one sample "
        "to the next, against diffThreshold %g, so the longest run of still samples is %zu, "
        "shorter than windowWidth %g",
        name.c_str(), d.typicalStep, t.diffThreshold, d.longestRun, t.windowWidth);
  } else if (!(d.smallestDeviation < t.deltaThresholdWindow)) {
    d.stoppedBy = SearchDiagnosis::Stop::kDeviation;
    d.text = format(
        "%s: the deviation: the smallest window deviation is %.3g g, against "
        "deltaThresholdWindow %g",
        name.c_str(), d.smallestDeviation, t.deltaThresholdWindow);
  } else {
    d.stoppedBy = SearchDiagnosis::Stop::kScore;
    d.text = format(
        "%s: every passing window moves too much on the other axes (summed deviation 1 g or "
        "more)",
        name.c_str());
  }
  if (!std::isfinite(d.smallestDeviation))
    d.smallestDeviation = std::numeric_limits<double>::quiet_NaN();
  return d;
}

}  // namespace analysis
}  // namespace tiltfit
