// The synthesised headset: the packet stream a headset sends, deterministic
// from the seed, at 512 raw samples per second of headset time.
//
// Every raw sample travels in a packet of its own.  At the start of each
// second (before that second's first raw packet) come, in this order:
//  - every 10 s from second 0, a sensor-chip packet 85 03 00 00 61 (third
//    value byte below 0xF0: the KRT480 chip);
//  - one packet with signal quality (0x02), attention (0x04), meditation
//    (0x05) and the eight band powers (0x83), in that order.
// Every 5 s, at sample 256 of seconds 4, 9, 14, ..., a heart-rate packet
// (0x03, the heart's smoothed rate, also in EEG periods).
//
// Modes (SignalOptions): EEG sends signal quality 0..50 (a slow random walk)
// and EegGenerator's signal; ECG sends signal quality 200 and EcgGenerator's
// signal; mixed alternates EEG and ECG periods of `periodSeconds`, EEG first,
// and sends signal quality 0 in the first second of every later EEG period,
// which resets the beat analyser so each ECG period begins fresh.
// Attention and meditation wander over 1..100; band powers drift as
// log-normal random walks around typical magnitudes, delta and theta rising
// in seconds after a blink (and delta in ECG periods).
//
// Ground truth: a PeriodTruth at the start of every period, a BlinkTruth per
// blink, a BeatTruth per drawn R peak (GroundTruth.h).
//
// Thread-safety: none; the stream's thread owns it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/EcgGenerator.h"
#include "sim/EegGenerator.h"
#include "sim/Random.h"
#include "sim/SignalOptions.h"
#include "sim/StreamSource.h"

namespace velmora::sim {

class SignalModel : public StreamSource {
 public:
  // Throws std::invalid_argument for invalid options.
  explicit SignalModel(const SignalOptions& options);

  // Never ends.
  bool tick(TickBuffer& out) override;
  bool framesPackets() const override { return true; }
  void takeTruth(std::vector<TruthEvent>& into) override;

  // Samples produced so far (the index of the next one).
  uint64_t samples() const { return sample_; }
  // The mode of second `second` of headset time.
  SignalMode modeOfSecond(uint64_t second) const;

  static constexpr uint8_t kSensorChip = 0x61;

 private:
  void beginSecond(uint64_t second, TickBuffer& out);
  void updateSecondValues(SignalMode mode, bool periodStart, uint64_t second);

  SignalOptions options_;
  Random random_;
  EegGenerator eeg_;
  EcgGenerator ecg_;
  uint64_t sample_ = 0;
  SignalMode current_ = SignalMode::Eeg;
  std::vector<TruthEvent> truth_;
  std::vector<uint8_t> payload_;
  // Values of the once-a-second packet.
  double poorSignal_ = 0.0;
  double attention_ = 50.0;
  double meditation_ = 50.0;
  std::array<double, 8> bandDeviation_{};
  bool blinkLastSecond_ = false;
};

}  // namespace velmora::sim
