#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "VLHrv.h"
#include "support/LogCapture.h"

namespace velmora {
namespace {

// An ECG-like test signal: at each beat the signal drops by `amplitude` in
// one sample and then climbs back linearly over 200 samples.  The
// difference signal then shows `amplitude` at the beat sample, stays above
// 55 % of it for the next 14 samples and falls to -15 x slope after that,
// which re-arms the detector.  Overlapping beats add up.
std::vector<int32_t> teeth(const std::vector<int>& beats, int length, int32_t amplitude = 4000) {
  constexpr int kRamp = 200;
  std::vector<int32_t> x(static_cast<size_t>(length), 0);
  for (int t0 : beats) {
    for (int k = 0; k < kRamp && t0 + k < length; ++k) {
      x[static_cast<size_t>(t0 + k)] += -amplitude + k * amplitude / kRamp;
    }
  }
  return x;
}

// Beats every `period` samples from `first` on, `count` of them.
std::vector<int> every(int period, int count, int first = 100) {
  std::vector<int> beats;
  for (int i = 0; i < count; ++i) beats.push_back(first + i * period);
  return beats;
}

struct Recorder : VLHRVDelegate {
  std::vector<int32_t> intervals;
  void rrDetected(int32_t ms) override { intervals.push_back(ms); }
  void calculationDone(const Dictionary&) override {}
};

// (sample index, result) for every call that did not answer -2.
using Reports = std::vector<std::pair<int, int32_t>>;
Reports feed(VLHrv& hrv, const std::vector<int32_t>& samples) {
  Reports reports;
  for (size_t i = 0; i < samples.size(); ++i) {
    int32_t r = hrv.addData(samples[i]);
    if (r != -2) reports.emplace_back(static_cast<int>(i), r);
  }
  return reports;
}

std::vector<int32_t> values(const Reports& reports) {
  std::vector<int32_t> v;
  for (auto& r : reports) v.push_back(r.second);
  return v;
}

TEST(HrvDetection, IntervalsAreConvertedToRoundedMilliseconds) {
  // The first tooth only arms the detector, the second is a too-early event
  // that starts the count, the third is the withheld first beat; the fourth
  // and later are reported.
  const std::pair<int, int32_t> cases[] = {{153, 299}, {154, 301}, {512, 1000}, {1500, 2930}, {1501, 2932}};
  for (auto [period, ms] : cases) {
    SCOPED_TRACE(period);
    VLHrv hrv;
    auto recorder = std::make_shared<Recorder>();
    hrv.setDelegate(recorder);
    Reports reports = feed(hrv, teeth(every(period, 6), 100 + 6 * period));
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].first, 100 + 3 * period);
    EXPECT_EQ(values(reports), (std::vector<int32_t>{ms, ms, ms}));
    EXPECT_EQ(recorder->intervals, values(reports));  // the delegate sees what is returned
    EXPECT_EQ(hrv.detectorState().HB0, period);
    // 1501 samples and more resynchronise at every beat.
    EXPECT_EQ(hrv.detectorState().nbeats, period >= 1501 ? 0 : 4);
  }
}

TEST(HrvDetection, TheFirstBeatAfterResetIsWithheld) {
  VLHrv hrv;
  auto recorder = std::make_shared<Recorder>();
  hrv.setDelegate(recorder);
  std::vector<int32_t> signal = teeth(every(512, 3), 100 + 3 * 512);
  Reports reports = feed(hrv, signal);
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(recorder->intervals.empty());
  EXPECT_EQ(hrv.detectorState().HB0, 512);
  EXPECT_EQ(hrv.detectorState().nbeats, 1);

  // After reset the next first beat is withheld again.
  hrv.reset();
  EXPECT_TRUE(feed(hrv, signal).empty());
  EXPECT_EQ(hrv.detectorState().HB0, 512);
  EXPECT_EQ(values(feed(hrv, teeth(every(512, 2, 0), 2 * 512))).size(), 2u);
}

TEST(HrvDetection, TooEarlyEventsRestartTheCountOnlyBeforeTwoBeats) {
  // Beats at 512-sample spacing; an extra event 100 samples after the
  // withheld first beat restarts the count, so the next interval is 412.
  std::vector<int> beats = every(512, 4);
  beats.push_back(100 + 2 * 512 + 100);
  VLHrv early;
  EXPECT_EQ(values(feed(early, teeth(beats, 100 + 4 * 512))), (std::vector<int32_t>{805}));  // 412 samples

  // With two beats counted the count keeps running from the last beat.
  beats = every(512, 5);
  beats.push_back(100 + 3 * 512 + 100);
  VLHrv later;
  Reports reports = feed(later, teeth(beats, 100 + 5 * 512));
  EXPECT_EQ(values(reports), (std::vector<int32_t>{1000, 1000}));
  EXPECT_EQ(later.detectorState().nbeats, 3);
}

