#include "libOrr_accTools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "coder_array.h"
#include "csvField.h"
#include "getAccCalib.h"
#include "rtwtypes.h"

bool ACCTOOLS::readAccelerometerMeasuresReference(std::string filepath) {
  mReadError = ReadError::kNone;
  mReadErrno = 0;
  auto fail = [&](ReadError error, int err, bool message) {
    mReadError = error;
    mReadErrno = err;
    if (message) {
      std::cerr << "Can not open csv file" << std::endl;
    }
    return false;
  };

  // A directory opens as a stream but cannot be read; refuse it like any unreadable path.
  struct stat info;
  if (::stat(filepath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    return fail(ReadError::kCannotOpen, EISDIR, true);
  }
  errno = 0;
  std::ifstream file(filepath, std::ios::in);
  if (!file.is_open()) {
    return fail(ReadError::kCannotOpen, errno != 0 ? errno : ENOENT, true);
  }

  // Count pass: one row per newline, plus one.
  std::uint64_t lineNumber = 0;
  for (std::istreambuf_iterator<char> it(file), end; it != end; ++it) {
    if (*it == '\n') {
      ++lineNumber;
    }
  }
  if (file.bad()) {
    return fail(ReadError::kReadFailed, errno != 0 ? errno : EIO, true);
  }
  lineNumber += 1;
  if (lineNumber > kMaxRows) {
    return fail(ReadError::kTooManyRows, EOVERFLOW, false);
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
    return fail(ReadError::kReadFailed, errno != 0 ? errno : EIO, true);
  }
  return true;
}

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 22;  // bytes read per system call

// Reads up to n bytes, retrying interrupted and short reads; returns the count, 0 at end of file,
// or -1 with errno set.
ssize_t readSome(int fd, char* buffer, std::size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, n);
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
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

}  // namespace

bool ACCTOOLS::readAccelerometerMeasures(std::string filepath) {
  mReadError = ReadError::kNone;
  mReadErrno = 0;
  auto fail = [&](ReadError error, int err, bool message) {
    mReadError = error;
    mReadErrno = err;
    if (message) {
      std::cerr << "Can not open csv file" << std::endl;
    }
    return false;
  };

  FileDescriptor file(::open(filepath.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    return fail(ReadError::kCannotOpen, errno, true);
  }
  std::vector<char> buffer(kBlock);

  // Count pass: one row per newline, plus one. A directory fails here with EISDIR.
  std::uint64_t lineNumber = 0;
  for (;;) {
    const ssize_t got = readSome(file.get(), buffer.data(), kBlock);
    if (got < 0) {
      return fail(ReadError::kCannotOpen, errno, true);
    }
    if (got == 0) {
      break;
    }
    lineNumber += static_cast<std::uint64_t>(
        std::count(buffer.data(), buffer.data() + got, '\n'));
  }
  lineNumber += 1;
  if (lineNumber > kMaxRows) {
    return fail(ReadError::kTooManyRows, EOVERFLOW, false);
  }
  if (::lseek(file.get(), 0, SEEK_SET) != 0) {
    return fail(ReadError::kReadFailed, errno, true);
  }
  for (std::vector<double>& column : mAccelerometerMeasures) {
    column.resize(lineNumber);
  }
  double* columns[3] = {mAccelerometerMeasures[0].data(), mAccelerometerMeasures[1].data(),
                        mAccelerometerMeasures[2].data()};

  // Parse pass. Unconvertible fields are reported in order, in batches.
  std::string messages;
  auto flushMessages = [&]() {
    std::cerr.write(messages.data(), static_cast<std::streamsize>(messages.size()));
    messages.clear();
  };
  std::uint64_t counterLine = 0;
  auto parseLine = [&](const char* p, const char* e) {
    for (int column = 0; column < 3 && p < e; ++column) {
      const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<std::size_t>(e - p)));
      const char* fieldEnd = comma != nullptr ? comma : e;
      double value;
      if (tiltfit_csv::parseField(p, fieldEnd, value)) {
        columns[column][counterLine] = value;
      } else {
        messages.append("Header : ");
        messages.append(p, fieldEnd);
        messages.push_back('\n');
      }
      p = comma != nullptr ? comma + 1 : e;
    }
    ++counterLine;
    if (messages.size() >= (std::size_t{1} << 16)) {
      flushMessages();
    }
  };

  std::size_t begin = 0;  // first unparsed byte in buffer
  std::size_t filled = 0;
  for (;;) {
    if (filled == buffer.size()) {
      if (begin > 0) {  // keep the partial line, drop what is parsed
        std::memmove(buffer.data(), buffer.data() + begin, filled - begin);
        filled -= begin;
        begin = 0;
      } else {  // one line longer than the buffer
        buffer.resize(buffer.size() * 2);
      }
    }
    const ssize_t got = readSome(file.get(), buffer.data() + filled, buffer.size() - filled);
    if (got < 0) {
      flushMessages();
      return fail(ReadError::kReadFailed, errno, true);
    }
    const char* data = buffer.data();
    if (got == 0) {
      // A last line without a newline still counts; a file that grew since the count pass
      // contributes no more rows than were counted.
      if (filled > begin && counterLine < lineNumber) {
        parseLine(data + begin, data + filled);
      }
      break;
    }
    filled += static_cast<std::size_t>(got);
    for (;;) {
      const char* nl = static_cast<const char*>(std::memchr(data + begin, '\n', filled - begin));
      if (nl == nullptr) break;
      if (counterLine < lineNumber) {
        parseLine(data + begin, nl);
      }
      begin = static_cast<std::size_t>(nl - data) + 1;
    }
  }
  flushMessages();
  return true;
}

void ACCTOOLS::accCalibration(double tolerancePct, double moveMeanWindow, double diffThreshold,
                              double windowWidth, double deltaThresholdWindow) {
  const std::size_t rows = mAccelerometerMeasures[0].size();
  double accGainMatrix[9] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double accOffset[3] = {0.0, 0.0, 0.0};
  boolean_T result = 0;
  // The core takes its orientation sets from rows that must exist, and sizes its arrays in int.
  if (rows > 0 && rows <= kMaxRows) {
    const int n = static_cast<int>(rows);
    coder::array<double, 2> accVector;
    accVector.set_size(n, 3);
    for (int idx1 = 0; idx1 < 3; ++idx1) {
      const std::vector<double>& column = mAccelerometerMeasures[static_cast<std::size_t>(idx1)];
      for (int idx0 = 0; idx0 < n; ++idx0) {
        accVector[idx0 + n * idx1] = column[static_cast<std::size_t>(idx0)];
      }
    }
    getAccCalib(accVector, tolerancePct, moveMeanWindow, diffThreshold, windowWidth,
                deltaThresholdWindow, accOffset, accGainMatrix, &result);
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
