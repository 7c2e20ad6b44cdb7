// The linear-time search must return exactly the reference's index list. Randomised recordings
// (fixed seeds) are built to hit the hard cases: exact ties from constant and periodic stretches,
// values on the band edges, steps and deviations exactly at their thresholds, NaN and infinite
// samples, huge values on the other axes, and widths around 1, non-whole and near N.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "findStaticWindow.h"

namespace {

struct Case {
  double tolerancePct, diffThreshold, windowWidth, delta;
  int axis;
  double level;
};

std::vector<unsigned> run(bool fast, const coder::array<double, 2>& x, const Case& c) {
  coder::array<unsigned int, 2> idx;
  if (fast) {
    coder::findStaticWindowFast(x, c.axis, c.level, c.tolerancePct, c.diffThreshold, c.windowWidth,
                                c.delta, idx);
  } else {
    coder::findStaticWindow(x, c.axis, c.level, c.tolerancePct, c.diffThreshold, c.windowWidth,
                            c.delta, idx);
  }
  return std::vector<unsigned>(idx.data(), idx.data() + idx.numel());
}

// A recording of segments, each drawn from one of several kinds of signal.
void randomRecording(std::mt19937_64& rng, int n, double level, int axis,
                     coder::array<double, 2>& x) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::uniform_int_distribution<int> kind(0, 7);
  x.set_size(n, 3);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  int k = 0;
  while (k < n) {
    const int len = std::min(n - k, 5 + static_cast<int>(u(rng) * 120));
    const int type = kind(rng);
    const double base = level + (u(rng) < 0.5 ? 0.0 : (std::floor(u(rng) * 9) - 4) / 16.0);
    const double noise = std::pow(10.0, -1 - 5 * u(rng));
    const int period = 1 + static_cast<int>(u(rng) * 4);
    for (int i = 0; i < len; ++i, ++k) {
      for (int c = 0; c < 3; ++c) {
        const bool onAxis = c == axis - 1;
        double v = onAxis ? base : (std::floor(u(rng) * 5) - 2) / 64.0;
        switch (type) {
          case 0:
            break;  // constant
          case 1:
            v += (i % period) / 64.0;
            break;  // periodic, exact ties
          case 2:
            v += std::round((u(rng) - 0.5) * 8) / 64.0;
            break;  // coarse quantised
          case 3:
            v += (u(rng) - 0.5) * noise;
            break;  // smooth noise
          case 4:
            v += (u(rng) - 0.5) * noise + 1e-3 * i;
            break;  // drifting
          case 5:
            v = onAxis ? v : v * 1e200;
            break;  // huge off-axis
          case 6:
            v += (u(rng) - 0.5) * 2.0;
            break;  // motion
          default:
            v += std::round((u(rng) - 0.5) * 4) / 1024.0;
            break;  // fine quantised
        }
        if (u(rng) < 0.002) v = u(rng) < 0.5 ? nan : (u(rng) < 0.5 ? inf : -inf);
        x[k + n * c] = v;
      }
    }
  }
}

TEST(WindowSearchEquivalenceTest, FastSearchReturnsTheReferenceWindow) {
  const double tolerances[] = {25.0, 12.5, 50.0, 5.0, 100.0};
  const double diffs[] = {0.25, 1.0 / 64, 1.0 / 32, 0.5, 1e-3, 2.0};
  const double deltas[] = {1.0 / 64, 1.0 / 32, 1.0 / 128, 0.0625, 2e-3, 0.3, 1e-9};
  int nonTrivial = 0;
  for (unsigned seed = 1; seed <= 3000; ++seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int n = 30 + static_cast<int>(u(rng) * 400);
    Case c;
    c.axis = 1 + static_cast<int>(u(rng) * 3);
    c.level = u(rng) < 0.5 ? -1.0 : 1.0;
    c.tolerancePct = tolerances[static_cast<size_t>(u(rng) * 5)];
    c.diffThreshold = diffs[static_cast<size_t>(u(rng) * 6)];
    c.delta = deltas[static_cast<size_t>(u(rng) * 7)];
    const double widthKind = u(rng);
    if (widthKind < 0.1) {
      c.windowWidth = std::floor(u(rng) * 4) * 0.5;  // 0, 0.5, 1, 1.5
    } else if (widthKind < 0.2) {
      c.windowWidth = n - std::floor(u(rng) * 4) * 0.5;  // near and at N
    } else if (widthKind < 0.5) {
      c.windowWidth = 17 + std::floor(u(rng) * 60) + (u(rng) < 0.3 ? 0.5 : 0.0);
    } else {
      c.windowWidth = 2 + std::floor(u(rng) * n * 0.6);
    }
    coder::array<double, 2> x;
    randomRecording(rng, n, c.level, c.axis, x);
    const std::vector<unsigned> expected = run(false, x, c);
    nonTrivial += expected.size() > 1;
    ASSERT_EQ(run(true, x, c), expected)
        << "seed " << seed << " n " << n << " width " << c.windowWidth << " axis " << c.axis
        << " level " << c.level;
  }
  // The recordings must exercise found windows, not only the placeholder.
  EXPECT_GT(nonTrivial, 600);
}

}  // namespace
