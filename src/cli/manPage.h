// The manual page, tiltfit.1, made from what --help prints: the help text (helpText()) and the
// options table it lists (options()), so that the page and --help cannot tell different stories.
#ifndef TILTFIT_CLI_MANPAGE_H
#define TILTFIT_CLI_MANPAGE_H

#include <string>

namespace tiltfit {
namespace cli {

// Text set as roff takes it literally: a backslash becomes \e, every '-' the ASCII minus \- (so
// that an option copied from the page is one the shell passes on, and no line breaks inside it),
// and a line that starts with '.' or '\'' (a request to roff) starts with \& instead. Newlines
// are kept.
std::string roffText(const std::string& text);

// The page in roff with the man macros (man(7)), for `man -l`, groff -man or mandoc. Its sections
// follow the help text's blocks (parted by blank lines) in their order: "Usage:" gives SYNOPSIS,
// the text after it DESCRIPTION, a block headed "... options:" or "Options:" an OPTIONS section
// whose entries (.TP) are the options its lines list, each set from the options table (name in
// bold, value word in italics, its help), and any other "Heading:" or "Heading words: text" block
// a section of that name. version goes into the page's header.
std::string manPage(const std::string& version);

}  // namespace cli
}  // namespace tiltfit

#endif
