#include "SampleClock.h"

#include <algorithm>

namespace velmora::python {

void SampleClock::start(double hostNow, double notBefore) {
  started_ = true;
  anchor_ = std::max(hostNow, notBefore);
  elapsed_ = 0.0;
  offset_ = 0.0;
}

double SampleClock::next(double hostNow) {
  const double t = peek();
  constexpr double kAlpha = 1.0 / (kFilterSeconds * kSampleRate);
  offset_ += kAlpha * ((hostNow - t) - offset_);
  const double rate = std::clamp(offset_ / kHorizonSeconds, -kMaxRate, kMaxRate);
  elapsed_ += (1.0 + rate) / kSampleRate;
  return t;
}

}  // namespace velmora::python
