// Gzip decompression, the one inflater of every reader: a file decompressed into a temporary
// text, and a pipe or live source decompressed as it comes.
#ifndef TILTFIT_IO_INFLATER_H
#define TILTFIT_IO_INFLATER_H

#include <zlib.h>

#include <cstddef>
#include <string>

namespace tiltfit {
namespace io {

// Decompresses gzip data: one member or several in a row, as concatenated .gz files are. Bytes
// after a member that do not start another are ignored, as gzip ignores them. Memory is zlib's
// window and what the caller gives, whatever the data hold.
//
//   Inflater z(name);
//   while (more compressed bytes) {
//     z.give(data, n);
//     while (std::size_t got = z.take(out, sizeof out)) use(out, got);
//     if (z.ended()) break;
//   }
//   z.finish();
class Inflater {
 public:
  // name stands for the data in messages. Throws std::bad_alloc when zlib cannot start.
  explicit Inflater(std::string name);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // The next n compressed bytes; they must stay where they are until take() has returned 0.
  void give(const char* data, std::size_t n);
  // Decompresses into out, at most n bytes; returns how many. 0 when every byte given has been
  // taken in (give more) or the last member has ended (ended()). Throws Error (kCannotRead,
  // "NAME: the gzip data are damaged (REASON)") for data zlib refuses, std::bad_alloc when it runs
  // out of memory.
  std::size_t take(char* out, std::size_t n);
  // Bytes of the last give() not taken in yet (the output filled up first).
  std::size_t left() const { return inLeft_; }
  // The data are over: a member ended and what followed it starts no other.
  bool ended() const { return ended_; }
  // After the last byte of the input: throws Error (kCannotRead, "NAME: the gzip data end early:
  // the file is cut short") when a member has not ended.
  void finish();

 private:
  std::string name_;
  z_stream z_{};
  const char* in_ = nullptr;
  std::size_t inLeft_ = 0;
  std::string pending_;    // the start of what follows a member, too short to tell by
  bool between_ = false;   // a member has ended; whether another follows is not known yet
  bool inMember_ = false;  // a member has started and not ended
  bool ended_ = false;
};

}  // namespace io
}  // namespace tiltfit

#endif
