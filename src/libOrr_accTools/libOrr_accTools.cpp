#include "libOrr_accTools.h"

#include <fcntl.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>

#include "coder_array.h"
#include "csvField.h"
#include "getAccCalib.h"
#include "rtwtypes.h"

bool ACCTOOLS::failRead(ReadError error, int err, bool message) {
  mReadError = error;
  mReadErrno = err;
  if (message && !mQuiet) {
    std::cerr << "Can not open csv file" << std::endl;
  }
  return false;
}

void ACCTOOLS::beginRead(const CsvLayout& layout) {
  mQuiet = layout.quietHeaders;
  mReadError = ReadError::kNone;
  mReadErrno = 0;
  mSkippedFields = 0;
  std::string().swap(mFirstSkippedField);
  std::vector<LineRun>().swap(mLineRuns);
  mLinesWithoutReadings = 0;
  mFirstLineWithoutReadings = 0;
  std::string().swap(mFirstLineWithoutReadingsText);
}

namespace {

// Refuses a layout no line can be cut by.
void checkLayout(const CsvLayout& layout) {
  for (int column : layout.columns) {
    if (column < 1) {
      throw std::invalid_argument("CsvLayout: field numbers start at 1");
    }
  }
  if (!layout.blanks && layout.delimiter == '\n') {
    throw std::invalid_argument("CsvLayout: a newline cannot separate fields");
  }
}

// The first bytes of the line [b, e), without a carriage return that ends it.
std::string lineStart(const char* b, const char* e) {
  if (e > b && e[-1] == '\r') --e;
  return std::string(b, std::min<std::size_t>(static_cast<std::size_t>(e - b), 120));
}

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

// Reads from fd to the end into a string; returns 0 or an errno value.
int readToEnd(int fd, std::string& out) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    out.append(buffer, static_cast<std::size_t>(got));
  }
}

// The next field of a line as the layout cuts it; false when the line has no more. At a
// delimiter, std::getline's cut: a line ending in the delimiter has no empty field after it.
bool readField(std::istream& line, const CsvLayout& layout, std::string& word) {
  if (!layout.blanks) {
    return static_cast<bool>(std::getline(line, word, layout.delimiter));
  }
  auto blank = [](int c) { return c == ' ' || c == '\t'; };
  while (blank(line.peek())) line.get();
  word.clear();
  for (int c = line.peek(); c != std::char_traits<char>::eof() && !blank(c); c = line.peek()) {
    word.push_back(static_cast<char>(line.get()));
  }
  return !word.empty();
}

}  // namespace

bool ACCTOOLS::readAccelerometerMeasuresReference(std::string filepath) {
  return readAccelerometerMeasuresReference(std::move(filepath), CsvLayout());
}

