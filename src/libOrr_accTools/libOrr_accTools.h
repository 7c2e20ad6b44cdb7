// ACCTOOLS: owns one accelerometer recording and the result of calibrating it.
#ifndef LIBORR_ACCTOOLS_H
#define LIBORR_ACCTOOLS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

// Where a recording keeps its three readings on a line. The default is the tool's own format:
// comma-separated, x, y and z in the first three fields.
struct CsvLayout {
  // 1-based numbers of the fields holding x, y and z, in any order; a field may fill several.
  int columns[3] = {1, 2, 3};
  // The byte between two fields. Ignored when blanks is set.
  char delimiter = ',';
  // Fields separated by any run of spaces and tabs instead; blanks at the start and the end of a
  // line separate nothing.
  bool blanks = false;
  // Count the fields that do not convert (skippedFields()) without reporting each on standard
  // error, and leave out "Can not open csv file" too: the caller reports.
  bool quietHeaders = false;
  // Give a row only to the lines whose fields at columns all convert. A header, a blank line, a
  // prompt or a record of another kind then leaves no row of zeros behind, which would read as a
  // sample of 0 g; lineRuns() tells the line each row came from.
  bool dropLinesWithoutReadings = false;
  // The most rows a text may give (newlines plus one, whether or not lines are left out); a
  // longer one is refused (ReadError::kTooManyRows). The default, ACCTOOLS::kMaxRows, is what the
  // calibration core can hold; a caller that does not hand the columns to the core may raise it up
  // to ACCTOOLS::kMaxLines, beyond which the line runs' 32-bit line numbers bound every reading.
  std::uint64_t maxRows = 2147483647ULL / 3;
  // 1-based numbers of further fields read into columns of their own beside x, y and z (a
  // gyroscope's, a time); with lines left out, a line must hold numbers in these too. Read by
  // the fast reader only.
  std::vector<int> more;
};

class ACCTOOLS {
 public:
  // Result of the last calibration. With the values as stored, the fitted model is, for a raw
  // sample as a row vector: calibrated = raw * accGainMatrix + accOffset, that is
  // calibrated_j = sum_i raw_i * accGainMatrix[i][j] + accOffset[j].
  struct ACCRESULT {
    bool isCalibrationSuccess = false;
    double accOffset[3] = {0.0, 0.0, 0.0};
    // Three rows of three; element [i][j] is row i, column j.
    std::vector<std::array<double, 3>> accGainMatrix =
        std::vector<std::array<double, 3>>(3, std::array<double, 3>{0.0, 0.0, 0.0});
  };

  // Why the last readAccelerometerMeasures call returned false.
  enum class ReadError {
    kNone,
    kCannotOpen,   // the file could not be opened, or is a directory; see readErrno()
    kReadFailed,   // reading failed part-way; see readErrno()
    kTooManyRows,  // more rows than the numeric library's 32-bit sizes can hold as N x 3
  };

  // The largest row count a recording may have: N x 3 elements must fit a 32-bit int. It bounds
  // the lines of a text too, also when some are left out.
  static constexpr std::uint64_t kMaxRows = 2147483647ULL / 3;
  // The largest row count of any reading: line runs number lines in 32 bits (1-based where the
  // library reports them).
  static constexpr std::uint64_t kMaxLines = 4294967295ULL;

  // Rows row, row + 1, ... of a run were read from lines line, line + step, ... of the text (both
  // 0-based), up to the row of the next run. A run of one row has step 1. Lines that step evenly
  // make one run: a header left out, or every other line of a log that interleaves two kinds of
  // record, costs one run whatever the length.
  struct LineRun {
    std::uint32_t row;
    std::uint32_t line;
    std::uint32_t step;
  };

  ACCTOOLS() = default;
  ~ACCTOOLS() {
    mAccelerometerMeasures[2].clear();
    mAccelerometerMeasures[1].clear();
    mAccelerometerMeasures[0].clear();
    mAccCalibResult.accGainMatrix.clear();
  }
  ACCTOOLS(const ACCTOOLS&) = delete;
  ACCTOOLS& operator=(const ACCTOOLS&) = delete;

  // Reads a CSV recording into three columns (x, y, z), one row per line of the file: the header
  // line included (it becomes a row of zeros) and one row more than there are newline bytes, so a
  // final newline adds a last row of zeros. The first three fields of a line are converted like
  // std::stod (leading blanks skipped, longest numeric prefix, hex, inf and nan forms); a field
  // that does not convert, or is out of range, is reported on standard error as "Header : " plus
  // the field and leaves its slot unchanged. Fields after the third are ignored. The path "-"
  // reads standard input to its end instead.
  //
  // Returns false when the file cannot be opened or read ("Can not open csv file" on standard
  // error; the columns are left untouched) or holds more than kMaxRows rows (nothing allocated);
  // readError() and readErrno() then tell why. Throws std::bad_alloc when memory runs out.
  //
  // Reads the file in large blocks with a direct decimal parser (see csvField.h); the rows, values,
  // messages and results are those of readAccelerometerMeasuresReference.
  bool readAccelerometerMeasures(std::string filepath);

  // The same with the fields where the layout puts them: each line is cut into fields at the
  // delimiter (or at runs of blanks) and fields columns[0], [1], [2] go to x, y and z. Only those
  // fields are converted and reported; a line that ends before one of them leaves its slot
  // unchanged and reports nothing, and a line ending in the delimiter has no empty field after
  // it. A CRLF line end leaves the carriage return on the line's last field. Throws
  // std::invalid_argument for a field number below 1 or a newline as the delimiter.
  bool readAccelerometerMeasures(std::string filepath, const CsvLayout& layout);

