// tiltfit_gen: writes a synthetic six-orientation recording as CSV (see recording_generator.h).
//
//   tiltfit_gen [--rest N] [--transition N] [--order zu,zd,xu,xd,yu,yd] [--noise G] [--quantum G]
//               [--offset X,Y,Z] [--gain K11,K12,...,K33] [--units g|ms2] [--seed N] [--truth]
//               [-o FILE]
//
// --truth prints, on standard error, the gain matrix and offset the tool should report.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>

#include "recording_generator.h"

namespace {

void readList(const char* text, double* values, int count, const char* name) {
  std::stringstream in(text);
  std::string item;
  int k = 0;
  while (std::getline(in, item, ',')) {
    if (k == count) break;
    values[k++] = std::stod(item);
  }
  if (k != count) {
    std::fprintf(stderr, "%s needs %d comma-separated numbers\n", name, count);
    std::exit(2);
  }
}

}  // namespace

int main(int argc, char** argv) {
  tiltfit_gen::Options options;
  const char* outPath = nullptr;
  bool truth = false;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> const char* {
        if (i + 1 >= argc) {
          std::fprintf(stderr, "%s needs a value\n", arg.c_str());
          std::exit(2);
        }
        return argv[++i];
      };
      if (arg == "--rest")
        options.restSamples = std::stoi(value());
      else if (arg == "--transition")
        options.transitionSamples = std::stoi(value());
      else if (arg == "--order")
        options.order = value();
      else if (arg == "--noise")
        options.noise = std::stod(value());
      else if (arg == "--quantum")
        options.quantum = std::stod(value());
      else if (arg == "--offset")
        readList(value(), options.offset, 3, "--offset");
      else if (arg == "--gain")
        readList(value(), options.gain, 9, "--gain");
      else if (arg == "--units")
        options.metric = std::strcmp(value(), "ms2") == 0;
      else if (arg == "--seed")
        options.seed = std::stoull(value());
      else if (arg == "--truth")
        truth = true;
      else if (arg == "-o")
        outPath = value();
      else {
        std::fprintf(stderr, "unknown option %s\n", arg.c_str());
        return 2;
      }
    }
    const tiltfit_gen::Recording rec = tiltfit_gen::generate(options);
    std::FILE* out = outPath ? std::fopen(outPath, "wb") : stdout;
    if (out == nullptr) {
      std::perror(outPath);
      return 1;
    }
    tiltfit_gen::writeCsv(out, rec);
    if (out != stdout && std::fclose(out) != 0) {
      std::perror(outPath);
      return 1;
    }
    if (truth) {
      double G[9], b[3];
      tiltfit_gen::trueCalibration(options, G, b);
      // The tool prints the transpose of G: calibrated = raw * accGainMatrix + accOffset.
      std::fprintf(stderr, "accOffset:\n[ %f %f %f ]\naccGainMatrix:\n", b[0], b[1], b[2]);
      for (int i = 0; i < 3; ++i) std::fprintf(stderr, "[ %f %f %f ]\n", G[i], G[i + 3], G[i + 6]);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tiltfit_gen: %s\n", e.what());
    return 2;
  }
  return 0;
}
