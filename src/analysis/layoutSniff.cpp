#include "layoutSniff.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>

#include "lineLayer.h"

namespace tiltfit {
namespace analysis {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> split(const std::string& line, char delimiter, bool blanks) {
  return io::splitFields(line, io::Separator{delimiter, blanks});
}

using io::wholeNumber;

// "12,5" or "-0,25": a number with a decimal comma.
bool decimalCommaField(const std::string& field) {
  std::size_t i = 0;
  while (i < field.size() && isBlank(field[i])) ++i;
  if (i < field.size() && (field[i] == '-' || field[i] == '+')) ++i;
  const std::size_t digits = i;
  while (i < field.size() && field[i] >= '0' && field[i] <= '9') ++i;
  if (i == digits || i >= field.size() || field[i] != ',') return false;
  const std::size_t frac = ++i;
  while (i < field.size() && field[i] >= '0' && field[i] <= '9') ++i;
  return i > frac;
}

// The lines that hold numbers, cut at one delimiter: cells that are no number are NaN.
struct Table {
  std::vector<std::vector<double>> rows;  // lines with the usual field count
  int fields = 0;
};

// A line holds readings when at least three of its fields are numbers and the others are empty or
// hold words, which records of other kinds and state words leave; a field such as "5;1" (numbers
// cut at the wrong delimiter) rules the line out.
bool numbersLine(const std::vector<std::string>& fields, std::vector<double>& values) {
  values.assign(fields.size(), std::nan(""));
  int numbers = 0;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    double v;
    if (wholeNumber(fields[k], v)) {
      values[k] = v;
      ++numbers;
      continue;
    }
    bool letters = false;
    bool digits = false;
    for (char c : fields[k]) {
      if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') letters = true;
      if (c >= '0' && c <= '9') digits = true;
    }
    if (digits && !letters) return false;
  }
  return numbers >= 3;
}

// The lines of numbers with the most common field count, when at least three.
Table numericTable(const std::vector<std::string>& lines, char delimiter, bool blanks) {
  std::map<int, int> counts;
  std::vector<std::vector<double>> parsed;
  std::vector<double> values;
  for (const std::string& line : lines) {
    if (!numbersLine(split(line, delimiter, blanks), values)) continue;
    ++counts[static_cast<int>(values.size())];
    parsed.push_back(values);
  }
  Table t;
  int best = 0;
  for (const auto& c : counts) {
    if (c.second > best) {
      best = c.second;
      t.fields = c.first;
    }
  }
  for (auto& row : parsed) {
    if (static_cast<int>(row.size()) == t.fields) t.rows.push_back(std::move(row));
  }
  return t;
}

// Rows in which the column holds a number.
std::size_t numbersIn(const Table& t, int column) {
  std::size_t n = 0;
  for (const auto& row : t.rows) n += std::isfinite(row[static_cast<std::size_t>(column)]);
  return n;
}

// A column holds numbers when at least a quarter of the lines (and two) hold one there.
bool numericColumn(const Table& t, int column) {
  const std::size_t n = numbersIn(t, column);
  return n >= 2 && n * 4 >= t.rows.size();
}

// A time, counter or index: it rises in at least a third of the steps (a counter that records of
// two kinds share rises every other line) and falls at most once in twenty steps (a time that
// starts again in each of several files put one after the other).
bool growing(const Table& t, int column) {
  std::size_t steps = 0;
  std::size_t rises = 0;
  std::size_t falls = 0;
  double last = std::nan("");
  for (const auto& row : t.rows) {
    const double v = row[static_cast<std::size_t>(column)];
    if (!std::isfinite(v)) continue;
    if (std::isfinite(last)) {
      ++steps;
      if (v > last) ++rises;
      if (v < last) ++falls;
    }
    last = v;
  }
  return steps >= 2 && rises * 3 >= steps && falls * 20 <= steps;
}

// Relative spread of the magnitude of columns (a, b, c) over the rows that hold all three, or
// infinity when one of them does not swing by half the magnitude (a temperature, a constant).
double magnitudeSpread(const Table& t, int a, int b, int c) {
  std::vector<double> mag;
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
  double hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  const int cols[3] = {a, b, c};
  for (const auto& row : t.rows) {
    double s = 0.0;
    for (int k = 0; k < 3; ++k)
      s += row[static_cast<std::size_t>(cols[k])] * row[static_cast<std::size_t>(cols[k])];
    if (!std::isfinite(s)) continue;
    for (int k = 0; k < 3; ++k) {
      const double v = row[static_cast<std::size_t>(cols[k])];
      lo[k] = std::min(lo[k], v);
      hi[k] = std::max(hi[k], v);
    }
    mag.push_back(std::sqrt(s));
  }
  if (mag.size() < 3) return HUGE_VAL;
  std::vector<double> sorted = mag;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted[sorted.size() / 2];
  if (!(median > 0.0)) return HUGE_VAL;
  for (int k = 0; k < 3; ++k) {
    if (hi[k] - lo[k] < 0.5 * median) return HUGE_VAL;
  }
  for (double& m : mag) m = std::abs(m - median);
  std::sort(mag.begin(), mag.end());
  return mag[mag.size() / 2] / median;
}

// Header names: words of a column's name, lower case, cut at anything that is no letter or digit,
// between a small and a capital letter and between letters and digits.
std::vector<std::string> nameWords(const std::string& name) {
  std::vector<std::string> words;
  std::string word;
  auto flush = [&] {
    if (!word.empty()) words.push_back(word);
    word.clear();
  };
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (!std::isalnum(c)) {
      flush();
      continue;
    }
    if (!word.empty()) {
      const unsigned char prev = static_cast<unsigned char>(name[i - 1]);
      const bool camel = std::islower(prev) && std::isupper(c);
      const bool digitEdge = (std::isdigit(prev) != 0) != (std::isdigit(c) != 0);
      if (camel || digitEdge) flush();
    }
    word.push_back(static_cast<char>(std::tolower(c)));
  }
  flush();
  return words;
}

