// Per-sample cost of the two analysers and the cost of one HRV calculation.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "VLBlink.h"
#include "VLHrv.h"
#include "platform/Log.h"

namespace velmora {
namespace {

// One second of a blinking EEG trace: baseline noise with one blink.
std::vector<int32_t> eegSecond() {
  std::vector<int32_t> x(512);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int32_t>(20 * std::sin(0.3 * static_cast<double>(i)));
  for (size_t i = 100; i < 120; ++i) x[i] = 400;
  for (size_t i = 120; i < 140; ++i) x[i] = -400;
  return x;
}

void BM_BlinkDetectOneSample(benchmark::State& state) {
  VLBlink blink;
  std::vector<int32_t> trace = eegSecond();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(blink.detectBlinkWithPoorSignal(0, trace[i]));
    i = (i + 1) % trace.size();
  }
}
BENCHMARK(BM_BlinkDetectOneSample);

void BM_HrvAddDataOneSample(benchmark::State& state) {
  setLogSink([](std::string_view) {});
  VLHrv hrv;
  // 70 beats per minute: a sharp fall every 439 samples, recovering slowly.
  std::vector<int32_t> trace(439 * 4);
  for (size_t i = 0; i < trace.size(); ++i) {
    size_t phase = i % 439;
    trace[i] = phase < 200 ? static_cast<int32_t>(-4000 + 20 * static_cast<int32_t>(phase)) : 0;
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(hrv.addData(trace[i]));
    i = (i + 1) % trace.size();
  }
  setLogSink(nullptr);
}
BENCHMARK(BM_HrvAddDataOneSample);

void BM_HrvCalculation1024(benchmark::State& state) {
  setLogSink([](std::string_view) {});
  VLHrv hrv;
  // About 600 s of beats around 1000 ms: N = 1024.
  std::vector<int32_t> rr(1, 1000);
  int64_t total = 0;
  while (total < 600000) {
    rr.push_back(1000 + static_cast<int32_t>(50 * std::sin(0.63 * static_cast<double>(rr.size()))));
    total += rr.back();
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(hrv.calculateEnergyLevel(rr.data(), static_cast<int32_t>(rr.size())));
  }
  setLogSink(nullptr);
}
BENCHMARK(BM_HrvCalculation1024);

}  // namespace
}  // namespace velmora
