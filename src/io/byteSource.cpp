#include "byteSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "textKind.h"
#include "tiltfit/types.hpp"

namespace tiltfit {
namespace io {
namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;
constexpr std::size_t kJudged = 64 * 1024;  // bytes of the start judged for binary data

[[noreturn]] void cannotRead(const std::string& name, int err) {
  throw Error(Error::Kind::kCannotRead, name + ": " + std::strerror(err), err);
}

}  // namespace

std::unique_ptr<ByteSource> ByteSource::open(const std::string& path,
                                             const std::function<bool()>& stop) {
  if (path == "-") return std::make_unique<ByteSource>(STDIN_FILENO, "standard input", false);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR && !(stop && stop()));
  if (fd < 0) cannotRead(path, errno);
  auto source = std::make_unique<ByteSource>(fd, path, true);
  if (source->kind_ == Kind::kOther) {
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) cannotRead(path, EISDIR);
  }
  return source;
}

ByteSource::ByteSource(int fd, std::string name, bool own)
    : fd_(fd), name_(std::move(name)), own_(own) {
  struct stat info;
  if (::fstat(fd_, &info) == 0) {
    kind_ = S_ISREG(info.st_mode)    ? Kind::kRegular
            : S_ISFIFO(info.st_mode) ? Kind::kFifo
            : S_ISCHR(info.st_mode)  ? Kind::kDevice
                                     : Kind::kOther;
  }
}

ByteSource::~ByteSource() {
  if (own_) ::close(fd_);
}

void ByteSource::start(bool allowBinary) {
  raw_.resize(kBlock);
  fill();
  if (isGzip(raw_.data() + at_, avail_)) {
    z_ = std::make_unique<Inflater>(name_);
    return;
  }
  if (allowBinary) return;
  const std::string kind = binaryKind(raw_.data() + at_, std::min(avail_, kJudged));
  if (!kind.empty()) throw Error(Error::Kind::kNotText, notTextLine(name_, kind));
}

void ByteSource::fill() {
  if (ended_) return;
  if (at_ > 0) {
    std::memmove(raw_.data(), raw_.data() + at_, avail_);
    at_ = 0;
  }
  while (avail_ < raw_.size()) {
    const ssize_t got = ::read(fd_, raw_.data() + avail_, raw_.size() - avail_);
    if (got < 0) {
      if (errno == EINTR) continue;
      cannotRead(name_, errno);
    }
    if (got == 0) {
      ended_ = true;
      break;
    }
    avail_ += static_cast<std::size_t>(got);
    if (z_ || avail_ >= 2) break;  // enough to go on
  }
}

std::size_t ByteSource::read(char* out, std::size_t n) {
  if (!z_) {
    if (avail_ == 0) fill();
    const std::size_t k = std::min(n, avail_);
    std::memcpy(out, raw_.data() + at_, k);
    at_ += k;
    avail_ -= k;
    return k;
  }
  for (;;) {
    if (z_->ended()) return 0;
    z_->give(raw_.data() + at_, avail_);
    const std::size_t got = z_->take(out, n);
    // What the inflater did not take in yet is given again next time.
    at_ += avail_ - z_->left();
    avail_ = z_->left();
    if (got > 0) return got;
    if (z_->ended()) return 0;
    if (ended_) {
      z_->finish();
      return 0;
    }
    fill();
  }
}

}  // namespace io
}  // namespace tiltfit
