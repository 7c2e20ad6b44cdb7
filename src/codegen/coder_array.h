// coder::array: the numeric library's resizable, column-major array of plain numbers.
//
// Element (i, j) of a 2-D array with R rows sits at linear index i + R * j (0-based).
// Sizes and indices are 32-bit signed ints, so an array holds at most 2147483647 elements.
//
// Growth rule: the first allocation holds at least 16 elements and the capacity doubles until it
// covers the request; once it passes 2^30 it jumps to 2147483647 instead of overflowing. Storage is
// never released or moved by shrinking. After set_size, every element at or beyond the previous
// element count reads zero; elements below it keep their values by linear index.
//
// There is no bounds checking: callers keep every index in 0 ... numel() - 1. Allocation failure
// propagates as std::bad_alloc. Arrays own their storage and cannot be copied or assigned, so no
// two arrays can ever free the same block.
#ifndef CODER_ARRAY_H
#define CODER_ARRAY_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace coder {
namespace detail {

// Asks the kernel to back a large, freshly allocated block with huge pages: first-touching
// hundreds of megabytes a 4 KiB page at a time costs more than the arithmetic done on them.
// Only a hint; it changes no value.
inline void adviseHugePages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::size_t kHuge = std::size_t{1} << 21;
  if (bytes < 4 * kHuge) return;
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
  if (last > first) {
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#else
  (void)p;
  (void)bytes;
#endif
}

template <typename T, typename SZ>
class data_ptr {
  static_assert(std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value,
                "the array holds plain numbers");

 public:
  data_ptr() = default;
  data_ptr(const data_ptr&) = delete;
  data_ptr& operator=(const data_ptr&) = delete;
  ~data_ptr() {
    if (owner_) {
      std::free(data_);
    }
  }

  SZ capacity() const { return capacity_; }
  SZ size() const { return size_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](SZ index) { return data_[index]; }
  const T& operator[](SZ index) const { return data_[index]; }

  // Grows the block to exactly n elements when it is shorter; the live elements are copied.
  // Blocks come zero-filled from calloc, which for large blocks costs nothing until each page is
  // first written; the elements past the live ones are then known to be zero already.
  void reserve(SZ n) {
    if (n > capacity_) {
      T* newData = static_cast<T*>(std::calloc(static_cast<std::size_t>(n), sizeof(T)));
      if (newData == nullptr) {
        throw std::bad_alloc();
      }
      adviseHugePages(newData, sizeof(T) * static_cast<std::size_t>(n));
      if (data_ != nullptr && size_ > 0) {
        std::memcpy(newData, data_, sizeof(T) * static_cast<std::size_t>(size_));
      }
      if (owner_) {
        std::free(data_);
      }
      data_ = newData;
      capacity_ = n;
      owner_ = true;
      tailZero_ = true;
    }
  }

  // Sets the live element count; elements newly exposed by growing are zeroed.
  void resize(SZ n) {
    const SZ old = size_;
    if (n > old) {
      reserve(n);
      size_ = n;
      if (data_ != nullptr && !tailZero_) {
        construct_last_n(data_, n - old);
      }
    } else {
      size_ = n;
      tailZero_ = false;  // the dropped elements keep their values
    }
  }

  // Value-initialises the last n of the first size_ elements at p.
  void construct_last_n(T* p, SZ n) {
    for (SZ k = size_ - n; k < size_; ++k) {
      p[k] = T();
    }
  }
  // The element types in use are trivially destructible.
  void destroy_last_n(T*, SZ) {}

 private:
  T* data_ = nullptr;
  SZ size_ = 0;
  SZ capacity_ = 0;
  bool owner_ = false;
  bool tailZero_ = false;  // every element from size_ to capacity_ is zero
};

}  // namespace detail

template <typename T, typename SZ, int N>
class array_base {
 public:
  using SizeType = SZ;

  array_base() {
    for (int k = 0; k < N; ++k) {
      size_[k] = 0;
    }
  }
  array_base(const array_base&) = delete;
  array_base& operator=(const array_base&) = delete;

  // Each argument is converted to SZ and stored as the length of one dimension, in order.
  template <typename... Dims>
  void set_size(Dims... dims) {
    static_assert(sizeof...(Dims) == N, "set_size takes one length per dimension");
    const SZ lengths[N] = {static_cast<SZ>(dims)...};
    for (int k = 0; k < N; ++k) {
      size_[k] = lengths[k];
    }
    ensureCapacity(numel());
  }

  SZ numel() const {
    // Computed wide so that an oversized request wraps instead of being undefined; callers keep
    // the product within SZ.
    long long n = 1;
    for (int k = 0; k < N; ++k) {
      n *= static_cast<long long>(size_[k]);
    }
    return static_cast<SZ>(n);
  }
  SZ size(int k) const { return size_[k]; }
  const SZ* size() const { return size_; }

  T& operator[](SZ index) { return data_[index]; }
  const T& operator[](SZ index) const { return data_[index]; }
  T* data() { return data_.data(); }
  const T* data() const { return data_.data(); }
  SZ capacity() const { return data_.capacity(); }

  // The capacity the growth rule picks for newNumel elements starting from capacity.
  static SZ nextCapacity(SZ capacity, SZ newNumel) {
    SZ i = capacity < 16 ? SZ(16) : capacity;
    while (i < newNumel) {
      if (i > 1073741823) {
        i = 2147483647;
      } else {
        i *= 2;
      }
    }
    return i;
  }

  void ensureCapacity(SZ newNumel) {
    if (newNumel > data_.capacity()) {
      data_.reserve(nextCapacity(data_.capacity(), newNumel));
    }
    data_.resize(newNumel);
  }

 protected:
  detail::data_ptr<T, SZ> data_;
  SZ size_[N];
};

template <typename T, int N>
class array : public array_base<T, int, N> {
 public:
  array() = default;
};

}  // namespace coder

#endif
