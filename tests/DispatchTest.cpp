// The accessory object's construction and its dispatch thread: what is
// delivered, when, and how the thread stops.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <vector>

#include "VelmoraObjC.h"
#include "platform/ThreadPriority.h"
#include "sim/PacketEncoder.h"
#include "support/LogCapture.h"
#include "support/ValuePrinter.h"

namespace velmora {
namespace {

using sim::PacketEncoder;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Records every delivered map and when it arrived.
class RecordingDelegate : public VelmoraDelegate {
 public:
  void accessoryDidConnect(const std::string&) override {}
  void accessoryDidDisconnect() override {}
  void accessoryError(int32_t) override {}
  void dataReceived(const Dictionary& data) override {
    {
      std::lock_guard<std::mutex> g(m_);
      maps_.push_back(data);
      times_.push_back(Clock::now());
    }
    if (onData) onData();
  }

  std::vector<Dictionary> maps() const {
    std::lock_guard<std::mutex> g(m_);
    return maps_;
  }
  std::vector<Clock::time_point> times() const {
    std::lock_guard<std::mutex> g(m_);
    return times_;
  }
  size_t count() const {
    std::lock_guard<std::mutex> g(m_);
    return maps_.size();
  }

  std::function<void()> onData;  // set before the thread starts

 private:
  mutable std::mutex m_;
  std::vector<Dictionary> maps_;
  std::vector<Clock::time_point> times_;
};

void feed(VelmoraObjC& accessory, const Bytes& payload) {
  const Bytes packet = PacketEncoder::packet(payload);
  accessory.parseByte(std::span<const uint8_t>(packet));
}

bool anyHas(const std::vector<Dictionary>& maps, const std::string& key) {
  for (const auto& m : maps) {
    if (m.count(key)) return true;
  }
  return false;
}

TEST(Accessory, ConstructionSetsTheDefaultsAndFreshProcessValues) {
  test::LogCapture log;
  isKRT480 = 0;
  sentConfigByte = 1;
  const std::mutex* lockBefore = lock.current();
  VelmoraObjC first;
  const auto firstHrv = hrv.load();
  const auto firstBlink = blink.load();
  EXPECT_FALSE(first.connected());
  EXPECT_FALSE(first.isRecording());
  EXPECT_FALSE(first.readyToSend());
  EXPECT_TRUE(first.rawEnabled());
  EXPECT_EQ(first.dispatchInterval(), 0.02);
  EXPECT_EQ(first.recordFlag(), 3);
  EXPECT_EQ(first.portName(), "/dev/tty.KovaLinkPro-SPPDev");
  EXPECT_EQ(first.delegate(), nullptr);
  EXPECT_EQ(first.dispatchPasses(), 0u);
  EXPECT_EQ(VelmoraObjC::getVersion(), 5);
  EXPECT_EQ(isKRT480.load(), 1);
  EXPECT_EQ(sentConfigByte.load(), 0);
  EXPECT_NE(lock.current(), lockBefore);
  ASSERT_NE(firstHrv, nullptr);
  ASSERT_NE(firstBlink, nullptr);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"VelmoraObjC: Initialized. Version: 5"});
  // A second object installs analysers of its own; the first keeps working.
  VelmoraObjC second;
  EXPECT_NE(hrv.load(), firstHrv);
  EXPECT_NE(blink.load(), firstBlink);
  first.resetParser();
  feed(first, {0x04, 0x01});
  EXPECT_EQ(first.takeData(), (Dictionary{{"vScoreAttention", 1}}));
}

TEST(Dispatch, DeliversRawInOrderBesideTheLatestValues) {
  VelmoraObjC accessory;
  accessory.resetParser();
  auto delegate = std::make_shared<RecordingDelegate>();
  accessory.setDelegate(delegate);
  accessory.setDispatchInterval(3600);
  feed(accessory, PacketEncoder::rawRow(1));
  feed(accessory, {0x02, 0x1A, 0x04, 0x0A});
  feed(accessory, {0x80, 0x02, 0x00, 0x02, 0x80, 0x02, 0x00, 0x03, 0x04, 0x28});
  accessory.startDispatch();  // the first pass runs at once
  EXPECT_TRUE(accessory.connected());
  ASSERT_TRUE(test::waitUntil([&] { return delegate->count() == 1; }));
  EXPECT_EQ(delegate->maps()[0],
            (Dictionary{{"raw", Value::Array{1, 2, 3}}, {"poorSignal", 26}, {"vScoreAttention", 40}}));
  EXPECT_TRUE(accessory.takeData().empty());  // delivered means emptied
}

