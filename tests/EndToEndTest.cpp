// End to end: a simulated headset on a real pty, published in a private
// device folder, found by the port manager, opened by the serial layer,
// framed, decoded and analysed by the accessory object and delivered by its
// dispatch thread -- held against what the simulator sent and its ground
// truth.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Velmora.h"
#include "ZPRSerialPortManager.h"
#include "platform/DeviceFolder.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "sim/HeadsetSimulator.h"
#include "support/LogCapture.h"
#include "support/StreamScan.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using sim::GroundTruth;
using sim::HeadsetSimulator;
using sim::SignalMode;
using sim::SimulatorOptions;

// What the accessory object told its delegate, in order.
class Recorder : public VelmoraDelegate {
 public:
  enum class Kind { Connected, Disconnected, Error };
  struct Event {
    Kind kind;
    int32_t code = 0;
  };

  void accessoryDidConnect(const std::string&) override { add({Kind::Connected}); }
  void accessoryDidDisconnect() override { add({Kind::Disconnected}); }
  void accessoryError(int32_t code) override { add({Kind::Error, code}); }
  void dataReceived(const Dictionary& data) override {
    std::lock_guard<std::mutex> g(mutex_);
    deliveries_.push_back(data);
    if (auto it = data.find("raw"); it != data.end()) samples_ += it->second.asArray().size();
  }

  std::vector<Event> events() const {
    std::lock_guard<std::mutex> g(mutex_);
    return events_;
  }
  std::vector<Dictionary> deliveries() const {
    std::lock_guard<std::mutex> g(mutex_);
    return deliveries_;
  }
  size_t samples() const {
    std::lock_guard<std::mutex> g(mutex_);
    return samples_;
  }

 private:
  void add(Event e) {
    std::lock_guard<std::mutex> g(mutex_);
    events_.push_back(e);
  }
  mutable std::mutex mutex_;
  std::vector<Event> events_;
  std::vector<Dictionary> deliveries_;
  size_t samples_ = 0;
};

// The RR intervals rrDetected reports (on the main thread, under lock).
class RrRecorder : public VLHRVDelegate {
 public:
  void rrDetected(int32_t rr) override {
    std::lock_guard<std::mutex> g(mutex_);
    intervals_.push_back(rr);
  }
  void calculationDone(const Dictionary&) override {}
  std::vector<int32_t> intervals() const {
    std::lock_guard<std::mutex> g(mutex_);
    return intervals_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int32_t> intervals_;
};

std::vector<int32_t> concatenatedRaw(const std::vector<Dictionary>& deliveries) {
  std::vector<int32_t> all;
  for (const auto& d : deliveries) {
    if (auto it = d.find("raw"); it != d.end()) {
      const auto& raw = it->second.asArray();
      all.insert(all.end(), raw.begin(), raw.end());
    }
  }
  return all;
}

SimulatorOptions synth(const std::string& name, SignalMode mode, double seconds, double speed, uint64_t seed) {
  SimulatorOptions o;
  o.name = name;
  o.signal.mode = mode;
  o.signal.seed = seed;
  o.durationSeconds = seconds;
  o.speed = speed;
  return o;
}

bool runMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return platform::RunLoop::main().runUntil(done, timeout);
}

