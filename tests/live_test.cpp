// tiltfit --live as a user runs it: a generated session paced through a pipe by a logger stand-in
// (tiltfit_pace), a terminal, signals, a silent FIFO and a serial device that goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli_harness.h"
#include "generated_csv.h"
#include "recording_generator.h"

namespace {

using nlohmann::json;
using tiltfit_test::Outcome;
using tiltfit_test::slurp;
using tiltfit_test::TempDir;

const std::string kExe = TILTFIT_EXE;
const std::string kPacer = TILTFIT_PACER;

// A bench session as a person holds it, in the order the tool asks for (an axis pointing up reads
// +1 g; the generator's "d" reads +1): the six axis orientations, positions between them, then
// the device turning about until the logger is stopped.
tiltfit_gen::Options session() {
  tiltfit_gen::Options o;
  o.seed = 17;
  o.order = "zd,zu,xd,xu,yd,yu";
  o.restSamples = 4000;
  o.transitionSamples = 600;
  o.extraRests = 4;
  o.motionSamples = 60000;
  o.motionDegPerSample = 0.05;
  o.offset[0] = 0.03;
  o.offset[1] = -0.02;
  o.offset[2] = 0.05;
  const double K[9] = {1.02, 0.004, -0.006, 0.003, 0.985, 0.008, -0.005, 0.002, 1.01};
  for (int i = 0; i < 9; ++i) o.gain[i] = K[i];
  return o;
}

pid_t spawn(const std::vector<std::string>& args, int in, int out, int err) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (in >= 0) dup2(in, 0);
    if (out >= 0) dup2(out, 1);
    if (err >= 0) dup2(err, 2);
    for (int fd = 3; fd < 64; ++fd) close(fd);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// The exit status as a shell shows it, 128 + the signal for a process a signal ended.
int waitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// pacer FILE RATE [pacerArgs] | tiltfit --live - [args]; stdout and stderr to files in dir.
struct Live {
  pid_t pacer = -1;
  pid_t tool = -1;
  std::string out, err;
  Live(const TempDir& dir, const std::string& file, int rate,
       const std::vector<std::string>& pacerArgs, const std::vector<std::string>& args) {
    out = dir.path() + "/out";
    err = dir.path() + "/err";
    int p[2];
    if (pipe(p) != 0) return;
    std::vector<std::string> pa = {kPacer, file, std::to_string(rate)};
    pa.insert(pa.end(), pacerArgs.begin(), pacerArgs.end());
    pacer = spawn(pa, -1, p[1], -1);
    std::vector<std::string> ta = {kExe, "--live", "-"};
    ta.insert(ta.end(), args.begin(), args.end());
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    tool = spawn(ta, p[0], o, e);
    close(p[0]);
    close(p[1]);
    close(o);
    close(e);
  }
  int finish() {
    const int status = waitFor(tool);
    kill(pacer, SIGTERM);
    waitFor(pacer);
    return status;
  }
};

// The "tiltfit: live: " events of standard error, in order.
std::vector<std::string> events(const std::string& err) {
  std::vector<std::string> out;
  const std::string key = "tiltfit: live: ";
  for (std::size_t at = err.find(key); at != std::string::npos; at = err.find(key, at + 1)) {
    out.push_back(err.substr(at + key.size(), err.find('\n', at) - at - key.size()));
  }
  return out;
}

bool startsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

// The whole session through a pipe at 6000 lines a second: the guidance comes in order, capture
// stops on its own while the device still turns, and the result is --auto's on the saved capture.
TEST(LiveTest, PacedSessionIsGuidedAndStopsOnItsOwn) {
  TempDir dir;
  const std::string file = dir.file("session.csv", tiltfit_test::csv(session()));
  const std::string saved = dir.path() + "/saved.csv";
  Live live(dir, file, 6000, {}, {"--save", saved, "--json"});
  ASSERT_EQ(live.finish(), 0) << slurp(live.err);
  const std::vector<std::string> ev = events(slurp(live.err));
  ASSERT_GE(ev.size(), 3u);
  // The six orientations are asked for one after another, each asked for before it is captured.
  const char* const six[6] = {"z up (z reads about +1 g)", "z down (z reads about -1 g)",
                              "x up (x reads about +1 g)", "x down (x reads about -1 g)",
                              "y up (y reads about +1 g)", "y down (y reads about -1 g)"};
  std::size_t at = 0;
  for (const char* o : six) {
    // Each instruction says how long to hold, once the source's rate is known.
    while (at < ev.size() && !startsWith(ev[at], std::string("next: hold ") + o)) ++at;
    ASSERT_LT(at, ev.size()) << "never asked for " << o;
    // Captured once held long enough, or when its stretch ends.
    while (at < ev.size() && ev[at] != std::string(o) + " captured" &&
           !(startsWith(ev[at], "still stretch of ") &&
             ev[at].find(std::string("): ") + o) != std::string::npos))
      ++at;
    ASSERT_LT(at, ev.size()) << o << " never captured";
  }
  // Then positions between two axes, until the expected error is within the target.
  bool between = false;
  for (std::size_t k = at; k < ev.size(); ++k)
    between = between || (startsWith(ev[k], "next: hold ") &&
                          ev[k].find("tilted about 45") != std::string::npos);
  EXPECT_TRUE(between);
  EXPECT_TRUE(startsWith(ev.back(), "capture ended: the held-out error is ")) << ev.back();

  // Stopped before the motion ended: the capture is a part of the session, byte for byte.
  const std::string all = slurp(file);
  const std::string kept = slurp(saved);
  EXPECT_LT(kept.size(), all.size() - 60000 * 20);
  EXPECT_EQ(all.compare(0, kept.size(), kept), 0);
  const json report = json::parse(slurp(live.out));
  EXPECT_LE(report["quality"]["held_out_mg"]["mean"].get<double>(), 0.5);
  const Outcome again = tiltfit_test::run(kExe, {"--auto", saved, "--json"});
  ASSERT_EQ(again.status, 0);
  EXPECT_EQ(json::parse(again.out)["calibration"], report["calibration"]);
}

// On a terminal: one status line, redrawn in place, at most ten times a second.
TEST(LiveTest, TerminalShowsOneStatusLineRedrawnInPlace) {
  TempDir dir;
  tiltfit_gen::Options o = session();
  o.extraRests = 0;
  o.motionSamples = 0;
  const std::string file = dir.file("session.csv", tiltfit_test::csv(o));
  const std::string command = "'" + kPacer + "' '" + file + "' 8000 | '" + kExe + "' --live -";
  const auto start = std::chrono::steady_clock::now();
  const Outcome r = tiltfit_test::run("/usr/bin/script", {"-qfec", command, "/dev/null"});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 0) << r.out;
  std::size_t redraws = 0;
  for (std::size_t at = r.out.find("\r\033[Kcaptured:"); at != std::string::npos;
       at = r.out.find("\r\033[Kcaptured:", at + 1))
    ++redraws;
  EXPECT_GE(redraws, 5u) << r.out;
  EXPECT_LE(static_cast<double>(redraws), 10.0 * seconds + 40.0);  // events redraw it too
  EXPECT_NE(r.out.find("| next: hold") == std::string::npos ? r.out.find("| hold") : 0,
            std::string::npos);
  EXPECT_NE(r.out.find("Calibration success"), std::string::npos);
}

