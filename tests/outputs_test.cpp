// The outputs beside the report: the SVG plot of a run and applying a saved calibration to a
// recording.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "plotSvg.h"
#include "recording_generator.h"
#include "tiltfit/report.hpp"
#include "tiltfit/tiltfit.hpp"

namespace {

// A calibration and the layout it applies to, as a saved calibration file gives them.
struct CalibrationFile {
  double gain[9];  // row form, gain[3 * i + j] = gain_matrix[i][j]
  double offset[3];
  int columns[3];
  char delimiter;
  bool blanks;

  tiltfit::Calibration calibration() const {
    tiltfit::Calibration c;
    for (std::size_t i = 0; i < 3; ++i) {
      c.offset[i] = offset[i];
      for (std::size_t j = 0; j < 3; ++j) c.gainMatrix[i][j] = gain[3 * i + j];
    }
    return c;
  }
  tiltfit::Layout layout() const {
    return tiltfit::Layout{{columns[0], columns[1], columns[2]}, delimiter, blanks};
  }
};

int applyStream(const CalibrationFile& c, std::FILE* in, std::FILE* out) {
  return tiltfit::applyCalibrationToText(c.calibration(), c.layout(), in, out);
}

// Reads a document as --apply does; false and why when it is no calibration.
bool parseCalibrationFile(const std::string& text, CalibrationFile& out, std::string& why) {
  try {
    const tiltfit::SavedCalibration saved = tiltfit::readCalibrationDocument(text);
    for (std::size_t i = 0; i < 3; ++i) {
      out.offset[i] = saved.calibration.offset[i];
      out.columns[i] = saved.layout.columns[i];
      for (std::size_t j = 0; j < 3; ++j) out.gain[3 * i + j] = saved.calibration.gainMatrix[i][j];
    }
    out.delimiter = saved.layout.delimiter;
    out.blanks = saved.layout.blanks;
    return true;
  } catch (const tiltfit::Error& e) {
    why = e.what();
    return false;
  }
}
using tiltfit::report::PlotInput;
using tiltfit_test::slurp;
using tiltfit_test::TempDir;

// What write(FILE*) writes.
template <class Write>
std::string captured(Write write) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* f = open_memstream(&data, &size);
  write(f);
  std::fclose(f);
  std::string s(data, size);
  std::free(data);
  return s;
}

