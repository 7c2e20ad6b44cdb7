// tiltfit --auto as a user runs it: recordings of any units, layout, rate and noise calibrate with
// no tuning numbers, the printed classic command repeats the result, and failures say why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "generated_csv.h"
#include "recording_generator.h"

namespace {

using nlohmann::json;
using tiltfit_test::csv;
using tiltfit_test::Outcome;
using tiltfit_test::TempDir;

const std::string kExe = TILTFIT_EXE;
const std::string kData = std::string(TILTFIT_SOURCE_DIR) + "/data/";

Outcome tiltfit(const std::vector<std::string>& args) { return tiltfit_test::run(kExe, args); }

// The arguments of the "tiltfit: to repeat: tiltfit ..." line (quotes as a shell reads them).
std::vector<std::string> repeatArguments(const std::string& err) {
  const std::string key = "tiltfit: to repeat: tiltfit ";
  const size_t at = err.find(key);
  if (at == std::string::npos) return {};
  std::vector<std::string> args;
  std::string word;
  bool quoted = false;
  bool any = false;
  for (size_t i = at + key.size(); i < err.size() && (quoted || err[i] != '\n'); ++i) {
    const char c = err[i];
    if (c == '\'') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) args.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) args.push_back(word);
  return args;
}

tiltfit_gen::Options sensor(std::uint64_t seed) {
  tiltfit_gen::Options o;
  o.seed = seed;
  o.offset[0] = 0.03;
  o.offset[1] = -0.02;
  o.offset[2] = 0.05;
  const double K[9] = {1.02, 0.004, -0.006, 0.003, 0.985, 0.008, -0.005, 0.002, 1.01};
  for (int i = 0; i < 9; ++i) o.gain[i] = K[i];
  return o;
}

// Runs --auto --json on a file; checks success, quality, and that the repeat line reproduces the
// calibration bit for bit. Returns the document.
json autoCalibrates(const std::string& path, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"--auto", path, "--json"};
  args.insert(args.end(), extra.begin(), extra.end());
  const Outcome o = tiltfit(args);
  EXPECT_EQ(o.status, 0) << path << "\n" << o.err;
  if (o.status != 0) return json();
  const json doc = json::parse(o.out);
  EXPECT_TRUE(doc["success"].get<bool>());
  EXPECT_LE(doc["quality"]["norm_error_after_mg"].get<double>(), 2.0) << path;
  EXPECT_LE(doc["quality"]["worst_after_mg"].get<double>(), 2.0) << path;

  // The classic command with its numbers, or --auto where no classic command gives the result.
  std::vector<std::string> repeat = repeatArguments(o.err);
  EXPECT_GE(repeat.size(), 2u) << o.err;
  if (repeat.size() < 2) return doc;
  repeat.push_back("--json");
  const Outcome again = tiltfit(repeat);
  EXPECT_EQ(again.status, 0) << again.err;
  if (again.status == 0) {
    const json second = json::parse(again.out);
    EXPECT_EQ(second["calibration"], doc["calibration"]) << "repeat of " << path;
  }
  return doc;
}

// The calibration of a document as G (row-major, column form) and b.
void columnForm(const json& doc, double G[9], double b[3]) {
  const json& c = doc["calibration"]["column_form"];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) G[3 * i + j] = c["gain"][i][j].get<double>();
    b[i] = c["offset"][i].get<double>();
  }
}

// Time column first and ';' between the fields: the same numbers in another layout.
std::string withTimeAndSemicolons(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  std::string out;
  long row = 0;
  while (std::getline(in, line)) {
    for (char& c : line)
      if (c == ',') c = ';';
    out += (row == 0 ? std::string("time") : std::to_string(row * 10)) + ";" + line + "\n";
    ++row;
  }
  return out;
}

