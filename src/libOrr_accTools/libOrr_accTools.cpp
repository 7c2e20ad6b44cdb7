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
#include "csvLines.h"
#include "getAccCalib.h"
#include "rtwtypes.h"
#include "textSpill.h"

static_assert(2147483647ULL / 3 == ACCTOOLS::kMaxRows, "a layout's default rows are the core's");

using tiltfit_csv::FieldMap;
using tiltfit_csv::Kept;
using tiltfit_csv::LineRunBuilder;
using tiltfit_csv::lineStart;
using tiltfit_csv::parseSpan;
using tiltfit_csv::Skipped;

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
  for (int column : layout.more) {
    if (column < 1) throw std::invalid_argument("CsvLayout: field numbers start at 1");
  }
  if (layout.more.size() + 3 > static_cast<std::size_t>(tiltfit_csv::kMaxWanted)) {
    throw std::invalid_argument("CsvLayout: too many columns");
  }
  if (!layout.blanks && layout.delimiter == '\n') {
    throw std::invalid_argument("CsvLayout: a newline cannot separate fields");
  }
}

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
  if (lineNumber > std::min(layout.maxRows, kMaxLines)) {
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

// The text is read in chunks of this many bytes, several at a time on the threads; a line belongs
// to the chunk it starts in. A file is read with pread into one buffer a thread, twice: to count
// the lines, then to parse them into the columns, so that its text never takes the process's
// memory (the second pass finds it in the page cache).
constexpr std::size_t kChunk = std::size_t{1} << 20;
// Chunks a thread between two joins of the threads. Each thread takes the next chunk when it is
// done with one, so that a thread the system sets aside for a while holds up little.
constexpr std::size_t kWave = 8;
// Bytes read past a chunk's end with it, enough for the line that starts in the chunk and ends
// after it but for a line longer than this.
constexpr std::size_t kTail = std::size_t{1} << 12;

// The rows the chunks kept, gathered in file order: each chunk's rows move down to follow those of
// the chunks before it, and their line runs join. The chunks of a wave are taken once the wave is
// parsed, so that the next wave writes its rows where they stay, but for the lines its own chunks
// leave out: a header moves the rows of the first wave's other chunks by one row, and no more.
struct Gathered {
  LineRunBuilder runs;
  std::uint64_t dropped = 0;
  std::uint64_t firstDropped = 0;
  std::string firstDroppedText;

  void take(Kept& k, const std::vector<std::vector<double>*>& columns) {
    // Within the columns also for a file that changed between the two passes.
    const std::uint64_t size = columns[0]->size();
    const std::uint64_t n = std::min({k.rows(), size - std::min(size, k.base),
                                      size - std::min<std::uint64_t>(size, runs.rows())});
    if (n > 0 && k.base != runs.rows()) {
      for (std::vector<double>* column : columns) {
        std::memmove(column->data() + runs.rows(), column->data() + k.base, sizeof(double) * n);
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
  void finish(const std::vector<std::vector<double>*>& columns) const {
    const std::size_t rows = static_cast<std::size_t>(runs.rows());
    for (std::vector<double>* column : columns) {
      // A recording that left out many lines gives the memory back, at the cost of a copy.
      const bool shrink = rows < column->size() / 4 * 3;
      column->resize(rows);
      if (shrink) column->shrink_to_fit();
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

// Parses the lines that start in chunk c of the text, the size bytes of fd from base on: reads the
// chunk, the byte before it and as much after it as its last line needs into buffer, which grows
// only for a line longer than kTail. firstRow is the number of newlines before the chunk. Returns
// 0, or an errno value.
int parseChunk(int fd, std::uint64_t base, std::uint64_t size, std::uint64_t c,
               std::uint64_t firstRow, std::uint64_t rows, double* const* columns,
               const FieldMap& map, std::vector<char>& buffer, Skipped& skipped, Kept* kept) {
  const std::uint64_t start = c * kChunk;
  if (start >= size) return 0;
  const std::uint64_t from = start == 0 ? 0 : start - 1;
  const std::size_t lead = static_cast<std::size_t>(start - from);
  const std::size_t chunkEnd = static_cast<std::size_t>(std::min(size, start + kChunk) - from);
  std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(size - from, chunkEnd + kTail));
  if (buffer.size() < want) buffer.resize(want);
  ssize_t got = readAt(fd, buffer.data(), want, base + from);
  if (got < 0) return errno;
  std::size_t filled = static_cast<std::size_t>(got);
  // A file cut shorter since it was counted is parsed as far as it goes.
  const std::size_t stop = std::min(filled, chunkEnd);
  if (stop <= lead) return 0;
  const char* data = buffer.data();
  // First line starting in the chunk.
  std::size_t begin = lead;
  std::uint64_t row = firstRow;
  if (lead == 1 && data[0] != '\n') {
    const char* nl = static_cast<const char*>(std::memchr(data + 1, '\n', stop - 1));
    if (nl == nullptr) return 0;  // the chunk only continues a line that started earlier
    begin = static_cast<std::size_t>(nl - data) + 1;
    ++row;
    if (begin >= stop) return 0;
  }
  // The end of the last line that starts in the chunk: the first newline from the chunk's last
  // byte.
  std::size_t searched = stop - 1;
  std::size_t end;
  for (;;) {
    const char* nl =
        static_cast<const char*>(std::memchr(data + searched, '\n', filled - searched));
    if (nl != nullptr) {
      end = static_cast<std::size_t>(nl - data) + 1;
      break;
    }
    if (filled < want || from + filled >= size) {
      end = filled;  // the text ends within the line
      break;
    }
    // A long line: read on, as much again as is held, so that a line of any length costs a few
    // reads.
    searched = filled;
    want =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - from, 2 * std::uint64_t{filled}));
    if (buffer.size() < want) buffer.resize(want);
    got = readAt(fd, buffer.data() + filled, want - filled, base + from + filled);
    if (got < 0) return errno;
    data = buffer.data();
    filled += static_cast<std::size_t>(got);
  }
  parseSpan(data + begin, data + end, row, rows, columns, map, skipped, kept);
  return 0;
}

// The same for a text held whole in memory (total bytes at data).
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

// The first error of a parallel loop, by the index of the step that met it, so that the one
// reported does not depend on the threads' timing.
class FirstError {
 public:
  explicit FirstError(std::size_t steps) : errors_(steps, 0) {}
  void set(std::size_t step, int error) { errors_[step] = error; }
  int get() const {
    for (int e : errors_) {
      if (e != 0) return e;
    }
    return 0;
  }

 private:
  std::vector<int> errors_;
};

// An exception may not leave a parallel region: the first one is carried out and rethrown.
class Carried {
 public:
  void carry(std::exception_ptr e) {
#pragma omp critical(readAccelerometerMeasures_failure)
    if (!failure_) failure_ = e;
  }
  void rethrow() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  std::exception_ptr failure_;
};

// Count pass over the text of fd from base to the end of the file: the newlines of each chunk and
// the text's size, the chunks read on the threads, each into its own buffer. The text ends where
// the first read falls short. Returns 0 or an errno value (EISDIR for a directory).
int countChunks(int fd, std::uint64_t base, int threads, std::vector<std::vector<char>>& buffers,
                std::vector<std::uint64_t>& newlines, std::uint64_t& size) {
  newlines.clear();
  size = 0;
  const std::size_t wave = kWave * static_cast<std::size_t>(threads);
  std::vector<std::size_t> bytes(wave);
  for (std::uint64_t first = 0;; first += wave) {
    newlines.resize(static_cast<std::size_t>(first) + wave, 0);
    FirstError error(wave);
    Carried failure;
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1)
    for (int k = 0; k < static_cast<int>(wave); ++k) {
      const std::size_t slot = static_cast<std::size_t>(k);
      try {
        std::vector<char>& buffer = buffers[static_cast<std::size_t>(omp_get_thread_num())];
        const ssize_t got = readAt(fd, buffer.data(), kChunk, base + (first + slot) * kChunk);
        if (got < 0) {
          error.set(slot, errno);
          continue;
        }
        bytes[slot] = static_cast<std::size_t>(got);
        newlines[static_cast<std::size_t>(first) + slot] =
            static_cast<std::uint64_t>(std::count(buffer.data(), buffer.data() + got, '\n'));
      } catch (...) {
        failure.carry(std::current_exception());
      }
    }
    failure.rethrow();
    if (const int e = error.get()) return e;
    for (std::size_t slot = 0; slot < wave; ++slot) {
      if (bytes[slot] < kChunk) {
        // Chunks read after the end (of a file that grew meanwhile) are no part of the text.
        size = (first + slot) * kChunk + bytes[slot];
        newlines.resize(static_cast<std::size_t>((size + kChunk - 1) / kChunk));
        return 0;
      }
    }
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
  return parseChunks(newlines, data, -1, 0, size, buffers, layout);
}

bool ACCTOOLS::readAccelerometerMeasuresFromDescriptor(int fd, std::uint64_t offset,
                                                       const CsvLayout& layout) {
  checkLayout(layout);
  beginRead(layout);
  return readDescriptor(fd, offset, layout);
}

bool ACCTOOLS::readAccelerometerMeasures(std::string filepath, const CsvLayout& layout) {
  checkLayout(layout);
  beginRead(layout);
  if (filepath == "-") return readStream(STDIN_FILENO, layout);
  FileDescriptor file(::open(filepath.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    return failRead(ReadError::kCannotOpen, errno, true);
  }
  // A named pipe can be read only once, like standard input.
  struct stat info;
  if (::fstat(file.get(), &info) == 0 && S_ISFIFO(info.st_mode)) {
    return readStream(file.get(), layout);
  }
  return readDescriptor(file.get(), 0, layout);
}

bool ACCTOOLS::readStream(int fd, const CsvLayout& layout) {
  // Standard input redirected from a file is read in place, from where it stands.
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at >= 0) {
      const bool ok = readDescriptor(fd, static_cast<std::uint64_t>(at), layout);
      ::lseek(fd, 0, SEEK_END);  // read to the end, as read() would leave it
      return ok;
    }
  }
  tiltfit_csv::SpilledText text;
  const int error = text.appendToEnd(fd);
  if (error != 0) {
    return failRead(ReadError::kCannotOpen, error, true);
  }
  if (text.fd() >= 0) return readDescriptor(text.fd(), 0, layout);
  return readAccelerometerMeasuresFromBuffer(text.data(), static_cast<std::size_t>(text.size()),
                                             layout);
}

bool ACCTOOLS::readDescriptor(int fd, std::uint64_t base, const CsvLayout& layout) {
  const int threads = std::max(1, omp_get_max_threads());
  // One buffer a thread, for both passes; it grows only for a line longer than kTail.
  std::vector<std::vector<char>> buffers(static_cast<std::size_t>(threads));
  for (std::vector<char>& b : buffers) b.resize(kChunk + 1 + kTail);
  std::vector<std::uint64_t> newlines;  // per chunk
  std::uint64_t size = 0;
  const int error = countChunks(fd, base, threads, buffers, newlines, size);
  if (error != 0) {
    return failRead(ReadError::kCannotOpen, error, true);
  }
  return parseChunks(newlines, nullptr, fd, base, size, buffers, layout);
}

bool ACCTOOLS::parseChunks(std::vector<std::uint64_t>& newlines, const char* data, int fd,
                           std::uint64_t base, std::uint64_t size,
                           std::vector<std::vector<char>>& buffers, const CsvLayout& layout) {
  std::uint64_t lineNumber = 1;
  for (std::uint64_t& n : newlines) {
    const std::uint64_t before = lineNumber - 1;
    lineNumber += n;
    n = before;  // now: newlines before the chunk
  }
  if (lineNumber > std::min(layout.maxRows, kMaxLines)) {
    return failRead(ReadError::kTooManyRows, EOVERFLOW, false);
  }
  // The three readings, and the further columns the layout asks for (a gyroscope, a time).
  mMoreMeasures.assign(layout.more.size(), std::vector<double>());
  std::vector<std::vector<double>*> all;
  for (std::vector<double>& column : mAccelerometerMeasures) all.push_back(&column);
  for (std::vector<double>& column : mMoreMeasures) all.push_back(&column);
  for (std::vector<double>* column : all) {
    if (column->empty() && column->capacity() < lineNumber) {
      column->reserve(lineNumber);
      coder::detail::adviseHugePages(column->data(), sizeof(double) * lineNumber);
    }
    column->reserve(lineNumber);
  }
  // The columns are filled on the threads: the kernel clears their fresh pages as resize first
  // touches them, which takes a good part of the read (0.05 to 0.3 s for 10^7 rows here, slower on
  // memory the host has not backed yet). They are allocated above, on this thread: a worker that
  // allocates gets a malloc arena of its own, 64 MB of address space.
  const int threads = std::max(1, omp_get_max_threads());
  const int count = static_cast<int>(all.size());
#pragma omp parallel for num_threads(std::min(threads, count)) schedule(dynamic, 1)
  for (int j = 0; j < count; ++j) {
    all[static_cast<std::size_t>(j)]->resize(lineNumber);
  }
  std::vector<double*> pointers;
  for (std::vector<double>* column : all) pointers.push_back(column->data());
  double* const* columns = pointers.data();
  const FieldMap map(layout);

  // Parse pass in waves of chunks on the threads. After each wave its skipped fields are reported
  // in file order and, when lines are left out, its rows gathered, so that the messages held and
  // the rows moved stay within a wave.
  const std::size_t wave = kWave * static_cast<std::size_t>(threads);
  std::vector<Skipped> skipped(wave);
  const std::uint64_t chunks = newlines.size();
  const bool drop = layout.dropLinesWithoutReadings;
  std::vector<Kept> kept(drop ? wave : 0);
  Gathered gathered;
  for (std::uint64_t first = 0; first < chunks; first += wave) {
    FirstError error(wave);
    Carried failure;
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1)
    for (int k = 0; k < static_cast<int>(wave); ++k) {
      const std::size_t slot = static_cast<std::size_t>(k);
      const std::uint64_t c = first + slot;
      if (c >= chunks) continue;
      try {
        Kept* kc = drop ? &kept[slot] : nullptr;
        if (kc != nullptr) kc->shift = gathered.dropped;
        const std::uint64_t firstRow = newlines[static_cast<std::size_t>(c)];
        if (data != nullptr) {
          parseChunkInMemory(data, size, c, firstRow, lineNumber, columns, map, skipped[slot], kc);
        } else {
          error.set(slot, parseChunk(fd, base, size, c, firstRow, lineNumber, columns, map,
                                     buffers[static_cast<std::size_t>(omp_get_thread_num())],
                                     skipped[slot], kc));
        }
      } catch (...) {
        failure.carry(std::current_exception());
      }
    }
    failure.rethrow();
    if (const int e = error.get()) {
      return failRead(ReadError::kReadFailed, e, true);
    }
    for (std::size_t slot = 0; drop && slot < wave && first + slot < chunks; ++slot) {
      gathered.take(kept[slot], all);
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
  if (drop) {
    gathered.finish(all);
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
