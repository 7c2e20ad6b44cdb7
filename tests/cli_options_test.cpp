// The command line's options as a user meets them: --refine and the warnings, the checks that a
// rest is the orientation it stands for, refused options, --help, --json and standard input.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "generated_csv.h"
#include "getAccCalib.h"
#include "recording_generator.h"
#include "tiltfit/tiltfit.hpp"

namespace {

using nlohmann::json;
using tiltfit_test::csv;
using tiltfit_test::Outcome;
using tiltfit_test::TempDir;

const std::string kExe = TILTFIT_EXE;
const std::string kData = std::string(TILTFIT_SOURCE_DIR) + "/data/";
const std::string kSample = kData + "sample_recording.csv";
const char* const kFailureLine =
    "Calibration failed, you can increase tolerancePct for example, or deltaThresholdWindow\n";

Outcome tiltfit(const std::vector<std::string>& args) { return tiltfit_test::run(kExe, args); }

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

tiltfit_gen::Options tilted(std::uint64_t seed, int extra) {
  tiltfit_gen::Options o;
  o.seed = seed;
  o.tiltDeg = 8;
  o.extraRests = extra;
  o.offset[2] = 0.04;
  o.gain[0] = 1.02;
  return o;
}

// The report lines of a calibration as the classic command prints them.
std::string classicNumbers(const tiltfit::Calibration& c) {
  char line[256];
  std::snprintf(line, sizeof line, "accOffset:\n[ %f %f %f ]\naccGainMatrix:\n", c.offset[0],
                c.offset[1], c.offset[2]);
  std::string s = line;
  for (const auto& row : c.gainMatrix) {
    std::snprintf(line, sizeof line, "[ %f %f %f ]\n", row[0], row[1], row[2]);
    s += line;
  }
  return s;
}

TEST(CliOptionsTest, RefinePrintsTheRefinedFitAndSilencesTheWarnings) {
  TempDir dir;
  const std::string path = dir.file("tilted.csv", csv(tilted(2, 6)));
  const std::vector<std::string> numbers = {path, "8", "20", "2e-3", "1000", "8e-3"};
  const Outcome plain = tiltfit(numbers);
  ASSERT_EQ(plain.status, 0) << plain.err;
  // One line per problem, each saying what to do.
  EXPECT_EQ(count(plain.err, "tiltfit: warning: "), 2u) << plain.err;
  EXPECT_EQ(count(plain.err, "run with --refine"), 2u) << plain.err;

  std::vector<std::string> refinedArgs = numbers;
  refinedArgs.push_back("--refine");
  const Outcome refined = tiltfit(refinedArgs);
  ASSERT_EQ(refined.status, 0);
  EXPECT_EQ(refined.err.find("warning"), std::string::npos) << refined.err;

  const tiltfit::Recording rec = tiltfit::readRecording(path);
  tiltfit::CalibrateOptions options;
  options.refine = true;
  const tiltfit::Result r = tiltfit::calibrate(rec, {8, 20, 2e-3, 1000, 8e-3}, options);
  ASSERT_TRUE(r.calibration.refined);
  EXPECT_NE(refined.out.find(classicNumbers(r.calibration)), std::string::npos) << refined.out;
  EXPECT_NE(plain.out.find(classicNumbers(r.sixRest)), std::string::npos) << plain.out;
  EXPECT_EQ(tiltfit_test::maskTime(refined.out).substr(refined.out.find("Execution")),
            tiltfit_test::maskTime(plain.out).substr(plain.out.find("Execution")));
}

// A band so wide that a rest tilted 40 degrees passes for two orientations is a failure.
TEST(CliOptionsTest, ARestThatIsNotItsOrientationFails) {
  for (const char* band : {"30", "40", "50"}) {
    const Outcome o =
        tiltfit({kData + "mpu6050_tomisuarez_g.csv", band, "20", "2e-3", "150", "8e-3"});
    EXPECT_EQ(o.status, 255) << band;
    EXPECT_EQ(o.out, kFailureLine);
    EXPECT_NE(o.err.find("lower tolerancePct"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("(rows "), std::string::npos) << o.err;
    // The failure line says to increase tolerancePct; standard error says plainly it must not.
    EXPECT_NE(o.err.find("tiltfit: which way the numbers must move: tolerancePct down; the "
                         "failure line's advice to increase tolerancePct or deltaThresholdWindow "
                         "does not apply here\n"),
              std::string::npos)
        << o.err;
  }
}

// After a refined result no warning asks for --refine, whether the refinement was asked for or
// chosen by --auto; without it the same warning does.
TEST(CliOptionsTest, NoRefineAdviceAfterARefinedResult) {
  TempDir dir;
  // Tilted rests and no position between the axes: the cross-axis terms stay undetermined.
  const std::string path = dir.file("tilted.csv", csv(tilted(3, 0)));
  const std::vector<std::string> numbers = {path, "8", "20", "2e-3", "1000", "8e-3"};
  const Outcome plain = tiltfit(numbers);
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(plain.err.find("--refine"), std::string::npos) << plain.err;
  std::vector<std::string> refinedArgs = numbers;
  refinedArgs.push_back("--refine");
  for (const std::vector<std::string>& args :
       {refinedArgs, std::vector<std::string>{"--auto", path}}) {
    const Outcome o = tiltfit(args);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("tiltfit: warning: "), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("record a few extra positions"), std::string::npos) << o.err;
    std::string warnings;
    for (size_t at = o.err.find("tiltfit: warning: "); at != std::string::npos;
         at = o.err.find("tiltfit: warning: ", at + 1)) {
      warnings += o.err.substr(at, o.err.find('\n', at) - at);
    }
    EXPECT_EQ(warnings.find("--refine"), std::string::npos) << warnings;
  }
}

TEST(CliOptionsTest, RefusedArgumentsGetOneLineAndStatus234) {
  const std::vector<std::vector<std::string>> cases = {
      {kSample, "5", "50", "5e-4", "1000", "2e-3", "--bogus"},
      {kSample, "5", "50", "5e-4", "2,000", "2e-3"},
      {kSample, "0,5", "50", "5e-4", "1000", "2e-3"},
      {"--auto", kSample, "--units", "parsecs"},
      {"--auto", kSample, "--output-units", "kg"},
      {"--auto", kSample, "--columns", "0,1,2"},
      {"--auto", kSample, "--columns", "1,1,2"},
      {"--auto", kSample, "--columns", "1,2"},
      {kSample, "5", "50", "5e-4", "1000", "2e-3", "--columns", "1,2,9"},
      {"--auto", kSample, "--delimiter", ""},
      {"--auto", kSample, "--delimiter", "ab"},
      {"--auto", kSample, "5", "50", "5e-4", "1000", "2e-3"},
      {"--auto"},
      {"--auto", kSample, "--units"},
      {"--auto", kSample, "--method", "best"},
      {kSample, "5", "50", "5e-4", "1000", "2e-3", "--method", "stretches"},
      {"--auto", kSample, "--no-refine", "--method", "stretches"}};
  for (const auto& args : cases) {
    const Outcome o = tiltfit(args);
    std::string joined;
    for (const std::string& a : args) joined += a + " ";
    EXPECT_EQ(o.status, 234) << joined;
    EXPECT_EQ(o.out, "") << joined;
    EXPECT_EQ(count(o.err, "\n"), 1u) << joined << "\n" << o.err;
    EXPECT_EQ(o.err.rfind("tiltfit: ", 0), 0u) << o.err;
  }
}

TEST(CliOptionsTest, HelpListsEveryOptionAndVersionPrints) {
  for (const char* flag : {"--help", "-h"}) {
    const Outcome o = tiltfit({flag});
    EXPECT_EQ(o.status, 0);
    for (const char* option :
         {"--auto", "--refine", "--no-refine", "--units", "--output-units", "--columns",
          "--delimiter", "--json", "--plot", "--apply", "--version"}) {
      EXPECT_NE(o.out.find(option), std::string::npos) << option;
    }
  }
  const Outcome v = tiltfit({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("tiltfit ", 0), 0u);
}

// m/s^2 recordings calibrate when the command says so, and report in their own unit.
TEST(CliOptionsTest, UnitsOptionCalibratesMetricRecordings) {
  const Outcome o =
      tiltfit({kData + "imucal_ferraris.csv", "10", "20", "1e-3", "200", "4e-3", "--units", "ms2"});
  ASSERT_EQ(o.status, 0) << o.err;
  const Outcome g = tiltfit({kData + "imucal_ferraris_g.csv", "10", "20", "1e-3", "200", "4e-3"});
  ASSERT_EQ(g.status, 0);
  double offsetMs2[3];
  double offsetG[3];
  ASSERT_EQ(std::sscanf(o.out.c_str(), "Calibration success\naccOffset:\n[ %lf %lf %lf",
                        &offsetMs2[0], &offsetMs2[1], &offsetMs2[2]),
            3);
  ASSERT_EQ(std::sscanf(g.out.c_str(), "Calibration success\naccOffset:\n[ %lf %lf %lf",
                        &offsetG[0], &offsetG[1], &offsetG[2]),
            3);
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(offsetMs2[j], 9.81 * offsetG[j], 2e-3) << j;
}

// The document holds what the run found, at full precision, on success and on failure.
TEST(CliOptionsTest, JsonReportsTheRunBitForBit) {
  const Outcome o = tiltfit({kSample, "5", "50", "5e-4", "1000", "2e-3", "--json"});
  ASSERT_EQ(o.status, 0);
  const json doc = json::parse(o.out);
  EXPECT_TRUE(doc["success"].get<bool>());
  EXPECT_EQ(doc["parameters"]["chosen"], "given");
  EXPECT_EQ(doc["input"]["rows"], 11100);  // the header line is left out
  EXPECT_EQ(doc["input"]["lines_without_readings"], 1);
  EXPECT_EQ(doc["calibration"]["method"], "six rests");

  // The windows are the search's, as lines of the file (the samples start on line 2), and the
  // numbers the core's.
  const tiltfit::Recording rec = tiltfit::readRecording(kSample);
  double offset[3];
  double gain[9];
  boolean_T found = 0;
  AccCalibWindows windows;
  getAccCalibWindows(rec.x.data(), rec.y.data(), rec.z.data(), static_cast<int>(rec.rows()), 5, 50,
                     5e-4, 1000, 2e-3, offset, gain, &found, &windows, nullptr);
  ASSERT_TRUE(found);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(doc["calibration"]["offset"][i].get<double>(), offset[i]);
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(doc["calibration"]["gain_matrix"][i][j].get<double>(), gain[i + 3 * j]);
      EXPECT_EQ(doc["calibration"]["column_form"]["gain"][j][i].get<double>(), gain[i + 3 * j]);
    }
  }
  const json& orientations = doc["orientations"];
  ASSERT_EQ(orientations.size(), 6u);
  for (int s = 0; s < 6; ++s) {
    const int k = 2 * (AccCalibWindows::kAxis[s] - 1) + (AccCalibWindows::kLevel[s] > 0 ? 1 : 0);
    EXPECT_EQ(orientations[k]["first_row"].get<unsigned>(), windows.first[s] + 1);
    EXPECT_EQ(orientations[k]["last_row"].get<unsigned>(), windows.last[s] + 1);
    EXPECT_EQ(orientations[k]["reading"].get<int>(), static_cast<int>(AccCalibWindows::kLevel[s]));
  }

