// The block reader's line layer: how a layout cuts the fields of a line, the rows kept and the
// lines left out, and the parse of a span of whole lines into the columns.
#ifndef TILTFIT_CSVLINES_H
#define TILTFIT_CSVLINES_H

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "csvField.h"
#include "libOrr_accTools.h"

namespace tiltfit_csv {

// The first bytes of the line [b, e), without a carriage return that ends it.
std::string lineStart(const char* b, const char* e);

// The line runs of the rows kept, built a row at a time (keep) or a run at a time (append). A run
// takes the step of its first two rows and grows while the lines keep that step.
class LineRunBuilder {
 public:
  using LineRun = ACCTOOLS::LineRun;

  void keep(std::uint64_t line) {
    if (count_ >= 2 && line == next_) {
      next_ += runs_.back().step;
      ++count_;
      ++rows_;
      return;
    }
    keepAfterBreak(line);
  }

  // Appends the n rows of run r (lines r.line, r.line + r.step, ...), with the runs that keeping
  // them one by one would give. Once three of them are kept the last run holds the third with
  // r's step, so the rest extend it.
  void append(const LineRun& r, std::uint64_t n) {
    const std::uint64_t first = n < 3 ? n : 3;
    for (std::uint64_t k = 0; k < first; ++k) keep(r.line + std::uint64_t{r.step} * k);
    if (n > first) {
      count_ += n - first;
      rows_ += n - first;
      next_ = r.line + std::uint64_t{r.step} * n;
    }
  }

  // For a caller that extends the last run itself: whether it can be extended (it has its step),
  // the line that extends it and its step; extend(n) then adds the n rows so kept.
  bool extendable() const { return count_ >= 2; }
  std::uint64_t next() const { return next_; }
  std::uint64_t step() const { return runs_.empty() ? 1 : runs_.back().step; }
  void extend(std::uint64_t n) {
    count_ += n;
    rows_ += n;
    next_ += step() * n;
  }

  std::uint64_t rows() const { return rows_; }
  const std::vector<LineRun>& runs() const { return runs_; }
  std::vector<LineRun> release() { return std::exchange(runs_, {}); }
  // The rows of run i.
  std::uint64_t rowsOf(std::size_t i) const {
    return (i + 1 < runs_.size() ? runs_[i + 1].row : rows_) - runs_[i].row;
  }

 private:
  __attribute__((noinline)) void keepAfterBreak(std::uint64_t line) {
    if (count_ == 1 && line > runs_.back().line) {
      runs_.back().step = static_cast<std::uint32_t>(line - runs_.back().line);
      next_ = line + runs_.back().step;
    } else {
      runs_.push_back(
          LineRun{static_cast<std::uint32_t>(rows_), static_cast<std::uint32_t>(line), 1});
      count_ = 0;
      next_ = line + 1;
    }
    ++count_;
    ++rows_;
  }

  std::vector<LineRun> runs_;
  std::uint64_t rows_ = 0;   // rows kept
  std::uint64_t count_ = 0;  // rows of the last run
  std::uint64_t next_ = 0;   // the line that would continue the last run
};

// How the fields of a line are told apart.
enum class Cut {
  // At a delimiter that no plain decimal contains: a number is parsed first and its field ends at
  // the next delimiter from the number's end, so the number's bytes are looked at only once.
  kNumberFirst,
  // At a delimiter that may occur inside a number (a digit, '.', a sign or an exponent 'e'): the
  // field's end is found first and the number parsed within it.
  kFieldFirst,
  // At runs of spaces and tabs, neither of which a plain decimal contains.
  kBlanks,
};

// The most fields a line layout converts, and the most columns they fill.
constexpr int kMaxWanted = 16;

// A line layout as the parsers use it: the fields to convert in line order, each with the columns
// it fills.
struct FieldMap {
  explicit FieldMap(const CsvLayout& layout)
      : FieldMap(layout.delimiter, layout.blanks, fieldsOf(layout).data(),
                 static_cast<int>(3 + layout.more.size()), layout.quietHeaders) {
    standard = !layout.blanks && delimiter == ',' && layout.columns[0] == 1 &&
               layout.columns[1] == 2 && layout.columns[2] == 3 && layout.more.empty();
  }
  // x, y and z, then the further columns.
  static std::vector<int> fieldsOf(const CsvLayout& layout) {
    std::vector<int> f(layout.columns, layout.columns + 3);
    f.insert(f.end(), layout.more.begin(), layout.more.end());
    return f;
  }