TEST(AutoTest, RealRecordingsAndTheirRewrittenLayouts) {
  TempDir dir;
  for (const char* name : {"mpu6050_tomisuarez_g.csv", "imucal_ferraris_g.csv",
                           "imucal_ferraris.csv", "sample_recording.csv"}) {
    const json doc = autoCalibrates(kData + name);
    const std::string text = tiltfit_test::slurp(kData + name);
    const std::string rewritten = dir.file(std::string("t_") + name, withTimeAndSemicolons(text));
    const json again = autoCalibrates(rewritten);
    if (doc.is_null() || again.is_null()) continue;
    EXPECT_EQ(again["input"]["columns"], json({2, 3, 4}));
    EXPECT_EQ(again["input"]["delimiter"], ";");
    EXPECT_EQ(again["calibration"], doc["calibration"]) << name;
  }
  // m/s^2 is detected and the output keeps the recording's unit.
  const json metric = autoCalibrates(kData + "imucal_ferraris.csv");
  EXPECT_EQ(metric["input"]["units"], "ms2");
  EXPECT_EQ(metric["calibration"]["units"], "m/s^2");
}

struct GeneratedCase {
  const char* name;
  int rest;
  int transition;
  double noise;
  const char* order;
  int cycles;
  double countsScale;
  double countsOffset;
  bool metric;
};

class AutoGeneratedTest : public ::testing::TestWithParam<GeneratedCase> {};

TEST_P(AutoGeneratedTest, CalibratesWithNoNumbers) {
  const GeneratedCase& c = GetParam();
  tiltfit_gen::Options o = sensor(21);
  o.restSamples = c.rest;
  o.transitionSamples = c.transition;
  o.noise = c.noise;
  o.order = c.order;
  o.cycles = c.cycles;
  o.countsScale = c.countsScale;
  o.countsOffset = c.countsOffset;
  o.metric = c.metric;
  TempDir dir;
  const json doc = autoCalibrates(dir.file("rec.csv", csv(o)));
  if (doc.is_null()) return;
  double G[9];
  double b[3];
  columnForm(doc, G, b);
  double mean = 0;
  double worst = 0;
  tiltfit_gen::sphereError(o, G, b, c.metric ? 9.81 : 1.0, mean, worst);
  EXPECT_LE(mean, 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, AutoGeneratedTest,
    ::testing::Values(
        GeneratedCase{"short_rests", 60, 30, 0.002, "zu,zd,xu,xd,yu,yd", 1, 0, 0, false},
        GeneratedCase{"long_rests", 20000, 2000, 0.002, "zu,zd,xu,xd,yu,yd", 1, 0, 0, false},
        GeneratedCase{"any_order_three_cycles", 800, 200, 0.002, "yd,xu,zd,yu,zu,xd", 3, 0, 0,
                      false},
        GeneratedCase{"quiet", 2000, 300, 0.0005, "xd,zu,yu,xu,zd,yd", 2, 0, 0, false},
        GeneratedCase{"noisy", 3000, 300, 0.010, "zu,zd,xu,xd,yu,yd", 1, 0, 0, false},
        GeneratedCase{"counts_unsigned", 2000, 300, 0.002, "zu,zd,xu,xd,yu,yd", 1, 4096, 32768,
                      false},
        GeneratedCase{"counts_signed", 2000, 300, 0.001, "zu,zd,xu,xd,yu,yd", 1, 16384, 0, false},
        GeneratedCase{"metric", 2000, 300, 0.002, "zu,zd,xu,xd,yu,yd", 1, 0, 0, true}),
    [](const ::testing::TestParamInfo<GeneratedCase>& p) { return std::string(p.param.name); });

// Tilted rests with extra positions: the accuracy targets hold in auto mode too.
TEST(AutoTest, TiltedRestsWithExtraPositionsMeetTheSphereTargets) {
  TempDir dir;
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    tiltfit_gen::Options o = sensor(seed);
    o.tiltDeg = 8;
    o.extraRests = 6;
    const json doc = autoCalibrates(dir.file("tilted.csv", csv(o)));
    if (doc.is_null()) continue;
    EXPECT_EQ(doc["calibration"]["method"], "refined");
    double G[9];
    double b[3];
    columnForm(doc, G, b);
    double mean = 0;
    double worst = 0;
    tiltfit_gen::sphereError(o, G, b, 1.0, mean, worst);
    EXPECT_LE(mean, 1.0) << "seed " << seed;
    EXPECT_LE(worst, 3.0) << "seed " << seed;
  }
}

