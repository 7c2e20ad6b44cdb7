#include "libOrr_accTools.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "coder_array.h"
#include "getAccCalib.h"
#include "rtwtypes.h"

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
