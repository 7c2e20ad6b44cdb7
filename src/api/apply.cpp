// Applying a calibration to a text: the three reading columns of every line that holds them
// rewritten with the calibrated values, everything else copied byte for byte.
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "layoutSniff.h"
#include "lineLayer.h"
#include "tiltfit/tiltfit.hpp"

namespace tiltfit {
namespace {

// A calibration and the layout of the text it applies to. For a raw sample as the row vector
// r = (x, y, z): calibrated_j = sum_i r_i * gain[3 * i + j] + offset[j].
// With a gyroscope: its calibration in the same form, gain[9 ..] and offset[3 ..], and its columns
// at columns[3 ..].
struct CalibrationFile {
  CalibrationFile(const Calibration& c, const Layout& layout, const GyroCalibration* g = nullptr)
      : delimiter(layout.delimiter), blanks(layout.blanks), sensors(g != nullptr ? 2 : 1) {
    for (std::size_t i = 0; i < 3; ++i) {
      offset[i] = c.offset[i];
      columns[i] = layout.columns[i];
      for (std::size_t j = 0; j < 3; ++j) gain[3 * i + j] = c.gainMatrix[i][j];
      if (g == nullptr) continue;
      offset[3 + i] = g->offset[i];
      columns[3 + i] = layout.gyroColumns[i];
      for (std::size_t j = 0; j < 3; ++j) gain[9 + 3 * i + j] = g->gainMatrix[i][j];
    }
  }
  double gain[18] = {};
  double offset[6] = {};
  int columns[6] = {};
  char delimiter;
  bool blanks;
  int sensors;  // 1: the accelerometer; 2: and the gyroscope
  int count() const { return 3 * sensors; }
};

// Input is read in blocks of kBlock bytes per thread behind the unfinished line carried over, which
// may grow to kLongLine before it is given up on and copied through.
constexpr std::size_t kBlock = std::size_t{1} << 20;
constexpr std::size_t kLongLine = std::size_t{1} << 20;
constexpr int kMaxThreads = 16;
// Parts per thread and block: a thread the system stalls holds up a small part only.
constexpr int kPartsPerThread = 4;
// The longest text std::to_chars gives a double in its shortest form ("-2.2250738585072014e-308").
constexpr std::size_t kNumberText = 24;

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The calibration with the line layer that finds its fields; spans come in field order.
struct Plan {
  explicit Plan(const CalibrationFile& file)
      : c(file),
        cutter(io::Separator{file.delimiter, file.blanks},
               std::vector<int>(file.columns, file.columns + file.count())) {
    // The readings in the order their fields stand on a line (an insertion sort of six).
    for (int k = 0; k < c.count(); ++k) {
      int at = k;
      while (at > 0 && c.columns[slot[at - 1]] > c.columns[k]) {
        slot[at] = slot[at - 1];
        --at;
      }
      slot[at] = k;
    }
  }
  const CalibrationFile& c;
  io::LineCutter cutter;
  // slot[k]: the k-th field of a line is the accelerometer's x, y or z (0, 1, 2) or the
  // gyroscope's (3, 4, 5).
  int slot[6] = {};
};

// Whether a line that was not calibrated holds numbers all the same: a digit somewhere, and a
// field at one of the columns that is not blank (a record of another kind leaves them empty).
bool holdsNumbers(const char* b, const char* end, const tiltfit_csv::FieldSpan* spans) {
  bool digit = false;
  for (const char* p = b; p < end && !digit; ++p) digit = *p >= '0' && *p <= '9';
  if (!digit) return false;
  for (int k = 0; k < 3; ++k) {
    for (const char* p = spans[k].begin; p != nullptr && p < spans[k].end; ++p) {
      if (!isBlank(*p) && *p != '\r') return true;
    }
  }
  return false;
}

// Writes the line [b, e) (e past its '\n', or at the end of the input) to o, calibrated or as it
// is, and counts it; returns the end of what it wrote. o has room for (e - b) + 3 * kNumberText
// bytes.
char* transformLine(const Plan& plan, const char* b, const char* e, char* o, ApplyCounts& counts) {
  const std::size_t length = static_cast<std::size_t>(e - b);
  if (length > kLongLine) {
    std::memcpy(o, b, length);
    return o + length;
  }
  const char* end = e;
  if (end > b && end[-1] == '\n') --end;
  if (end > b && end[-1] == '\r') --end;

  double raw[6];
  tiltfit_csv::FieldSpan spans[6];
  const unsigned got = plan.cutter.cut(b, end, raw, spans);
  const bool numbers = (got & 7U) == 7U && std::isfinite(raw[0]) && std::isfinite(raw[1]) &&
                       std::isfinite(raw[2]);
  // The gyroscope's readings calibrate where the line holds them all.
  const bool rates = plan.c.sensors == 2 && (got & 56U) == 56U && std::isfinite(raw[3]) &&
                     std::isfinite(raw[4]) && std::isfinite(raw[5]);
  if (!numbers) {
    if (holdsNumbers(b, end, spans)) ++counts.linesWithNumbers;
    std::memcpy(o, b, length);
    return o + length;
  }
  ++counts.linesWithNumbers;
  ++counts.linesCalibrated;
  double value[6];
  for (int s = 0; s < plan.c.sensors; ++s) {
    const double* g = plan.c.gain + 9 * s;
    const double* r = raw + 3 * s;
    for (int j = 0; j < 3; ++j) {
      value[3 * s + j] = ((r[0] * g[j] + r[1] * g[3 + j]) + r[2] * g[6 + j]) + plan.c.offset[3 * s + j];
    }
  }
  // Each number's text gives way to its calibrated value; the blanks and anything else around
  // it in the field stay.
  const char* from = b;
  for (int k = 0; k < plan.c.count(); ++k) {
    if (plan.slot[k] >= 3 && !rates) continue;
    const char* number = spans[k].begin;
    while (number < spans[k].numberEnd && (*number == ' ' || (*number >= '\t' && *number <= '\r')))
      ++number;
    std::memcpy(o, from, static_cast<std::size_t>(number - from));
    o += number - from;
    o = std::to_chars(o, o + kNumberText, value[plan.slot[k]]).ptr;
    from = spans[k].numberEnd;
  }
  std::memcpy(o, from, static_cast<std::size_t>(e - from));
  return o + (e - from);
}

// The lines [b, e) into out, grown as needed (to some 12 times e - b at worst, for lines of
// one-digit numbers); returns the bytes written.
std::size_t transformLines(const Plan& plan, const char* b, const char* e, std::vector<char>& out,
                           ApplyCounts& counts) {
  std::size_t used = 0;
  while (b < e) {
    const auto* nl =
        static_cast<const char*>(std::memchr(b, '\n', static_cast<std::size_t>(e - b)));
    const char* next = nl != nullptr ? nl + 1 : e;
    const std::size_t room = static_cast<std::size_t>(next - b) + 6 * kNumberText;
    if (out.size() - used < room) out.resize(std::max(2 * out.size(), used + room));
    used = static_cast<std::size_t>(transformLine(plan, b, next, out.data() + used, counts) -
                                    out.data());
    b = next;
  }
  return used;
}

// Writes n bytes; returns 0 or the errno value of the failure.
int put(std::FILE* out, const char* b, std::size_t n) {
  errno = 0;
  if (n > 0 && std::fwrite(b, 1, n, out) != n) return errno != 0 ? errno : EIO;
  return 0;
}

// Each block of input is cut at line ends into a few parts per thread; the parts are calibrated in
// parallel, each into an output buffer of its own, and written in order. Formatting the shortest
// round-trip text of a double (std::to_chars, some 50 ns) is most of the work; on one thread a
// recording takes about 1.5 times as long as its whole calibration (which uses every core).
int applyInBlocks(const Plan& plan, std::FILE* in, std::FILE* out, const std::string& head,
                  ApplyCounts& counts) {
  const int threads = std::min(std::max(omp_get_max_threads(), 1), kMaxThreads);
  std::vector<char> buffer(kLongLine + kBlock * static_cast<std::size_t>(threads));
  const int count = threads * kPartsPerThread;
  std::vector<std::vector<char>> parts(static_cast<std::size_t>(count));
  std::vector<ApplyCounts> partCounts(static_cast<std::size_t>(count));
  std::size_t sizes[kMaxThreads * kPartsPerThread];
  char* const base = buffer.data();
  // The head already read from in comes first, as an unfinished line would.
  std::size_t kept = std::min(head.size(), kLongLine);
  std::memcpy(base, head.data(), kept);
  bool passing = false;  // inside a line too long to calibrate, copying it through
  for (;;) {
    errno = 0;
    const std::size_t got = std::fread(base + kept, 1, buffer.size() - kept, in);
    if (got == 0) {
      if (std::ferror(in)) return errno != 0 ? errno : EIO;
      if (kept == 0) break;
      const std::size_t n = transformLines(plan, base, base + kept, parts[0], counts);
      if (const int error = put(out, parts[0].data(), n)) return error;
      break;
    }
    const char* p = base;
    const char* const end = base + kept + got;
    if (passing) {
      const auto* nl =
          static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* stop = nl != nullptr ? nl + 1 : end;
      if (const int error = put(out, p, static_cast<std::size_t>(stop - p))) return error;
      passing = nl == nullptr;
      p = stop;
    }
    const char* last = end;
    while (last > p && last[-1] != '\n') --last;
    if (last > p) {
      const char* cut[kMaxThreads * kPartsPerThread + 1];
      cut[0] = p;
      for (int t = 1; t < count; ++t) {
        const char* at = std::max(cut[t - 1], p + (last - p) / count * t);
        const auto* nl =
            static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(last - at)));
        cut[t] = nl != nullptr ? nl + 1 : last;
      }
      cut[count] = last;
      // Threads of its own rather than an OpenMP team: between blocks the helpers are gone instead
      // of spinning, which on a machine busy with other work cost more than they gained.
      std::atomic<int> next{0};
      std::atomic<bool> outOfMemory{false};
      auto work = [&] {
        for (int t; (t = next.fetch_add(1)) < count;) {
          try {
            sizes[t] = transformLines(plan, cut[t], cut[t + 1], parts[static_cast<std::size_t>(t)],
                                      partCounts[static_cast<std::size_t>(t)]);
          } catch (const std::bad_alloc&) {
            outOfMemory = true;
          }
        }
      };
      std::vector<std::thread> helpers;
      helpers.reserve(static_cast<std::size_t>(threads - 1));
      for (int k = 1; k < threads; ++k) {
        try {
          helpers.emplace_back(work);
        } catch (const std::system_error&) {
          break;  // the threads there are share the parts
        }
      }
      work();
      for (std::thread& h : helpers) h.join();
      if (outOfMemory) return ENOMEM;
      for (ApplyCounts& c : partCounts) {
        counts.linesWithNumbers += c.linesWithNumbers;
        counts.linesCalibrated += c.linesCalibrated;
        c = ApplyCounts();
      }
      for (int t = 0; t < count; ++t) {
        if (const int error = put(out, parts[static_cast<std::size_t>(t)].data(), sizes[t])) {
          return error;
        }
      }
      p = last;
    }
    kept = static_cast<std::size_t>(end - p);
    if (kept > kLongLine) {
      if (const int error = put(out, p, kept)) return error;
      passing = true;
      kept = 0;
    } else if (kept > 0) {
      std::memmove(base, p, kept);
    }
  }
  errno = 0;
  if (std::fflush(out) != 0 || std::ferror(out)) return errno != 0 ? errno : EIO;
  return 0;
}

}  // namespace

