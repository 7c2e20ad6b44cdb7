// The C header for firmware, as a user gets it: written by every calibrating mode, compiled by a C
// compiler with every warning an error, and giving what --apply gives to float precision.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_harness.h"
#include "generated_csv.h"
#include "recording_generator.h"

namespace {

using tiltfit_test::Outcome;
using tiltfit_test::TempDir;

const std::string kExe = TILTFIT_EXE;

Outcome tiltfit(const std::vector<std::string>& args) { return tiltfit_test::run(kExe, args); }

// A C program that applies the header's calibration to every sample of a CSV file (header line
// skipped) and prints the results, one sample a line.
std::string program(const std::string& header, const std::string& apply) {
  return "#include <stdio.h>\n#include \"" + header +
         "\"\n"
         "int main(int argc, char **argv) {\n"
         "  FILE *in = fopen(argv[1], \"r\");\n"
         "  char line[256];\n"
         "  float raw[3], out[3];\n"
         "  (void)argc;\n"
         "  if (!in || !fgets(line, sizeof line, in)) return 1;\n"
         "  while (fgets(line, sizeof line, in)) {\n"
         "    if (sscanf(line, \"%f,%f,%f\", &raw[0], &raw[1], &raw[2]) != 3) continue;\n"
         "    " + apply + "(raw, out);\n"
         "    printf(\"%.9g,%.9g,%.9g\\n\", out[0], out[1], out[2]);\n"
         "  }\n"
         "  return 0;\n"
         "}\n";
}

std::vector<std::vector<double>> rows(const std::string& text, bool skipHeader) {
  std::vector<std::vector<double>> out;
  std::istringstream in(text);
  std::string line;
  if (skipHeader) std::getline(in, line);
  while (std::getline(in, line)) {
    double v[3];
    if (std::sscanf(line.c_str(), "%lf,%lf,%lf", &v[0], &v[1], &v[2]) == 3)
      out.push_back({v[0], v[1], v[2]});
  }
  return out;
}

// Writes the recording, calibrates it with `args` and a header, compiles the header into a
// program and checks its output against --apply of the same calibration.
void checkHeader(const tiltfit_gen::Options& o, std::vector<std::string> args,
                 const std::string& prefix) {
  TempDir dir;
  const std::string csv = dir.file("rec.csv", tiltfit_test::csv(o));
  const std::string header = dir.path() + "/calibration.h";
  for (std::string& a : args)
    if (a == "FILE") a = csv;
  args.insert(args.end(), {"--json", "--c-header", header});
  if (!prefix.empty()) args.insert(args.end(), {"--c-prefix", prefix});
  const Outcome cal = tiltfit(args);
  ASSERT_EQ(cal.status, 0) << cal.err;
  const std::string calibration = dir.file("calibration.json", cal.out);
  const Outcome applied = tiltfit({"--apply", calibration, csv});
  ASSERT_EQ(applied.status, 0) << applied.err;

  const std::string apply = (prefix.empty() ? "tiltfit" : prefix) + "_apply";
  const std::string source = dir.file("main.c", program(header, apply));
  const std::string exe = dir.path() + "/main";
  const Outcome cc =
      tiltfit_test::run("/usr/bin/cc", {"-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic",
                                        source, "-o", exe});
  ASSERT_EQ(cc.status, 0) << cc.err << tiltfit_test::slurp(header);
  const Outcome ran = tiltfit_test::run(exe, {csv});
  ASSERT_EQ(ran.status, 0);

  const std::vector<std::vector<double>> raw = rows(tiltfit_test::slurp(csv), true);
  const std::vector<std::vector<double>> expected = rows(applied.out, true);
  const std::vector<std::vector<double>> got = rows(ran.out, false);
  ASSERT_EQ(got.size(), raw.size());
  ASSERT_EQ(expected.size(), raw.size());
  // Float precision: the numbers, each product and each sum round in float, so the error is a
  // few float epsilons of the magnitudes summed (raw counts are large, their calibrated values
  // small, and the offset cancels most of the products).
  const nlohmann::json c = nlohmann::json::parse(cal.out)["calibration"]["column_form"];
  bool differs = false;
  for (std::size_t k = 0; k < raw.size(); ++k) {
    for (std::size_t i = 0; i < 3; ++i) {
      double magnitude = std::abs(c["offset"][i].get<double>());
      for (std::size_t j = 0; j < 3; ++j)
        magnitude += std::abs(c["gain"][i][j].get<double>() * raw[k][j]);
      const double e = std::abs(got[k][i] - expected[k][i]);
      ASSERT_LE(e, 6 * FLT_EPSILON * magnitude) << "sample " << k << " axis " << i;
      differs = differs || e > 0.0;
    }
  }
  EXPECT_TRUE(differs);  // float it is, not double
}

tiltfit_gen::Options sensor() {
  tiltfit_gen::Options o;
  o.restSamples = 600;
  o.tiltDeg = 5;
  o.extraRests = 4;
  o.offset[0] = 0.03;
  o.offset[1] = -0.02;
  o.offset[2] = 0.05;
  const double K[9] = {1.02, 0.004, -0.006, 0.003, 0.985, 0.008, -0.005, 0.002, 1.01};
  for (int i = 0; i < 9; ++i) o.gain[i] = K[i];
  return o;
}

TEST(CHeaderTest, AutoInGCompilesAndAgreesWithApply) {
  checkHeader(sensor(), {"--auto", "FILE"}, "");
}

TEST(CHeaderTest, CountsWithAPrefixCompileAndAgreeWithApply) {
  tiltfit_gen::Options o = sensor();
  o.countsScale = 4096;
  o.countsOffset = 32768;
  checkHeader(o, {"--auto", "FILE"}, "IMU");
}

TEST(CHeaderTest, TheClassicCommandWritesOneToo) {
  tiltfit_gen::Options o = sensor();
  o.tiltDeg = 0;
  o.extraRests = 0;
  checkHeader(o, {"FILE", "10", "20", "2e-3", "200", "8e-3"}, "accel");
}

// Two headers of two sensors in one program: their names and guards do not clash.
TEST(CHeaderTest, TwoPrefixesLiveInOneProgram) {
  TempDir dir;
  const std::string csv = dir.file("rec.csv", tiltfit_test::csv(sensor()));
  const std::string a = dir.path() + "/a.h";
  const std::string b = dir.path() + "/b.h";
  ASSERT_EQ(tiltfit({"--auto", csv, "--c-header", a, "--c-prefix", "FRONT"}).status, 0);
  ASSERT_EQ(tiltfit({"--auto", csv, "--c-header", b, "--c-prefix", "REAR"}).status, 0);
  const std::string source = dir.file(
      "two.c", "#include \"" + a + "\"\n#include \"" + b + "\"\n#include \"" + a +
                   "\"\nint main(void) {\n  const float raw[3] = {0.0f, 0.0f, 1.0f};\n"
                   "  float f[3], r[3];\n  FRONT_apply(raw, f);\n  REAR_apply(raw, r);\n"
                   "  return f[2] == r[2] ? 0 : 1;\n}\n");
  const Outcome cc = tiltfit_test::run(
      "/usr/bin/cc", {"-std=c99", "-Wall", "-Wextra", "-Werror", source, "-o", dir.path() + "/two"});
  ASSERT_EQ(cc.status, 0) << cc.err;
  EXPECT_EQ(tiltfit_test::run(dir.path() + "/two", {}).status, 0);
}

TEST(CHeaderTest, NoHeaderAfterAFailureAndBadPrefixesRefused) {
  TempDir dir;
  tiltfit_gen::Options o = sensor();
  o.order = "xu,yu,zu";
  o.extraRests = 0;
  const std::string csv = dir.file("rec.csv", tiltfit_test::csv(o));
  const std::string header = dir.path() + "/none.h";
  EXPECT_EQ(tiltfit({"--auto", csv, "--c-header", header}).status, 255);
  EXPECT_FALSE(std::ifstream(header).good());
  for (const char* bad : {"1IMU", "IMU-2", "a b"}) {
    const Outcome r = tiltfit({"--auto", csv, "--c-header", header, "--c-prefix", bad});
    EXPECT_EQ(r.status, 234) << bad;
    EXPECT_NE(r.err.find("--c-prefix must be a C identifier"), std::string::npos) << r.err;
  }
}

}  // namespace
