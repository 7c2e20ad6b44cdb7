// The bytes of a recording as they come: a file, standard input, a pipe, a named pipe or a serial
// device, gzip data decompressed with the one inflater. Readers that go through a text once
// (--auto's stream, --apply, the Python module's reads) take their bytes from here.
#ifndef TILTFIT_IO_BYTESOURCE_H
#define TILTFIT_IO_BYTESOURCE_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "inflater.h"

namespace tiltfit {
namespace io {

class ByteSource {
 public:
  enum class Kind { kRegular, kFifo, kDevice, kOther };

  // Opens path for reading; "-" is standard input, which is read but never closed. A named pipe's
  // open waits for its writer: after each interrupted wait, stop() (when given) is asked and ends
  // the wait when it returns true. Throws Error (kCannotRead, "PATH: REASON", with the errno) when
  // the path cannot be opened or is a directory.
  static std::unique_ptr<ByteSource> open(const std::string& path,
                                          const std::function<bool()>& stop = {});
  // A source of an open descriptor; own: close it afterwards.
  ByteSource(int fd, std::string name, bool own);
  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }  // "standard input" for "-"
  Kind kind() const { return kind_; }

  // Reads the first bytes and judges them: gzip data are decompressed from then on; other data
  // that are no text throw Error (kNotText, notTextLine) unless allowBinary. Call once, first.
  void start(bool allowBinary = false);
  bool gzip() const { return z_ != nullptr; }
  // Up to n bytes of text at out, as many as one read gives; 0 at the end. Throws Error
  // (kCannotRead) for a read that fails or gzip data that are damaged or cut short.
  std::size_t read(char* out, std::size_t n);

 private:
  void fill();  // reads more raw bytes after those held

  int fd_;
  std::string name_;
  bool own_;
  Kind kind_ = Kind::kOther;
  std::vector<char> raw_;
  std::size_t at_ = 0;
  std::size_t avail_ = 0;
  bool ended_ = false;
  std::unique_ptr<Inflater> z_;
};

}  // namespace io
}  // namespace tiltfit

#endif
