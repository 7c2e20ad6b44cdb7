#include "lineLayer.h"

#include <cmath>
#include <cstring>

#include "csvField.h"
#include "tiltfit/types.hpp"

namespace tiltfit {
namespace io {

std::string separatorFromName(const std::string& text, Separator& sep) {
  if (text == "tab" || text == "\t") {
    sep = Separator{'\t', false};
    return "";
  }
  if (text == "space" || text == " ") {
    sep = Separator{' ', true};
    return "";
  }
  // A byte a number may hold would cut numbers apart; a line end cuts lines.
  if (text.size() == 1 && text != "\n" && text != "\r" &&
      std::strchr("0123456789.+-eE", text[0]) == nullptr) {
    sep = Separator{text[0], false};
    return "";
  }
  return "must be one character other than a digit, sign, point or 'e', or tab or space: \"" +
         text + "\"";
}

std::string separatorName(const Separator& sep) {
  if (sep.blanks) return "space";
  if (sep.delimiter == '\t') return "tab";
  return std::string(1, sep.delimiter);
}

namespace {

tiltfit_csv::FieldMap mapOf(const Separator& sep, const std::vector<int>& fields) {
  if (fields.empty() || fields.size() > static_cast<std::size_t>(tiltfit_csv::kMaxWanted)) {
    throw Error(Error::Kind::kInvalidArgument,
                "a line layout takes 1 to " + std::to_string(tiltfit_csv::kMaxWanted) + " fields");
  }
  for (int f : fields) {
    if (f < 1) throw Error(Error::Kind::kInvalidArgument, "column numbers start at 1");
  }
  if (!sep.blanks && (sep.delimiter == '\n' || sep.delimiter == '\r')) {
    throw Error(Error::Kind::kInvalidArgument, "a line end cannot separate fields");
  }
  return tiltfit_csv::FieldMap(sep.delimiter, sep.blanks, fields.data(),
                               static_cast<int>(fields.size()), true);
}

}  // namespace

LineCutter::LineCutter(const Separator& sep, const std::vector<int>& fields)
    : map_(mapOf(sep, fields)), all_(fields.size() >= 32 ? ~0U : (1U << fields.size()) - 1U) {}

std::vector<std::string> splitFields(const std::string& line, const Separator& sep) {
  std::vector<std::string> out;
  for (const auto& f :
       tiltfit_csv::fieldsOf(line.data(), line.data() + line.size(), sep.delimiter, sep.blanks)) {
    out.emplace_back(f.first, f.second);
  }
  return out;
}

std::size_t countFields(const char* b, const char* e, const Separator& sep) {
  return tiltfit_csv::fieldsOf(b, e, sep.delimiter, sep.blanks).size();
}

bool wholeNumber(const std::string& field, double& value) {
  const char* b = field.data();
  const char* e = b + field.size();
  const char* end = nullptr;
  if (!tiltfit_csv::parseField(b, e, value, &end)) return false;
  while (end < e && (*end == ' ' || *end == '\t' || *end == '\r')) ++end;
  return end == e && std::isfinite(value);
}

std::vector<std::string> splitLines(const char* text, std::size_t size, std::size_t maxLines) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < size && lines.size() < maxLines) {
    std::size_t end = at;
    while (end < size && text[end] != '\n') ++end;
    std::size_t stop = end;
    if (stop > at && text[stop - 1] == '\r') --stop;
    lines.emplace_back(text + at, stop - at);
    at = end + 1;
  }
  return lines;
}

}  // namespace io
}  // namespace tiltfit
