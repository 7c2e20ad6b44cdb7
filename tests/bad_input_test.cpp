// What the tool does with bad input, one test per row of the README's table: what it prints, its
// exit status, and that it neither crashes nor hangs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "gzip_text.h"
#include "recording_generator.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TILTFIT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TILTFIT_SANITIZED 1
#endif
#endif

namespace {

using tiltfit_test::kRelationLine;
using tiltfit_test::Outcome;
using tiltfit_test::TempDir;

const std::string kExe = TILTFIT_EXE;
const std::vector<std::string> kParams = {"5", "50", "5e-4", "1000", "2e-3"};
const char* const kFailureLine =
    "Calibration failed, you can increase tolerancePct for example, or deltaThresholdWindow\n";
const char* const kHeaderLines = "Header : accx\nHeader : accy\nHeader : accz\n";

Outcome tiltfit(const std::string& path, std::vector<std::string> params = kParams) {
  params.insert(params.begin(), path);
  return tiltfit_test::run(kExe, params);
}

// A recording that calibrates with kParams, as CSV lines (header first, no final newline).
std::vector<std::string> goodLines() {
  tiltfit_gen::Options o;
  o.restSamples = 1500;
  o.offset[1] = 0.01;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  std::vector<std::string> lines = {"accx,accy,accz"};
  char buf[96];
  for (size_t i = 0; i < rec.x.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%.6f,%.6f,%.6f", rec.x[i], rec.y[i], rec.z[i]);
    lines.push_back(buf);
  }
  return lines;
}

std::string join(const std::vector<std::string>& lines, const std::string& eol) {
  std::string s;
  for (const std::string& l : lines) s += l + eol;
  return s;
}

bool isReport(const std::string& out) {
  return out.rfind("Calibration success\naccOffset:\n[ ", 0) == 0 &&
         out.find("accGainMatrix * AccVector3 + accOffset \n") == out.size() - 40;
}

const std::string kNoStillStretch =
    std::string("tiltfit: the recording holds no still stretch to calibrate from\n") +
    tiltfit_test::kNoNumberHelps;

TEST(BadInputTest, MissingFileAndDirectory) {
  TempDir dir;
  Outcome o = tiltfit(dir.path() + "/missing.csv");
  EXPECT_EQ(o.status, 254);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "Can not open csv file\ntiltfit: " + dir.path() +
                       "/missing.csv: No such file or directory\n");
  o = tiltfit(dir.path());
  EXPECT_EQ(o.status, 254);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "Can not open csv file\ntiltfit: " + dir.path() + ": Is a directory\n");
}

TEST(BadInputTest, EmptyFileAndBinaryGarbage) {
  TempDir dir;
  Outcome o = tiltfit(dir.file("empty.csv", ""));
  EXPECT_EQ(o.status, 255);
  EXPECT_EQ(o.out, kFailureLine);
  EXPECT_EQ(o.err, kNoStillStretch);
  std::mt19937 rng(5);
  std::string garbage(1 << 20, '\0');
  for (char& c : garbage) c = static_cast<char>(rng());
  const std::string path = dir.file("garbage.bin", garbage);
  o = tiltfit(path);
  EXPECT_EQ(o.signal, 0);
  EXPECT_EQ(o.status, 255);
  EXPECT_EQ(o.out, kFailureLine);
  EXPECT_EQ(o.err.rfind("Header : ", 0), 0U);
  const std::string why =
      std::string("tiltfit: the recording is not text but binary data: give it as CSV text\n") +
      tiltfit_test::kNoNumberHelps;
  EXPECT_EQ(o.err.substr(o.err.size() - why.size()), why);
  // With --auto, or any option, binary data get one line instead.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--auto", path},
        std::vector<std::string>{path, "5", "50", "5e-4", "1000", "2e-3", "--json"}}) {
    o = tiltfit_test::run(kExe, args);
    EXPECT_EQ(o.status, 254);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "tiltfit: " + path +
                         " is not text but binary data: give the recording as CSV text\n");
  }
}

