// Text for the SVG documents the plots write: numbers that do not follow the locale, and
// strings made safe for XML.
#ifndef TILTFIT_REPORT_SVGTEXT_H
#define TILTFIT_REPORT_SVGTEXT_H

#include <string>

namespace tiltfit {
namespace report {

// Appends v with the given decimals, through std::to_chars: printf would follow LC_NUMERIC and
// could write a decimal comma into the document.
void appendFixed(std::string& s, double v, int decimals);

// Appends text for XML character data and attribute values: markup characters escaped, and
// whatever XML cannot hold (control characters, bytes that are no UTF-8, U+FFFE and U+FFFF)
// replaced by '?', tabs and line ends by blanks, so that a file name in any encoding still gives
// a document a parser accepts.
void appendEscaped(std::string& s, const std::string& text);

}  // namespace report
}  // namespace tiltfit

#endif
