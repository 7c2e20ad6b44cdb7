#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "getAccCalib.h"
#include "libOrr_accTools.h"
#include "recording_generator.h"

namespace {

// A CSV file with the given bytes in a fresh temporary directory, removed afterwards.
class TempFile {
 public:
  explicit TempFile(const std::string& contents) {
    char dir[] = "/tmp/tiltfit_test_XXXXXX";
    dir_ = mkdtemp(dir);
    path_ = dir_ + "/rec.csv";
    std::ofstream(path_, std::ios::binary) << contents;
  }
  ~TempFile() {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::string path_;
};

struct Read {
  bool ok;
  std::vector<std::vector<double>> rows;  // one {x, y, z} per row
  std::string err;
};

Read read(const std::string& contents, const CsvLayout& layout = CsvLayout()) {
  TempFile f(contents);
  ACCTOOLS tools;
  testing::internal::CaptureStderr();
  Read r;
  r.ok = tools.readAccelerometerMeasures(f.path(), layout);
  r.err = testing::internal::GetCapturedStderr();
  const auto& m = tools.getAccelerometerMeasures();
  EXPECT_EQ(m[0].size(), m[1].size());
  EXPECT_EQ(m[0].size(), m[2].size());
  for (size_t k = 0; k < m[0].size(); ++k) r.rows.push_back({m[0][k], m[1][k], m[2][k]});
  return r;
}

using Rows = std::vector<std::vector<double>>;

TEST(ReaderTest, HeaderBecomesZeroRowAndFinalNewlineAddsOne) {
  Read r = read("accz,accy,accz\n1,2,3\n4,5,6\n7,8,9\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.rows, (Rows{{0, 0, 0}, {1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {0, 0, 0}}));
  EXPECT_EQ(r.err, "Header : accz\nHeader : accy\nHeader : accz\n");
  r = read("accz,accy,accz\n1,2,3\n4,5,6\n7,8,9");
  EXPECT_EQ(r.rows, (Rows{{0, 0, 0}, {1, 2, 3}, {4, 5, 6}, {7, 8, 9}}));
}

TEST(ReaderTest, EmptyFileGivesOneZeroRow) {
  const Read r = read("");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.rows, (Rows{{0, 0, 0}}));
  EXPECT_EQ(r.err, "");
}

TEST(ReaderTest, OddLines) {
  const Read r = read("1,,3\n1,2,3,4\n1,2,\n\n 7.5abc,0x10,-inf\n1e999,1e-400,nan\n2,3");
  EXPECT_TRUE(r.ok);
  ASSERT_EQ(r.rows.size(), 7U);
  EXPECT_EQ(r.rows[0], (std::vector<double>{1, 0, 3}));
  EXPECT_EQ(r.rows[1], (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(r.rows[2], (std::vector<double>{1, 2, 0}));
  EXPECT_EQ(r.rows[3], (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(r.rows[4][0], 7.5);
  EXPECT_EQ(r.rows[4][1], 16.0);
  EXPECT_EQ(r.rows[4][2], -INFINITY);
  EXPECT_EQ(r.rows[5][0], 0.0);
  EXPECT_EQ(r.rows[5][1], 0.0);
  EXPECT_TRUE(std::isnan(r.rows[5][2]));
  EXPECT_EQ(r.rows[6], (std::vector<double>{2, 3, 0}));
  EXPECT_EQ(r.err, "Header : \nHeader : 1e999\nHeader : 1e-400\n");
}

TEST(ReaderTest, CarriageReturnsStayInTheReportedField) {
  const Read r = read("accx,accy,accz\r\n1,2,3\r\n");
  EXPECT_EQ(r.rows, (Rows{{0, 0, 0}, {1, 2, 3}, {0, 0, 0}}));
  EXPECT_EQ(r.err, "Header : accx\nHeader : accy\nHeader : accz\r\n");
}

TEST(ReaderTest, LayoutPicksFieldsByNumberAtItsDelimiter) {
  CsvLayout tab;
  tab.delimiter = '\t';
  tab.columns[0] = 4;
  tab.columns[1] = 2;
  tab.columns[2] = 3;
  Read r = read("t\tay\taz\tax\n0.1\t2\t3\t1\n0.2\t5\t6\n0.3\t8\t\t7\t\n", tab);
  EXPECT_EQ(r.rows, (Rows{{0, 0, 0}, {1, 2, 3}, {0, 5, 6}, {7, 8, 0}, {0, 0, 0}}));
  EXPECT_EQ(r.err, "Header : ay\nHeader : az\nHeader : ax\nHeader : \n");

  CsvLayout blanks;
  blanks.blanks = true;
  blanks.columns[0] = 3;
  blanks.columns[1] = 1;
  blanks.columns[2] = 3;
  r = read(" \t2  x\t\t1.5 \r\n", blanks);
  EXPECT_EQ(r.rows, (Rows{{1.5, 2, 1.5}, {0, 0, 0}}));
  EXPECT_EQ(r.err, "");
}

TEST(ReaderTest, QuietHeadersAreCountedNotReported) {
  TempFile f("accx,accy,accz\n1,2,3\nx,5,6e999\n");
  CsvLayout quiet;
  quiet.quietHeaders = true;
  ACCTOOLS tools;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(tools.readAccelerometerMeasures(f.path(), quiet));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(tools.skippedFields(), 5U);
  EXPECT_EQ(tools.firstSkippedField(), "accx");
  EXPECT_EQ(tools.getAccelerometerMeasures()[1][2], 5.0);
}

// The line of each row, as the runs say (0-based).
std::vector<std::uint64_t> linesOfRows(const std::vector<ACCTOOLS::LineRun>& runs, size_t rows) {
  std::vector<std::uint64_t> lines;
  for (size_t k = 0; k < runs.size(); ++k) {
    const size_t end = k + 1 < runs.size() ? runs[k + 1].row : rows;
    for (size_t r = runs[k].row; r < end; ++r)
      lines.push_back(runs[k].line + runs[k].step * (r - runs[k].row));
  }
  return lines;
}

TEST(ReaderTest, LinesWithoutReadingsAreLeftOutAndTheRestKeepTheirLines) {
  CsvLayout drop;
  drop.dropLinesWithoutReadings = true;
  drop.quietHeaders = true;
  // Lines 0 to 9: a header, a blank line, an empty field, a prompt and a short line are left out.
  const std::string text =
      "ax,ay,az\n1,2,3\n\n4,5,6\n7,,9\n10,11,12\n13,14,15\n>>> turn it\n16,17\n18,19,20\r\n";
  for (bool fast : {true, false}) {
    TempFile f(text);
    ACCTOOLS tools;
    ASSERT_TRUE(fast ? tools.readAccelerometerMeasures(f.path(), drop)
                     : tools.readAccelerometerMeasuresReference(f.path(), drop));
    const auto& m = tools.getAccelerometerMeasures();
    EXPECT_EQ(m[0], (std::vector<double>{1, 4, 10, 13, 18})) << fast;
    EXPECT_EQ(m[2], (std::vector<double>{3, 6, 12, 15, 20})) << fast;
    // Rows 0-2 step by two lines from line 1; rows 3-4 by three from line 6.
    const auto& runs = tools.lineRuns();
    ASSERT_EQ(runs.size(), 2U) << fast;
    EXPECT_EQ((std::vector<std::uint32_t>{runs[0].row, runs[0].line, runs[0].step}),
              (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ((std::vector<std::uint32_t>{runs[1].row, runs[1].line, runs[1].step}),
              (std::vector<std::uint32_t>{3, 6, 3}));
    EXPECT_EQ(linesOfRows(runs, m[0].size()), (std::vector<std::uint64_t>{1, 3, 5, 6, 9}));
    EXPECT_EQ(tools.linesWithoutReadings(), 5U);
    EXPECT_EQ(tools.firstLineWithoutReadings(), 0U);
    EXPECT_EQ(tools.firstLineWithoutReadingsText(), "ax,ay,az");
    EXPECT_EQ(tools.skippedFields(), 5U);  // ax, ay, az, the empty field and the prompt
  }
  // Nothing to keep; and without the option every line is a row, with no runs.
  ACCTOOLS tools;
  TempFile none("a,b,c\n\n");
  ASSERT_TRUE(tools.readAccelerometerMeasures(none.path(), drop));
  EXPECT_TRUE(tools.getAccelerometerMeasures()[0].empty());
  EXPECT_TRUE(tools.lineRuns().empty());
  EXPECT_EQ(tools.linesWithoutReadings(), 2U);
  CsvLayout keep;
  keep.quietHeaders = true;
  ASSERT_TRUE(tools.readAccelerometerMeasures(none.path(), keep));
  EXPECT_EQ(tools.getAccelerometerMeasures()[0].size(), 3U);
  EXPECT_TRUE(tools.lineRuns().empty());
  EXPECT_EQ(tools.linesWithoutReadings(), 0U);
}

TEST(ReaderTest, AnInterleavedLogIsOneRunAcrossEveryBlock) {
  // Two record kinds line by line over several of the reader's 1 MiB blocks: the kind without
  // readings leaves an empty field where the accelerometer's are.
  std::string text = "kind,t,ax,ay,az\n";
  const int pairs = 80000;
  for (int k = 0; k < pairs; ++k) {
    text += "A," + std::to_string(k) + "," + std::to_string(k % 7) + ".25,-1.5," +
            std::to_string(k) + "\n";
    text += "B," + std::to_string(k) + ",,,\n";
  }
  ASSERT_GT(text.size(), std::size_t{2} << 20);
  TempFile f(text);
  CsvLayout drop;
  drop.dropLinesWithoutReadings = true;
  drop.quietHeaders = true;
  drop.columns[0] = 3;
  drop.columns[1] = 4;
  drop.columns[2] = 5;
  ACCTOOLS tools;
  ASSERT_TRUE(tools.readAccelerometerMeasures(f.path(), drop));
  const auto& m = tools.getAccelerometerMeasures();
  ASSERT_EQ(m[0].size(), static_cast<size_t>(pairs));
  for (int k = 0; k < pairs; k += 997) {
    EXPECT_EQ(m[0][static_cast<size_t>(k)], k % 7 + 0.25) << k;
    EXPECT_EQ(m[2][static_cast<size_t>(k)], k) << k;
  }
  ASSERT_EQ(tools.lineRuns().size(), 1U);
  EXPECT_EQ(tools.lineRuns()[0].line, 1U);
  EXPECT_EQ(tools.lineRuns()[0].step, 2U);
  EXPECT_EQ(tools.linesWithoutReadings(), static_cast<std::uint64_t>(pairs) + 1);
}

TEST(ReaderTest, LayoutsThatCutNothingAreRefused) {
  ACCTOOLS tools;
  CsvLayout noField;
  noField.columns[1] = 0;
  EXPECT_THROW(tools.readAccelerometerMeasures("-", noField), std::invalid_argument);
  CsvLayout newline;
  newline.delimiter = '\n';
  EXPECT_THROW(tools.readAccelerometerMeasuresReference("-", newline), std::invalid_argument);
}

TEST(ReaderTest, UnreadablePathsLeaveTheColumnsUntouched) {
  ACCTOOLS tools;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tools.readAccelerometerMeasures("/nonexistent/dir/rec.csv"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Can not open csv file\n");
  EXPECT_EQ(tools.readError(), ACCTOOLS::ReadError::kCannotOpen);
  EXPECT_EQ(tools.readErrno(), ENOENT);
  EXPECT_TRUE(tools.getAccelerometerMeasures()[0].empty());

  TempFile f("1,2,3\n");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tools.readAccelerometerMeasures(f.dir()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Can not open csv file\n");
  EXPECT_EQ(tools.readErrno(), EISDIR);
}

TEST(ToolObjectTest, FreshObjectHasAFailedZeroResult) {
  ACCTOOLS tools;
  const ACCTOOLS::ACCRESULT& r = tools.getAccCalibResult();
  EXPECT_FALSE(r.isCalibrationSuccess);
  for (double v : r.accOffset) EXPECT_EQ(v, 0.0);
  ASSERT_EQ(r.accGainMatrix.size(), 3U);
  for (const auto& row : r.accGainMatrix)
    for (double v : row) EXPECT_EQ(v, 0.0);
}

// The record holds the core's offset and its column-major matrix read row by row, untransposed.
void expectStored(const ACCTOOLS::ACCRESULT& r, const double* offset, const double* gain) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(r.accOffset[i], offset[i]);
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(r.accGainMatrix[static_cast<size_t>(i)][static_cast<size_t>(j)], gain[i + 3 * j]);
  }
}

// The stored rows are the core's column-major matrix read row by row, untransposed.
TEST(ToolObjectTest, StoresTheCoreResultRowByRow) {
  tiltfit_gen::Options o;
  o.restSamples = 300;
  const double K[9] = {1.02, 0.01, -0.02, 0.015, 0.97, 0.005, -0.01, 0.02, 1.01};
  std::copy(K, K + 9, o.gain);
  o.offset[2] = 0.01;
  const tiltfit_gen::Recording rec = tiltfit_gen::generate(o);
  std::FILE* f = std::tmpfile();
  tiltfit_gen::writeCsv(f, rec);
  std::rewind(f);
  std::string csv;
  for (int c; (c = std::fgetc(f)) != EOF;) csv.push_back(static_cast<char>(c));
  std::fclose(f);
  TempFile file(csv);

  ACCTOOLS tools;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(tools.readAccelerometerMeasures(file.path()));
  testing::internal::GetCapturedStderr();
  tools.accCalibration(5, 50, 5e-4, 100, 2e-3);

  const auto& m = tools.getAccelerometerMeasures();
  const int n = static_cast<int>(m[0].size());
  coder::array<double, 2> x;
  x.set_size(n, 3);
  for (int j = 0; j < 3; ++j)
    for (int k = 0; k < n; ++k) x[k + n * j] = m[static_cast<size_t>(j)][static_cast<size_t>(k)];
  double offset[3], gain[9];
  boolean_T ok = 0;
  getAccCalib(x, 5, 50, 5e-4, 100, 2e-3, offset, gain, &ok);

  const ACCTOOLS::ACCRESULT& r = tools.getAccCalibResult();
  ASSERT_TRUE(ok);
  EXPECT_TRUE(r.isCalibrationSuccess);
  expectStored(r, offset, gain);
  // A failed calibration still overwrites the result with the core's output.
  tools.accCalibration(5, 50, 5e-4, 1, 2e-3);
  getAccCalib(x, 5, 50, 5e-4, 1, 2e-3, offset, gain, &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(r.isCalibrationSuccess);
  expectStored(r, offset, gain);
}

TEST(ToolObjectTest, NoRowsAreNeverHandedToTheCore) {
  ACCTOOLS tools;
  tools.accCalibration(5, 50, 5e-4, 1000, 2e-3);
  EXPECT_FALSE(tools.getAccCalibResult().isCalibrationSuccess);
}

}  // namespace