// Four axis directions and twelve positions at random: no six rests, so the still stretches alone
// calibrate it, in the sensor's own axes. Text mode adds one line of quality figures, those of the
// JSON report of the same run.
TEST(AutoTest, StretchesAloneCalibrateAndTheQualityLineMatchesTheReport) {
  TempDir dir;
  tiltfit_gen::Options o = sensor(6);
  o.order = "zu,xu,xd,yu";
  o.tiltDeg = 5;
  o.extraRests = 12;
  const std::string path = dir.file("rec.csv", csv(o));
  const json doc = autoCalibrates(path);
  EXPECT_EQ(doc["calibration"]["method"], "stretches");
  EXPECT_TRUE(doc["parameters"].is_null());
  EXPECT_EQ(doc["repeat"], "tiltfit --auto " + path);
  const json& g = doc["calibration"]["gain_matrix"];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(g[i][j].get<double>(), g[j][i].get<double>());
  double G[9];
  double b[3];
  columnForm(doc, G, b);
  double mean = 0.0;
  double worst = 0.0;
  tiltfit_gen::sphereError(o, G, b, 1.0, mean, worst);
  EXPECT_LE(mean, 0.15);  // measured 0.03 mg
  EXPECT_LE(worst, 0.5);

  const Outcome text = tiltfit({"--auto", path});
  ASSERT_EQ(text.status, 0);
  const json& q = doc["quality"];
  char line[512];
  std::snprintf(line, sizeof line,
                "tiltfit: quality: %d still stretches read 1 g within %.3g mg on average (worst "
                "%.3g mg; %.3g mg before); held out, each against a calibration made without it, "
                "%.3g mg (worst %.3g mg, %d stretches); expected error in any direction %.3g mg\n",
                q["still_stretches"].get<int>(), q["norm_error_after_mg"].get<double>(),
                q["worst_after_mg"].get<double>(), q["norm_error_before_mg"].get<double>(),
                q["held_out_mg"]["mean"].get<double>(), q["held_out_mg"]["worst"].get<double>(),
                q["held_out_mg"]["stretches"].get<int>(), q["expected_error_mg"].get<double>());
  EXPECT_EQ(tiltfit_test::quality(text.err), line);

  // --method six-rest insists on the rest search, which has no six rests here.
  const Outcome six = tiltfit({"--auto", path, "--method", "six-rest"});
  EXPECT_EQ(six.status, 255);
  EXPECT_NE(six.err.find("no rest with z at +1 g in the recording"), std::string::npos) << six.err;
}

// A recording that never lies still says how still its stillest second is.
TEST(AutoTest, ARecordingNeverStillSaysHowMuchItMoves) {
  TempDir dir;
  tiltfit_gen::Options o = sensor(7);
  o.order = "none";
  o.motionSamples = 3000;
  o.motionDegPerSample = 0.5;
  const std::string path = dir.file("moving.csv", csv(o));
  const Outcome r = tiltfit({"--auto", path});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("tiltfit: no still stretch: the quietest second moves "), std::string::npos)
      << r.err;
}