// Runs the main loop until the port manager lists the port `name` (its
// device-folder events are handled there).
bool waitForPort(const std::string& name) {
  return runMainLoopUntil(
      [&] {
        for (const auto& port : ZPRSerialPortManager::sharedSerialPortManager().availablePorts()) {
          if (port->name() == name) return true;
        }
        return false;
      },
      10s);
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    devices_ = dir_.path() + "/devices";
    ::mkdir(devices_.c_str(), 0700);
    platform::DeviceFolder::setPath(devices_);
    accessory_ = std::make_unique<VelmoraObjC>();
    accessory_->setDelegate(recorder_);
  }
  void TearDown() override {
    accessory_.reset();
    platform::RunLoop::main().drain();
  }

  // Streams all of `options` (a synthesised stream with a duration) into
  // the accessory, recording with flag 3; returns what was sent and saves
  // the recording to `save`.
  test::StreamContent streamAll(const SimulatorOptions& options, const std::string& save, GroundTruth* truth) {
    const test::StreamContent sent = test::scanStream(HeadsetSimulator::generateOffline(options, truth));
    HeadsetSimulator simulator(options);
    simulator.start();
    const std::string recordDir = dir_.path() + "/rec-" + options.name;
    ::mkdir(recordDir.c_str(), 0700);
    accessory_->startRecording(recordDir, 3);
    EXPECT_TRUE(waitForPort(options.name));
    accessory_->ConnectTo("/dev/tty." + options.name);
    EXPECT_TRUE(accessory_->connected());
    EXPECT_TRUE(runMainLoopUntil([&] { return recorder_->samples() >= sent.raw.size(); }, 40s))
        << recorder_->samples() << " of " << sent.raw.size() << " samples arrived";
    accessory_->Disconnect();
    accessory_->stopRecording(save);
    simulator.stop();
    return sent;
  }

  test::TempDir dir_;
  std::string devices_;
  test::LogCapture log_;  // keeps the library's lines out of the test output
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::unique_ptr<VelmoraObjC> accessory_;
};

// Blinks: the detector completes a blink on a sample from the truth's `end`
// - 4 to `end` + 30 (the simulator's shapes, see SimulatorTest).  A delivery
// reports the last blink completed since the previous one; since the
// dispatch thread moves the raw samples a moment before it takes the rest
// of the dictionary, a blink may sit on one of the next delivery's samples.
// So each reported strength must be the code of a true blink whose window
// meets the samples of its delivery or the next, and each true blink must
// be reported so.  At 6x a delivery spans about 0.1 s of headset time and
// blinks are at least 1 s apart, so no two blinks share a delivery.
void expectBlinksMatchTruth(const std::vector<Dictionary>& deliveries, const std::vector<sim::BlinkTruth>& blinks) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  uint64_t at = 0;
  for (const auto& d : deliveries) {
    const auto it = d.find("raw");
    const uint64_t n = it == d.end() ? 0 : it->second.asArray().size();
    ranges.emplace_back(at, at + n);
    at += n;
  }
  std::vector<int> reported(blinks.size(), 0);
  size_t reports = 0;
  for (size_t i = 0; i < deliveries.size(); ++i) {
    const auto it = deliveries[i].find("blinkStrength");
    if (it == deliveries[i].end()) continue;
    ++reports;
    const uint64_t from = ranges[i].first;
    const uint64_t to = i + 1 < ranges.size() ? ranges[i + 1].second : ranges[i].second;
    const int32_t code = it->second.asInt();
    auto match = std::find_if(blinks.begin(), blinks.end(), [&](const sim::BlinkTruth& b) {
      return b.end + 30 >= from && b.end < to + 4 && b.code == code;
    });
    ASSERT_NE(match, blinks.end()) << "blink " << code << " reported for samples " << from << ".." << to
                                   << " matches no blink the simulator sent";
    ++reported[static_cast<size_t>(match - blinks.begin())];
  }
  for (size_t j = 0; j < blinks.size(); ++j) {
    if (blinks[j].end + 30 >= at) continue;  // its detection may fall after the last delivery
    EXPECT_EQ(reported[j], 1) << "the blink sent at sample " << blinks[j].start;
  }
  EXPECT_GE(reports, 3u) << "the stream should hold a few blinks";
}

