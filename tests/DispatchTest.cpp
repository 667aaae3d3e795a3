// The accessory object's dispatch thread: what is delivered and when, how it
// stops and restarts, and what a host may do inside a callback (own the
// object, restart it, construct objects under the lock, throw).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <future>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "VLHrv.h"
#include "internal/DispatchThread.h"
#include "platform/ThreadPriority.h"
#include "support/AccessoryEvents.h"
#include "support/LogCapture.h"
#include "support/SerialPortTestSupport.h"
#include "support/ValuePrinter.h"
#include "support/Watchdog.h"

namespace velmora {
namespace {

using sim::PacketEncoder;
using test::feed;
using test::waitUntil;

struct Session {
  Session() {
    accessory.resetParser();
    accessory.setDelegate(delegate);
  }
  bool deliver(uint8_t attention) {
    const size_t before = delegate->deliveries();
    feed(accessory, PacketEncoder::attentionRow(attention));
    return waitUntil([&] { return delegate->deliveries() > before; });
  }
  std::shared_ptr<test::AccessoryEvents> delegate = std::make_shared<test::AccessoryEvents>();
  VelmoraObjC accessory;
};

// Construction installs a fresh `lock` and analysers, resets the chip flags
// and logs its version.  Each pass delivers the raw samples in order beside
// the latest value of each key and empties the dictionary; values decoded
// while stopped wait for the next start.  A new interval takes effect at once,
// also in the pause under way (a unit slip: an hour for 0.1 s).  A pass with a
// gone delegate empties the dictionary too.  A NaN interval pauses the
// minimum: no busy loop, no sample lost or repeated.
TEST(Dispatch, DeliversEachPassAndTheIntervalTakesEffectAtOnce) {
  test::LogCapture log;
  isKRT480 = 0;
  sentConfigByte = 1;
  const std::mutex* lockBefore = lock.current();
  const auto hrvBefore = hrv.load();
  Session s;
  EXPECT_TRUE(isKRT480.load() == 1 && sentConfigByte.load() == 0);
  EXPECT_TRUE(lock.current() != lockBefore && hrv.load() != hrvBefore);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"VelmoraObjC: Initialized. Version: 5"});
  s.accessory.setDispatchInterval(3600);
  feed(s.accessory, {0x80, 0x02, 0x00, 0x01, 0x02, 0x1A, 0x04, 0x0A});
  feed(s.accessory, {0x80, 0x02, 0x00, 0x02, 0x80, 0x02, 0x00, 0x03, 0x04, 0x28});
  ASSERT_TRUE(s.accessory.startDispatch());  // the first pass runs at once
  ASSERT_TRUE(waitUntil([&] { return s.delegate->deliveries() == 1; }));
  EXPECT_EQ(s.delegate->maps()[0],
            (Dictionary{{"raw", Value::Array{1, 2, 3}}, {"poorSignal", 26}, {"vScoreAttention", 40}}));
  EXPECT_TRUE(s.accessory.takeData().empty());

  s.accessory.stopDispatch();
  EXPECT_FALSE(s.accessory.connected());
  feed(s.accessory, {0x04, 0x28, 0x80, 0x02, 0xFF, 0xFB});
  ASSERT_TRUE(s.accessory.startDispatch());  // joins the dropped thread, woken from its pause
  ASSERT_TRUE(waitUntil([&] { return s.delegate->deliveries() == 2 && s.accessory.dispatchPasses() == 2; }));
  EXPECT_EQ(s.delegate->maps()[1], (Dictionary{{"vScoreAttention", 40}, {"raw", Value::Array{-5}}}));
  feed(s.accessory, PacketEncoder::attentionRow(1));
  s.accessory.setDispatchInterval(0.1);
  ASSERT_TRUE(waitUntil([&] { return s.delegate->deliveries() == 3; }));
  ASSERT_TRUE(s.deliver(2) && s.deliver(3));
  const auto times = s.delegate->times();
  EXPECT_GE(std::chrono::duration<double>(times[4] - times[3]).count(), 0.1);
  s.accessory.setDelegate(std::make_shared<test::AccessoryEvents>());
  feed(s.accessory, PacketEncoder::attentionRow(4));
  const uint64_t passes = s.accessory.dispatchPasses();
  ASSERT_TRUE(waitUntil([&] { return s.accessory.dispatchPasses() >= passes + 2; }));
  s.accessory.setDelegate(s.delegate);
  s.accessory.setDispatchInterval(std::numeric_limits<double>::quiet_NaN());
  const auto start = std::chrono::steady_clock::now();
  const uint64_t passesBefore = s.accessory.dispatchPasses();
  for (int k = 0; k < 2000; ++k) feed(s.accessory, PacketEncoder::rawRow(static_cast<int16_t>(k)));
  Value::Array all;
  std::vector<Dictionary> maps;
  ASSERT_TRUE(waitUntil([&] {
    maps = s.delegate->maps();
    all.clear();
    for (size_t k = 5; k < maps.size(); ++k) {
      all.insert(all.end(), maps[k].at("raw").asArray().begin(), maps[k].at("raw").asArray().end());
    }
    return all.size() >= 2000;
  }));
  for (size_t k = 5; k < maps.size(); ++k) EXPECT_EQ(maps[k].size(), 1u) << "4 went with the gone delegate";
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LE(s.accessory.dispatchPasses() - passesBefore, elapsed / VelmoraObjC::kMinDispatchPause + 2);
  for (int k = 0; k < 2000; ++k) ASSERT_EQ(all.at(static_cast<size_t>(k)), k);
}