TEST(BadInputTest, NulBytesByteOrderMarkAndCrlfStillCalibrate) {
  TempDir dir;
  std::vector<std::string> lines = goodLines();
  const Outcome plain = tiltfit(dir.file("plain.csv", join(lines, "\n")));
  ASSERT_EQ(plain.status, 0);
  ASSERT_TRUE(isReport(plain.out));
  const std::string report = tiltfit_test::maskTime(plain.out);
  // CRLF line ends: the carriage return rides on the last field and is ignored by the conversion.
  Outcome o = tiltfit(dir.file("crlf.csv", join(lines, "\r\n")));
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(tiltfit_test::maskTime(o.out), report);
  EXPECT_EQ(tiltfit_test::withoutQuality(o.err),
            std::string("Header : accx\nHeader : accy\nHeader : accz\r\n") + kRelationLine);
  // A byte-order mark only changes the header's first field.
  o = tiltfit(dir.file("bom.csv", "\xEF\xBB\xBF" + join(lines, "\n")));
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(tiltfit_test::maskTime(o.out), report);
  EXPECT_EQ(tiltfit_test::withoutQuality(o.err), std::string("Header : \xEF\xBB\xBF"
                                                              "accx\nHeader : accy\nHeader : accz\n") +
                                                      kRelationLine);
  // A NUL ends a field's number like any other character after it.
  for (size_t i = 1; i < lines.size(); i += 97) lines[i] += std::string(1, '\0') + "junk";
  o = tiltfit(dir.file("nul.csv", join(lines, "\n")));
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(tiltfit_test::maskTime(o.out), report);
}

// Blank lines, prompts and a second header inside the recording: the six-argument command reads
// each as a row of zeros, as it always has; --auto or any option leaves them out and counts them.
TEST(BadInputTest, LinesWithoutReadingsAreLeftOutAndCounted) {
  TempDir dir;
  std::vector<std::string> lines = goodLines();
  const std::size_t samples = lines.size() - 1;
  for (std::size_t at = 2000; at < lines.size(); at += 2000) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at),
                 {"", ">>> turn the device", "accx,accy,accz"});
  }
  const std::size_t without = lines.size() - samples;  // the header and 3 per insertion
  const std::string path = dir.file("gaps.csv", join(lines, "\n"));
  const Outcome classic = tiltfit(path);
  EXPECT_EQ(classic.err.rfind(kHeaderLines, 0), 0u) << classic.err;
  EXPECT_NE(classic.err.find("Header : >>> turn the device\n"), std::string::npos);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--auto", path},
        std::vector<std::string>{path, "5", "50", "5e-4", "1000", "2e-3", "--refine"}}) {
    const Outcome o = tiltfit_test::run(kExe, args);
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string skipped = "skipped " + std::to_string(without) +
                                " lines without readings (the first: line 1, \"accx,accy,accz\")\n";
    EXPECT_NE(o.err.find(skipped), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("Header : "), std::string::npos) << o.err;
  }
}

TEST(BadInputTest, BadFieldsAndNonFiniteSamples) {
  TempDir dir;
  std::vector<std::string> lines = goodLines();
  lines[40] = "abc,1e999,-1e-400";  // in the lead-in motion
  lines[3550] = "nan,inf,-inf";     // late in the second rest, leaving 1,400 clean samples
  const Outcome o = tiltfit(dir.file("bad.csv", join(lines, "\n")));
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(isReport(o.out));
  EXPECT_EQ(tiltfit_test::withoutQuality(o.err),
            std::string(kHeaderLines) + "Header : abc\nHeader : 1e999\nHeader : -1e-400\n" +
                kRelationLine);
}

TEST(BadInputTest, OneHugeLineAndVeryManyShortLines) {
  TempDir dir;
  const std::string huge(std::size_t{100} << 20, 'x');
  Outcome o = tiltfit(dir.file("huge.csv", huge));
  EXPECT_EQ(o.status, 255);
  EXPECT_EQ(o.out, kFailureLine);
  EXPECT_EQ(o.err.size(), huge.size() + 10 + kNoStillStretch.size());
  o = tiltfit(dir.file("lines.csv", std::string(5000000, '\n')));
  EXPECT_EQ(o.status, 255);
  EXPECT_EQ(o.out, kFailureLine);
  EXPECT_EQ(o.err, kNoStillStretch);
}