TEST_F(EndToEnd, EverySampleArrivesOnceInOrderAndTheRecordingAndBlinksMatchTheSimulator) {
  GroundTruth truth;
  const auto options = synth("KovaE2E-A", SignalMode::Eeg, 24, 6, 5);
  const std::string save = dir_.path() + "/saved.csv";
  const test::StreamContent sent = streamAll(options, save, &truth);
  const auto deliveries = recorder_->deliveries();

  // Every raw sample once and in order, across the "raw" arrays.
  EXPECT_EQ(concatenatedRaw(deliveries), sent.raw);

  // The recording: one RAW row per sample, one PQ, ATT and MED row per
  // second (and one HR row per 5 s), with the values sent.
  size_t rows = 0;
  const test::StreamContent saved = test::readStreamLog(save, &rows);
  EXPECT_EQ(saved.raw, sent.raw);
  EXPECT_EQ(saved.quality, sent.quality);
  EXPECT_EQ(saved.attention, sent.attention);
  EXPECT_EQ(saved.meditation, sent.meditation);
  EXPECT_EQ(saved.heartRate, sent.heartRate);
  EXPECT_EQ(saved.quality.size(), 24u);
  EXPECT_EQ(saved.attention.size(), 24u);
  EXPECT_EQ(rows, sent.raw.size() + 3 * 24 + sent.heartRate.size());

  // The last values delivered are the last ones sent.
  std::optional<int32_t> quality, attention;
  for (const auto& d : deliveries) {
    if (auto it = d.find("poorSignal"); it != d.end()) quality = it->second.asInt();
    if (auto it = d.find("vScoreAttention"); it != d.end()) attention = it->second.asInt();
  }
  EXPECT_EQ(quality, sent.quality.back());
  EXPECT_EQ(attention, sent.attention.back());

  expectBlinksMatchTruth(deliveries, truth.blinks);
}

// The offset o that pairs reported[i] with truth[i + o] best, and how many
// of those pairs lie within 4 ms.
std::pair<size_t, size_t> bestAlignment(const std::vector<int32_t>& reported, const std::vector<double>& truth) {
  std::pair<size_t, size_t> best{0, 0};
  for (size_t o = 0; o <= 5 && o < truth.size(); ++o) {
    size_t close = 0;
    for (size_t i = 0; i < reported.size() && i + o < truth.size(); ++i) {
      if (std::abs(reported[i] - truth[i + o]) <= 4.0) ++close;
    }
    if (close > best.second) best = {o, close};
  }
  return best;
}

TEST_F(EndToEnd, ReportedRrIntervalsMatchTheTrueBeats) {
  // Tolerance: 95 % of the intervals within 4 ms of the truth.  The detector
  // marks each beat on the steep fall after its R peak at a fixed distance
  // from the peak, and both the truth and the report count whole samples
  // (1.95 ms each), so an interval is off by at most a sample at either end;
  // noise and baseline wander may move a threshold crossing by one sample
  // more now and then, which the 5 % allows for.  The detector withholds
  // the first beat after its start (and may need the first two or three to
  // learn), so up to 5 beats may be missing at the start.
  auto rr = std::make_shared<RrRecorder>();
  velmora::hrv.load()->setDelegate(rr);
  GroundTruth truth;
  const auto options = synth("KovaE2E-B", SignalMode::Ecg, 40, 10, 21);
  streamAll(options, "", &truth);

  std::vector<double> trueRr;
  for (const auto& beat : truth.beats) {
    if (beat.rrMs) trueRr.push_back(*beat.rrMs);
  }
  const std::vector<int32_t> reported = rr->intervals();
  ASSERT_GE(reported.size() + 5, trueRr.size());
  EXPECT_LE(reported.size(), trueRr.size());
  const auto [offset, close] = bestAlignment(reported, trueRr);
  EXPECT_GE(static_cast<double>(close), 0.95 * static_cast<double>(reported.size())) << "offset " << offset;

  // Each delivery's "rrInt" is one of the reported intervals, in order, with
  // its heart rate beside it.
  size_t next = 0;
  for (const auto& d : recorder_->deliveries()) {
    auto it = d.find("rrInt");
    if (it == d.end()) continue;
    const int32_t value = it->second.asInt();
    while (next < reported.size() && reported[next] != value) ++next;
    ASSERT_LT(next, reported.size()) << "delivered rrInt " << value << " was never reported";
    ++next;
    ASSERT_TRUE(d.count("heartRate"));
    EXPECT_EQ(d.at("heartRate").asInt(), VelmoraObjC::heartRateForRrInterval(value));
  }
}

