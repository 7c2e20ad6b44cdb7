// What the fuzz targets share: a report-and-abort for a broken invariant, bit comparison of
// doubles, the input's leading selector bytes, and a table of interesting numbers.
#ifndef TILTFIT_FUZZ_COMMON_H
#define TILTFIT_FUZZ_COMMON_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace fuzzing {

// A broken invariant: said on standard error, then abort() so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* target, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", target, what.c_str());
  std::abort();
}

inline bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
// Equal, or both NaN (whatever their payloads).
inline bool sameValue(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || sameBits(a, b);
}

// The front of an input: selector bytes taken one at a time (0 once the bytes run out), then the
// rest as the payload.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // A double: one of `table` picked by the next byte, or, for a byte past the table, the next
  // eight bytes as they are (NaNs, infinities, subnormals and all).
  double number(const double* table, std::size_t count) {
    const std::uint8_t b = byte();
    if (b < count) return table[b];
    double v = 0.0;
    if (at_ + 8 <= size_) {
      std::memcpy(&v, data_ + at_, 8);
      at_ += 8;
    }
    return v;
  }
  const char* rest() const { return reinterpret_cast<const char*>(data_ + at_); }
  std::size_t restSize() const { return size_ - at_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A small deterministic generator, for the split points of an input fed in pieces.
class Pieces {
 public:
  explicit Pieces(std::uint32_t seed) : state_(seed * 2654435761u + 1u) {}
  // The next piece's length: 1 .. limit.
  std::size_t next(std::size_t limit) {
    state_ = state_ * 1664525u + 1013904223u;
    return 1 + (state_ >> 8) % (limit == 0 ? 1 : limit);
  }

 private:
  std::uint32_t state_;
};

}  // namespace fuzzing

#endif
