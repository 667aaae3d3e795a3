// StreamStats: what a streaming session has received so far, gathered from
// the delivered data dictionaries: the latest value of every key, counts of
// samples, deliveries, blinks and beats, the last blinks, and the last second
// of raw samples.  The live view draws it; the commands summarise it.
//
// Threads: plain data, owned by the main thread.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "Value.h"

namespace velmora::tool {

// The data dictionary's keys of the eight EEG band powers, in row order, and
// short labels for them.
inline constexpr std::array<const char*, 8> kBandKeys = {"eegDelta",   "eegTheta",    "eegLowAlpha", "eegHighAlpha",
                                                         "eegLowBeta", "eegHighBeta", "eegLowGamma", "eegHighGamma"};
inline constexpr std::array<const char*, 8> kBandLabels = {"delta",    "theta",     "low alpha", "high alpha",
                                                           "low beta", "high beta", "low gamma", "high gamma"};

struct Blink {
  double t = 0.0;  // seconds since the epoch, as delivered
  int32_t strength = 0;
};

struct StreamStats {
  static constexpr size_t kRecentRaw = 512;  // one second of samples
  static constexpr size_t kRecentBlinks = 6;

  uint64_t deliveries = 0;
  uint64_t samples = 0;
  uint64_t blinks = 0;              // deliveries carrying "blinkStrength"
  uint64_t beats = 0;               // deliveries carrying "rrInt"
  std::optional<double> firstData;  // delivery times, seconds since the epoch
  std::optional<double> lastData;

  std::optional<int32_t> poorSignal;
  std::optional<int32_t> attention;
  std::optional<int32_t> meditation;
  std::optional<int32_t> heartRate;
  std::optional<int32_t> rrInterval;
  std::array<std::optional<int32_t>, 8> bands{};
  std::deque<Blink> recentBlinks;  // newest last
  std::deque<int32_t> recentRaw;   // newest last
  // (delivery time, samples so far), for the sample rate over the last second.
  std::deque<std::pair<double, uint64_t>> sampleMarks;

  // Takes in one delivered dictionary.
  void add(double t, const Dictionary& data);
  // Raw samples per second over about the last second; none until known.
  std::optional<double> sampleRate() const;
};

}  // namespace velmora::tool
