// Synthesises a single-lead ECG whose R waves the library's beat detector
// finds: P wave, a small Q, a tall R (slow rise, fast fall), a deep S and a T
// wave, summed over neighbouring beats, on a gently wandering baseline with a
// little noise.
//
// From the top of the R wave to the S wave the signal falls by about 3400
// raw units within 15 samples, so the detector's difference signal clears
// its threshold base (at least 3000) and its 55 % upper threshold on the
// fall.  The steepest 15-sample rise, about 2000, stays at three quarters of
// the detector's "steep rise" limit (1.5 times the upper threshold), so the
// fall alone marks each beat and the marked sample keeps its place relative
// to the R peak from beat to beat.
//
// The heart beats on in every mode: RR intervals follow
//   rr(t) = rr0 * (1 + lf sin(2 pi 0.1 t + a) + hf sin(2 pi 0.25 t + b)) + noise
// with rr0 drawn from 780..920 ms and noise of 2 ms (sd); R peaks fall on the
// nearest sample.  Beats are drawn only within ECG periods, those whose R
// peak lies at least 0.1 s inside the period; the rest of the time only the
// heart rate (for the headset's heart-rate row) follows them.
//
// Thread-safety: none; the stream's thread owns it.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/GroundTruth.h"
#include "sim/Random.h"

namespace velmora::sim {

class EcgGenerator {
 public:
  EcgGenerator(uint64_t seed, double lf, double hf);

  // An ECG period runs from `start` up to (not including) `end`; none: for
  // ever.  Call before the period's first sample.
  void beginPeriod(uint64_t start, std::optional<uint64_t> end);

  // The raw sample at index `sample`; indices rise by one within a period.
  // Appends a BeatTruth to `truth` on each drawn R peak.
  int16_t next(uint64_t sample, std::vector<TruthEvent>& truth);

  // Lets the heart beat on through a sample that is not drawn.
  void skip(uint64_t sample);

  // Beats per minute of the latest interval.
  int32_t heartRate() const;

 private:
  struct Beat {
    uint64_t r = 0;      // sample of the R peak
    double amplitude = 1.0;
    double rrMs = 0.0;   // the interval that ends at this beat, as generated
  };

  void generateUntil(uint64_t sample);
  bool drawn(const Beat& beat) const;
  static double wave(double d, const Beat& beat);

  Random random_;
  double lf_;
  double hf_;
  double rr0Ms_;
  double lfPhase_;
  double hfPhase_;
  double wanderPhase_;
  double nextBeatSeconds_;
  double lastRrMs_;
  std::deque<Beat> beats_;
  uint64_t drawFrom_ = 0;
  uint64_t drawTo_ = 0;  // exclusive
  std::optional<uint64_t> lastDrawnR_;
};

}  // namespace velmora::sim