std::size_t count(const std::string& s, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

// ---------------------------------------------------------------------------------------------
// Plot

// A generated six-orientation recording, its rests as the windows.
struct PlotCase {
  explicit PlotCase(int rest) {
    tiltfit_gen::Options o;
    o.restSamples = rest;
    o.transitionSamples = rest / 6;
    r = tiltfit_gen::generate(o);
    input = PlotInput{{r.x.data(), r.y.data(), r.z.data()},
                      r.x.size(),
                      0.05,
                      {},
                      false,
                      "run <1> & \"2\"",
                      {},
                      nullptr,
                      false,
                      {}};
    for (const tiltfit_gen::Rest& w : r.rests) {
      const auto first = static_cast<std::uint64_t>(w.first + 10);
      input.windows[2 * w.axis + (w.level > 0)] = {w.axis, w.level, true, first, first + 200};
    }
  }
  tiltfit_gen::Recording r;
  PlotInput input;
};

std::string plot(const PlotInput& in) {
  return captured([&](std::FILE* f) { EXPECT_TRUE(tiltfit::report::writePlotSvg(f, in)); });
}

// Renders the document to PNG; returns the PNG's size, 0 when rsvg-convert failed.
std::size_t render(const std::string& svg) {
  TempDir dir;
  const std::string png = dir.path() + "/plot.png";
  const std::string cmd =
      "rsvg-convert -o '" + png + "' '" + dir.file("plot.svg", svg) + "' 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) return 0;
  const std::string bytes = slurp(png);
  return bytes.compare(0, 4, "\x89PNG") == 0 ? bytes.size() : 0;
}

bool haveRsvg() { return std::system("command -v rsvg-convert > /dev/null 2>&1") == 0; }

TEST(OutputsPlot, DrawsTracesBandsWindowsAndLegend) {
  const PlotCase p(2000);
  const std::string svg = plot(p.input);
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
  for (const char* label :
       {">x at -1 g<", ">x at +1 g<", ">y at -1 g<", ">y at +1 g<", ">z at -1 g<", ">z at +1 g<",
        ">row<", ">smoothed reading (g)<", ">x (smoothed)<", ">y (smoothed)<", ">z (smoothed)<",
        ">+1 g<", ">-1 g<"}) {
    EXPECT_EQ(count(svg, label), 1u) << label;
  }
  for (const char* trace : {"id=\"trace-x\"", "id=\"trace-y\"", "id=\"trace-z\""}) {
    EXPECT_EQ(count(svg, trace), 1u) << trace;
  }
  EXPECT_NE(svg.find(">run &lt;1&gt; &amp; &quot;2&quot;<"), std::string::npos);
  EXPECT_EQ(svg.find("not found"), std::string::npos);
  EXPECT_EQ(svg, plot(p.input)) << "the same input must give the same bytes";
}

// With samples from every other line (line 2i + 2 for sample i), the axis is ticked with round
// line numbers where those lines' samples lie; without a line map, with sample numbers.
TEST(OutputsPlot, TheRowAxisIsTickedWithLinesOfTheFile) {
  PlotCase p(2000);  // 14,300 samples: ticks every 2000 samples, or every 5000 of 28,600 lines
  const std::string bySample = plot(p.input);
  EXPECT_NE(bySample.find(">14000<"), std::string::npos);
  EXPECT_EQ(bySample.find(">25000<"), std::string::npos);
  p.input.lineOf = [](std::size_t i) { return 2 * i + 2; };
  const std::string byLine = plot(p.input);
  EXPECT_NE(byLine.find(">25000<"), std::string::npos);
  EXPECT_EQ(byLine.find(">14000<"), std::string::npos);
  // Line 20,000 is sample 10,000's, where the sample axis puts its tick 10000.
  const auto tickX = [](const std::string& svg, const std::string& label) {
    const std::size_t at = svg.find(">" + label + "<");
    const std::size_t x = svg.rfind("<text x=\"", at);
    return svg.substr(x + 9, svg.find('"', x + 9) - x - 9);
  };
  EXPECT_EQ(tickX(byLine, "20000"), tickX(bySample, "10000"));
}

TEST(OutputsPlot, FailureNamesTheOrientationsNotFound) {
  PlotCase p(2000);
  p.input.failed = true;
  p.input.windows[3].found = false;
  p.input.windows[4].found = false;
  const std::string svg = plot(p.input);
  EXPECT_NE(svg.find(">not found: y at +1 g, z at -1 g<"), std::string::npos);
  EXPECT_EQ(count(svg, ">y at +1 g<") + count(svg, ">z at -1 g<"), 0u);
  EXPECT_EQ(count(svg, ">x at -1 g<"), 1u);
}

TEST(OutputsPlot, RendersWithRsvgConvert) {
  if (!haveRsvg()) GTEST_SKIP() << "rsvg-convert is not installed";
  PlotCase p(3000);
  EXPECT_GT(render(plot(p.input)), 1000u);
  p.input.failed = true;
  p.input.windows[5].found = false;
  EXPECT_GT(render(plot(p.input)), 1000u);
}

// 10^6 samples: each trace keeps two points per pixel column at most, the file stays small.
TEST(OutputsPlot, LongRecordingIsDecimatedPerPixelColumn) {
  const PlotCase p(160000);
  ASSERT_GE(p.input.n, 1000000u);
  const std::string svg = plot(p.input);
  EXPECT_LT(svg.size(), 2u * 1024 * 1024);
  const std::size_t at = svg.find(" d=\"", svg.find("id=\"trace-x\"")) + 4;
  const std::string path = svg.substr(at, svg.find('"', at) - at);
  EXPECT_GE(count(path, ","), 1600u);  // one point per column at least, two at most
  EXPECT_LE(count(path, ","), 2u * 1600);
  EXPECT_EQ(count(path, "M"), 1u);
}

// A sample finds its pixel column from the column's first sample, without a division: the first
// samples must be exactly where floor(i * 1600 / n) steps, for lengths beyond 32 bits too.
TEST(OutputsPlot, PixelColumnsStartWhereTheirFirstSampleFalls) {
  using tiltfit::report::PlotColumns;
  for (const std::size_t n : {std::size_t{1599}, std::size_t{1601}, std::size_t{4801},
                              std::size_t{10000019}, std::size_t{5000000000}}) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const PlotColumns columns(n);
    const std::size_t count = std::min(n, PlotColumns::kColumns);
    for (std::size_t c = 1; c < count; ++c) {
      const std::size_t first = columns.firstOf(c);
      ASSERT_EQ(columns.columnOf(first), c);
      if (n <= PlotColumns::kColumns) {
        ASSERT_EQ(first, c);  // a column a sample
        continue;
      }
      // floor(first * 1600 / n) = c and floor((first - 1) * 1600 / n) = c - 1, by wide integers.
      const auto wide = [&](std::size_t i) {
        return static_cast<std::size_t>(static_cast<unsigned __int128>(i) * PlotColumns::kColumns /
                                        n);
      };
      ASSERT_EQ(wide(first), c);
      ASSERT_EQ(wide(first - 1), c - 1);
    }
  }
}

