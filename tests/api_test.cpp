// The public interface as a program using the installed library sees it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_harness.h"
#include "gzip_text.h"
#include "recording_generator.h"
#include "test_util.h"
#include "tiltfit/tiltfit.hpp"

namespace {

using tiltfit_test::expectClose;
using tiltfit_test::kEps;

const std::string kSample = std::string(TILTFIT_SOURCE_DIR) + "/data/sample_recording.csv";

tiltfit_gen::Options sensor() {
  tiltfit_gen::Options o;
  o.offset[0] = 0.02;
  o.offset[1] = -0.015;
  o.offset[2] = 0.01;
  const double gain[9] = {1.01, 0.006, -0.004, 0.003, 0.99, 0.005, -0.002, 0.004, 1.005};
  for (int k = 0; k < 9; ++k) o.gain[k] = gain[k];
  return o;
}

tiltfit::Recording generated(const tiltfit_gen::Options& o) {
  tiltfit_gen::Recording g = tiltfit_gen::generate(o);
  return tiltfit::makeRecording(std::move(g.x), std::move(g.y), std::move(g.z));
}

// The calibration makes the noise-free sensor read 1 g in every direction, within meanMg on
// average.
// Six aligned rests fix the frame, so the whole calibration must match the sensor's true one, not
// only the length of the vectors it gives: a transposed or rotated matrix fails here.
void expectTrueToTheSensor(const tiltfit::Calibration& c, const tiltfit_gen::Options& o,
                           double meanMg, double tolerance) {
  double G[9], b[3];
  const auto column = c.columnGain();
  for (std::size_t k = 0; k < 9; ++k) G[k] = column[k / 3][k % 3];
  for (std::size_t k = 0; k < 3; ++k) b[k] = c.offset[k];
  double mean = 0.0, worst = 0.0;
  tiltfit_gen::sphereError(o, G, b, 1.0, mean, worst);
  EXPECT_LT(mean, meanMg);
  double trueG[9], trueB[3];
  tiltfit_gen::trueCalibration(o, trueG, trueB);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(G[k], trueG[k], tolerance) << "gain element " << k;
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(b[k], trueB[k], tolerance) << "offset " << k;
}

TEST(ApiTest, ReadingTheTextOrTheFileGivesTheSameRecording) {
  std::ifstream in(kSample, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const tiltfit::Recording fromFile = tiltfit::readRecording(kSample);
  const tiltfit::Recording fromText = tiltfit::readRecordingFromText(text.str());
  // The header line is left out: the first sample is line 2, the last the file's last line.
  EXPECT_EQ(fromFile.rows(), 11100u);
  EXPECT_EQ(fromFile.lineOf(0), 2u);
  EXPECT_EQ(fromFile.lineOf(11099), 11101u);
  EXPECT_EQ(fromFile.linesWithoutReadings, 1u);
  EXPECT_EQ(fromFile.x, fromText.x);
  EXPECT_EQ(fromFile.y, fromText.y);
  EXPECT_EQ(fromFile.z, fromText.z);
  EXPECT_EQ(fromText.skippedFields, fromFile.skippedFields);
}

TEST(ApiTest, GivenAndChosenNumbersBothCalibrateAGeneratedRecording) {
  const tiltfit_gen::Options o = sensor();
  const tiltfit::Recording rec = generated(o);
  const std::vector<tiltfit_gen::Rest> rests = tiltfit_gen::generate(o).rests;

  const tiltfit::Result given = tiltfit::calibrate(rec, {5, 50, 5e-4, 1000, 2e-3});
  ASSERT_TRUE(given.success);
  EXPECT_FALSE(given.parametersChosen);
  EXPECT_FALSE(given.calibration.refined);
  expectTrueToTheSensor(given.calibration, o, 0.08, 2e-4);
  // Samples from memory have no header row: row r is sample r - 1 of the generator.
  for (const tiltfit::Orientation& found : given.orientations) {
    bool inRest = false;
    for (const tiltfit_gen::Rest& r : rests) {
      inRest = inRest || (r.axis == found.axis && r.level == found.reading &&
                          static_cast<int>(found.firstRow) >= r.first + 1 &&
                          static_cast<int>(found.lastRow) <= r.first + r.count);
    }
    EXPECT_TRUE(inRest) << found.name() << " rows " << found.firstRow << "-" << found.lastRow;
  }

  const tiltfit::Result chosen = tiltfit::calibrateAuto(rec);
  ASSERT_TRUE(chosen.success);
  EXPECT_TRUE(chosen.parametersChosen);
  EXPECT_TRUE(chosen.calibration.refined);
  EXPECT_EQ(chosen.units, tiltfit::Units::kG);
  EXPECT_TRUE(tiltfit::checkTuningNumbers(chosen.parameters).empty());
  expectTrueToTheSensor(chosen.calibration, o, 0.15, 2e-4);
}

// Reads path, or reports the error's kind and text.
struct Attempt {
  bool ok = false;
  tiltfit::Recording rec;
  tiltfit::Error::Kind kind = tiltfit::Error::Kind::kInvalidArgument;
  std::string what;
};

Attempt attempt(const std::string& path, const tiltfit::ReadOptions& options = {}) {
  Attempt a;
  try {
    a.rec = tiltfit::readRecording(path, options);
    a.ok = true;
  } catch (const tiltfit::Error& e) {
    a.kind = e.kind();
    a.what = e.what();
  }
  return a;
}

TEST(ApiTest, GzipDataReadAsTheTextTheyHold) {
  tiltfit_test::TempDir dir;
  const std::string text = tiltfit_test::slurp(kSample);
  const tiltfit::Recording plain = tiltfit::readRecording(kSample);
  const std::string packed = tiltfit_test::gzip(text);
  // As a file, whatever its name, and from memory.
  for (const tiltfit::Recording& rec : {tiltfit::readRecording(dir.file("rec.csv.gz", packed)),
                                        tiltfit::readRecording(dir.file("rec.csv", packed)),
                                        tiltfit::readRecordingFromText(packed)}) {
    EXPECT_TRUE(rec.gzip);
    EXPECT_EQ(rec.x, plain.x);
    EXPECT_EQ(rec.z, plain.z);
    EXPECT_EQ(rec.lineOf(0), 2u);
    EXPECT_EQ(rec.linesWithoutReadings, 1u);
  }
  // Two files compressed apart and concatenated read as their texts concatenated.
  const std::string half = text.substr(0, text.size() / 2);
  const std::string cut = half.substr(0, half.rfind('\n') + 1);
  const std::string rest = text.substr(cut.size());
  const tiltfit::Recording joined = tiltfit::readRecording(
      dir.file("two.gz", tiltfit_test::gzip(cut) + tiltfit_test::gzip(rest)));
  EXPECT_EQ(joined.x, plain.x);
  // The classic reading takes the bytes as text: every line a row, and it says what they are.
  tiltfit::ReadOptions classic;
  classic.keepLinesWithoutReadings = true;
  const tiltfit::Recording asText = tiltfit::readRecording(dir.file("rec.csv.gz", packed), classic);
  EXPECT_FALSE(asText.gzip);
  EXPECT_EQ(asText.notText, "gzip data");
}

// A logger's recording of about 7 MB, 1.5 MB gzipped, several of the reader's blocks either way: a
// header naming the columns, a time column, and a record of another kind every 997 lines.
std::string loggerText() {
  tiltfit_gen::Options o = sensor();
  o.restSamples = 30000;
  o.transitionSamples = 3000;
  const tiltfit_gen::Recording g = tiltfit_gen::generate(o);
  std::string text = "time,ax,ay,az\n";
  char line[96];
  for (std::size_t i = 0; i < g.x.size(); ++i) {
    if (i % 997 == 500) text += "event,,,\n";
    const int n = std::snprintf(line, sizeof line, "%.3f,%.6f,%.6f,%.6f\n", 0.001 * double(i),
                                g.x[i], g.y[i], g.z[i]);
    text.append(line, static_cast<std::size_t>(n));
  }
  return text;
}

void expectSameRecording(const tiltfit::Recording& a, const tiltfit::Recording& b,
                         const std::string& what) {
  EXPECT_EQ(a.x, b.x) << what;
  EXPECT_EQ(a.y, b.y) << what;
  EXPECT_EQ(a.z, b.z) << what;
  ASSERT_EQ(a.lineRuns.size(), b.lineRuns.size()) << what;
  for (std::size_t k = 0; k < a.lineRuns.size(); ++k) {
    EXPECT_EQ(a.lineRuns[k].row, b.lineRuns[k].row) << what << " run " << k;
    EXPECT_EQ(a.lineRuns[k].line, b.lineRuns[k].line) << what << " run " << k;
    EXPECT_EQ(a.lineRuns[k].step, b.lineRuns[k].step) << what << " run " << k;
  }
  EXPECT_EQ(a.linesWithoutReadings, b.linesWithoutReadings) << what;
  EXPECT_EQ(a.firstLineWithoutReadings, b.firstLineWithoutReadings) << what;
  EXPECT_EQ(a.firstLineWithoutReadingsText, b.firstLineWithoutReadingsText) << what;
  EXPECT_EQ(a.layout.columns, b.layout.columns) << what;
  EXPECT_EQ(a.columnsReason, b.columnsReason) << what;
  EXPECT_EQ(a.sampleLines, b.sampleLines) << what;
}

// readRecording("-") with standard input a pipe that a thread of its own fills with bytes.
tiltfit::Recording readPipedStandardInput(const std::string& bytes,
                                          const tiltfit::ReadOptions& options) {
  int ends[2];
  if (pipe(ends) != 0) throw std::runtime_error("pipe");
  const int saved = dup(0);
  dup2(ends[0], 0);
  close(ends[0]);
  std::thread writer([&bytes, fd = ends[1]] {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t put = write(fd, bytes.data() + at, bytes.size() - at);
      if (put <= 0) break;
      at += static_cast<std::size_t>(put);
    }
    close(fd);
  });
  tiltfit::Recording rec;
  try {
    rec = tiltfit::readRecording("-", options);
  } catch (...) {
    writer.join();
    dup2(saved, 0);
    close(saved);
    throw;
  }
  writer.join();
  dup2(saved, 0);
  close(saved);
  return rec;
}

TEST(ApiTest, GzipDataOfManyBlocksReadAsTheirTextFromAFileAPipeOrMemory) {
  tiltfit_test::TempDir dir;
  const std::string text = loggerText();
  const std::string packed = tiltfit_test::gzip(text);
  ASSERT_GT(packed.size(), std::size_t{1} << 20);
  tiltfit::ReadOptions detect;
  detect.detectDelimiter = detect.detectColumns = true;
  const tiltfit::Recording plain = tiltfit::readRecording(dir.file("plain.csv", text), detect);
  EXPECT_EQ(plain.layout.columns, (std::array<int, 3>{{2, 3, 4}}));
  EXPECT_GT(plain.linesWithoutReadings, 100u);
  EXPECT_EQ(plain.lineOf(0), 2u);
  expectSameRecording(tiltfit::readRecording(dir.file("rec.csv.gz", packed), detect), plain,
                      "file");
  expectSameRecording(readPipedStandardInput(packed, detect), plain, "gzip through a pipe");
  expectSameRecording(readPipedStandardInput(text, detect), plain, "text through a pipe");
  expectSameRecording(tiltfit::readRecordingFromText(packed, detect), plain, "memory");
  EXPECT_TRUE(readPipedStandardInput(packed, detect).gzip);
}

TEST(ApiTest, GzipMembersFollowOneAnotherWhereverAReadEnds) {
  tiltfit_test::TempDir dir;
  const std::string text = loggerText();
  const std::string head = text.substr(0, text.find('\n', 200000) + 1);
  const std::string rest = tiltfit_test::gzip(text.substr(head.size()));
  const tiltfit::Recording plain = tiltfit::readRecording(dir.file("plain.csv", text));
  // The reader decompresses a file a MiB at a time: the first member ends two bytes before the
  // end of a read, one byte before it, with it and one byte after it.
  constexpr std::size_t kRead = std::size_t{1} << 20;
  const std::string noName;
  const std::size_t bare = tiltfit_test::gzip(head, &noName).size();
  for (const std::size_t first : {kRead - 2, kRead - 1, kRead, kRead + 1}) {
    const std::string name(first - bare, 'n');
    const std::string member = tiltfit_test::gzip(head, &name);
    ASSERT_EQ(member.size(), first);
    // One byte after the last member starts no member and is ignored, as gzip ignores it.
    const std::string two = member + rest + "\x1F";
    expectSameRecording(tiltfit::readRecording(dir.file("two.gz", two)), plain,
                        "first member of " + std::to_string(first) + " bytes");
    expectSameRecording(readPipedStandardInput(two, {}), plain,
                        "piped, first member of " + std::to_string(first) + " bytes");
  }
  // Cut short two reads in.
  const std::string whole = tiltfit_test::gzip(text);
  const std::string cut = dir.file("cut.gz", whole.substr(0, whole.size() - 5000));
  const Attempt a = attempt(cut);
  EXPECT_EQ(a.kind, tiltfit::Error::Kind::kCannotRead);
  EXPECT_EQ(a.what, cut + ": the gzip data end early: the file is cut short");
}

TEST(ApiTest, BinaryDataAreRefusedInOneLine) {
  tiltfit_test::TempDir dir;
  Attempt a;
  // Noise, a zip archive and UTF-16 text, each named for what it is.
  std::string noise(5000, '\0');
  unsigned state = 12345;
  for (char& c : noise) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  const struct {
    std::string bytes;
    std::string message;
  } cases[] = {{noise, "noise.bin is not text but binary data: give the recording as CSV text"},
               {"PK\x03\x04" + noise,
                "noise.bin is not text but zip data: unpack it and give the CSV file it holds"},
               {std::string("\xFF\xFE"
                            "a\0x\0,\0",
                            8),
                "noise.bin is UTF-16 text, which tiltfit does not read: save it as UTF-8"},
               {"\xFD"
                "7zXZ" +
                    std::string(1, '\0') + noise,
                "noise.bin is not text but xz data: decompress it first (tiltfit reads text, and "
                "gzip-compressed text)"}};
  for (const auto& c : cases) {
    a = attempt(dir.file("noise.bin", c.bytes));
    EXPECT_EQ(a.kind, tiltfit::Error::Kind::kNotText) << c.message;
    EXPECT_EQ(a.what, dir.path() + "/" + c.message);
  }
  // Text with a stray NUL, Latin-1 letters and terminal colours stays text, and so does the
  // padding a card leaves after a power cut, which ends lines like any byte that is no number.
  std::string text = tiltfit_test::slurp(kSample);
  text.insert(200, 1, '\0');
  text.insert(0,
              "temp\xB0"
              "C,\x1B[32mok\x1B[0m\n");
  a = attempt(dir.file("text.csv", text));
  EXPECT_TRUE(a.ok) << a.what;
  a = attempt(dir.file("padded.csv", text.substr(0, 6000) + std::string(60000, '\0')));
  EXPECT_TRUE(a.ok) << a.what;
  EXPECT_EQ(attempt(dir.file("zeros.bin", std::string(60000, '\0'))).kind,
            tiltfit::Error::Kind::kNotText);
  // A byte that starts no UTF-8 sequence, with two continuation bytes after it, in every fifth
  // place of a text of letters.
  std::string notUtf8(2000, 'a');
  for (std::size_t k = 0; k + 2 < notUtf8.size(); k += 5) notUtf8.replace(k, 3, "\xF8\x80\x80");
  EXPECT_EQ(attempt(dir.file("f8.bin", notUtf8)).kind, tiltfit::Error::Kind::kNotText);
}

TEST(ApiTest, ErrorsSayWhatKindTheyAre) {
  try {
    tiltfit::readRecording(std::string(TILTFIT_SOURCE_DIR) + "/data/no such file.csv");
    FAIL() << "a missing file was read";
  } catch (const tiltfit::Error& e) {
    EXPECT_EQ(e.kind(), tiltfit::Error::Kind::kCannotRead);
    EXPECT_EQ(e.systemError(), ENOENT);
  }
  const tiltfit::Recording rec = generated(sensor());
  const auto kindOf = [](auto call) {
    try {
      call();
    } catch (const tiltfit::Error& e) {
      return e.kind();
    }
    ADD_FAILURE() << "no error";
    return tiltfit::Error::Kind::kTooManyRows;
  };
  constexpr auto kInvalid = tiltfit::Error::Kind::kInvalidArgument;
  EXPECT_EQ(kindOf([&] { tiltfit::calibrate(rec, {5, 50, 5e-4, 1, 2e-3}); }), kInvalid);
  EXPECT_EQ(kindOf([&] { tiltfit::calibrate(rec, {100, 50, 5e-4, 1000, 2e-3}); }), kInvalid);
  EXPECT_EQ(kindOf([&] {
              tiltfit::CalibrateOptions o;
              o.units = tiltfit::Units::kAuto;
              o.outputUnits = "mg";
              tiltfit::calibrateAuto(rec, o);
            }),
            kInvalid);
  EXPECT_EQ(kindOf([] { tiltfit::unitsFromName("mg"); }), kInvalid);
  EXPECT_EQ(kindOf([] { tiltfit::makeRecording({1, 2}, {1, 2}, {1}); }), kInvalid);
}

TEST(ApiTest, RowAndColumnFormsOfACalibrationAgree) {
  tiltfit::Calibration c;
  c.offset = {0.02, -0.01, 0.03};
  c.gainMatrix = {{{0.99, -0.003, 0.005}, {-0.004, 1.009, -0.002}, {0.006, -0.008, 0.994}}};
  const auto G = c.columnGain();
  std::vector<double> x = {0.61, -1.02, 0.0, 3e5}, y = {0.55, 0.01, 1.0, -2e5},
                      z = {-0.55, 0.02, 0.0, 1e-9};
  const std::vector<double> x0 = x, y0 = y, z0 = z;
  tiltfit::applyCalibration(c, x.data(), y.data(), z.data(), x.size());
  for (std::size_t k = 0; k < x.size(); ++k) {
    const std::array<double, 3> raw = {x0[k], y0[k], z0[k]};
    const std::array<double, 3> out = {x[k], y[k], z[k]};
    for (std::size_t j = 0; j < 3; ++j) {
      const double column = G[j][0] * raw[0] + G[j][1] * raw[1] + G[j][2] * raw[2] + c.offset[j];
      const double scale = std::abs(raw[0]) + std::abs(raw[1]) + std::abs(raw[2]) + 1.0;
      expectClose(out[j], column, 0.0, 4 * kEps * scale);
      EXPECT_EQ(out[j], c.apply(raw)[j]);
    }
  }
}

}  // namespace

