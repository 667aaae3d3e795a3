// VLHrvStandard: the heart-rate-variability measures the field publishes,
// for comparison with other studies.  They sit beside VLHrv's energy
// calculation (summed FFT amplitudes of a 2 Hz tachogram), which stays the
// library's own measure; the two LF/HF figures differ by method and must not
// be compared with each other.
//
// From RR intervals in ms (each within kMinIntervalMs..kMaxIntervalMs, all
// together at least kMinTotalMs):
//
// * Time domain: "beats" (the number of intervals), "meanRR" (ms), "SDNN"
//   (sample standard deviation, n - 1, ms), "RMSSD" (root mean square of
//   successive differences, ms), "pNN50" (% of successive differences whose
//   magnitude exceeds 50 ms), "meanHR" (60000 / meanRR, beats per minute).
// * Frequency domain: beat i lies at the sum of intervals 0..i (s) and
//   carries interval i.  A natural cubic spline through these points is
//   sampled at 4 Hz from the first beat (t0 + k / 4 for every k >= 0 up to
//   the last beat, inclusive), its mean removed, and its power spectral
//   density estimated by Welch's method: periodic Hann windows of
//   n = min(256, samples) samples overlapping by n / 2 (rounded down), no
//   detrending, one-sided, averaged, in ms^2/Hz.  "LF" and "HF" (ms^2) are
//   trapezoidal integrals over the frequency bins f with 0.04 <= f < 0.15 Hz
//   and 0.15 <= f < 0.40 Hz (the bins inside the band only); "LF/HF";
//   "LFnu" and "HFnu" = 100 * LF / (LF + HF) and 100 * HF / (LF + HF).
//   A ratio with a zero denominator is infinite or NaN, as IEEE arithmetic
//   gives it.
//
// Errors come back as values: compute() returns none and says why in
// `error` for a refused list.
//
// Threads: compute() is a pure function of its input; any thread may call
// it at any time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "Value.h"

namespace velmora {

class VLHrvStandard {
 public:
  static constexpr double kMinIntervalMs = 200;
  static constexpr double kMaxIntervalMs = 3000;
  static constexpr double kMinTotalMs = 64000;
  static constexpr double kResampleHz = 4;
  static constexpr size_t kSegmentSamples = 256;

  struct Result {
    int64_t beats = 0;
    double meanRR = 0, SDNN = 0, RMSSD = 0, pNN50 = 0, meanHR = 0;
    double LF = 0, HF = 0, LFHF = 0, LFnu = 0, HFnu = 0;

    // The result under its keys, in the order above ("beats" an integer,
    // the rest doubles; "LF/HF" for LFHF).
    Dictionary toDictionary() const;
  };

  // The keys of toDictionary(), in order.
  static constexpr const char* kKeys[] = {"beats", "meanRR", "SDNN", "RMSSD", "pNN50", "meanHR",
                                          "LF",    "HF",     "LF/HF", "LFnu", "HFnu"};

  // The measures of `rrMs`, or none with `error` saying why the list was
  // refused (an interval outside the range or not a number, or too short a
  // list).
  static std::optional<Result> compute(std::span<const double> rrMs, std::string& error);
};

}  // namespace velmora