// Samples in counts gathered into columns and then converted to g give the columns of the
// converted samples, for a sensor whose counts fall as g rises as well.
TEST(OutputsPlot, ConvertingTheColumnsEqualsConvertingTheSamples) {
  using tiltfit::report::PlotColumns;
  std::mt19937_64 rng(5);
  std::normal_distribution<double> noise(0.0, 40.0);
  const std::size_t n = 20000;
  for (const double perG : {4096.0, -4096.0}) {
    SCOPED_TRACE("perG = " + std::to_string(perG));
    const double zero = 32768.0;
    PlotColumns counts(n), g(n);
    for (int axis = 0; axis < 3; ++axis) {
      for (std::size_t i = 0; i < n; ++i) {
        const double v =
            std::round(zero + perG * std::sin(1e-3 * static_cast<double>(i) + axis) + noise(rng));
        counts.add(axis, i, v);
        g.add(axis, i, (v - zero) / perG);
      }
    }
    counts.rescale(zero, perG);
    for (int axis = 0; axis < 3; ++axis) {
      for (std::size_t c = 0; c < PlotColumns::kColumns; ++c) {
        const PlotColumns::Column& a = counts.column(axis, c);
        const PlotColumns::Column& b = g.column(axis, c);
        ASSERT_TRUE(a.any && b.any);
        ASSERT_EQ(a.min, b.min) << c;
        ASSERT_EQ(a.max, b.max) << c;
        ASSERT_EQ(a.minFirst, b.minFirst) << c;
      }
    }
  }
}

// No division by zero and nothing XML cannot hold, whatever the samples and the title.
TEST(OutputsPlot, DegenerateInputsGiveValidDocuments) {
  const double nan = std::nan(""), inf = HUGE_VAL;
  const std::vector<std::vector<double>> columns = {{},
                                                    {0.5},
                                                    std::vector<double>(5000, 0.25),
                                                    {nan, 1.0, inf, -inf, nan, -1.0},
                                                    std::vector<double>(3000, nan),
                                                    {-1e308, 1e308, 0.0}};
  for (const std::vector<double>& v : columns) {
    SCOPED_TRACE("n = " + std::to_string(v.size()));
    PlotInput in{};
    for (int a = 0; a < 3; ++a) in.axes[a] = v.data();
    in.n = v.size();
    in.band = v.size() == 1 ? nan : 0.05;
    in.windows[0] = {0, -1, true, 0, 1000000};  // beyond the rows: clipped
    in.failed = true;
    in.title = std::string("bytes \x01\xff\xc3(") + "\xe2\x82\xac";  // control, bad UTF-8, euro
    const std::string svg = plot(in);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
    EXPECT_NE(svg.find("bytes ??\?(\xe2\x82\xac"), std::string::npos);
    if (haveRsvg()) {
      EXPECT_GT(render(svg), 0u);
    }
  }
}

TEST(OutputsPlot, WriteFailureIsReported) {
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  const PlotCase p(500);
  errno = 0;
  EXPECT_FALSE(tiltfit::report::writePlotSvg(full, p.input));
  EXPECT_EQ(errno, ENOSPC);
  std::fclose(full);
}

// ---------------------------------------------------------------------------------------------
// Apply

const CalibrationFile kCalibration = {
    {1.012, 0.004, -0.006, 0.003, 0.991, 0.008, -0.005, 0.002, 1.006},
    {0.021, -0.014, 0.032},
    {1, 2, 3},
    ',',
    false};

