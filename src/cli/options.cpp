#include "options.h"

#include <cstdlib>
#include <cstring>

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
std::string parseColumns(const std::string& text, int columns[3]) {
  const std::string bad =
      "--columns needs three different field numbers from 1 up, as X,Y,Z: \"" + text + "\"";
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

}  // namespace

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
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    auto flag = [&](bool& target) -> std::string {
      if (hasValue) return name + " takes no value";
      target = true;
      return "";
    };
    std::string problem;
    if (name == "--help") {
      problem = flag(o.help);
    } else if (name == "--version") {
      problem = flag(o.version);
    } else if (name == "--auto") {
      problem = flag(o.autoMode);
    } else if (name == "--live") {
      problem = flag(o.liveMode);
    } else if (name == "--refine") {
      problem = flag(o.refine);
    } else if (name == "--no-refine") {
      problem = flag(o.noRefine);
    } else if (name == "--json") {
      problem = flag(o.json);
    } else if (name == "--units" || name == "--output-units" || name == "--columns" ||
               name == "--delimiter" || name == "--plot" || name == "--apply" ||
               name == "--method" || name == "--c-header" || name == "--c-prefix" ||
               name == "--target-mg" || name == "--save") {
      if (!takeValue()) return name + " needs a value";
      if (name == "--units") {
        if (!oneOf(value, {"g", "ms2", "counts", "auto"}))
          return "--units must be g, ms2, counts or auto: \"" + value + "\"";
        o.units = value;
      } else if (name == "--output-units") {
        if (!oneOf(value, {"g", "ms2"}))
          return "--output-units must be g or ms2: \"" + value + "\"";
        o.outputUnits = value;
      } else if (name == "--columns") {
        problem = parseColumns(value, o.columns);
        o.columnsGiven = true;
      } else if (name == "--delimiter") {
        o.delimiterGiven = true;
        o.blanks = false;
        if (value == "tab" || value == "\t") {
          o.delimiter = '\t';
        } else if (value == "space" || value == " ") {
          o.blanks = true;
          o.delimiter = ' ';
        } else if (value.size() == 1 && value != "\n" && value != "\r" &&
                   std::strchr("0123456789.+-eE", value[0]) == nullptr) {
          o.delimiter = value[0];
        } else {
          problem =
              "--delimiter must be one character other than a digit, sign, point or 'e', "
              "or tab or space: \"" +
              value + "\"";
        }
      } else if (name == "--method") {
        if (!oneOf(value, {"auto", "six-rest", "stretches"}))
          return "--method must be auto, six-rest or stretches: \"" + value + "\"";
        o.method = value;
      } else if (name == "--target-mg") {
        o.targetMg = value;
      } else if (name == "--save") {
        if (value.empty()) return "--save needs a file name";
        o.savePath = value;
      } else if (name == "--c-header") {
        if (value.empty()) return "--c-header needs a file name";
        o.cHeaderPath = value;
      } else if (name == "--c-prefix") {
        o.cPrefix = value;
      } else if (name == "--plot") {
        if (value.empty()) return "--plot needs a file name";
        o.plotPath = value;
      } else {
        if (value.empty()) return "--apply needs a calibration file";
        o.applyPath = value;
      }
    } else {
      return "unknown option " + name + " (tiltfit --help lists the options)";
    }
    if (!problem.empty()) return problem;
  }
  return "";
}

const char* helpText() {
  return "Usage:\n"
         "  tiltfit --auto FILE [options]\n"
         "  tiltfit FILE tolerancePct moveMeanWindow diffThreshold windowWidth "
         "deltaThresholdWindow [options]\n"
         "  tiltfit --apply CALIB.json FILE [options]\n"
         "  tiltfit --live SOURCE [--target-mg X] [--save FILE] [options]\n"
         "\n"
         "Calibrates a three-axis accelerometer from one CSV recording of still positions: six\n"
         "rests (each axis up and down), or any set of directions with --auto. --auto chooses\n"
         "the five tuning numbers from the recording; the classic form takes them as given.\n"
         "FILE \"-\" reads standard input. With --auto or any option, gzip is read too and\n"
         "lines without readings are left out; rows stay line numbers.\n"
         "\n"
         "Options:\n"
         "  --refine              report the refined fit, which makes every still stretch read 1 "
         "g\n"
         "  --no-refine           with --auto: report the six-rest fit\n"
         "  --method M            with --auto: six-rest (the rest search, refined with the\n"
         "                        still stretches), stretches (the still stretches alone)\n"
         "                        or auto (six-rest when six rests are found; the default)\n"
         "  --units U             units of the recording: g, ms2, counts or auto\n"
         "                        (default: g, or auto with --auto)\n"
         "  --output-units U      units of the calibrated output: g or ms2\n"
         "                        (default: the recording's unit; g for counts)\n"
         "  --columns X,Y,Z       1-based field numbers of x, y and z (default 1,2,3)\n"
         "  --delimiter D         field separator: one character, tab or space (default ,)\n"
         "  --json                print one JSON document instead of the text report\n"
         "  --plot FILE.svg       also draw the smoothed axes and the chosen rests\n"
         "  --live                capture from SOURCE (- for standard input, a FIFO, a serial\n"
         "                        device, or a file replayed), saying what to hold next\n"
         "  --target-mg X         with --live: stop at this expected error (default 0.5 mg)\n"
         "  --save FILE           with --live: keep every line read in FILE\n"
         "  --c-header FILE.h     also write the calibration as a C99 header for firmware\n"
         "  --c-prefix NAME       name its symbols NAME_GAIN, NAME_OFFSET, NAME_apply\n"
         "  --apply CALIB.json    write FILE with its three columns calibrated\n"
         "  -h, --help            print this text\n"
         "  --version             print the version\n"
         "\n"
         "Exit status: 0 success, 255 calibration failed, 234 usage or a bad argument,\n"
         "254 the recording cannot be read or is not text, 244 out of memory, 181 too many\n"
         "lines, 251 the report could not be written.\n";
}

}  // namespace cli
}  // namespace tiltfit
