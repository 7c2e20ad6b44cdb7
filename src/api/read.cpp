// Reading a recording: gzip data decompressed and other binary data told apart, the layout
// judged from its text, then the columns.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "apiInternal.h"
#include "layoutSniff.h"
#include "libOrr_accTools.h"

namespace tiltfit {
namespace {

namespace an = analysis;

constexpr std::size_t kHead = 64 * 1024;   // bytes of a text's start kept to judge its layout
constexpr int kProbes = 256;               // places after the start where one line is taken
constexpr std::size_t kProbeBytes = 1024;  // bytes read at each

// Adds the first whole line of [at, at + n) of text, if it has one.
void addProbeLine(const char* at, std::size_t n, std::vector<std::string>& lines) {
  const void* nl = std::memchr(at, '\n', n);
  if (nl == nullptr) return;
  const char* begin = static_cast<const char*>(nl) + 1;
  const std::size_t rest = n - static_cast<std::size_t>(begin - at);
  const void* end = std::memchr(begin, '\n', rest);
  if (end == nullptr) return;  // only a line that ends inside the probe is whole
  const std::vector<std::string> one =
      an::splitLines(begin, static_cast<std::size_t>(static_cast<const char*>(end) - begin), 1);
  lines.insert(lines.end(), one.begin(), one.end());
}

// The head of a text and one line from each of kProbes places after it, in text order, so that a
// time column still only grows.
std::vector<std::string> sampleText(const char* text, std::size_t size) {
  std::vector<std::string> lines = an::splitLines(text, std::min(size, kHead), 400);
  if (size > kHead) {
    const std::size_t span = size - kHead;
    for (int p = 0; p < kProbes; ++p) {
      const std::size_t at = kHead + span / kProbes * static_cast<std::size_t>(p);
      addProbeLine(text + at, std::min(kProbeBytes, size - at), lines);
    }
  }
  return lines;
}

// The sample lines of a regular file; head receives its first kHead bytes.
std::vector<std::string> sampleFile(const std::string& path, std::string& head) {
  std::vector<std::string> lines;
  head.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return lines;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    head.assign(kHead, '\0');
    const ssize_t got = ::pread(fd, &head[0], kHead, 0);
    head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    if (got > 0) lines = an::splitLines(head.data(), static_cast<std::size_t>(got), 400);
    const std::size_t size = static_cast<std::size_t>(info.st_size);
    if (size > kHead) {
      std::string probe(kProbeBytes, '\0');
      const std::size_t span = size - kHead;
      for (int p = 0; p < kProbes; ++p) {
        const std::size_t at = kHead + span / kProbes * static_cast<std::size_t>(p);
        const ssize_t n = ::pread(fd, &probe[0], kProbeBytes, static_cast<off_t>(at));
        if (n <= 0) break;
        addProbeLine(probe.data(), static_cast<std::size_t>(n), lines);
      }
    }
  }
  ::close(fd);
  return lines;
}

// Reads fd to its end; returns 0 or an errno value.
int readAll(int fd, std::string& out) {
  char block[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    out.append(block, static_cast<std::size_t>(got));
  }
}

// The text that gzip data (one member or several in a row, as concatenated .gz files are)
// decompress to. Bytes after the last member are ignored, as gzip ignores them. Throws Error
// (kCannotRead) for damaged or cut data, std::bad_alloc when memory runs out.
std::string gunzip(const char* data, std::size_t size, const std::string& name) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  struct End {
    z_stream* z;
    ~End() { inflateEnd(z); }
  } end{&z};
  // zlib counts in 32 bits: it is fed and emptied at most kStep bytes at a time.
  constexpr std::size_t kStep = std::size_t{1} << 30;
  std::string out(std::max<std::size_t>(std::size_t{1} << 16, size * 4), '\0');
  std::size_t in = 0;
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) out.resize(out.size() * 2);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data + in));
    z.avail_in = static_cast<uInt>(std::min(size - in, kStep));
    z.next_out = reinterpret_cast<Bytef*>(&out[used]);
    z.avail_out = static_cast<uInt>(std::min(out.size() - used, kStep));
    const uInt inBefore = z.avail_in;
    const uInt outBefore = z.avail_out;
    const int r = inflate(&z, Z_NO_FLUSH);
    in += inBefore - z.avail_in;
    used += outBefore - z.avail_out;
    if (r == Z_STREAM_END) {
      if (an::isGzip(data + in, size - in)) {
        inflateReset(&z);
        continue;
      }
      break;
    }
    if (r == Z_MEM_ERROR) throw std::bad_alloc();
    if (r == Z_DATA_ERROR || r == Z_NEED_DICT || r == Z_STREAM_ERROR) {
      throw Error(Error::Kind::kCannotRead,
                  name + ": the gzip data are damaged (" +
                      (z.msg != nullptr ? std::string(z.msg) : std::string("zlib error")) + ")");
    }
    // No progress with room left for output: the input has run out before the data's end.
    if (r == Z_BUF_ERROR && in == size) {
      throw Error(Error::Kind::kCannotRead,
                  name + ": the gzip data end early: the file is cut short");
    }
  }
  out.resize(used);
  return out;
}

// The one line that says a file is no text, and what to do.
std::string notTextMessage(const std::string& name, const std::string& kind) {
  if (kind == "UTF-16 text")
    return name + " is UTF-16 text, which tiltfit does not read: save it as UTF-8";
  std::string what = "give the recording as CSV text";
  if (kind == "zip data") what = "unpack it and give the CSV file it holds";
  if (kind == "xz data" || kind == "bzip2 data" || kind == "zstd data") {
    what = "decompress it first (tiltfit reads text, and gzip-compressed text)";
  }
  return name + " is not text but " + kind + ": " + what;
}

