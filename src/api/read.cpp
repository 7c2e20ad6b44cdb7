// Reading a recording: gzip data decompressed and other binary data told apart, the layout
// judged from its text, then the columns.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "apiInternal.h"
#include "csvLines.h"
#include "inflater.h"
#include "layoutSniff.h"
#include "libOrr_accTools.h"
#include "lineLayer.h"
#include "textKind.h"
#include "textSpill.h"

namespace tiltfit {
namespace {

namespace an = analysis;

constexpr std::size_t kHead = 64 * 1024;   // bytes of a text's start kept to judge its layout
constexpr int kProbes = 256;               // places after the start where one line is taken
constexpr std::size_t kProbeBytes = 1024;  // bytes read at each
constexpr std::size_t kBlock = std::size_t{1} << 20;  // bytes read or decompressed at a time

// A text to read: the size bytes of a file that allows pread from offset on (fd >= 0), or the
// size bytes at data.
struct Text {
  int fd = -1;
  std::uint64_t offset = 0;
  const char* data = nullptr;
  std::uint64_t size = 0;

  // Copies up to n bytes from position at into out; returns how many (fewer only at the end) or
  // -1 with errno set. A file is read to its end as it is now, which its size need not bound.
  ssize_t copy(std::uint64_t at, char* out, std::size_t n) const {
    if (fd < 0) {
      if (at >= size) return 0;
      n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size - at));
      if (n > 0) std::memcpy(out, data + at, n);
      return static_cast<ssize_t>(n);
    }
    std::size_t done = 0;
    while (done < n) {
      const ssize_t got = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + at + done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return -1;
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
  }