TEST(BadInputTest, TuningNumbersThatCannotWork) {
  struct Case {
    int position;
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {0, "five", "tolerancePct must be a number: \"five\""},
      {1, "", "moveMeanWindow must be a number: \"\""},
      {4, "x2e-3", "deltaThresholdWindow must be a number: \"x2e-3\""},
      {3, "-1e-400", "windowWidth is out of the range of a double: \"-1e-400\""},
      {0, "nan", "tolerancePct must be a finite number: \"nan\""},
      {3, "inf", "windowWidth must be a finite number: \"inf\""},
      {2, "1e400", "diffThreshold is out of the range of a double: \"1e400\""},
      {0, "0", "tolerancePct must be above 0 and below 100 (percent of 1 g): \"0\""},
      {0, "150", "tolerancePct must be above 0 and below 100 (percent of 1 g): \"150\""},
      {1, "0", "moveMeanWindow must be at least 1 sample: \"0\""},
      {1, "-50", "moveMeanWindow must be at least 1 sample: \"-50\""},
      {2, "-5e-4", "diffThreshold must be greater than 0: \"-5e-4\""},
      {3, "1", "windowWidth must be at least 2 samples: \"1\""},
      {4, "0", "deltaThresholdWindow must be greater than 0: \"0\""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> params = kParams;
    params[static_cast<size_t>(c.position)] = c.text;
    const Outcome o = tiltfit("/nonexistent.csv", params);
    EXPECT_EQ(o.status, 234) << c.text;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "tiltfit: " + c.message + "\n");
  }
}

TEST(BadInputTest, HugeNumbersAndWindowsLongerThanTheRecording) {
  TempDir dir;
  const std::string path = dir.file("rec.csv", join(goodLines(), "\n"));
  for (const std::vector<std::string>& params :
       {std::vector<std::string>{"5", "1e300", "5e-4", "1000", "2e-3"},
        std::vector<std::string>{"5", "50", "5e-4", "1e300", "2e-3"},
        std::vector<std::string>{"5", "50", "5e-4", "20000", "2e-3"}}) {
    const Outcome o = tiltfit(path, params);
    EXPECT_EQ(o.status, 255) << params[1] << " " << params[3];
    EXPECT_EQ(o.out, kFailureLine);
    // The diagnosis names the window, and the numbers it suggests were checked to work.
    if (params[3] != "1000") {
      EXPECT_NE(o.err.find("the window: "), std::string::npos) << o.err;
      EXPECT_NE(o.err.find("tiltfit: which way the numbers must move: windowWidth down; the "
                           "failure line's advice to increase tolerancePct or "
                           "deltaThresholdWindow does not apply here\n"),
                std::string::npos)
          << o.err;
    }
    if (params[3] == "1e300") {
      EXPECT_NE(o.err.find(": the window: windowWidth 1e+300 is longer than the recording ("),
                std::string::npos)
          << o.err;
    }
    EXPECT_NE(o.err.find("tiltfit: try: tiltfit "), std::string::npos) << o.err;
  }
  // Huge thresholds let every window inside the band pass; the quietest are still the rests.
  const Outcome o = tiltfit(path, {"5", "50", "1e300", "1000", "1e300"});
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(isReport(o.out));
}

