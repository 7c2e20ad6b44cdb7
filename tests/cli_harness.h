// Runs the built tiltfit executable as a user would and captures what it prints.
#ifndef TILTFIT_TESTS_CLI_HARNESS_H
#define TILTFIT_TESTS_CLI_HARNESS_H

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tiltfit_test {

struct Outcome {
  int status = -1;  // exit status as the shell sees it (0-255), or -1 when killed
  int signal = 0;   // the signal that ended the process, if any
  std::string out;
  std::string err;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A fresh temporary directory, removed with its files afterwards.
class TempDir {
 public:
  TempDir() {
    char dir[] = "/tmp/tiltfit_cli_XXXXXX";
    path_ = mkdtemp(dir);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string& name, const std::string& contents) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << contents;
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs `exe args...` with standard output and error captured; addressSpaceLimit (bytes, 0 for
// none) lowers RLIMIT_AS for the child only; stdoutPath, when given, replaces the capture file;
// stdinPath, when given, is standard input (else /dev/null).
inline Outcome run(const std::string& exe, const std::vector<std::string>& args,
                   unsigned long long addressSpaceLimit = 0, const std::string& stdoutPath = "",
                   const std::string& stdinPath = "") {
  TempDir dir;
  const std::string outPath = dir.path() + "/out";
  const std::string errPath = dir.path() + "/err";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(stdoutPath.empty() ? outPath.c_str() : stdoutPath.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (addressSpaceLimit > 0) {
      const rlimit lim{addressSpaceLimit, addressSpaceLimit};
      setrlimit(RLIMIT_AS, &lim);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Outcome o;
  if (WIFEXITED(wstatus)) o.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) o.signal = WTERMSIG(wstatus);
  o.out = slurp(outPath);
  o.err = slurp(errPath);
  return o;
}

// What the classic text report adds on standard error after a success: the relation its numbers
// satisfy.
inline const char* const kRelationLine =
    "tiltfit: the numbers above satisfy calibrated = raw \xC2\xB7 accGainMatrix + accOffset, raw "
    "being the row vector (x, y, z); for firmware that multiplies a column vector, --json gives "
    "the transposed matrix as column_form\n";

// What follows the reasons of a failure that no tuning number can mend, after the failure line.
inline const char* const kNoNumberHelps =
    "tiltfit: no tuning number will mend this: the failure line's advice to increase tolerancePct "
    "or deltaThresholdWindow does not apply here\n";

// The report with the execution-time figure replaced by N.
inline std::string maskTime(std::string out) {
  const std::string key = "Execution time : ";
  const size_t at = out.find(key);
  if (at == std::string::npos) return out;
  size_t end = at + key.size();
  while (end < out.size() && out[end] >= '0' && out[end] <= '9') ++end;
  return out.replace(at + key.size(), end - at - key.size(), "N");
}

// Standard error without the line of quality figures that follows every text report, for tests
// of something else; quality(err) is that line, empty when there is none.
inline std::string quality(const std::string& err) {
  const std::string key = "tiltfit: quality: ";
  const size_t at = err.find(key);
  if (at == std::string::npos || (at > 0 && err[at - 1] != '\n')) return "";
  const size_t end = err.find('\n', at);
  return err.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
}
inline std::string withoutQuality(std::string err) {
  const std::string line = quality(err);
  if (!line.empty()) err.erase(err.find(line), line.size());
  return err;
}

}  // namespace tiltfit_test

#endif