TEST(HrvDetection, ALongIntervalResynchronises) {
  // Nine teeth at 512: seven beats counted, ibi = 512, realibi = 384.
  std::vector<int> beats = every(512, 9);
  VLHrv hrv;
  feed(hrv, teeth(beats, 100 + 9 * 512));
  EXPECT_EQ(hrv.detectorState().nbeats, 7);
  EXPECT_EQ(hrv.detectorState().ibi, 512);
  EXPECT_EQ(hrv.detectorState().realibi, 384);

  // 200 samples later is too soon for realibi 384 ...
  VLHrv tooSoon;
  std::vector<int> withShort = beats;
  withShort.push_back(beats.back() + 200);
  Reports r1 = feed(tooSoon, teeth(withShort, beats.back() + 400));
  EXPECT_EQ(values(r1).size(), 6u);

  // ... but after a 1600-sample interval, which is still reported, the
  // refractory distance is 153 again and 200 samples make a beat.
  std::vector<int> withGap = beats;
  withGap.push_back(beats.back() + 1600);
  withGap.push_back(beats.back() + 1800);
  VLHrv resync;
  Reports r2 = feed(resync, teeth(withGap, beats.back() + 2000));
  std::vector<int32_t> v = values(r2);
  ASSERT_EQ(v.size(), 8u);
  EXPECT_EQ(v[6], 3125);  // 1600 samples
  EXPECT_EQ(v[7], 391);   // 200 samples
  EXPECT_EQ(resync.detectorState().nbeats, 1);
  EXPECT_EQ(resync.detectorState().ibi, 0);
  EXPECT_EQ(resync.detectorState().realibi, 153);
}

TEST(HrvDetection, AnIntervalOf301To399SamplesSetsTheRefractoryDistanceEarly) {
  // At the third beat ibi = 350, so realibi = 262 before seven beats.
  std::vector<int> beats = every(350, 5);
  VLHrv hrv;
  feed(hrv, teeth(beats, 100 + 5 * 350));
  ASSERT_EQ(hrv.detectorState().nbeats, 3);
  EXPECT_EQ(hrv.detectorState().realibi, 262);
  // An event 200 samples after the last beat is now too soon.
  beats.push_back(beats.back() + 200);
  beats.push_back(beats.back() + 150);
  VLHrv again;
  EXPECT_EQ(values(feed(again, teeth(beats, beats.back() + 100))), (std::vector<int32_t>{684, 684, 684}));
}

TEST(HrvDetection, WithoutASmoothedIntervalTheRefractoryDistanceFallsToZero) {
  // Intervals of 153 samples are beats (>= realibi) but never start the
  // smoothing (154..999), so at the seventh beat realibi becomes 0.
  std::vector<int> beats = every(153, 9);
  VLHrv hrv;
  feed(hrv, teeth(beats, 100 + 9 * 153));
  ASSERT_EQ(hrv.detectorState().nbeats, 7);
  EXPECT_EQ(hrv.detectorState().ibi, 0);
  EXPECT_EQ(hrv.detectorState().realibi, 0);

  // From then on every armed event is a beat, even 20 samples on.
  std::vector<int> more = beats;
  const int last = beats.back();
  more.push_back(last + 20);
  more.push_back(last + 20 + 1600);  // restores the 153-sample distance
  more.push_back(last + 20 + 1600 + 20);
  VLHrv again;
  std::vector<int32_t> v = values(feed(again, teeth(more, last + 20 + 1600 + 300)));
  ASSERT_EQ(v.size(), 8u);
  EXPECT_EQ(v[6], 39);    // 20 samples
  EXPECT_EQ(v[7], 3125);  // 1600 samples; the 20-sample event after it is too soon
  EXPECT_EQ(again.detectorState().realibi, 153);
}

