// A seeded random source for the simulator whose sequence depends only on the
// seed: the engine is std::mt19937_64 (its output is fixed by the standard)
// and the distributions are computed here rather than by the standard
// library's, whose algorithms differ between implementations.
//
// Thread-safety: none; each generator owns its own Random.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>

namespace velmora::sim {

class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}

  // Uniform in [0, 1).
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  double uniform(double low, double high) { return low + (high - low) * uniform(); }
  // Uniform integer in [low, high].
  int64_t integer(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(uniform() * static_cast<double>(high - low + 1));
  }
  bool chance(double p) { return uniform() < p; }

  // Standard normal (Box-Muller; the second value is kept for the next call).
  double normal() {
    if (haveSpare_) {
      haveSpare_ = false;
      return spare_;
    }
    double u1 = 0.0;
    while (u1 <= 0.0) u1 = uniform();
    double u2 = uniform();
    double r = std::sqrt(-2.0 * std::log(u1));
    spare_ = r * std::sin(2.0 * std::numbers::pi * u2);
    haveSpare_ = true;
    return r * std::cos(2.0 * std::numbers::pi * u2);
  }
  double normal(double mean, double sd) { return mean + sd * normal(); }

  uint64_t bits() { return engine_(); }

 private:
  std::mt19937_64 engine_;
  double spare_ = 0.0;
  bool haveSpare_ = false;
};

}  // namespace velmora::sim
