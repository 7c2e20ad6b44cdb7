#include "options.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "tiltfit/noise.hpp"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace cli {
namespace {

bool oneOf(const std::string& v, std::initializer_list<const char*> allowed) {
  for (const char* a : allowed) {
    if (v == a) return true;
  }
  return false;
}

// "2,3,4": three distinct 1-based field numbers.
std::string parseColumns(const std::string& text, int columns[3],
                         const char* option = "--columns") {
  const std::string bad = std::string(option) +
                          " needs three different field numbers from 1 up, as X,Y,Z: \"" + text +
                          "\"";
  std::size_t at = 0;
  for (int k = 0; k < 3; ++k) {
    const std::size_t comma = text.find(',', at);
    const std::string item =
        text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (item.empty() || item.size() > 6 ||
        item.find_first_not_of("0123456789") != std::string::npos)
      return bad;
    columns[k] = std::atoi(item.c_str());
    if (columns[k] < 1) return bad;
    if ((comma == std::string::npos) != (k == 2)) return bad;
    at = comma + 1;
  }
  if (columns[0] == columns[1] || columns[0] == columns[2] || columns[1] == columns[2]) return bad;
  return "";
}

// One of the allowed words: "--units must be g, ms2, counts or auto: \"parsecs\"" otherwise.
std::string choice(const std::string& value, const char* option,
                   std::initializer_list<const char*> allowed, std::string& target) {
  if (oneOf(value, allowed)) {
    target = value;
    return "";
  }
  const std::vector<const char*> list(allowed);
  std::string words;
  for (std::size_t k = 0; k < list.size(); ++k) {
    if (k > 0) words += k + 1 == list.size() ? " or " : ", ";
    words += list[k];
  }
  return std::string(option) + " must be " + words + ": \"" + value + "\"";
}

std::string fileName(const std::string& value, const char* option, const char* what,
                     std::string& target) {
  if (value.empty()) return std::string(option) + " needs " + what;
  target = value;
  return "";
}

// Every option: its name, the word for its value (none for a flag), its help and what it sets.
// The help is printed as it stands, a line for each '\n', after the name and the value.
const Option kOptions[] = {
    {"--auto", nullptr, "choose the tuning numbers, the units and the layout from FILE",
     [](CliOptions& o, const std::string&) { return o.autoMode = true, std::string(); }},
    {"--refine", nullptr, "report the refined fit, which makes every still stretch read 1 g",
     [](CliOptions& o, const std::string&) { return o.refine = true, std::string(); }},
    {"--no-refine", nullptr, "with --auto: report the six-rest fit",
     [](CliOptions& o, const std::string&) { return o.noRefine = true, std::string(); }},
    {"--method", "M",
     "with --auto: six-rest (the rest search, refined with the\n"
     "still stretches), stretches (the still stretches alone)\n"
     "or auto (six-rest when six rests are found; the default)",
     [](CliOptions& o, const std::string& v) {
       return choice(v, "--method", {"auto", "six-rest", "stretches"}, o.method);
     }},
    {"--rotation", "R",
     "turn the output to the frame of the six rests: auto (where\n"
     "they fix it; the default), rests (always) or none",
     [](CliOptions& o, const std::string& v) {
       return choice(v, "--rotation", {"auto", "rests", "none"}, o.rotation);
     }},
    {"--gravity", "G",
     "what 1 g reads in m/s^2 output (default 9.80665; the\n"
     "classic form 9.81)",
     [](CliOptions& o, const std::string& v) {
       char* end = nullptr;
       const double g = std::strtod(v.c_str(), &end);
       if (v.empty() || *end != '\0' || !(g >= 1.0 && g <= 30.0))
         return "--gravity must be the m/s^2 of 1 g, between 1 and 30: \"" + v + "\"";
       o.gravity = g;
       return std::string();
     }},
    {"--units", "U",
     "units of the recording: g, ms2, counts or auto\n"
     "(default: g, or auto with --auto)",
     [](CliOptions& o, const std::string& v) {
       return choice(v, "--units", {"g", "ms2", "counts", "auto"}, o.units);
     }},
    {"--output-units", "U",
     "units of the calibrated output: g or ms2\n"
     "(default: the recording's unit; g for counts)",
     [](CliOptions& o, const std::string& v) {
       return choice(v, "--output-units", {"g", "ms2"}, o.outputUnits);
     }},
    {"--columns", "X,Y,Z", "1-based field numbers of x, y and z (default 1,2,3)",
     [](CliOptions& o, const std::string& v) {
       o.columnsGiven = true;
       return parseColumns(v, o.columns);
     }},
    {"--gyro-columns", "X,Y,Z", "1-based field numbers of the gyroscope's x, y and z",
     [](CliOptions& o, const std::string& v) {
       o.gyroColumnsGiven = true;
       return parseColumns(v, o.gyroColumns, "--gyro-columns");
     }},
    {"--no-gyro", nullptr, "with --auto: leave the gyroscope's columns alone",
     [](CliOptions& o, const std::string&) { return o.noGyro = true, std::string(); }},
    {"--rate", "HZ",
     "the sample rate, where no time column or header line\n"
     "gives it (with a sample counter, it times the counter)",
     [](CliOptions& o, const std::string& v) {
       char* end = nullptr;
       const double r = std::strtod(v.c_str(), &end);
       if (v.empty() || *end != '\0' || !(r > 0.0 && r < 1e7))
         return "--rate must be a sample rate in Hz above 0: \"" + v + "\"";
       o.rateHz = r;
       return std::string();
     }},
    {"--delimiter", "D", "field separator: one character, tab or space (default ,)",
     [](CliOptions& o, const std::string& v) {
       o.delimiterGiven = true;
       Layout layout;
       const std::string why = delimiterFromName(v, layout);
       if (!why.empty()) return "--delimiter " + why;
       o.delimiter = layout.delimiter;
       o.blanks = layout.blanks;
       return std::string();
     }},
    {"--json", nullptr, "print one JSON document instead of the text report",
     [](CliOptions& o, const std::string&) { return o.json = true, std::string(); }},
    {"--plot", "FILE.svg", "also draw the smoothed axes and the chosen rests",
     [](CliOptions& o, const std::string& v) {
       return fileName(v, "--plot", "a file name", o.plotPath);
     }},
    {"--live", nullptr,
     "capture from SOURCE (- for standard input, a FIFO, a serial\n"
     "device, or a file replayed), saying what to hold next",
     [](CliOptions& o, const std::string&) { return o.liveMode = true, std::string(); }},
    {"--target-mg", "X", "with --live: stop at this expected error (default 0.5 mg)",
     [](CliOptions& o, const std::string& v) { return o.targetMg = v, std::string(); }},
    {"--target-deg", "X",
     "with --live and a gyroscope: also wait until a 90-degree\n"
     "move's expected error is within X degrees (default 0.5)",
     [](CliOptions& o, const std::string& v) {
       char* end = nullptr;
       const double d = std::strtod(v.c_str(), &end);
       if (v.empty() || *end != '\0' || !(d > 0.0 && d < 90.0))
         return "--target-deg must be a number of degrees above 0: \"" + v + "\"";
       o.targetDeg = d;
       return std::string();
     }},
    {"--save", "FILE", "with --live: keep every line read in FILE",
     [](CliOptions& o, const std::string& v) {
       return fileName(v, "--save", "a file name", o.savePath);
     }},
    {"--c-header", "FILE.h", "also write the calibration as a C99 header for firmware",
     [](CliOptions& o, const std::string& v) {
       return fileName(v, "--c-header", "a file name", o.cHeaderPath);
     }},
    {"--c-prefix", "NAME", "name its symbols NAME_GAIN, NAME_OFFSET, NAME_apply",
     [](CliOptions& o, const std::string& v) { return o.cPrefix = v, std::string(); }},
    {"--apply", "CALIB.json", "write FILE with its three columns calibrated",
     [](CliOptions& o, const std::string& v) {
       return fileName(v, "--apply", "a calibration file", o.applyPath);
     }},
    {"--noise", "FILE",
     "the noise figures of a still recording of any length: the\n"
     "Allan deviation of every axis and its white noise,\n"
     "bias instability and random walk",
     [](CliOptions& o, const std::string& v) {
       return fileName(v, "--noise", "a recording", o.noisePath);
     }},
    {"--noise-file", "STILL.csv", "with --auto: add a still recording's noise figures",
     [](CliOptions& o, const std::string& v) {
       return fileName(v, "--noise-file", "a recording", o.noiseFilePath);
     }},
    {"--gyro-units", "U",
     "the gyroscope's raw unit: rad/s, deg/s, or counts per deg/s\n"
     "(131 for an MPU-6050 at 250 deg/s), where --noise cannot tell",
     [](CliOptions& o, const std::string& v) {
       NoiseOptions checked;
       const std::string why = setGyroUnits(checked, v, "--gyro-units");
       if (!why.empty()) return "--gyro-units: " + why;
       o.gyroUnits = v;
       return std::string();
     }},
    {"--format", "NAME",
     "with --output: write the calibration and the noise figures\n"
     "as kalibr, openvins, vins, basalt, ardupilot or px4 read them",
     [](CliOptions& o, const std::string& v) {
       return choice(v, "--format", {"kalibr", "openvins", "vins", "basalt", "ardupilot", "px4"},
                     o.format);
     }},
    {"--output", "FILE", "the file --format writes",
     [](CliOptions& o, const std::string& v) {
       return fileName(v, "--output", "a file name", o.outputPath);
     }},
    {"--help", nullptr, "print this text",
     [](CliOptions& o, const std::string&) { return o.help = true, std::string(); }},
    {"--version", nullptr, "print the version",
     [](CliOptions& o, const std::string&) { return o.version = true, std::string(); }},
};

// The help column where the options' help starts.
constexpr std::size_t kHelpColumn = 24;

// "  --method M            with --auto: ..." and its continuation lines.
std::string helpLines(const Option& option) {
  std::string head = "  ";
  if (std::string(option.name) == "--help") head += "-h, ";
  head += option.name;
  if (option.value != nullptr) head += std::string(" ") + option.value;
  head.append(head.size() < kHelpColumn - 2 ? kHelpColumn - head.size() : 2, ' ');
  std::string text;
  std::string line;
  for (const char* c = option.help;; ++c) {
    if (*c == '\n' || *c == '\0') {
      text += (text.empty() ? head : std::string(kHelpColumn, ' ')) + line + "\n";
      line.clear();
      if (*c == '\0') break;
      continue;
    }
    line += *c;
  }
  return text;
}

}  // namespace