bool oneOf(const std::string& w, std::initializer_list<const char*> list) {
  for (const char* l : list) {
    if (w == l) return true;
  }
  return false;
}

// w is one of the blank-separated words of list.
bool amongWords(const std::string& w, const char* list) {
  const std::size_t n = w.size();
  for (const char* p = list; *p != '\0';) {
    const char* end = std::strchr(p, ' ');
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - p) : std::strlen(p);
    if (length == n && w.compare(0, n, p, length) == 0) return true;
    if (end == nullptr) break;
    p = end + 1;
  }
  return false;
}

bool endsWith(const std::string& w, const std::string& tail) {
  return w.size() >= tail.size() && w.compare(w.size() - tail.size(), tail.size(), tail) == 0;
}

bool startsWith(const std::string& w, const char* head) {
  return w.compare(0, std::strlen(head), head) == 0;
}

// "acc", "accel", "scaledaccel" ...: a word that names an accelerometer.
bool accelerometerWord(const std::string& w) {
  if (amongWords(w,
                 "a ac acc accl acl accel accels acceleration accelerations accelerometer "
                 "accelero accelerometre")) {
    return true;
  }
  if (startsWith(w, "accur") || startsWith(w, "accum") || startsWith(w, "access") ||
      startsWith(w, "accoun")) {
    return false;
  }
  for (const char* tail : {"acc", "accel", "acceleration", "accelerometer"}) {
    if (endsWith(w, tail)) return true;
  }
  return false;
}

bool gravityWord(const std::string& w) {
  return w == "grav" || w == "gravity" || endsWith(w, "gravity");
}

// Words that make a column anything but an accelerometer's axis.
bool otherQuantity(const std::string& w) {
  return amongWords(w,
                    "gyro gyr gy gyroscope gyros mag magn magnet magnetometer magnetic compass "
                    "temp temperature tmp time timestamp stamp ts t dt counter count cnt idx index "
                    "seq sequence num no sample samples id quat quaternion q euler roll pitch yaw "
                    "angle ang heading rot rotation rate omega w baro pressure press alt altitude "
                    "lat lon lng gps volt voltage batt battery vel velocity speed pos position "
                    "jerk std var variance noise bias offset scale err error accuracy status flag "
                    "flags state mode orientation hz freq frequency ms us ns sec s date clock tick "
                    "ticks") ||
         startsWith(w, "gyro") || startsWith(w, "magn") || startsWith(w, "temp") ||
         startsWith(w, "time");
}

