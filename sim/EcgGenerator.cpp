#include "sim/EcgGenerator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace velmora::sim {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr uint64_t kMargin = kSampleRate / 10;  // R peaks this far inside a period are drawn
constexpr int64_t kBefore = 160;                // a beat's waves span R - 160 .. R + 260 samples
constexpr int64_t kAfter = 260;

double gauss(double d, double centre, double sd) {
  double z = (d - centre) / sd;
  return std::exp(-0.5 * z * z);
}

}  // namespace

EcgGenerator::EcgGenerator(uint64_t seed, double lf, double hf)
    : random_(seed ^ 0x9E3779B97F4A7C15ull), lf_(lf), hf_(hf) {
  rr0Ms_ = random_.uniform(780.0, 920.0);
  lfPhase_ = random_.uniform(0.0, kTwoPi);
  hfPhase_ = random_.uniform(0.0, kTwoPi);
  wanderPhase_ = random_.uniform(0.0, kTwoPi);
  nextBeatSeconds_ = random_.uniform(0.3, 0.9);
  lastRrMs_ = rr0Ms_;
}

void EcgGenerator::beginPeriod(uint64_t start, std::optional<uint64_t> end) {
  drawFrom_ = start + kMargin;
  drawTo_ = end ? (*end > kMargin ? *end - kMargin : 0) : std::numeric_limits<uint64_t>::max();
  lastDrawnR_.reset();
}

bool EcgGenerator::drawn(const Beat& beat) const { return beat.r >= drawFrom_ && beat.r < drawTo_; }

void EcgGenerator::generateUntil(uint64_t sample) {
  while (beats_.empty() || beats_.back().r <= sample + kBefore) {
    double t = nextBeatSeconds_;
    Beat b;
    b.r = static_cast<uint64_t>(std::llround(t * kSampleRate));
    b.rrMs = lastRrMs_;
    // Breathing (the HF rhythm) also swells the R wave a little.
    b.amplitude = (1.0 + 0.03 * std::sin(kTwoPi * 0.25 * t + hfPhase_)) * (1.0 + random_.normal(0.0, 0.01));
    beats_.push_back(b);
    double rr = rr0Ms_ * (1.0 + lf_ * std::sin(kTwoPi * 0.1 * t + lfPhase_) + hf_ * std::sin(kTwoPi * 0.25 * t + hfPhase_)) +
                random_.normal(0.0, 2.0);
    lastRrMs_ = rr;
    nextBeatSeconds_ = t + rr / 1000.0;
  }
  while (!beats_.empty() && beats_.front().r + kAfter < sample) beats_.pop_front();
}

// The waves of one beat at `d` samples from its R peak.
double EcgGenerator::wave(double d, const Beat& beat) {
  double a = beat.amplitude;
  double tCentre = 0.29 * std::sqrt(beat.rrMs / 1000.0) * kSampleRate;
  double v = 110.0 * gauss(d, -85.0, 11.0)                        // P
             - 120.0 * gauss(d, -14.0, 4.0)                       // Q
             + 2600.0 * gauss(d, 0.0, d < 0.0 ? 11.0 : 4.5)        // R: slow rise, fast fall
             - 800.0 * gauss(d, 11.0, 4.5)                        // S
             + 420.0 * gauss(d, tCentre, d < tCentre ? 24.0 : 17.0);  // T
  return a * v;
}

int16_t EcgGenerator::next(uint64_t sample, std::vector<TruthEvent>& truth) {
  generateUntil(sample);
  double v = 0.0;
  for (const Beat& b : beats_) {
    if (!drawn(b)) continue;
    auto d = static_cast<int64_t>(sample) - static_cast<int64_t>(b.r);
    if (d < -kBefore || d > kAfter) continue;
    v += wave(static_cast<double>(d), b);
    if (d == 0) {
      BeatTruth t;
      t.sample = b.r;
      if (lastDrawnR_) t.rrMs = static_cast<double>(b.r - *lastDrawnR_) * 1000.0 / kSampleRate;
      lastDrawnR_ = b.r;
      truth.emplace_back(t);
    }
  }
  double t = static_cast<double>(sample) / kSampleRate;
  v += 50.0 * std::sin(kTwoPi * 0.2 * t + wanderPhase_) + random_.normal(0.0, 6.0);
  v = std::clamp(v, -32768.0, 32767.0);
  return static_cast<int16_t>(std::lround(v));
}

void EcgGenerator::skip(uint64_t sample) { generateUntil(sample); }

int32_t EcgGenerator::heartRate() const {
  // Averaged over the beats at hand (about a second around now), as a
  // headset would smooth it.
  double sum = 0.0;
  for (const Beat& b : beats_) sum += b.rrMs;
  double mean = beats_.empty() ? rr0Ms_ : sum / static_cast<double>(beats_.size());
  return static_cast<int32_t>(std::lround(60000.0 / mean));
}

}  // namespace velmora::sim
