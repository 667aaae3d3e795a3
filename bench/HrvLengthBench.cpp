// One HRV energy calculation at each FFT length: the list's total picks the
// length (up to 128 s of beats: 128 points, 256 s: 256, 512 s: 512, more:
// 1024).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "VLHrv.h"
#include "platform/Log.h"

namespace velmora {
namespace {

// Beats around 850 ms, modulated at about 0.1 and 0.25 Hz, totalling
// `seconds`.
std::vector<int32_t> beats(double seconds) {
  std::vector<int32_t> rr(1, 850);
  int64_t total = 0;
  double t = 0;
  while (total < static_cast<int64_t>(seconds * 1000)) {
    const double v = 850 + 40 * std::sin(2 * M_PI * 0.1 * t) + 25 * std::sin(2 * M_PI * 0.25 * t);
    rr.push_back(static_cast<int32_t>(v));
    total += rr.back();
    t += v / 1000;
  }
  return rr;
}

void BM_HrvCalculationAtFftLength(benchmark::State& state) {
  setLogSink([](std::string_view) {});
  const auto length = state.range(0);
  // A total inside the band that gives `length` points.
  const double seconds = length == 128 ? 100 : length == 256 ? 200 : length == 512 ? 400 : 600;
  const std::vector<int32_t> rr = beats(seconds);
  VLHrv hrv;
  for (auto _ : state) {
    benchmark::DoNotOptimize(hrv.calculateEnergyLevel(rr.data(), static_cast<int32_t>(rr.size())));
  }
  state.counters["beats"] = static_cast<double>(rr.size());
  setLogSink(nullptr);
}
BENCHMARK(BM_HrvCalculationAtFftLength)->Arg(128)->Arg(256)->Arg(512)->Arg(1024)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora
