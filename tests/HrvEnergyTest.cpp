#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
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

std::string numSamples(int n) { return "numSamples for Energy Calculation is " + std::to_string(n); }
std::string tooShort(int total) { return "Need 64 seconds of data. Total ms = " + std::to_string(total); }

// Entry 0 (no time) and then intervals of 1000 ms up to `totalMs`.
std::vector<int32_t> listWithTotal(int32_t totalMs) {
  std::vector<int32_t> rr(1, 1000);
  rr.insert(rr.end(), static_cast<size_t>(totalMs / 1000), 1000);
  if (totalMs % 1000) rr.push_back(totalMs % 1000);
  return rr;
}

// RR intervals whose tachogram follows base + amplitude sin(2 pi f t), t the
// beat time, for at least `totalMs`.
std::vector<int32_t> modulated(double base, double amplitude, double hz, int64_t totalMs) {
  std::vector<int32_t> rr(1, static_cast<int32_t>(base));
  int64_t beat = 0;
  while (beat < totalMs) {
    double r = base;
    for (int i = 0; i < 20; ++i) r = base + amplitude * std::sin(2 * std::numbers::pi * hz * (beat + r) / 1000.0);
    rr.push_back(static_cast<int32_t>(std::lround(r)));
    beat += rr.back();
  }
  return rr;
}

double calculate(VLHrv& hrv, const std::vector<int32_t>& rr) {
  return hrv.calculateEnergyLevel(rr.data(), static_cast<int32_t>(rr.size()));
}

// Records deliveries; optionally holds the calculation thread inside
// calculationDone() until released.
struct Collector : VLHRVDelegate {
  void rrDetected(int32_t) override { rr.fetch_add(1); }
  void calculationDone(const Dictionary& result) override {
    std::unique_lock<std::mutex> g(m);
    results.push_back(result);
    entered = true;
    cv.notify_all();
    cv.wait(g, [&] { return !hold; });
  }
  void release() {
    std::lock_guard<std::mutex> g(m);
    hold = false;
    cv.notify_all();
  }
  size_t count() {
    std::lock_guard<std::mutex> g(m);
    return results.size();
  }
  Dictionary at(size_t i) {
    std::lock_guard<std::mutex> g(m);
    return results.at(i);
  }

  std::atomic<int> rr{0};
  std::mutex m;
  std::condition_variable cv;
  std::vector<Dictionary> results;
  bool hold = false;
  bool entered = false;
};

TEST(HrvEnergy, FftLengthFollowsTheTotal) {
  const std::pair<int32_t, int> cases[] = {{63500, 128},  {64000, 128},  {128000, 128}, {128001, 256}, {256000, 256},
                                           {256001, 512}, {512000, 512}, {512001, 1024}, {900000, 1024}};
  for (auto [total, n] : cases) {
    SCOPED_TRACE(total);
    LogCapture log;
    VLHrv hrv;
    std::vector<int32_t> rr = listWithTotal(total);
    EXPECT_EQ(VLHrv::sum(rr.data(), static_cast<int32_t>(rr.size())), total);
    EXPECT_GE(calculate(hrv, rr), 1.0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{numSamples(n)});
  }
}

TEST(HrvEnergy, ListsShorterThan63500MsAreRefused) {
  LogCapture log;
  VLHrv hrv;
  std::vector<int32_t> good(65, 1000);  // entry 0 carries no time: 64,000 ms
  EXPECT_EQ(calculate(hrv, good), 1.0);
  EXPECT_TRUE(log.contains(numSamples(128)));
  EXPECT_EQ(hrv.energyLevel(), 1);
  Dictionary before = hrv.result();

  log.clear();
  const std::vector<int32_t> refused[] = {std::vector<int32_t>(64, 1000), listWithTotal(63499), {1000}, {}};
  const int totals[] = {63000, 63499, 0, 0};
  for (size_t i = 0; i < std::size(refused); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calculate(hrv, refused[i]), -1.0);
    EXPECT_EQ(log.lines().back(), tooShort(totals[i]));
  }
  EXPECT_EQ(hrv.energyLevel(), 1);
  EXPECT_EQ(hrv.result().size(), before.size());
  EXPECT_EQ(hrv.result().at("energy"), before.at("energy"));
}

TEST(HrvEnergy, EqualIntervalsGiveNoSpectrum) {
  VLHrv hrv;
  LogCapture log;
  EXPECT_EQ(calculate(hrv, std::vector<int32_t>(300, 857)), 1.0);
  Dictionary r = hrv.result();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r.at("LF").asDouble(), 0.0);
  EXPECT_EQ(r.at("HF").asDouble(), 0.0);
  EXPECT_TRUE(std::isnan(r.at("LF/HF").asDouble()));
  EXPECT_TRUE(r.at("energy").isInt());
  EXPECT_EQ(r.at("energy").asInt(), 1);
  EXPECT_EQ(hrv.energyLevel(), 1);
}

TEST(HrvEnergy, EnergyLevelFallsAsTheRatioRises) {
  const std::pair<double, int32_t> table[] = {{0, 94},   {0.5, 87}, {1, 79},    {2, 65},  {3, 50},
                                              {4, 35},   {5, 21},   {6, 6},     {6.29, 2}, {6.3, 1},
                                              {8.5, 1},  {-100, 100}};
  for (auto [ratio, level] : table) EXPECT_EQ(VLHrv::energyLevelForRatio(ratio), level) << ratio;
  EXPECT_EQ(VLHrv::energyLevelForRatio(std::numeric_limits<double>::infinity()), 1);
  EXPECT_EQ(VLHrv::energyLevelForRatio(std::numeric_limits<double>::quiet_NaN()), 1);
}

TEST(HrvEnergy, ModulationAtTenthOfAHertzIsLowFrequency) {
  const double amplitude = 50;
  VLHrv hrv;
  LogCapture log;
  // About 300 s: N = 512, so bins are 1/256 Hz apart.
  EXPECT_EQ(calculate(hrv, modulated(1000, amplitude, 0.1, 300000)), 1.0);
  EXPECT_TRUE(log.contains(numSamples(512)));
  Dictionary lf = hrv.result();
  // A tone of amplitude A spreads over its Hann main lobe with amplitudes
  // that add up to about A.
  EXPECT_NEAR(lf.at("LF").asDouble(), amplitude, 0.15 * amplitude);
  EXPECT_LT(lf.at("HF").asDouble(), 0.1 * amplitude);
  EXPECT_GT(lf.at("LF/HF").asDouble(), 5);

  EXPECT_GE(calculate(hrv, modulated(1000, amplitude, 0.25, 300000)), 91.0);
  Dictionary hf = hrv.result();
  EXPECT_NEAR(hf.at("HF").asDouble(), amplitude, 0.25 * amplitude);
  EXPECT_LT(hf.at("LF").asDouble(), 0.1 * amplitude);
  EXPECT_LT(hf.at("LF/HF").asDouble(), 0.2);
  EXPECT_EQ(hf.at("energy").asInt(), hrv.energyLevel());
}

// At N = 128 the bins are 1/64 Hz apart: LF is bins 3..9 and HF 10..25.  A
// tone centred on bin k puts A/2 in bin k and A/4 in each neighbour.
TEST(HrvEnergy, BandEdgesFallBetweenTheirBins) {
  struct Case {
    int bin;
    double lf;  // expected share of the amplitude
    double hf;
  };
  const Case cases[] = {{2, 0.25, 0}, {3, 0.75, 0}, {9, 0.75, 0.25}, {10, 0.25, 0.75}, {25, 0, 0.75}, {26, 0, 0.25}};
  const double amplitude = 40;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bin);
    VLHrv hrv;
    LogCapture log;
    ASSERT_GE(calculate(hrv, modulated(500, amplitude, c.bin / 64.0, 64000)), 1.0);
    ASSERT_TRUE(log.contains(numSamples(128)));
    Dictionary r = hrv.result();
    EXPECT_NEAR(r.at("LF").asDouble(), c.lf * amplitude, 0.06 * amplitude);
    EXPECT_NEAR(r.at("HF").asDouble(), c.hf * amplitude, 0.06 * amplitude);
  }
}