TEST(AutoTest, MissingOrientationIsNamedAndNothingSuggested) {
  TempDir dir;
  tiltfit_gen::Options o = sensor(3);
  o.order = "zu,zd,xu,xd,yd";
  const std::string path = dir.file("rec.csv", csv(o));
  // The classic command names the rest its search lacks; --auto, which could calibrate from other
  // still positions too, says what to hold (an axis pointing up reads +1 g).
  const std::string hold =
      "no still stretch with y pointing down (y at -1 g): hold the device with y down for a few "
      "seconds";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } runs[2] = {{{"--auto", path}, hold},
               {{path, "5", "50", "5e-4", "1000", "2e-3"},
                "no rest with y at -1 g in the recording"}};
  for (const auto& run : runs) {
    const Outcome r = tiltfit(run.args);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("tiltfit: " + run.message + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("try:"), std::string::npos) << r.err;
  }
  const Outcome j = tiltfit({"--auto", path, "--json"});
  const json doc = json::parse(j.out);
  EXPECT_FALSE(doc["success"].get<bool>());
  EXPECT_EQ(doc["orientations"][2]["diagnosis"], hold);
}

// A classic run that fails on one number too tight names the test that stopped it and prints a
// command that works.
TEST(AutoTest, TightNumbersGetADiagnosisAndATryLineThatWorks) {
  const std::string path = kData + "sample_recording.csv";
  struct Case {
    std::vector<std::string> numbers;
    const char* stop;
    const char* advice;  // which way the numbers must move, after the reasons
  };
  const std::string notThat =
      "; the failure line's advice to increase tolerancePct or deltaThresholdWindow does not "
      "apply here";
  const Case cases[4] = {
      {{"0.5", "50", "5e-4", "1000", "2e-3"}, "the band", "tolerancePct up"},
      {{"5", "50", "5e-4", "3000", "2e-3"}, "the window", "windowWidth down"},
      {{"5", "50", "5e-4", "1000", "1e-5"}, "the deviation", "deltaThresholdWindow up"},
      {{"5", "50", "1e-6", "1000", "2e-3"}, "the step", "diffThreshold up"}};
  for (const Case& c : cases) {
    std::vector<std::string> args = {path};
    args.insert(args.end(), c.numbers.begin(), c.numbers.end());
    const Outcome r = tiltfit(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find(std::string(": ") + c.stop + ":"), std::string::npos) << r.err;
    // The failure line's advice holds for the band and the deviation only.
    const bool lineApplies =
        c.stop == std::string("the band") || c.stop == std::string("the deviation");
    EXPECT_NE(r.err.find(std::string("tiltfit: which way the numbers must move: ") + c.advice +
                         (lineApplies ? "" : notThat) + "\n"),
              std::string::npos)
        << r.err;
    const std::string key = "tiltfit: try: tiltfit ";
    const size_t at = r.err.find(key);
    ASSERT_NE(at, std::string::npos) << r.err;
    std::vector<std::string> tryArgs;
    std::istringstream words(r.err.substr(at + key.size(), r.err.find('\n', at) - at - key.size()));
    for (std::string w; words >> w;) tryArgs.push_back(w);
    EXPECT_EQ(tiltfit(tryArgs).status, 0) << r.err;
  }
}

// A failed report diagnoses each orientation on its own: the one the recording lacks says so,
// the others name the test that stopped their own search.
TEST(AutoTest, EachOrientationIsDiagnosedOnItsOwn) {
  TempDir dir;
  tiltfit_gen::Options o = sensor(3);
  o.order = "zu,zd,xu,xd,yd";  // no rest with y at -1 g
  const std::string path = dir.file("rec.csv", csv(o));
  const Outcome r = tiltfit({path, "2", "50", "5e-4", "1000", "2e-3", "--json"});
  EXPECT_EQ(r.status, 255);
  const json doc = json::parse(r.out);
  std::vector<std::string> seen;
  for (const json& orientation : doc["orientations"]) {
    const std::string name = orientation["axis"].get<std::string>() + " at " +
                             (orientation["reading"].get<int>() < 0 ? "-1 g" : "+1 g");
    if (orientation["found"].get<bool>()) {
      EXPECT_TRUE(orientation["diagnosis"].is_null()) << name;
      continue;
    }
    const std::string d = orientation["diagnosis"].get<std::string>();
    if (name == "y at -1 g") {
      EXPECT_EQ(d, "no rest with y at -1 g in the recording");
    } else {
      EXPECT_EQ(d.rfind(name + ": ", 0), 0u) << name << ": " << d;
    }
    seen.push_back(d);
  }
  // A band of 2 % misses more than the missing rest, each for its own reason.
  EXPECT_GE(seen.size(), 3u);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
  EXPECT_EQ(doc["problems"], json::array({"no rest with y at -1 g in the recording"}));
}