TEST(Dispatch, PassWithoutADelegateEmptiesTheDictionary) {
  VelmoraObjC accessory;
  accessory.resetParser();
  {
    // A delegate destroyed before the pass counts as none.
    auto gone = std::make_shared<RecordingDelegate>();
    accessory.setDelegate(gone);
  }
  accessory.setDispatchInterval(0.001);
  feed(accessory, {0x04, 0x28, 0x80, 0x02, 0x00, 0x05});
  accessory.startDispatch();
  ASSERT_TRUE(test::waitUntil([&] { return accessory.dispatchPasses() >= 1; }));
  auto delegate = std::make_shared<RecordingDelegate>();
  accessory.setDelegate(delegate);
  feed(accessory, PacketEncoder::meditationRow(7));
  ASSERT_TRUE(test::waitUntil([&] { return delegate->count() >= 1; }));
  EXPECT_EQ(delegate->maps()[0], (Dictionary{{"vScoreMeditation", 7}}));
}

TEST(Dispatch, ValuesDecodedWhileStoppedAreDeliveredAfterTheNextStart) {
  VelmoraObjC accessory;
  accessory.resetParser();
  auto delegate = std::make_shared<RecordingDelegate>();
  accessory.setDelegate(delegate);
  accessory.setDispatchInterval(3600);  // only a stop can end this pause early
  accessory.startDispatch();
  ASSERT_TRUE(test::waitUntil([&] { return accessory.dispatchPasses() == 1; }));
  EXPECT_EQ(delegate->count(), 0u);  // an empty dictionary causes no call

  accessory.stopDispatch();
  EXPECT_FALSE(accessory.connected());
  feed(accessory, {0x04, 0x28, 0x80, 0x02, 0xFF, 0xFB});
  EXPECT_EQ(delegate->count(), 0u);

  // The dropped thread is woken from its hour-long pause and joined; the new
  // thread's first pass delivers at once.
  accessory.startDispatch();
  EXPECT_TRUE(accessory.connected());
  ASSERT_TRUE(test::waitUntil([&] { return delegate->count() == 1; }));
  EXPECT_EQ(delegate->maps()[0], (Dictionary{{"vScoreAttention", 40}, {"raw", Value::Array{-5}}}));
  EXPECT_TRUE(test::waitUntil([&] { return accessory.dispatchPasses() == 2; }));
}

TEST(Dispatch, DeliveriesAreSpacedByTheIntervalReadBeforeEachPause) {
  VelmoraObjC accessory;
  accessory.resetParser();
  auto delegate = std::make_shared<RecordingDelegate>();
  accessory.setDelegate(delegate);
  accessory.setDispatchInterval(0.001);
  accessory.startDispatch();
  auto deliverOne = [&](uint8_t value) {
    const size_t before = delegate->count();
    feed(accessory, PacketEncoder::attentionRow(value));
    return test::waitUntil([&] { return delegate->count() > before; });
  };
  ASSERT_TRUE(deliverOne(1));
  ASSERT_TRUE(deliverOne(2));
  const double interval = 0.1;
  accessory.setDispatchInterval(interval);
  // The pause under way may still be the short one; every pause after the
  // next delivery is the long one.
  for (uint8_t v = 3; v <= 5; ++v) ASSERT_TRUE(deliverOne(v));
  const auto times = delegate->times();
  ASSERT_EQ(times.size(), 5u);
  for (size_t k = 3; k < times.size(); ++k) {
    EXPECT_GE(std::chrono::duration<double>(times[k] - times[k - 1]).count(), interval) << k;
  }
  EXPECT_EQ(delegate->maps()[4], (Dictionary{{"vScoreAttention", 5}}));
}

// Zero, negative and NaN intervals pause the minimum: the thread neither
// spins nor starves the decoder, and no sample is lost or repeated.
TEST(Dispatch, DegenerateIntervalsPauseTheMinimum) {
  for (double interval : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    SCOPED_TRACE(interval);
    VelmoraObjC accessory;
    accessory.resetParser();
    auto delegate = std::make_shared<RecordingDelegate>();
    accessory.setDelegate(delegate);
    accessory.setDispatchInterval(interval);
    const auto start = Clock::now();
    accessory.startDispatch();
    constexpr int kSamples = 2000;
    for (int s = 0; s < kSamples; ++s) feed(accessory, PacketEncoder::rawRow(static_cast<int16_t>(s)));
    auto delivered = [&] {
      Value::Array all;
      for (const auto& m : delegate->maps()) {
        if (m.count("raw")) {
          const auto& a = m.at("raw").asArray();
          all.insert(all.end(), a.begin(), a.end());
        }
      }
      return all;
    };
    ASSERT_TRUE(test::waitUntil([&] { return delivered().size() >= kSamples; }));
    const uint64_t passes = accessory.dispatchPasses();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const Value::Array all = delivered();
    ASSERT_EQ(all.size(), static_cast<size_t>(kSamples));
    for (int s = 0; s < kSamples; ++s) ASSERT_EQ(all[static_cast<size_t>(s)], s);
    EXPECT_LE(passes, elapsed / VelmoraObjC::kMinDispatchPause + 2);
    EXPECT_TRUE(std::isnan(interval) ? std::isnan(accessory.dispatchInterval())
                                     : accessory.dispatchInterval() == interval);
  }  // destroyed while its thread runs at full rate
}

