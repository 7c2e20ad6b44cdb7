#include "csvLines.h"

#include <algorithm>

#include "csvField.h"

namespace tiltfit_csv {

std::string lineStart(const char* b, const char* e) {
  if (e > b && e[-1] == '\r') --e;
  return std::string(b, std::min<std::size_t>(static_cast<std::size_t>(e - b), 120));
}

namespace {

using namespace cut;

// Parses the lines in [p, e) (each ending in a newline, but possibly the last) into rows row,
// row + 1, ... of the columns, skipping rows at or beyond `rows`; records the fields that do not
// convert. Only the wanted fields are converted; the line ends them all. In the tool's own format
// (kStandard) field k goes to column k.
template <Cut kCut, bool kStandard>
void parseLinesCut(const char* p, const char* e, std::uint64_t row, std::uint64_t rows,
                   double* const* columns, const FieldMap& map, Skipped& skipped) {
  const char delimiter = kStandard ? ',' : map.delimiter;
  const int wanted = kStandard ? 3 : map.count;
  while (p < e) {
    const char* f = kCut == Cut::kBlanks ? nextField<kCut>(p, e, delimiter) : p;
    for (int field = 0, next = 0; (kStandard ? field : next) < wanted && f < e && *f != '\n';
         ++field) {
      const char* end;
      if (!kStandard && field != map.wanted[next].field) {
        end = fieldEnd<kCut>(f, e, delimiter);
      } else {
        double value;
        const char* number = convertField<kCut>(f, e, delimiter, value, &end);
        if (row < rows) {
          if (number != nullptr || parseField(f, end, value)) {
            if (kStandard) {
              columns[field][row] = value;
            } else {
              for (unsigned t = map.wanted[next].columns; t != 0; t &= t - 1)
                columns[__builtin_ctz(t)][row] = value;
            }
          } else {
            skipped.add(f, end, map.quiet);
          }
        }
        if (!kStandard) ++next;
      }
      f = nextField<kCut>(end, e, delimiter);
    }
    const char* nl =
        (f < e && *f == '\n')
            ? f
            : static_cast<const char*>(std::memchr(f, '\n', static_cast<std::size_t>(e - f)));
    ++row;
    p = nl != nullptr ? nl + 1 : e;
  }
}

// The same, leaving out the lines whose wanted fields do not all convert: the lines kept go to
// rows kept->base, kept->base + 1, ..., and the others are recorded in kept. A copy of the loop
// above rather than a flag in it, so that the reading that keeps every line pays nothing for it.
// Stops once row `rows` is reached (target starts below it), which only a file that changed
// between the two passes does.
template <Cut kCut, bool kStandard>
void parseLinesKeptCut(const char* p, const char* e, std::uint64_t row, std::uint64_t rows,
                       double* const* columns, const FieldMap& map, Skipped& skipped, Kept& kept) {
  const char delimiter = kStandard ? ',' : map.delimiter;
  const int wanted = kStandard ? 3 : map.count;
  std::uint64_t target = kept.base;
  const std::uint64_t first = row;
  while (p < e) {
    const char* f = kCut == Cut::kBlanks ? nextField<kCut>(p, e, delimiter) : p;
    bool failed = false;
    int field = 0;
    int next = 0;
    for (; (kStandard ? field : next) < wanted && f < e && *f != '\n'; ++field) {
      const char* end;
      if (!kStandard && field != map.wanted[next].field) {
        end = fieldEnd<kCut>(f, e, delimiter);
      } else {
        double value;
        const char* number = convertField<kCut>(f, e, delimiter, value, &end);
        if (number != nullptr || parseField(f, end, value)) {
          if (kStandard) {
            columns[field][target] = value;
          } else {
            for (unsigned t = map.wanted[next].columns; t != 0; t &= t - 1)
              columns[__builtin_ctz(t)][target] = value;
          }
        } else {
          skipped.add(f, end, map.quiet);
          failed = true;
        }
        if (!kStandard) ++next;
      }
      f = nextField<kCut>(end, e, delimiter);
    }
    // f never passes e; said so that the compiler does not think the length can be negative.
    const char* nl =
        f >= e ? nullptr
        : *f == '\n'
            ? f
            : static_cast<const char*>(std::memchr(f, '\n', static_cast<std::size_t>(e - f)));
    ++row;
    if (!failed && (kStandard ? field : next) == wanted) {
      if (++target == rows) break;
    } else {
      kept.drop(row - 1, p, nl != nullptr ? nl : e);
    }
    p = nl != nullptr ? nl + 1 : e;
  }
  kept.firstLine = first;
  kept.lines = row - first;
}

void parseLines(const char* p, const char* e, std::uint64_t row, std::uint64_t rows,
                double* const* columns, const FieldMap& map, Skipped& skipped) {
  if (map.standard) {
    parseLinesCut<Cut::kNumberFirst, true>(p, e, row, rows, columns, map, skipped);
    return;
  }
  switch (map.cut) {
    case Cut::kNumberFirst:
      parseLinesCut<Cut::kNumberFirst, false>(p, e, row, rows, columns, map, skipped);
      break;
    case Cut::kFieldFirst:
      parseLinesCut<Cut::kFieldFirst, false>(p, e, row, rows, columns, map, skipped);
      break;
    case Cut::kBlanks:
      parseLinesCut<Cut::kBlanks, false>(p, e, row, rows, columns, map, skipped);
      break;
  }
}

void parseLinesKept(const char* p, const char* e, std::uint64_t row, std::uint64_t rows,
                    double* const* columns, const FieldMap& map, Skipped& skipped, Kept& kept) {
  if (map.standard) {
    parseLinesKeptCut<Cut::kNumberFirst, true>(p, e, row, rows, columns, map, skipped, kept);
    return;
  }
  switch (map.cut) {
    case Cut::kNumberFirst:
      parseLinesKeptCut<Cut::kNumberFirst, false>(p, e, row, rows, columns, map, skipped, kept);
      break;
    case Cut::kFieldFirst:
      parseLinesKeptCut<Cut::kFieldFirst, false>(p, e, row, rows, columns, map, skipped, kept);
      break;
    case Cut::kBlanks:
      parseLinesKeptCut<Cut::kBlanks, false>(p, e, row, rows, columns, map, skipped, kept);
      break;
  }
}

}  // namespace

std::vector<std::pair<const char*, const char*>> fieldsOf(const char* b, const char* e,
                                                           char delimiter, bool blanks) {
  const void* nl = std::memchr(b, '\n', static_cast<std::size_t>(e - b));
  if (nl != nullptr) e = static_cast<const char*>(nl);
  std::vector<std::pair<const char*, const char*>> fields;
  if (blanks) {
    for (const char* f = nextField<Cut::kBlanks>(b, e, ' '); f < e;) {
      const char* end = fieldEnd<Cut::kBlanks>(f, e, ' ');
      fields.emplace_back(f, end);
      f = nextField<Cut::kBlanks>(end, e, ' ');
    }
    return fields;
  }
  for (const char* f = b;;) {
    const char* end = fieldEnd<Cut::kNumberFirst>(f, e, delimiter);
    fields.emplace_back(f, end);
    if (end >= e) break;
    f = end + 1;
  }
  return fields;
}

void parseSpan(const char* p, const char* e, std::uint64_t row, std::uint64_t rows,
               double* const* columns, const FieldMap& map, Skipped& skipped, Kept* kept) {
  if (kept == nullptr) {
    parseLines(p, e, row, rows, columns, map, skipped);
    return;
  }
  kept->base = row - kept->shift;
  parseLinesKept(p, e, row, rows, columns, map, skipped, *kept);
}

}  // namespace tiltfit_csv
