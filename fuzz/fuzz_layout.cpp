// libFuzzer target: a recording's first bytes as the readers see them before any number is kept:
// the text-kind check, the line splitter and assembler, the field cutter under the number rule,
// and the layout sniffer with the column-name reader.
//
// Input layout: a separator byte, a byte choosing the three fields to cut, a byte seeding the
// pieces the bytes are fed in, then the text.
//
// Invariants, each from a direct computation rather than the code under test: the lines are the
// text split at '\n' (a CR before it off for the splitter, kept for the assembler); the fields are
// the line split at each delimiter byte, or at runs of blanks; a cut field's number is what
// std::stod reads from it, bit for bit; a whole number is one std::stod reads to the end but for
// blanks; printable ASCII is text; the sniffed columns are distinct fields of the lines it saw,
// none a growing one.
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "layoutSniff.h"
#include "lineLayer.h"
#include "textKind.h"

namespace {

using tiltfit::io::Separator;
const char* const kTarget = "fuzz_layout";

void check(bool ok, const std::string& what) {
  if (!ok) fuzzing::fail(kTarget, what);
}

// The fields of a line, split by hand.
std::vector<std::string> fieldsByHand(const std::string& line, const Separator& sep) {
  std::vector<std::string> out;
  if (sep.blanks) {
    std::string field;
    for (const char c : line) {
      if (c == ' ' || c == '\t') {
        if (!field.empty()) out.push_back(field);
        field.clear();
      } else {
        field += c;
      }
    }
    if (!field.empty()) out.push_back(field);
    return out;
  }
  std::string field;
  for (const char c : line) {
    if (c == sep.delimiter) {
      out.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  out.push_back(field);
  return out;
}

// std::stod's reading of a field, as the standard defines it (strtod: no number where nothing is
// read, a range error where errno says ERANGE), without the cost of its exceptions: whether it
// reads a number, the number, and where it stops.
bool stodOf(const std::string& field, double& value, std::size_t& end) {
  const char* start = field.c_str();
  char* stop = nullptr;
  errno = 0;
  value = std::strtod(start, &stop);
  end = static_cast<std::size_t>(stop - start);
  return stop != start && errno != ERANGE;
}

Separator separatorOf(std::uint8_t selector, std::uint8_t raw) {
  switch (selector % 8) {
    case 0: return Separator{',', false};
    case 1: return Separator{';', false};
    case 2: return Separator{'\t', false};
    case 3: return Separator{' ', true};
    case 4: return Separator{'|', false};
    case 5: return Separator{':', false};
    default: {
      // Any byte but a line end, as a delimiter the cutter takes even where the command line
      // would refuse it (a digit, a point, a sign).
      const char c = static_cast<char>(raw);
      return Separator{c == '\n' || c == '\r' ? ',' : c, false};
    }
  }
}

void checkTextKind(const char* text, std::size_t n) {
  static const std::set<std::string> kKinds = {"",           "gzip data",  "zip data",
                                               "xz data",    "bzip2 data", "zstd data",
                                               "UTF-16 text", "binary data"};
  const std::string kind = tiltfit::io::binaryKind(text, n);
  check(kKinds.count(kind) == 1, "binaryKind gave an unknown kind: " + kind);
  if (n == 0) check(kind.empty(), "no bytes judged as not text");
  if (tiltfit::io::isGzip(text, n)) check(kind == "gzip data", "gzip magic not called gzip data");
  bool printable = true;
  for (std::size_t i = 0; i < n && printable; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    printable = (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r';
  }
  const bool bzipMagic = n >= 4 && std::memcmp(text, "BZh", 3) == 0 && text[3] >= '1' && text[3] <= '9';
  if (printable && !bzipMagic) check(kind.empty(), "printable ASCII judged " + kind);
  if (!kind.empty()) {
    check(!tiltfit::io::notTextLine("rec.csv", kind).empty(), "no line for a kind of data");
  }
}

// The lines of the text by hand: at each '\n'; a last line without one only when not empty.
std::vector<std::string> linesByHand(const char* text, std::size_t n, bool dropCr) {
  std::vector<std::string> out;
  std::string line;
  for (std::size_t i = 0; i < n; ++i) {
    if (text[i] == '\n') {
      if (dropCr && !line.empty() && line.back() == '\r') line.pop_back();
      out.push_back(line);
      line.clear();
    } else {
      line += text[i];
    }
  }
  if (!line.empty()) {
    if (dropCr && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

void checkCut(const std::string& line, const Separator& sep, const std::array<int, 3>& fields) {
  const std::vector<std::string> byHand = fieldsByHand(line, sep);
  check(tiltfit::io::splitFields(line, sep) == byHand, "splitFields differs from a split by hand");
  check(tiltfit::io::countFields(line.data(), line.data() + line.size(), sep) == byHand.size(),
        "countFields differs from the fields split");
  const tiltfit::io::LineCutter cutter(sep, std::vector<int>(fields.begin(), fields.end()));
  double values[3] = {-7.0, -7.0, -7.0};
  const unsigned got = cutter.cut(line.data(), line.data() + line.size(), values);
  check((got & ~cutter.all()) == 0, "a column beyond those asked for");
  for (std::size_t j = 0; j < 3; ++j) {
    const std::size_t f = static_cast<std::size_t>(fields[j] - 1);
    double expected = 0.0;
    std::size_t end = 0;
    const bool number = f < byHand.size() && stodOf(byHand[f], expected, end);
    check(((got >> j) & 1U) == (number ? 1U : 0U), "a field read as a number where stod reads none, "
                                                    "or the reverse: \"" + line + "\"");
    if (number) {
      check(fuzzing::sameValue(values[j], expected), "a field's number is not stod's: \"" + line + "\"");
    } else {
      check(fuzzing::sameBits(values[j], -7.0), "a column without a number was written");
    }
  }
  for (const std::string& field : byHand) {
    double v = 0.0;
    double expected = 0.0;
    std::size_t end = 0;
    bool whole = stodOf(field, expected, end) && std::isfinite(expected);
    for (std::size_t k = end; whole && k < field.size(); ++k) {
      whole = field[k] == ' ' || field[k] == '\t' || field[k] == '\r';
    }
    check(tiltfit::io::wholeNumber(field, v) == whole, "wholeNumber differs from stod: \"" + field + "\"");
    if (whole) check(fuzzing::sameBits(v, expected), "wholeNumber's value is not stod's");
  }
}

// The sniffer judges the delimiter itself, or takes the one given (withHint).
void checkSniff(const std::vector<std::string>& lines, const Separator& sep, bool withHint) {
  static const std::set<std::string> kUnits = {"", "g", "m/s^2", "mg", "counts"};
  tiltfit::Layout given;
  given.delimiter = sep.delimiter;
  given.blanks = sep.blanks;
  const tiltfit::Layout* hint = withHint ? &given : nullptr;
  {
    const tiltfit::analysis::LayoutGuess g = tiltfit::analysis::sniffLayout(lines, hint);
    if (!g.ok) return;
    const std::array<int, 3>& c = g.layout.columns;
    check(c[0] != c[1] && c[0] != c[2] && c[1] != c[2], "sniffed columns are not distinct");
    for (const int col : c) {
      check(col >= 1 && col <= g.fields, "a sniffed column beyond the fields of the lines");
      for (const int grows : g.growingColumns)
        check(col != grows, "a growing column taken as an axis");
    }
    for (const int grows : g.growingColumns)
      check(grows >= 1 && grows <= g.fields, "a growing column beyond the fields");
    check(g.fields >= 3, "a layout of fewer than three fields");
    check(kUnits.count(g.units) == 1, "unknown units from the names: " + g.units);
    if (hint != nullptr) {
      check(g.layout.blanks == hint->blanks && (hint->blanks || g.layout.delimiter == hint->delimiter),
            "the sniffer did not keep the delimiter given");
    } else {
      check(g.layout.blanks || g.layout.delimiter == ',' || g.layout.delimiter == ';' ||
                g.layout.delimiter == '\t',
            "a sniffed delimiter outside , ; tab and blanks");
    }
    tiltfit::analysis::layoutProblems(lines, g.layout);
    const std::string argument = tiltfit::analysis::delimiterArgument(g.layout);
    check(!argument.empty(), "no --delimiter argument for a sniffed layout");
  }
}

void checkNames(const std::vector<std::string>& lines, const Separator& sep) {
  static const std::set<std::string> kUnits = {"", "g", "m/s^2", "mg", "counts"};
  if (!lines.empty()) {
    for (const std::string& field : tiltfit::io::splitFields(lines.front(), sep)) {
      const tiltfit::analysis::ColumnName name = tiltfit::analysis::parseColumnName(field);
      check(name.axis >= -1 && name.axis <= 2, "a column name's axis out of range");
      check(!name.accelerometer || name.axis >= 0, "an accelerometer column without an axis");
      check(name.tier >= 0 && name.tier <= 2, "a column name's tier out of range");
      check(kUnits.count(name.units) == 1, "unknown units in a name: " + name.units);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::Bytes in(data, size);
  const std::uint8_t separatorByte = in.byte();
  const std::uint8_t fieldByte = in.byte();
  const std::uint8_t pieceSeed = in.byte();
  const Separator sep = separatorOf(separatorByte, fieldByte);
  const std::array<int, 3> fields = {1 + (fieldByte & 3), 1 + ((fieldByte >> 2) & 3),
                                     1 + ((fieldByte >> 4) & 7)};
  const char* text = in.rest();
  const std::size_t n = in.restSize();

  checkTextKind(text, n);

  // The splitter, whole and with a cap on the lines.
  constexpr std::size_t kMaxLines = 400;
  constexpr std::size_t kSniffed = 16;
  const std::vector<std::string> lines = tiltfit::io::splitLines(text, n, kMaxLines);
  std::vector<std::string> expected = linesByHand(text, n, true);
  if (expected.size() > kMaxLines) expected.resize(kMaxLines);
  check(lines == expected, "splitLines differs from a split by hand");

  // The assembler, fed the bytes in pieces.
  tiltfit::io::LineAssembler assembler;
  std::vector<std::string> assembled;
  const auto keep = [&](const char* b, const char* e) { assembled.emplace_back(b, e); };
  fuzzing::Pieces pieces(pieceSeed);
  for (std::size_t at = 0; at < n;) {
    const std::size_t piece = std::min(n - at, pieces.next(pieceSeed % 64 + 1));
    assembler.feed(text + at, piece, keep);
    at += piece;
  }
  assembler.finish(keep);
  check(assembled == linesByHand(text, n, false), "the assembled lines are not the text's lines");

  for (std::size_t k = 0; k < assembled.size() && k < 32; ++k) checkCut(assembled[k], sep, fields);

  // Named separators read back to themselves.
  const std::string name(text, std::min<std::size_t>(n, 5));
  Separator named;
  if (tiltfit::io::separatorFromName(name, named).empty()) {
    Separator again;
    check(tiltfit::io::separatorFromName(tiltfit::io::separatorName(named), again).empty() &&
              again.delimiter == named.delimiter && again.blanks == named.blanks,
          "a separator's name does not read back to it");
  }

  // The sniffer reads the first lines of a recording; a few dozen decide its choices (more cost
  // the fuzzer executions and reach nothing new).
  const std::vector<std::string> first(lines.begin(),
                                       lines.begin() + static_cast<std::ptrdiff_t>(
                                                           std::min<std::size_t>(lines.size(), kSniffed)));
  checkNames(first, sep);
  checkSniff(first, sep, (pieceSeed & 0x80) != 0);
  return 0;
}