TEST_F(EndToEnd, UnplugReportsErrorRemovalAndDisconnectInOrderAndTheHeadsetCanBeReconnected) {
  SimulatorOptions options;
  options.name = "KovaE2E-C";
  options.speed = 4;
  HeadsetSimulator simulator(options);
  simulator.start();
  ASSERT_TRUE(waitForPort("KovaE2E-C"));
  accessory_->ConnectTo("/dev/tty.KovaE2E-C");
  ASSERT_TRUE(accessory_->connected());
  ASSERT_TRUE(runMainLoopUntil([&] { return recorder_->samples() >= 512; }, 20s));
  const size_t before = recorder_->events().size();

  simulator.unplug();
  auto disconnectedAfter = [&](size_t from) {
    const auto events = recorder_->events();
    for (size_t i = from; i < events.size(); ++i) {
      if (events[i].kind == Recorder::Kind::Disconnected) return true;
    }
    return false;
  };
  ASSERT_TRUE(runMainLoopUntil([&] { return disconnectedAfter(before); }, 10s));
  // The read loop sees the hang-up first and reports it as an error (code 0)
  // before the removal; when the device folder's removal is handled first
  // there is no error.  Either way the removal (3) comes before the close.
  std::vector<int32_t> codes;
  const auto events = recorder_->events();
  for (size_t i = before; i < events.size() && events[i].kind != Recorder::Kind::Disconnected; ++i) {
    ASSERT_EQ(events[i].kind, Recorder::Kind::Error);
    codes.push_back(events[i].code);
  }
  EXPECT_TRUE(codes == std::vector<int32_t>({0, 3}) || codes == std::vector<int32_t>({3}))
      << "codes before the disconnect: " << ::testing::PrintToString(codes);

  // The headset comes back: the manager announces it, and a connect streams
  // again.
  bool arrived = false;
  auto token = platform::NotificationCenter::shared().addObserver(
      ZPRSerialPortsWereConnectedNotification, [&](const platform::Notification&) { arrived = true; });
  simulator.replug();
  ASSERT_TRUE(runMainLoopUntil([&] { return arrived; }, 10s));
  platform::NotificationCenter::shared().removeObserver(token);
  const size_t samplesBefore = recorder_->samples();
  accessory_->ConnectTo("/dev/tty.KovaE2E-C");
  ASSERT_TRUE(accessory_->connected());
  EXPECT_TRUE(runMainLoopUntil([&] { return recorder_->samples() >= samplesBefore + 512; }, 20s));
  accessory_->Disconnect();
}

TEST_F(EndToEnd, ARecordingPlayedBackDecodesToTheSameValues) {
  // Mixed: quality 0 and 200 both occur, so the played-back stream drives
  // the analysers' resets and the beat detector as the original did.
  auto options = synth("KovaE2E-D", SignalMode::Mixed, 12, 8, 9);
  options.signal.periodSeconds = 6;
  const std::string first = dir_.path() + "/first.csv";
  streamAll(options, first, nullptr);
  const test::StreamContent recorded = test::readStreamLog(first);
  ASSERT_EQ(recorded.raw.size(), 12u * 512);

  // Play the recording back through the simulator and record it again.
  auto again = std::make_shared<Recorder>();
  accessory_->setDelegate(again);
  SimulatorOptions playback;
  playback.name = "KovaPlay-SPPDev";
  playback.playbackPath = first;
  playback.speed = 2;
  HeadsetSimulator simulator(playback);
  simulator.start();
  const std::string recordDir = dir_.path() + "/again";
  ::mkdir(recordDir.c_str(), 0700);
  accessory_->startRecording(recordDir, 3);
  ASSERT_TRUE(waitForPort("KovaPlay-SPPDev"));
  accessory_->ConnectTo("/dev/tty.KovaPlay-SPPDev");
  ASSERT_TRUE(accessory_->connected());
  ASSERT_TRUE(runMainLoopUntil([&] { return again->samples() >= recorded.raw.size(); }, 30s));
  accessory_->Disconnect();
  const std::string second = dir_.path() + "/second.csv";
  accessory_->stopRecording(second);
  simulator.stop();

  EXPECT_EQ(concatenatedRaw(again->deliveries()), recorded.raw);
  const test::StreamContent replayed = test::readStreamLog(second);
  EXPECT_EQ(replayed.raw, recorded.raw);
  EXPECT_EQ(replayed.quality, recorded.quality);
  EXPECT_EQ(replayed.attention, recorded.attention);
  EXPECT_EQ(replayed.meditation, recorded.meditation);
  EXPECT_EQ(replayed.heartRate, recorded.heartRate);
  EXPECT_EQ(simulator.malformedLines(), 0u);
}

}  // namespace
}  // namespace velmora
