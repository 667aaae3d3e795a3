// End to end: a simulated headset on a real pty, published in a private
// device folder, found by the port manager, opened by the serial layer,
// framed, decoded and analysed by the accessory object and delivered by its
// dispatch thread -- held against what the simulator sent and its ground
// truth, as a host sees it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "Velmora.h"
#include "ZPRSerialPortManager.h"
#include "platform/DeviceFolder.h"
#include "platform/RunLoop.h"
#include "sim/HeadsetSimulator.h"
#include "support/LogCapture.h"
#include "support/StreamScan.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

// What the accessory object and the HRV analyser delivered: the deliveries,
// their "raw" arrays joined, and the intervals.
struct Recorder : VelmoraDelegate, VLHRVDelegate {
  void accessoryDidConnect(const std::string&) override {}
  void accessoryDidDisconnect() override {}
  void accessoryError(int32_t) override {}
  void dataReceived(const Dictionary& data) override {
    std::lock_guard<std::mutex> g(mutex);
    deliveries.push_back(data);
    if (data.contains("raw")) raw.insert(raw.end(), data.at("raw").asArray().begin(), data.at("raw").asArray().end());
    samples = raw.size();
  }
  void rrDetected(int32_t rr) override {
    std::lock_guard<std::mutex> g(mutex);
    intervals.push_back(rr);
  }
  void calculationDone(const Dictionary&) override {}
  template <typename T>
  std::vector<T> get(const std::vector<T>& from) {
    std::lock_guard<std::mutex> g(mutex);
    return from;
  }

  std::mutex mutex;
  std::atomic<size_t> samples{0};
  std::vector<int32_t> intervals, raw;
  std::vector<Dictionary> deliveries;
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::DeviceFolder::setPath(dir_.path() + "/devices");
    accessory_->setDelegate(recorder_);
    hrv.load()->setDelegate(recorder_);
    options_.name = "KovaE2E";
  }
  void TearDown() override {
    accessory_.reset();
    platform::RunLoop::main().drain();
  }

  test::TempDir dir_;
  test::LogCapture log_;  // keeps the library's lines out of the test output
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::unique_ptr<VelmoraObjC> accessory_ = std::make_unique<VelmoraObjC>();
  sim::SimulatorOptions options_;
};

// Five minutes of headset time, 150 s of EEG with blinks and then 150 s of
// ECG, as fast as the link carries it (bench/soak runs the same for hours).
TEST_F(EndToEnd, EverySampleArrivesOnceInOrderAndTheRecordingBlinksAndIntervalsMatchTheSimulator) {
  options_.signal.mode = sim::SignalMode::Mixed;
  options_.signal.periodSeconds = 150;
  options_.signal.seed = 7;
  options_.durationSeconds = 300;
  options_.speed = 2000;  // the simulator waits for the reader, so this is a ceiling
  sim::GroundTruth truth;
  const test::StreamContent sent = test::scanStream(sim::HeadsetSimulator::generateOffline(options_, &truth));
  sim::HeadsetSimulator simulator(options_);
  simulator.start();
  ASSERT_TRUE(accessory_->startRecording(dir_.path(), 3));
  // Once the port manager lists the headset, connect to it.
  ASSERT_TRUE(platform::RunLoop::main().runUntil([] {
    return std::ranges::any_of(ZPRSerialPortManager::sharedSerialPortManager().availablePorts(),
                               [](const auto& port) { return port->name() == "KovaE2E"; });
  }, 20s));
  accessory_->Connect();
  ASSERT_TRUE(accessory_->connected());
  EXPECT_TRUE(platform::RunLoop::main().runUntil([&] { return recorder_->samples >= sent.raw.size(); }, 100s));
  accessory_->Disconnect();
  accessory_->stopRecording();
  for (const std::string& line : log_.lines()) {
    ASSERT_TRUE(line.find("Checksum") == std::string::npos && line.find("cannot") == std::string::npos) << line;
  }

  // Every raw sample once and in order, and the last values sent.
  EXPECT_EQ(recorder_->get(recorder_->raw), sent.raw);
  const auto deliveries = recorder_->get(recorder_->deliveries);
  Dictionary last;
  for (const auto& d : deliveries) {
    for (const auto& [key, value] : d) last.insert_or_assign(key, value);
  }
  EXPECT_EQ(last.at("poorSignal"), Value(sent.quality.back()));
  EXPECT_EQ(last.at("vScoreAttention"), Value(sent.attention.back()));

  // The recording: a row for each raw sample and each quality, attention,
  // meditation and heart-rate row, with the values sent, and nothing else.
  size_t rows = 0;
  const test::StreamContent saved = test::readStreamLog(dir_.path() + "/ambrix.log.csv", &rows);
  EXPECT_EQ(std::tie(saved.raw, saved.quality, saved.attention, saved.meditation, saved.heartRate),
            std::tie(sent.raw, sent.quality, sent.attention, sent.meditation, sent.heartRate));
  EXPECT_EQ(rows, sent.raw.size() + 3 * 300 + sent.heartRate.size());

  // Blinks: every true one, with its code and in order, as the decoder logs
  // them; a delivery carries the last completed since the one before.
  std::vector<int32_t> trueCodes, logged;
  for (const auto& b : truth.blinks) trueCodes.push_back(b.code);
  for (const std::string& line : log_.lines()) {
    if (line.starts_with("blink value:")) logged.push_back(std::stoi(line.substr(12)));
  }
  EXPECT_EQ(logged, trueCodes);
  ASSERT_GE(trueCodes.size(), 50u);
  auto code = trueCodes.begin();
  for (const auto& d : deliveries) {
    if (!d.contains("blinkStrength")) continue;
    code = std::find(code, trueCodes.end(), d.at("blinkStrength").asInt());
    ASSERT_NE(code, trueCodes.end()) << "a delivered blink out of order or never sent";
    ++code;
  }

  // Intervals: 95 % lie within 4 ms of the truth.  The detector marks each
  // beat at a fixed distance from its R peak, and both count whole samples
  // (1.95 ms); noise may move a crossing by a sample more now and then.  Up
  // to 5 beats may be missing at the start: the first is withheld, and the
  // detector may need two or three to learn.
  std::vector<double> trueRr;
  for (const auto& beat : truth.beats) {
    if (beat.rrMs) trueRr.push_back(*beat.rrMs);
  }
  const std::vector<int32_t> intervals = recorder_->get(recorder_->intervals);
  ASSERT_GE(intervals.size() + 5, trueRr.size());
  ASSERT_LE(intervals.size(), trueRr.size());
  size_t close = 0;
  for (size_t offset = 0; offset <= trueRr.size() - intervals.size(); ++offset) {
    size_t n = 0;
    for (size_t i = 0; i < intervals.size(); ++i) n += std::abs(intervals[i] - trueRr[i + offset]) <= 4.0;
    close = std::max(close, n);
  }
  EXPECT_GE(static_cast<double>(close), 0.95 * static_cast<double>(intervals.size()));
  // Each delivered "rrInt" is one of them, in order, with its heart rate.
  auto next = intervals.begin();
  for (const auto& d : deliveries) {
    if (!d.contains("rrInt")) continue;
    next = std::find(next, intervals.end(), d.at("rrInt").asInt());
    ASSERT_NE(next, intervals.end()) << "a delivered rrInt that was never reported";
    EXPECT_EQ(d.at("heartRate"), Value(VelmoraObjC::heartRateForRrInterval(*next++)));
  }
}

}  // namespace
}  // namespace velmora