// SIGINT ends the capture and calibrates what was read; a second one ends the tool at once. The
// saved capture holds every byte read either way.
TEST(LiveTest, InterruptEndsTheCaptureAndASecondEndsTheTool) {
  TempDir dir;
  const std::string file = dir.file("session.csv", tiltfit_test::csv(session()));
  const std::string all = slurp(file);
  for (const int interrupts : {1, 2}) {
    const std::string saved = dir.path() + "/saved" + std::to_string(interrupts) + ".csv";
    // Fast, so that calibrating what was read takes a while: the second signal comes meanwhile.
    Live live(dir, file, 50000, {}, {"--save", saved, "--target-mg", "0.001"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(live.tool, SIGINT);
    if (interrupts == 2) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      kill(live.tool, SIGINT);
    }
    const int status = live.finish();
    const std::string kept = slurp(saved);
    EXPECT_GT(kept.size(), 1000u);
    EXPECT_EQ(all.compare(0, kept.size(), kept), 0);
    if (interrupts == 1) {
      EXPECT_TRUE(status == 0 || status == 255) << status;
      const std::vector<std::string> ev = events(slurp(live.err));
      ASSERT_FALSE(ev.empty());
      EXPECT_TRUE(startsWith(ev.back(), "capture ended: interrupted (SIGINT)")) << ev.back();
    } else {
      EXPECT_EQ(status, 128 + SIGINT);
    }
  }
}

// A FIFO whose writer falls silent for longer than 5 s: the tool says so and goes on listening;
// when the writer closes, the capture ends with everything read.
TEST(LiveTest, SilentFifoIsReportedAndClosingItEndsTheCapture) {
  TempDir dir;
  tiltfit_gen::Options o = session();
  o.extraRests = 0;
  o.motionSamples = 0;
  o.restSamples = 1500;
  const std::string file = dir.file("session.csv", tiltfit_test::csv(o));
  const std::string fifo = dir.path() + "/logger";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int out = open((dir.path() + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open((dir.path() + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const pid_t tool = spawn({kExe, "--live", fifo, "--target-mg", "0.001"}, -1, out, err);
  const int writer = open(fifo.c_str(), O_WRONLY);
  const pid_t pacer = spawn({kPacer, file, "8000", "--pause-at", "3000", "5.6"}, -1, writer, -1);
  close(writer);
  close(out);
  close(err);
  EXPECT_EQ(waitFor(pacer), 0);
  const int status = waitFor(tool);
  const std::vector<std::string> ev = events(slurp(dir.path() + "/err"));
  std::size_t silent = 0;
  while (silent < ev.size() && !startsWith(ev[silent], "no line for 5 s")) ++silent;
  ASSERT_LT(silent, ev.size());
  bool after = false;
  for (std::size_t k = silent + 1; k < ev.size(); ++k)
    after = after || startsWith(ev[k], "still stretch");
  EXPECT_TRUE(after);
  const std::string text = slurp(file);
  const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  EXPECT_EQ(ev.back(), "capture ended: end of input; " + std::to_string(lines) +
                           " lines read, 1 without readings")
      << ev.back();
  EXPECT_EQ(status, 0);
}

// A serial device that goes away (the terminal's other end closes): the read fails with EIO, the
// capture ends and what was read is calibrated.
TEST(LiveTest, UnpluggedDeviceEndsTheCapture) {
  TempDir dir;
  tiltfit_gen::Options o = session();
  o.extraRests = 0;
  o.motionSamples = 0;
  o.restSamples = 1500;
  const std::string text = tiltfit_test::csv(o);
  int master = -1;
  int slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  const std::string saved = dir.path() + "/saved.csv";
  const int out = open((dir.path() + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open((dir.path() + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const pid_t tool =
      spawn({kExe, "--live", name, "--save", saved, "--target-mg", "0.001"}, -1, out, err);
  close(out);
  close(err);
  close(slave);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // A device writes in small pieces; the terminal's buffer is small.
  for (std::size_t at = 0; at < text.size(); at += 512) {
    const std::size_t n = std::min<std::size_t>(512, text.size() - at);
    ASSERT_EQ(write(master, text.data() + at, n), static_cast<ssize_t>(n));
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  close(master);
  const int status = waitFor(tool);
  const std::vector<std::string> ev = events(slurp(dir.path() + "/err"));
  ASSERT_FALSE(ev.empty());
  EXPECT_TRUE(startsWith(ev.back(), "capture ended: ")) << ev.back();
  EXPECT_EQ(slurp(saved), text);
  EXPECT_EQ(status, 0) << slurp(dir.path() + "/err");
}

// A logger left running: a capture of more lines than the rests' search holds in memory is
// calibrated from its still stretches as a stream, says so, and gives what --auto --method
// stretches gives for the saved capture.
TEST(LiveTest, LongCaptureIsCalibratedFromItsStretchesAsAStream) {
  TempDir dir;
  tiltfit_gen::Options o = session();
  o.restSamples = 340000;  // six rests and the extra positions: past 2,000,000 lines
  o.motionSamples = 0;
  const std::string file = dir.file("long.csv", tiltfit_test::csv(o));
  const std::string saved = dir.path() + "/saved.csv";
  const Outcome live = tiltfit_test::run(kExe, {"--live", file, "--save", saved, "--json"});
  ASSERT_EQ(live.status, 0) << live.err;
  EXPECT_NE(live.err.find("the capture holds more than 2000000 lines: calibrated from its still "
                          "stretches, read as a stream"),
            std::string::npos)
      << live.err;
  const json report = json::parse(live.out);
  EXPECT_EQ(report["calibration"]["method"], "stretches");
  const Outcome again =
      tiltfit_test::run(kExe, {"--auto", "--method", "stretches", saved, "--json"});
  ASSERT_EQ(again.status, 0);
  EXPECT_EQ(json::parse(again.out)["calibration"], report["calibration"]);
}

}  // namespace