// The tier a word gives (see ColumnName), with the word to show for it; -1 for none.
int qualifierTier(const std::string& w, std::string& shown) {
  static const struct {
    const char* words;
    int tier;
    const char* shown;
  } kQualifiers[] = {{"est estimated estimate", 1, "estimated"},
                     {"comp compensated", 1, "compensated"},
                     {"filt filtered filter lpf hpf smooth smoothed kf ekf", 1, "filtered"},
                     {"avg mean", 1, "averaged"},
                     {"fused fusion", 1, "fused"},
                     {"cal calib calibrated", 1, "calibrated"},
                     {"corr corrected", 1, "corrected"},
                     {"lin linear dyn dynamic free user", 2, "linear"},
                     {"grav gravity", 2, "gravity"},
                     {"world earth global nav ned enu inertial", 2, "world-frame"}};
  for (const auto& q : kQualifiers) {
    if (amongWords(w, q.words)) {
      shown = q.shown;
      return q.tier;
    }
  }
  // "linacc", "gravacc", "estacc": a qualifier run into the accelerometer word.
  for (const char* prefix : {"lin", "grav", "est", "comp", "filt"}) {
    if (startsWith(w, prefix) && w.size() > std::strlen(prefix) && accelerometerWord(w)) {
      return qualifierTier(prefix, shown);
    }
  }
  return -1;
}

// The unit a word of a name gives, or "".
std::string unitWord(const std::string& w) {
  if (w == "g") return "g";
  if (w == "mpersquare" || w == "mss") return "m/s^2";
  if (w == "mg") return "mg";
  if (oneOf(w, {"lsb", "counts", "count", "digits", "adc"})) return "counts";
  return "";
}

int axisOf(const std::string& w) {
  if (w == "x" || w == "xout") return 0;
  if (w == "y" || w == "yout") return 1;
  if (w == "z" || w == "zout") return 2;
  return -1;
}

}  // namespace

ColumnName parseColumnName(const std::string& field) {
  ColumnName c;
  std::string name = field;
  // Quotes, a byte-order mark and a carriage return around the name.
  if (name.compare(0, 3, "\xEF\xBB\xBF") == 0) name.erase(0, 3);
  name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
  name.erase(std::remove(name.begin(), name.end(), '\''), name.end());
  name.erase(std::remove(name.begin(), name.end(), '\r'), name.end());
  // Metres per second squared, however written, become one word the cutting leaves whole.
  std::string lower;
  for (char ch : name)
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
  for (const char* form : {"m/s^2", "m/s\xC2\xB2", "m/s2", "m/s/s", "m s^-2", "m*s^-2", "m.s-2",
                           "mps2", "ms^2", "ms-2", "ms2", "m_s2", "m_s^2"}) {
    const std::size_t n = std::strlen(form);
    for (std::size_t at = 0; (at = lower.find(form, at)) != std::string::npos;) {
      const bool starts = at == 0 || !std::islower(static_cast<unsigned char>(name[at - 1]));
      const bool ends =
          at + n >= name.size() || !std::isalnum(static_cast<unsigned char>(name[at + n]));
      if (!starts || !ends) {
        ++at;
        continue;
      }
      name.replace(at, n, " mpersquare ");
      lower.replace(at, n, " mpersquare ");
    }
  }
  std::vector<std::string> words = nameWords(name);
  // "accx", "ax", "scaledaccelx", "gravx": an axis letter run into the word before it.
  std::vector<std::string> split;
  for (const std::string& w : words) {
    const char last = w.empty() ? '\0' : w.back();
    if (w.size() >= 2 && (last == 'x' || last == 'y' || last == 'z')) {
      const std::string head = w.substr(0, w.size() - 1);
      if (accelerometerWord(head) || gravityWord(head)) {
        split.push_back(head);
        split.push_back(std::string(1, last));
        continue;
      }
    }
    split.push_back(w);
  }
  bool accelerometer = false;
  std::string pattern;
  for (const std::string& w : split) {
    if (otherQuantity(w)) return ColumnName();
    const int axis = axisOf(w);
    if (axis >= 0) {
      if (c.axis >= 0) return ColumnName();  // "xy": no single axis
      c.axis = axis;
      pattern += "_?";
      continue;
    }
    const std::string unit = unitWord(w);
    if (!unit.empty()) {
      if (c.units.empty()) c.units = unit;
      continue;
    }
    if (accelerometerWord(w) || gravityWord(w)) accelerometer = true;
    std::string shown;
    const int tier = qualifierTier(w, shown);
    if (tier > c.tier) {
      c.tier = tier;
      c.qualifier = shown;
    }
    if (gravityWord(w) && c.tier < 2) {
      c.tier = 2;
      c.qualifier = "gravity";
    }
    pattern += "_" + w;
  }
  if (!accelerometer || c.axis < 0) return ColumnName();
  c.accelerometer = true;
  c.pattern = pattern;
  return c;
}

