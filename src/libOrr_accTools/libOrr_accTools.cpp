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
#include <memory>
#include <sstream>
#include <stdexcept>

#include "coder_array.h"
#include "csvField.h"
#include "getAccCalib.h"
#include "rtwtypes.h"

bool ACCTOOLS::failRead(ReadError error, int err, bool message) {
  mReadError = error;
  mReadErrno = err;
  if (message) {
    std::cerr << "Can not open csv file" << std::endl;
  }
  return false;
}

bool ACCTOOLS::readAccelerometerMeasuresReference(std::string filepath) {
  mReadError = ReadError::kNone;
  mReadErrno = 0;

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

  std::uint64_t counterLine = 0;
  std::string line;
  std::string word;
  while (std::getline(file, line, '\n')) {
    std::stringstream str(line);
    std::uint8_t counterDataPerLine = 0;
    while (std::getline(str, word, ',')) {
      try {
        const double addedValue = std::stod(word);
        mAccelerometerMeasures[counterDataPerLine][counterLine] = addedValue;
      } catch (const std::exception&) {
        std::cerr << "Header : " << word << '\n';
      }
      if (++counterDataPerLine == 3) {
        break;
      }
    }
    ++counterLine;
  }
  if (file.bad()) {
    return failRead(ReadError::kReadFailed, errno != 0 ? errno : EIO, true);
  }
  return true;
}

namespace {

// The file is read in chunks of this many bytes, several at a time on the threads; a line belongs
// to the chunk it starts in.
constexpr std::size_t kChunk = std::size_t{1} << 20;
// Files up to this size are held whole in memory between the two passes.
constexpr std::uint64_t kWholeFileLimit = std::uint64_t{1} << 29;

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

// Parses the lines in [p, e) (each ending in a newline, but possibly the last) into rows row,
// row + 1, ... of the columns, skipping rows at or beyond `rows`; appends a "Header : " line per
// field that does not convert. Up to three fields per line; the line ends them all.
void parseLines(const char* p, const char* e, std::uint64_t row, std::uint64_t rows,
                double* const* columns, std::string& messages) {
  while (p < e) {
    const char* f = p;
    for (int column = 0; column < 3 && f < e && *f != '\n'; ++column) {
      double value;
      const char* number = tiltfit_csv::parseDecimalPrefix(f, e, value);
      // A number never contains a comma or a newline, so the field goes on from its end.
      const char* fieldEnd = number != nullptr ? number : f;
      while (fieldEnd < e && *fieldEnd != ',' && *fieldEnd != '\n') ++fieldEnd;
      if (row < rows) {
        if (number != nullptr || tiltfit_csv::parseField(f, fieldEnd, value)) {
          columns[column][row] = value;
        } else {
          messages.append("Header : ");
          messages.append(f, fieldEnd);
          messages.push_back('\n');
        }
      }
      f = (fieldEnd < e && *fieldEnd == ',') ? fieldEnd + 1 : fieldEnd;
    }
    const char* nl =
        (f < e && *f == '\n')
            ? f
            : static_cast<const char*>(std::memchr(f, '\n', static_cast<std::size_t>(e - f)));
    ++row;
    p = nl != nullptr ? nl + 1 : e;
  }
}

// Parses the lines that start in chunk c of the file: reads the chunk, the byte before it and as
// much after it as the last line needs. firstRow is the number of newlines before the chunk.
// Returns 0, or an errno value.
int parseChunk(int fd, std::uint64_t c, std::uint64_t firstRow, std::uint64_t rows,
               double* const* columns, std::vector<char>& buffer, std::string& messages) {
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
  parseLines(data + begin, data + end, row, rows, columns, messages);
  return 0;
}

// The same for a file held whole in memory (total bytes at data).
void parseChunkInMemory(const char* data, std::uint64_t total, std::uint64_t c,
                        std::uint64_t firstRow, std::uint64_t rows, double* const* columns,
                        std::string& messages) {
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
  parseLines(data + begin, data + end, row, rows, columns, messages);
}

// Memory for holding a whole file, released on every path.
struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

}  // namespace

bool ACCTOOLS::readAccelerometerMeasures(std::string filepath) {
  mReadError = ReadError::kNone;
  mReadErrno = 0;

  FileDescriptor file(::open(filepath.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    return failRead(ReadError::kCannotOpen, errno, true);
  }
  const int threads = std::max(1, omp_get_max_threads());
  std::vector<std::vector<char>> buffers(static_cast<std::size_t>(threads));

  // A regular file of moderate size is kept whole in memory by the count pass, so that the parse
  // pass need not read it again; larger files are read twice, a chunk at a time.
  std::unique_ptr<char, FreeDeleter> whole;
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
  auto rethrow = [&failure]() {
    if (failure) std::rethrow_exception(failure);
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
  rethrow();
  if (error != 0) {
    return failRead(ReadError::kCannotOpen, error, true);
  }
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

  // Parse pass, chunk by chunk on the threads; the messages of each wave are written in file
  // order before the next wave starts.
  std::vector<std::string> messages(static_cast<std::size_t>(threads));
  const std::uint64_t chunks = newlines.size();
  for (std::uint64_t wave = 0; wave < chunks && error == 0;
       wave += static_cast<std::uint64_t>(threads)) {
#pragma omp parallel for num_threads(threads) schedule(static, 1) reduction(| : error)
    for (int t = 0; t < threads; ++t) {
      const std::uint64_t c = wave + static_cast<std::uint64_t>(t);
      if (c >= chunks) continue;
      try {
        if (whole) {
          parseChunkInMemory(whole.get(), totalBytes, c, newlines[static_cast<std::size_t>(c)],
                             lineNumber, columns, messages[static_cast<std::size_t>(t)]);
        } else {
          error |= parseChunk(file.get(), c, newlines[static_cast<std::size_t>(c)], lineNumber,
                              columns, buffers[static_cast<std::size_t>(t)],
                              messages[static_cast<std::size_t>(t)]);
        }
      } catch (...) {
        carry(std::current_exception());
      }
    }
    rethrow();
    for (std::string& m : messages) {
      std::cerr.write(m.data(), static_cast<std::streamsize>(m.size()));
      m.clear();
    }
  }
  if (error != 0) {
    return failRead(ReadError::kReadFailed, error, true);
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