  // Reads the recording from the size bytes at data, exactly as from a file holding those bytes.
  bool readAccelerometerMeasuresFromBuffer(const char* data, std::size_t size,
                                           const CsvLayout& layout);

  // Reads the recording from the text of the open file fd from offset to the file's end, exactly
  // as from a file holding those bytes. fd must allow pread (a regular file); it is neither moved
  // nor closed.
  bool readAccelerometerMeasuresFromDescriptor(int fd, std::uint64_t offset,
                                               const CsvLayout& layout);

  // How the fast reader holds a text: a file, standard input redirected from one, or what
  // readAccelerometerMeasuresFromDescriptor is given, is read twice with pread in chunks of 1 MiB
  // on the OpenMP threads, each into a buffer of its own, first to count the lines, then to parse
  // them into the columns, which are allocated once between the passes: the text never takes the
  // process's memory. Standard input from a pipe, or a named pipe, is first copied to a temporary
  // file (see textSpill.h) and read from there.

  // With layout.dropLinesWithoutReadings, every line whose fields at the layout's columns do not
  // all convert (a field missing, empty or no number) is left out instead of becoming a row; the
  // rows that remain are the other lines in file order. The empty end after a final newline is no
  // line. Fields are reported or counted as without it.

  // The same reader built line by line on standard streams and std::stod: simple and slow, kept as
  // the reference the fast reader is tested against.
  bool readAccelerometerMeasuresReference(std::string filepath);
  bool readAccelerometerMeasuresReference(std::string filepath, const CsvLayout& layout);

  // Calibrates the current measurements and overwrites the whole result record, also on failure.
  // With no rows, or more than kMaxRows, the core is not called and the result reads as failed
  // with a zero offset and matrix.
  void accCalibration(double tolerancePct, double moveMeanWindow, double diffThreshold,
                      double windowWidth, double deltaThresholdWindow);

  const ACCRESULT& getAccCalibResult() const { return mAccCalibResult; }
  const std::array<std::vector<double>, 3>& getAccelerometerMeasures() const {
    return mAccelerometerMeasures;
  }
  // Hands the measurement columns over to the caller, leaving the object without rows.
  std::array<std::vector<double>, 3> releaseAccelerometerMeasures() {
    return std::exchange(mAccelerometerMeasures, {});
  }
  // The columns of CsvLayout::more of the last read, in its order, handed over likewise.
  std::vector<std::vector<double>> releaseMoreMeasures() { return std::exchange(mMoreMeasures, {}); }
  ReadError readError() const { return mReadError; }
  int readErrno() const { return mReadErrno; }
  // The fields of the last read that did not convert, reported on standard error or not, and the
  // first of them (empty when there was none).
  std::uint64_t skippedFields() const { return mSkippedFields; }
  const std::string& firstSkippedField() const { return mFirstSkippedField; }
  // After a read that left lines out: the lines each row came from, sorted by row (empty when no
  // row was kept), how many lines were left out, the first of them (0-based; 0 when none) and its
  // first 120 bytes (a carriage return that ends it left off). After a read that kept every line:
  // no run (row r is line r), 0, 0 and "".
  const std::vector<LineRun>& lineRuns() const { return mLineRuns; }
  std::uint64_t linesWithoutReadings() const { return mLinesWithoutReadings; }
  std::uint64_t firstLineWithoutReadings() const { return mFirstLineWithoutReadings; }
  const std::string& firstLineWithoutReadingsText() const { return mFirstLineWithoutReadingsText; }

 private:
  // Records why a read failed and, when asked, says "Can not open csv file"; returns false.
  bool failRead(ReadError error, int err, bool message);
  // Starts a read: clears the error and the skipped-field count.
  void beginRead(const CsvLayout& layout);
  // Reads the text of fd from base to the end of the file.
  bool readDescriptor(int fd, std::uint64_t base, const CsvLayout& layout);
  // Reads what fd yields until its end: in place when it is a regular file, else copied first.
  bool readStream(int fd, const CsvLayout& layout);
  // Allocates the columns for the rows that newlines (per chunk of the text, turned into counts
  // before each chunk) describe, then parses the chunks of the text of size bytes: from data when
  // it holds the whole text, else from fd at base, each thread reading into its buffer.
  bool parseChunks(std::vector<std::uint64_t>& newlines, const char* data, int fd,
                   std::uint64_t base, std::uint64_t size, std::vector<std::vector<char>>& buffers,
                   const CsvLayout& layout);
  // The reference reader on an open stream.
  bool readStreamReference(std::istream& in, const CsvLayout& layout);

  ACCRESULT mAccCalibResult;
  std::array<std::vector<double>, 3> mAccelerometerMeasures;
  std::vector<std::vector<double>> mMoreMeasures;
  ReadError mReadError = ReadError::kNone;
  int mReadErrno = 0;
  bool mQuiet = false;
  std::uint64_t mSkippedFields = 0;
  std::string mFirstSkippedField;
  std::vector<LineRun> mLineRuns;
  std::uint64_t mLinesWithoutReadings = 0;
  std::uint64_t mFirstLineWithoutReadings = 0;
  std::string mFirstLineWithoutReadingsText;
};

#endif
