#include "svgText.h"

#include <charconv>
#include <cstdint>

namespace tiltfit {
namespace report {

void appendFixed(std::string& s, double v, int decimals) {
  char text[400];
  const auto r =
      std::to_chars(text, text + sizeof text, v + 0.0, std::chars_format::fixed, decimals);
  s.append(text, r.ptr);
}

void appendEscaped(std::string& s, const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* e = p + text.size();
  while (p < e) {
    const unsigned char c = *p;
    if (c < 0x80) {
      switch (c) {
        case '&':
          s += "&amp;";
          break;
        case '<':
          s += "&lt;";
          break;
        case '>':
          s += "&gt;";
          break;
        case '"':
          s += "&quot;";
          break;
        case '\'':
          s += "&apos;";
          break;
        case '\t':
        case '\n':
        case '\r':
          s += ' ';
          break;
        default:
          s += c < 0x20 ? '?' : static_cast<char>(c);
      }
      ++p;
      continue;
    }
    int length = 0;
    std::uint32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      code = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      code = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      code = c & 0x07u;
    }
    bool valid = length > 0 && e - p >= length;
    for (int k = 1; valid && k < length; ++k) {
      valid = (p[k] & 0xC0u) == 0x80u;
      code = (code << 6) | (p[k] & 0x3Fu);
    }
    // Overlong forms, surrogates, code points past U+10FFFF and the two non-characters XML
    // excludes.
    valid = valid && !(length == 3 && code < 0x800) && !(length == 4 && code < 0x10000) &&
            !(code >= 0xD800 && code <= 0xDFFF) && code <= 0x10FFFF && code != 0xFFFE &&
            code != 0xFFFF;
    if (valid) {
      s.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
      p += length;
    } else {
      s += '?';
      ++p;
    }
  }
}

}  // namespace report
}  // namespace tiltfit
