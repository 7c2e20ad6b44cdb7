#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "findStaticWindow.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Params {
  double tolerancePct = 10;
  double diffThreshold = 0.05;
  double windowWidth = 3;
  double deltaThresholdWindow = 0.02;
};

// An n x 3 recording whose column `axis` (1-based) holds `values` and the other columns zeros.
void recording(coder::array<double, 2>& x, int axis, const std::vector<double>& values) {
  const int n = static_cast<int>(values.size());
  x.set_size(n, 3);
  for (int k = 0; k < n; ++k) x[k + n * (axis - 1)] = values[static_cast<size_t>(k)];
}

std::vector<unsigned> search(const coder::array<double, 2>& x, int axis, double level,
                             const Params& p) {
  coder::array<unsigned int, 2> idx;
  coder::findStaticWindow(x, axis, level, p.tolerancePct, p.diffThreshold, p.windowWidth,
                          p.deltaThresholdWindow, idx);
  EXPECT_EQ(idx.size(0), 1);
  return std::vector<unsigned>(idx.data(), idx.data() + idx.numel());
}

using V = std::vector<unsigned>;

TEST(WindowSearchTest, SteadyRestChoosesTheFirstOfEqualWindows) {
  coder::array<double, 2> x;
  recording(x, 2, std::vector<double>(8, -1.0));
  EXPECT_EQ(search(x, 2, -1, {}), (V{1, 2, 3}));
}

TEST(WindowSearchTest, StepIntoASampleDisqualifiesIt) {
  coder::array<double, 2> x;
  recording(x, 3, {0, 0, -1, -1, -1, -1, -1, -1});
  // Sample 3 steps by 1 from sample 2; windows 1-3 fail, 4 wins and 5 only ties it.
  EXPECT_EQ(search(x, 3, -1, {}), (V{4, 5, 6}));
}

TEST(WindowSearchTest, TheQuietestWindowWins) {
  coder::array<double, 2> x;
  recording(x, 1, {1.01, 0.99, 1.01, 0.99, 1.001, 1.0, 1.0, 1.0, 1.0, 1.0});
  EXPECT_EQ(search(x, 1, 1, {}), (V{6, 7, 8}));
  // The score looks at all three axes: movement on Y alone moves the choice.
  x[5 + 10] = 0.004;
  EXPECT_EQ(search(x, 1, 1, {}), (V{7, 8, 9}));
}

TEST(WindowSearchTest, LastSampleNeverBelongsToAWindow) {
  coder::array<double, 2> x;
  // Rest only over the last three samples: the window 6-8 would need start 6 > trunc(8 - 3).
  recording(x, 3, {0, 0, 0, 0, 0, -1, -1, -1});
  EXPECT_EQ(search(x, 3, -1, {}), (V{1}));
  recording(x, 3, {0, 0, 0, 0, -1, -1, -1, -1});
  EXPECT_EQ(search(x, 3, -1, Params{10, 2, 3, 0.02}), (V{5, 6, 7}));
}

TEST(WindowSearchTest, ComparisonsAreStrict) {
  coder::array<double, 2> x;
  // On the band edge: level -1, t = 0.5 exactly, value -0.5.
  recording(x, 1, std::vector<double>(8, -0.5));
  EXPECT_EQ(search(x, 1, -1, Params{50, 0.05, 3, 0.02}), (V{1}));
  EXPECT_EQ(search(x, 1, -1, Params{50.5, 0.05, 3, 0.02}), (V{1, 2, 3}));
  // A step of exactly diffThreshold disqualifies: alternating -1 / -0.75 steps by 0.25.
  recording(x, 1, {-1, -0.75, -1, -0.75, -1, -0.75, -1, -0.75});
  EXPECT_EQ(search(x, 1, -1, Params{50, 0.25, 3, 1}), (V{1}));
  EXPECT_EQ(search(x, 1, -1, Params{50, 0.2500001, 3, 1}), (V{1, 2, 3}));
  // A deviation of exactly deltaThresholdWindow fails: window (-1, -0.5) has mean -0.75.
  recording(x, 1, {-1, -0.5, -1, -0.5, -1, -0.5, -1, -0.5});
  EXPECT_EQ(search(x, 1, -1, Params{60, 1, 2, 0.25}), (V{1}));
  EXPECT_EQ(search(x, 1, -1, Params{60, 1, 2, 0.2500001}), (V{1, 2}));
}

TEST(WindowSearchTest, ScoreMustStayBelowOne) {
  coder::array<double, 2> x;
  recording(x, 1, std::vector<double>(8, 1.0));
  // Y alternates by 2: column std of a 3-window is about 1.15, so no window may win.
  for (int k = 0; k < 8; ++k) x[k + 8] = (k % 2) ? 1.0 : -1.0;
  EXPECT_EQ(search(x, 1, 1, {}), (V{1}));
}

TEST(WindowSearchTest, NonPositiveDiffThresholdRejectsEverySample) {
  coder::array<double, 2> x;
  recording(x, 1, std::vector<double>(8, 1.0));
  EXPECT_EQ(search(x, 1, 1, Params{10, 0, 3, 0.02}), (V{1}));
  EXPECT_EQ(search(x, 1, 1, Params{10, -1, 3, 0.02}), (V{1}));
}

TEST(WindowSearchTest, WindowWidthRules) {
  coder::array<double, 2> x;
  recording(x, 1, {0, 0, 1, 1, 1, 1, 1, 1, 1, 1});
  // Width 1: the first candidate start wins with a single sample.
  EXPECT_EQ(search(x, 1, 1, Params{10, 2, 1, 0.02}), (V{3}));
  // Non-whole widths hold floor(width) samples and trunc(N - width) starts.
  EXPECT_EQ(search(x, 1, 1, Params{10, 2, 3.7, 0.02}), (V{3, 4, 5}));
  EXPECT_EQ(search(x, 1, 1, Params{10, 2, 7.5, 0.02}), (V{1}));  // start 3 > trunc(2.5)
  EXPECT_EQ(search(x, 1, 1, Params{10, 2, 7, 0.02}), (V{3, 4, 5, 6, 7, 8, 9}));
  // Below 1 every window is empty; at or beyond N there is no start.
  for (double w : {0.99, 0.0, -5.0, 10.0, 11.0, 1e300, kInf, -kInf, kNaN})
    EXPECT_EQ(search(x, 1, 1, Params{10, 2, w, 0.02}), (V{1})) << w;
}

TEST(WindowSearchTest, NonFiniteInputsNeverQualify) {
  coder::array<double, 2> x;
  recording(x, 1, {1, kNaN, 1, 1, 1, 1, 1, 1, 1, 1});
  // Sample 2 is NaN and sample 3 steps from NaN: the first clean window starts at 4.
  EXPECT_EQ(search(x, 1, 1, {}), (V{4, 5, 6}));
  recording(x, 1, std::vector<double>(10, 1.0));
  for (double bad : {kNaN, -kInf}) {
    EXPECT_EQ(search(x, 1, 1, Params{bad, 0.05, 3, 0.02}), (V{1}));
    EXPECT_EQ(search(x, 1, 1, Params{10, bad, 3, 0.02}), (V{1}));
    EXPECT_EQ(search(x, 1, 1, Params{10, 0.05, 3, bad}), (V{1}));
  }
  // An empty recording has no start.
  coder::array<double, 2> empty;
  empty.set_size(0, 3);
  EXPECT_EQ(search(empty, 1, 1, {}), (V{1}));
}

}  // namespace