  // A failure has no calibration and a diagnosis on each orientation not found.
  const Outcome failed = tiltfit({"--json", kSample, "0.5", "50", "5e-4", "1000", "2e-3"});
  EXPECT_EQ(failed.status, 255);
  const json bad = json::parse(failed.out);
  EXPECT_FALSE(bad["success"].get<bool>());
  EXPECT_FALSE(bad.contains("calibration"));
  for (const json& orientation : bad["orientations"]) {
    EXPECT_EQ(orientation["found"].get<bool>(), orientation["diagnosis"].is_null());
  }
  EXPECT_TRUE(bad["try"].is_string());

  const Outcome automatic = tiltfit({"--auto", kSample, "--json"});
  ASSERT_EQ(automatic.status, 0);
  const json a = json::parse(automatic.out);
  EXPECT_EQ(a["parameters"]["chosen"], "auto");
  EXPECT_EQ(a["calibration"]["method"], "refined");
  EXPECT_TRUE(a["repeat"].is_string());
}

// "-" reads standard input: the same bytes give the same output and status, in both modes.
TEST(CliOptionsTest, StandardInputActsLikeTheFile) {
  for (const std::vector<std::string>& tail :
       {std::vector<std::string>{"5", "50", "5e-4", "1000", "2e-3", "--json"},
        std::vector<std::string>{"--auto", "--json"}}) {
    std::vector<std::string> fromFile = {kSample};
    std::vector<std::string> fromStdin = {"-"};
    fromFile.insert(fromFile.end(), tail.begin(), tail.end());
    fromStdin.insert(fromStdin.end(), tail.begin(), tail.end());
    const Outcome f = tiltfit(fromFile);
    const Outcome s = tiltfit_test::run(kExe, fromStdin, 0, "", kSample);
    EXPECT_EQ(s.status, f.status);
    json a = json::parse(f.out);
    json b = json::parse(s.out);
    a["input"].erase("path");
    b["input"].erase("path");
    a.erase("repeat");
    b.erase("repeat");
    EXPECT_EQ(a, b);
  }
}

}  // namespace

