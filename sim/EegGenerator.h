// Synthesises the raw EEG of one headset: a background of alpha, theta,
// beta and delta rhythms with coloured noise, kept within +-150, and blinks
// of both polarities and varied strengths.
//
// A blink is a two-lobed swing shaped so that the library's blink detector
// takes it: each lobe stays beyond +230 / -200 for 17 to 28 samples, the
// lobes follow each other at once and carry about the same area (so the
// blink's mean stays small), the strength (largest minus smallest sample) is
// about 600 to 3600, and the background is damped to a fifth from 60 samples
// before the blink to 60 after it, so that the detector finds a quiet
// baseline on both sides (at most +-30: below its end level of 33/34).
// Blinks start no earlier than 1.5 s into an EEG period (the detector warms
// up over 512 samples), end with their quiet margins at least 64 samples
// before the period does, and are 1 to 4 s apart.
//
// Thread-safety: none; the stream's thread owns it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/GroundTruth.h"
#include "sim/Random.h"

namespace velmora::sim {

class EegGenerator {
 public:
  explicit EegGenerator(uint64_t seed);

  // An EEG period runs from `start` up to (not including) `end`; none: for
  // ever.  Call before the period's first sample.
  void beginPeriod(uint64_t start, std::optional<uint64_t> end);

  // The raw sample at index `sample`; indices rise by one within a period.
  // Appends the BlinkTruth of a blink to `truth` on the blink's last sample.
  int16_t next(uint64_t sample, std::vector<TruthEvent>& truth);

  // Whether a blink touched any sample since the last call.
  bool takeBlinkSeen();

 private:
  struct Blink {
    uint64_t shapeStart = 0;
    std::vector<float> shape;
    bool positiveFirst = true;
    int32_t highest = 0;
    int32_t lowest = 0;
    uint64_t shapeEnd() const { return shapeStart + shape.size() - 1; }
  };

  double background(uint64_t sample);
  double backgroundGain(uint64_t sample) const;
  void planBlink(uint64_t notBefore);

  Random random_;
  std::optional<uint64_t> periodEnd_;
  std::optional<Blink> blink_;
  uint64_t nextBlinkEarliest_ = 0;
  bool blinkSeen_ = false;
  // Background state.
  double pink_ = 0.0;
  double phase_[5] = {};
  double alphaDepthPhase_ = 0.0;
};

}  // namespace velmora::sim
