// The guided capture of the public library (tiltfit/live.hpp) against tiltfit --live: the same
// lines at the same times give the same events and the same calibration; and one number rule for
// every reader, so that a field with a unit after its number reads the same everywhere.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "generated_csv.h"
#include "imu_generator.h"
#include "recording_generator.h"
#include "tiltfit/live.hpp"
#include "tiltfit/tiltfit.hpp"

namespace {

using nlohmann::json;
using tiltfit_test::Outcome;
using tiltfit_test::slurp;
using tiltfit_test::TempDir;

// A bench session in the order the tool asks for (the generator's "d" reads +1 g, an axis up),
// rests long enough to be held for half a second at the pace below, then the device turning.
tiltfit_gen::Options session() {
  tiltfit_gen::Options o;
  o.seed = 23;
  o.order = "zd,zu,xd,xu,yd,yu";
  o.restSamples = 7000;
  o.transitionSamples = 500;
  o.extraRests = 7;
  o.motionSamples = 30000;
  o.motionDegPerSample = 0.05;
  o.offset[0] = 0.02;
  o.offset[1] = -0.03;
  o.offset[2] = 0.04;
  const double K[9] = {1.015, 0.003, -0.005, 0.004, 0.99, 0.006, -0.004, 0.003, 1.008};
  for (int i = 0; i < 9; ++i) o.gain[i] = K[i];
  return o;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

// Durations ("(0.7 s)") come from two clocks a few milliseconds apart; the rest must agree.
std::string withoutDurations(const std::string& s) {
  return std::regex_replace(s, std::regex(R"( \([0-9.]+ s\))"), " (T s)");
}

// The session's events as tiltfit --live prints them, after "tiltfit: live: ".
std::vector<std::string> cliEvents(const std::string& err) {
  std::vector<std::string> out;
  const std::string key = "tiltfit: live: ";
  for (const std::string& l : linesOf(err)) {
    if (l.rfind(key, 0) != 0) continue;
    const std::string e = l.substr(key.size());
    // What the read loop says itself: the source, the end of the capture.
    if (e.rfind("reading ", 0) == 0 || e.rfind("capture ended: ", 0) == 0) continue;
    out.push_back(withoutDurations(e));
  }
  return out;
}

TEST(LiveSessionTest, TheLibraryGivesTheEventsAndResultOfTheCommandLine) {
  TempDir dir;
  const std::string file = dir.file("session.csv", tiltfit_test::csv(session()));
  const std::string saved = dir.path() + "/saved.csv";
  const std::string stamps = dir.path() + "/stamps";
  const std::string command = "'" + std::string(TILTFIT_PACER) + "' '" + file + "' 10000 --stamp '" +
                              stamps + "' | '" + TILTFIT_EXE + "' --live - --json --save '" +
                              saved + "'";
  const Outcome cli = tiltfit_test::run("/bin/sh", {"-c", command});
  ASSERT_EQ(cli.status, 0) << cli.err;
  const std::vector<std::string> expected = cliEvents(cli.err);
  ASSERT_NE(cli.err.find("capture ended: the held-out error is"), std::string::npos) << cli.err;

  // The lines the tool read, at the times the pacer wrote them, in its bursts.
  const std::vector<std::string> lines = linesOf(slurp(saved));
  std::vector<double> at;
  std::ifstream in(stamps);
  for (double t; in >> t;) at.push_back(t);
  ASSERT_GE(at.size(), lines.size());
  tiltfit::LiveSession s;
  std::vector<std::string> got;
  for (std::size_t k = 0; k < lines.size() && !s.stopped();) {
    std::vector<std::string> burst;
    const double t = at[k];
    for (; k < lines.size() && at[k] - t < 1e-3; ++k) burst.push_back(lines[k]);
    s.feedLines(burst, t - at[0]);
    for (const tiltfit::LiveEvent& e : s.events()) {
      if (e.kind != tiltfit::LiveEvent::Kind::kStop) got.push_back(withoutDurations(e.text));
    }
  }
  ASSERT_TRUE(s.stopped());
  // An orientation held for half a second counts when the reader sees it held, which a loaded
  // machine (a sanitizer build) may delay, and with it the instruction that follows: each kind of
  // event is compared in its own order, the orientations captured as a set.
  auto ofKind = [](const std::vector<std::string>& events, const std::string& prefix,
                   bool sorted) {
    std::vector<std::string> out;
    for (const std::string& e : events) {
      const bool held = e.size() > 9 && e.compare(e.size() - 9, 9, " captured") == 0;
      if (prefix == "captured" ? held : !held && e.rfind(prefix, 0) == 0) out.push_back(e);
    }
    if (sorted) std::sort(out.begin(), out.end());
    return out;
  };
  for (const char* kind : {"columns ", "next: ", "still stretch ", "captured"}) {
    const bool set = std::string(kind) == "captured";
    EXPECT_EQ(ofKind(got, kind, set), ofKind(expected, kind, set)) << kind;
  }
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_EQ(s.stopReason().rfind("the held-out error is ", 0), 0u);

  // The capture calibrated: what --live reported, to the last bit.
  const tiltfit::Result r = s.result();
  ASSERT_TRUE(r.success);
  const json report = json::parse(cli.out);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(report["calibration"]["offset"][i].get<double>(), r.calibration.offset[i]);
    for (std::size_t j = 0; j < 3; ++j)
      EXPECT_EQ(report["calibration"]["gain_matrix"][i][j].get<double>(),
                r.calibration.gainMatrix[i][j]);
  }
}

// Samples handed over as arrays find the same stretches as the lines that hold them.
TEST(LiveSessionTest, SamplesAndLinesGiveTheSameStretches) {
  tiltfit_gen::Options o = session();
  o.extraRests = 0;
  o.motionSamples = 0;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  tiltfit::LiveOptions replay;
  replay.replay = true;
  tiltfit::LiveSession fromLines(replay);
  fromLines.feedLines(linesOf(tiltfit_test::csvText(rec)), 0.0);
  fromLines.finish(0.0);
  tiltfit::LiveSession fromSamples(replay);
  fromSamples.feedSamples(rec.x.data(), rec.y.data(), rec.z.data(), rec.x.size(), 0.0);
  fromSamples.finish(0.0);
  auto stretches = [](tiltfit::LiveSession& s) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> rows;
    for (const tiltfit::LiveEvent& e : s.events())
      if (e.kind == tiltfit::LiveEvent::Kind::kStretch) rows.emplace_back(e.firstSample, e.lastSample);
    return rows;
  };
  const auto a = stretches(fromLines);
  EXPECT_EQ(a.size(), 6u);
  EXPECT_EQ(a, stretches(fromSamples));
  EXPECT_EQ(fromLines.samples(), rec.x.size());
  EXPECT_EQ(fromLines.linesWithoutReadings(), 1u);  // the header
}