namespace {

// "gyr", "gyro", "scaledgyro", "angvel", "omega" ...: a word that names a gyroscope.
bool gyroWord(const std::string& w) {
  if (amongWords(w, "g gy gyr gyro gyros gyroscope gyrometer angvel omega")) return true;
  return endsWith(w, "gyro") || endsWith(w, "gyr") || startsWith(w, "gyro");
}

// Words that make a column anything but a gyroscope's axis (an accelerometer's, a magnetometer's,
// an attitude's, a time ...).
bool notGyro(const std::string& w) {
  return accelerometerWord(w) || gravityWord(w) ||
         amongWords(w,
                    "mag magn magnet magnetometer magnetic compass temp temperature tmp time "
                    "timestamp stamp ts dt counter count cnt idx index seq sequence num no "
                    "sample samples id quat quaternion q euler roll pitch yaw angle heading "
                    "baro pressure press alt altitude lat lon lng gps volt voltage batt battery "
                    "pos position std var variance noise bias offset scale err error accuracy "
                    "status flag flags state mode orientation freq frequency date clock tick "
                    "ticks") ||
         startsWith(w, "magn") || startsWith(w, "temp") || startsWith(w, "time");
}

std::string gyroUnitWord(const std::string& w, const std::string& next) {
  if (amongWords(w, "dps degs degps degpersec")) return "deg/s";
  if (w == "deg" && (next == "s" || next == "sec")) return "deg/s";
  if (amongWords(w, "rads radps radpersec")) return "rad/s";
  if (w == "rad" && (next == "s" || next == "sec")) return "rad/s";
  if (amongWords(w, "lsb counts count digits adc raw")) return w == "raw" ? "" : "counts";
  return "";
}

}  // namespace

ColumnName parseGyroName(const std::string& field) {
  ColumnName c;
  std::string name = field;
  if (name.compare(0, 3, "\xEF\xBB\xBF") == 0) name.erase(0, 3);
  name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
  name.erase(std::remove(name.begin(), name.end(), '\''), name.end());
  name.erase(std::remove(name.begin(), name.end(), '\r'), name.end());
  const std::vector<std::string> words = nameWords(name);
  // "gx", "gyrox", "omegaz": an axis letter run into the word before it.
  std::vector<std::string> split;
  for (const std::string& w : words) {
    const char last = w.empty() ? '\0' : w.back();
    if (w.size() >= 2 && (last == 'x' || last == 'y' || last == 'z') &&
        gyroWord(w.substr(0, w.size() - 1))) {
      split.push_back(w.substr(0, w.size() - 1));
      split.push_back(std::string(1, last));
      continue;
    }
    split.push_back(w);
  }
  bool gyro = false;
  std::string pattern;
  for (std::size_t k = 0; k < split.size(); ++k) {
    const std::string& w = split[k];
    const std::string next = k + 1 < split.size() ? split[k + 1] : std::string();
    // "angular velocity", "angular rate", "rotation rate", "turn rate".
    if ((amongWords(w, "angular ang rotation rot turn") && amongWords(next, "velocity vel rate"))) {
      gyro = true;
      pattern += "_gyro";
      ++k;
      continue;
    }
    if (notGyro(w)) return ColumnName();
    const int axis = axisOf(w);
    if (axis >= 0) {
      if (c.axis >= 0) return ColumnName();
      c.axis = axis;
      pattern += "_?";
      continue;
    }
    const std::string unit = gyroUnitWord(w, next);
    if (!unit.empty() || amongWords(w, "s sec")) {
      if (c.units.empty()) c.units = unit;
      continue;
    }
    if (gyroWord(w)) gyro = true;
    std::string shown;
    const int tier = qualifierTier(w, shown);
    if (tier > c.tier) {
      c.tier = tier;
      c.qualifier = shown;
    }
    pattern += "_" + w;
  }
  if (!gyro || c.axis < 0) return ColumnName();
  c.pattern = pattern;
  return c;
}

