#include "manPage.h"

#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

#include "options.h"

namespace tiltfit {
namespace cli {
namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t nl = text.find('\n', at);
    if (nl == std::string::npos) {
      if (at < text.size()) lines.push_back(text.substr(at));
      break;
    }
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

std::string trimmed(const std::string& s) {
  const std::size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "Exit status: 0 success, ..." opens with a heading of at most three words, a capital first;
// a sentence that has a colon further on ("Calibrates a ... of still positions: six") does not.
bool inlineHeading(const std::string& line, std::string& heading, std::string& rest) {
  const std::size_t colon = line.find(": ");
  if (colon == std::string::npos || colon == 0 ||
      !std::isupper(static_cast<unsigned char>(line[0])))
    return false;
  int words = 1;
  for (std::size_t k = 0; k < colon; ++k) {
    const unsigned char c = static_cast<unsigned char>(line[k]);
    if (c == ' ') {
      ++words;
    } else if (!std::isalpha(c)) {
      return false;
    }
  }
  if (words > 3) return false;
  heading = line.substr(0, colon);
  rest = line.substr(colon + 2);
  return true;
}

const Option* optionNamed(const std::string& name) {
  std::size_t count = 0;
  const Option* table = options(&count);
  for (std::size_t k = 0; k < count; ++k) {
    if (name == table[k].name) return &table[k];
  }
  return nullptr;
}

// The entry of an option: its names in bold, its value word in italics, then its help as lines
// that roff fills into one paragraph.
std::string optionEntry(const Option& o) {
  std::string tag;
  if (std::string(o.name) == "--help") tag += "\\fB\\-h\\fR, ";
  tag += "\\fB" + roffText(o.name) + "\\fR";
  if (o.value != nullptr) tag += " \\fI" + roffText(o.value) + "\\fR";
  std::string out = ".TP\n" + tag + "\n";
  for (const std::string& line : linesOf(o.help)) out += roffText(trimmed(line)) + "\n";
  return out;
}

// The lines of a block that are prose: filled by roff. Lines indented in the help stand apart
// (examples, commands) and are set as they are.
std::string prose(const std::vector<std::string>& lines) {
  std::string out;
  bool verbatim = false;
  for (const std::string& line : lines) {
    const bool indented = line.size() > 1 && line[0] == ' ' && line[1] == ' ';
    if (indented != verbatim) {
      out += indented ? ".RS\n.nf\n" : ".fi\n.RE\n";
      verbatim = indented;
    }
    out += roffText(trimmed(line)) + "\n";
  }
  if (verbatim) out += ".fi\n.RE\n";
  return out;
}

// An options block: the options its lines start (after "  -h, " or "  "), each from the table;
// lines indented further continue the option before them; other lines are prose between them.
std::string optionsBlock(const std::vector<std::string>& lines) {
  std::string out;
  std::vector<std::string> text;
  bool inOption = false;
  for (const std::string& line : lines) {
    std::string head = trimmed(line);
    if (head.compare(0, 4, "-h, ") == 0) head = head.substr(4);
    if (!head.empty() && head[0] == '-') {
      if (!text.empty()) out += ".PP\n" + prose(text);
      text.clear();
      const Option* option = optionNamed(head.substr(0, head.find(' ')));
      if (option != nullptr) {
        out += optionEntry(*option);
      } else {
        // Listed in the help without a table entry: set as the help shows it.
        const std::size_t gap = head.find("  ");
        out += ".TP\n\\fB" + roffText(head.substr(0, gap)) + "\\fR\n";
        if (gap != std::string::npos) out += roffText(trimmed(head.substr(gap))) + "\n";
      }
      inOption = true;
      continue;
    }
    const bool continuation = line.compare(0, 4, "    ") == 0;
    // The table gave the option's whole help already.
    if (inOption && continuation) continue;
    inOption = false;
    text.push_back(line);
  }
  if (!text.empty()) out += ".PP\n" + prose(text);
  return out;
}

}  // namespace

std::string roffText(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

std::string manPage(const std::string& version) {
  std::string page = ".\\\" The manual page of tiltfit, made from tiltfit --help by tiltfit_man.\n";
  page += ".TH TILTFIT 1 \"\" \"tiltfit " + version + "\" \"User Commands\"\n";
  page += ".SH NAME\ntiltfit \\- calibrate an inertial sensor from one CSV recording\n";

  std::vector<std::vector<std::string>> blocks(1);
  for (const std::string& line : linesOf(helpText())) {
    if (trimmed(line).empty()) {
      if (!blocks.back().empty()) blocks.emplace_back();
    } else {
      blocks.back().push_back(line);
    }
  }
  if (blocks.back().empty()) blocks.pop_back();

  bool described = false;
  for (const std::vector<std::string>& block : blocks) {
    const std::string& first = block.front();
    std::vector<std::string> body(block.begin() + 1, block.end());
    std::string heading;
    std::string rest;
    if (first.back() == ':' && inlineHeading(first + " ", heading, rest)) {
      // "Usage:", "Gyroscope options:": a heading on a line of its own.
    } else if (inlineHeading(first, heading, rest)) {
      body.insert(body.begin(), rest);
    } else {
      body = block;
    }

    if (heading == "Usage") {
      page += ".SH SYNOPSIS\n.nf\n";
      for (const std::string& line : body) {
        std::string command = trimmed(line);
        if (command.compare(0, 8, "tiltfit ") == 0) {
          command = "\\fBtiltfit\\fR " + roffText(command.substr(8));
        } else {
          command = roffText(command);
        }
        page += command + "\n";
      }
      page += ".fi\n";
    } else if (heading.empty()) {
      page += described ? ".PP\n" : ".SH DESCRIPTION\n";
      described = true;
      page += prose(body);
    } else if (upper(heading).find("OPTIONS") != std::string::npos) {
      page +=
          ".SH " +
          (upper(heading) == "OPTIONS" ? std::string("OPTIONS") : "\"" + upper(heading) + "\"") +
          "\n";
      page += optionsBlock(body);
    } else {
      page += ".SH \"" + upper(heading) + "\"\n" + prose(body);
    }
  }
  return page;
}

}  // namespace cli
}  // namespace tiltfit
