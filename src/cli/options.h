// The command line's grammar: six positional arguments (the recording and five tuning numbers) or
// `--auto FILE`, followed or preceded by options that all start with `--`.
#ifndef TILTFIT_CLI_OPTIONS_H
#define TILTFIT_CLI_OPTIONS_H

#include <cstddef>
#include <string>
#include <vector>

namespace tiltfit {
namespace cli {

struct CliOptions {
  bool help = false;
  bool version = false;
  bool autoMode = false;
  bool liveMode = false;  // --live SOURCE
  std::string targetMg;   // --target-mg X, as given
  std::string savePath;   // --save FILE
  bool refine = false;
  bool noRefine = false;
  bool json = false;
  std::string method;    // --method: "auto", "six-rest", "stretches" or empty
  std::string units;     // "g", "ms2", "counts", "auto" or empty (the mode's default)
  std::string rotation;  // --rotation: "auto", "rests", "none" or empty
  double gravity = 0.0;  // --gravity: m/s^2 of 1 g, 0 for the mode's default
  bool noGyro = false;   // --no-gyro
  bool gyroColumnsGiven = false;
  int gyroColumns[3] = {0, 0, 0};  // --gyro-columns X,Y,Z
  double rateHz = 0.0;             // --rate HZ
  double targetDeg = 0.0;          // --target-deg X, 0 for the default
  std::string outputUnits;         // "g", "ms2" or empty (the recording's own unit; g for counts)
  bool columnsGiven = false;
  int columns[3] = {1, 2, 3};  // 1-based field numbers of x, y, z
  bool delimiterGiven = false;
  char delimiter = ',';
  bool blanks = false;  // fields separated by any run of blanks
  std::string plotPath;
  std::string cHeaderPath;  // --c-header FILE.h
  std::string cPrefix;      // --c-prefix NAME
  std::string applyPath;    // --apply CALIB.json
  std::string noisePath;      // --noise FILE: the noise figures of a still recording
  std::string noiseFilePath;  // --noise-file STILL.csv: a calibration run's noise figures
  std::string gyroUnits;      // --gyro-units: "rad/s", "deg/s" or counts per deg/s, as given
  std::string format;      // --format NAME
  std::string outputPath;  // --output FILE
  std::vector<std::string> positionals;
  std::string commandLine;  // the command as given, quoted for a shell
  // Set by --live for the calibration of a capture that is not kept: the path the report names
  // (empty: the file's), and no command to repeat it.
  std::string shownPath;
  bool noRepeat = false;
  bool anyOption = false;  // at least one argument starting with "--" (or -h)
};

// One option of the command line: the table of them is what the parser reads and what --help
// prints.
struct Option {
  const char* name;   // "--units"
  const char* value;  // the word for its value in the help ("U"), or nullptr for a flag
  const char* help;   // one line or several, separated by '\n'
  // Sets the option from its value ("" for a flag); returns "" or why the value is refused.
  std::string (*apply)(CliOptions& options, const std::string& value);
};
// Every option, in the order --help lists them; *count receives how many.
const Option* options(std::size_t* count);

// Parses argv. Arguments that start with "--" are options wherever they stand; "-h" is --help;
// every other argument (including "-", standard input) is positional. Options taking a value
// accept it as the next argument or after '='. Returns an empty string, or the one-line reason
// why the command line is refused (an unknown option, a missing or bad value).
std::string parseArguments(int argc, const char* const* argv, CliOptions& options);

// The usage text of --help: every mode, and every option of the table.
std::string helpText();

}  // namespace cli
}  // namespace tiltfit

#endif