// Fills the parts of the layout that are to be detected.
void detectLayout(const ReadOptions& options, Recording& rec) {
  rec.layout = options.layout;
  if (!options.detectDelimiter && !options.detectColumns) return;
  an::Layout given;
  given.delimiter = options.layout.delimiter;
  given.blanks = options.layout.blanks;
  const an::LayoutGuess g =
      an::sniffLayout(rec.sampleLines, options.detectDelimiter ? nullptr : &given);
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

// Refuses columns that no line of the text reaches: they would leave every sample at zero. Only
// for columns chosen by hand; with the default ones a wrong delimiter is the likelier cause, which
// the diagnosis of the failed calibration names.
void checkColumnsReached(const Recording& rec) {
  const int wanted = *std::max_element(rec.layout.columns.begin(), rec.layout.columns.end());
  int most = 0;
  for (const std::string& line : rec.sampleLines) {
    int fields = 0;
    if (rec.layout.blanks) {
      bool inField = false;
      for (char c : line) {
        const bool blank = c == ' ' || c == '\t' || c == '\r';
        if (!blank && !inField) ++fields;
        inField = !blank;
      }
    } else {
      fields =
          line.empty()
              ? 0
              : 1 + static_cast<int>(std::count(line.begin(), line.end(), rec.layout.delimiter));
    }
    most = std::max(most, fields);
  }
  if (most > 0 && wanted > most) {
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
  return c;
}

// Moves the columns out of the reader, or throws why it failed.
void finishRead(ACCTOOLS& tools, bool ok, const std::string& path, Recording& rec) {
  if (!ok) {
    if (tools.readError() == ACCTOOLS::ReadError::kTooManyRows) {
      throw Error(Error::Kind::kTooManyRows,
                  path + " has more than " + std::to_string(ACCTOOLS::kMaxRows - 1) +
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
}

// Reads a text held in memory; name stands for it in messages. Gzip data are decompressed once:
// what they hold is read as it is (a gzip file can hold itself).
Recording readText(const char* text, std::size_t size, const std::string& name,
                   const ReadOptions& options, bool unpacked = false) {
  const std::size_t head = std::min(size, kHead);
  if (!options.keepLinesWithoutReadings) {
    if (!unpacked && an::isGzip(text, head)) {
      const std::string plain = gunzip(text, size, name);
      Recording rec = readText(plain.data(), plain.size(), name, options, true);
      rec.gzip = true;
      return rec;
    }
    const std::string kind = an::binaryKind(text, head);
    if (!kind.empty()) throw Error(Error::Kind::kNotText, notTextMessage(name, kind));
  }
  Recording rec;
  if (options.keepLinesWithoutReadings) rec.notText = an::binaryKind(text, head);
  rec.sampleLines = sampleText(text, size);
  detectLayout(options, rec);
  if (!options.detectColumns && options.layout.columns != Layout().columns)
    checkColumnsReached(rec);
  ACCTOOLS tools;
  const bool ok =
      tools.readAccelerometerMeasuresFromBuffer(text, size, toCsvLayout(rec.layout, options));
  finishRead(tools, ok, name, rec);
  return rec;
}

}  // namespace

namespace api {

an::Layout toAnalysisLayout(const Layout& l) {
  an::Layout a;
  a.delimiter = l.delimiter;
  a.blanks = l.blanks;
  for (int k = 0; k < 3; ++k) a.columns[k] = l.columns[static_cast<std::size_t>(k)];
  return a;
}

}  // namespace api

Recording readRecording(const std::string& path, const ReadOptions& options) {
  if (path == "-") {
    std::string text;
    const int err = readAll(STDIN_FILENO, text);
    if (err != 0) {
      if (options.reportToStderr) std::fputs("Can not open csv file\n", stderr);
      throw Error(Error::Kind::kCannotRead, std::string("standard input: ") + std::strerror(err),
                  err);
    }
    return readText(text.data(), text.size(), "standard input", options);
  }
  Recording rec;
  std::string head;
  rec.sampleLines = sampleFile(path, head);
  if (!options.keepLinesWithoutReadings) {
    if (an::isGzip(head.data(), head.size())) {
      std::string packed;
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      const int err = fd < 0 ? errno : readAll(fd, packed);
      if (fd >= 0) ::close(fd);
      if (err != 0) throw Error(Error::Kind::kCannotRead, path + ": " + std::strerror(err), err);
      return readText(packed.data(), packed.size(), path, options);
    }
    const std::string kind = an::binaryKind(head.data(), head.size());
    if (!kind.empty()) throw Error(Error::Kind::kNotText, notTextMessage(path, kind));
  } else {
    rec.notText = an::binaryKind(head.data(), head.size());
  }
  detectLayout(options, rec);
  if (!options.detectColumns && options.layout.columns != Layout().columns)
    checkColumnsReached(rec);
  ACCTOOLS tools;
  const bool ok = tools.readAccelerometerMeasures(path, toCsvLayout(rec.layout, options));
  finishRead(tools, ok, path, rec);
  return rec;
}

Recording readRecordingFromText(const std::string& text, const ReadOptions& options) {
  return readText(text.data(), text.size(), "standard input", options);
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

std::string notTextLine(const std::string& name, const std::string& kind) {
  return notTextMessage(name, kind);
}

}  // namespace api
}  // namespace tiltfit
