// Ground truth of a synthesised stream: what the simulator put into the
// signal, for tests and tools to hold analysers against.
//
// Sample indices count the raw samples of the stream from 0 (the first raw
// sample sent is sample 0); at 512 samples per second of headset time a
// sample's time is index / 512 seconds.  Indices are unaffected by faults,
// pauses and unplugs: they count the samples the headset produced.
//
// Thread-safety: plain data.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "sim/SignalOptions.h"

namespace velmora::sim {

// The start of an EEG or ECG period (one at sample 0 in every mode).
struct PeriodTruth {
  SignalMode mode = SignalMode::Eeg;  // Eeg or Ecg
  uint64_t start = 0;
};

// One blink.  `start` and `end` are the first and last samples that the
// blink's shape changes; the blink detector completes it on a sample from
// `end` to `end` + 26 (a positive-first blink 26 samples after its negative
// lobe, a negative-first blink as soon as the signal is back near zero).  `strength` is the largest sample minus the smallest
// within start..end as sent (noise included), which is what the detector
// measures; `code` is the result the detector reports for it, (strength >>
// 4) & 0xFF.
struct BlinkTruth {
  uint64_t start = 0;
  uint64_t end = 0;
  bool positiveFirst = true;  // the first lobe rises above +230
  int32_t strength = 0;
  int32_t code = 0;
};

// One R peak of the ECG: the sample at the top of the R wave, and the
// interval from the previous R peak of the same ECG period in milliseconds
// (the sample distance * 1000 / 512; absent for a period's first beat).
struct BeatTruth {
  uint64_t sample = 0;
  std::optional<double> rrMs;
};

using TruthEvent = std::variant<PeriodTruth, BlinkTruth, BeatTruth>;

struct GroundTruth {
  std::vector<PeriodTruth> periods;
  std::vector<BlinkTruth> blinks;
  std::vector<BeatTruth> beats;

  void add(const TruthEvent& event);
};

}  // namespace velmora::sim