  // Column j (0 <= j < n <= kMaxWanted) receives the 1-based field fields[j]; a field may fill
  // several columns. The caller checks that every field number is at least 1.
  FieldMap(char delimiterByte, bool blankRuns, const int* fields, int n, bool quietFields)
      : delimiter(delimiterByte), quiet(quietFields), columnCount(n) {
    if (blankRuns) {
      cut = Cut::kBlanks;
    } else if (std::strchr("0123456789.+-eE", delimiter) != nullptr && delimiter != '\0') {
      cut = Cut::kFieldFirst;
    } else {
      cut = Cut::kNumberFirst;
    }
    for (int j = 0; j < n; ++j) {
      const int field = fields[j] - 1;
      int k = 0;
      while (k < count && wanted[k].field < field) ++k;
      if (k < count && wanted[k].field == field) {
        wanted[k].columns |= 1U << j;
        continue;
      }
      for (int m = count; m > k; --m) wanted[m] = wanted[m - 1];
      wanted[k] = {field, 1U << j};
      ++count;
    }
  }

  struct Wanted {
    int field;         // 0-based field of the line
    unsigned columns;  // bit j set: the field goes to column j
  };
  Wanted wanted[kMaxWanted] = {};
  int count = 0;  // distinct wanted fields
  char delimiter;
  bool quiet;
  int columnCount;  // columns filled
  Cut cut = Cut::kNumberFirst;
  bool standard = false;  // the tool's own format: x, y, z in fields 1, 2, 3 at commas
};

// Where a wanted field of one line stands, and what it holds.
struct FieldSpan {
  const char* begin = nullptr;  // the field, separators excluded
  const char* end = nullptr;
  const char* numberEnd = nullptr;  // the end of its number; nullptr when it holds none
};

// The cutting primitives of the line layer, shared by the block parser and the line readers.
namespace cut {

template <Cut kCut>
inline bool isSeparator(char c, char delimiter) {
  if (kCut == Cut::kBlanks) return c == ' ' || c == '\t';
  return c == delimiter;
}

// The end of the field at p: the next separator, newline or e.
template <Cut kCut>
inline const char* fieldEnd(const char* p, const char* e, char delimiter) {
  while (p < e && *p != '\n' && !isSeparator<kCut>(*p, delimiter)) ++p;
  return p;
}

// The start of the field after the one ending at p.
template <Cut kCut>
inline const char* nextField(const char* p, const char* e, char delimiter) {
  if (kCut == Cut::kBlanks) {
    while (p < e && (*p == ' ' || *p == '\t')) ++p;
    return p;
  }
  return (p < e && *p == delimiter) ? p + 1 : p;
}

// Converts the wanted field at f: returns the end of its number, or nullptr when it is not of the
// fast form (the caller then converts [f, *end) with parseField); *end receives the field's end.
template <Cut kCut>
inline const char* convertField(const char* f, const char* e, char delimiter, double& value,
                                const char** end) {
  if (kCut == Cut::kFieldFirst) {
    *end = fieldEnd<kCut>(f, e, delimiter);
    return parseDecimalPrefix(f, *end, value);
  }
  // A number never contains the separator or a newline, so the field goes on from its end.
  const char* number = parseDecimalPrefix(f, e, value);
  *end = fieldEnd<kCut>(number != nullptr ? number : f, e, delimiter);
  return number;
}

// One line, as the block parser cuts its lines: the same fields, the same conversion.
template <Cut kCut>
inline unsigned cutLineAt(const char* p, const char* e, const FieldMap& map, double* values,
                   FieldSpan* spans) {
  const char delimiter = map.delimiter;
  unsigned got = 0;
  const char* f = kCut == Cut::kBlanks ? nextField<kCut>(p, e, delimiter) : p;
  for (int field = 0, next = 0; next < map.count && f < e && *f != '\n'; ++field) {
    const char* end;
    if (field != map.wanted[next].field) {
      end = fieldEnd<kCut>(f, e, delimiter);
    } else {
      double value;
      const char* number = convertField<kCut>(f, e, delimiter, value, &end);
      if (number == nullptr) parseField(f, end, value, &number);  // sets it on success only
      if (spans != nullptr) spans[next] = FieldSpan{f, end, number};
      if (number != nullptr) {
        for (unsigned t = map.wanted[next].columns; t != 0; t &= t - 1)
          values[__builtin_ctz(t)] = value;
        got |= map.wanted[next].columns;
      }
      ++next;
    }
    f = nextField<kCut>(end, e, delimiter);
  }
  return got;
}

}  // namespace cut

// Cuts the one line [b, e) (a newline ends it earlier) as map says and converts its wanted fields
// under the reader's number rule (parseField): values[j] receives column j's number. spans, when
// given, receives for each distinct wanted field (map.wanted order) where it stands. Returns the
// columns that received a number, as a bit set; a field the line does not reach, or that holds no
// number, leaves its columns out and values[j] untouched. Fields that do not convert are not
// recorded.
inline unsigned cutLine(const char* b, const char* e, const FieldMap& map, double* values,
                        FieldSpan* spans = nullptr) {
  switch (map.cut) {
    case Cut::kFieldFirst:
      return cut::cutLineAt<Cut::kFieldFirst>(b, e, map, values, spans);
    case Cut::kBlanks:
      return cut::cutLineAt<Cut::kBlanks>(b, e, map, values, spans);
    default:
      return cut::cutLineAt<Cut::kNumberFirst>(b, e, map, values, spans);
  }
}

// Fields that did not convert, in file order, with their "Header : " lines unless quiet.
struct Skipped {
  std::uint64_t count = 0;
  std::string first;
  std::string messages;