TEST(HrvDetection, ThresholdsFollowTheBaseAndWindowsBoundIt) {
  VLHrv hrv;
  const VLHrv::Detector& d = hrv.detectorState();
  EXPECT_EQ(d.peakThresholdUp, 0);
  EXPECT_EQ(d.peakThresholdDown, 0);
  EXPECT_EQ(d.diffXNew, 3000);
  hrv.addData(0);
  EXPECT_EQ(d.peakThresholdUp, 1650);
  EXPECT_EQ(d.peakThresholdDown, 600);

  // Learning: the base follows the largest difference, uncapped until the
  // first window closes at the 1025th sample.
  hrv.reset();
  std::vector<int32_t> learn = teeth({500}, 1024, 10000);
  feed(hrv, learn);
  EXPECT_EQ(d.diffXNew, 10000);
  EXPECT_EQ(d.peakThresholdUp, 5500);
  EXPECT_EQ(d.secondCount, 0);
  EXPECT_EQ(d.dataCount, 1024);
  hrv.addData(0);
  EXPECT_EQ(d.secondCount, 2);
  EXPECT_EQ(d.dataCount, 1);
  EXPECT_EQ(d.diffXNew, 6000);  // capped

  // Later windows: the base drops at once to the window's maximum, rises by
  // at most half, and stays within 600..6000.
  const std::pair<int32_t, int32_t> windows[] = {{1000, 1000}, {5000, 1500}, {5000, 2250}, {0, 600}, {9000, 900}};
  for (auto [amplitude, base] : windows) {
    SCOPED_TRACE(amplitude);
    std::vector<int32_t> w = amplitude ? teeth({400}, 1024, amplitude) : std::vector<int32_t>(1024, 0);
    feed(hrv, w);  // the last 1023 samples of this window and the first of the next
    EXPECT_EQ(d.diffXNew, base);
    EXPECT_EQ(d.peakThresholdUp, 55 * base / 100);
    EXPECT_EQ(d.peakThresholdDown, 20 * base / 100);
  }

  // A quiet first window keeps its floor of 3000.
  VLHrv quiet;
  feed(quiet, teeth({500}, 1025, 2000));
  EXPECT_EQ(quiet.detectorState().diffXNew, 3000);
}

TEST(HrvDetection, ConstantInputNeverProducesAPeak) {
  for (int32_t level : {0, 1234, -30000, 32767, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(level);
    VLHrv hrv;
    for (int i = 0; i < 5000; ++i) {
      ASSERT_EQ(hrv.addData(level), -2);
      if (i >= 15) {
        ASSERT_EQ(hrv.detectorState().diffX, 0);
      }
    }
    EXPECT_EQ(hrv.detectorState().newPeakFound, 0);
  }
}

TEST(HrvDetection, ExtremeInputsSaturateTheDifference) {
  VLHrv hrv;
  hrv.addData(INT32_MIN);
  for (int i = 0; i < 14; ++i) hrv.addData(0);
  hrv.addData(INT32_MAX);  // INT32_MIN is now 15 places back
  EXPECT_EQ(hrv.detectorState().diffX, INT32_MIN);
  hrv.reset();
  hrv.addData(INT32_MIN);
  EXPECT_EQ(hrv.detectorState().diffX, INT32_MAX);  // 0 - INT32_MIN
  EXPECT_EQ(hrv.detectorState().peakThresholdUp, static_cast<int32_t>(55LL * INT32_MAX / 100));

  // Random full-range input: every answer is -2 or an interval.
  std::mt19937 rng(7);
  std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
  for (int i = 0; i < 200000; ++i) {
    int32_t r = hrv.addData(any(rng));
    ASSERT_TRUE(r == -2 || r > 0) << r;
  }
}

TEST(HrvDetection, ResetLeavesDelegateFsAndResultsAlone) {
  test::LogCapture quiet;
  VLHrv hrv;
  auto recorder = std::make_shared<Recorder>();
  hrv.setDelegate(recorder);
  hrv.setFs(256.0);
  std::vector<int32_t> list(70, 1000);
  hrv.calculateEnergyLevel(list.data(), static_cast<int32_t>(list.size()));
  feed(hrv, teeth(every(512, 3), 2000));
  ASSERT_NE(hrv.detectorState().HB0, 0);

  hrv.reset();
  EXPECT_EQ(hrv.delegate(), recorder);
  EXPECT_EQ(hrv.fs(), 256.0);
  EXPECT_EQ(hrv.result().size(), 4u);
  EXPECT_EQ(hrv.detectorState().HB0, 0);
  EXPECT_EQ(hrv.detectorState().diffXOld, 3000);
  EXPECT_EQ(hrv.detectorState().realibi, 153);

  // fs is informational: the detector works at 512 samples per second.
  std::vector<int32_t> signal = teeth(every(430, 12), 100 + 12 * 430);
  VLHrv plain;
  Reports reports = feed(plain, signal);
  EXPECT_EQ(reports.size(), 9u);
  hrv.reset();
  EXPECT_EQ(feed(hrv, signal), reports);
}

TEST(HrvDetection, AReleasedDelegateIsSkipped) {
  VLHrv hrv;
  auto recorder = std::make_shared<Recorder>();
  hrv.setDelegate(recorder);
  recorder.reset();
  EXPECT_EQ(hrv.delegate(), nullptr);
  EXPECT_EQ(values(feed(hrv, teeth(every(512, 5), 100 + 5 * 512))), (std::vector<int32_t>{1000, 1000}));
}

}  // namespace
}  // namespace velmora
