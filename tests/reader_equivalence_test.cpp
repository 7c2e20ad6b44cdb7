// The block reader and its decimal parser must agree with the stream reader and std::stod on every
// byte: same rows, same values bit for bit, same messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <omp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cli_harness.h"
#include "csvField.h"
#include "libOrr_accTools.h"

namespace {

std::string randomDigits(std::mt19937_64& rng, int maxLen) {
  std::string s(static_cast<size_t>(rng() % static_cast<unsigned>(maxLen + 1)), '0');
  for (char& c : s) c = static_cast<char>('0' + rng() % 10);
  return s;
}

// Fields of every shape the reader may meet, biased towards plain decimals.
std::string randomField(std::mt19937_64& rng) {
  static const char* const kOdd[] = {"inf",
                                     "-INF",
                                     "Infinity",
                                     "nan",
                                     "NaN(123)",
                                     "-nan",
                                     "0x1.8p3",
                                     "0X10",
                                     "-0x",
                                     "1e",
                                     "1e+",
                                     "1E-",
                                     ".",
                                     "-",
                                     "+",
                                     "e5",
                                     "",
                                     " \t1.5",
                                     "\v-2",
                                     "1.5abc",
                                     "1,5",
                                     "1e999",
                                     "-1e-400",
                                     "4.9e-324",
                                     "2.2250738585072014e-308",
                                     "1.7976931348623157e308",
                                     "1.7976931348623159e308",
                                     "00000000000000000000000012.5",
                                     "0.000000000000000000000000001",
                                     "accx",
                                     "\r",
                                     "2.2250738585072011e-308",
                                     "1e-320",
                                     "0e-5000",
                                     "0.0e999",
                                     "+.5",
                                     "-.5",
                                     "+-1",
                                     "5.",
                                     "1e5x",
                                     "1E+05",
                                     "-0",
                                     "-0.0e-10",
                                     "99999999999999999999.5",
                                     "0x",
                                     "1.7976931348623158e308"};
  const unsigned pick = static_cast<unsigned>(rng() % 10);
  if (pick == 0) return kOdd[rng() % (sizeof kOdd / sizeof kOdd[0])];
  std::string s;
  if (rng() % 3 == 0) s += (rng() % 2) ? "-" : "+";
  s += randomDigits(rng, pick < 6 ? 3 : 22);
  if (rng() % 3 != 0) s += "." + randomDigits(rng, pick < 6 ? 6 : 22);
  if (rng() % 5 == 0) {
    s += (rng() % 2) ? "e" : "E";
    if (rng() % 2) s += (rng() % 2) ? "-" : "+";
    s += randomDigits(rng, 3);
  }
  if (rng() % 20 == 0) s += "\r";
  if (rng() % 50 == 0) s += std::string("\0", 1) + "7";
  return s;
}

bool stod(const std::string& s, double& v) {
  try {
    v = std::stod(s);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(CsvFieldTest, MatchesStodOnRandomFields) {
  const unsigned seed = 42;
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 300000; ++i) {
    const std::string f = randomField(rng);
    double expected = 0.0, actual = 0.0;
    const bool ok = stod(f, expected);
    ASSERT_EQ(tiltfit_csv::parseField(f.data(), f.data() + f.size(), actual), ok)
        << "[" << f << "] seed " << seed;
    if (ok) {
      ASSERT_TRUE(sameBits(actual, expected)) << "[" << f << "] " << actual << " vs " << expected;
    }
  }
}

// The integer-and-power-of-ten conversion is exact only up to 2^53 units and 10^22: numbers at and
// just past those edges, with signs, zeros and bare points, read as stod reads them.
TEST(CsvFieldTest, DecimalsAtTheEdgesOfTheExactConversionReadAsStod) {
  const char* const fields[] = {"9007199254740992",
                                "9007199254740993",
                                "9007199254740991",
                                "900719925474099.3",
                                "9007199254740993e0",
                                "0.9007199254740993",
                                "1234567890123456789",
                                "12345678901234567890",
                                "0.0000000000000000000001",
                                "0.00000000000000000000001",
                                "1.0000000000000000000001",
                                "-0.000000",
                                "-0",
                                "+.5",
                                "1.",
                                "-1.",
                                ".000001",
                                "4503599627370497.5",
                                "0.1",
                                "0.3",
                                "2.2250738585072014",
                                "-9.80665",
                                "1.5e",
                                "007.250",
                                "1.5.3",
                                "65535",
                                "-32768"};
  for (const char* f : fields) {
    const std::string text(f);
    double expected = 0.0, actual = 0.0;
    const bool ok = stod(text, expected);
    ASSERT_EQ(tiltfit_csv::parseField(text.data(), text.data() + text.size(), actual), ok) << f;
    if (ok) {
      ASSERT_TRUE(sameBits(actual, expected)) << f << ": " << actual << " vs " << expected;
    }
  }
  // Every count of digits and decimals around the edges, with random digits.
  std::mt19937_64 rng(11);
  for (int digits = 1; digits <= 21; ++digits) {
    for (int decimals = 0; decimals <= std::min(digits, 24); ++decimals) {
      for (int k = 0; k < 200; ++k) {
        std::string text = k % 2 ? "-" : "";
        for (int d = 0; d < digits; ++d) {
          if (d == digits - decimals) text += d == 0 ? "0." : ".";
          text += static_cast<char>('0' + rng() % 10);
        }
        double expected = 0.0, actual = 0.0;
        const bool ok = stod(text, expected);
        ASSERT_EQ(tiltfit_csv::parseField(text.data(), text.data() + text.size(), actual), ok)
            << text;
        if (ok) {
          ASSERT_TRUE(sameBits(actual, expected)) << text;
        }
      }
    }
  }
}

TEST(CsvFieldTest, ShortestRoundTripDecimalsAreExact) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  char buf[64];
  for (int i = 0; i < 200000; ++i) {
    const double v = u(rng) / ((i % 7) + 1);
    const int len = std::snprintf(buf, sizeof buf, i % 2 ? "%.17g" : "%.6f", v);
    double expected = std::stod(buf), actual;
    ASSERT_TRUE(tiltfit_csv::parseField(buf, buf + len, actual));
    ASSERT_TRUE(sameBits(actual, expected)) << buf;
  }
}

struct Reading {
  bool ok;
  std::array<std::vector<double>, 3> columns;
  std::string err;
  std::uint64_t skipped;
  std::string firstSkipped;
  std::vector<ACCTOOLS::LineRun> runs;
  std::uint64_t dropped;
  std::uint64_t firstDropped;
  std::string firstDroppedText;
};

void takeLines(const ACCTOOLS& tools, Reading& r) {
  r.runs = tools.lineRuns();
  r.dropped = tools.linesWithoutReadings();
  r.firstDropped = tools.firstLineWithoutReadings();
  r.firstDroppedText = tools.firstLineWithoutReadingsText();
}

Reading read(const std::string& path, bool fast, const CsvLayout& layout = CsvLayout()) {
  ACCTOOLS tools;
  testing::internal::CaptureStderr();
  Reading r;
  r.ok = fast ? tools.readAccelerometerMeasures(path, layout)
              : tools.readAccelerometerMeasuresReference(path, layout);
  r.err = testing::internal::GetCapturedStderr();
  r.columns = tools.getAccelerometerMeasures();
  r.skipped = tools.skippedFields();
  r.firstSkipped = tools.firstSkippedField();
  takeLines(tools, r);
  return r;
}

void expectSame(const Reading& a, const Reading& b, const std::string& what) {
  ASSERT_EQ(a.ok, b.ok) << what;
  ASSERT_EQ(a.err, b.err) << what;
  ASSERT_EQ(a.skipped, b.skipped) << what;
  ASSERT_EQ(a.firstSkipped, b.firstSkipped) << what;
  ASSERT_EQ(a.dropped, b.dropped) << what;
  ASSERT_EQ(a.firstDropped, b.firstDropped) << what;
  ASSERT_EQ(a.firstDroppedText, b.firstDroppedText) << what;
  ASSERT_EQ(a.runs.size(), b.runs.size()) << what;
  for (size_t k = 0; k < a.runs.size(); ++k) {
    ASSERT_EQ(a.runs[k].row, b.runs[k].row) << what << " run " << k;
    ASSERT_EQ(a.runs[k].line, b.runs[k].line) << what << " run " << k;
    ASSERT_EQ(a.runs[k].step, b.runs[k].step) << what << " run " << k;
  }
  for (int c = 0; c < 3; ++c) {
    ASSERT_EQ(a.columns[static_cast<size_t>(c)].size(), b.columns[static_cast<size_t>(c)].size())
        << what;
    for (size_t r = 0; r < a.columns[static_cast<size_t>(c)].size(); ++r)
      ASSERT_TRUE(
          sameBits(a.columns[static_cast<size_t>(c)][r], b.columns[static_cast<size_t>(c)][r]))
          << what << " row " << r << " column " << c;
  }
}

void expectSameReading(const std::string& path, const std::string& what,
                       const CsvLayout& layout = CsvLayout()) {
  expectSame(read(path, true, layout), read(path, false, layout), what);
}

CsvLayout dropping() {
  CsvLayout l;
  l.dropLinesWithoutReadings = true;
  return l;
}

TEST(ReaderEquivalenceTest, RandomFiles) {
  tiltfit_test::TempDir dir;
  for (unsigned seed = 1; seed <= 300; ++seed) {
    std::mt19937_64 rng(seed);
    std::string file = rng() % 4 ? "accx,accy,accz\n" : "";
    const int lines = static_cast<int>(rng() % 60);
    for (int l = 0; l < lines; ++l) {
      const int fields = static_cast<int>(rng() % 6);
      for (int f = 0; f < fields; ++f) file += (f ? "," : "") + randomField(rng);
      if (rng() % 8 == 0) file += ",";
      if (l + 1 < lines || rng() % 2) file += rng() % 5 ? "\n" : "\r\n";
    }
    const std::string path = dir.file("r.csv", file);
    expectSameReading(path, "seed " + std::to_string(seed));
    expectSameReading(path, "seed " + std::to_string(seed) + ", lines left out", dropping());
  }
}

TEST(ReaderEquivalenceTest, LinesAcrossBlockBoundariesAndOneHugeLine) {
  tiltfit_test::TempDir dir;
  std::mt19937_64 rng(11);
  std::string file = "accx,accy,accz\n";
  while (file.size() < (std::size_t{9} << 19)) {
    file += randomField(rng) + "," + randomField(rng) + "," + randomField(rng) + "\n";
  }
  expectSameReading(dir.file("long.csv", file), "many lines");
  expectSameReading(dir.file("long.csv", file), "many lines, lines left out", dropping());
  std::string huge = "1.5,2.5," + std::string(std::size_t{5} << 20, '7') + "\n4,5,6";
  expectSameReading(dir.file("huge.csv", huge), "huge line");
  expectSameReading(dir.file("huge.csv", huge), "huge line, lines left out", dropping());
}

TEST(ReaderEquivalenceTest, FixturesOfTheReaderTests) {
  tiltfit_test::TempDir dir;
  const std::string bom = "\xEF\xBB\xBF";
  const std::string fixtures[] = {"accz,accy,accz\n1,2,3\n4,5,6\n7,8,9\n",
                                  "accz,accy,accz\n1,2,3",
                                  "",
                                  "1,,3\n1,2,3,4\n1,2,\n",
                                  "\n\n\n",
                                  "1e999,x\r\n",
                                  ",,,,\n,",
                                  bom + "accx,accy,accz\n1,2,3\n"};
  for (const std::string& f : fixtures) expectSameReading(dir.file("f.csv", f), f);
  const char nulBytes[] = "1,\0002,3\n\0\n4,5\0,6";
  const std::string nul(nulBytes, sizeof nulBytes - 1);
  expectSameReading(dir.file("nul.csv", nul), "NUL bytes");
}

struct NamedLayout {
  const char* name;
  CsvLayout layout;
};

CsvLayout layout(int x, int y, int z, char delimiter, bool blanks = false, bool quiet = false,
                 bool drop = false) {
  CsvLayout l;
  l.dropLinesWithoutReadings = drop;
  l.columns[0] = x;
  l.columns[1] = y;
  l.columns[2] = z;
  l.delimiter = delimiter;
  l.blanks = blanks;
  l.quietHeaders = quiet;
  return l;
}

// Random files cut as each layout says: separators, short and long lines, a trailing separator,
// CRLF line ends and fields that hold separators of other layouts.
class LayoutEquivalenceTest : public ::testing::TestWithParam<NamedLayout> {};

TEST_P(LayoutEquivalenceTest, RandomFiles) {
  const CsvLayout& l = GetParam().layout;
  tiltfit_test::TempDir dir;
  for (unsigned seed = 1; seed <= 150; ++seed) {
    std::mt19937_64 rng(seed);
    auto separator = [&]() -> std::string {
      if (!l.blanks) return std::string(1, l.delimiter);
      std::string run(1 + rng() % 3, ' ');
      for (char& c : run) c = rng() % 2 ? ' ' : '\t';
      return run;
    };
    std::string file;
    const int lines = static_cast<int>(rng() % 50);
    for (int k = 0; k < lines; ++k) {
      if (l.blanks && rng() % 3 == 0) file += separator();
      const int fields = static_cast<int>(rng() % 11);
      for (int f = 0; f < fields; ++f) file += (f ? separator() : "") + randomField(rng);
      if (rng() % 8 == 0) file += separator();
      if (k + 1 < lines || rng() % 2) file += rng() % 5 ? "\n" : "\r\n";
    }
    expectSameReading(dir.file("r.csv", file), "seed " + std::to_string(seed), l);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutEquivalenceTest,
    ::testing::Values(NamedLayout{"comma", layout(1, 2, 3, ',')},
                      NamedLayout{"comma_quiet", layout(1, 2, 3, ',', false, true)},
                      NamedLayout{"tab", layout(1, 2, 3, '\t')},
                      NamedLayout{"semicolon_4_2_3", layout(4, 2, 3, ';')},
                      NamedLayout{"blanks_6_1_3", layout(6, 1, 3, ',', true)},
                      NamedLayout{"comma_2_2_9_quiet", layout(2, 2, 9, ',', false, true)},
                      NamedLayout{"dot_1_3_2", layout(1, 3, 2, '.')},
                      NamedLayout{"minus", layout(2, 3, 1, '-')},
                      NamedLayout{"nul", layout(1, 2, 3, '\0')},
                      NamedLayout{"comma_drop", layout(1, 2, 3, ',', false, true, true)},
                      NamedLayout{"semicolon_4_2_3_drop", layout(4, 2, 3, ';', false, false, true)},
                      NamedLayout{"blanks_6_1_3_drop", layout(6, 1, 3, ',', true, true, true)},
                      NamedLayout{"comma_2_2_9_drop", layout(2, 2, 9, ',', false, true, true)},
                      NamedLayout{"dot_1_3_2_drop", layout(1, 3, 2, '.', false, true, true)}),
    [](const ::testing::TestParamInfo<NamedLayout>& p) { return std::string(p.param.name); });

// Standard input and a memory buffer are read exactly like a file with the same bytes.
std::string sampleRecording() {
  return tiltfit_test::slurp(std::string(TILTFIT_SOURCE_DIR) + "/data/sample_recording.csv");
}

// Both readers with standard input (descriptor 0) taken from the file.
Reading readStandardInput(const std::string& path, bool fast, const CsvLayout& l) {
  const int saved = dup(0);
  const int file = open(path.c_str(), O_RDONLY);
  dup2(file, 0);
  close(file);
  Reading r = read("-", fast, l);
  dup2(saved, 0);
  close(saved);
  return r;
}

// Writes text into the pipe whose write end is fd from a thread of its own, then closes it.
class PipeWriter {
 public:
  PipeWriter(int fd, const std::string& text)
      : thread_([fd, text] {
          for (std::size_t at = 0; at < text.size();) {
            const ssize_t put = write(fd, text.data() + at, text.size() - at);
            if (put <= 0) break;
            at += static_cast<std::size_t>(put);
          }
          close(fd);
        }) {}
  ~PipeWriter() { thread_.join(); }

 private:
  std::thread thread_;
};

// How standard input reaches the fast reader when it is a pipe: copied to a temporary file, or,
// when none can be made or written, held in memory.
enum class PipeCase { kSpilled, kNoTemporaryFolder, kFileSizeLimit };

Reading readPipe(const std::string& text, const CsvLayout& l, PipeCase how) {
  int ends[2];
  if (pipe(ends) != 0) throw std::runtime_error("pipe");
  const int saved = dup(0);
  dup2(ends[0], 0);
  close(ends[0]);
  const char* tmp = std::getenv("TMPDIR");
  const std::string savedTmp = tmp != nullptr ? tmp : "";
  rlimit savedLimit{};
  getrlimit(RLIMIT_FSIZE, &savedLimit);
  if (how == PipeCase::kNoTemporaryFolder) setenv("TMPDIR", "/nonexistent/tiltfit", 1);
  if (how == PipeCase::kFileSizeLimit) {
    // The text goes to memory after the first 100 kB have gone to the file.
    const rlimit small{100000, savedLimit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
  }
  Reading r;
  {
    PipeWriter writer(ends[1], text);
    r = read("-", true, l);
    // What the reader left unread must not block the writer.
    char sink[4096];
    while (::read(0, sink, sizeof sink) > 0) {
    }
  }
  setrlimit(RLIMIT_FSIZE, &savedLimit);
  if (tmp != nullptr) {
    setenv("TMPDIR", savedTmp.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  dup2(saved, 0);
  close(saved);
  return r;
}

// The reader's chunk, against whose boundaries the lines below are placed.
constexpr std::size_t kChunk = std::size_t{1} << 20;

// Appends lines of plain numbers, then one padding line, so that the text ends exactly at byte at
// (its last byte a newline, or the CRLF's newline with crlf).
void fillTo(std::string& text, std::size_t at, std::mt19937_64& rng, bool crlf = false) {
  char line[64];
  std::uniform_real_distribution<double> u(-1.2, 1.2);
  while (at - text.size() > 64) {
    const int n = std::snprintf(line, sizeof line, "%.6f,%.6f,%.6f\n", u(rng), u(rng), u(rng));
    text.append(line, static_cast<std::size_t>(n));
  }
  const std::size_t pad = at - text.size() - (crlf ? 5 : 4);
  text += "1,2," + std::string(pad, '5') + (crlf ? "\r\n" : "\n");
}

// Three chunk boundaries, each with the line around it placed differently, and the text's end at a
// fourth: every case where a chunk starts a line, continues one or ends in one.
std::vector<std::pair<std::string, std::string>> boundaryTexts() {
  std::vector<std::pair<std::string, std::string>> texts;
  const char* const kEnds[] = {"newline", "no newline", "mid-line"};
  for (int place = 0; place < 6; ++place) {
    for (const char* end : kEnds) {
      if (place > 0 && end != kEnds[0]) continue;  // the ends are tried once
      std::mt19937_64 rng(static_cast<unsigned>(place));
      std::string t = "accx,accy,accz\n";
      for (std::size_t b = kChunk; b <= 3 * kChunk; b += kChunk) {
        switch (place) {
          case 0:  // a newline as the chunk's last byte: a line starts the next chunk
            fillTo(t, b, rng);
            break;
          case 1:  // a newline as the chunk's first byte
            fillTo(t, b + 1, rng);
            break;
          case 2:  // CRLF cut between the two chunks
            fillTo(t, b + 1, rng, true);
            break;
          case 3:  // a header line across the boundary
            fillTo(t, b - 5, rng);
            t += "accx,accy,accz\n";
            break;
          case 4:  // a line longer than the bytes read past a chunk's end, across the boundary
            fillTo(t, b - 100, rng);
            t += "0.5," + std::string(20000, '3') + ",0.25\n";
            break;
          case 5:  // a line of one number, ending the chunk with the number cut
            fillTo(t, b - 3, rng);
            t += "12345,6\n";
            break;
        }
      }
      fillTo(t, 4 * kChunk - 10, rng);
      if (std::string(end) == "newline") {
        fillTo(t, 4 * kChunk, rng);
      } else if (std::string(end) == "no newline") {
        t += "1,2,34567";
      } else {
        t += "1,2,345678901";  // the last line goes on past the fourth boundary
      }
      texts.emplace_back("placement " + std::to_string(place) + ", " + end, t);
    }
  }
  return texts;
}

// Each thread count changes which thread, and so which buffer, reads which chunk.
class ChunkBoundaryTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    saved_ = omp_get_max_threads();
    omp_set_num_threads(GetParam());
  }
  void TearDown() override { omp_set_num_threads(saved_); }

 private:
  int saved_ = 1;
};

TEST_P(ChunkBoundaryTest, LinesAtEveryPlaceOfABoundaryReadAsTheReferenceReadsThem) {
  tiltfit_test::TempDir dir;
  for (const auto& [what, text] : boundaryTexts()) {
    const std::string path = dir.file("b.csv", text);
    expectSameReading(path, what);
    expectSameReading(path, what + ", lines left out", dropping());
    expectSameReading(path, what + ", fields 3,1", layout(3, 1, 1, ',', false, true, true));
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, ChunkBoundaryTest, ::testing::Values(1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return "threads_" + std::to_string(p.param);
                         });

TEST(ReaderEquivalenceTest, TooManyRowsAreRefusedBeforeAnyColumnIsTouched) {
  tiltfit_test::TempDir dir;
  const std::string path = dir.file("ten.csv", "a,b,c\n1,2,3\n4,5,6\n7,8,9\n\n\n\n\n\n\n");
  for (const bool drop : {false, true}) {
    CsvLayout l = layout(1, 2, 3, ',', false, true, drop);
    l.maxRows = 10;  // eleven rows: nine newlines and a final newline
    for (const bool fast : {true, false}) {
      ACCTOOLS tools;
      ASSERT_FALSE(fast ? tools.readAccelerometerMeasures(path, l)
                        : tools.readAccelerometerMeasuresReference(path, l));
      EXPECT_EQ(tools.readError(), ACCTOOLS::ReadError::kTooManyRows);
      EXPECT_TRUE(tools.getAccelerometerMeasures()[0].empty());
    }
    l.maxRows = 11;
    expectSameReading(path, drop ? "at the limit, lines left out" : "at the limit", l);
    EXPECT_TRUE(read(path, true, l).ok);
  }
}

TEST(ReaderEquivalenceTest, BufferAndStandardInputReadLikeTheFile) {
  tiltfit_test::TempDir dir;
  std::mt19937_64 rng(3);
  std::string blocks = "accx,accy,accz\r\n";
  while (blocks.size() < (std::size_t{5} << 19)) {
    blocks += randomField(rng) + "," + randomField(rng) + "," + randomField(rng) + "\n";
  }
  const std::string contents[] = {sampleRecording(), "", "\n", "1,2,3", blocks};
  for (const CsvLayout& l :
       {CsvLayout(), layout(3, 1, 2, ',', false, true), layout(3, 1, 2, ',', false, true, true)}) {
    for (const std::string& c : contents) {
      const std::string what = c.substr(0, 40);
      const std::string path = dir.file("b.csv", c);
      const Reading fromFile = read(path, true, l);
      ACCTOOLS tools;
      testing::internal::CaptureStderr();
      Reading fromBuffer;
      fromBuffer.ok = tools.readAccelerometerMeasuresFromBuffer(c.data(), c.size(), l);
      fromBuffer.err = testing::internal::GetCapturedStderr();
      fromBuffer.columns = tools.getAccelerometerMeasures();
      fromBuffer.skipped = tools.skippedFields();
      fromBuffer.firstSkipped = tools.firstSkippedField();
      takeLines(tools, fromBuffer);
      expectSame(fromBuffer, fromFile, what);
      expectSame(readStandardInput(path, true, l), fromFile, what);
      expectSame(readStandardInput(path, false, l), fromFile, what);
      expectSame(readPipe(c, l, PipeCase::kSpilled), fromFile, what + ", pipe");
      expectSame(readPipe(c, l, PipeCase::kNoTemporaryFolder), fromFile, what + ", no folder");
    }
  }
  // Past the file size limit: the part already written is read back into memory. Quiet, so that
  // the captured messages stay under the limit too.
  const CsvLayout quiet = layout(1, 2, 3, ',', false, true, true);
  expectSame(readPipe(blocks, quiet, PipeCase::kFileSizeLimit),
             read(dir.file("b.csv", blocks), false, quiet), "file size limit");
}

TEST(ReaderEquivalenceTest, StandardInputFromAFileIsReadFromWhereItStands) {
  tiltfit_test::TempDir dir;
  const std::string text = sampleRecording();
  const std::size_t offset = text.find('\n', text.size() / 3) + 1;
  const std::string path = dir.file("whole.csv", text);
  const Reading rest = read(dir.file("rest.csv", text.substr(offset)), false);
  const int saved = dup(0);
  const int file = open(path.c_str(), O_RDONLY);
  dup2(file, 0);
  close(file);
  lseek(0, static_cast<off_t>(offset), SEEK_SET);
  const Reading fromHere = read("-", true);
  const off_t after = lseek(0, 0, SEEK_CUR);
  dup2(saved, 0);
  close(saved);
  expectSame(fromHere, rest, "from a third of the file");
  EXPECT_EQ(after, static_cast<off_t>(text.size()));  // read to the end, as read() leaves it
}

TEST(ReaderEquivalenceTest, NamedPipeReadsLikeTheFile) {
  tiltfit_test::TempDir dir;
  const std::string text = sampleRecording();
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Reading fromFifo;
  {
    std::thread writer([&] {
      const int fd = open(fifo.c_str(), O_WRONLY);
      const PipeWriter writing(fd, text);
    });
    fromFifo = read(fifo, true, dropping());
    writer.join();
  }
  expectSame(fromFifo, read(dir.file("f.csv", text), false, dropping()), "named pipe");
}

const std::vector<std::string> kParams = {"5", "50", "5e-4", "1000", "2e-3"};

std::string shellQuote(const std::string& s) { return "'" + s + "'"; }

TEST(ReaderEquivalenceTest, StandardInputRedirectedOrPipedReadsLikeTheFile) {
  const std::string exe = TILTFIT_EXE;
  const std::string path = std::string(TILTFIT_SOURCE_DIR) + "/data/sample_recording.csv";
  std::vector<std::string> args = kParams;
  args.insert(args.begin(), path);
  const tiltfit_test::Outcome fromFile = tiltfit_test::run(exe, args);
  ASSERT_EQ(fromFile.status, 0);
  std::string params;
  for (const std::string& p : kParams) params += " " + p;
  for (const std::string& command :
       {shellQuote(exe) + " -" + params + " < " + shellQuote(path),
        "cat " + shellQuote(path) + " | " + shellQuote(exe) + " -" + params}) {
    const tiltfit_test::Outcome fromStdin = tiltfit_test::run("/bin/sh", {"-c", command});
    EXPECT_EQ(fromStdin.status, fromFile.status) << command;
    EXPECT_EQ(tiltfit_test::maskTime(fromStdin.out), tiltfit_test::maskTime(fromFile.out))
        << command;
    EXPECT_EQ(fromStdin.err, fromFile.err) << command;
  }
}

}  // namespace