bool ACCTOOLS::readAccelerometerMeasuresReference(std::string filepath, const CsvLayout& layout) {
  checkLayout(layout);
  beginRead(layout);
  if (filepath == "-") {
    std::string all;
    const int error = readToEnd(STDIN_FILENO, all);
    if (error != 0) {
      return failRead(ReadError::kCannotOpen, error, true);
    }
    std::istringstream in(std::move(all));
    return readStreamReference(in, layout);
  }

  // A directory opens as a stream but cannot be read; refuse it like any unreadable path.
  struct stat info;
  if (::stat(filepath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return failRead(ReadError::kCannotOpen, EISDIR, true);
  }
  errno = 0;
  std::ifstream file(filepath, std::ios::in);
  if (!file.is_open()) {
    return failRead(ReadError::kCannotOpen, errno != 0 ? errno : ENOENT, true);
  }
  return readStreamReference(file, layout);
}

bool ACCTOOLS::readStreamReference(std::istream& file, const CsvLayout& layout) {
  // Count pass: one row per newline, plus one.
  std::uint64_t lineNumber = 0;
  for (std::istreambuf_iterator<char> it(file), end; it != end; ++it) {
    if (*it == '\n') {
      ++lineNumber;
    }
  }
  if (file.bad()) {
    return failRead(ReadError::kReadFailed, errno != 0 ? errno : EIO, true);
  }
  lineNumber += 1;
  if (lineNumber > kMaxRows) {
    return failRead(ReadError::kTooManyRows, EOVERFLOW, false);
  }
  for (std::vector<double>& column : mAccelerometerMeasures) {
    column.resize(lineNumber);
  }
  file.clear();
  file.seekg(0, std::ios::beg);

  const int lastField = std::max({layout.columns[0], layout.columns[1], layout.columns[2]});
  const int distinctFields =
      1 + (layout.columns[1] != layout.columns[0]) +
      (layout.columns[2] != layout.columns[0] && layout.columns[2] != layout.columns[1]);
  const bool drop = layout.dropLinesWithoutReadings;
  LineRunBuilder kept;
  std::uint64_t counterLine = 0;
  std::string line;
  std::string word;
  while (std::getline(file, line, '\n')) {
    std::stringstream str(line);
    const std::uint64_t row = drop ? kept.rows() : counterLine;
    int converted = 0;
    for (int field = 1; field <= lastField && readField(str, layout, word); ++field) {
      if (field != layout.columns[0] && field != layout.columns[1] && field != layout.columns[2]) {
        continue;
      }
      try {
        const double addedValue = std::stod(word);
        ++converted;
        for (int j = 0; j < 3; ++j) {
          if (layout.columns[j] == field) {
            mAccelerometerMeasures[static_cast<std::size_t>(j)][row] = addedValue;
          }
        }
      } catch (const std::exception&) {
        if (mSkippedFields++ == 0) {
          mFirstSkippedField = word;
        }
        if (!layout.quietHeaders) {
          std::cerr << "Header : " << word << '\n';
        }
      }
    }
    if (drop) {
      if (converted == distinctFields) {
        kept.keep(counterLine);
      } else if (mLinesWithoutReadings++ == 0) {
        mFirstLineWithoutReadings = counterLine;
        mFirstLineWithoutReadingsText = lineStart(line.data(), line.data() + line.size());
      }
    }
    ++counterLine;
  }
  if (file.bad()) {
    return failRead(ReadError::kReadFailed, errno != 0 ? errno : EIO, true);
  }
  if (drop) {
    for (std::vector<double>& column : mAccelerometerMeasures) column.resize(kept.rows());
    mLineRuns = kept.release();
  }
  return true;
}

namespace {

// The file is read in chunks of this many bytes, several at a time on the threads; a line belongs
// to the chunk it starts in.
constexpr std::size_t kChunk = std::size_t{1} << 20;
// Files up to this size are held whole in memory between the two passes.
constexpr std::uint64_t kWholeFileLimit = std::uint64_t{1} << 29;

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

// A CsvLayout as the block parser uses it: the fields to convert in line order, each with the
// columns it fills.
struct FieldMap {
  explicit FieldMap(const CsvLayout& layout)
      : delimiter(layout.delimiter), quiet(layout.quietHeaders) {
    if (layout.blanks) {
      cut = Cut::kBlanks;
    } else if (std::strchr("0123456789.+-eE", delimiter) != nullptr && delimiter != '\0') {
      cut = Cut::kFieldFirst;
    } else {
      cut = Cut::kNumberFirst;
    }
    standard = !layout.blanks && delimiter == ',' && layout.columns[0] == 1 &&
               layout.columns[1] == 2 && layout.columns[2] == 3;
    for (int j = 0; j < 3; ++j) {
      const int field = layout.columns[j] - 1;
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
  Wanted wanted[3] = {};
  int count = 0;
  char delimiter;
  bool quiet;
  Cut cut = Cut::kNumberFirst;
  bool standard = false;  // the tool's own format: x, y, z in fields 1, 2, 3 at commas
};

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

// Parses the lines in [p, e) (each ending in a newline, but possibly the last) into rows row,
// row + 1, ... of the columns, skipping rows at or beyond `rows`; records the fields that do not
// convert. Only the wanted fields are converted; the line ends them all. In the tool's own format
// (kStandard) field k goes to column k.
template <Cut kCut, bool kStandard>
void parseLinesCut(const char* p, const char* e, std::uint64_t row, std::uint64_t rows,
                   double* const* columns, const FieldMap& map, Skipped& skipped) {
  const char delimiter = kStandard ? ',' : map.delimiter;
  const int wanted = kStandard ? 3 : map.count;
  while (p < e) {
    const char* f = kCut == Cut::kBlanks ? nextField<kCut>(p, e, delimiter) : p;
    for (int field = 0, next = 0; (kStandard ? field : next) < wanted && f < e && *f != '\n';
         ++field) {
      const char* end;
      if (!kStandard && field != map.wanted[next].field) {
        end = fieldEnd<kCut>(f, e, delimiter);
      } else {
        double value;
        const char* number;
        if (kCut == Cut::kFieldFirst) {
          end = fieldEnd<kCut>(f, e, delimiter);
          number = tiltfit_csv::parseDecimalPrefix(f, end, value);
        } else {
          // A number never contains the separator or a newline, so the field goes on from its end.
          number = tiltfit_csv::parseDecimalPrefix(f, e, value);
          end = fieldEnd<kCut>(number != nullptr ? number : f, e, delimiter);
        }
        if (row < rows) {
          if (number != nullptr || tiltfit_csv::parseField(f, end, value)) {
            if (kStandard) {
              columns[field][row] = value;
            } else {
              const unsigned targets = map.wanted[next].columns;
              for (int j = 0; j < 3; ++j) {
                if ((targets >> j) & 1U) columns[j][row] = value;
              }
            }
          } else {
            skipped.add(f, end, map.quiet);
          }
        }
        if (!kStandard) ++next;
      }
      f = nextField<kCut>(end, e, delimiter);
    }
    const char* nl =
        (f < e && *f == '\n')
            ? f
            : static_cast<const char*>(std::memchr(f, '\n', static_cast<std::size_t>(e - f)));
    ++row;
    p = nl != nullptr ? nl + 1 : e;
  }
}

// The same, leaving out the lines whose wanted fields do not all convert: the lines kept go to
// rows kept->base, kept->base + 1, ..., and the others are recorded in kept. A copy of the loop
// above rather than a flag in it, so that the reading that keeps every line pays nothing for it.
template <Cut kCut, bool kStandard>
void parseLinesKeptCut(const char* p, const char* e, std::uint64_t row, double* const* columns,
                       const FieldMap& map, Skipped& skipped, Kept& kept) {
  const char delimiter = kStandard ? ',' : map.delimiter;
  const int wanted = kStandard ? 3 : map.count;
  std::uint64_t target = kept.base;
  const std::uint64_t first = row;
  while (p < e) {
    const char* f = kCut == Cut::kBlanks ? nextField<kCut>(p, e, delimiter) : p;
    bool failed = false;
    int field = 0;
    int next = 0;
    for (; (kStandard ? field : next) < wanted && f < e && *f != '\n'; ++field) {
      const char* end;
      if (!kStandard && field != map.wanted[next].field) {
        end = fieldEnd<kCut>(f, e, delimiter);
      } else {
        double value;
        const char* number;
        if (kCut == Cut::kFieldFirst) {
          end = fieldEnd<kCut>(f, e, delimiter);
          number = tiltfit_csv::parseDecimalPrefix(f, end, value);
        } else {
          number = tiltfit_csv::parseDecimalPrefix(f, e, value);
          end = fieldEnd<kCut>(number != nullptr ? number : f, e, delimiter);
        }
        if (number != nullptr || tiltfit_csv::parseField(f, end, value)) {
          if (kStandard) {
            columns[field][target] = value;
          } else {
            const unsigned targets = map.wanted[next].columns;
            for (int j = 0; j < 3; ++j) {
              if ((targets >> j) & 1U) columns[j][target] = value;
            }
          }
        } else {
          skipped.add(f, end, map.quiet);
          failed = true;
        }
        if (!kStandard) ++next;
      }
      f = nextField<kCut>(end, e, delimiter);
    }
    // f never passes e; said so that the compiler does not think the length can be negative.
    const char* nl =
        f >= e ? nullptr
        : *f == '\n'
            ? f
            : static_cast<const char*>(std::memchr(f, '\n', static_cast<std::size_t>(e - f)));
    if (!failed && (kStandard ? field : next) == wanted) {
      ++target;
    } else {
      kept.drop(row, p, nl != nullptr ? nl : e);
    }
    ++row;
    p = nl != nullptr ? nl + 1 : e;
  }
  kept.firstLine = first;
  kept.lines = row - first;
}

void parseLines(const char* p, const char* e, std::uint64_t row, std::uint64_t rows,
                double* const* columns, const FieldMap& map, Skipped& skipped) {
  if (map.standard) {
    parseLinesCut<Cut::kNumberFirst, true>(p, e, row, rows, columns, map, skipped);
    return;
  }
  switch (map.cut) {
    case Cut::kNumberFirst:
      parseLinesCut<Cut::kNumberFirst, false>(p, e, row, rows, columns, map, skipped);
      break;
    case Cut::kFieldFirst:
      parseLinesCut<Cut::kFieldFirst, false>(p, e, row, rows, columns, map, skipped);
      break;
    case Cut::kBlanks:
      parseLinesCut<Cut::kBlanks, false>(p, e, row, rows, columns, map, skipped);
      break;
  }
}

void parseLinesKept(const char* p, const char* e, std::uint64_t row, double* const* columns,
                    const FieldMap& map, Skipped& skipped, Kept& kept) {
  if (map.standard) {
    parseLinesKeptCut<Cut::kNumberFirst, true>(p, e, row, columns, map, skipped, kept);
    return;
  }
  switch (map.cut) {
    case Cut::kNumberFirst:
      parseLinesKeptCut<Cut::kNumberFirst, false>(p, e, row, columns, map, skipped, kept);
      break;
    case Cut::kFieldFirst:
      parseLinesKeptCut<Cut::kFieldFirst, false>(p, e, row, columns, map, skipped, kept);
      break;
    case Cut::kBlanks:
      parseLinesKeptCut<Cut::kBlanks, false>(p, e, row, columns, map, skipped, kept);
      break;
  }
}

// The lines [p, e), the first of them line row, read as the layout says: into rows row, row + 1,
// ... or, when kept is given, as parseLinesKept does.
void parseSpan(const char* p, const char* e, std::uint64_t row, std::uint64_t rows,
               double* const* columns, const FieldMap& map, Skipped& skipped, Kept* kept) {
  if (kept == nullptr) {
    parseLines(p, e, row, rows, columns, map, skipped);
    return;
  }
  kept->base = row - kept->shift;
  parseLinesKept(p, e, row, columns, map, skipped, *kept);
}

// The rows the chunks kept, gathered in file order: each chunk's rows move down to follow those of
// the chunks before it, and their line runs join. The chunks of a wave are taken once the wave is
// parsed, so that the next wave writes its rows where they stay, but for the lines its own chunks
// leave out: a header moves the rows of the first wave's other chunks by one row, and no more.
struct Gathered {
  LineRunBuilder runs;
  std::uint64_t dropped = 0;
  std::uint64_t firstDropped = 0;
  std::string firstDroppedText;

  void take(Kept& k, std::array<std::vector<double>, 3>& columns) {
    const std::uint64_t n = k.rows();
    if (n > 0 && k.base != runs.rows()) {
      for (std::vector<double>& column : columns) {
        std::memmove(column.data() + runs.rows(), column.data() + k.base, sizeof(double) * n);
      }
    }
    // The lines kept are those between the lines left out.
    std::uint64_t from = k.firstLine;
    const std::vector<ACCTOOLS::LineRun>& out = k.dropped.runs();
    for (std::size_t i = 0; i < out.size(); ++i) {
      const std::uint64_t count = k.dropped.rowsOf(i);
      for (std::uint64_t j = 0; j < count; ++j) {
        const std::uint64_t line = out[i].line + std::uint64_t{out[i].step} * j;
        if (line > from) runs.append(run(from), line - from);
        from = line + 1;
      }
    }
    if (k.firstLine + k.lines > from) runs.append(run(from), k.firstLine + k.lines - from);
    if (k.dropped.rows() > 0 && dropped == 0) {
      firstDropped = out[0].line;
      firstDroppedText = std::move(k.firstDroppedText);
    }
    dropped += k.dropped.rows();
    k = Kept();
  }

  // Consecutive lines from line on.
  static ACCTOOLS::LineRun run(std::uint64_t line) {
    return ACCTOOLS::LineRun{0, static_cast<std::uint32_t>(line), 1};
  }

  // The columns cut to the rows kept.
  void finish(std::array<std::vector<double>, 3>& columns) const {
    const std::size_t rows = static_cast<std::size_t>(runs.rows());
    for (std::vector<double>& column : columns) {
      // A recording that left out many lines gives the memory back, at the cost of a copy.
      const bool shrink = rows < column.size() / 4 * 3;
      column.resize(rows);
      if (shrink) column.shrink_to_fit();
    }
  }
};

// Reads up to n bytes at offset, retrying interrupted and short reads; returns the count (short
// only at end of file) or -1 with errno set.
ssize_t readAt(int fd, char* buffer, std::size_t n, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd, buffer + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Parses the lines that start in chunk c of the file: reads the chunk, the byte before it and as
// much after it as the last line needs. firstRow is the number of newlines before the chunk.
// Returns 0, or an errno value.
int parseChunk(int fd, std::uint64_t c, std::uint64_t firstRow, std::uint64_t rows,
               double* const* columns, const FieldMap& map, std::vector<char>& buffer,
               Skipped& skipped, Kept* kept) {
  const std::uint64_t start = c * kChunk;
  const std::uint64_t from = start == 0 ? 0 : start - 1;
  const std::size_t lead = static_cast<std::size_t>(start - from);
  if (buffer.size() < kChunk + lead) buffer.resize(kChunk + lead);
  ssize_t got = readAt(fd, buffer.data(), kChunk + lead, from);
  if (got < 0) return errno;
  std::size_t filled = static_cast<std::size_t>(got);
  if (filled <= lead) return 0;  // the file ended before this chunk
  const char* data = buffer.data();
  // First line starting in the chunk.
  std::size_t begin = lead;
  std::uint64_t row = firstRow;
  if (lead == 1 && data[0] != '\n') {
    const char* nl = static_cast<const char*>(std::memchr(data + 1, '\n', filled - 1));
    if (nl == nullptr) return 0;  // the chunk only continues a line that started earlier
    begin = static_cast<std::size_t>(nl - data) + 1;
    ++row;
  }
  const std::size_t chunkEnd = std::min(filled, lead + kChunk);
  if (begin >= chunkEnd) return 0;
  // Extend to the end of the last line that starts in the chunk.
  std::size_t end = chunkEnd;
  if (filled == lead + kChunk) {
    for (;;) {
      const char* nl =
          static_cast<const char*>(std::memchr(data + chunkEnd - 1, '\n', filled - (chunkEnd - 1)));
      if (nl != nullptr) {
        end = static_cast<std::size_t>(nl - data) + 1;
        break;
      }
      if (buffer.size() < filled + kChunk) buffer.resize(filled + kChunk);
      got = readAt(fd, buffer.data() + filled, kChunk, from + filled);
      if (got < 0) return errno;
      data = buffer.data();
      if (got == 0) {
        end = filled;
        break;
      }
      filled += static_cast<std::size_t>(got);
    }
  }
  parseSpan(data + begin, data + end, row, rows, columns, map, skipped, kept);
  return 0;
}

// The same for a source held whole in memory (total bytes at data).
void parseChunkInMemory(const char* data, std::uint64_t total, std::uint64_t c,
                        std::uint64_t firstRow, std::uint64_t rows, double* const* columns,
                        const FieldMap& map, Skipped& skipped, Kept* kept) {
  const std::uint64_t start = c * kChunk;
  if (start >= total) return;
  const std::uint64_t chunkEnd = std::min(total, start + kChunk);
  std::uint64_t begin = start;
  std::uint64_t row = firstRow;
  if (start > 0 && data[start - 1] != '\n') {
    const void* nl = std::memchr(data + start, '\n', static_cast<std::size_t>(chunkEnd - start));
    if (nl == nullptr) return;  // the chunk only continues a line that started earlier
    begin = static_cast<std::uint64_t>(static_cast<const char*>(nl) - data) + 1;
    ++row;
    if (begin >= chunkEnd) return;
  }
  const void* nl =
      std::memchr(data + chunkEnd - 1, '\n', static_cast<std::size_t>(total - (chunkEnd - 1)));
  const std::uint64_t end =
      nl != nullptr ? static_cast<std::uint64_t>(static_cast<const char*>(nl) - data) + 1 : total;
  parseSpan(data + begin, data + end, row, rows, columns, map, skipped, kept);
}

// Memory for holding a whole file, released on every path.
struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using Bytes = std::unique_ptr<char, FreeDeleter>;

// Reads from fd to the end into memory that grows as needed; returns 0 or an errno value, and
// throws std::bad_alloc when memory runs out.
int readToEnd(int fd, Bytes& data, std::uint64_t& size) {
  // A regular file's remaining size is the first guess, so that it is read without regrowing.
  std::size_t capacity = kChunk;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at >= 0 && info.st_size >= at) {
      capacity = static_cast<std::size_t>(info.st_size - at) + 1;
    }
  }
  data.reset(static_cast<char*>(std::malloc(capacity)));
  if (!data) throw std::bad_alloc();
  size = 0;
  for (;;) {
    if (size == capacity) {
      if (capacity > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
      // realloc moves large blocks with mremap: no copy, and no room for both sizes at once.
      char* grown = static_cast<char*>(std::realloc(data.get(), 2 * capacity));
      if (grown == nullptr) throw std::bad_alloc();
      (void)data.release();
      data.reset(grown);
      capacity *= 2;
    }
    const ssize_t got = ::read(fd, data.get() + size, capacity - static_cast<std::size_t>(size));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    size += static_cast<std::uint64_t>(got);
  }
}

}  // namespace

bool ACCTOOLS::readAccelerometerMeasures(std::string filepath) {
  return readAccelerometerMeasures(std::move(filepath), CsvLayout());
}

bool ACCTOOLS::readAccelerometerMeasuresFromBuffer(const char* data, std::size_t size,
                                                   const CsvLayout& layout) {
  checkLayout(layout);
  beginRead(layout);
  return readBuffer(data, size, layout);
}

bool ACCTOOLS::readBuffer(const char* data, std::uint64_t size, const CsvLayout& layout) {
  std::vector<std::uint64_t> newlines(static_cast<std::size_t>((size + kChunk - 1) / kChunk), 0);
  const int threads = std::max(1, omp_get_max_threads());
  const int chunks = static_cast<int>(newlines.size());
#pragma omp parallel for num_threads(threads) schedule(static)
  for (int c = 0; c < chunks; ++c) {
    const std::uint64_t offset = static_cast<std::uint64_t>(c) * kChunk;
    const char* from = data + offset;
    const char* to = data + std::min<std::uint64_t>(size, offset + kChunk);
    newlines[static_cast<std::size_t>(c)] = static_cast<std::uint64_t>(std::count(from, to, '\n'));
  }
  std::vector<std::vector<char>> buffers;
  return parseChunks(newlines, data, size, -1, buffers, layout);
}

bool ACCTOOLS::readAccelerometerMeasures(std::string filepath, const CsvLayout& layout) {
  checkLayout(layout);
  beginRead(layout);

  // Standard input may be a pipe, which can be read only once: it is held whole in memory.
  if (filepath == "-") {
    Bytes data;
    std::uint64_t size = 0;
    const int error = readToEnd(STDIN_FILENO, data, size);
    if (error != 0) {
      return failRead(ReadError::kCannotOpen, error, true);
    }
    return readBuffer(data.get(), size, layout);
  }

  FileDescriptor file(::open(filepath.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    return failRead(ReadError::kCannotOpen, errno, true);
  }
  const int threads = std::max(1, omp_get_max_threads());
  std::vector<std::vector<char>> buffers(static_cast<std::size_t>(threads));

  // A regular file of moderate size is kept whole in memory by the count pass, so that the parse
  // pass need not read it again; larger files are read twice, a chunk at a time.
  Bytes whole;
  std::uint64_t wholeCapacity = 0;
  struct stat info;
  if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
      static_cast<std::uint64_t>(info.st_size) <= kWholeFileLimit) {
    wholeCapacity = static_cast<std::uint64_t>(info.st_size);
    whole.reset(static_cast<char*>(std::malloc(static_cast<std::size_t>(wholeCapacity))));
    if (whole) {
      coder::detail::adviseHugePages(whole.get(), static_cast<std::size_t>(wholeCapacity));
    }
  }
  std::uint64_t totalBytes = 0;

  // An exception may not leave a parallel region: the first one is carried out and rethrown.
  std::exception_ptr failure;
  auto carry = [&failure](std::exception_ptr e) {
#pragma omp critical(readAccelerometerMeasures_failure)
    if (!failure) failure = e;
  };

  // Count pass, chunk by chunk on the threads: newlines per chunk. A directory fails here with
  // EISDIR, a pipe with ESPIPE.
  std::vector<std::uint64_t> newlines;  // per chunk
  int error = 0;
  if (whole) {
    // The file as it was when opened: its size then, or less if it has shrunk since.
    newlines.resize(static_cast<std::size_t>((wholeCapacity + kChunk - 1) / kChunk), 0);
    const int chunks = static_cast<int>(newlines.size());
#pragma omp parallel for num_threads(threads) schedule(static) reduction(| : error) reduction(+ : totalBytes)
    for (int c = 0; c < chunks; ++c) {
      const std::uint64_t offset = static_cast<std::uint64_t>(c) * kChunk;
      char* target = whole.get() + offset;
      const ssize_t got =
          readAt(file.get(), target,
                 static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, wholeCapacity - offset)),
                 offset);
      if (got < 0) {
        error |= errno;
      } else {
        newlines[static_cast<std::size_t>(c)] =
            static_cast<std::uint64_t>(std::count(target, target + got, '\n'));
        totalBytes += static_cast<std::uint64_t>(got);
      }
    }
  } else {
    bool atEnd = false;
    for (std::uint64_t wave = 0; !atEnd && error == 0;
         wave += static_cast<std::uint64_t>(threads)) {
      newlines.resize(static_cast<std::size_t>(wave) + static_cast<std::size_t>(threads), 0);
#pragma omp parallel for num_threads(threads) schedule(static, 1) reduction(|        \
                                                                            : error) \
    reduction(||                                                                     \
              : atEnd)
      for (int t = 0; t < threads; ++t) {
        const std::uint64_t c = wave + static_cast<std::uint64_t>(t);
        std::vector<char>& buffer = buffers[static_cast<std::size_t>(t)];
        try {
          buffer.resize(kChunk);
        } catch (...) {
          carry(std::current_exception());
          continue;
        }
        const ssize_t got = readAt(file.get(), buffer.data(), kChunk, c * kChunk);
        if (got < 0) {
          error |= errno;
        } else {
          newlines[static_cast<std::size_t>(c)] =
              static_cast<std::uint64_t>(std::count(buffer.data(), buffer.data() + got, '\n'));
          atEnd = atEnd || static_cast<std::size_t>(got) < kChunk;
        }
      }
    }
  }
  if (failure) std::rethrow_exception(failure);
  if (error != 0) {
    return failRead(ReadError::kCannotOpen, error, true);
  }
  return parseChunks(newlines, whole.get(), totalBytes, file.get(), buffers, layout);
}

