// The guided capture of the public interface: the analysis layer's session, with the capture's
// samples kept (or, past kLiveLinesInMemory lines, its still stretches scanned as a stream) so
// that the stop is confirmed, and the capture calibrated, as calibrateAuto calibrates it.
#include "tiltfit/live.hpp"

#include <cmath>
#include <memory>
#include <utility>

#include "apiInternal.h"
#include "csvLines.h"
#include "liveSession.h"
#include "stretchScan.h"

namespace tiltfit {

const char* liveEventKindName(LiveEvent::Kind kind) {
  switch (kind) {
    case LiveEvent::Kind::kLayout:
      return "layout";
    case LiveEvent::Kind::kStretch:
      return "stretch";
    case LiveEvent::Kind::kCaptured:
      return "captured";
    case LiveEvent::Kind::kStop:
      return "stop";
    default:
      return "next";
  }
}

struct LiveSession::Impl {
  explicit Impl(const LiveOptions& o) : options(o), session(settingsOf(o)) {
    api::initializeCore();
    calibrate = autoOptions();
    calibrate.units = o.units;
    calibrate.outputUnits = o.outputUnits;
    calibrate.method = o.method;
    calibrate.gyro = o.gyro;
    calibrate.gyroOptions = o.gyroOptions;
    session.onSample([this](const double* v, std::uint64_t line) { keep(v, line); });
  }

  analysis::LiveSettings settingsOf(const LiveOptions& o) {
    analysis::LiveSettings s;
    s.layout = o.layout;
    s.detectDelimiter = o.detectDelimiter;
    s.detectColumns = o.detectColumns;
    s.units = o.units == Units::kAuto ? std::string() : unitsName(o.units);
    s.targetMg = o.targetMg;
    s.targetDeg = o.targetDeg;
    s.gyro = o.gyro;
    s.replay = o.replay;
    s.confirm = [this](analysis::LiveCheck& check) {
      try {
        const Result r = calibrateNow();
        check.heldOutMg = r.quality.heldOutMeanMg;
        check.expectedMg = r.quality.expectedErrorMg;
        check.ok = r.success && r.quality.heldOutFolds >= analysis::kMinHeldOut;
        check.gyro = r.hasGyro;
        if (r.hasGyro) gyroCheck(r.gyro, options.targetDeg, check);
        return true;
      } catch (const Error&) {
        return false;
      }
    };
    return s;
  }

  // Whether the gyroscope meets its target: scale and axes fixed by the moves, and a 90-degree
  // move's expected error within targetDeg; else the axis to turn about next (the first the
  // moves do not fix, or the one its gain knows least).
  static void gyroCheck(const GyroResult& g, double targetDeg, analysis::LiveCheck& check) {
    check.gyroExpectedDeg = g.success ? g.quality.expectedErrorDeg : 0.0;
    const bool moves = g.success && g.calibration.method == "moves";
    int axis = -1;
    double worst = -1.0;
    for (std::size_t k = 0; k < 3; ++k) {
      if (!moves || !g.quality.scaleDetermined[k]) {
        axis = static_cast<int>(k);
        break;
      }
      const double s =
          g.calibration.uncertainty.gainMatrix[k][k] / std::abs(g.calibration.gainMatrix[k][k]);
      if (s > worst) {
        worst = s;
        axis = static_cast<int>(k);
      }
    }
    check.gyroOk = moves && g.quality.scaleDetermined[0] && g.quality.scaleDetermined[1] &&
                   g.quality.scaleDetermined[2] && g.quality.expectedErrorDeg <= targetDeg;
    check.gyroAxis = axis;
  }

