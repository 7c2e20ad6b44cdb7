#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "generated_csv.h"
#include "libOrr_accTools.h"
#include "recording_generator.h"

namespace {

using tiltfit_test::csv;
using tiltfit_test::maskTime;
using tiltfit_test::Outcome;
using tiltfit_test::TempDir;

const std::string kExe = TILTFIT_EXE;

Outcome tiltfit(const std::vector<std::string>& args) { return tiltfit_test::run(kExe, args); }

const char* const kUsageText =
    "No enough arguments, please provide: file_path.csv tolerancePct moveMeanWindow diffThreshold "
    "windowWidth deltaThresholdWindow \n"
    "The input csv file format is: \n"
    "accz,accy,accz \n"
    "-0.11169,-0.10864,0.99744 \n"
    "-0.11182,-0.10779,0.99792 \n"
    "-0.11194,-0.1095,0.99536 \n"
    "... \n"
    "Example for tolerancePct moveMeanWindow diffThreshold windowWidth deltaThresholdWindow: "
    "5.000000 50.000000 0.000500 1000.000000 0.002000\n"
    "Full command example: ./tiltfit.exe acc.csv 5 50 5e-4 1000 2e-3 \n";

const char* const kFailureLine =
    "Calibration failed, you can increase tolerancePct for example, or deltaThresholdWindow\n";
const char* const kHeaderLines = "Header : accx\nHeader : accy\nHeader : accz\n";

tiltfit_gen::Options smallSensor() {
  tiltfit_gen::Options o;
  o.restSamples = 400;
  o.transitionSamples = 100;
  o.offset[0] = 0.02;
  o.gain[4] = 0.98;
  return o;
}

// The report the tool must print for a file, built from the library's own result.
std::string expectedReport(const std::string& path, double width) {
  ACCTOOLS tools;
  testing::internal::CaptureStderr();
  tools.readAccelerometerMeasures(path);
  testing::internal::GetCapturedStderr();
  tools.accCalibration(5, 50, 5e-4, width, 2e-3);
  const ACCTOOLS::ACCRESULT& r = tools.getAccCalibResult();
  char buf[512];
  std::string s = "Calibration success\naccOffset:\n";
  std::snprintf(buf, sizeof buf, "[ %f %f %f ]\naccGainMatrix:\n", r.accOffset[0], r.accOffset[1],
                r.accOffset[2]);
  s += buf;
  for (const auto& row : r.accGainMatrix) {
    std::snprintf(buf, sizeof buf, "[ %f %f %f ]\n", row[0], row[1], row[2]);
    s += buf;
  }
  return s +
         "Execution time : N us \nCalibration done\nYou can use the calibration result with: \n"
         "accGainMatrix * AccVector3 + accOffset \n";
}

TEST(CliTest, TooFewArgumentsPrintUsage) {
  std::vector<std::string> args;
  for (int n = 0; n <= 5; ++n) {
    const Outcome o = tiltfit(args);
    EXPECT_EQ(o.status, 234) << n;
    EXPECT_EQ(o.out, kUsageText);
    EXPECT_EQ(o.err, "");
    args.push_back(n == 0 ? "/nonexistent.csv" : "x");  // never converted nor opened
  }
}

TEST(CliTest, SuccessReportAndExtraArgumentsIgnored) {
  TempDir dir;
  const std::string path = dir.file("rec.csv", csv(smallSensor()));
  const std::string expected = expectedReport(path, 200);
  for (const auto& args :
       {std::vector<std::string>{path, "5", "50", "5e-4", "200", "2e-3"},
        std::vector<std::string>{path, "5", "50", "5e-4", "200", "2e-3", "extra", "9"},
        std::vector<std::string>{path, " 5", "50samples", "0.0005", "200.0", "2e-3"}}) {
    const Outcome o = tiltfit(args);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(maskTime(o.out), expected);
    EXPECT_EQ(tiltfit_test::withoutQuality(o.err),
              std::string(kHeaderLines) + tiltfit_test::kRelationLine);
    EXPECT_NE(tiltfit_test::quality(o.err), "");
  }
}

TEST(CliTest, FailedCalibrationNamesTheMissingOrientation) {
  TempDir dir;
  tiltfit_gen::Options o = smallSensor();
  o.order = "zu,zd,xu,xd,yu";
  const std::string path = dir.file("rec.csv", csv(o));
  const Outcome r = tiltfit({path, "5", "50", "5e-4", "200", "2e-3"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kFailureLine);
  EXPECT_EQ(r.err, std::string(kHeaderLines) +
                       "tiltfit: no rest with y at +1 g in the recording\n" +
                       tiltfit_test::kNoNumberHelps);
}

TEST(CliTest, MetricRecordingFailsWithAUnitHint) {
  TempDir dir;
  tiltfit_gen::Options o = smallSensor();
  o.metric = true;
  const std::string path = dir.file("rec.csv", csv(o));
  const Outcome r = tiltfit({path, "5", "50", "5e-4", "200", "2e-3"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kFailureLine);
  EXPECT_NE(r.err.find("m/s^2"), std::string::npos) << r.err;
}

TEST(CliTest, TinyRecordingsFailCleanly) {
  TempDir dir;
  for (const std::string contents : {"", "accx,accy,accz\n", "1,2,3", "\n\n\n"}) {
    const std::string path = dir.file("tiny.csv", contents);
    const Outcome o = tiltfit({path, "5", "50", "5e-4", "1000", "2e-3"});
    EXPECT_EQ(o.status, 255) << contents;
    EXPECT_EQ(o.out, kFailureLine);
  }
}

}  // namespace

#include <thread>

#include "fpmode.h"

namespace {

// The mode is per thread; a thread of its own keeps it away from the other tests.
TEST(StartupTest, FlushToZeroFlushesSubnormals) {
#if defined(__x86_64__) || defined(__aarch64__)
  std::thread([] {
    volatile double tiny = 1e-310;  // subnormal
    volatile double one = 1.0;
    EXPECT_NE(tiny * one, 0.0);
    EXPECT_TRUE(enableFlushToZero());
    EXPECT_TRUE(flushToZeroEnabled());
    EXPECT_EQ(tiny * one, 0.0);
    volatile double small = 1e-300;
    EXPECT_EQ(small * 1e-10 * one, 0.0);
  }).join();
#else
  GTEST_SKIP() << "no flush-to-zero control on this processor";
#endif
}

}  // namespace
