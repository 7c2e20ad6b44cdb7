// What a source's first bytes say it is: text, gzip-compressed text, or data the tool does not
// read, and the one line that tells a user what to do about the last.
#ifndef TILTFIT_IO_TEXTKIND_H
#define TILTFIT_IO_TEXTKIND_H

#include <cstddef>
#include <string>

namespace tiltfit {
namespace io {

// The n bytes at data start gzip data (RFC 1952's two magic bytes).
bool isGzip(const char* data, std::size_t n);

// What the first n bytes of a file say it is when it is not text: "gzip data", "zip data", "xz
// data", "bzip2 data", "zstd data", "UTF-16 text" (by their first bytes) or "binary data" (more
// than 1 % of the bytes are control characters no text holds, NUL among them, or more than 10 %
// are not UTF-8, which Latin-1 text does not come near; runs of 16 NULs or more, the padding a
// logger leaves after a power cut, are left out of the count, and bytes that are all such padding
// are binary data); empty for text, and for no bytes.
std::string binaryKind(const char* data, std::size_t n);

// The one line that says the source `name` is no text but `kind` (binaryKind), and what to do:
// "rec.zip is not text but zip data: unpack it and give the CSV file it holds".
std::string notTextLine(const std::string& name, const std::string& kind);

}  // namespace io
}  // namespace tiltfit

#endif