namespace {

// An accelerometer named in a header: its three columns (0-based) and what their names say.
struct NamedTriple {
  int columns[3] = {-1, -1, -1};
  std::string names[3];
  int tier = 0;
  std::string qualifier;
  std::string units;
};

// The accelerometers a header line names, each with all three axes, in the order of their x.
std::vector<NamedTriple> namedTriples(const std::vector<std::string>& fields) {
  std::vector<NamedTriple> triples;
  std::map<std::string, std::size_t> byPattern;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const ColumnName n = parseColumnName(fields[k]);
    if (!n.accelerometer) continue;
    auto it = byPattern.find(n.pattern);
    if (it == byPattern.end()) {
      it = byPattern.emplace(n.pattern, triples.size()).first;
      triples.emplace_back();
    }
    NamedTriple& t = triples[it->second];
    const std::size_t a = static_cast<std::size_t>(n.axis);
    if (t.columns[a] >= 0) continue;  // the first of a name counts
    t.columns[a] = static_cast<int>(k);
    std::string shown = fields[k];
    while (!shown.empty() && (shown.back() == '\r' || isBlank(shown.back()))) shown.pop_back();
    shown.erase(0, std::min(shown.size(), shown.find_first_not_of(" \t")));
    t.names[a] = shown;
    if (n.tier > t.tier || t.qualifier.empty()) {
      t.tier = std::max(t.tier, n.tier);
      if (!n.qualifier.empty()) t.qualifier = n.qualifier;
    }
    if (t.units.empty()) t.units = n.units;
  }
  std::vector<NamedTriple> whole;
  for (const NamedTriple& t : triples) {
    if (t.columns[0] >= 0 && t.columns[1] >= 0 && t.columns[2] >= 0) whole.push_back(t);
  }
  std::stable_sort(whole.begin(), whole.end(),
                   [](const NamedTriple& a, const NamedTriple& b) { return a.tier < b.tier; });
  return whole;
}

// "a, b and c"
std::string listed(const std::vector<std::string>& items) {
  std::string s;
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (k > 0) s += k + 1 == items.size() ? " and " : ", ";
    s += items[k];
  }
  return s;
}

// Chooses the columns by the names of a header line, when one names an accelerometer whose
// columns hold numbers in the table; true when it did.
bool chooseByName(const std::vector<std::string>& lines, const Layout& cut, const Table& t,
                  LayoutGuess& g) {
  std::vector<double> values;
  for (const std::string& line : lines) {
    const std::vector<std::string> fields = split(line, cut.delimiter, cut.blanks);
    if (fields.size() < 3 || numbersLine(fields, values)) continue;
    const std::vector<NamedTriple> triples = namedTriples(fields);
    for (const NamedTriple& chosen : triples) {
      bool fits = true;
      for (int c : chosen.columns) {
        fits = fits && c < t.fields && numericColumn(t, c) && !growing(t, c);
      }
      if (!fits) continue;
      g.byName = true;
      for (std::size_t k = 0; k < 3; ++k) {
        g.layout.columns[k] = chosen.columns[k] + 1;
        g.names[k] = chosen.names[k];
      }
      g.units = chosen.units;
      g.reason = "named \"" + chosen.names[0] + "\", \"" + chosen.names[1] + "\", \"" +
                 chosen.names[2] + "\" in the header";
      std::vector<std::string> others;
      for (const NamedTriple& o : triples) {
        if (o.tier > chosen.tier && !o.qualifier.empty() &&
            std::find(others.begin(), others.end(), o.qualifier) == others.end()) {
          others.push_back(o.qualifier);
        }
      }
      if (!others.empty()) g.reason += ", preferred over the " + listed(others) + " ones";
      return true;
    }
    if (!triples.empty()) return false;  // the header names an accelerometer the lines lack
  }
  return false;
}

}  // namespace