  static Text of(const tiltfit_csv::SpilledText& spilled) {
    Text t;
    t.fd = spilled.fd();
    t.data = spilled.data();
    t.size = spilled.size();
    return t;
  }
};

// Adds the first whole line of [at, at + n) of text, if it has one.
void addProbeLine(const char* at, std::size_t n, std::vector<std::string>& lines) {
  const void* nl = std::memchr(at, '\n', n);
  if (nl == nullptr) return;
  const char* begin = static_cast<const char*>(nl) + 1;
  const std::size_t rest = n - static_cast<std::size_t>(begin - at);
  const void* end = std::memchr(begin, '\n', rest);
  if (end == nullptr) return;  // only a line that ends inside the probe is whole
  const std::vector<std::string> one =
      io::splitLines(begin, static_cast<std::size_t>(static_cast<const char*>(end) - begin), 1);
  lines.insert(lines.end(), one.begin(), one.end());
}

// The first kHead bytes of a text (fewer when it is shorter or cannot be read).
std::string headOf(const Text& text) {
  std::string head(kHead, '\0');
  const ssize_t got = text.copy(0, &head[0], kHead);
  head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return head;
}

// The lines of the head of a text and one line from each of kProbes places after it, in text
// order, so that a time column still only grows.
std::vector<std::string> sampleText(const Text& text, const std::string& head) {
  std::vector<std::string> lines = io::splitLines(head.data(), head.size(), 400);
  if (text.size > kHead) {
    std::string probe(kProbeBytes, '\0');
    const std::uint64_t span = text.size - kHead;
    for (int p = 0; p < kProbes; ++p) {
      const std::uint64_t at = kHead + span / kProbes * static_cast<std::uint64_t>(p);
      const ssize_t n = text.copy(at, &probe[0], kProbeBytes);
      if (n <= 0) break;
      addProbeLine(probe.data(), static_cast<std::size_t>(n), lines);
    }
  }
  return lines;
}

// Reads into block until it holds at least want bytes or fd ends; returns the bytes held, or -1
// with errno set.
ssize_t readAtLeast(int fd, char* block, std::size_t capacity, std::size_t want) {
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = ::read(fd, block + got, capacity - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// The text that the gzip data of a text decompress to, in out. Bytes after the last member are
// ignored, as gzip ignores them.
void gunzip(const Text& packed, const std::string& name, tiltfit_csv::SpilledText& out) {
  io::Inflater z(name);
  std::unique_ptr<char[]> in(new char[kBlock]);
  std::unique_ptr<char[]> plain(new char[kBlock]);
  for (std::uint64_t at = 0; !z.ended();) {
    const ssize_t got = packed.copy(at, in.get(), kBlock);
    if (got < 0) {
      const int err = errno;
      throw Error(Error::Kind::kCannotRead, name + ": " + std::strerror(err), err);
    }
    if (got == 0) break;
    at += static_cast<std::uint64_t>(got);
    z.give(in.get(), static_cast<std::size_t>(got));
    while (const std::size_t n = z.take(plain.get(), kBlock)) {
      if (const int err = out.append(plain.get(), n)) {
        throw Error(Error::Kind::kCannotRead, name + ": " + std::strerror(err), err);
      }
    }
  }
  z.finish();
}

// Fills the parts of the layout that are to be detected.
void detectColumns(const ReadOptions& options, Recording& rec) {
  rec.layout = options.layout;
  if (!options.detectDelimiter && !options.detectColumns) return;
  const an::LayoutGuess g =
      an::sniffLayout(rec.sampleLines, options.detectDelimiter ? nullptr : &options.layout);
  if (!g.ok) {
    if (options.detectColumns) {
      rec.columnsReason = "the first three fields, as the text shows no three columns of numbers";
    }
    return;
  }
  if (options.detectDelimiter) {
    rec.layout.delimiter = g.layout.delimiter;
    rec.layout.blanks = g.layout.blanks;
  }
  if (options.detectColumns) {
    for (int k = 0; k < 3; ++k)
      rec.layout.columns[static_cast<std::size_t>(k)] = g.layout.columns[k];
    rec.columnsReason = g.reason;
    rec.unitsInHeader = g.units;
  }
}

// The layout, and the names the header gives the columns chosen.
void detectLayout(const ReadOptions& options, Recording& rec) {
  detectColumns(options, rec);
  if (options.detectGyro || rec.layout.hasGyro()) {
    const an::ImuGuess g = an::sniffImu(rec.sampleLines, rec.layout);
    rec.rateFromHeader = g.rateHz;
    rec.rateLine = g.rateLine;
    if (!rec.layout.hasGyro() && g.gyro) {
      for (std::size_t k = 0; k < 3; ++k) {
        rec.layout.gyroColumns[k] = g.gyroColumns[k];
        rec.gyroNames[k] = g.gyroNames[k];
      }
      rec.gyroReason = g.gyroReason;
      rec.gyroUnitsInHeader = g.gyroUnits;
    }
    if (rec.layout.hasGyro() && rec.layout.timeColumn == 0 && g.timeColumn > 0) {
      rec.layout.timeColumn = g.timeColumn;
      rec.layout.timeIsCounter = g.counter;
      rec.timeName = g.timeName;
      rec.timeReason = g.timeReason;
      rec.timeUnitsInHeader = g.timeUnits;
    }
  }
  const auto& c = rec.layout.columns;
  const std::vector<std::string> names =
      an::headerNames(rec.sampleLines, rec.layout, {c[0], c[1], c[2]});
  for (std::size_t k = 0; k < names.size() && k < 3; ++k) rec.columnNames[k] = names[k];
}

// Refuses columns that no line of the text reaches: they would leave every sample at zero. Only
// for columns chosen by hand; with the default ones a wrong delimiter is the likelier cause, which
// the diagnosis of the failed calibration names.
void checkColumnsReached(const Recording& rec) {
  const int wanted = *std::max_element(rec.layout.columns.begin(), rec.layout.columns.end());
  std::size_t most = 0;
  const io::Separator sep{rec.layout.delimiter, rec.layout.blanks};
  for (const std::string& line : rec.sampleLines) {
    if (line.empty()) continue;
    most = std::max(most, io::countFields(line.data(), line.data() + line.size(), sep));
  }
  if (most > 0 && static_cast<std::size_t>(wanted) > most) {
    throw Error(Error::Kind::kInvalidArgument,
                "column " + std::to_string(wanted) + " is past the end of the lines, which have " +
                    std::to_string(most) + (most == 1 ? " field" : " fields"));
  }
}

CsvLayout toCsvLayout(const Layout& layout, bool report) {
  CsvLayout c;
  for (int k = 0; k < 3; ++k) {
    c.columns[k] = layout.columns[static_cast<std::size_t>(k)];
    if (c.columns[k] < 1) throw Error(Error::Kind::kInvalidArgument, "column numbers start at 1");
  }
  if (!layout.blanks && (layout.delimiter == '\n' || layout.delimiter == '\r')) {
    throw Error(Error::Kind::kInvalidArgument, "a line end cannot separate fields");
  }
  c.delimiter = layout.delimiter;
  c.blanks = layout.blanks;
  c.quietHeaders = !report;
  return c;
}

CsvLayout toCsvLayout(const Layout& layout, const ReadOptions& options) {
  CsvLayout c = toCsvLayout(layout, options.reportToStderr);
  c.dropLinesWithoutReadings = !options.keepLinesWithoutReadings;
  if (layout.hasGyro()) {
    c.more.assign(layout.gyroColumns.begin(), layout.gyroColumns.end());
    if (layout.timeColumn > 0) c.more.push_back(layout.timeColumn);
  }
  c.maxRows = options.limitRowsToCore ? ACCTOOLS::kMaxRows : ACCTOOLS::kMaxLines;
  return c;
}

// Moves the columns out of the reader, or throws why it failed.
void finishRead(ACCTOOLS& tools, bool ok, const std::string& path, const CsvLayout& layout,
                Recording& rec) {
  if (!ok) {
    if (tools.readError() == ACCTOOLS::ReadError::kTooManyRows) {
      throw Error(Error::Kind::kTooManyRows,
                  path + " has more than " + std::to_string(layout.maxRows - 1) +
                      " lines, more than the tool can hold",
                  tools.readErrno());
    }
    throw Error(Error::Kind::kCannotRead, path + ": " + std::strerror(tools.readErrno()),
                tools.readErrno());
  }
  rec.skippedFields = tools.skippedFields();
  rec.firstSkippedField = tools.firstSkippedField();
  rec.linesWithoutReadings = tools.linesWithoutReadings();
  rec.firstLineWithoutReadings =
      rec.linesWithoutReadings > 0 ? tools.firstLineWithoutReadings() + 1 : 0;
  rec.firstLineWithoutReadingsText = tools.firstLineWithoutReadingsText();
  const std::vector<ACCTOOLS::LineRun>& runs = tools.lineRuns();
  rec.lineRuns.reserve(runs.size());
  for (const ACCTOOLS::LineRun& r : runs)
    rec.lineRuns.push_back(LineRun{r.row, r.line + 1, r.step});
  std::array<std::vector<double>, 3> m = tools.releaseAccelerometerMeasures();
  rec.x = std::move(m[0]);
  rec.y = std::move(m[1]);
  rec.z = std::move(m[2]);
  std::vector<std::vector<double>> more = tools.releaseMoreMeasures();
  if (more.size() >= 3) {
    rec.gx = std::move(more[0]);
    rec.gy = std::move(more[1]);
    rec.gz = std::move(more[2]);
    if (more.size() >= 4) rec.t = std::move(more[3]);
  }
}

// Reads a text; name stands for it in messages. Gzip data are decompressed once: what they hold
// is read as it is (a gzip file can hold itself).
Recording readText(const Text& text, const std::string& name, const ReadOptions& options,
                   bool unpacked = false) {
  const std::string head = headOf(text);
  if (!options.keepLinesWithoutReadings) {
    if (!unpacked && io::isGzip(head.data(), head.size())) {
      tiltfit_csv::SpilledText plain;
      gunzip(text, name, plain);
      Recording rec = readText(Text::of(plain), name, options, true);
      rec.gzip = true;
      return rec;
    }
    const std::string kind = io::binaryKind(head.data(), head.size());
    if (!kind.empty()) throw Error(Error::Kind::kNotText, io::notTextLine(name, kind));
  }
  Recording rec;
  if (options.keepLinesWithoutReadings) rec.notText = io::binaryKind(head.data(), head.size());
  rec.sampleLines = sampleText(text, head);
  detectLayout(options, rec);
  if (!options.detectColumns && options.layout.columns != Layout().columns)
    checkColumnsReached(rec);
  ACCTOOLS tools;
  const CsvLayout layout = toCsvLayout(rec.layout, options);
  const bool ok = text.fd >= 0
                      ? tools.readAccelerometerMeasuresFromDescriptor(text.fd, text.offset, layout)
                      : tools.readAccelerometerMeasuresFromBuffer(
                            text.data, static_cast<std::size_t>(text.size), layout);
  finishRead(tools, ok, name, layout, rec);
  return rec;
}

// Fails a read of a stream as an unreadable file does.
[[noreturn]] void cannotRead(const std::string& name, int err, const ReadOptions& options) {
  if (options.reportToStderr) std::fputs("Can not open csv file\n", stderr);
  throw Error(Error::Kind::kCannotRead, name + ": " + std::strerror(err), err);
}

// Reads what fd yields until its end (standard input, a named pipe). A regular file is read in
// place from where it stands; anything else can be read only once and is kept in a temporary file
// (see SpilledText), its gzip data decompressed as they come.
Recording readStream(int fd, const std::string& name, const ReadOptions& options) {
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at >= 0) {
      Text text;
      text.fd = fd;
      text.offset = static_cast<std::uint64_t>(at);
      text.size = static_cast<std::uint64_t>(std::max<off_t>(info.st_size - at, 0));
      Recording rec = readText(text, name, options);
      ::lseek(fd, 0, SEEK_END);  // read to the end, as read() would leave it
      return rec;
    }
  }
  std::unique_ptr<char[]> block(new char[kBlock]);
  ssize_t got = readAtLeast(fd, block.get(), kBlock, 2);
  if (got < 0) cannotRead(name, errno, options);
  tiltfit_csv::SpilledText text;
  if (!options.keepLinesWithoutReadings && io::isGzip(block.get(), static_cast<std::size_t>(got))) {
    tiltfit_csv::SpilledText plain;
    {
      io::Inflater z(name);
      std::unique_ptr<char[]> out(new char[kBlock]);
      // Bytes after the last member are read all the same, as the whole input always was.
      while (got > 0) {
        if (!z.ended()) {
          z.give(block.get(), static_cast<std::size_t>(got));
          while (const std::size_t n = z.take(out.get(), kBlock)) {
            if (const int err = plain.append(out.get(), n)) cannotRead(name, err, options);
          }
        }
        got = readAtLeast(fd, block.get(), kBlock, 1);
      }
      if (got < 0) cannotRead(name, errno, options);
      z.finish();
    }
    Recording rec = readText(Text::of(plain), name, options, true);
    rec.gzip = true;
    return rec;
  }
  int err = text.append(block.get(), static_cast<std::size_t>(got));
  block.reset();
  if (err == 0) err = text.appendToEnd(fd);
  if (err != 0) cannotRead(name, err, options);
  return readText(Text::of(text), name, options);
}

}  // namespace