// Only the three "up" rests: all three others are named, in g, in m/s^2 and in counts, with what
// to hold and the line that says no tuning number will mend it.
TEST(AutoTest, EveryMissingOrientationIsNamed) {
  TempDir dir;
  for (int units = 0; units < 3; ++units) {
    tiltfit_gen::Options o = sensor(4);
    o.order = "xu,yu,zu";
    o.metric = units == 1;
    if (units == 2) o.countsScale = 16384;
    const std::string path = dir.file("up.csv", csv(o));
    const Outcome r = tiltfit({"--auto", path});
    EXPECT_EQ(r.status, 255) << units;
    std::string missing;
    for (const char* axis : {"x", "y", "z"}) {
      missing += std::string("tiltfit: no still stretch with ") + axis + " pointing up (" + axis +
                 " at +1 g): hold the device with " + axis + " up for a few seconds\n";
    }
    EXPECT_NE(r.err.find(missing), std::string::npos) << units << "\n" << r.err;
    // The tool chose the tuning numbers: no advice about them, and the failure ends with its
    // reason.
    EXPECT_EQ(r.err.find("tolerancePct"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "Calibration failed: no still stretch with x pointing up (x at +1 g): hold the "
                     "device with x up for a few seconds\n");
    EXPECT_EQ(r.err.find("at -1 g in the recording"), std::string::npos) << r.err;
    const json doc = json::parse(tiltfit({"--auto", path, "--json"}).out);
    for (int k : {1, 3, 5}) {
      const json& orientation = doc["orientations"][static_cast<size_t>(k)];
      const std::string axis = orientation["axis"].get<std::string>();
      EXPECT_EQ(orientation["diagnosis"], "no still stretch with " + axis + " pointing up (" +
                                              axis + " at +1 g): hold the device with " + axis +
                                              " up for a few seconds");
    }
    for (int k : {0, 2, 4}) {
      EXPECT_EQ(doc["orientations"][static_cast<size_t>(k)]["diagnosis"],
                "not used: the still stretches do not determine a calibration, and the "
                "recording lacks x at +1 g, y at +1 g and z at +1 g");
    }
  }
}

TEST(AutoTest, WrongLayoutIsNamedForWhatItIs) {
  TempDir dir;
  const std::string text = tiltfit_test::slurp(kData + "sample_recording.csv");
  std::string timed;
  std::string decimalCommas;
  std::istringstream in(text);
  long row = 0;
  for (std::string line; std::getline(in, line); ++row) {
    timed += (row == 0 ? std::string("t") : std::to_string(row)) + "," + line + "\n";
    std::string semi = line;
    for (char& ch : semi) ch = ch == ',' ? ';' : ch == '.' ? ',' : ch;
    decimalCommas += semi + "\n";
  }
  const std::string numbers[5] = {"5", "50", "5e-4", "1000", "2e-3"};
  struct Case {
    std::string path;
    const char* says;
  };
  const Case cases[3] = {
      {dir.file("timed.csv", timed), "column 1 only grows: a time column? try --columns 2,3,4"},
      {dir.file("semi.csv", withTimeAndSemicolons(text)), "the lines hold ';'"},
      {dir.file("commas.csv", decimalCommas), "numbers use decimal commas"}};
  for (const Case& c : cases) {
    std::vector<std::string> args = {c.path};
    args.insert(args.end(), numbers, numbers + 5);
    const Outcome r = tiltfit(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("m/s^2"), std::string::npos) << r.err;
  }
}

}  // namespace