// With a total of exactly 63,500 ms the last grid time is the last beat; the
// value there is the last interval itself, as if a later beat existed.
TEST(HrvEnergy, TheLastGridPointMayFallOnTheLastBeat) {
  std::vector<int32_t> rr(1, 1000);
  for (int i = 0; i < 30; ++i) {
    rr.push_back(900);
    rr.push_back(1100);
  }
  rr.push_back(500);
  rr.push_back(1000);
  rr.push_back(2000);
  ASSERT_EQ(VLHrv::sum(rr.data(), static_cast<int32_t>(rr.size())), 63500);
  std::vector<int32_t> longer = rr;
  longer.push_back(1234);

  VLHrv a;
  VLHrv b;
  LogCapture log;
  EXPECT_EQ(calculate(a, rr), calculate(b, longer));
  EXPECT_EQ(log.count(numSamples(128)), 2u);
  EXPECT_EQ(a.result(), b.result());
  EXPECT_TRUE(std::isfinite(a.result().at("LF/HF").asDouble()));
}

TEST(HrvEnergy, InvalidListsAreRefused) {
  LogCapture log;
  VLHrv hrv;
  std::vector<int32_t> rr(100, 1000);
  EXPECT_EQ(hrv.calculateEnergyLevel(nullptr, 100), -1.0);
  EXPECT_EQ(log.lines().back(), tooShort(0));
  EXPECT_EQ(hrv.calculateEnergyLevel(rr.data(), -5), -1.0);
  EXPECT_EQ(log.lines().back(), tooShort(0));

  rr[40] = 0;
  EXPECT_EQ(calculate(hrv, rr), -1.0);
  EXPECT_EQ(log.lines().back(), "RR interval 0 at index 40 is not positive; the calculation needs positive intervals.");
  rr[40] = 1000;
  rr[0] = -7;
  EXPECT_EQ(calculate(hrv, rr), -1.0);
  EXPECT_EQ(log.lines().back(), "RR interval -7 at index 0 is not positive; the calculation needs positive intervals.");
  EXPECT_TRUE(hrv.result().empty());
  EXPECT_FALSE(log.contains(numSamples(128)));
}

TEST(HrvEnergy, ExtremeIntervalsStayDefined) {
  // Beat times beyond 32 bits and values at the float-to-int edge.
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  VLHrv hrv;
  LogCapture log;
  EXPECT_EQ(calculate(hrv, {kMax, kMax, 1000, kMax}), 1.0);
  EXPECT_TRUE(log.contains(numSamples(1024)));
  EXPECT_GE(calculate(hrv, {1, 1, kMax, 1, kMax}), 1.0);
}

TEST(HrvEnergy, SumsWrapAndSkipTheFirstEntry) {
  const int32_t list[] = {5, 700, 800, 900};
  EXPECT_EQ(VLHrv::sum(list, 4), 2400);
  EXPECT_EQ(VLHrv::sum(list + 1, 3), 1700);
  EXPECT_EQ(VLHrv::sum(list, 1), 0);
  EXPECT_EQ(VLHrv::sum(list, 0), 0);
  EXPECT_EQ(VLHrv::sum(list, -3), 0);
  EXPECT_EQ(VLHrv::sum(nullptr, 4), 0);
  const int32_t wide[] = {0, std::numeric_limits<int32_t>::max(), 1};
  EXPECT_EQ(VLHrv::sum(wide, 3), std::numeric_limits<int32_t>::min());

  EXPECT_EQ(VLHrv::sum(std::vector<Value>{700, 800, 900}), 1700);
  EXPECT_EQ(VLHrv::sum(std::vector<Value>{700}), 0);
  EXPECT_EQ(VLHrv::sum(std::vector<Value>{}), 0);
  EXPECT_EQ(VLHrv::sum(std::vector<Value>{0, 800.9, -1.9, std::numeric_limits<double>::quiet_NaN(),
                                          Value(Value::Array{5})}),
            799);
  EXPECT_EQ(VLHrv::sum(std::vector<Value>{0, std::numeric_limits<int32_t>::max(), 1}),
            std::numeric_limits<int32_t>::min());
}