// Options and columns that cannot work: one line each, before anything is read.
TEST(BadInputTest, RefusedOptionsAndColumnsSayWhyInOneLine) {
  const std::string sample = std::string(TILTFIT_SOURCE_DIR) + "/data/sample_recording.csv";
  const std::string delimiter =
      "--delimiter must be one character other than a digit, sign, point or 'e', or tab or space: ";
  const std::string columns = "--columns needs three different field numbers from 1 up, as X,Y,Z: ";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{sample, "5", "50", "5e-4", "1000", "2e-3", "--bogus"},
       "unknown option --bogus (tiltfit --help lists the options)"},
      {{sample, "5", "50", "5e-4", "2,000", "2e-3"},
       "windowWidth must be written without commas (no thousands separator, a decimal point not "
       "a comma): \"2,000\""},
      {{sample, "0,5", "50", "5e-4", "1000", "2e-3"},
       "tolerancePct must be written without commas (no thousands separator, a decimal point not "
       "a comma): \"0,5\""},
      {{"--auto", sample, "--units", "parsecs"},
       "--units must be g, ms2, counts or auto: \"parsecs\""},
      {{"--auto", sample, "--output-units", "kg"}, "--output-units must be g or ms2: \"kg\""},
      {{"--auto", sample, "--columns", "0,1,2"}, columns + "\"0,1,2\""},
      {{"--auto", sample, "--columns", "1,1,2"}, columns + "\"1,1,2\""},
      {{"--auto", sample, "--columns", "1,2"}, columns + "\"1,2\""},
      {{sample, "5", "50", "5e-4", "1000", "2e-3", "--columns", "1,2,9"},
       "column 9 is past the end of the lines, which have 3 fields"},
      {{"--auto", sample, "--delimiter", ""}, delimiter + "\"\""},
      {{"--auto", sample, "--delimiter", "ab"}, delimiter + "\"ab\""},
      {{"--auto", sample, "5", "50", "5e-4", "1000", "2e-3"},
       "--auto chooses the tuning numbers itself: give it only the recording (\"5\" is one "
       "argument too many)"}};
  for (const auto& c : cases) {
    const Outcome o = tiltfit_test::run(kExe, c.args);
    EXPECT_EQ(o.status, 234) << c.message;
    EXPECT_EQ(o.out, "") << c.message;
    EXPECT_EQ(o.err, "tiltfit: " + c.message + "\n");
  }
}

// Gzip data cut short or damaged: one line naming the file and what is wrong.
TEST(BadInputTest, GzipCutShortOrDamaged) {
  TempDir dir;
  const std::string packed = tiltfit_test::gzip(join(goodLines(), "\n"));
  const std::string cut = dir.file("cut.csv.gz", packed.substr(0, packed.size() * 2 / 3));
  Outcome o = tiltfit_test::run(kExe, {"--auto", cut});
  EXPECT_EQ(o.status, 254);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "tiltfit: " + cut + ": the gzip data end early: the file is cut short\n");
  std::string bad = packed;
  for (std::size_t k = 40; k < 60; ++k) bad[k] = static_cast<char>(~bad[k]);
  const std::string damaged = dir.file("damaged.csv.gz", bad);
  o = tiltfit_test::run(kExe, {"--auto", damaged});
  EXPECT_EQ(o.status, 254);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err.rfind("tiltfit: " + damaged + ": the gzip data are damaged (", 0), 0u) << o.err;
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1);
  // The six-argument command reads the bytes as text, as it always has, and says what they are.
  o = tiltfit(dir.file("whole.csv.gz", packed));
  EXPECT_EQ(o.status, 255);
  EXPECT_EQ(o.out, kFailureLine);
  EXPECT_NE(o.err.find("tiltfit: the recording is gzip data, which the classic command without "
                       "options reads as text: decompress it first (zcat FILE | tiltfit - ...), "
                       "or run tiltfit --auto FILE, which reads gzip\n"),
            std::string::npos)
      << o.err;
}

TEST(BadInputTest, MoreRowsThanTheToolCanHold) {
  TempDir dir;
  const std::string path = dir.path() + "/newlines.csv";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const std::string block(std::size_t{1} << 20, '\n');
  for (int k = 0; k < 683; ++k) std::fwrite(block.data(), 1, block.size(), f);  // 716,177,408 rows
  std::fclose(f);
  const Outcome o = tiltfit(path);
  EXPECT_EQ(o.status, 181);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err,
            "tiltfit: " + path + " has more than 715827881 lines, more than the tool can hold\n");
  // --auto needs no such arrays for the still stretches alone: it reads every line, as a stream,
  // and finds no reading in any.
  const Outcome a = tiltfit_test::run(kExe, {"--auto", path});
  EXPECT_EQ(a.status, 255);
  EXPECT_NE(a.err.find("tiltfit: " + path +
                       ": more lines than the rest search can hold: calibrating from the still "
                       "stretches alone, read as a stream\n"),
            std::string::npos)
      << a.err;
  EXPECT_NE(a.err.find("skipped 716177408 lines without readings"), std::string::npos) << a.err;
}