TEST(Dispatch, DestructionStopsTheThreadWithoutWaitingOutThePause) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto accessory = std::make_unique<VelmoraObjC>();
  accessory->resetParser();
  accessory->setDelegate(delegate);
  accessory->setDispatchInterval(std::numeric_limits<double>::infinity());
  feed(*accessory, PacketEncoder::attentionRow(3));
  accessory->startDispatch();
  ASSERT_TRUE(test::waitUntil([&] { return delegate->count() == 1; }));
  // A dropped thread is joined by the destructor too.
  accessory->stopDispatch();
  auto destroyed = std::async(std::launch::async, [&] { accessory.reset(); });
  EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  destroyed.get();
  EXPECT_EQ(delegate->count(), 1u);
}

TEST(Dispatch, DelegateMayStopAndRestartFromItsOwnCallback) {
  VelmoraObjC accessory;
  accessory.resetParser();
  auto delegate = std::make_shared<RecordingDelegate>();
  bool restarted = false;  // touched only on the dispatch thread
  delegate->onData = [&] {
    if (restarted) return;
    restarted = true;
    accessory.stopDispatch();
    accessory.startDispatch();
  };
  accessory.setDelegate(delegate);
  accessory.setDispatchInterval(0.001);
  feed(accessory, PacketEncoder::attentionRow(1));
  accessory.startDispatch();
  ASSERT_TRUE(test::waitUntil([&] { return delegate->count() == 1; }));
  feed(accessory, PacketEncoder::attentionRow(2));
  ASSERT_TRUE(test::waitUntil([&] { return delegate->count() == 2; }));
  EXPECT_TRUE(accessory.connected());
  EXPECT_EQ(delegate->maps()[1], (Dictionary{{"vScoreAttention", 2}}));
}

TEST(ThreadPriority, ScaleMapsOntoNiceValuesWithNormalInTheMiddle) {
  EXPECT_EQ(platform::niceForPriority(0.5), 0);
  EXPECT_EQ(platform::niceForPriority(0.75), -10);
  EXPECT_EQ(platform::niceForPriority(-1.0), 19);
  EXPECT_EQ(platform::niceForPriority(std::numeric_limits<double>::quiet_NaN()), 0);
}

// New threads inherit their creator's nice value; the dispatch thread puts
// itself back to normal where the system allows it.
TEST(Dispatch, ThreadRunsAtNormalPriority) {
  ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5), 0);
  bool mayRaise = false;
  std::thread([&] { mayRaise = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 0) == 0; }).join();
  VelmoraObjC accessory;
  accessory.resetParser();
  auto delegate = std::make_shared<RecordingDelegate>();
  std::atomic<int> nice{-100};
  delegate->onData = [&] { nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); };
  accessory.setDelegate(delegate);
  feed(accessory, PacketEncoder::attentionRow(1));
  accessory.startDispatch();
  ASSERT_TRUE(test::waitUntil([&] { return delegate->count() == 1; }));
  EXPECT_EQ(nice.load(), mayRaise ? 0 : 5);
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 0);  // where allowed
}

TEST(Dispatch, TwoObjectsDeliverTheirOwnValues) {
  VelmoraObjC a;
  VelmoraObjC b;
  a.resetParser();
  auto da = std::make_shared<RecordingDelegate>();
  auto db = std::make_shared<RecordingDelegate>();
  a.setDelegate(da);
  b.setDelegate(db);
  a.setDispatchInterval(0.001);
  b.setDispatchInterval(0.001);
  a.startDispatch();
  b.startDispatch();
  for (int k = 0; k < 200; ++k) {
    feed(a, PacketEncoder::rawRow(static_cast<int16_t>(k)));
    feed(b, PacketEncoder::rawRow(static_cast<int16_t>(-k)));
  }
  feed(a, PacketEncoder::attentionRow(1));
  feed(b, PacketEncoder::attentionRow(2));
  ASSERT_TRUE(test::waitUntil([&] { return anyHas(da->maps(), "vScoreAttention"); }));
  ASSERT_TRUE(test::waitUntil([&] { return anyHas(db->maps(), "vScoreAttention"); }));
  for (const auto& m : da->maps()) {
    if (m.count("vScoreAttention")) {
      EXPECT_EQ(m.at("vScoreAttention"), Value(1));
    }
    if (m.count("raw")) {
      for (int32_t s : m.at("raw").asArray()) EXPECT_GE(s, 0);
    }
  }
  for (const auto& m : db->maps()) {
    if (m.count("vScoreAttention")) {
      EXPECT_EQ(m.at("vScoreAttention"), Value(2));
    }
    if (m.count("raw")) {
      for (int32_t s : m.at("raw").asArray()) EXPECT_LE(s, 0);
    }
  }
}

}  // namespace
}  // namespace velmora
