#include "textKind.h"

#include <algorithm>

namespace tiltfit {
namespace io {

bool isGzip(const char* data, std::size_t n) {
  return n >= 2 && static_cast<unsigned char>(data[0]) == 0x1F &&
         static_cast<unsigned char>(data[1]) == 0x8B;
}

std::string binaryKind(const char* data, std::size_t n) {
  const auto* b = reinterpret_cast<const unsigned char*>(data);
  auto startsWith = [&](const char* magic, std::size_t length) {
    return n >= length && std::equal(b, b + length, reinterpret_cast<const unsigned char*>(magic));
  };
  if (isGzip(data, n)) return "gzip data";
  if (startsWith("PK\x03\x04", 4)) return "zip data";
  if (startsWith("\xFD"
                 "7zXZ\x00",
                 6))
    return "xz data";
  if (startsWith("BZh", 3) && n >= 4 && b[3] >= '1' && b[3] <= '9') return "bzip2 data";
  if (startsWith("\x28\xB5\x2F\xFD", 4)) return "zstd data";
  if (startsWith("\xFF\xFE", 2) || startsWith("\xFE\xFF", 2)) return "UTF-16 text";
  std::size_t control = 0;
  std::size_t notUtf8 = 0;
  std::size_t padding = 0;
  for (std::size_t i = 0; i < n;) {
    const unsigned c = b[i];
    if (c == 0) {
      // A run of NULs is the padding a logger's card leaves after a power cut, not binary data.
      std::size_t run = 1;
      while (i + run < n && b[i + run] == 0) ++run;
      if (run >= 16) padding += run;
      if (run < 16) control += run;
      i += run;
      continue;
    }
    if (c < 0x80) {
      // Tab, line ends, form feeds and the escape of terminal colours occur in text.
      const bool textual =
          c >= 0x20 || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == 0x1B;
      if (!textual || c == 0x7F) ++control;
      ++i;
      continue;
    }
    // A lead byte and its continuation bytes; a sequence cut by the end of the bytes counts as
    // UTF-8.
    const std::size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                               : c >= 0xE0 && c <= 0xEF ? 3
                               : c >= 0xF0 && c <= 0xF4 ? 4
                                                        : 0;
    std::size_t k = 1;
    while (length > 0 && k < length && i + k < n && (b[i + k] & 0xC0) == 0x80) ++k;
    if (length == 0 || (k < length && i + k < n)) {
      ++notUtf8;
      ++i;
    } else {
      i += k;
    }
  }
  const std::size_t judged = n - padding;
  if (judged == 0 && n > 0) return "binary data";
  if (control * 100 > judged || notUtf8 * 10 > judged) return "binary data";
  return "";
}

std::string notTextLine(const std::string& name, const std::string& kind) {
  if (kind == "UTF-16 text")
    return name + " is UTF-16 text, which tiltfit does not read: save it as UTF-8";
  std::string what = "give the recording as CSV text";
  if (kind == "zip data") what = "unpack it and give the CSV file it holds";
  if (kind == "xz data" || kind == "bzip2 data" || kind == "zstd data") {
    what = "decompress it first (tiltfit reads text, and gzip-compressed text)";
  }
  return name + " is not text but " + kind + ": " + what;
}

}  // namespace io
}  // namespace tiltfit