Recording readRecording(const std::string& path, const ReadOptions& options) {
  if (path == "-") return readStream(STDIN_FILENO, "standard input", options);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) cannotRead(path, errno, options);
  struct Close {
    int fd;
    ~Close() { ::close(fd); }
  } close{fd};
  struct stat info;
  const bool known = ::fstat(fd, &info) == 0;
  if (known && S_ISFIFO(info.st_mode)) return readStream(fd, path, options);
  // Other files that are not regular (a directory, a device) are tried as they are, and fail or
  // read as empty as the reader finds them.
  Text text;
  text.fd = fd;
  text.size = known && S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
  return readText(text, path, options);
}

Recording readRecordingFromText(const std::string& text, const ReadOptions& options) {
  Text t;
  t.data = text.data();
  t.size = text.size();
  return readText(t, "standard input", options);
}

std::vector<LineRun> lineRunsOf(const std::int64_t* lines, std::size_t n) {
  tiltfit_csv::LineRunBuilder builder;
  for (std::size_t r = 0; r < n; ++r) {
    if (lines[r] < 1 || lines[r] > 0xFFFFFFFFLL || (r > 0 && lines[r] <= lines[r - 1])) {
      throw Error(Error::Kind::kInvalidArgument, "lines must be increasing line numbers from 1 up");
    }
    builder.keep(static_cast<std::uint64_t>(lines[r]));
  }
  std::vector<LineRun> runs;
  for (const auto& run : builder.runs()) runs.push_back(LineRun{run.row, run.line, run.step});
  return runs;
}

