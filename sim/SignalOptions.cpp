#include "sim/SignalOptions.h"

#include <stdexcept>

namespace velmora::sim {

const char* signalModeName(SignalMode mode) {
  switch (mode) {
    case SignalMode::Eeg: return "eeg";
    case SignalMode::Ecg: return "ecg";
    case SignalMode::Mixed: return "mixed";
  }
  return "?";
}

std::optional<SignalMode> parseSignalMode(std::string_view name) {
  if (name == "eeg") return SignalMode::Eeg;
  if (name == "ecg") return SignalMode::Ecg;
  if (name == "mixed") return SignalMode::Mixed;
  return std::nullopt;
}

void SignalOptions::validate() const {
  if (!(lf >= 0.0 && lf <= 0.2)) throw std::invalid_argument("the LF modulation must lie between 0 and 0.2");
  if (!(hf >= 0.0 && hf <= 0.2)) throw std::invalid_argument("the HF modulation must lie between 0 and 0.2");
  if (lf + hf > 0.2 + 1e-12) {
    throw std::invalid_argument("the LF and HF modulations together must not exceed 0.2 (larger swings put beats "
                                "inside the beat detector's refractory distance)");
  }
  if (periodSeconds < 5) throw std::invalid_argument("a mixed-mode period must last at least 5 seconds");
}

}  // namespace velmora::sim