LayoutGuess sniffLayout(const std::vector<std::string>& lines, const Layout* delimiterGiven) {
  LayoutGuess g;
  struct Candidate {
    char delimiter;
    bool blanks;
  };
  std::vector<Candidate> candidates = {{',', false}, {';', false}, {'\t', false}, {' ', true}};
  if (delimiterGiven != nullptr) candidates = {{delimiterGiven->delimiter, delimiterGiven->blanks}};
  Table best;
  for (const Candidate& c : candidates) {
    Table t = numericTable(lines, c.delimiter, c.blanks);
    if (t.fields >= 3 && t.rows.size() > best.rows.size()) {
      best = std::move(t);
      g.layout.delimiter = c.delimiter;
      g.layout.blanks = c.blanks;
    }
  }
  if (best.rows.empty()) {
    // No delimiter splits the lines into numbers: a decimal comma may be why ("0,5;1,25;..." or
    // "0,5 1,25 ..."). A comma that does split lines into numbers is a delimiter, so this is only
    // asked when none does.
    for (const std::string& line : lines) {
      for (const std::string& f : split(line, ';', false)) {
        if (decimalCommaField(f) && f.find(',') == f.rfind(',')) g.decimalComma = true;
      }
      for (const std::string& f : split(line, ' ', true)) {
        if (decimalCommaField(f) && f.find(',') == f.rfind(',')) g.decimalComma = true;
      }
    }
    return g;
  }
  if (best.rows.size() < 2) return g;
  g.fields = best.fields;
  std::vector<int> others;
  for (int c = 0; c < best.fields; ++c) {
    if (!numericColumn(best, c)) continue;
    if (growing(best, c)) {
      g.growingColumns.push_back(c + 1);
    } else {
      others.push_back(c);
    }
  }
  if (chooseByName(lines, g.layout, best, g)) {
    g.ok = true;
    return g;
  }
  if (others.size() < 3) return g;
  int chosen[3] = {others[0], others[1], others[2]};
  if (others.size() > 3) {
    double bestSpread = HUGE_VAL;
    for (std::size_t a = 0; a < others.size(); ++a)
      for (std::size_t b = a + 1; b < others.size(); ++b)
        for (std::size_t c = b + 1; c < others.size(); ++c) {
          const double spread = magnitudeSpread(best, others[a], others[b], others[c]);
          if (spread < bestSpread) {
            bestSpread = spread;
            chosen[0] = others[a];
            chosen[1] = others[b];
            chosen[2] = others[c];
          }
        }
    g.reason = "of " + std::to_string(others.size()) +
               " columns of numbers, the three whose magnitude stays steady while the device turns";
  } else {
    g.reason = "the only three columns of numbers";
  }
  if (!g.growingColumns.empty()) {
    std::vector<std::string> numbers;
    for (int c : g.growingColumns) numbers.push_back(std::to_string(c));
    g.reason += std::string(" besides ") + (numbers.size() == 1 ? "column " : "columns ") +
                listed(numbers) +
                (numbers.size() == 1 ? ", which only grows" : ", which only grow") +
                " (a time or index)";
  }
  for (std::size_t k = 0; k < 3; ++k) g.layout.columns[k] = chosen[k] + 1;
  g.ok = true;
  return g;
}

namespace {

// What a time or counter column's name says: 1 a time, 2 a counter, 0 neither; units from it.
int timeName(const std::string& field, std::string& units) {
  const std::vector<std::string> words = nameWords(field);
  int kind = 0;
  for (const std::string& w : words) {
    if (amongWords(w,
                   "time timestamp stamp ts t elapsed epoch utc clock tick ticks millis "
                   "micros nanos seconds secs sec timeus timems timens")) {
      kind = 1;
    } else if (amongWords(w,
                          "n sample samples nsamples count counter cnt idx index seq sequence "
                          "frame packet num no")) {
      if (kind == 0) kind = 2;
    }
    if (amongWords(w, "us micros usec")) units = "us";
    if (amongWords(w, "ms millis msec")) units = "ms";
    if (amongWords(w, "ns nanos nsec")) units = "ns";
    if (amongWords(w, "s sec secs seconds")) units = "s";
    // Anything else in the name makes it another quantity ("temp", "gyro_x") but for units.
    if (kind == 0 && !amongWords(w, "us ms ns s sec secs seconds")) return 0;
  }
  return kind;
}

// "Fs,100", "rate: 200 Hz", "Sample rate = 100": a line that gives the sample rate, or 0.
double rateLine(const std::string& line) {
  std::string lower;
  for (char c : line)
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  for (const char* key : {"sampling frequency", "sampling rate", "sample rate", "samplerate",
                          "sample_rate", "frequency", "rate", "freq", "odr", "fs", "hz"}) {
    std::size_t at = lower.find_first_not_of(" \t#%/;");
    if (at == std::string::npos || lower.compare(at, std::strlen(key), key) != 0) continue;
    at += std::strlen(key);
    const std::size_t value = lower.find_first_not_of(" \t,:=;", at);
    if (value == std::string::npos || value == at) continue;
    char* end = nullptr;
    const double v = std::strtod(lower.c_str() + value, &end);
    std::string rest(end);
    rest.erase(std::remove_if(rest.begin(), rest.end(),
                              [](char c) { return c == ' ' || c == '\t' || c == '\r'; }),
               rest.end());
    if (end != lower.c_str() + value && (rest.empty() || rest == "hz") && v > 0.0 && v < 1e7)
      return v;
  }
  return 0.0;
}

}  // namespace