bool ACCTOOLS::parseChunks(std::vector<std::uint64_t>& newlines, const char* data,
                           std::uint64_t size, int fd, std::vector<std::vector<char>>& buffers,
                           const CsvLayout& layout) {
  std::uint64_t lineNumber = 1;
  for (std::uint64_t& n : newlines) {
    const std::uint64_t before = lineNumber - 1;
    lineNumber += n;
    n = before;  // now: newlines before the chunk
  }
  if (lineNumber > kMaxRows) {
    return failRead(ReadError::kTooManyRows, EOVERFLOW, false);
  }
  for (std::vector<double>& column : mAccelerometerMeasures) {
    if (column.empty() && column.capacity() < lineNumber) {
      column.reserve(lineNumber);
      coder::detail::adviseHugePages(column.data(), sizeof(double) * lineNumber);
    }
    column.resize(lineNumber);
  }
  double* columns[3] = {mAccelerometerMeasures[0].data(), mAccelerometerMeasures[1].data(),
                        mAccelerometerMeasures[2].data()};
  const FieldMap map(layout);
  const int threads = std::max(1, omp_get_max_threads());
  if (data == nullptr) {
    buffers.resize(static_cast<std::size_t>(threads));
  }

  std::exception_ptr failure;
  auto carry = [&failure](std::exception_ptr e) {
#pragma omp critical(readAccelerometerMeasures_failure)
    if (!failure) failure = e;
  };

  // Parse pass, chunk by chunk on the threads; the skipped fields of each wave are reported in
  // file order before the next wave starts.
  std::vector<Skipped> skipped(static_cast<std::size_t>(threads));
  const std::uint64_t chunks = newlines.size();
  const bool drop = layout.dropLinesWithoutReadings;
  std::vector<Kept> kept(drop ? static_cast<std::size_t>(chunks) : 0);
  Gathered gathered;
  int error = 0;
  for (std::uint64_t wave = 0; wave < chunks && error == 0;
       wave += static_cast<std::uint64_t>(threads)) {
#pragma omp parallel for num_threads(threads) schedule(static, 1) reduction(| : error)
    for (int t = 0; t < threads; ++t) {
      const std::uint64_t c = wave + static_cast<std::uint64_t>(t);
      if (c >= chunks) continue;
      try {
        Kept* k = drop ? &kept[static_cast<std::size_t>(c)] : nullptr;
        if (k != nullptr) k->shift = gathered.dropped;
        if (data != nullptr) {
          parseChunkInMemory(data, size, c, newlines[static_cast<std::size_t>(c)], lineNumber,
                             columns, map, skipped[static_cast<std::size_t>(t)], k);
        } else {
          error |= parseChunk(fd, c, newlines[static_cast<std::size_t>(c)], lineNumber, columns,
                              map, buffers[static_cast<std::size_t>(t)],
                              skipped[static_cast<std::size_t>(t)], k);
        }
      } catch (...) {
        carry(std::current_exception());
      }
    }
    if (failure) std::rethrow_exception(failure);
    for (std::uint64_t c = wave;
         drop && c < chunks && c < wave + static_cast<std::uint64_t>(threads); ++c) {
      gathered.take(kept[static_cast<std::size_t>(c)], mAccelerometerMeasures);
    }
    for (Skipped& s : skipped) {
      if (s.count > 0 && mSkippedFields == 0) {
        mFirstSkippedField = std::move(s.first);
      }
      mSkippedFields += s.count;
      std::cerr.write(s.messages.data(), static_cast<std::streamsize>(s.messages.size()));
      s.count = 0;
      s.first.clear();
      s.messages.clear();
    }
  }
  if (error != 0) {
    return failRead(ReadError::kReadFailed, error, true);
  }
  if (drop) {
    gathered.finish(mAccelerometerMeasures);
    mLineRuns = gathered.runs.release();
    mLinesWithoutReadings = gathered.dropped;
    mFirstLineWithoutReadings = gathered.firstDropped;
    mFirstLineWithoutReadingsText = std::move(gathered.firstDroppedText);
  }
  return true;
}

