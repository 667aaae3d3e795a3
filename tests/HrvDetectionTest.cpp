// The beat detector: which peak events are beats, what is reported, how the
// refractory distance and the threshold base follow the signal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <tuple>
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
  std::vector<int32_t> x(static_cast<size_t>(length), 0);
  for (int t0 : beats) {
    for (int k = 0; k < 200 && t0 + k < length; ++k) x[static_cast<size_t>(t0 + k)] += -amplitude + k * amplitude / 200;
  }
  return x;
}

// Beats every `period` samples from sample 100 on, `count` of them, then
// further beats at the given distances from the last.
std::vector<int> beats(int period, int count, std::initializer_list<int> then = {}) {
  std::vector<int> b;
  for (int i = 0; i < count; ++i) b.push_back(100 + i * period);
  const int last = b.back();
  for (int d : then) b.push_back(last + d);
  return b;
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
    const int32_t r = hrv.addData(samples[i]);
    if (r != -2) reports.emplace_back(static_cast<int>(i), r);
  }
  return reports;
}

// The first tooth only arms the detector, the second is a too-early event
// that starts the count, the third is the withheld first beat; the fourth
// and later are reported.
TEST(HrvDetection, BeatsIntervalsAndTheRefractoryDistance) {
  using V = std::vector<int32_t>;
  auto with = [](V v, const V& more) {
    v.insert(v.end(), more.begin(), more.end());
    return v;
  };
  const struct {
    const char* what;
    std::vector<int> beats;
    V reported;
    int nbeats, ibi, realibi;
  } cases[] = {
      {"153 samples are 299 ms", beats(153, 6), {299, 299, 299}, 4, 0, 153},
      {"154 are 301", beats(154, 6), {301, 301, 301}, 4, 154, 153},
      {"512 are 1000", beats(512, 6), {1000, 1000, 1000}, 4, 512, 153},
      {"1500 are 2930", beats(1500, 6), {2930, 2930, 2930}, 4, 0, 153},
      {"1501 are 2932, and resynchronise", beats(1501, 6), {2932, 2932, 2932}, 0, 0, 153},
      {"an early event before two beats restarts the count", beats(512, 3, {100, 512}), {805}, 2, 0, 153},
      {"with two beats the count runs on", beats(512, 4, {100, 512}), {1000, 1000}, 3, 512, 153},
      {"from seven beats the distance is 3/4 of ibi", beats(512, 9), V(6, 1000), 7, 512, 384},
      {"so 200 samples are too soon", beats(512, 9, {200}), V(6, 1000), 7, 512, 384},
      {"a long interval is reported and resynchronises", beats(512, 9, {1600, 1800}), with(V(6, 1000), {3125, 391}), 1,
       0, 153},
      {"an ibi of 301..399 sets the distance early", beats(350, 5), {684, 684}, 3, 350, 262},
      {"and it holds", beats(350, 5, {200, 350}), {684, 684, 684}, 4, 350, 262},
      {"without an ibi the distance falls to 0", beats(153, 9), V(6, 299), 7, 0, 0},
      {"until a long interval restores it", beats(153, 9, {20, 1620, 1640}), with(V(6, 299), {39, 3125}), 0, 0, 153},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    VLHrv hrv;
    auto recorder = std::make_shared<Recorder>();
    hrv.setDelegate(recorder);
    const Reports reports = feed(hrv, teeth(c.beats, c.beats.back() + 300));
    V values;
    for (auto [at, rr] : reports) {
      values.push_back(rr);
      EXPECT_NE(std::find(c.beats.begin(), c.beats.end(), at), c.beats.end()) << "a report off a beat, at " << at;
    }
    EXPECT_EQ(values, c.reported);
    EXPECT_EQ(recorder->intervals, values) << "the delegate hears what is returned";
    const VLHrv::Detector& d = hrv.detectorState();
    EXPECT_EQ(std::make_tuple(d.nbeats, d.ibi, d.realibi), std::make_tuple(c.nbeats, c.ibi, c.realibi));
  }
}

TEST(HrvDetection, ThresholdsFollowTheBaseAndWindowsBoundIt) {
  VLHrv hrv;
  const VLHrv::Detector& d = hrv.detectorState();
  EXPECT_EQ(std::make_tuple(d.peakThresholdUp, d.peakThresholdDown, d.diffXNew), std::make_tuple(0, 0, 3000));
  hrv.addData(0);
  EXPECT_EQ(std::make_tuple(d.peakThresholdUp, d.peakThresholdDown), std::make_tuple(1650, 600));
  // Learning: the base follows the largest difference, uncapped until the
  // first window closes at the 1025th sample.
  feed(hrv, teeth({500}, 1023, 10000));
  EXPECT_EQ(std::make_tuple(d.diffXNew, d.peakThresholdUp, d.secondCount), std::make_tuple(10000, 5500, 0));
  hrv.addData(0);
  EXPECT_EQ(std::make_tuple(d.diffXNew, d.secondCount, d.dataCount), std::make_tuple(6000, 2, 1));  // capped
  // Later windows: the base drops at once to the window's maximum, rises by
  // at most half, and stays within 600..6000.
  const std::pair<int32_t, int32_t> windows[] = {{1000, 1000}, {5000, 1500}, {5000, 2250}, {0, 600}, {9000, 900}};
  for (auto [amplitude, base] : windows) {
    feed(hrv, amplitude ? teeth({400}, 1024, amplitude) : std::vector<int32_t>(1024, 0));
    EXPECT_EQ(std::make_tuple(d.diffXNew, d.peakThresholdUp, d.peakThresholdDown),
              std::make_tuple(base, 55 * base / 100, 20 * base / 100))
        << amplitude;
  }
  // A quiet first window keeps its floor of 3000.
  VLHrv quiet;
  feed(quiet, teeth({500}, 1025, 2000));
  EXPECT_EQ(quiet.detectorState().diffXNew, 3000);
}

TEST(HrvDetection, ResetRestartsTheDetectorOnlyAndFsIsInformational) {
  test::LogCapture quiet;
  VLHrv hrv;
  auto recorder = std::make_shared<Recorder>();
  hrv.setDelegate(recorder);
  hrv.setFs(256.0);
  const std::vector<int32_t> list(70, 1000);
  hrv.calculateEnergyLevel(list.data(), static_cast<int32_t>(list.size()));
  const std::vector<int32_t> signal = teeth(beats(430, 12), 100 + 12 * 430);
  VLHrv plain;
  const Reports expected = feed(plain, signal);
  ASSERT_EQ(expected.size(), 9u);
  EXPECT_EQ(feed(hrv, signal), expected);
  hrv.reset();
  EXPECT_EQ(std::make_tuple(hrv.delegate(), hrv.fs(), hrv.result().size()), std::make_tuple(recorder, 256.0, 4ul));
  // The first beat is withheld again; a released delegate is skipped.
  recorder.reset();
  EXPECT_EQ(feed(hrv, signal), expected);
  // The difference saturates at 32 bits.
  hrv.reset();
  hrv.addData(INT32_MIN);
  EXPECT_EQ(hrv.detectorState().diffX, INT32_MAX);
  for (int i = 0; i < 14; ++i) hrv.addData(0);
  hrv.addData(INT32_MAX);
  EXPECT_EQ(hrv.detectorState().diffX, INT32_MIN);
}

}  // namespace
}  // namespace velmora
