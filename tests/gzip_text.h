// Gzip data made with zlib, for the tests of compressed recordings.
#ifndef TILTFIT_TESTS_GZIP_TEXT_H
#define TILTFIT_TESTS_GZIP_TEXT_H

#include <zlib.h>

#include <stdexcept>
#include <string>

namespace tiltfit_test {

// text as one gzip member, as gzip(1) writes it; with a name, the header holds it as the original
// file's name, which makes the member that much longer.
inline std::string gzip(const std::string& text, const std::string* name = nullptr) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  gz_header header{};
  if (name != nullptr) {
    header.name = reinterpret_cast<Bytef*>(const_cast<char*>(name->c_str()));
    if (deflateSetHeader(&z, &header) != Z_OK) throw std::runtime_error("deflateSetHeader");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + (name ? name->size() + 1 : 0),
                  '\0');
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
