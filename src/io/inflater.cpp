#include "inflater.h"

#include <algorithm>
#include <new>
#include <utility>

#include "textKind.h"
#include "tiltfit/types.hpp"

namespace tiltfit {
namespace io {
namespace {

// zlib counts in 32 bits: it is given at most this much at a time.
constexpr std::size_t kStep = std::size_t{1} << 30;

}  // namespace

Inflater::Inflater(std::string name) : name_(std::move(name)) {
  if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
}

Inflater::~Inflater() { inflateEnd(&z_); }

void Inflater::give(const char* data, std::size_t n) {
  in_ = data;
  inLeft_ = n;
}

std::size_t Inflater::take(char* out, std::size_t n) {
  while (!ended_) {
    if (between_) {
      // Another member follows only where the next two bytes start one.
      while (pending_.size() < 2 && inLeft_ > 0) {
        pending_.push_back(*in_++);
        --inLeft_;
      }
      if (pending_.size() < 2) return 0;
      if (!isGzip(pending_.data(), 2)) {
        ended_ = true;
        return 0;
      }
      inflateReset(&z_);
      between_ = false;
    }
    // The bytes held back from before a member's start go in first.
    const bool fromPending = !pending_.empty();
    if (!fromPending && inLeft_ == 0) return 0;
    const std::size_t avail = fromPending ? pending_.size() : std::min(inLeft_, kStep);
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(fromPending ? pending_.data() : in_));
    z_.avail_in = static_cast<uInt>(avail);
    z_.next_out = reinterpret_cast<Bytef*>(out);
    z_.avail_out = static_cast<uInt>(std::min(n, kStep));
    const uInt outBefore = z_.avail_out;
    inMember_ = true;
    const int r = inflate(&z_, Z_NO_FLUSH);
    const std::size_t used = avail - z_.avail_in;
    if (fromPending) {
      pending_.erase(0, used);
    } else {
      in_ += used;
      inLeft_ -= used;
    }
    const std::size_t got = outBefore - z_.avail_out;
    if (r == Z_STREAM_END) {
      between_ = true;
      inMember_ = false;
      if (got > 0) return got;
      continue;
    }
    if (r == Z_MEM_ERROR) throw std::bad_alloc();
    if (r == Z_DATA_ERROR || r == Z_NEED_DICT || r == Z_STREAM_ERROR) {
      throw Error(Error::Kind::kCannotRead,
                  name_ + ": the gzip data are damaged (" +
                      (z_.msg != nullptr ? std::string(z_.msg) : std::string("zlib error")) + ")");
    }
    if (got > 0) return got;
    if (n == 0) return 0;
  }
  return 0;
}

void Inflater::finish() {
  if (!inMember_) return;
  throw Error(Error::Kind::kCannotRead, name_ + ": the gzip data end early: the file is cut short");
}

}  // namespace io
}  // namespace tiltfit