TEST(HrvEnergy, StartedCalculationDeliversACopyAndEmptiesTheResult) {
  LogCapture log;
  VLHrv hrv;
  auto collector = std::make_shared<Collector>();
  hrv.setDelegate(collector);
  std::vector<int32_t> rr = modulated(1000, 50, 0.1, 100000);
  ASSERT_EQ(hrv.startCalculation(rr.data(), static_cast<int32_t>(rr.size())), 0);
  rr.assign(rr.size(), 0);  // the analyser calculates on its own copy
  ASSERT_TRUE(waitUntil([&] { return log.contains(kDone); }));
  ASSERT_TRUE(waitUntil([&] { return !hrv.isCalculating(); }));
  ASSERT_EQ(collector->count(), 1u);
  Dictionary first = collector->at(0);
  EXPECT_EQ(first.size(), 4u);
  EXPECT_GT(first.at("LF").asDouble(), first.at("HF").asDouble());
  EXPECT_TRUE(hrv.result().empty());

  // A refused list that follows delivers an empty map, not the old numbers.
  std::vector<int32_t> shortList(64, 1000);
  log.clear();
  ASSERT_EQ(hrv.startCalculation(shortList.data(), static_cast<int32_t>(shortList.size())), 0);
  ASSERT_TRUE(waitUntil([&] { return log.contains(kDone); }));
  ASSERT_EQ(collector->count(), 2u);
  EXPECT_TRUE(collector->at(1).empty());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{tooShort(63000), kDone}));

  // A null list is taken as empty.
  log.clear();
  ASSERT_TRUE(waitUntil([&] { return !hrv.isCalculating(); }));
  ASSERT_EQ(hrv.startCalculation(nullptr, 10), 0);
  ASSERT_TRUE(waitUntil([&] { return log.contains(kDone); }));
  EXPECT_TRUE(log.contains(tooShort(0)));
}

TEST(HrvEnergy, ASecondRequestWhileOneRunsIsRefused) {
  LogCapture log;
  VLHrv hrv;
  auto collector = std::make_shared<Collector>();
  collector->hold = true;
  hrv.setDelegate(collector);
  std::vector<int32_t> first = modulated(1000, 50, 0.1, 100000);
  std::vector<int32_t> second(300, 800);
  ASSERT_EQ(hrv.startCalculation(first.data(), static_cast<int32_t>(first.size())), 0);
  {
    std::unique_lock<std::mutex> g(collector->m);
    ASSERT_TRUE(collector->cv.wait_for(g, std::chrono::seconds(10), [&] { return collector->entered; }));
  }
  EXPECT_TRUE(hrv.isCalculating());
  EXPECT_EQ(hrv.startCalculation(second.data(), static_cast<int32_t>(second.size())), -1);
  EXPECT_EQ(log.count(kBusy), 1u);
  collector->release();
  ASSERT_TRUE(waitUntil([&] { return !hrv.isCalculating(); }));

  // The first calculation delivered its own result.
  ASSERT_EQ(collector->count(), 1u);
  Dictionary r = collector->at(0);
  EXPECT_GT(r.at("LF/HF").asDouble(), 1.0);
  EXPECT_EQ(log.count(numSamples(128)), 1u);

  // And the analyser accepts again.
  ASSERT_EQ(hrv.startCalculation(second.data(), static_cast<int32_t>(second.size())), 0);
  ASSERT_TRUE(waitUntil([&] { return collector->count() == 2; }));
  EXPECT_TRUE(std::isnan(collector->at(1).at("LF/HF").asDouble()));
}

