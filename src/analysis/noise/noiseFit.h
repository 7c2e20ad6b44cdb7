// Noise figures of one channel from its Allan deviation: white noise density N, bias instability B
// and rate random walk K, each with its interval, or why the recording does not show it. The model
// and the reading of each figure are written out at the top of noiseFit.cpp.
#ifndef TILTFIT_ANALYSIS_NOISE_NOISEFIT_H
#define TILTFIT_ANALYSIS_NOISE_NOISEFIT_H

#include <cstddef>
#include <string>

#include "allan.h"

namespace tiltfit {
namespace analysis {
namespace noise {

// The Allan deviation of flicker rate noise of bias instability B is B sqrt(2 ln 2 / pi): B is
// read as the curve's minimum divided by this.
constexpr double kFlickerFactor = 0.664;

struct NoiseFigure {
  bool determined = false;    // the curve shows the term clearly enough to read it
  double value = 0.0;         // in the figure's units (see NoiseFit); the fit's value even if not
                              // determined (0 when the fit left the term out)
  double lo = 0.0, hi = 0.0;  // its interval, at the curve's confidence level (when determined)
  double tau = 0.0;           // s: where it is read (1 s for N, 3 s for K, the minimum for B)
  double intervalTau = 0.0;   // s: the averaging time whose chi-square interval gives [lo, hi]
  // When not determined: the largest value the curve allows (at its confidence level; 0 when it
  // sets none) and the recording length that would show the term if it were that large, so the
  // least length worth recording (0 when the curve says nothing about it).
  double upper = 0.0;
  double neededSeconds = 0.0;
  // When not determined, one line for the user: "random walk: not shown by 7.5 min of data;
  // record at least about 3 h". Empty when determined.
  std::string note;
};

struct NoiseFit {
  bool ok = false;       // the curve had enough points (at least 4) to fit
  double seconds = 0.0;  // pooled length of the recording
  // In the channel's units u times unitScale: N in u/sqrt(Hz) (= u sqrt(s)), read on the -1/2
  // slope at tau = 1 s; B in u, the minimum of the deviation / kFlickerFactor; K in u/s/sqrt(Hz)
  // (= u/sqrt(s)), read on the +1/2 slope at tau = 3 s.
  NoiseFigure white;
  NoiseFigure bias;
  NoiseFigure randomWalk;
  // The fitted Allan variance, avar(tau) = N^2 / tau + F + K^2 tau / 3, in the same units
  // squared: F the flicker floor, N and K the model's (the figures above are read from the curve).
  double N2 = 0.0, F = 0.0, K2 = 0.0;
  double modelAdev(double tau) const;
};

struct NoiseFitOptions {
  // The units wanted per unit of the channel (SI per count, say): every figure and the model are
  // scaled by it.
  double unitScale = 1.0;
};

// Fits the model to every point of the curve and reads the three figures (see noiseFit.cpp).
// A curve with fewer than 4 points gives ok = false and no figure determined.
NoiseFit fitNoise(const AllanCurve& curve, const NoiseFitOptions& options = {});

// "45 s", "7.5 min", "3 h", "2.5 days": a length of time for a sentence, two significant digits.
std::string formatDuration(double seconds);

// White noise density from short still stretches of a calibration session (a few seconds each,
// several of them), one channel: each stretch is a segment of an Allan deviation, their terms
// pooled, and N is read from the model fitted to the pooled curve as fitNoise reads it.
class StretchWhiteNoise {
 public:
  explicit StretchWhiteNoise(double period) : allan_(period, options()) {}
  // The samples of one still stretch of the channel, in its units; stretches shorter than 8
  // samples add nothing.
  void addStretch(const double* y, std::size_t n);
  std::size_t stretches() const { return stretches_; }
  std::uint64_t samples() const { return allan_.samples(); }
  // N in the channel's units times unitScale per sqrt(Hz); not determined without stretches.
  NoiseFigure estimate(double confidence = 0.95, double unitScale = 1.0) const;

 private:
  static AllanOptions options();
  AllanAccumulator allan_;
  std::size_t stretches_ = 0;
};

}  // namespace noise
}  // namespace analysis
}  // namespace tiltfit

#endif
