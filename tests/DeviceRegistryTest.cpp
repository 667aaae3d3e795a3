// The registry over in-memory sources: listing and lookup, when the sources
// start and stop, delivery on the subscribing thread's run loop (removals
// first), and the lifetime of subscriptions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/DeviceRegistry.h"
#include "platform/RunLoop.h"
#include "support/TempPty.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;
using Devices = std::vector<DeviceRef>;

// An in-memory source that reports from a thread of its own, as real ones do.
struct FakeSource : DeviceSource {
  FakeSource(Devices d, std::atomic<int>& started, std::atomic<int>& stopped) : devices(d), starts(started), stops(stopped) {}
  Devices enumerate() override { return devices; }
  void start(ChangeHandler handler) override { onChange = std::move(handler), ++starts; }
  void stop() override { ++stops; }
  void emit(Devices arrived, Devices removed = {}) { std::thread([&] { onChange(arrived, removed); }).join(); }

  Devices devices;
  std::atomic<int>& starts;
  std::atomic<int>& stops;
  ChangeHandler onChange;
};

class DeviceRegistryTest : public ::testing::Test {
 protected:
  DeviceRegistryTest() {
    std::ofstream(dir.path() + "/ttyThird") << "";
    std::vector<std::unique_ptr<DeviceSource>> sources;
    sources.push_back(std::make_unique<FakeSource>(Devices{first, second}, starts, stops));
    sources.push_back(std::make_unique<FakeSource>(Devices{third}, starts, stops));
    a = static_cast<FakeSource*>(sources[0].get());
    b = static_cast<FakeSource*>(sources[1].get());
    registry = std::make_unique<DeviceRegistry>(std::move(sources));
  }
  static DeviceRef device(const std::string& path, std::vector<std::string> others, const std::string& name) {
    return std::make_shared<const Device>(path, std::move(others), name);
  }
  // A handler that records "+name" or "-name" with the thread it ran on.
  DeviceRegistry::Handler record(char sign) {
    return [this, sign](const Devices& d) {
      seen.push_back(sign + d.at(0)->name() + (std::this_thread::get_id() == id ? "" : " elsewhere"));
    };
  }
  static bool runUntil(const std::function<bool()>& done) { return RunLoop::current().runUntil(done, 5000ms); }

  test::TempDir dir;
  DeviceRef first = device("/dev/ttyUSB0", {"/dev/serial/by-id/usb-first"}, "first");
  DeviceRef second = device("/dev/ttyUSB1", {}, "second");
  DeviceRef third = device(dir.path() + "/ttyThird", {"/dev/pts/7"}, "third");
  std::atomic<int> starts{0}, stops{0};
  FakeSource* a;
  FakeSource* b;
  std::unique_ptr<DeviceRegistry> registry;
  std::vector<std::string> seen;
  std::thread::id id = std::this_thread::get_id();
};

TEST_F(DeviceRegistryTest, ListsSourcesInOrderFindsDevicesByAnyPathAndStartsSourcesOnce) {
  EXPECT_EQ(registry->serialDevices(), (Devices{first, second, third}));
  EXPECT_EQ(registry->deviceFromPath("/dev/ttyUSB1"), second);
  EXPECT_EQ(registry->deviceFromPath("/dev/serial/by-id/usb-first"), first);
  const std::string alias = dir.path() + "/my-port";  // another name of a path
  ASSERT_EQ(::symlink(third->calloutPath().c_str(), alias.c_str()), 0);
  EXPECT_EQ(registry->deviceFromPath(alias), third);
  EXPECT_EQ(registry->deviceFromPath("/dev/ttyUSB9"), nullptr);
  EXPECT_EQ(registry->deviceFromPath(""), nullptr);

  EXPECT_EQ(starts, 0);  // listing alone starts nothing
  auto arrivals = registry->subscribeArrivals(record('+'));
  auto removals = registry->subscribeRemovals(record('-'));
  EXPECT_EQ(starts, 2);
  registry.reset();
  EXPECT_EQ(stops, 2);
}

TEST_F(DeviceRegistryTest, DeliversOnTheSubscribingThreadsRunLoopRemovalsFirst) {
  auto arrivals = registry->subscribeArrivals(record('+'));
  auto removals = registry->subscribeRemovals(record('-'));
  b->emit({device(third->calloutPath(), {"/dev/pts/9"}, "third2")}, {third});  // a link replaced
  a->emit({device("/dev/ttyACM0", {}, "fresh")});
  EXPECT_TRUE(seen.empty());  // nothing runs until this thread runs its loop
  ASSERT_TRUE(runUntil([&] { return seen.size() == 3; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"-third", "+third2", "+fresh"}));

  // Subscribed on another thread: handled there; once that thread has
  // ended its events are dropped, and the subscription ends from here.
  std::atomic<int> delivered{0};
  std::thread::id handledOn;
  std::unique_ptr<DeviceRegistry::Subscription> remote;
  std::thread subscriber([&] {
    remote = registry->subscribeArrivals([&](const Devices&) { handledOn = std::this_thread::get_id(), ++delivered; });
    a->emit({first});
    RunLoop::current().runUntil([&] { return delivered > 0; }, 5000ms);
    EXPECT_EQ(handledOn, std::this_thread::get_id());
  });
  subscriber.join();
  a->emit({second});
  remote.reset();
  EXPECT_EQ(delivered, 1);
}

TEST_F(DeviceRegistryTest, AnEndedSubscriptionGetsNothingNotEvenWhatWasPosted) {
  int selfEnding = 0;
  std::unique_ptr<DeviceRegistry::Subscription> self, gone = registry->subscribeArrivals(record('x'));
  self = registry->subscribeArrivals([&](const Devices&) { ++selfEnding, self.reset(); });  // may end itself
  auto kept = registry->subscribeArrivals(record('+'));
  a->emit({first});  // posted to all three, not yet run
  gone.reset();
  a->emit({second});
  ASSERT_TRUE(runUntil([&] { return seen.size() == 2; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"+first", "+second"}));
  EXPECT_EQ(selfEnding, 1);

  // Ended from another thread while its handler runs: the end waits for it.
  std::atomic<bool> inHandler{false}, ended{false};
  bool endedWhileRunning = true;
  kept = registry->subscribeArrivals([&](const Devices&) {
    inHandler = true;
    auto until = std::chrono::steady_clock::now() + 50ms;  // an end that did not wait returns meanwhile
    while (!ended && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    endedWhileRunning = ended;
  });
  a->emit({third});
  std::thread ender([&] {
    while (!inHandler) std::this_thread::yield();
    kept.reset();
    ended = true;
  });
  ASSERT_TRUE(runUntil([&] { return ended.load(); }));
  ender.join();
  EXPECT_FALSE(endedWhileRunning);
}

}  // namespace
}  // namespace velmora::platform