const Option* options(std::size_t* count) {
  *count = sizeof kOptions / sizeof kOptions[0];
  return kOptions;
}

std::string parseArguments(int argc, const char* const* argv, CliOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h") {
      o.help = o.anyOption = true;
      continue;
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      o.positionals.push_back(arg);
      continue;
    }
    o.anyOption = true;
    std::string name = arg;
    std::string value;
    bool hasValue = false;
    const std::size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    const Option* option = nullptr;
    for (const Option& candidate : kOptions) {
      if (name == candidate.name) option = &candidate;
    }
    if (option == nullptr) return "unknown option " + name + " (tiltfit --help lists the options)";
    if (option->value == nullptr && hasValue) return name + " takes no value";
    if (option->value != nullptr && !hasValue) {
      if (i + 1 >= argc) return name + " needs a value";
      value = argv[++i];
    }
    const std::string problem = option->apply(o, value);
    if (!problem.empty()) return problem;
  }
  return "";
}

std::string helpText() {
  std::string text =
      "Usage:\n"
      "  tiltfit --auto FILE [options]\n"
      "  tiltfit FILE tolerancePct moveMeanWindow diffThreshold windowWidth "
      "deltaThresholdWindow [options]\n"
      "  tiltfit --apply CALIB.json FILE [options]\n"
      "  tiltfit --live SOURCE [--target-mg X] [--save FILE] [options]\n"
      "  tiltfit --noise FILE [--json] [--plot FILE.svg] [--format NAME --output FILE]\n"
      "\n"
      "Calibrates a three-axis accelerometer from one CSV recording of still positions: six\n"
      "rests (each axis up and down), or any set of directions with --auto. --auto chooses\n"
      "the five tuning numbers from the recording; the classic form takes them as given.\n"
      "FILE \"-\" reads standard input. With --auto or any option, gzip is read too and\n"
      "lines without readings are left out; rows stay line numbers.\n"
      "\n"
      "Options:\n";
  for (const Option& option : kOptions) text += helpLines(option);
  text +=
      "\n"
      "Exit status: 0 success, 255 calibration failed, 234 usage or a bad argument,\n"
      "254 the recording cannot be read or is not text, 244 out of memory, 181 too many\n"
      "lines, 251 the report could not be written.\n";
  return text;
}

}  // namespace cli
}  // namespace tiltfit