// The passes' clock answers the first pass later than a moment, stepping by
// the pause in force, backwards too; before any pause, the clock's epoch.
// passSoon() ends a pause due within its window at once; the pause after it
// is counted from the planned end, and a call further off does nothing, so
// the third pass comes no sooner than two intervals after the first.
TEST(Dispatch, ThePassClockAnswersTheFirstPassAfterAMomentAndAnEarlyPassKeepsIt) {
  using std::chrono::steady_clock;
  std::atomic<bool> connected{false};
  std::mutex mutex;
  std::vector<steady_clock::time_point> passes;
  auto passCount = [&] {
    std::lock_guard<std::mutex> g(mutex);
    return passes.size();
  };
  internal::DispatchThread dispatch(
      [&] {
        std::lock_guard<std::mutex> g(mutex);
        passes.push_back(steady_clock::now());
      },
      connected);
  const auto clock = dispatch.nextPassClock();
  EXPECT_EQ(clock(steady_clock::now()), steady_clock::time_point{});
  dispatch.setInterval(3600);
  ASSERT_TRUE(dispatch.start());
  ASSERT_TRUE(waitUntil([&] { return clock(steady_clock::time_point{}) != steady_clock::time_point{}; }));
  const auto pause = std::chrono::duration_cast<steady_clock::duration>(std::chrono::hours(1));
  const auto next = clock(steady_clock::now());
  const auto tick = steady_clock::duration(1);
  const std::pair<steady_clock::duration, steady_clock::duration> cases[]{
      {-tick, {}}, {{}, pause}, {pause + tick, 2 * pause}, {-pause, {}}, {-pause - tick, -pause}};
  for (auto [after, first] : cases) EXPECT_EQ(clock(next + after) - next, first) << after.count();

  const auto interval = std::chrono::milliseconds(500);
  dispatch.setInterval(0.5);  // the pause under way now ends half a second after the first pass
  ASSERT_TRUE(waitUntil([&] { return clock(steady_clock::now()) < next; }));
  const auto plannedEnd = clock(steady_clock::now());
  dispatch.passSoon(std::chrono::hours(1));
  ASSERT_TRUE(waitUntil([&] { return passCount() == 2; }));
  ASSERT_TRUE(waitUntil([&] {
    dispatch.passSoon(steady_clock::duration::zero());  // asks again and again, always too soon
    return passCount() == 3;
  }));
  dispatch.shutdown();
  EXPECT_LT(passes[1], plannedEnd);
  EXPECT_GE(passes[2], plannedEnd + interval);
}

// The usual controller owns the accessory object and is its delegate; the host
// lets go of it during a delivery, so the dispatch thread ends up destroying
// its own object.  The thread runs at normal priority (0.5 of 0..1) whatever
// its creator's nice value, where the system allows it.
TEST(Dispatch, AControllerThatOwnsTheObjectMayBeLetGoDuringADelivery) {
  struct Controller : test::AccessoryEvents {
    VelmoraObjC accessory;
  };
  EXPECT_EQ(platform::niceForPriority(0.75), -10);
  EXPECT_EQ(platform::niceForPriority(-1.0), 19);
  ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5), 0);
  bool mayRaise = false;
  std::thread([&] { mayRaise = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 0) == 0; }).join();
  std::atomic<int> nice{-100};
  for (bool stopFirst : {false, true}) {
    auto controller = std::make_shared<Controller>();
    const std::weak_ptr<Controller> weak = controller;
    std::promise<void> inCall, letGo;
    controller->onData = [&, letGoDone = letGo.get_future().share()] {
      nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
      inCall.set_value();
      letGoDone.wait();
    };
    controller->accessory.setDelegate(controller);
    controller->accessory.resetParser();
    feed(controller->accessory, PacketEncoder::attentionRow(1));
    controller->accessory.startDispatch();  // the default interval
    inCall.get_future().wait();
    EXPECT_EQ(nice.load(), mayRaise ? 0 : 5);
    if (stopFirst) controller->accessory.stopDispatch();
    controller.reset();  // the dispatch thread holds the last reference now
    letGo.set_value();
    EXPECT_TRUE(waitUntil([&] { return weak.expired(); })) << stopFirst;
  }
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 0);  // where allowed
}

