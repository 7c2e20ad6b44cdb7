#include "layoutSniff.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

namespace tiltfit {
namespace analysis {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> split(const std::string& line, char delimiter, bool blanks) {
  std::vector<std::string> fields;
  if (blanks) {
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && isBlank(line[i])) ++i;
      if (i >= line.size()) break;
      std::size_t j = i;
      while (j < line.size() && !isBlank(line[j])) ++j;
      fields.push_back(line.substr(i, j - i));
      i = j;
    }
    return fields;
  }
  std::size_t at = 0;
  for (;;) {
    const std::size_t d = line.find(delimiter, at);
    fields.push_back(line.substr(at, d == std::string::npos ? std::string::npos : d - at));
    if (d == std::string::npos) break;
    at = d + 1;
  }
  return fields;
}

// The whole field (blanks around it allowed) is one number.
bool wholeNumber(const std::string& field, double& value) {
  std::size_t b = 0;
  std::size_t e = field.size();
  while (b < e && isBlank(field[b])) ++b;
  while (e > b && (isBlank(field[e - 1]) || field[e - 1] == '\r')) --e;
  if (b == e) return false;
  const std::string s = field.substr(b, e - b);
  char* end = nullptr;
  value = std::strtod(s.c_str(), &end);
  return end == s.c_str() + s.size() && std::isfinite(value);
}

// "12,5" or "-0,25": a number with a decimal comma.
bool decimalCommaField(const std::string& field) {
  std::size_t i = 0;
  while (i < field.size() && isBlank(field[i])) ++i;
  if (i < field.size() && (field[i] == '-' || field[i] == '+')) ++i;
  const std::size_t digits = i;
  while (i < field.size() && field[i] >= '0' && field[i] <= '9') ++i;
  if (i == digits || i >= field.size() || field[i] != ',') return false;
  const std::size_t frac = ++i;
  while (i < field.size() && field[i] >= '0' && field[i] <= '9') ++i;
  return i > frac;
}

struct Table {
  std::vector<std::vector<double>> rows;  // lines whose every field is a number
  int fields = 0;
};

// The numeric lines with the most common field count, when at least three.
Table numericTable(const std::vector<std::string>& lines, char delimiter, bool blanks) {
  std::map<int, int> counts;
  std::vector<std::vector<double>> parsed;
  for (const std::string& line : lines) {
    const std::vector<std::string> fields = split(line, delimiter, blanks);
    std::vector<double> values;
    for (const std::string& f : fields) {
      double v;
      if (!wholeNumber(f, v)) {
        values.clear();
        break;
      }
      values.push_back(v);
    }
    if (values.size() >= 3) {
      ++counts[static_cast<int>(values.size())];
      parsed.push_back(std::move(values));
    }
  }
  Table t;
  int best = 0;
  for (const auto& c : counts) {
    if (c.second > best) {
      best = c.second;
      t.fields = c.first;
    }
  }
  for (auto& row : parsed) {
    if (static_cast<int>(row.size()) == t.fields) t.rows.push_back(std::move(row));
  }
  return t;
}

bool growing(const Table& t, int column) {
  if (t.rows.size() < 3) return false;
  std::size_t rises = 0;
  for (std::size_t r = 1; r < t.rows.size(); ++r) {
    const double a = t.rows[r - 1][static_cast<std::size_t>(column)];
    const double b = t.rows[r][static_cast<std::size_t>(column)];
    if (b < a) return false;
    if (b > a) ++rises;
  }
  return rises * 2 >= t.rows.size();
}

// Relative spread of the magnitude of columns (a, b, c), or infinity when one of them does not
// swing by half the magnitude (a temperature, a constant).
double magnitudeSpread(const Table& t, int a, int b, int c) {
  std::vector<double> mag;
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
  double hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  const int cols[3] = {a, b, c};
  for (const auto& row : t.rows) {
    double s = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double v = row[static_cast<std::size_t>(cols[k])];
      s += v * v;
      lo[k] = std::min(lo[k], v);
      hi[k] = std::max(hi[k], v);
    }
    mag.push_back(std::sqrt(s));
  }
  if (mag.empty()) return HUGE_VAL;
  std::vector<double> sorted = mag;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted[sorted.size() / 2];
  if (!(median > 0.0)) return HUGE_VAL;
  for (int k = 0; k < 3; ++k) {
    if (hi[k] - lo[k] < 0.5 * median) return HUGE_VAL;
  }
  for (double& m : mag) m = std::abs(m - median);
  std::sort(mag.begin(), mag.end());
  return mag[mag.size() / 2] / median;
}

}  // namespace

std::vector<std::string> splitLines(const char* text, std::size_t size, std::size_t maxLines) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < size && lines.size() < maxLines) {
    std::size_t end = at;
    while (end < size && text[end] != '\n') ++end;
    std::size_t stop = end;
    if (stop > at && text[stop - 1] == '\r') --stop;
    lines.emplace_back(text + at, stop - at);
    at = end + 1;
  }
  return lines;
}