ImuGuess sniffImu(const std::vector<std::string>& lines, const Layout& layout) {
  ImuGuess g;
  const Table t = numericTable(lines, layout.delimiter, layout.blanks);
  auto accel = [&](int c) {
    return c == layout.columns[0] - 1 || c == layout.columns[1] - 1 || c == layout.columns[2] - 1;
  };
  std::vector<double> values;
  // The header: the last line before the numbers whose fields name columns.
  for (const std::string& line : lines) {
    const std::vector<std::string> fields = split(line, layout.delimiter, layout.blanks);
    if (numbersLine(fields, values)) break;
    if (g.rateHz == 0.0) {
      const double r = rateLine(line);
      if (r > 0.0) {
        g.rateHz = r;
        g.rateLine = line;
        continue;
      }
    }
    if (fields.size() < 3) continue;
    // The gyroscope: the three axes of one pattern, raw or scaled ones first, then the leftmost.
    struct Triple {
      int columns[3] = {-1, -1, -1};
      int tier = 0;
      std::string units;
    };
    std::map<std::string, Triple> byPattern;
    std::vector<std::string> order;
    for (std::size_t k = 0; k < fields.size(); ++k) {
      const int c = static_cast<int>(k);
      if (accel(c)) continue;
      const ColumnName n = parseGyroName(fields[k]);
      if (n.axis < 0) continue;
      if (!byPattern.count(n.pattern)) order.push_back(n.pattern);
      Triple& tr = byPattern[n.pattern];
      if (tr.columns[n.axis] < 0) tr.columns[n.axis] = c;
      tr.tier = std::max(tr.tier, n.tier);
      if (tr.units.empty()) tr.units = n.units;
    }
    const Triple* best = nullptr;
    for (const std::string& p : order) {
      const Triple& tr = byPattern[p];
      bool whole = true;
      for (int c : tr.columns) whole = whole && c >= 0 && c < t.fields && numericColumn(t, c);
      if (whole && (best == nullptr || tr.tier < best->tier)) best = &tr;
    }
    if (best != nullptr) {
      g.gyro = true;
      for (int k = 0; k < 3; ++k) {
        g.gyroColumns[k] = best->columns[k] + 1;
        std::string n = fields[static_cast<std::size_t>(best->columns[k])];
        while (!n.empty() && (isBlank(n.back()) || n.back() == '\r')) n.pop_back();
        n.erase(0, std::min(n.size(), n.find_first_not_of(" \t")));
        g.gyroNames[k] = n;
      }
      g.gyroUnits = best->units;
      g.gyroReason = "named \"" + g.gyroNames[0] + "\", \"" + g.gyroNames[1] + "\", \"" +
                     g.gyroNames[2] + "\" in the header";
    }
    // The time: a named time column before a named counter, the leftmost of each.
    g.timeColumn = 0;
    int kind = 0;
    for (std::size_t k = 0; k < fields.size(); ++k) {
      const int c = static_cast<int>(k);
      if (accel(c) || c >= t.fields || !numericColumn(t, c)) continue;
      bool taken = false;
      for (int j = 0; j < 3; ++j) taken = taken || g.gyroColumns[j] == c + 1;
      if (taken) continue;
      std::string units;
      const int kk = timeName(fields[k], units);
      if (kk == 0 || (kind != 0 && kk >= kind)) continue;
      kind = kk;
      g.timeColumn = c + 1;
      g.counter = kk == 2;
      g.timeUnits = units;
      g.timeName = fields[k];
      while (!g.timeName.empty() && (isBlank(g.timeName.back()) || g.timeName.back() == '\r'))
        g.timeName.pop_back();
    }
  }
  if (g.timeColumn > 0) {
    g.timeReason = std::string("named \"") + g.timeName + "\" in the header";
  } else {
    // No name: a column that only grows, as the accelerometer's sniffing found it.
    for (int c = 0; c < t.fields; ++c) {
      if (accel(c) || !numericColumn(t, c) || !growing(t, c)) continue;
      bool taken = false;
      for (int j = 0; j < 3; ++j) taken = taken || g.gyroColumns[j] == c + 1;
      if (taken) continue;
      // Whole numbers a step of one apart count samples; anything else keeps time.
      std::size_t ones = 0, steps = 0;
      double last = std::nan("");
      bool whole = true;
      for (const auto& row : t.rows) {
        const double v = row[static_cast<std::size_t>(c)];
        if (!std::isfinite(v)) continue;
        whole = whole && v == std::floor(v);
        if (std::isfinite(last)) {
          ++steps;
          ones += v - last == 1.0;
        }
        last = v;
      }
      g.timeColumn = c + 1;
      g.counter = whole && steps > 0 && ones * 2 > steps;
      g.timeReason = std::string("column ") + std::to_string(c + 1) + ", which only grows" +
                     (g.counter ? " by one: a sample counter" : ": a time");
      break;
    }
  }
  return g;
}

