// The line layer every reader shares: how a line is cut into fields, which fields are numbers and
// what they read, under one number rule. The calibration core's block reader cuts its lines with
// the same primitives (csvLines.h); the readers that take a text line by line (--auto's stream,
// --live, --apply, the layout sniffer, the Python module) cut them here.
//
// The number rule: a field's leading blanks are skipped and its longest numeric prefix is read as
// std::stod reads it (decimal, exponent, hex, inf and nan forms), the rest of the field ignored:
// "1.5g" reads 1.5, "abc" and "" read nothing.
#ifndef TILTFIT_IO_LINELAYER_H
#define TILTFIT_IO_LINELAYER_H

#include <cstddef>
#include <string>
#include <vector>

#include "csvLines.h"

namespace tiltfit {
namespace io {

// How the fields of a line are told apart: at one delimiter byte, or at runs of spaces and tabs.
struct Separator {
  char delimiter = ',';
  bool blanks = false;
};

// Reads a separator as the command line, a calibration file and the Python module name it: one
// character other than a digit, a sign, a point, 'e' or a line end; "tab" (or a tab); "space" (or
// a space), which means runs of blanks. Returns "" and sets sep, or why the text names none.
std::string separatorFromName(const std::string& text, Separator& sep);
// The name that gives sep back: "space", "tab" or the character itself.
std::string separatorName(const Separator& sep);

// Converts chosen fields of lines.
class LineCutter {
 public:
  // Column j of a line is its field fields[j] (1-based; a field may fill several columns; at most
  // tiltfit_csv::kMaxWanted columns). Throws Error (kInvalidArgument) for a field number below 1,
  // too many columns, or a line end as the delimiter.
  LineCutter(const Separator& sep, const std::vector<int>& fields);

  // Converts the wanted fields of the line [b, e) (a '\n' ends it earlier; a CR before the line
  // end stays on the last field, where the number rule ignores it) into values[0 .. columns()).
  // Returns the columns that received a number, as a bit set; the others keep their values.
  // spans, when given, receives where each distinct wanted field stands (field order), for a
  // caller that rewrites them.
  unsigned cut(const char* b, const char* e, double* values,
               tiltfit_csv::FieldSpan* spans = nullptr) const {
    return tiltfit_csv::cutLine(b, e, map_, values, spans);
  }
  // Every column received a number: the line holds a sample.
  bool cutAll(const char* b, const char* e, double* values) const {
    return cut(b, e, values) == all_;
  }
  unsigned all() const { return all_; }
  int columns() const { return map_.columnCount; }
  const tiltfit_csv::FieldMap& map() const { return map_; }

 private:
  tiltfit_csv::FieldMap map_;
  unsigned all_;
};

// The fields of a line (a '\n' ends it earlier), as the cutter tells them apart: at a delimiter,
// an empty line is one empty field and a line that ends in the delimiter has an empty last field;
// at blanks, blanks around the fields separate nothing.
std::vector<std::string> splitFields(const std::string& line, const Separator& sep);
// How many fields the line has, as splitFields counts them.
std::size_t countFields(const char* b, const char* e, const Separator& sep);
// The field converts under the number rule, and nothing but blanks (and a line end's CR)
// follows its number: a field that is one number, not one that starts with one.
bool wholeNumber(const std::string& field, double& value);

// Splits a text into lines (LF or CRLF, the CR left off), at most maxLines of them.
std::vector<std::string> splitLines(const char* text, std::size_t size, std::size_t maxLines);

// Whole lines out of bytes that come in pieces (a pipe, a device, a decompressor).
class LineAssembler {
 public:
  // Calls line(begin, end) for each line the bytes complete, its '\n' not included (a CR before
  // it is); the start of a line not yet ended is kept.
  template <class Line>
  void feed(const char* p, std::size_t n, Line&& line) {
    const char* e = p + n;
    for (const char* nl;
         (nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(e - p)))) !=
         nullptr;
         p = nl + 1) {
      if (!pending_.empty()) {
        pending_.append(p, nl);
        line(static_cast<const char*>(pending_.data()),
             static_cast<const char*>(pending_.data() + pending_.size()));
        pending_.clear();
      } else {
        line(static_cast<const char*>(p), static_cast<const char*>(nl));
      }
    }
    pending_.append(p, e);
  }
  // At the end of the bytes: a last line without its newline, if there is one.
  template <class Line>
  void finish(Line&& line) {
    if (pending_.empty()) return;
    const std::string last = std::move(pending_);
    pending_.clear();
    line(last.data(), last.data() + last.size());
  }
  // The start of the line not yet ended.
  const std::string& pending() const { return pending_; }

 private:
  std::string pending_;
};

}  // namespace io
}  // namespace tiltfit

#endif
