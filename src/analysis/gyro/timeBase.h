// The time of each sample of a recording: from a time column as read, from a sample counter and a
// rate, or from a rate alone. Integrating a gyroscope needs the step between samples; a logger's
// stamps are often coarser than its period, repeat, jitter, step back where records of two kinds
// interleave, jump at a gap and restart where files were joined. The time base sees through these
// to the clock the sensor sampled on: runs of evenly spaced samples (segments) and the breaks
// between them.
#ifndef TILTFIT_ANALYSIS_GYRO_TIMEBASE_H
#define TILTFIT_ANALYSIS_GYRO_TIMEBASE_H

#include <cstddef>
#include <string>
#include <vector>

namespace tiltfit {
namespace analysis {
namespace gyro {

// Where samples are missing, or where the stamps restart (a join of files): between rows
// `row - 1` and `row`. A move containing one cannot be integrated.
struct TimeGap {
  std::size_t row = 0;     // first row after the break
  double seconds = 0.0;    // time missing beyond one period; NaN when the stamps restarted
  bool restart = false;    // the stamps went back (a join of files): the missing time is unknown
};

// Runs of samples taken evenly: sample `first + k` of a segment is at `start + k * period`
// seconds. With perSample the segment's samples keep their own times instead (stamps that follow
// an uneven clock more closely than any even spacing).
struct TimeSegment {
  std::size_t first = 0;
  std::size_t count = 0;
  double start = 0.0;   // seconds since the first sample of the recording
  double period = 0.0;  // seconds
};

class TimeBase {
 public:
  TimeBase() = default;

  // From a time column (one value per sample, as read). rateHint (Hz, 0 when none) decides the
  // unit where the steps alone leave it open and is reported beside the judged rate.
  // Non-finite stamps are treated as stamps that did not fit the clock. n may be 0.
  static TimeBase fromStamps(const double* stamps, std::size_t n, double rateHint = 0.0);
  // From a sample counter (one value per sample, counting samples) at rate Hz: a counter that
  // jumps marks missing samples, one that goes back a join of files. rate > 0.
  static TimeBase fromCounter(const double* counter, std::size_t n, double rate);
  // Evenly spaced samples at rate Hz (a --rate option or a header line such as "Fs,100").
  static TimeBase fromRate(std::size_t n, double rate);

  std::size_t size() const { return n_; }
  // Seconds of sample i since sample 0 (monotonic; a restart continues one period after the last
  // sample before it). O(log segments). i < size().
  double time(std::size_t i) const;
  // time(i + 1) - time(i): the step a rate at sample i is integrated over. For the last sample
  // and across a gap or restart, the period of the segment sample i belongs to. i < size().
  double step(std::size_t i) const;
  // Whether a gap or restart lies between rows first and last (inclusive): a break at row r with
  // first < r <= last.
  bool gapWithin(std::size_t first, std::size_t last) const;

  double meanRate() const { return meanRate_; }  // Hz, over the samples of all segments
  const std::vector<TimeGap>& gaps() const { return gaps_; }
  const std::vector<TimeSegment>& segments() const { return segments_; }
  // "s", "ms", "us", "ns" for a time column; "counter" or "rate" otherwise.
  const std::string& unit() const { return unit_; }
  bool epoch() const { return epoch_; }  // stamps count from 1970 rather than from boot
  bool perSample() const { return !times_.empty(); }
  // One plain sentence of what was judged and done, for a report.
  const std::string& note() const { return note_; }

 private:
  std::size_t segmentOf(std::size_t i) const;
  void finish();

  std::size_t n_ = 0;
  std::vector<TimeSegment> segments_;
  std::vector<TimeGap> gaps_;
  std::vector<double> times_;  // per-sample seconds, only for an uneven clock
  double meanRate_ = 0.0;
  std::string unit_ = "rate";
  bool epoch_ = false;
  std::string note_;
};

}  // namespace gyro
}  // namespace analysis
}  // namespace tiltfit

#endif