std::string delimiterFromName(const std::string& text, Layout& layout) {
  io::Separator sep;
  const std::string why = io::separatorFromName(text, sep);
  if (why.empty()) {
    layout.delimiter = sep.delimiter;
    layout.blanks = sep.blanks;
  }
  return why;
}

std::string delimiterName(const Layout& layout) {
  return io::separatorName(io::Separator{layout.delimiter, layout.blanks});
}

std::uint64_t Recording::lineOf(std::size_t row) const {
  const auto after =
      std::upper_bound(lineRuns.begin(), lineRuns.end(), row,
                       [](std::size_t r, const LineRun& run) { return r < run.row; });
  if (after == lineRuns.begin()) return row + 1;
  const LineRun& run = *(after - 1);
  return run.line + std::uint64_t{run.step} * (row - run.row);
}

Recording makeRecording(std::vector<double> x, std::vector<double> y, std::vector<double> z) {
  if (x.size() != y.size() || x.size() != z.size()) {
    throw Error(Error::Kind::kInvalidArgument, "x, y and z must hold as many samples each");
  }
  if (x.size() > ACCTOOLS::kMaxRows) {
    throw Error(Error::Kind::kTooManyRows, "more samples than the tool can hold");
  }
  Recording rec;
  rec.x = std::move(x);
  rec.y = std::move(y);
  rec.z = std::move(z);
  return rec;
}

}  // namespace tiltfit

namespace tiltfit {
namespace api {

void detectLayoutOf(const ReadOptions& options, Recording& rec) { detectLayout(options, rec); }

}  // namespace api
}  // namespace tiltfit
