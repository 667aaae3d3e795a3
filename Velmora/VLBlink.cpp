#include "VLBlink.h"

#include <cmath>

namespace velmora {
namespace {

constexpr int32_t kPoorSignalLimit = 50;
constexpr int kNewest = VLBlink::kWindow - 1;  // 511
constexpr int kPrevious = kNewest - 1;         // 510

bool above(int32_t v) { return v >= 231; }
bool below(int32_t v) { return v <= -201; }
bool inside(int32_t v) { return v >= -200 && v <= 230; }

// Markers are 16-bit fields and wrap like them (a blink whose second lobe
// never ends keeps moving its markers down).
void decrement(int16_t& marker) { marker = static_cast<int16_t>(marker - 1); }

}  // namespace

VLBlink::VLBlink() = default;

int32_t VLBlink::detectBlinkWithPoorSignal(int32_t poorSignal, int32_t eegValue) {
  if (poorSignal > kPoorSignalLimit) {
    bufferCounter_ = 0;
    outerLow_ = innerLow_ = innerHigh_ = outerHigh_ = -1;
    state_ = 0;
    return 0;
  }

  // Position 0 falls out; its slot becomes position 511.
  ring_[head_] = static_cast<int16_t>(eegValue);
  head_ = (head_ + 1) & (kWindow - 1);
  const int32_t x = eegValue;
  const int32_t p = at(kPrevious);

  if (bufferCounter_ < kWindow) {
    ++bufferCounter_;
    if (bufferCounter_ < kWindow) return 0;
  }

  switch (state_) {
    case 0:
      if (above(x) || below(x)) {
        blinkStart_ = innerLow_ = innerHigh_ = outerHigh_ = blinkEnd_ = -1;
        outerLow_ = kNewest;
        if (above(x)) {
          maxValue_ = static_cast<int16_t>(x);
          state_ = 1;
        } else {
          minValue_ = static_cast<int16_t>(x);
          state_ = 4;
        }
      }
      return 0;

    case 1:
      // Giving up on a long first lobe does not end this step: a below
      // sample can still move the detector to the second lobe below.
      if (kNewest - outerLow_ > 120 || outerLow_ <= 0) state_ = 0;
      decrement(outerLow_);
      if (!above(x) && above(p)) {
        innerLow_ = kPrevious;
      } else {
        decrement(innerLow_);
      }
      if (x > maxValue_) maxValue_ = static_cast<int16_t>(x);
      if (!below(x)) return 0;
      innerHigh_ = kNewest;
      minValue_ = static_cast<int16_t>(x);
      if (innerHigh_ - innerLow_ > 44) {
        state_ = 0;
        return 0;
      }
      state_ = 2;
      return 0;

    case 4:
      if (kNewest - outerLow_ > 120 || outerLow_ <= 0) {
        state_ = 0;
        return 0;
      }
      decrement(outerLow_);
      if (!below(x) && below(p)) {
        innerLow_ = kPrevious;
      } else {
        decrement(innerLow_);
      }
      if (x < minValue_) minValue_ = static_cast<int16_t>(x);
      if (!above(x)) return 0;
      innerHigh_ = kNewest;
      maxValue_ = static_cast<int16_t>(x);
      if (innerHigh_ - innerLow_ > 44) {
        state_ = 0;
        return 0;
      }
      state_ = 5;
      return 0;

    case 2:
    case 5: {
      const bool positiveFirst = state_ == 2;
      // The second lobe is below for a positive-first blink, above otherwise.
      auto inLobe = positiveFirst ? below : above;
      decrement(outerLow_);
      decrement(innerLow_);
      decrement(innerHigh_);
      if (!inLobe(x) && inLobe(p)) {
        outerHigh_ = kPrevious;
        state_ = positiveFirst ? 3 : 6;
      } else {
        decrement(outerHigh_);
      }
      if (positiveFirst) {
        if (x < minValue_) minValue_ = static_cast<int16_t>(x);
      } else {
        if (x > maxValue_) maxValue_ = static_cast<int16_t>(x);
      }
      if (kNewest - outerLow_ >= 121) {
        outerHigh_ = kNewest;
        state_ = positiveFirst ? 3 : 6;
      }
      return 0;
    }

    case 3:
    case 6: {
      const bool positiveFirst = state_ == 3;
      decrement(outerLow_);
      decrement(innerLow_);
      decrement(innerHigh_);
      const bool backInLobe = positiveFirst ? below(x) : above(x);
      if (backInLobe) {
        state_ = positiveFirst ? 2 : 5;
      } else {
        decrement(outerHigh_);
      }
      const bool atEndLevel = positiveFirst ? x >= 34 : x <= 32;
      if (kNewest - outerHigh_ > 25 || atEndLevel) blinkEnd_ = kNewest;
      if (blinkEnd_ <= 0) return 0;
      return evaluate(positiveFirst);
    }

    default:
      state_ = 0;
      return 0;
  }
}

int32_t VLBlink::evaluate(bool positiveFirst) {
  // Whatever happens below, the detector is idle afterwards.
  state_ = 0;

  // The start is the first sample at or before outerLow, at most 24 back,
  // that has returned past the baseline level 33.
  if (outerLow_ < 0 || outerLow_ > kNewest) return 0;
  int start = outerLow_ - 24;
  for (int position = outerLow_; position >= outerLow_ - 24; --position) {
    if (position < 0) return 0;  // the blink's start has left the window
    const int32_t v = at(position);
    if (positiveFirst ? v < 33 : v > 33) {
      start = position;
      break;
    }
  }
  blinkStart_ = static_cast<int16_t>(start);

  blinkStrength_ = static_cast<int16_t>(maxValue_ - minValue_);
  if (blinkStrength_ <= 499) return 0;
  meanVariablityThreshold_ = static_cast<double>((blinkStrength_ / 993) * 200);

  double total = 0.0;
  for (int i = blinkStart_; i <= blinkEnd_; ++i) total += at(i);
  average_ = std::fabs(total / (blinkEnd_ + 1 - blinkStart_));
  if (average_ > 200.0) return 0;
  if (blinkEnd_ - blinkStart_ <= 49) return 0;
  if (!inside(at(blinkStart_))) return 0;
  if (!inside(at(blinkEnd_))) return 0;
  return (static_cast<uint16_t>(blinkStrength_) >> 4) & 0xFF;
}

}  // namespace velmora