// Calculations run while another thread feeds the detector under the data
// lock, as the decoder does; two host threads race to start calculations.
TEST(HrvEnergy, CalculationsRunBesideTheDetector) {
  LogCapture log;
  auto hrv = std::make_shared<VLHrv>();
  auto collector = std::make_shared<Collector>();
  hrv->setDelegate(collector);

  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    int t = 0;
    while (!stop.load()) {
      // A falling edge every 400 samples, recovering over 200.
      int phase = t % 400;
      int32_t x = phase < 200 ? -4000 + phase * 20 : 0;
      std::lock_guard<SwappableMutex> g(lock);
      hrv->addData(x);
      ++t;
    }
  });

  std::vector<int32_t> rr = modulated(800, 40, 0.25, 150000);
  std::atomic<int> accepted{0};
  for (int round = 0; round < 5; ++round) {
    auto start = [&] {
      if (hrv->startCalculation(rr.data(), static_cast<int32_t>(rr.size())) == 0) accepted.fetch_add(1);
    };
    std::thread a(start);
    std::thread b(start);
    a.join();
    b.join();
    ASSERT_TRUE(waitUntil([&] { return !hrv->isCalculating(); }, std::chrono::seconds(20)));
  }
  ASSERT_TRUE(waitUntil([&] { return collector->rr.load() > 0; }, std::chrono::seconds(20)));
  stop = true;
  feeder.join();

  EXPECT_GE(accepted.load(), 5);
  EXPECT_EQ(collector->count(), static_cast<size_t>(accepted.load()));
  EXPECT_EQ(log.count(kDone), static_cast<size_t>(accepted.load()));
  EXPECT_EQ(log.count(kBusy), static_cast<size_t>(10 - accepted.load()));
  for (size_t i = 0; i < collector->count(); ++i) EXPECT_EQ(collector->at(i), collector->at(0));
}

TEST(HrvEnergy, DestroyingTheAnalyserWaitsForItsCalculation) {
  LogCapture log;
  auto collector = std::make_shared<Collector>();
  std::vector<int32_t> rr = modulated(1000, 50, 0.1, 600000);
  {
    VLHrv hrv;
    hrv.setDelegate(collector);
    ASSERT_EQ(hrv.startCalculation(rr.data(), static_cast<int32_t>(rr.size())), 0);
  }
  EXPECT_EQ(collector->count(), 1u);
  EXPECT_EQ(collector->at(0).size(), 4u);
  EXPECT_TRUE(log.contains(kDone));
}

// The delegate drops the last reference to the analyser from
// calculationDone(), on the calculation thread itself.
TEST(HrvEnergy, TheDelegateMayDestroyTheAnalyserFromCalculationDone) {
  struct Owner : VLHRVDelegate {
    void rrDetected(int32_t) override {}
    void calculationDone(const Dictionary& result) override {
      delivered = result.size();
      hrv.reset();
    }
    std::shared_ptr<VLHrv> hrv;
    std::atomic<size_t> delivered{0};
  };
  LogCapture log;
  auto owner = std::make_shared<Owner>();
  owner->hrv = std::make_shared<VLHrv>();
  std::weak_ptr<VLHrv> watch = owner->hrv;
  owner->hrv->setDelegate(owner);
  std::vector<int32_t> rr = modulated(1000, 50, 0.1, 100000);
  ASSERT_EQ(owner->hrv->startCalculation(rr.data(), static_cast<int32_t>(rr.size())), 0);
  ASSERT_TRUE(waitUntil([&] { return log.contains(kDone); }));
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(owner->delivered.load(), 4u);
}

}  // namespace
}  // namespace velmora