TEST(BadInputTest, OutOfMemoryIsReportedNotAborted) {
#ifdef TILTFIT_SANITIZED
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  TempDir dir;
  std::string many;
  for (int k = 0; k < 4000000; ++k) many += "1,2,3\n";
  const std::string path = dir.file("many.csv", many);
  const Outcome o =
      tiltfit_test::run(kExe, {path, "5", "50", "5e-4", "1000", "2e-3"}, 150ULL << 20);
  EXPECT_EQ(o.signal, 0);
  EXPECT_EQ(o.status, 244);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "tiltfit: out of memory\n");
#endif
}

// Whatever the address-space limit, the run either succeeds or says that memory ran out: neither
// the OpenMP runtime (which ends the process when it cannot start a thread) nor anything else may
// end it first.
TEST(BadInputTest, EveryMemoryLimitEndsInSuccessOrOutOfMemory) {
#ifdef TILTFIT_SANITIZED
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  TempDir dir;
  tiltfit_gen::Options options;
  options.restSamples = 490000;
  options.transitionSamples = 3000;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(options);
  // No header line, so that standard error holds nothing but the outcome.
  const std::string path = dir.path() + "/big.csv";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  for (size_t i = 0; i < rec.x.size(); ++i) {
    std::fprintf(f, "%.6f,%.6f,%.6f\n", rec.x[i], rec.y[i], rec.z[i]);
  }
  ASSERT_GT(std::ftell(f), 80L << 20);
  std::fclose(f);
  int successes = 0;
  for (unsigned long long mb = 40; mb <= 250; mb += 10) {
    const Outcome o = tiltfit_test::run(kExe, {path, "5", "50", "5e-4", "1000", "2e-3"}, mb << 20);
    if (o.status == 0) {
      ++successes;
      EXPECT_TRUE(isReport(o.out)) << mb << " MB";
      EXPECT_EQ(tiltfit_test::withoutQuality(o.err), kRelationLine) << mb << " MB";
      EXPECT_NE(tiltfit_test::quality(o.err), "") << mb << " MB";
    } else {
      EXPECT_EQ(o.signal, 0) << mb << " MB";
      EXPECT_EQ(o.status, 244) << mb << " MB";
      EXPECT_EQ(o.out, "") << mb << " MB";
      EXPECT_EQ(o.err, "tiltfit: out of memory\n") << mb << " MB";
    }
  }
  EXPECT_GT(successes, 0);
  // Worker stacks of 1 GB never fit: the run goes on with the main thread alone.
  const std::string sample = std::string(TILTFIT_SOURCE_DIR) + "/data/sample_recording.csv";
  const Outcome o = tiltfit_test::run("/bin/sh",
                                      {"-c", "OMP_NUM_THREADS=4 OMP_STACKSIZE=1G '" + kExe + "' '" +
                                                 sample + "' 5 50 5e-4 1000 2e-3"},
                                      250ULL << 20);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(isReport(o.out));
#endif
}

TEST(BadInputTest, UnwritableReportIsAFailure) {
  TempDir dir;
  const std::string path = dir.file("rec.csv", join(goodLines(), "\n"));
  const Outcome o =
      tiltfit_test::run(kExe, {path, "5", "50", "5e-4", "1000", "2e-3"}, 0, "/dev/full");
  EXPECT_EQ(o.status, 251);
  EXPECT_EQ(o.err, std::string(kHeaderLines) +
                       "tiltfit: cannot write the report: No space left on device\n");
}

}  // namespace