std::vector<std::string> headerNames(const std::vector<std::string>& lines, const Layout& separator,
                                     const std::vector<int>& columns) {
  std::vector<std::string> names;
  std::vector<double> values;
  for (const std::string& line : lines) {
    const std::vector<std::string> fields = split(line, separator.delimiter, separator.blanks);
    if (numbersLine(fields, values)) break;
    std::vector<std::string> these;
    for (int c : columns) {
      if (c < 1 || static_cast<std::size_t>(c) > fields.size()) break;
      std::string f = fields[static_cast<std::size_t>(c) - 1];
      while (!f.empty() && (isBlank(f.back()) || f.back() == '\r')) f.pop_back();
      std::size_t start = 0;
      while (start < f.size() && isBlank(f[start])) ++start;
      f.erase(0, start);
      bool letter = false;
      for (char ch : f) letter = letter || std::isalpha(static_cast<unsigned char>(ch)) != 0;
      if (!letter) break;
      these.push_back(f);
    }
    if (these.size() == columns.size()) names = these;
  }
  return names;
}

std::vector<std::string> layoutProblems(const std::vector<std::string>& lines,
                                        const Layout& layout) {
  std::vector<std::string> problems;
  const LayoutGuess guess = sniffLayout(lines);
  if (guess.decimalComma) {
    problems.push_back(
        "numbers use decimal commas, which the reader does not accept: write them with decimal "
        "points");
    return problems;
  }
  if (!guess.ok) return problems;
  const bool sameDelimiter = guess.layout.blanks == layout.blanks &&
                             (layout.blanks || guess.layout.delimiter == layout.delimiter);
  if (!sameDelimiter) {
    problems.push_back("the lines hold " + delimiterArgument(guess.layout) +
                       " between their numbers: try --delimiter " +
                       delimiterArgument(guess.layout));
    return problems;
  }
  for (std::size_t k = 0; k < 3; ++k) {
    if (layout.columns[k] > guess.fields) {
      problems.push_back("the lines have " + std::to_string(guess.fields) +
                         " fields, fewer than --columns names");
      return problems;
    }
  }
  for (int c : guess.growingColumns) {
    for (std::size_t k = 0; k < 3; ++k) {
      if (layout.columns[k] == c) {
        const auto& g = guess.layout.columns;
        problems.push_back("column " + std::to_string(c) +
                           " only grows: a time column? try --columns " + std::to_string(g[0]) +
                           "," + std::to_string(g[1]) + "," + std::to_string(g[2]));
        return problems;
      }
    }
  }
  return problems;
}

std::string delimiterArgument(const Layout& layout) {
  if (layout.blanks) return "space";
  if (layout.delimiter == '\t') return "tab";
  return std::string("'") + layout.delimiter + "'";
}

}  // namespace analysis
}  // namespace tiltfit
