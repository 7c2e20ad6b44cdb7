// A generated recording as the CSV text the generator writes.
#ifndef TILTFIT_TESTS_GENERATED_CSV_H
#define TILTFIT_TESTS_GENERATED_CSV_H

#include <cstdio>
#include <string>

#include "recording_generator.h"

namespace tiltfit_test {

inline std::string csvText(const tiltfit_gen::Recording& rec) {
  std::FILE* f = std::tmpfile();
  tiltfit_gen::writeCsv(f, rec);
  std::string s(static_cast<size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  const size_t got = std::fread(&s[0], 1, s.size(), f);
  s.resize(got);
  std::fclose(f);
  return s;
}

inline std::string csv(const tiltfit_gen::Options& o) { return csvText(tiltfit_gen::generate(o)); }

}  // namespace tiltfit_test

#endif
