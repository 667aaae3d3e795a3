// What the simulator synthesises: the signal mode, the seed and the shape of
// the heart's rhythm.  Plain data; validate() names what is wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::sim {

// Raw samples per second of headset time.
inline constexpr int kSampleRate = 512;

enum class SignalMode {
  Eeg,    // signal quality 0..50, background EEG with blinks
  Ecg,    // signal quality 200, an ECG with modulated RR intervals
  Mixed,  // EEG and ECG periods alternating, EEG first
};

const char* signalModeName(SignalMode mode);  // "eeg", "ecg", "mixed"
std::optional<SignalMode> parseSignalMode(std::string_view name);

struct SignalOptions {
  SignalMode mode = SignalMode::Eeg;
  uint64_t seed = 1;
  // Peak strength of the RR interval's modulation at 0.1 Hz (lf) and at
  // 0.25 Hz (hf), as fractions of the mean interval: lf 0.04 swings the
  // interval by +-4 %.  Each 0..0.2 and together at most 0.2: larger swings
  // would put beats inside the beat detector's refractory distance (75 % of
  // the smoothed interval).
  double lf = 0.04;
  double hf = 0.03;
  // Mixed mode: the length of each EEG and each ECG period, whole seconds.
  uint32_t periodSeconds = 30;

  // Throws std::invalid_argument naming the bad value.
  void validate() const;
};

}  // namespace velmora::sim