namespace {

// Several threads at once (as Python does with the GIL released) get what one thread gets.
TEST(ApiTest, ConcurrentCallsGiveTheSequentialResults) {
  std::vector<tiltfit::Recording> recordings;
  for (std::uint64_t seed = 1; seed <= 4; ++seed) {
    tiltfit_gen::Options o = sensor();
    o.seed = seed;
    o.restSamples = 600;
    o.transitionSamples = 150;
    recordings.push_back(generated(o));
  }
  std::vector<tiltfit::Result> sequential;
  for (const tiltfit::Recording& r : recordings) sequential.push_back(tiltfit::calibrateAuto(r));
  std::vector<tiltfit::Result> concurrent(recordings.size());
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < recordings.size(); ++k) {
    threads.emplace_back([&, k] { concurrent[k] = tiltfit::calibrateAuto(recordings[k]); });
  }
  for (std::thread& t : threads) t.join();
  for (std::size_t k = 0; k < recordings.size(); ++k) {
    ASSERT_TRUE(sequential[k].success);
    EXPECT_EQ(concurrent[k].calibration.offset, sequential[k].calibration.offset) << k;
    EXPECT_EQ(concurrent[k].calibration.gainMatrix, sequential[k].calibration.gainMatrix) << k;
  }
}

}  // namespace