LayoutGuess sniffLayout(const std::vector<std::string>& lines) {
  LayoutGuess g;
  struct Candidate {
    char delimiter;
    bool blanks;
  };
  const Candidate candidates[4] = {{',', false}, {';', false}, {'\t', false}, {' ', true}};
  Table best;
  for (const Candidate& c : candidates) {
    Table t = numericTable(lines, c.delimiter, c.blanks);
    if (t.fields >= 3 && t.rows.size() > best.rows.size()) {
      best = std::move(t);
      g.layout.delimiter = c.delimiter;
      g.layout.blanks = c.blanks;
    }
  }
  if (best.rows.empty()) {
    // No delimiter splits the lines into numbers: a decimal comma may be why ("0,5;1,25;..." or
    // "0,5 1,25 ..."). A comma that does split lines into numbers is a delimiter, so this is only
    // asked when none does.
    for (const std::string& line : lines) {
      for (const std::string& f : split(line, ';', false)) {
        if (decimalCommaField(f) && f.find(',') == f.rfind(',')) g.decimalComma = true;
      }
      for (const std::string& f : split(line, ' ', true)) {
        if (decimalCommaField(f) && f.find(',') == f.rfind(',')) g.decimalComma = true;
      }
    }
    return g;
  }
  if (best.rows.size() < 2) return g;
  g.fields = best.fields;
  std::vector<int> others;
  for (int c = 0; c < best.fields; ++c) {
    if (growing(best, c)) {
      g.growingColumns.push_back(c + 1);
    } else {
      others.push_back(c);
    }
  }
  if (others.size() < 3) return g;
  int chosen[3] = {others[0], others[1], others[2]};
  if (others.size() > 3) {
    double bestSpread = HUGE_VAL;
    for (std::size_t a = 0; a < others.size(); ++a)
      for (std::size_t b = a + 1; b < others.size(); ++b)
        for (std::size_t c = b + 1; c < others.size(); ++c) {
          const double s = magnitudeSpread(best, others[a], others[b], others[c]);
          if (s < bestSpread) {
            bestSpread = s;
            chosen[0] = others[a];
            chosen[1] = others[b];
            chosen[2] = others[c];
          }
        }
  }
  for (int k = 0; k < 3; ++k) g.layout.columns[k] = chosen[k] + 1;
  g.ok = true;
  return g;
}

std::vector<std::string> layoutProblems(const std::vector<std::string>& lines,
                                        const Layout& layout) {
  std::vector<std::string> problems;
  const LayoutGuess guess = sniffLayout(lines);
  if (guess.decimalComma) {
    problems.push_back(
        "numbers use decimal commas, which the reader does not accept: write them with decimal "
        "points");
    return problems;
  }
  if (!guess.ok) return problems;
  const bool sameDelimiter = guess.layout.blanks == layout.blanks &&
                             (layout.blanks || guess.layout.delimiter == layout.delimiter);
  if (!sameDelimiter) {
    problems.push_back("the lines hold " + delimiterArgument(guess.layout) +
                       " between their numbers: try --delimiter " +
                       delimiterArgument(guess.layout));
    return problems;
  }
  for (int k = 0; k < 3; ++k) {
    if (layout.columns[k] > guess.fields) {
      problems.push_back("the lines have " + std::to_string(guess.fields) +
                         " fields, fewer than --columns names");
      return problems;
    }
  }
  for (int c : guess.growingColumns) {
    for (int k = 0; k < 3; ++k) {
      if (layout.columns[k] == c) {
        const int* g = guess.layout.columns;
        problems.push_back("column " + std::to_string(c) +
                           " only grows: a time column? try --columns " + std::to_string(g[0]) +
                           "," + std::to_string(g[1]) + "," + std::to_string(g[2]));
        return problems;
      }
    }
  }
  return problems;
}

bool isGzip(const char* data, std::size_t n) {
  return n >= 2 && static_cast<unsigned char>(data[0]) == 0x1F &&
         static_cast<unsigned char>(data[1]) == 0x8B;
}

std::string binaryKind(const char* data, std::size_t n) {
  const auto* b = reinterpret_cast<const unsigned char*>(data);
  auto startsWith = [&](const char* magic, std::size_t length) {
    return n >= length && std::equal(b, b + length, reinterpret_cast<const unsigned char*>(magic));
  };
  if (isGzip(data, n)) return "gzip data";
  if (startsWith("PK\x03\x04", 4)) return "zip data";
  if (startsWith("\xFD" "7zXZ\x00", 6)) return "xz data";
  if (startsWith("BZh", 3) && n >= 4 && b[3] >= '1' && b[3] <= '9') return "bzip2 data";
  if (startsWith("\x28\xB5\x2F\xFD", 4)) return "zstd data";
  if (startsWith("\xFF\xFE", 2) || startsWith("\xFE\xFF", 2)) return "UTF-16 text";
  std::size_t control = 0;
  std::size_t notUtf8 = 0;
  for (std::size_t i = 0; i < n;) {
    const unsigned c = b[i];
    if (c < 0x80) {
      // Tab, line ends, form feeds and the escape of terminal colours occur in text.
      const bool textual = c >= 0x20 || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
                           c == '\f' || c == 0x1B;
      if (!textual || c == 0x7F) ++control;
      ++i;
      continue;
    }
    // A lead byte and its continuation bytes; a sequence cut by the end of the bytes counts as
    // UTF-8.
    const std::size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    std::size_t k = 1;
    while (length > 0 && k < length && i + k < n && (b[i + k] & 0xC0) == 0x80) ++k;
    if (length == 0 || (k < length && i + k < n)) {
      ++notUtf8;
      ++i;
    } else {
      i += k;
    }
  }
  if (control * 100 > n || notUtf8 * 10 > n) return "binary data";
  return "";
}

std::string delimiterArgument(const Layout& layout) {
  if (layout.blanks) return "space";
  if (layout.delimiter == '\t') return "tab";
  return std::string("'") + layout.delimiter + "'";
}

}  // namespace analysis
}  // namespace tiltfit