// "0.98g" is the number 0.98 to --auto, to the live session and to --apply alike.
TEST(LiveSessionTest, AFieldWithAUnitReadsTheSameInEveryReader) {
  tiltfit_gen::Options o = session();
  o.extraRests = 0;
  o.motionSamples = 0;
  const std::string plain = tiltfit_test::csv(o);
  const std::string suffixed = std::regex_replace(plain, std::regex(R"(([0-9])(,|\n))"), "$1g$2");
  ASSERT_NE(suffixed, plain);
  TempDir dir;
  const std::string p = dir.file("plain.csv", plain);
  const std::string s = dir.file("suffixed.csv", suffixed);

  const Outcome a = tiltfit_test::run(TILTFIT_EXE, {"--auto", p, "--json"});
  const Outcome b = tiltfit_test::run(TILTFIT_EXE, {"--auto", s, "--json"});
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(json::parse(a.out)["calibration"], json::parse(b.out)["calibration"]);

  tiltfit::LiveOptions replay;
  replay.replay = true;
  tiltfit::LiveSession live(replay);
  live.feed(suffixed.data(), suffixed.size(), 0.0);
  live.finish(0.0);
  EXPECT_EQ(live.linesWithoutReadings(), 1u);
  EXPECT_EQ(live.result().calibration.gainMatrix[1][1],
            json::parse(a.out)["calibration"]["gain_matrix"][1][1].get<double>());

  const std::string cal = dir.file("cal.json", a.out);
  const Outcome applied = tiltfit_test::run(TILTFIT_EXE, {"--apply", cal, s});
  const Outcome appliedPlain = tiltfit_test::run(TILTFIT_EXE, {"--apply", cal, p});
  ASSERT_EQ(applied.status, 0) << applied.err;
  // The numbers calibrate; the unit after each stays where it was.
  const std::string withUnits =
      std::regex_replace(appliedPlain.out, std::regex(R"(([0-9])(,|\n))"), "$1g$2");
  EXPECT_EQ(applied.out, withUnits);
}

// With a gyroscope the header names, the capture also waits for the gyro's target: once the
// accelerometer is done it asks for turns about the axis the gyro knows least, and its stop says
// both figures.
TEST(LiveSessionTest, TheGyroscopeIsGuidedToItsTargetToo) {
  tiltfit_gen::ImuOptions o;
  o.accel.seed = 5;
  o.rate = 2000;
  o.restSeconds = 1.0;
  o.moveSeconds = 0.6;
  o.randomPoses = 14;
  o.gyroUnits = "deg";
  const double M[9] = {1.015, 0.008, -0.005, -0.006, 0.985, 0.009, 0.004, -0.007, 1.02};
  for (int i = 0; i < 9; ++i) o.gyroMatrix[i] = M[i];
  const tiltfit_gen::ImuRecording rec = tiltfit_gen::generateImu(o);
  std::FILE* f = std::tmpfile();
  tiltfit_gen::writeImuCsv(f, rec, o);
  std::rewind(f);
  std::string text;
  char block[65536];
  for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) text.append(block, n);
  std::fclose(f);
  const std::vector<std::string> lines = linesOf(text);
  for (const double targetDeg : {0.005, 0.1}) {
    tiltfit::LiveOptions opts;
    opts.targetDeg = targetDeg;
    tiltfit::LiveSession s(opts);
    bool turned = false;
    // 200 lines at a time, at the pace of the recording's own clock.
    for (std::size_t k = 0; k < lines.size() && !s.stopped(); k += 200) {
      const std::vector<std::string> burst(lines.begin() + static_cast<std::ptrdiff_t>(k),
                                           lines.begin() + static_cast<std::ptrdiff_t>(
                                                               std::min(lines.size(), k + 200)));
      s.feedLines(burst, static_cast<double>(k) / o.rate);
      for (const tiltfit::LiveEvent& e : s.events())
        turned = turned || e.text.find("next: turn the device over about") == 0;
    }
    if (targetDeg < 0.01) {
      // Too tight for this session: it asks for turns and never stops.
      EXPECT_TRUE(turned);
      EXPECT_FALSE(s.stopped());
    } else {
      ASSERT_TRUE(s.stopped());
      EXPECT_NE(s.stopReason().find("the gyroscope's expected error in a 90-degree move is"),
                std::string::npos)
          << s.stopReason();
      const tiltfit::Result r = s.result();
      ASSERT_TRUE(r.hasGyro && r.gyro.success);
      EXPECT_EQ(r.gyro.calibration.method, "moves");
      EXPECT_LE(r.gyro.quality.expectedErrorDeg, targetDeg);
    }
  }
}

}  // namespace
