// The energy and LF/HF calculation: which lists are taken, the band sums
// against an independent computation, the energy level, and calculations
// on their own thread beside the detector.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Globals.h"
#include "VLHrv.h"
#include "support/LogCapture.h"

namespace velmora {
namespace {

using test::LogCapture;
using test::waitUntil;

const std::string kBusy = "Still running the last calculation try again later.";
const std::string kDone = "fireCalculationDone is DONE.";
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr std::chrono::seconds kPatience{60};  // for other threads on a busy machine

std::string numSamples(int n) { return "numSamples for Energy Calculation is " + std::to_string(n); }
std::string tooShort(int total) { return "Need 64 seconds of data. Total ms = " + std::to_string(total); }

// Entry 0 (no time) and then intervals of 1000 ms up to `totalMs`.
std::vector<int32_t> listWithTotal(int32_t totalMs) {
  std::vector<int32_t> rr(1 + static_cast<size_t>(totalMs / 1000), 1000);
  if (totalMs % 1000) rr.push_back(totalMs % 1000);
  return rr;
}

// Intervals of 600..1100 ms, drawn from a fixed seed, for at least `totalMs`:
// a tachogram with something in every bin.
std::vector<int32_t> irregular(int64_t totalMs, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int32_t> ms(600, 1100);
  std::vector<int32_t> rr{ms(rng)};
  for (int64_t t = 0; t < totalMs; t += rr.back()) rr.push_back(ms(rng));
  return rr;
}

// An irregular list whose total is exactly 63,500 ms: the shortest taken,
// and the last grid time falls on its last beat.  It has no spare capacity,
// so a read past its end leaves the allocation.
std::vector<int32_t> shortest(unsigned seed) {
  std::vector<int32_t> rr = irregular(61000, seed);
  rr.push_back(63500 - VLHrv::sum(rr.data(), static_cast<int32_t>(rr.size())));
  return {rr.begin(), rr.end()};
}

double calculate(VLHrv& hrv, const std::vector<int32_t>& rr) {
  return hrv.calculateEnergyLevel(rr.data(), static_cast<int32_t>(rr.size()));
}

// LF and HF as the method defines them, computed without the library: beat
// times; the 2 Hz grid interpolated between beats in single precision (the
// method's own arithmetic) and truncated; the integer mean removed; the
// periodic Hann window 0.5 (1 - cos(2 pi i / N)); a plain DFT in double
// precision; amplitudes 2 |X[k]| / N summed over the method's bin table.
struct Bands {
  double lf = 0, hf = 0;
};
Bands referenceBands(const std::vector<int32_t>& rr, int n) {
  const struct {
    int n, lfFrom, lfTo, hfFrom, hfTo;
  } bins[] = {{128, 3, 9, 10, 25}, {256, 6, 19, 20, 51}, {512, 11, 38, 39, 102}, {1024, 21, 76, 77, 204}};
  std::vector<int64_t> beat(rr.size(), 0);
  for (size_t i = 1; i < rr.size(); ++i) beat[i] = beat[i - 1] + rr[i];
  std::vector<double> y(static_cast<size_t>(n));
  y[0] = rr[0];
  size_t k = 0;
  for (size_t i = 1; i < y.size(); ++i) {
    const int64_t g = 500 * static_cast<int64_t>(i);
    while (beat[k + 1] <= g) ++k;
    const float slope = static_cast<float>(rr[k + 1] - rr[k]) / static_cast<float>(rr[k + 1]);
    y[i] = std::trunc(static_cast<float>(g - beat[k]) * slope + static_cast<float>(rr[k]));
  }
  double total = 0;
  for (double v : y) total += v;
  const double mean = std::trunc(total / n);
  Bands b;
  for (const auto& edge : bins) {
    if (edge.n != n) continue;
    for (int bin = edge.lfFrom; bin <= edge.hfTo; ++bin) {
      std::complex<double> x;
      for (int j = 0; j < n; ++j) {
        const double w = 0.5 * (1 - std::cos(2 * std::numbers::pi * j / n));
        x += w * (y[static_cast<size_t>(j)] - mean) * std::polar(1.0, -2 * std::numbers::pi * ((j * bin) % n) / n);
      }
      (bin <= edge.lfTo ? b.lf : b.hf) += 2 * std::abs(x) / n;
    }
  }
  return b;
}

TEST(HrvEnergy, BandSumsMatchTheMethodForEachFftLength) {
  // The library's single-precision window and FFT agree with these
  // double-precision sums to about 1e-7; a symmetric window (2 pi i / (N -
  // 1)) moves a sum by 4e-4 or more, a band edge moved past one bin by 1 %
  // or more.
  const std::pair<int64_t, int> lists[] = {{100000, 128}, {200000, 256}, {400000, 512}, {700000, 1024}};
  for (auto [total, n] : lists) {
    SCOPED_TRACE(n);
    LogCapture log;
    VLHrv hrv;
    const std::vector<int32_t> rr = irregular(total, static_cast<unsigned>(n));
    ASSERT_GE(calculate(hrv, rr), 1.0);
    ASSERT_TRUE(log.contains(numSamples(n)));
    const Bands expected = referenceBands(rr, n);
    const Dictionary r = hrv.result();
    EXPECT_NEAR(r.at("LF").asDouble(), expected.lf, 1e-5 * expected.lf);
    EXPECT_NEAR(r.at("HF").asDouble(), expected.hf, 1e-5 * expected.hf);
    EXPECT_DOUBLE_EQ(r.at("LF/HF").asDouble(), r.at("LF").asDouble() / r.at("HF").asDouble());
    EXPECT_EQ(r.at("energy"), Value(VLHrv::energyLevelForRatio(r.at("LF/HF").asDouble())));
  }
}

TEST(HrvEnergy, TheFftLengthFollowsTheTotalAndEqualIntervalsGiveNoSpectrum) {
  const std::pair<int32_t, int> cases[] = {{63500, 128},  {64000, 128},  {128000, 128},  {128001, 256}, {256000, 256},
                                           {256001, 512}, {512000, 512}, {512001, 1024}, {900000, 1024}};
  for (auto [total, n] : cases) {
    LogCapture log;
    VLHrv hrv;
    EXPECT_GE(calculate(hrv, listWithTotal(total)), 1.0) << total;
    EXPECT_EQ(log.lines(), std::vector<std::string>{numSamples(n)}) << total;
  }
  LogCapture quiet;
  VLHrv hrv;
  EXPECT_EQ(calculate(hrv, std::vector<int32_t>(300, 857)), 1.0);
  const Dictionary r = hrv.result();
  EXPECT_EQ(std::tie(r.at("LF"), r.at("HF"), r.at("energy")), std::make_tuple(Value(0.0), Value(0.0), Value(1)));
  EXPECT_TRUE(std::isnan(r.at("LF/HF").asDouble()));
  EXPECT_EQ(hrv.energyLevel(), 1);
  const std::pair<double, int32_t> levels[] = {{0, 94},  {0.5, 87},   {1, 79},       {2, 65},   {3, 50},
                                               {4, 35},  {5, 21},     {6, 6},        {6.29, 2}, {6.3, 1},
                                               {8.5, 1}, {-100, 100}, {INFINITY, 1}, {NAN, 1}};
  for (auto [ratio, level] : levels) EXPECT_EQ(VLHrv::energyLevelForRatio(ratio), level) << ratio;
}

TEST(HrvEnergy, RefusedListsWriteNothing) {
  LogCapture log;
  VLHrv hrv;
  ASSERT_GE(calculate(hrv, std::vector<int32_t>(65, 1000)), 1.0);  // entry 0 carries no time: 64,000 ms
  ASSERT_GE(calculate(hrv, irregular(64000, 5)), 1.0);
  const Dictionary before = hrv.result();
  std::vector<int32_t> zeroAt40(100, 1000), negativeFirst(100, 1000);
  zeroAt40[40] = 0;
  negativeFirst[0] = -7;
  const std::string positive = " is not positive; the calculation needs positive intervals.";
  const struct {
    std::vector<int32_t> rr;
    int32_t length;
    std::string line;
  } refused[] = {{std::vector<int32_t>(64, 1000), 64, tooShort(63000)},
                 {listWithTotal(63499), 65, tooShort(63499)},
                 {{1000}, 1, tooShort(0)},
                 {{}, 100, tooShort(0)},  // a null list
                 {std::vector<int32_t>(100, 1000), -5, tooShort(0)},
                 {zeroAt40, 100, "RR interval 0 at index 40" + positive},
                 {negativeFirst, 100, "RR interval -7 at index 0" + positive}};
  for (const auto& c : refused) {
    log.clear();
    EXPECT_EQ(hrv.calculateEnergyLevel(c.rr.empty() ? nullptr : c.rr.data(), c.length), -1.0) << c.line;
    EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
  }
  EXPECT_EQ(hrv.result(), before);
  EXPECT_EQ(Value(hrv.energyLevel()), before.at("energy"));
}

TEST(HrvEnergy, EdgeListsAndSums) {
  LogCapture log;
  // A total of exactly 63,500 ms puts the last grid time on the last beat;
  // the value there is the last interval itself, as if a later beat existed.
  const std::vector<int32_t> rr = shortest(3);
  std::vector<int32_t> longer = rr;
  longer.push_back(1234);
  VLHrv a, b;
  EXPECT_EQ(calculate(a, rr), calculate(b, longer));
  EXPECT_EQ(a.result(), b.result());
  EXPECT_EQ(log.count(numSamples(128)), 2u);
  // Beat times beyond 32 bits, and values at the float-to-int edge.
  EXPECT_EQ(calculate(a, {kMax, kMax, 1000, kMax}), 1.0);
  EXPECT_TRUE(log.contains(numSamples(1024)));
  EXPECT_GE(calculate(a, {1, 1, kMax, 1, kMax}), 1.0);
  // Sums skip the first entry and wrap at 32 bits.
  const int32_t list[] = {5, 700, 800, 900}, wide[] = {0, kMax, 1};
  EXPECT_EQ((std::vector<int32_t>{VLHrv::sum(list, 4), VLHrv::sum(list + 1, 3), VLHrv::sum(list, 1),
                                  VLHrv::sum(list, -3), VLHrv::sum(nullptr, 4), VLHrv::sum(wide, 3)}),
            (std::vector<int32_t>{2400, 1700, 0, 0, 0, INT32_MIN}));
  EXPECT_EQ((std::vector<int32_t>{VLHrv::sum(std::vector<Value>{700, 800, 900}), VLHrv::sum(std::vector<Value>{700}),
                                  VLHrv::sum(std::vector<Value>{0, 800.9, -1.9, NAN, Value(Value::Array{5})}),
                                  VLHrv::sum(std::vector<Value>{0, kMax, 1})}),
            (std::vector<int32_t>{1700, 0, 799, INT32_MIN}));
}

// Records deliveries; while `hold` is set it keeps the calculation thread
// inside calculationDone().
struct Collector : VLHRVDelegate {
  void rrDetected(int32_t) override { ++rr; }
  void calculationDone(const Dictionary& result) override {
    std::unique_lock<std::mutex> g(m);
    results.push_back(result);
    cv.notify_all();
    cv.wait(g, [&] { return !hold; });
  }
  std::vector<Dictionary> delivered() {
    std::lock_guard<std::mutex> g(m);
    return results;
  }
  std::atomic<int> rr{0};
  std::mutex m;
  std::condition_variable cv;
  std::vector<Dictionary> results;
  bool hold = false;
};

int32_t start(VLHrv& hrv, const std::vector<int32_t>& rr) {
  return hrv.startCalculation(rr.data(), static_cast<int32_t>(rr.size()));
}

// While another thread feeds the detector under the data lock, as the
// decoder does: one calculation at a time, each on its own copy of the list,
// delivered once; a refused list delivers an empty map.
TEST(HrvEnergy, CalculationsRunOneAtATimeBesideTheDetector) {
  LogCapture log;
  VLHrv hrv;
  auto collector = std::make_shared<Collector>();
  hrv.setDelegate(collector);
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    for (int t = 0; !stop; ++t) {
      std::lock_guard<SwappableMutex> g(lock);
      hrv.addData(t % 400 < 200 ? -4000 + t % 400 * 20 : 0);  // a falling edge every 400 samples
    }
  });
  collector->hold = true;
  std::vector<int32_t> rr = shortest(1);  // each entry counts
  const std::vector<int32_t> original = rr;
  ASSERT_EQ(start(hrv, rr), 0);
  rr.assign(rr.size(), 0);
  {
    std::unique_lock<std::mutex> g(collector->m);
    ASSERT_TRUE(collector->cv.wait_for(g, kPatience, [&] { return !collector->results.empty(); }));
    EXPECT_TRUE(hrv.isCalculating());
    EXPECT_EQ(start(hrv, original), -1);
    collector->hold = false;
    collector->cv.notify_all();
  }
  EXPECT_EQ(log.count(kBusy), 1u);
  ASSERT_TRUE(waitUntil([&] { return !hrv.isCalculating(); }, kPatience));
  VLHrv direct;
  calculate(direct, original);
  EXPECT_EQ(collector->delivered(), std::vector<Dictionary>{direct.result()}) << "the first list's own result";
  EXPECT_TRUE(hrv.result().empty());