double calibrated(const CalibrationFile& c, const double raw[3], int j) {
  const double* g = c.gain;
  return ((raw[0] * g[j] + raw[1] * g[3 + j]) + raw[2] * g[6 + j]) + c.offset[j];
}

std::string shortest(double v) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

std::string applyText(const CalibrationFile& c, const std::string& input) {
  TempDir dir;
  std::FILE* in = std::fopen(dir.file("in.csv", input).c_str(), "rb");
  const std::string out = captured([&](std::FILE* f) {
    EXPECT_EQ(tiltfit::applyCalibrationToText(c.calibration(), c.layout(), in, f), 0);
  });
  std::fclose(in);
  return out;
}

TEST(OutputsApply, OnlyTheThreeNumbersChange) {
  CalibrationFile c = kCalibration;
  c.columns[0] = 3;  // x, y, z in fields 3, 2, 4 after a time column
  c.columns[1] = 2;
  c.columns[2] = 4;
  const std::string input =
      "time,accy,accx,accz,note\r\n"
      "0.01,0.5,-0.25,1.0,abc\r\n"
      "###garbage\n"
      "\n"
      "\r\n"
      "0.02,1,2\n"
      "0.03,0.5,x,1\n"
      "0.04,inf,1,1\n"
      "0.05,0x10,1,1\n"
      "0.06,\t+0.125 ,-1e-3,  7\n"
      "0.07,1e5,-0.999,0.5,,,\r\n"
      "0.08,2,-1,0";
  // Rows as (x, y, z) in the order they stand, the fields around them, and the expected text.
  // A hexadecimal field reads as the recording's reader reads it (0x10 is 16); infinity and NaN
  // calibrate nothing, and the line stays as it is.
  const double rows[5][3] = {
      {-0.25, 0.5, 1.0}, {-1e-3, 0.125, 7}, {-0.999, 1e5, 0.5}, {-1, 2, 0}, {1, 16, 1}};
  auto line = [&](int r, const std::string& before, const std::string& mid1,
                  const std::string& mid2, const std::string& after) {
    return before + shortest(calibrated(c, rows[r], 1)) + mid1 +
           shortest(calibrated(c, rows[r], 0)) + mid2 + shortest(calibrated(c, rows[r], 2)) + after;
  };
  const std::string expected =
      "time,accy,accx,accz,note\r\n" + line(0, "0.01,", ",", ",", ",abc\r\n") +
      "###garbage\n\n\r\n0.02,1,2\n0.03,0.5,x,1\n0.04,inf,1,1\n" +
      line(4, "0.05,", ",", ",", "\n") + line(1, "0.06,\t", " ,", ",  ", "\n") +
      line(2, "0.07,", ",", ",", ",,,\r\n") + line(3, "0.08,", ",", ",", "");
  const std::string output = applyText(c, input);
  EXPECT_EQ(output, expected);

  // The numbers read back to the calibrated doubles bit for bit.
  std::size_t at = output.find("0.01,") + 5;
  for (int j : {1, 0, 2}) {
    char* end = nullptr;
    const double v = std::strtod(output.c_str() + at, &end);
    const double want = calibrated(c, rows[0], j);
    EXPECT_EQ(std::memcmp(&v, &want, sizeof v), 0) << v << " " << want;
    at = static_cast<std::size_t>(end - output.c_str()) + 1;
  }
}

TEST(OutputsApply, BlankSeparatedFieldsKeepTheirBlanks) {
  CalibrationFile c = kCalibration;
  c.blanks = true;
  const double raw[3] = {0.5, -1, 2.25};
  std::string want = "  ";
  for (int j = 0; j < 3; ++j) want += shortest(calibrated(c, raw, j)) + (j < 2 ? "\t \t" : " \n");
  EXPECT_EQ(applyText(c, "  0.5\t \t-1\t \t2.25 \nx y\n"), want + "x y\n");
}

