// The manual page: its roff escapes (by hand), and, as `man -l` sets it, the same words as
// `tiltfit --help` prints, the same options in the same order. The page and the executable are
// the build's, or those named by TILTFIT_MAN_PAGE and TILTFIT_MAN_EXE (an installed pair).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli_harness.h"
#include "manPage.h"
#include "options.h"

namespace {

struct Escape {
  const char* name;
  const char* text;
  const char* roff;
};

class RoffText : public ::testing::TestWithParam<Escape> {};

TEST_P(RoffText, IsTakenLiterally) {
  EXPECT_EQ(tiltfit::cli::roffText(GetParam().text), GetParam().roff);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, RoffText,
    ::testing::Values(Escape{"Plain", "six rests, 1 g", "six rests, 1 g"},
                      Escape{"Empty", "", ""},
                      Escape{"Option", "--target-mg X", "\\-\\-target\\-mg X"},
                      Escape{"Backslash", "a\\b", "a\\eb"},
                      Escape{"RequestAtStart", ".TH x", "\\&.TH x"},
                      Escape{"QuoteAtStart", "'br", "\\&'br"},
                      Escape{"RequestAfterNewline", "a\n.b\n'c", "a\n\\&.b\n\\&'c"},
                      Escape{"PointInsideLine", "0.5 mg.", "0.5 mg."}),
    [](const ::testing::TestParamInfo<Escape>& p) { return std::string(p.param.name); });

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// The options an entry of --help or of the page starts with, in order: "--units", "-h" ...
std::vector<std::string> optionStarts(const std::vector<std::string>& section) {
  std::vector<std::string> out;
  for (const std::string& line : section) {
    const std::size_t b = line.find_first_not_of(' ');
    if (b == std::string::npos || line[b] != '-') continue;
    out.push_back(line.substr(b, line.find_first_of(" ,", b) - b));
  }
  return out;
}

std::string envOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

class ManPage : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string man = "/usr/bin/man";
    if (access(man.c_str(), X_OK) != 0) GTEST_SKIP() << "man (man-db) is not installed";
    page_ = envOr("TILTFIT_MAN_PAGE", TILTFIT_MANPAGE);
    exe_ = envOr("TILTFIT_MAN_EXE", TILTFIT_EXE);
    // Plain ASCII at a fixed width, no hyphenation, no justification: words come out whole.
    setenv("MANWIDTH", "100", 1);
    setenv("LC_ALL", "C", 1);
    unsetenv("MAN_KEEP_FORMATTING");
    const tiltfit_test::Outcome shown =
        tiltfit_test::run(man, {"--no-hyphenation", "--no-justification", "-l", page_});
    ASSERT_EQ(shown.status, 0) << shown.err;
    const tiltfit_test::Outcome help = tiltfit_test::run(exe_, {"--help"});
    ASSERT_EQ(help.status, 0) << help.err;
    help_ = lines(help.out);
    // The page's body: its first and last lines (the running heads) left out.
    manLines_ = lines(shown.out);
    ASSERT_GT(manLines_.size(), 4u) << shown.out;
    manLines_.erase(manLines_.begin());
    manLines_.pop_back();
  }

  // The lines of the page's section `name`, up to the next heading (a line at column 0).
  std::vector<std::string> manSection(const std::string& name) const {
    std::vector<std::string> out;
    bool in = false;
    for (const std::string& line : manLines_) {
      if (!line.empty() && line[0] != ' ') {
        in = line == name;
        continue;
      }
      if (in) out.push_back(line);
    }
    return out;
  }

  // The lines of the help after the line `heading` up to the next blank line.
  std::vector<std::string> helpBlock(const std::string& heading) const {
    std::vector<std::string> out;
    bool in = false;
    for (const std::string& line : help_) {
      if (line == heading) {
        in = true;
        continue;
      }
      if (in && line.empty()) break;
      if (in) out.push_back(line);
    }
    return out;
  }

  static std::string joined(const std::vector<std::string>& ls) {
    std::string s;
    for (const std::string& l : ls) s += l + "\n";
    return s;
  }

  std::string page_, exe_;
  std::vector<std::string> help_, manLines_;
};

TEST_F(ManPage, ListsTheOptionsOfHelpInItsOrder) {
  const std::vector<std::string> fromHelp = optionStarts(helpBlock("Options:"));
  EXPECT_EQ(optionStarts(manSection("OPTIONS")), fromHelp);
  std::size_t count = 0;
  tiltfit::cli::options(&count);
  EXPECT_EQ(fromHelp.size(), count);
}

TEST_F(ManPage, OptionsSayWordForWordWhatHelpSays) {
  EXPECT_EQ(words(joined(manSection("OPTIONS"))), words(joined(helpBlock("Options:"))));
}

TEST_F(ManPage, SynopsisIsTheUsage) {
  std::vector<std::string> usage;
  for (const std::string& l : helpBlock("Usage:")) usage.push_back(l.substr(l.find_first_not_of(' ')));
  std::vector<std::string> synopsis;
  for (const std::string& l : manSection("SYNOPSIS")) {
    if (l.find_first_not_of(' ') != std::string::npos)
      synopsis.push_back(l.substr(l.find_first_not_of(' ')));
  }
  EXPECT_EQ(synopsis, usage);
}

TEST_F(ManPage, SaysEveryWordOfHelpAndNothingElseButItsName) {
  // --help less its headings, against the page less its own headings and its NAME line.
  std::string help;
  for (const std::string& l : help_) {
    if (l == "Usage:" || l == "Options:") continue;
    help += (l.compare(0, 12, "Exit status:") == 0 ? l.substr(12) : l) + "\n";
  }
  std::string page;
  for (const std::string& l : manLines_) {
    if (!l.empty() && l[0] != ' ') continue;
    if (l.find("tiltfit - calibrate") != std::string::npos) continue;
    page += l + "\n";
  }
  EXPECT_EQ(words(page), words(help));
  const std::vector<std::string> exits = manSection("EXIT STATUS");
  ASSERT_FALSE(exits.empty());
  EXPECT_NE(joined(exits).find("234 usage"), std::string::npos);
}

}  // namespace