  // Two host threads race to start, five times; then a short and a null list.
  std::atomic<int> accepted{0};
  for (int round = 0; round < 5; ++round) {
    std::thread a([&] { accepted += start(hrv, original) == 0; });
    accepted += start(hrv, original) == 0;
    a.join();
    ASSERT_TRUE(waitUntil([&] { return !hrv.isCalculating(); }, kPatience));
  }
  const std::vector<int32_t> shortList(64, 1000);
  for (const int32_t* list : {shortList.data(), static_cast<const int32_t*>(nullptr)}) {
    ASSERT_EQ(hrv.startCalculation(list, 64), 0);
    ASSERT_TRUE(waitUntil([&] { return !hrv.isCalculating(); }, kPatience));
  }
  ASSERT_TRUE(waitUntil([&] { return collector->rr > 0; }, kPatience));
  stop = true;
  feeder.join();
  const auto results = collector->delivered();
  EXPECT_GE(accepted, 5);
  EXPECT_EQ(log.count(kBusy), 1u + 10 - static_cast<size_t>(accepted));
  ASSERT_EQ(results.size(), static_cast<size_t>(1 + accepted + 2));
  for (size_t i = 1; i < results.size(); ++i) EXPECT_EQ(results[i], i + 2 < results.size() ? results[0] : Dictionary{});
  EXPECT_EQ(log.count(kDone), results.size());
}