namespace {

// --plot leaves the report as it was; --apply turns a saved --json document into a calibrated copy
// of the recording, from a file or from standard input.
TEST(CliOptionsTest, PlotAndApplyFromTheCommandLine) {
  TempDir dir;
  const std::string svg = dir.path() + "/plot.svg";
  const std::vector<std::string> args = {kSample, "5", "50", "5e-4", "1000", "2e-3"};
  std::vector<std::string> withPlot = args;
  withPlot.insert(withPlot.end(), {"--plot", svg});
  const Outcome plain = tiltfit(args);
  const Outcome plotted = tiltfit(withPlot);
  EXPECT_EQ(plotted.status, 0);
  EXPECT_EQ(tiltfit_test::maskTime(plotted.out), tiltfit_test::maskTime(plain.out));
  // With an option the header is one line left out, not three fields reported.
  EXPECT_EQ(tiltfit_test::withoutQuality(plain.err),
            std::string("Header : accx\nHeader : accy\nHeader : accz\n") +
                tiltfit_test::kRelationLine);
  EXPECT_EQ(tiltfit_test::withoutQuality(plotted.err),
            std::string("tiltfit: skipped 1 line without readings (the first: line 1, "
                        "\"accx,accy,accz\")\n") +
                tiltfit_test::kRelationLine);
  EXPECT_NE(tiltfit_test::slurp(svg).find("<svg"), std::string::npos);
  const Outcome failed = tiltfit({kSample, "0.5", "50", "5e-4", "1000", "2e-3", "--plot", svg});
  EXPECT_EQ(failed.status, 255);
  EXPECT_NE(tiltfit_test::slurp(svg).find("not found"), std::string::npos);

  // A counts recording: the saved calibration maps raw counts to g.
  tiltfit_gen::Options o;
  o.countsScale = 4096;
  o.countsOffset = 32768;
  o.offset[1] = 0.05;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  const std::string counts = dir.file("counts.csv", tiltfit_test::csvText(rec));
  const std::string calib = dir.path() + "/calib.json";
  const Outcome saved = tiltfit_test::run(kExe, {"--auto", counts, "--json"}, 0, calib);
  ASSERT_EQ(saved.status, 0) << saved.err;
  const Outcome applied = tiltfit({"--apply", calib, counts});
  ASSERT_EQ(applied.status, 0) << applied.err;
  const Outcome piped = tiltfit_test::run(kExe, {"--apply", calib, "-"}, 0, "", counts);
  EXPECT_EQ(piped.out, applied.out);
  EXPECT_EQ(count(applied.out, "\n"), count(tiltfit_test::slurp(counts), "\n"));
  const tiltfit_gen::Rest& rest = rec.rests[0];
  std::istringstream lines(applied.out);
  std::string line;
  for (int row = 0; row <= rest.first + rest.count / 2; ++row) std::getline(lines, line);
  double v[3];
  ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%lf", &v[0], &v[1], &v[2]), 3) << line;
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(v[j], rest.gravity[j], 0.01) << j;

  const Outcome bad = tiltfit({"--apply", dir.file("bad.json", "{\"success\": true}"), counts});
  EXPECT_EQ(bad.status, 234);
  EXPECT_EQ(count(bad.err, "\n"), 1u) << bad.err;
  EXPECT_EQ(bad.out, "");
}

}  // namespace

