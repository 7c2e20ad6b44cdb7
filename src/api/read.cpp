// Reading a recording: the layout judged from its text, then the columns.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

std::vector<std::string> sampleFile(const std::string& path) {
  std::vector<std::string> lines;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return lines;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    std::string head(kHead, '\0');
    const ssize_t got = ::pread(fd, &head[0], kHead, 0);
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

// Fills the parts of the layout that are to be detected.
void detectLayout(const ReadOptions& options, Recording& rec) {
  rec.layout = options.layout;
  if (!options.detectDelimiter && !options.detectColumns) return;
  const an::LayoutGuess g = an::sniffLayout(rec.sampleLines);
  if (!g.ok) return;
  if (options.detectDelimiter) {
    rec.layout.delimiter = g.layout.delimiter;
    rec.layout.blanks = g.layout.blanks;
  }
  if (options.detectColumns) {
    for (int k = 0; k < 3; ++k)
      rec.layout.columns[static_cast<std::size_t>(k)] = g.layout.columns[k];
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
  std::array<std::vector<double>, 3> m = tools.releaseAccelerometerMeasures();
  rec.x = std::move(m[0]);
  rec.y = std::move(m[1]);
  rec.z = std::move(m[2]);
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
  Recording rec;
  if (path == "-") {
    std::string text;
    char block[1 << 16];
    for (;;) {
      const ssize_t got = ::read(STDIN_FILENO, block, sizeof block);
      if (got < 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        if (options.reportToStderr) std::fputs("Can not open csv file\n", stderr);
        throw Error(Error::Kind::kCannotRead, std::string("standard input: ") + std::strerror(err),
                    err);
      }
      if (got == 0) break;
      text.append(block, static_cast<std::size_t>(got));
    }
    Recording r = readRecordingFromText(text, options);
    return r;
  }
  rec.sampleLines = sampleFile(path);
  detectLayout(options, rec);
  if (!options.detectColumns && options.layout.columns != Layout().columns)
    checkColumnsReached(rec);
  ACCTOOLS tools;
  const bool ok =
      tools.readAccelerometerMeasures(path, toCsvLayout(rec.layout, options.reportToStderr));
  finishRead(tools, ok, path, rec);
  return rec;
}

Recording readRecordingFromText(const std::string& text, const ReadOptions& options) {
  Recording rec;
  rec.sampleLines = sampleText(text.data(), text.size());
  detectLayout(options, rec);
  if (!options.detectColumns && options.layout.columns != Layout().columns)
    checkColumnsReached(rec);
  ACCTOOLS tools;
  const bool ok = tools.readAccelerometerMeasuresFromBuffer(
      text.data(), text.size(), toCsvLayout(rec.layout, options.reportToStderr));
  finishRead(tools, ok, "standard input", rec);
  return rec;
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
