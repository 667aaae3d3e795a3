#include "sim/EegGenerator.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <numbers>

namespace velmora::sim {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr int kTaper = 5;           // samples of each lobe's rising and falling edge
constexpr int kQuiet = 30;          // damped background held on each side of the shape
constexpr int kRamp = 30;           // samples over which the damping fades in and out
constexpr double kQuietGain = 0.2;  // background gain next to a blink
constexpr double kBackgroundLimit = 150.0;

// One lobe: a raised-cosine edge, a plateau with a gentle bump, and the
// mirrored edge.
void appendLobe(std::vector<float>& shape, double amplitude, int plateau) {
  for (int k = 1; k <= kTaper; ++k) {
    shape.push_back(static_cast<float>(amplitude * 0.5 * (1.0 - std::cos(std::numbers::pi * k / (kTaper + 1)))));
  }
  for (int j = 0; j < plateau; ++j) {
    shape.push_back(static_cast<float>(amplitude * (0.88 + 0.12 * std::sin(std::numbers::pi * (j + 0.5) / plateau))));
  }
  for (int k = kTaper; k >= 1; --k) {
    shape.push_back(static_cast<float>(amplitude * 0.5 * (1.0 - std::cos(std::numbers::pi * k / (kTaper + 1)))));
  }
}

}  // namespace

EegGenerator::EegGenerator(uint64_t seed) : random_(seed) {
  for (double& p : phase_) p = random_.uniform(0.0, kTwoPi);
  alphaDepthPhase_ = random_.uniform(0.0, kTwoPi);
}

void EegGenerator::beginPeriod(uint64_t start, std::optional<uint64_t> end) {
  periodEnd_ = end;
  blink_.reset();
  nextBlinkEarliest_ = start + kSampleRate * 3 / 2;
  planBlink(nextBlinkEarliest_);
}

void EegGenerator::planBlink(uint64_t notBefore) {
  Blink b;
  b.shapeStart = notBefore;
  b.positiveFirst = random_.chance(0.5);
  // Log-uniform first-lobe amplitude for a spread of strengths; the second
  // lobe is scaled to carry about the same area.
  double a1 = std::exp(random_.uniform(std::log(320.0), std::log(1700.0)));
  int p1 = static_cast<int>(random_.integer(14, 20));
  int p2 = static_cast<int>(random_.integer(14, 20));
  double a2 = a1 * (p1 + kTaper) / (p2 + kTaper) * random_.uniform(0.92, 1.08);
  a2 = std::clamp(a2, 320.0, 1900.0);
  double sign = b.positiveFirst ? 1.0 : -1.0;
  appendLobe(b.shape, sign * a1, p1);
  appendLobe(b.shape, -sign * a2, p2);
  // The blink, with its damped margins, must end well before the period.
  uint64_t lastTouched = b.shapeEnd() + kQuiet + kRamp;
  if (periodEnd_ && lastTouched + 64 >= *periodEnd_) return;
  b.highest = INT32_MIN;
  b.lowest = INT32_MAX;
  blink_ = std::move(b);
}

double EegGenerator::backgroundGain(uint64_t sample) const {
  if (!blink_) return 1.0;
  const Blink& b = *blink_;
  auto s = static_cast<int64_t>(sample);
  int64_t quietFrom = static_cast<int64_t>(b.shapeStart) - kQuiet;
  int64_t quietTo = static_cast<int64_t>(b.shapeEnd()) + kQuiet;
  double fade = 0.0;  // 0: full background, 1: fully damped
  if (s >= quietFrom && s <= quietTo) {
    fade = 1.0;
  } else if (s < quietFrom && s >= quietFrom - kRamp) {
    fade = 0.5 * (1.0 - std::cos(std::numbers::pi * static_cast<double>(s - (quietFrom - kRamp)) / kRamp));
  } else if (s > quietTo && s <= quietTo + kRamp) {
    fade = 0.5 * (1.0 + std::cos(std::numbers::pi * static_cast<double>(s - quietTo) / kRamp));
  }
  return 1.0 - fade * (1.0 - kQuietGain);
}

double EegGenerator::background(uint64_t sample) {
  double t = static_cast<double>(sample) / kSampleRate;
  double alphaDepth = 35.0 + 20.0 * std::sin(kTwoPi * 0.05 * t + alphaDepthPhase_);
  double v = alphaDepth * std::sin(kTwoPi * 10.2 * t + phase_[0]) + 18.0 * std::sin(kTwoPi * 6.0 * t + phase_[1]) +
             8.0 * std::sin(kTwoPi * 21.0 * t + phase_[2]) + 30.0 * std::sin(kTwoPi * 1.3 * t + phase_[3]) +
             12.0 * std::sin(kTwoPi * 2.7 * t + phase_[4]);
  pink_ = 0.95 * pink_ + random_.normal(0.0, 8.0);
  v += pink_ + random_.normal(0.0, 6.0);
  // Soft limit: never beyond +-150, so only blinks cross the detector's levels.
  return kBackgroundLimit * std::tanh(v / kBackgroundLimit);
}

int16_t EegGenerator::next(uint64_t sample, std::vector<TruthEvent>& truth) {
  double v = background(sample) * backgroundGain(sample);
  if (!blink_) return static_cast<int16_t>(std::lround(v));

  Blink& b = *blink_;
  bool inShape = sample >= b.shapeStart && sample <= b.shapeEnd();
  if (inShape) v += b.shape[sample - b.shapeStart];
  auto out = static_cast<int16_t>(std::lround(v));
  if (inShape) {
    blinkSeen_ = true;
    b.highest = std::max<int32_t>(b.highest, out);
    b.lowest = std::min<int32_t>(b.lowest, out);
    if (sample == b.shapeEnd()) {
      BlinkTruth t;
      t.start = b.shapeStart;
      t.end = b.shapeEnd();
      t.positiveFirst = b.positiveFirst;
      t.strength = b.highest - b.lowest;
      t.code = (static_cast<uint16_t>(t.strength) >> 4) & 0xFF;
      truth.emplace_back(t);
    }
  }
  if (sample == b.shapeEnd() + kQuiet + kRamp) {
    uint64_t gap = static_cast<uint64_t>(random_.integer(kSampleRate, 4 * kSampleRate));
    uint64_t nextStart = sample + gap;
    blink_.reset();
    planBlink(nextStart);
  }
  return out;
}

bool EegGenerator::takeBlinkSeen() {
  bool seen = blinkSeen_;
  blinkSeen_ = false;
  return seen;
}

}  // namespace velmora::sim
