// Every output of every mode on every recording in data/, compared with what the tool printed and
// wrote when the golden files were made: standard output, standard error, the exit status and the
// files a run writes. The execution-time figure is the only thing masked. A change that means to
// alter an output remakes the files with TILTFIT_UPDATE_GOLDEN=1 and shows the difference in its
// commit.
//
// Each case runs in a fresh folder that holds a link `data` to the repository's data/, so that the
// paths the outputs quote are the same on every machine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cli_harness.h"

namespace {

using tiltfit_test::Outcome;
using tiltfit_test::slurp;
using tiltfit_test::TempDir;

struct Step {
  std::vector<std::string> args;
  std::string stdoutTo;  // a file in the case folder that receives standard output, or empty
  std::string stdinFrom;
  std::vector<std::string> files;  // files the step writes, recorded by size and hash
  bool hashStdout = false;         // standard output recorded by size and hash (long data)

  Step(std::vector<std::string> a) : args(std::move(a)) {}  // NOLINT: a step is its arguments
  Step& to(const std::string& f) { return stdoutTo = f, *this; }
  Step& from(const std::string& f) { return stdinFrom = f, *this; }
  Step& writes(std::vector<std::string> f) { return files = std::move(f), *this; }
  Step& hashed() { return hashStdout = true, *this; }
};

struct Case {
  std::string name;
  std::vector<Step> steps;
};

struct Recording {
  const char* stem;
  const char* classic;  // tuning numbers that calibrate it, "" for none
  const char* units;    // --units for the classic command, "" for the default
};

const Recording kRecordings[] = {
    {"sample_recording", "5 50 5e-4 1000 2e-3", ""},
    {"imucal_ferraris_g", "10 20 1e-3 200 4e-3", ""},
    {"imucal_ferraris", "10 20 1e-3 200 4e-3", "ms2"},
    {"mpu6050_tomisuarez_g", "15 20 2e-3 150 8e-3", ""},
    {"imucal_ferraris_imu", "", ""},
    {"tomisuarez_mpu6050_imu", "", ""},
    {"tomisuarez_mpu6050_static", "", ""},
};

std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> w;
  std::size_t at = 0;
  while (at < s.size()) {
    const std::size_t end = s.find(' ', at);
    const std::string word = s.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!word.empty()) w.push_back(word);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return w;
}

std::vector<Case> cases() {
  std::vector<Case> all;
  for (const Recording& r : kRecordings) {
    const std::string stem = r.stem;
    const std::string file = "data/" + stem + ".csv";
    auto add = [&](const std::string& what, std::vector<Step> steps) {
      all.push_back(Case{stem + "__" + what, std::move(steps)});
    };
    add("auto", {Step({"--auto", file})});
    add("auto_json", {Step({"--auto", file, "--json"})});
    add("stretches", {Step({"--auto", file, "--method", "stretches"})});
    add("stretches_json", {Step({"--auto", file, "--method", "stretches", "--json"})});
    add("six_rest_json", {Step({"--auto", file, "--method", "six-rest", "--json"})});
    add("no_refine_plot_header", {Step({"--auto", file, "--no-refine", "--output-units", "ms2",
                                        "--plot", "out.svg", "--c-header", "out.h"})
                                      .writes({"out.svg", "out.h"})});
    add("stdin", {Step({"--auto", "-"}).from(file)});
    add("live", {Step({"--live", file, "--save", "saved.csv"}).writes({"saved.csv"})});
    add("apply", {Step({"--auto", file, "--json"}).to("cal.json"),
                  Step({"--apply", "cal.json", file}).hashed()});
    if (*r.classic != '\0') {
      std::vector<std::string> classic = {file};
      for (const std::string& w : words(r.classic)) classic.push_back(w);
      std::vector<std::string> units;
      if (*r.units != '\0') units = {"--units", r.units};
      add("classic", {Step(classic)});
      std::vector<std::string> json = classic;
      json.insert(json.end(), units.begin(), units.end());
      json.push_back("--json");
      add("classic_json", {Step(json)});
      std::vector<std::string> plot = classic;
      plot.insert(plot.end(), units.begin(), units.end());
      for (const char* w : {"--refine", "--plot", "out.svg", "--c-header", "out.h"})
        plot.push_back(w);
      add("classic_refine_plot", {Step(plot).writes({"out.svg", "out.h"})});
    } else {
      add("classic_sample_numbers", {Step({file, "5", "50", "5e-4", "1000", "2e-3"})});
    }
  }
  return all;
}

// FNV-1a, 64 bits: the same on every machine, which std::hash is not.
std::uint64_t fnv1a(const std::string& s) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string digest(const std::string& data) {
  char text[64];
  std::snprintf(text, sizeof text, "%zu bytes, fnv1a %016llx", data.size(),
                static_cast<unsigned long long>(fnv1a(data)));
  return text;
}

// What one case printed and wrote, as the golden file holds it.
std::string runCase(const Case& c) {
  TempDir dir;
  const std::string link = dir.path() + "/data";
  EXPECT_EQ(symlink(TILTFIT_SOURCE_DIR "/data", link.c_str()), 0);
  char previous[4096];
  EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
  EXPECT_EQ(chdir(dir.path().c_str()), 0);
  std::string record;
  for (const Step& s : c.steps) {
    record += "$ tiltfit";
    for (const std::string& a : s.args) record += " " + a;
    if (!s.stdinFrom.empty()) record += " < " + s.stdinFrom;
    if (!s.stdoutTo.empty()) record += " > " + s.stdoutTo;
    record += "\n";
    const Outcome o = tiltfit_test::run(TILTFIT_EXE, s.args, 0, s.stdoutTo, s.stdinFrom);
    record += "status " + std::to_string(o.status) + "\n";
    const std::string out = s.stdoutTo.empty() ? o.out : slurp(s.stdoutTo);
    if (s.hashStdout) {
      record += "--- stdout: " + digest(out) + "\n";
    } else {
      record += "--- stdout\n" + tiltfit_test::maskTime(out);
    }
    record += "--- stderr\n" + tiltfit_test::maskTime(o.err);
    for (const std::string& f : s.files) {
      record += "--- " + f + ": " + digest(slurp(f)) + "\n";
    }
  }
  EXPECT_EQ(chdir(previous), 0);
  return record;
}

class GoldenTest : public ::testing::TestWithParam<Case> {};

TEST_P(GoldenTest, OutputsAreUnchanged) {
  const Case& c = GetParam();
  const std::string path = std::string(TILTFIT_SOURCE_DIR) + "/tests/golden/" + c.name + ".txt";
  const std::string actual = runCase(c);
  const char* update = std::getenv("TILTFIT_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  const std::string expected = slurp(path);
  ASSERT_FALSE(expected.empty()) << "no golden file " << path
                                 << " (make it with TILTFIT_UPDATE_GOLDEN=1)";
  EXPECT_EQ(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(EveryModeOnEveryRecording, GoldenTest, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           return param.param.name;
                         });

}  // namespace