TEST(HrvEnergy, TheAnalyserMayBeDestroyedDuringACalculationOrFromItsDelivery) {
  LogCapture log;
  const std::vector<int32_t> rr = irregular(600000, 4);
  auto collector = std::make_shared<Collector>();
  {
    VLHrv hrv;
    hrv.setDelegate(collector);
    ASSERT_EQ(start(hrv, rr), 0);
  }  // waits for the delivery
  ASSERT_EQ(collector->delivered().size(), 1u);
  EXPECT_EQ(collector->delivered()[0].size(), 4u);
  // The delegate drops the last reference from calculationDone(), on the
  // calculation thread itself.
  struct Owner : VLHRVDelegate {
    void rrDetected(int32_t) override {}
    void calculationDone(const Dictionary& result) override {
      delivered = result.size();
      hrv.reset();
    }
    std::shared_ptr<VLHrv> hrv = std::make_shared<VLHrv>();
    std::atomic<size_t> delivered{0};
  };
  auto owner = std::make_shared<Owner>();
  std::weak_ptr<VLHrv> watch = owner->hrv;
  owner->hrv->setDelegate(owner);
  log.clear();
  ASSERT_EQ(start(*owner->hrv, rr), 0);
  ASSERT_TRUE(waitUntil([&] { return log.contains(kDone); }, kPatience));
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(owner->delivered, 4u);
}

}  // namespace
}  // namespace velmora
