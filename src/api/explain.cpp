// Why a calibration failed, in words a user can act on, and other numbers that would work.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "apiInternal.h"
#include "autoTune.h"
#include "diagnosis.h"
#include "layoutSniff.h"

namespace tiltfit {
namespace api {
namespace {

// A recording whose samples average well above 1 g in magnitude is most likely in m/s^2, which
// a search in g can never match.
std::string unitsHint(const Recording& rec) {
  double sum = 0.0;
  std::size_t count = 0;
  for (std::size_t r = 0; r < rec.rows(); ++r) {
    const double m = std::sqrt(rec.x[r] * rec.x[r] + rec.y[r] * rec.y[r] + rec.z[r] * rec.z[r]);
    if (std::isfinite(m) && m > 0.0) {
      sum += m;
      ++count;
    }
  }
  if (count == 0 || !(sum / static_cast<double>(count) > 4.905)) return "";
  char text[256];
  std::snprintf(text, sizeof text,
                "the samples average %.2f in magnitude; the rest search expects readings in g "
                "(about 1 at rest), so a recording in m/s^2 must be divided by 9.81 first",
                sum / static_cast<double>(count));
  return text;
}

// A recording without a still stretch: how still its stillest second is. Without a time column
// the rate is unknown; a second is taken as 100 samples, and the message says so.
std::string neverStill(const Work& w) {
  constexpr std::size_t kSecond = 100;
  const Recording& rec = w.raw();
  const std::size_t window = std::min(kSecond, rec.rows());
  const double range =
      rec.rows() < 2 * an::kMinStillSamples
          ? std::nan("")
          : an::quietestWindowRange(rec.x.data(), rec.y.data(), rec.z.data(), rec.rows(), window);
  if (!std::isfinite(range) || !(range > 0.0)) {
    return "the recording holds no still stretch to calibrate from";
  }
  // The units come from still stretches, and there are none: m/s^2 shows by its magnitude.
  const double perG = w.units == an::Units::kG && !unitsHint(rec).empty() ? 9.81 : w.scale.perG;
  char text[256];
  std::snprintf(text, sizeof text,
                "no still stretch: the quietest second moves %.1f mg (%zu samples taken for a "
                "second); %s for a few seconds in each position",
                range / perG * 1000.0, window, an::kRestAdvice);
  return text;
}

// Records that number k (0 tolerancePct ... 4 deltaThresholdWindow) must move by direction.
void move(Result& out, int k, int direction) {
  int& m = out.moves[static_cast<std::size_t>(k)];
  m = m == 0 || m == direction ? direction : 2;
}

// The way a number must move for a search that the given test stopped.
void moveFor(an::SearchDiagnosis::Stop stop, Result& out) {
  using Stop = an::SearchDiagnosis::Stop;
  switch (stop) {
    case Stop::kBand:
      move(out, 0, +1);
      break;
    case Stop::kStep:
      move(out, 2, +1);
      break;
    case Stop::kWindow:
      move(out, 3, -1);
      break;
    case Stop::kDeviation:
      move(out, 4, +1);
      break;
    default:
      break;
  }
}

// Says why a run failed: the layout, missing rests, the units, or for each orientation the test
// that stopped its search; and which way the numbers must move, or that no number helps.
void explainProblems(const Work& w, const an::RunResult& r, const TuningNumbers& numbers,
                     Result& out) {
  if (!r.restProblems.empty()) move(out, 0, -1);  // a band so wide that one rest passed for two
  // Bytes that are no text were read as text (the classic reading): nothing else matters.
  if (w.rec.notText == "gzip data") {
    out.numbersCannotHelp = true;
    out.problems.push_back(
        "the recording is gzip data, which the classic command without options reads as text: "
        "decompress it first (zcat FILE | tiltfit - ...), or run tiltfit --auto FILE, which "
        "reads gzip");
    return;
  }
  if (!w.rec.notText.empty()) {
    out.numbersCannotHelp = true;
    out.problems.push_back("the recording is not text but " + w.rec.notText +
                           ": give it as CSV text");
    return;
  }
  const std::vector<std::string> layout =
      an::layoutProblems(w.rec.sampleLines, w.rec.layout);
  if (!layout.empty()) {
    out.problems = layout;  // whatever else is wrong follows from the layout
    out.numbersCannotHelp = true;
    return;
  }
  if (w.stretches.empty()) {
    // Stretches that moved too much say how much; without any, the quietest second does.
    out.problems.push_back(w.moving.empty() ? neverStill(w) : an::noRestProblem(w.moving, w.scale));
    out.numbersCannotHelp = true;
    return;
  }
  const std::vector<an::StillStretch> stretchesG = an::stretchesInG(w.stretches, w.scale);
  std::vector<std::string> missing;
  for (int k = 0; k < 6; ++k) {
    if (an::restFor(stretchesG, an::kOrientations[k], 25.0) < 0) {
      missing.push_back("no rest with " + an::orientationName(an::kOrientations[k]) +
                        " in the recording");
    }
  }
  if (!missing.empty()) {
    out.problems.insert(out.problems.end(), missing.begin(), missing.end());
    out.numbersCannotHelp = true;
    return;
  }
  if (w.units == an::Units::kG && out.problems.empty()) {
    const std::string hint = unitsHint(w.raw());
    if (!hint.empty()) {
      out.problems.push_back(hint);
      out.numbersCannotHelp = true;
      return;
    }
  }
  if (r.searchSucceeded || r.smoothed == nullptr || r.smoothed->size(0) == 0) return;
  const an::TuningNumbers t{numbers.tolerancePct, numbers.moveMeanWindow, numbers.diffThreshold,
                            numbers.windowWidth, numbers.deltaThresholdWindow};
  for (int k = 0; k < 6; ++k) {
    if (r.rests[k].found) continue;
    const int rest = an::restFor(r.stretchesG, an::kOrientations[k], 25.0);
    const std::size_t length = rest < 0 ? 0 : r.stretchesG[static_cast<std::size_t>(rest)].length();
    const an::SearchDiagnosis d = an::diagnoseSearch(*r.smoothed, an::kOrientations[k], t, length);
    Orientation& o = out.orientations[static_cast<std::size_t>(k)];
    o.diagnosis = d.text;
    out.problems.push_back("no window for " + d.text);
    moveFor(d.stoppedBy, out);
  }
}

}  // namespace

// explainProblems, and on each orientation not found the sentence that concerns it alone: that
// the recording has no rest there, else what stopped its own search, else (no search ran) why
// not.
void explainFailure(const Work& w, const an::RunResult& r, const TuningNumbers& numbers,
                    Result& out) {
  explainProblems(w, r, numbers, out);
  const std::vector<an::StillStretch> stretchesG = an::stretchesInG(w.stretches, w.scale);
  const an::TuningNumbers t{numbers.tolerancePct, numbers.moveMeanWindow, numbers.diffThreshold,
                            numbers.windowWidth, numbers.deltaThresholdWindow};
  const bool searched = r.smoothed != nullptr && r.smoothed->size(0) > 0;
  for (int k = 0; k < 6; ++k) {
    Orientation& o = out.orientations[static_cast<std::size_t>(k)];
    if (o.found || !o.diagnosis.empty()) continue;
    const int rest = an::restFor(stretchesG, an::kOrientations[k], 25.0);
    if (rest < 0) {
      o.diagnosis = "no rest with " + o.name() + " in the recording";
    } else if (searched) {
      const std::size_t length = stretchesG[static_cast<std::size_t>(rest)].length();
      o.diagnosis = an::diagnoseSearch(*r.smoothed, an::kOrientations[k], t, length).text;
    } else if (!out.problems.empty()) {
      o.diagnosis = "not searched: " + out.problems.front();
    }
  }
  if (searched) return;
  // No search ran because --auto chooses its numbers from all six rests: the orientations present
  // say which are lacking.
  std::vector<std::string> lacking;
  for (const Orientation& o : out.orientations) {
    if (o.diagnosis == "no rest with " + o.name() + " in the recording")
      lacking.push_back(o.name());
  }
  if (lacking.empty()) return;
  std::string list;
  for (std::size_t k = 0; k < lacking.size(); ++k) {
    list += (k == 0 ? "" : k + 1 == lacking.size() ? " and " : ", ") + lacking[k];
  }
  for (Orientation& o : out.orientations) {
    if (o.diagnosis.rfind("not searched: ", 0) == 0) {
      o.diagnosis =
          "not searched: the tuning numbers are chosen from all six rests, and the recording "
          "lacks " +
          list;
    }
  }
}

// Other numbers (and units) that calibrate the recording after a classic run failed: the given
// numbers with the failing tests loosened to what the recording needs, else numbers chosen from
// the recording, each checked by a run.
void suggest(const Work& w, const TuningNumbers& given, const CalibrateOptions& options,
             const an::RunResult& failed, Result& out) {
  // The same stretches, judged again for their units when the run assumed g.
  Work trial(w.raw());
  trial.noise = w.noise;
  trial.stretches = w.stretches;
  decideUnits(trial, options.units == Units::kG ? Units::kAuto : options.units,
              options.outputUnits);
  if (trial.stretches.empty()) return;
  const an::TuningChoice first = trial.choose(0);
  if (!first.ok) return;
  const bool sameUnits = toPublic(trial.units) == out.units;
  std::vector<TuningNumbers> candidates;
  if (sameUnits && failed.restProblems.empty() && failed.smoothed != nullptr) {
    TuningNumbers t = given;
    const TuningNumbers a = first.numbers;
    const an::TuningNumbers g{given.tolerancePct, given.moveMeanWindow, given.diffThreshold,
                              given.windowWidth, given.deltaThresholdWindow};
    for (int k = 0; k < 6; ++k) {
      if (failed.rests[k].found) continue;
      const int rest = an::restFor(failed.stretchesG, an::kOrientations[k], 25.0);
      const std::size_t length =
          rest < 0 ? 0 : failed.stretchesG[static_cast<std::size_t>(rest)].length();
      using Stop = an::SearchDiagnosis::Stop;
      switch (an::diagnoseSearch(*failed.smoothed, an::kOrientations[k], g, length).stoppedBy) {
        case Stop::kBand:
          t.tolerancePct = std::max(t.tolerancePct, a.tolerancePct);
          break;
        case Stop::kStep:
          t.diffThreshold = std::max(t.diffThreshold, a.diffThreshold);
          break;
        case Stop::kWindow:
          t.windowWidth = std::min(t.windowWidth, a.windowWidth);
          break;
        case Stop::kDeviation:
          t.deltaThresholdWindow = std::max(t.deltaThresholdWindow, a.deltaThresholdWindow);
          break;
        default:
          break;
      }
    }
    candidates.push_back(t);
  }
  for (int loosen = 0; loosen < 4; ++loosen) {
    const an::TuningChoice c = loosen == 0 ? first : trial.choose(loosen);
    if (c.ok) candidates.push_back(c.numbers);
  }
  for (const TuningNumbers& t : candidates) {
    if (trial.run(t, false).success) {
      out.hasSuggestion = true;
      out.suggestedNumbers = t;
      out.suggestedUnits = toPublic(trial.units);
      return;
    }
  }
}


void ensureReason(const Work& w, const an::RunResult& r, Result& out) {
  // Rests that were left out for their motion explain what the others could not do: first, when
  // they are the most.
  if (!w.moving.empty() && !w.stretches.empty()) {
    const std::string note = an::movingNote(w.moving, w.stretches.size(), w.scale);
    if (w.moving.size() >= w.stretches.size()) {
      out.problems.insert(out.problems.begin(), note);
    } else {
      out.problems.push_back(note);
    }
  }
  if (!out.problems.empty()) return;
  if (w.stretches.empty()) {
    out.problems.push_back(w.moving.empty() ? neverStill(w) : an::noRestProblem(w.moving, w.scale));
    out.numbersCannotHelp = true;
    return;
  }
  const an::StretchFit& f = r.fit;
  if (!r.searchSucceeded && r.smoothed != nullptr && r.smoothed->size(0) > 0) {
    out.problems.push_back("the rest search found no six rests with the numbers chosen");
    return;
  }
  out.numbersCannotHelp = true;
  if (!f.ok) {
    out.problems.push_back("the fit over the still stretches did not converge: the stretches "
                           "contradict each other; check the recording for motion");
    return;
  }
  std::string which;
  for (int k = 0; k < 3; ++k) {
    const std::string axis(1, static_cast<char>('x' + k));
    if (!f.gainDetermined[k]) which += (which.empty() ? "" : ", ") + ("the gain of " + axis);
    if (!f.offsetDetermined[k]) which += (which.empty() ? "" : ", ") + ("the offset of " + axis);
  }
  if (which.empty()) which = "every gain and offset";
  out.problems.push_back("the " + std::to_string(w.stretches.size()) +
                         " still stretches do not fix " + which +
                         ": hold the device still in more positions, each axis up and down and a "
                         "few between, for a few seconds each");
}

void explainUncovered(const Work& w, const std::vector<an::OrientationId>& missing, Result& out) {
  (void)w;
  out.problems.clear();
  // No tuning number decides what a recording holds.
  out.numbersCannotHelp = true;
  std::string list;
  for (std::size_t k = 0; k < missing.size(); ++k) {
    list += (k == 0 ? "" : k + 1 == missing.size() ? " and " : ", ") +
            an::orientationName(missing[k]);
  }
  for (const an::OrientationId& o : missing) {
    const std::string axis(1, static_cast<char>('x' + o.axis));
    const std::string way = o.level > 0 ? "up" : "down";
    const std::string text = "no still stretch with " + axis + " pointing " + way + " (" +
                             an::orientationName(o) + "): hold the device with " + axis + " " +
                             way + " for a few seconds";
    out.problems.push_back(text);
    for (Orientation& r : out.orientations) {
      if (r.axis == o.axis && r.reading == o.level) r.diagnosis = text;
    }
  }
  // The orientations the recording does hold are not what failed.
  for (Orientation& r : out.orientations) {
    if (r.diagnosis.empty()) {
      r.diagnosis = "not used: the still stretches do not determine a calibration, and the "
                    "recording lacks " +
                    list;
    }
  }
}

}  // namespace api
}  // namespace tiltfit