// Identity: every number printed reads back to the number read, whatever its digits.
TEST(OutputsApply, IdentityReadsBackToTheInput) {
  const CalibrationFile identity = {{1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0}, {1, 2, 3}, ',', false};
  const unsigned seed = 20260;
  std::mt19937_64 random(seed);
  std::vector<double> values;
  std::string input;
  char text[40];
  for (int k = 0; k < 30000; ++k) {
    const double v = std::ldexp(std::uniform_real_distribution<double>(0.5, 1.0)(random),
                                static_cast<int>(random() % 200) - 100) *
                     (random() % 2 ? 1 : -1);
    values.push_back(v);
    const char* formats[4] = {"%.17g", "%.6f", "%.3f", "%.12g"};  // long, plain, short, mixed
    std::snprintf(text, sizeof text, formats[k % 4], v);
    input += text;
    input += k % 3 == 2 ? "\n" : ",";
    values.back() = std::strtod(text, nullptr);
  }
  const std::string output = applyText(identity, input);
  const char* p = output.c_str();
  for (std::size_t k = 0; k < values.size(); ++k) {
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    // -0 comes back as +0: the zero terms of the sum add a +0.
    const bool same = std::memcmp(&v, &values[k], sizeof v) == 0 || (v == 0 && values[k] == 0);
    ASSERT_TRUE(same) << "value " << k << ": " << v << " != " << values[k] << " (seed " << seed
                      << ")";
    p = end + 1;
  }
}

// Several MB with the expected text built line by line: blocks and parts end inside lines and
// numbers, and lines longer than 1 MiB go through unchanged.
struct LongCase {
  std::string input, expected;
};

const LongCase& longCase() {
  static const LongCase c = [] {
    tiltfit_gen::Options o;
    o.restSamples = 20000;
    o.transitionSamples = 3000;
    const tiltfit_gen::Recording r = tiltfit_gen::generate(o);
    LongCase k{captured([&](std::FILE* f) { tiltfit_gen::writeCsv(f, r); }), ""};
    // Longer than 1 MiB, and longer than the whole buffer (1 MiB + 1 MiB per thread).
    k.input += "1,2,3," + std::string(1536 * 1024, '9') + "\n";
    k.input += "1,2,3," + std::string(4608 * 1024, '9') + "\n1,2,3";
    for (std::size_t at = 0; at < k.input.size();) {
      const std::size_t nl = std::min(k.input.find('\n', at), k.input.size());
      std::string line = k.input.substr(at, nl - at);
      if (at == 0 || line.size() > 1000) {
        k.expected += line;
      } else {
        double raw[3];
        char* p = &line[0];
        for (int i = 0; i < 3; ++i) raw[i] = std::strtod(i == 0 ? p : p + 1, &p);
        for (int j = 0; j < 3; ++j) {
          k.expected += (j > 0 ? "," : "") + shortest(calibrated(kCalibration, raw, j));
        }
      }
      if (nl < k.input.size()) k.expected += '\n';
      at = nl + 1;
    }
    return k;
  }();
  return c;
}

class OutputsApplyThreads : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    saved_ = omp_get_max_threads();
    omp_set_num_threads(GetParam());
  }
  void TearDown() override { omp_set_num_threads(saved_); }
  int saved_ = 1;
};

TEST_P(OutputsApplyThreads, FileAndPipeGiveTheExpectedText) {
  const LongCase& k = longCase();
  ASSERT_GT(k.expected.size(), 4u << 20);
  const std::string output = applyText(kCalibration, k.input);
  const auto diff =
      std::mismatch(output.begin(), output.end(), k.expected.begin(), k.expected.end());
  EXPECT_TRUE(output == k.expected) << "first difference at byte " << (diff.first - output.begin());

  TempDir dir;
  std::FILE* pipe = popen(("cat '" + dir.file("in.csv", k.input) + "'").c_str(), "r");
  const std::string piped =
      captured([&](std::FILE* f) { EXPECT_EQ(applyStream(kCalibration, pipe, f), 0); });
  pclose(pipe);
  EXPECT_TRUE(piped == k.expected);
}

INSTANTIATE_TEST_SUITE_P(Threads, OutputsApplyThreads, testing::Values(1, 2, 3),
                         [](const testing::TestParamInfo<int>& i) {
                           return "Threads" + std::to_string(i.param);
                         });

TEST(OutputsApply, WriteFailureIsReported) {
  TempDir dir;
  std::FILE* in = std::fopen(dir.file("in.csv", "1,2,3\n").c_str(), "rb");
  std::FILE* full = std::fopen("/dev/full", "w");
  EXPECT_EQ(applyStream(kCalibration, in, full), ENOSPC);
  std::fclose(full);
  std::fclose(in);
}