int applyCalibrationToText(const Calibration& calibration, const Layout& layout, std::FILE* in,
                           std::FILE* out, ApplyCounts* counts, const std::string& head,
                           const GyroCalibration* gyro) {
  const CalibrationFile c(calibration, layout, gyro);
  const int* col = c.columns;
  for (int a = 0; a < c.count(); ++a) {
    if (col[a] < 1) return EINVAL;
    for (int b = 0; b < a; ++b)
      if (col[a] == col[b]) return EINVAL;
  }
  if (head.size() > kLongLine) return EINVAL;
  ApplyCounts mine;
  try {
    return applyInBlocks(Plan(c), in, out, head, counts != nullptr ? *counts : mine);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

std::string layoutWords(const Layout& layout) {
  const CalibrationFile c(Calibration(), layout);
  std::string d = c.blanks              ? std::string("space")
                  : c.delimiter == '\t' ? std::string("tab")
                                        : std::string(1, c.delimiter);
  return "columns " + std::to_string(c.columns[0]) + "," + std::to_string(c.columns[1]) + "," +
         std::to_string(c.columns[2]) + " at " +
         (c.blanks || c.delimiter == '\t' ? d : "'" + d + "'");
}

std::string layoutMismatch(const Layout& layout, const std::string& head) {
  const CalibrationFile c(Calibration(), layout);
  // Whole lines of the head only, as applying would count them.
  const std::size_t cut = head.rfind('\n');
  if (cut == std::string::npos) return "";
  const std::string whole = head.substr(0, cut + 1);
  std::vector<char> scratch;
  ApplyCounts counts;
  const Plan plan(c);
  transformLines(plan, whole.data(), whole.data() + whole.size(), scratch, counts);
  if (!tooFewCalibrated(counts) && counts.linesCalibrated > 0) return "";
  const std::vector<std::string> lines = io::splitLines(whole.data(), whole.size(), 2000);
  const analysis::LayoutGuess guess = analysis::sniffLayout(lines);
  // Nothing calibrates and nothing counts: lines whose fields end before the columns, or a head
  // with no numbers at all (a long banner), which the end of the text will judge.
  if (counts.linesWithNumbers == 0 && !guess.ok) return "";
  std::string why;
  if (guess.ok &&
      (guess.layout.blanks != c.blanks || (!c.blanks && guess.layout.delimiter != c.delimiter))) {
    why = std::string("the calibration splits the fields at ") +
          (c.blanks ? std::string("runs of blanks")
                    : analysis::delimiterArgument(Layout{{1, 2, 3}, c.delimiter, false})) +
          ", the lines hold " + analysis::delimiterArgument(guess.layout) +
          " between their numbers";
  } else if (guess.ok && std::max({c.columns[0], c.columns[1], c.columns[2]}) > guess.fields) {
    why = "the calibration reads columns " + std::to_string(c.columns[0]) + "," +
          std::to_string(c.columns[1]) + "," + std::to_string(c.columns[2]) + ", the lines have " +
          std::to_string(guess.fields) + " fields";
  } else {
    why = "of the first " + std::to_string(counts.linesWithNumbers) + " lines that hold numbers, " +
          std::to_string(counts.linesCalibrated) + " have numbers at the calibration's " +
          layoutWords(layout);
  }
  return why;
}

std::string columnsByName(const std::array<std::string, 3>& names, const std::string& head,
                          Layout& layout) {
  const io::Separator sep{layout.delimiter, layout.blanks};
  std::size_t best = 0;
  std::string missing;
  for (const std::string& line : io::splitLines(head.data(), head.size(), 2000)) {
    std::vector<std::string> fields = io::splitFields(line, sep);
    for (std::string& f : fields) {
      while (!f.empty() && (f.back() == ' ' || f.back() == '\t' || f.back() == '\r')) f.pop_back();
      f.erase(0, std::min(f.find_first_not_of(" \t"), f.size()));
    }
    std::array<int, 3> at{{0, 0, 0}};
    std::size_t found = 0;
    std::string notHere;
    for (std::size_t k = 0; k < 3; ++k) {
      const auto it = std::find(fields.begin(), fields.end(), names[k]);
      if (it == fields.end()) {
        if (notHere.empty()) notHere = names[k];
        continue;
      }
      at[k] = static_cast<int>(it - fields.begin()) + 1;
      ++found;
    }
    if (found == 3) {
      layout.columns = at;
      return "";
    }
    if (found > best) {
      best = found;
      missing = notHere;
    }
  }
  if (best == 0) return "names none of them";
  return "does not name \"" + missing + "\"";
}

bool tooFewCalibrated(const ApplyCounts& counts) {
  return counts.linesCalibrated * 10 < counts.linesWithNumbers * 9;
}

}  // namespace tiltfit