// A stop and start from inside a pass keep the thread.  A restart from inside
// the last pass of a thread that the host is joining (restarting from another
// thread) neither hangs the host nor keeps the thread running.  The watchdog
// also catches a destruction that waits out a pause.
TEST(Dispatch, RestartsFromInsideAPassKeepOneThread) {
  for (bool hostRestarts : {false, true}) {
    test::Watchdog watchdog(std::chrono::seconds(60));
    Session s;
    s.accessory.setDispatchInterval(0.001);
    std::promise<void> inCall;
    std::atomic<bool> hostStopped{false};
    std::atomic<int> calls{0};
    s.delegate->onData = [&] {
      if (calls++ != 0) return;
      if (hostRestarts) {
        inCall.set_value();
        waitUntil([&] { return hostStopped.load(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the host is joining this thread by now
      } else {
        s.accessory.stopDispatch();
      }
      s.accessory.startDispatch();
    };
    feed(s.accessory, PacketEncoder::attentionRow(1));
    s.accessory.startDispatch();
    if (hostRestarts) {
      inCall.get_future().wait();
      s.accessory.stopDispatch();
      hostStopped = true;
      s.accessory.startDispatch();
    }
    ASSERT_TRUE(waitUntil([&] { return calls.load() == 1; }));
    EXPECT_TRUE(s.accessory.connected());
    ASSERT_TRUE(s.deliver(2)) << hostRestarts;
    s.accessory.setDispatchInterval(std::numeric_limits<double>::infinity());
    if (hostRestarts) s.accessory.stopDispatch();
  }
}

// Every callback of the accessory object's and the HRV analyser's delegates
// constructs both (each replaces `lock`, which three callbacks run under) and
// throws: nothing waits, each throw is logged, the library goes on.  While a
// thread holds `lock` after replacing it, no other thread gets in.
TEST(Callbacks, ConstructingAndThrowingInsideCallbacksIsLoggedAndTheLibraryGoesOn) {
  struct Host : test::AccessoryEvents, VLHRVDelegate {
    void accessoryDidConnect(const std::string&) override { build("connect"); }
    void accessoryDidDisconnect() override {
      ++built;
      throw 42;
    }
    void accessoryError(int32_t) override { build("error"); }
    void dataReceived(const Dictionary&) override { build("data"); }
    void rrDetected(int32_t) override { build("rr"); }
    void calculationDone(const Dictionary&) override { build("done"); }
    void build(const char* what) {
      { VelmoraObjC accessory; VLHrv analyser; }
      ++built;
      throw std::runtime_error(what);
    }
    std::atomic<int> built{0};
  };
  test::Watchdog watchdog(std::chrono::seconds(60));
  test::LogCapture log;
  auto host = std::make_shared<Host>();
  Session s;
  s.accessory.setDelegate(host);
  const auto port = ZPRSerialPort::serialPortWithDevice(test::Pty().device("KovaThrow"));
  s.accessory.serialPortWasOpened(*port);
  s.accessory.serialPortWasRemovedFromSystem(*port);
  s.accessory.serialPortWasClosed(*port);
  s.accessory.serialPortConnectionInterrupt();
  s.accessory.sendBytes(nullptr, 0);  // nothing makes it ready to send
  s.accessory.setDispatchInterval(0.001);
  s.accessory.startDispatch();
  for (int v = 1; v <= 2; ++v) {
    feed(s.accessory, PacketEncoder::attentionRow(static_cast<uint8_t>(v)));
    ASSERT_TRUE(waitUntil([&] { return host->built.load() == 4 + v; })) << "deliveries go on";
  }
  VLHrv analyser;
  analyser.setDelegate(host);
  int reported = 0;
  {
    std::lock_guard<SwappableMutex> g(lock);  // as the decoder calls addData: an ECG-like pulse
    for (int i = 0; i < 4096; ++i) reported += analyser.addData(i % 400 < 20 ? -5000 : 0) > 0;
  }
  EXPECT_GT(reported, 0) << "addData still returns the intervals";
  const std::vector<int32_t> rr(65, 1000);
  for (int k = 0; k < 2; ++k) {
    ASSERT_EQ(analyser.startCalculation(rr.data(), 65), 0) << "the previous calculation ended";
    ASSERT_TRUE(waitUntil([&] { return !analyser.isCalculating(); }));
  }
  EXPECT_EQ(host->built.load(), 6 + reported + 2);

  bool in = true;
  lock.lock();
  lock.replace();
  std::thread([&] { in = lock.try_lock(); }).join();
  lock.unlock();
  EXPECT_FALSE(in) << "the hold passed to the fresh mutex";
  std::thread([&] {
    if ((in = lock.try_lock())) lock.unlock();
  }).join();
  EXPECT_TRUE(in);
  const std::string prefix = "VLAccessory: the delegate's ";
  EXPECT_EQ(log.count("Not ready to send."), 1u);
  EXPECT_EQ(log.count(prefix + "accessoryDidConnect threw: connect"), 1u);
  EXPECT_EQ(log.count(prefix + "accessoryError threw: error"), 2u);
  EXPECT_EQ(log.count(prefix + "accessoryDidDisconnect threw: an exception of unknown type"), 1u);
  EXPECT_EQ(log.count(prefix + "dataReceived threw: data"), 2u);
  EXPECT_EQ(log.count("VLHrv: the delegate's rrDetected threw: rr"), static_cast<size_t>(reported));
  EXPECT_EQ(log.count("VLHrv: the delegate's calculationDone threw: done"), 2u);
}

}  // namespace
}  // namespace velmora
