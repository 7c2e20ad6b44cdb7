#include "recordingSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "layoutSniff.h"
#include "tiltfitMain.h"

namespace tiltfit {
namespace cli {
namespace {

constexpr std::size_t kHead = 64 * 1024;   // bytes read from the start of a file
constexpr int kProbes = 256;               // places across a long file where a line is taken
constexpr std::size_t kProbeBytes = 1024;  // bytes read at each

}  // namespace

RecordingSource::RecordingSource(std::string path) : path_(std::move(path)) {
  if (!isStdin()) return;
  char block[1 << 16];
  for (;;) {
    const ssize_t got = ::read(0, block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      stdinErrno_ = errno;
      break;
    }
    if (got == 0) break;
    bytes_.append(block, static_cast<std::size_t>(got));
  }
}

std::vector<std::string> RecordingSource::sampleLines() const {
  if (isStdin()) {
    std::vector<std::string> lines =
        analysis::splitLines(bytes_.data(), std::min(bytes_.size(), kHead), 400);
    if (bytes_.size() > kHead) {
      // Lines after the head, in file order, so that a time column still only grows.
      const std::size_t span = bytes_.size() - kHead;
      for (int p = 0; p < kProbes; ++p) {
        std::size_t at = kHead + span / kProbes * static_cast<std::size_t>(p);
        const std::size_t nl = bytes_.find('\n', at);
        if (nl == std::string::npos) break;
        const std::vector<std::string> one = analysis::splitLines(
            bytes_.data() + nl + 1, std::min(kProbeBytes, bytes_.size() - nl - 1), 1);
        lines.insert(lines.end(), one.begin(), one.end());
      }
    }
    return lines;
  }
  std::vector<std::string> lines;
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return lines;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return lines;
  }
  std::string head(kHead, '\0');
  const ssize_t got = ::pread(fd, &head[0], kHead, 0);
  if (got > 0) lines = analysis::splitLines(head.data(), static_cast<std::size_t>(got), 400);
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  if (size > kHead) {
    std::string probe(kProbeBytes, '\0');
    const std::size_t span = size - kHead;
    for (int p = 0; p < kProbes; ++p) {
      const std::size_t at = kHead + span / kProbes * static_cast<std::size_t>(p);
      const ssize_t n = ::pread(fd, &probe[0], kProbeBytes, static_cast<off_t>(at));
      if (n <= 0) break;
      const std::size_t nl = probe.find('\n');
      if (nl == std::string::npos || nl + 1 >= static_cast<std::size_t>(n)) continue;
      // Only a line that ends inside the probe is whole.
      const std::size_t end = probe.find('\n', nl + 1);
      if (end == std::string::npos || end >= static_cast<std::size_t>(n)) continue;
      const std::vector<std::string> one =
          analysis::splitLines(probe.data() + nl + 1, end - nl - 1, 1);
      lines.insert(lines.end(), one.begin(), one.end());
    }
  }
  ::close(fd);
  return lines;
}

int RecordingSource::read(ACCTOOLS& tools, const CsvLayout& layout) const {
  bool ok;
  if (isStdin()) {
    if (stdinErrno_ != 0) {
      std::fputs("Can not open csv file\n", stderr);
      std::fprintf(stderr, "tiltfit: standard input: %s\n", std::strerror(stdinErrno_));
      return kCannotRead;
    }
    ok = tools.readAccelerometerMeasuresFromBuffer(bytes_.data(), bytes_.size(), layout);
  } else {
    ok = tools.readAccelerometerMeasures(path_, layout);
  }
  if (ok) return kSuccess;
  if (tools.readError() == ACCTOOLS::ReadError::kTooManyRows) {
    std::fprintf(stderr, "tiltfit: %s has more than %llu lines, more than the tool can hold\n",
                 path_.c_str(), static_cast<unsigned long long>(ACCTOOLS::kMaxRows - 1));
    return kTooManyRows;
  }
  std::fprintf(stderr, "tiltfit: %s: %s\n", path_.c_str(), std::strerror(tools.readErrno()));
  return kCannotRead;
}

}  // namespace cli
}  // namespace tiltfit