namespace {

// --apply judges the layout on the first lines before writing anything, and the whole text at the
// end: a calibration whose delimiter or columns do not fit fails with one line and status 234.
TEST(CliOptionsTest, ApplyRefusesALayoutThatDoesNotFit) {
  TempDir dir;
  const std::string text = tiltfit_test::slurp(kSample);
  std::string semicolons = text;
  for (char& c : semicolons) c = c == ',' ? ';' : c;
  const std::string semi = dir.file("semi.csv", semicolons);
  const std::string fromSemi = dir.path() + "/semi.json";
  const std::string fromComma = dir.path() + "/comma.json";
  ASSERT_EQ(tiltfit_test::run(kExe, {"--auto", semi, "--json"}, 0, fromSemi).status, 0);
  ASSERT_EQ(tiltfit_test::run(kExe, {"--auto", kSample, "--json"}, 0, fromComma).status, 0);

  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case refused[] = {
      {{"--apply", fromSemi, kSample},
       "the calibration splits the fields at ';', the lines hold ',' between their numbers"},
      {{"--apply", fromComma, semi},
       "the calibration splits the fields at ',', the lines hold ';' between their numbers"},
      {{"--apply", fromComma, kSample, "--columns", "4,5,6"},
       "the calibration reads columns 4,5,6, the lines have 3 fields"}};
  for (const Case& c : refused) {
    const Outcome o = tiltfit(c.args);
    EXPECT_EQ(o.status, 234) << c.message;
    EXPECT_EQ(o.out, "") << c.message;
    EXPECT_EQ(o.err,
              "tiltfit: the calibration does not fit " + c.args[2] + ": " + c.message + "\n");
  }

  // The first 5000 samples fit, the other 6100 use ';': beyond the 64 KiB judged first, so known
  // only at the end, after the output.
  std::istringstream in(text);
  std::string mixed;
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    if (lines > 5000) {
      for (char& c : line) c = c == ',' ? ';' : c;
    }
    mixed += line + "\n";
  }
  ASSERT_EQ(lines, 11101);
  const std::string late = dir.file("late.csv", mixed);
  Outcome o = tiltfit({"--apply", fromComma, late});
  EXPECT_EQ(o.status, 234);
  EXPECT_EQ(count(o.out, "\n"), 11101u);
  EXPECT_EQ(o.err, "tiltfit: the calibration does not fit " + late +
                       ": of its 11100 lines that hold numbers, only 5000 have numbers at the "
                       "calibration's columns 1,2,3 at ','; those were calibrated, the others "
                       "copied\n");

