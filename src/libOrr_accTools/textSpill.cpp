#include "textSpill.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace tiltfit_csv {

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;

}  // namespace

SpilledText::~SpilledText() {
  if (fd_ >= 0) ::close(fd_);
}

bool SpilledText::open() {
  const char* folder = std::getenv("TMPDIR");
  const std::string dir = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  rlimit limit;
  fileLimit_ = ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                   ? static_cast<std::uint64_t>(limit.rlim_cur)
                   : std::numeric_limits<std::uint64_t>::max();
#ifdef O_TMPFILE
  fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ >= 0) return true;
#endif
  // Filesystems without O_TMPFILE: a named file, unlinked at once.
  std::string name = dir + "/tiltfit-XXXXXX";
  fd_ = ::mkostemp(&name[0], O_CLOEXEC);
  if (fd_ < 0) return false;
  ::unlink(name.c_str());
  return true;
}

int SpilledText::append(const char* data, std::size_t n) {
  if (n == 0) return 0;
  if (!tried_) {
    tried_ = true;
    if (!open()) fd_ = -1;
  }
  if (fd_ >= 0 && size_ + n > fileLimit_) {
    const int err = toMemory();
    if (err != 0) return err;
  }
  while (fd_ >= 0 && n > 0) {
    const ssize_t put = ::write(fd_, data, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      const int err = toMemory();
      if (err != 0) return err;
      break;
    }
    data += put;
    n -= static_cast<std::size_t>(put);
    size_ += static_cast<std::uint64_t>(put);
  }
  if (n > 0) appendToMemory(data, n);
  return 0;
}

int SpilledText::appendToEnd(int fd) {
  std::unique_ptr<char[]> block(new char[kBlock]);
  for (;;) {
    const ssize_t got = ::read(fd, block.get(), kBlock);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    const int err = append(block.get(), static_cast<std::size_t>(got));
    if (err != 0) return err;
  }
}

int SpilledText::toMemory() {
  const int fd = fd_;
  fd_ = -1;
  const std::uint64_t written = size_;
  size_ = 0;
  if (written > std::numeric_limits<std::size_t>::max() / 2) {
    ::close(fd);
    throw std::bad_alloc();
  }
  capacity_ = std::max(kBlock, static_cast<std::size_t>(written) * 2);
  memory_.reset(static_cast<char*>(std::malloc(capacity_)));
  if (!memory_) {
    ::close(fd);
    throw std::bad_alloc();
  }
  while (size_ < written) {
    const ssize_t got = ::pread(fd, memory_.get() + size_, static_cast<std::size_t>(written - size_),
                                static_cast<off_t>(size_));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int err = got < 0 ? errno : EIO;
      ::close(fd);
      return err;
    }
    size_ += static_cast<std::uint64_t>(got);
  }
  ::close(fd);
  return 0;
}

void SpilledText::appendToMemory(const char* data, std::size_t n) {
  const std::size_t used = static_cast<std::size_t>(size_);
  if (capacity_ - used < n) {
    std::size_t grown = std::max(kBlock, capacity_);
    while (grown - used < n) {
      if (grown > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
      grown *= 2;
    }
    // realloc moves large blocks with mremap: no copy, and no room for both sizes at once.
    char* moved = static_cast<char*>(std::realloc(memory_.get(), grown));
    if (moved == nullptr) throw std::bad_alloc();
    (void)memory_.release();
    memory_.reset(moved);
    capacity_ = grown;
  }
  std::memcpy(memory_.get() + used, data, n);
  size_ += n;
}

}  // namespace tiltfit_csv
