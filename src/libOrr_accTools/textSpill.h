// A text that can be read only once (a pipe, data being decompressed), kept so that the reader can
// read it again at any offset, as it reads a file.
#ifndef TILTFIT_TEXTSPILL_H
#define TILTFIT_TEXTSPILL_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace tiltfit_csv {

// The text goes to an unlinked temporary file in $TMPDIR (or /tmp when it is not set): there it
// costs page cache, which the system can write out and take back, instead of the process's memory,
// and the reader reads it twice with pread as it reads a regular file. When no temporary file can
// be made or written (no such folder, a full disk, a file size limit), the text is kept in memory
// instead, from the first byte, and costs its size, as it did before there was a file.
class SpilledText {
 public:
  SpilledText() = default;
  ~SpilledText();
  SpilledText(const SpilledText&) = delete;
  SpilledText& operator=(const SpilledText&) = delete;

  // Appends the n bytes at data. Returns 0, or the errno value of a failure to read the file back
  // into memory when it could not be written on. Throws std::bad_alloc when the text is held in
  // memory and memory runs out.
  int append(const char* data, std::size_t n);

  // Appends what fd yields with read() until its end. Returns 0, or the errno value of a read that
  // failed (the bytes before it are kept) or of append.
  int appendToEnd(int fd);

  std::uint64_t size() const { return size_; }
  // Where the text is after the last append: in the file fd() from offset 0 when fd() >= 0, else
  // at data() (nullptr when it is empty).
  int fd() const { return fd_; }
  const char* data() const { return memory_.get(); }

 private:
  struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
  };

  // Opens the temporary file; false when it cannot be made.
  bool open();
  // Moves the text from the file to memory and closes the file; returns 0 or an errno value.
  int toMemory();
  void appendToMemory(const char* data, std::size_t n);

  int fd_ = -1;
  bool tried_ = false;  // whether a file was asked for already
  // The largest file this process may write (RLIMIT_FSIZE): the text goes to memory before the
  // file would pass it, which would end the process with SIGXFSZ.
  std::uint64_t fileLimit_ = 0;
  std::uint64_t size_ = 0;
  std::unique_ptr<char, FreeDeleter> memory_;
  std::size_t capacity_ = 0;
};

}  // namespace tiltfit_csv

#endif
