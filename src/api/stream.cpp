// Calibrating from the still stretches alone with the recording read as a stream: the samples
// are never all held, so a recording of any length (days at 1 kHz, a gzip pipe) costs the same.
#include <string>
#include <vector>

#include "apiInternal.h"
#include "byteSource.h"
#include "csvLines.h"
#include "layoutSniff.h"
#include "lineLayer.h"
#include "stretchScan.h"

namespace tiltfit {
namespace {

namespace an = analysis;

constexpr std::size_t kBlock = std::size_t{1} << 20;
constexpr std::size_t kHeadBytes = 64 * 1024;  // as readRecording judges the layout
constexpr std::size_t kHeadLines = 400;

// The public runs of a recording's rows (lines 1-based); none for plain rows (sample r on line
// r + 1).
std::vector<LineRun> runsOf(const tiltfit_csv::LineRunBuilder& lines) {
  std::vector<LineRun> runs;
  for (const auto& r : lines.runs()) runs.push_back(LineRun{r.row, r.line, r.step});
  if (runs.size() == 1 && runs[0].row == 0 && runs[0].line == 1 && runs[0].step == 1) runs.clear();
  return runs;
}

}  // namespace

namespace api {

an::ScanOptions scanOptions(const CalibrateOptions& options) {
  an::ScanOptions s;
  if (options.units == Units::kG || options.units == Units::kMs2) {
    s.unitsKnown = true;
    s.scale.perG = options.units == Units::kMs2 ? gravityOf(options, kStandardGravity) : 1.0;
  }
  s.counts = options.units == Units::kCounts;
  return s;
}

Result calibrateScanned(const Recording& info, an::StretchScan& scan,
                        const CalibrateOptions& options) {
  Work w(info);
  w.gravity = gravityOf(options, kStandardGravity);
  decideUnits(w, options.units == Units::kAuto ? Units::kG : options.units, options.outputUnits);
  w.units = scan.units();
  w.scale = scan.scale();
  if (w.units == an::Units::kMs2) w.scale.perG = w.gravity;
  if (options.outputUnits.empty()) w.outputMs2 = w.units == an::Units::kMs2;
  w.noise = scan.floor();
  w.stretches = scan.stretches();
  w.moving = an::takeMoving(w.stretches, w.scale);
  w.rotation = api::toAnalysis(options.rotation);
  const double outPerG = w.outputMs2 ? w.gravity : 1.0;
  std::vector<an::OrientationId> missing;
  an::RunResult r =
      an::runStretchCalibration(nullptr, nullptr, nullptr, static_cast<std::size_t>(scan.samples()),
                                w.runOptions(true), false, &missing);
  if (r.success) an::preferIdentity(r, w.scale, outPerG);
  Result out = toResult(w, r, TuningNumbers());
  out.parametersChosen = true;
  out.parametersUsed = false;
  if (!r.success) {
    out.success = false;
    if (w.stretches.empty() || missing.empty()) {
      explainFailure(w, r, TuningNumbers(), out);
    } else {
      explainUncovered(w, missing, out);
    }
    ensureReason(w, r, out);
  }
  return out;
}

}  // namespace api

Result calibrateStretchesStreaming(const std::string& path, const ReadOptions& read,
                                   const CalibrateOptions& options, Recording* info) {
  api::initializeCore();
  std::unique_ptr<io::ByteSource> source = io::ByteSource::open(path);
  Recording rec;
  source->start();
  rec.gzip = source->gzip();

  an::StretchScan scan(api::scanOptions(options));
  tiltfit_csv::LineRunBuilder lines;
  std::unique_ptr<io::LineCutter> cutter;
  io::LineAssembler assembler;
  std::vector<char> block(kBlock);
  std::string head;  // the text before the layout is known
  std::uint64_t line = 0;  // lines seen, 1-based numbers
  auto take = [&](const char* p, const char* e) {
    ++line;
    double v[3];
    if (cutter->cutAll(p, e, v)) {
      lines.keep(line);
      scan.push(v[0], v[1], v[2]);
      return;
    }
    if (rec.linesWithoutReadings++ == 0) {
      rec.firstLineWithoutReadings = line;
      rec.firstLineWithoutReadingsText = tiltfit_csv::lineStart(p, e);
    }
  };
  auto decide = [&]() {
    rec.sampleLines = io::splitLines(head.data(), head.size(), kHeadLines);
    api::detectLayoutOf(read, rec);
    const auto& c = rec.layout.columns;
    cutter = std::make_unique<io::LineCutter>(io::Separator{rec.layout.delimiter, rec.layout.blanks},
                                              std::vector<int>{c[0], c[1], c[2]});
    std::string text;
    text.swap(head);
    assembler.feed(text.data(), text.size(), take);
  };
  for (;;) {
    const std::size_t got = source->read(block.data(), block.size());
    if (got == 0) break;
    if (!cutter) {
      head.append(block.data(), got);
      if (head.size() >= kHeadBytes) decide();
      continue;
    }
    assembler.feed(block.data(), got, take);
  }
  if (!cutter) decide();
  assembler.finish(take);
  scan.finish();
  rec.lineRuns = runsOf(lines);
  rec.streamedSamples = lines.rows();
  Result out = api::calibrateScanned(rec, scan, options);
  if (info != nullptr) *info = std::move(rec);
  return out;
}

}  // namespace tiltfit