  // Kept out of the parsing loop: bad fields are rare.
  __attribute__((noinline)) void add(const char* begin, const char* end, bool quiet) {
    if (count++ == 0) first.assign(begin, end);
    if (!quiet) {
      messages.append("Header : ");
      messages.append(begin, end);
      messages.push_back('\n');
    }
  }
};

// What one chunk kept when lines without readings are left out: its rows, written from row `base`
// on (the row of its first line less `shift`, the lines left out before the chunk's wave), and
// the lines it left out. The lines kept follow from those; recording only the lines left out
// costs a line that is kept nothing.
struct Kept {
  std::uint64_t shift = 0;
  std::uint64_t base = 0;
  std::uint64_t firstLine = 0;  // the first line that starts in the chunk
  std::uint64_t lines = 0;      // the lines that start in the chunk
  LineRunBuilder dropped;       // the lines left out, as runs
  std::string firstDroppedText;

  std::uint64_t rows() const { return lines - dropped.rows(); }

  // Left out: the line [b, e) (its newline not included), number line.
  __attribute__((noinline)) void drop(std::uint64_t line, const char* b, const char* e) {
    if (dropped.rows() == 0) firstDroppedText = lineStart(b, e);
    dropped.keep(line);
  }
};

// The fields of the one line [b, e) (a newline ends it earlier) as the parsers tell them apart, in
// order: at each delimiter, a line ending in one having an empty last field and an empty line one
// empty field; or the runs of bytes other than spaces and tabs, blanks around them separating
// nothing.
std::vector<std::pair<const char*, const char*>> fieldsOf(const char* b, const char* e,
                                                           char delimiter, bool blanks);

// The lines [p, e), the first of them line row, read as the layout says into rows row, row + 1,
// ... of the columns, the rows at or beyond `rows` skipped, the fields that do not convert
// recorded in skipped. When kept is given, the lines whose wanted fields do not all convert are
// left out instead and recorded there, the lines kept going to rows kept->base on (see Kept).
void parseSpan(const char* p, const char* e, std::uint64_t row, std::uint64_t rows,
               double* const* columns, const FieldMap& map, Skipped& skipped, Kept* kept);

}  // namespace tiltfit_csv

#endif