  // A sample of the capture: kept, or scanned once the capture is too long to keep.
  void keep(const double* v, std::uint64_t line) {
    if (line > 0) lines.keep(line);
    if (session.layout().hasGyro() && !scan) {
      // The gyroscope's samples are kept beside, for its calibration from the moves.
      rec.gx.push_back(v[3]);
      rec.gy.push_back(v[4]);
      rec.gz.push_back(v[5]);
      if (session.layout().timeColumn > 0) rec.t.push_back(v[6]);
    }
    if (scan) {
      scan->push(v[0], v[1], v[2]);
      return;
    }
    rec.x.push_back(v[0]);
    rec.y.push_back(v[1]);
    rec.z.push_back(v[2]);
    if (session.lines() > kLiveLinesInMemory && options.method == Method::kAuto) {
      scan = std::make_unique<analysis::StretchScan>(api::scanOptions(calibrate));
      scan->push(rec.x.data(), rec.y.data(), rec.z.data(), rec.rows());
      std::vector<double>().swap(rec.x);
      std::vector<double>().swap(rec.y);
      std::vector<double>().swap(rec.z);
    }
  }

  // The recording's layout and the line of each sample.
  void describe(Recording& r) const {
    r.layout = session.layout();
    r.rateFromHeader = session.rateFromHeader();
    r.rateLine = "the capture's header";
    r.linesWithoutReadings = session.linesWithoutReadings();
    r.lineRuns.clear();
    for (const auto& run : lines.runs()) r.lineRuns.push_back(LineRun{run.row, run.line, run.step});
    if (r.lineRuns.size() == 1 && r.lineRuns[0].row == 0 && r.lineRuns[0].line == 1 &&
        r.lineRuns[0].step == 1)
      r.lineRuns.clear();
  }

  Result calibrateNow() {
    if (!scan) {
      describe(rec);
      return calibrateAuto(rec, calibrate);
    }
    Recording info;
    describe(info);
    info.streamedSamples = scan->samples();
    CalibrateOptions c = calibrate;
    c.method = Method::kStretches;
    analysis::StretchScan copy(*scan);
    copy.finish();
    return api::calibrateScanned(info, copy, c);
  }

  LiveOptions options;
  CalibrateOptions calibrate;
  analysis::LiveSession session;
  Recording rec;
  tiltfit_csv::LineRunBuilder lines;
  std::unique_ptr<analysis::StretchScan> scan;
};

LiveSession::LiveSession(const LiveOptions& options) : impl_(std::make_unique<Impl>(options)) {}
LiveSession::~LiveSession() = default;

void LiveSession::feed(const char* data, std::size_t n, double now) {
  impl_->session.feed(data, n, now);
}
void LiveSession::feedLines(const std::vector<std::string>& lines, double now) {
  impl_->session.feedLines(lines, now);
}
void LiveSession::feedSamples(const double* x, const double* y, const double* z, std::size_t n,
                              double now) {
  impl_->session.feedSamples(x, y, z, n, now);
}
void LiveSession::finish(double now) { impl_->session.finish(now); }

std::vector<LiveEvent> LiveSession::events() {
  std::vector<LiveEvent> out;
  for (const analysis::LiveNote& n : impl_->session.take()) {
    LiveEvent e;
    e.kind = static_cast<LiveEvent::Kind>(static_cast<int>(n.kind));
    e.text = n.text;
    e.firstSample = n.firstSample;
    e.lastSample = n.lastSample;
    e.orientation = n.orientation;
    e.expectedErrorMg = n.expectedErrorMg;
    out.push_back(std::move(e));
  }
  return out;
}

bool LiveSession::stopped() const { return impl_->session.stopped(); }
const std::string& LiveSession::stopReason() const { return impl_->session.stopReason(); }
std::string LiveSession::status(double now, bool silent) const {
  return impl_->session.status(now, silent);
}
std::uint64_t LiveSession::lines() const { return impl_->session.lines(); }
std::uint64_t LiveSession::linesWithoutReadings() const {
  return impl_->session.linesWithoutReadings();
}
std::uint64_t LiveSession::samples() const { return impl_->session.samples(); }
const Layout& LiveSession::layout() const { return impl_->session.layout(); }
Result LiveSession::result() const { return impl_->calibrateNow(); }

}  // namespace tiltfit