// ---------------------------------------------------------------------------------------------
// Calibration file

TEST(OutputsCalibrationFile, ReadsTheDocumentOfJsonOutput) {
  const std::string doc = R"({ "success": true,
    "calibration": { "offset": [0.5, -0.25, 2], "gain_matrix": [[1, 2, 3], [4, 5, 6], [7, 8, 9e-3]],
                     "column_form": {"matrix": [[1]]}, "units": "g", "method": "refined" },
    "input": { "path": "a.csv", "rows": 11101, "units": "g", "columns": [2, 4, 3], "delimiter": ";" },
    "quality": {"residual_mg": 1.5} })";
  CalibrationFile c{};
  std::string why;
  ASSERT_TRUE(parseCalibrationFile(doc, c, why)) << why;
  const CalibrationFile want = {
      {1, 2, 3, 4, 5, 6, 7, 8, 9e-3}, {0.5, -0.25, 2}, {2, 4, 3}, ';', false};
  EXPECT_EQ(std::memcmp(&c, &want, offsetof(CalibrationFile, delimiter)), 0);
  EXPECT_EQ(c.delimiter, ';');
  EXPECT_FALSE(c.blanks);

  const std::string minimal = R"({"success": true, "calibration": {"offset": [0, 0, 0],
    "gain_matrix": [[1, 0, 0], [0, 1, 0], [0, 0, 1]]}, "input": {"delimiter": "space"}})";
  ASSERT_TRUE(parseCalibrationFile(minimal, c, why)) << why;
  EXPECT_TRUE(c.blanks);
  EXPECT_EQ(c.columns[0] * 100 + c.columns[1] * 10 + c.columns[2], 123);
}

TEST(OutputsCalibrationFile, RefusesWhatIsNoCalibration) {
  const std::string identity = "[[1, 0, 0], [0, 1, 0], [0, 0, 1]]";
  auto doc = [&](const std::string& success, const std::string& offset, const std::string& gain,
                 const std::string& input) {
    return "{" + success + R"("calibration": {"offset": )" + offset + R"(, "gain_matrix": )" +
           gain + "}" + input + "}";
  };
  const std::string ok = R"("success": true, )";
  const char* columns = "input.columns must be 3 different whole numbers from 1 up";
  const char* matrix = "calibration.gain_matrix must be 3 rows of 3 numbers";
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"", "not JSON: "},
      {"[1, 2, 3]", "must be a JSON object"},
      {R"({"success": true})", "calibration must be an object"},
      {doc("", "[0, 0, 0]", identity, ""), "success is missing"},
      {doc(R"("success": false, )", "[0, 0, 0]", identity, ""), "success is false"},
      {doc(R"("success": "yes", )", "[0, 0, 0]", identity, ""), "success must be true or false"},
      {doc(ok, "[0, 0, 0]", "[[1, 0, 0], [0, 1, 0]]", ""), matrix},
      {doc(ok, "[0, 0, 0]", R"([[1, 0, 0], [0, "1", 0], [0, 0, 1]])", ""), matrix},
      {doc(ok, "[0, 0, 0]", "[[1, 0, 0], [0, true, 0], [0, 0, 1]]", ""), matrix},
      {doc(ok, "[0, 0, 1e999]", identity, ""), "number overflow parsing '1e999'"},
      {doc(ok, "[0, 0]", identity, ""), "calibration.offset must be 3 numbers"},
      {doc(ok, "[0, 0, 0]", identity, R"(, "input": {"columns": [1, 1, 2]})"), columns},
      {doc(ok, "[0, 0, 0]", identity, R"(, "input": {"columns": [0, 1, 2]})"), columns},
      {doc(ok, "[0, 0, 0]", identity, R"(, "input": {"columns": [1, 2.5, 3]})"), columns},
      {doc(ok, "[0, 0, 0]", identity, R"(, "input": {"delimiter": ".."})"),
       "input.delimiter must be one character"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.text);
    CalibrationFile c{};
    std::string why;
    EXPECT_FALSE(parseCalibrationFile(k.text, c, why));
    EXPECT_NE(why.find(k.why), std::string::npos) << why;
    EXPECT_EQ(why.find('\n'), std::string::npos) << why;
  }
}

}  // namespace