  // A log whose every other line is a record with the reading fields empty fits: those lines
  // hold no readings and are copied.
  std::istringstream again(text);
  std::string interleaved;
  for (std::string line; std::getline(again, line);) {
    interleaved += "A," + line + "\nB,,,\n";
  }
  const std::string log = dir.file("log.csv", interleaved);
  o = tiltfit({"--apply", fromComma, log, "--columns", "2,3,4"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(count(o.out, "B,,,\n"), 11101u);
}

// A calibration made on columns the header names applies to the columns of those names: a time
// column put first is not taken for x, and a file that does not name them is refused by name.
TEST(CliOptionsTest, ApplyFindsTheNamedColumnsAndRefusesAFileWithoutThem) {
  TempDir dir;
  const std::string text = tiltfit_test::slurp(kSample);
  std::string renamed = "ax,ay,az" + text.substr(text.find('\n'));
  const std::string made = dir.file("made.csv", renamed);
  const Outcome cal = tiltfit({"--auto", made, "--json"});
  ASSERT_EQ(cal.status, 0) << cal.err;
  ASSERT_EQ(json::parse(cal.out)["input"]["column_names"], json::parse(R"(["ax","ay","az"])"));
  const std::string calPath = dir.file("cal.json", cal.out);

  // The same samples after a time column, and a temperature after them.
  std::string timed = "timestamp_us,ax,ay,az,temp\n";
  std::string unnamed = "timestamp_us,a,b,c,temp\n";
  std::size_t at = renamed.find('\n') + 1;
  for (int line = 0; at < renamed.size(); ++line) {
    const std::size_t end = renamed.find('\n', at);
    const std::string row = std::to_string(1000 * line) + "," + renamed.substr(at, end - at) + ",25";
    timed += row + "\n";
    unnamed += row + "\n";
    at = end + 1;
  }
  const Outcome a = tiltfit({"--apply", calPath, dir.file("timed.csv", timed)});
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_NE(a.err.find("columns 2,3,4 as x, y, z: named as in the calibration"), std::string::npos)
      << a.err;
  const Outcome plain = tiltfit({"--apply", calPath, made});
  ASSERT_EQ(plain.status, 0);
  // Line for line the calibrated x, y, z of the plain file, between the time and the temperature.
  std::istringstream ta(a.out), pa(plain.out);
  std::string l1, l2;
  std::getline(ta, l1);
  std::getline(pa, l2);
  for (int line = 0; std::getline(ta, l1) && std::getline(pa, l2); ++line) {
    ASSERT_EQ(l1, std::to_string(1000 * line) + "," + l2 + ",25") << line;
  }
  const Outcome refused = tiltfit({"--apply", calPath, dir.file("unnamed.csv", unnamed)});
  EXPECT_EQ(refused.status, 234);
  EXPECT_EQ(refused.out, "");
  EXPECT_NE(refused.err.find("named \"ax\", \"ay\", \"az\""), std::string::npos) << refused.err;
  // By position when asked.
  EXPECT_EQ(tiltfit({"--apply", calPath, dir.file("unnamed2.csv", unnamed), "--columns", "2,3,4"})
                .status,
            0);
}

}  // namespace