void ACCTOOLS::accCalibration(double tolerancePct, double moveMeanWindow, double diffThreshold,
                              double windowWidth, double deltaThresholdWindow) {
  const std::size_t rows = mAccelerometerMeasures[0].size();
  double accGainMatrix[9] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double accOffset[3] = {0.0, 0.0, 0.0};
  boolean_T result = 0;
  // The core takes its orientation sets from rows that must exist, and sizes its arrays in int.
  // It reads the three columns in place: the same values as an N x 3 copy, without the copy.
  if (rows > 0 && rows <= kMaxRows) {
    getAccCalibColumns(mAccelerometerMeasures[0].data(), mAccelerometerMeasures[1].data(),
                       mAccelerometerMeasures[2].data(), static_cast<int>(rows), tolerancePct,
                       moveMeanWindow, diffThreshold, windowWidth, deltaThresholdWindow, accOffset,
                       accGainMatrix, &result);
  }
  mAccCalibResult.isCalibrationSuccess = result != 0;
  for (int k = 0; k < 3; ++k) {
    mAccCalibResult.accOffset[k] = accOffset[k];
  }
  // Column-major 3 x 3 unpacked into rows without transposing: row i is (A[i], A[i+3], A[i+6]).
  for (std::size_t j = 0; j < 3; ++j) {
    for (std::size_t i = 0; i < 3; ++i) {
      mAccCalibResult.accGainMatrix[i][j] = accGainMatrix[i + 3 * j];
    }
  }
}
