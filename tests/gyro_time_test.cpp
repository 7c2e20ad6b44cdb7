// The time base: the unit and epoch of a time column, the clock behind stamps that jitter, are
// rounded, repeat, step back or restart, and the gaps. Stamps come from the IMU generator, whose
// sample i is at i / rate seconds.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "gyro/timeBase.h"
#include "imu_generator.h"

namespace {

namespace gyro = tiltfit::analysis::gyro;

struct Case {
  const char* name;
  const char* unit;
  bool epoch;
  double rate, jitter, stampStep, repeat, interleave;
  int gaps;
  bool perSample;  // the clock is kept per sample
  const char* noteHas;
};

tiltfit_gen::ImuOptions session(const Case& c) {
  tiltfit_gen::ImuOptions o;
  o.rate = c.rate;
  o.timeUnit = c.unit;
  o.epoch = c.epoch;
  o.jitter = c.jitter;
  o.stampStep = c.stampStep;
  o.repeat = c.repeat;
  o.interleave = c.interleave;
  o.gaps = c.gaps;
  o.accel.seed = 17;
  return o;
}

class TimeBaseStamps : public ::testing::TestWithParam<Case> {};

TEST_P(TimeBaseStamps, FindsTheUnitTheClockAndTheGaps) {
  const Case& c = GetParam();
  const tiltfit_gen::ImuOptions o = session(c);
  const tiltfit_gen::ImuRecording rec = tiltfit_gen::generateImu(o);
  const gyro::TimeBase tb = gyro::TimeBase::fromStamps(rec.time.data(), rec.time.size());
  EXPECT_EQ(tb.unit(), c.unit);
  EXPECT_EQ(tb.epoch(), c.epoch);
  EXPECT_EQ(tb.perSample(), c.perSample);
  // The mean rate from thousands of samples: well within 0.05 % of the true one.
  EXPECT_NEAR(tb.meanRate() / c.rate, 1.0, 5e-4) << tb.note();
  ASSERT_EQ(tb.gaps().size(), static_cast<std::size_t>(c.gaps)) << tb.note();
  for (const gyro::TimeGap& g : tb.gaps()) {
    EXPECT_FALSE(g.restart);
    // The cut is gapSeconds rounded to whole samples.
    EXPECT_NEAR(g.seconds, o.gapSeconds, 1.5 / c.rate);
  }
  // Across the whole session the clock keeps within a period of the true time.
  const double total = static_cast<double>(rec.time.size() - 1) / c.rate +
                       c.gaps * std::round(o.gapSeconds * c.rate) / c.rate;
  EXPECT_NEAR(tb.time(rec.time.size() - 1), total, 1.0 / c.rate);
  for (std::size_t i = 0; i + 1 < tb.size(); ++i) ASSERT_GT(tb.step(i), 0.0) << "row " << i;
  EXPECT_NE(tb.note().find(c.noteHas), std::string::npos) << tb.note();
}

const Case kCases[] = {
    {"seconds", "s", false, 100, 0, 0, 0, 0, 0, false, "seconds since boot"},
    {"milliseconds_jitter", "ms", false, 100, 1e-3, 0, 0, 0, 0, false, "jitter"},
    {"microseconds_epoch", "us", true, 400, 1e-5, 0, 0, 0, 0, false, "microseconds since 1970"},
    {"nanoseconds_epoch_gaps", "ns", true, 200, 5e-5, 0, 0, 0, 2, false, "2 gaps of"},
    {"seconds_epoch", "s", true, 50, 0, 0, 0, 0, 0, false, "seconds since 1970"},
    {"rounded_to_10ms_at_200Hz", "ms", false, 200, 0, 0.01, 0, 0, 0, false, "rounded to 10 ms"},
    {"repeated_stamps", "s", false, 100, 0, 0, 0.2, 0, 0, false, "repeat"},
    {"interleaved_step_back", "us", false, 100, 0, 0, 0, 1.4, 0, false, "step back"},
    {"large_jitter", "us", false, 100, 3e-3, 0, 0, 0, 0, false, "jitter by 3"},
    {"milliseconds_gap", "ms", false, 100, 1e-4, 0, 0, 0, 1, false, "1 gap of"},
};
INSTANTIATE_TEST_SUITE_P(Stamps, TimeBaseStamps, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(TimeBase, JoinedFilesRestartAndTheRestartIsAGap) {
  tiltfit_gen::ImuOptions o;
  o.joined = true;
  o.restart = true;
  o.timeUnit = "ms";
  const tiltfit_gen::ImuRecording rec = tiltfit_gen::generateImu(o);
  const gyro::TimeBase tb = gyro::TimeBase::fromStamps(rec.time.data(), rec.time.size());
  ASSERT_EQ(tb.gaps().size(), rec.rests.size() - 1);
  for (std::size_t k = 0; k < tb.gaps().size(); ++k) {
    EXPECT_TRUE(tb.gaps()[k].restart);
    EXPECT_EQ(tb.gaps()[k].row, rec.rests[k + 1].first);
    EXPECT_TRUE(tb.gapWithin(rec.rests[k].first, rec.rests[k + 1].first));
  }
  EXPECT_FALSE(tb.gapWithin(rec.rests[0].first, rec.rests[0].first + rec.rests[0].count - 1));
  // Time stays monotonic across the restarts, one period apart.
  const std::size_t r = rec.rests[1].first;
  EXPECT_NEAR(tb.time(r) - tb.time(r - 1), 1.0 / o.rate, 1e-9);
  EXPECT_NE(tb.note().find("restart"), std::string::npos) << tb.note();
}

TEST(TimeBase, AnUnevenClockKeepsEachStamp) {
  // Intervals drawn independently within 30 % of 10 ms, stamped exactly (a phone's sensor events).
  std::vector<double> t{0.0};
  std::uint64_t state = 12345;
  for (int i = 1; i < 3000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const double u = static_cast<double>(state >> 11) / 9007199254740992.0;
    t.push_back(t.back() + 0.01 * (0.7 + 0.6 * u));
  }
  const gyro::TimeBase tb = gyro::TimeBase::fromStamps(t.data(), t.size());
  ASSERT_TRUE(tb.perSample()) << tb.note();
  for (std::size_t i = 0; i + 1 < t.size(); i += 37) {
    EXPECT_NEAR(tb.time(i), t[i], 1e-12);
    EXPECT_NEAR(tb.step(i), t[i + 1] - t[i], 1e-12);
  }
  EXPECT_NE(tb.note().find("its own step"), std::string::npos) << tb.note();
}

TEST(TimeBase, CounterMarksMissingSamples) {
  tiltfit_gen::ImuOptions o;
  o.timeUnit = "counter";
  o.gaps = 2;
  const tiltfit_gen::ImuRecording rec = tiltfit_gen::generateImu(o);
  const gyro::TimeBase tb = gyro::TimeBase::fromCounter(rec.time.data(), rec.time.size(), o.rate);
  ASSERT_EQ(tb.gaps().size(), 2u);
  for (const gyro::TimeGap& g : tb.gaps())
    EXPECT_NEAR(g.seconds, std::round(o.gapSeconds * o.rate) / o.rate, 1e-9);
  // A counter is exact: every row's time is its count over the rate.
  for (std::size_t i = 0; i < tb.size(); i += 97) EXPECT_NEAR(tb.time(i), rec.time[i] / o.rate, 1e-9);
  EXPECT_EQ(tb.unit(), "counter");
}

TEST(TimeBase, RateAloneAndDegenerateColumns) {
  const gyro::TimeBase tb = gyro::TimeBase::fromRate(1000, 250.0);
  EXPECT_DOUBLE_EQ(tb.meanRate(), 250.0);
  EXPECT_DOUBLE_EQ(tb.time(999), 999 / 250.0);
  EXPECT_DOUBLE_EQ(tb.step(0), 1 / 250.0);
  EXPECT_TRUE(tb.gaps().empty());
  // A column that never moves forward falls back on the stated rate, or says it cannot.
  const std::vector<double> flat(50, 3.0);
  const gyro::TimeBase stated = gyro::TimeBase::fromStamps(flat.data(), flat.size(), 100.0);
  EXPECT_DOUBLE_EQ(stated.meanRate(), 100.0);
  const gyro::TimeBase none = gyro::TimeBase::fromStamps(flat.data(), flat.size());
  EXPECT_EQ(none.meanRate(), 0.0);
  EXPECT_NE(none.note().find("no increasing stamps"), std::string::npos);
  const gyro::TimeBase empty = gyro::TimeBase::fromStamps(nullptr, 0);
  EXPECT_EQ(empty.size(), 0u);
}

// Rates no period can be made of give no clock rather than a period of 0 or infinity; a counter
// that restarts keeps its time going forward across the restart.
TEST(TimeBase, RatesWithoutAPeriodAndACounterThatRestarts) {
  for (const double rate : {std::numeric_limits<double>::infinity(), 1e-320, -5.0}) {
    EXPECT_TRUE(gyro::TimeBase::fromRate(100, rate).segments().empty()) << rate;
    // 1e-306 Hz has a period, but not 1000 of them: the last sample's time would be infinite.
    EXPECT_TRUE(gyro::TimeBase::fromRate(1000, 1e-306).segments().empty());
    const std::vector<double> counter = {0, 1, 2, 3};
    EXPECT_TRUE(gyro::TimeBase::fromCounter(counter.data(), counter.size(), rate).segments().empty())
        << rate;
  }
  // 0..39, then 10..49: the restart is one period on from the last sample before it.
  std::vector<double> counter;
  for (int i = 0; i < 40; ++i) counter.push_back(i);
  for (int i = 10; i < 50; ++i) counter.push_back(i);
  const gyro::TimeBase tb = gyro::TimeBase::fromCounter(counter.data(), counter.size(), 100.0);
  for (std::size_t i = 1; i < tb.size(); ++i) EXPECT_NEAR(tb.time(i) - tb.time(i - 1), 0.01, 1e-12) << i;
}

TEST(TimeBase, StatedRateSettlesAmbiguousSteps) {
  // Steps of 1 unit: 1 kHz in ms or 1 Hz in s; the stated rate decides.
  std::vector<double> t(500);
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<double>(i);
  EXPECT_EQ(gyro::TimeBase::fromStamps(t.data(), t.size()).unit(), "ms");
  const gyro::TimeBase slow = gyro::TimeBase::fromStamps(t.data(), t.size(), 1.0);
  EXPECT_EQ(slow.unit(), "s");
  EXPECT_DOUBLE_EQ(slow.meanRate(), 1.0);
}

}  // namespace
