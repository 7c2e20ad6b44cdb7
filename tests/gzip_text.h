// Gzip data made with zlib, for the tests of compressed recordings.
#ifndef TILTFIT_TESTS_GZIP_TEXT_H
#define TILTFIT_TESTS_GZIP_TEXT_H

#include <zlib.h>

#include <stdexcept>
#include <string>

namespace tiltfit_test {

// text as one gzip member, as gzip(1) writes it.
inline std::string gzip(const std::string& text) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  const int r = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (r != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

}  // namespace tiltfit_test

#endif
