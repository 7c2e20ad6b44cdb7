// Writes the manual page tiltfit.1 (roff) to the file given, or to standard output: the build
// runs it so that the page is made from the same help text and options table as --help.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "manPage.h"

int main(int argc, char* argv[]) {
  if (argc > 2) {
    std::cerr << "usage: tiltfit_man [OUT.1]\n";
    return 2;
  }
  const std::string page = tiltfit::cli::manPage(TILTFIT_VERSION);
  if (argc == 1) {
    std::cout << page;
    return std::cout.flush() ? 0 : 1;
  }
  std::ofstream out(argv[1], std::ios::binary);
  out << page;
  out.close();
  if (!out) {
    std::cerr << "tiltfit_man: cannot write " << argv[1] << "\n";
    std::remove(argv[1]);
    return 1;
  }
  return 0;
}
