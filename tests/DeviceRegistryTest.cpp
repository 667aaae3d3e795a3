#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/DeviceFolder.h"
#include "platform/DeviceRegistry.h"
#include "platform/FolderDeviceSource.h"
#include "platform/RunLoop.h"
#include "support/TempPty.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;
using test::TempDir;
using test::TempPty;

DeviceRef device(const std::string& path, std::vector<std::string> others = {}, const std::string& name = "dev") {
  return std::make_shared<const Device>(path, std::move(others), name);
}

// An in-memory source; emit() reports a change from a thread of its own, as
// real sources do.
class FakeSource : public DeviceSource {
 public:
  struct Counters {
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
  };
  FakeSource(std::vector<DeviceRef> devices, std::shared_ptr<Counters> counters)
      : devices_(std::move(devices)), counters_(std::move(counters)) {}

  std::vector<DeviceRef> enumerate() override {
    std::lock_guard<std::mutex> g(m_);
    return devices_;
  }
  void start(ChangeHandler onChange) override {
    std::lock_guard<std::mutex> g(m_);
    onChange_ = std::move(onChange);
    ++counters_->starts;
  }
  void stop() override { ++counters_->stops; }

  void emit(std::vector<DeviceRef> arrived, std::vector<DeviceRef> removed) {
    ChangeHandler handler;
    {
      std::lock_guard<std::mutex> g(m_);
      handler = onChange_;
    }
    ASSERT_TRUE(handler) << "emit() before start()";
    std::thread([&] { handler(arrived, removed); }).join();
  }

 private:
  std::mutex m_;
  std::vector<DeviceRef> devices_;
  ChangeHandler onChange_;
  std::shared_ptr<Counters> counters_;
};

// Two fake sources behind a registry.
struct FakeRegistry {
  FakeRegistry() {
    auto a = std::make_unique<FakeSource>(std::vector<DeviceRef>{first, second}, counters);
    auto b = std::make_unique<FakeSource>(std::vector<DeviceRef>{third}, counters);
    sourceA = a.get();
    sourceB = b.get();
    std::vector<std::unique_ptr<DeviceSource>> sources;
    sources.push_back(std::move(a));
    sources.push_back(std::move(b));
    registry = std::make_unique<DeviceRegistry>(std::move(sources));
  }

  DeviceRef first = device("/dev/ttyUSB0", {"/dev/serial/by-id/usb-first"}, "first");
  DeviceRef second = device("/dev/ttyUSB1", {}, "second");
  DeviceRef third = device("/tmp/devices/tty.third", {"/dev/pts/7"}, "third");
  std::shared_ptr<FakeSource::Counters> counters = std::make_shared<FakeSource::Counters>();
  FakeSource* sourceA;
  FakeSource* sourceB;
  std::unique_ptr<DeviceRegistry> registry;
};

// What a handler saw, on which thread.
struct Received {
  std::vector<std::vector<DeviceRef>> batches;
  std::vector<std::thread::id> threads;
  DeviceRegistry::Handler handler() {
    return [this](const std::vector<DeviceRef>& devices) {
      batches.push_back(devices);
      threads.push_back(std::this_thread::get_id());
    };
  }
};

bool runUntil(const std::function<bool()>& done) { return RunLoop::current().runUntil(done, 5000ms); }

TEST(DeviceRegistry, ListsSourcesInOrderAndFindsDevicesByAnyPath) {
  FakeRegistry f;
  EXPECT_EQ(f.registry->serialDevices(), (std::vector<DeviceRef>{f.first, f.second, f.third}));

  EXPECT_EQ(f.registry->deviceFromPath("/dev/ttyUSB1"), f.second);
  EXPECT_EQ(f.registry->deviceFromPath("/dev/serial/by-id/usb-first"), f.first);
  EXPECT_EQ(f.registry->deviceFromPath("/dev/pts/7"), f.third);
  EXPECT_EQ(f.registry->deviceFromPath("/dev/ttyUSB9"), nullptr);
  EXPECT_EQ(f.registry->deviceFromPath(""), nullptr);
  // Listing alone does not start the sources.
  EXPECT_EQ(f.counters->starts, 0);
}

TEST(DeviceRegistry, SourcesStartOnceAtTheFirstSubscriptionAndStopWithTheRegistry) {
  FakeRegistry f;
  auto arrivals = f.registry->subscribeArrivals([](const std::vector<DeviceRef>&) {});
  EXPECT_EQ(f.counters->starts, 2);
  auto removals = f.registry->subscribeRemovals([](const std::vector<DeviceRef>&) {});
  EXPECT_EQ(f.counters->starts, 2);
  EXPECT_EQ(f.counters->stops, 0);
  f.registry.reset();
  EXPECT_EQ(f.counters->stops, 2);
}

TEST(DeviceRegistry, DeliversEachKindOnTheSubscribingThreadsRunLoop) {
  FakeRegistry f;
  Received arrived, removed;
  auto a = f.registry->subscribeArrivals(arrived.handler());
  auto r = f.registry->subscribeRemovals(removed.handler());

  auto fresh = device("/dev/ttyACM0", {}, "fresh");
  f.sourceB->emit({fresh}, {});
  f.sourceA->emit({}, {f.second});
  // Nothing runs until this thread runs its loop.
  EXPECT_TRUE(arrived.batches.empty());
  ASSERT_TRUE(runUntil([&] { return arrived.batches.size() == 1 && removed.batches.size() == 1; }));
  EXPECT_EQ(arrived.batches[0], std::vector<DeviceRef>{fresh});
  EXPECT_EQ(removed.batches[0], std::vector<DeviceRef>{f.second});
  EXPECT_EQ(arrived.threads[0], std::this_thread::get_id());
  EXPECT_EQ(removed.threads[0], std::this_thread::get_id());
}

TEST(DeviceRegistry, RemovalOfAReplacedDeviceComesBeforeItsArrival) {
  FakeRegistry f;
  std::vector<std::string> order;
  auto a = f.registry->subscribeArrivals([&](const std::vector<DeviceRef>& d) { order.push_back("+" + d[0]->name()); });
  auto r = f.registry->subscribeRemovals([&](const std::vector<DeviceRef>& d) { order.push_back("-" + d[0]->name()); });
  auto replacement = device(f.third->calloutPath(), {"/dev/pts/9"}, "third2");
  f.sourceB->emit({replacement}, {f.third});
  ASSERT_TRUE(runUntil([&] { return order.size() == 2; }));
  EXPECT_EQ(order, (std::vector<std::string>{"-third", "+third2"}));
}

TEST(DeviceRegistry, SubscriberOnAnotherThreadGetsEventsThere) {
  FakeRegistry f;
  std::atomic<bool> subscribed{false};
  std::atomic<int> delivered{0};
  std::thread::id handlerThread;
  std::thread::id subscriberThread;
  std::unique_ptr<DeviceRegistry::Subscription> subscription;
  std::thread subscriber([&] {
    subscriberThread = std::this_thread::get_id();
    subscription = f.registry->subscribeArrivals([&](const std::vector<DeviceRef>&) {
      handlerThread = std::this_thread::get_id();
      ++delivered;
    });
    subscribed = true;
    RunLoop::current().runUntil([&] { return delivered.load() > 0; }, 5000ms);
  });
  while (!subscribed) std::this_thread::yield();
  f.sourceA->emit({f.first}, {});
  subscriber.join();
  ASSERT_EQ(delivered, 1);
  EXPECT_EQ(handlerThread, subscriberThread);

  // The subscribing thread has ended: its events are dropped, and the
  // subscription can still be ended from here.
  f.sourceA->emit({f.second}, {});
  subscription.reset();
  EXPECT_EQ(delivered, 1);
}

TEST(DeviceRegistry, DestroyedSubscriptionGetsNothingEvenWhenAlreadyPosted) {
  FakeRegistry f;
  Received dropped, control;
  auto gone = f.registry->subscribeArrivals(dropped.handler());
  auto kept = f.registry->subscribeArrivals(control.handler());
  f.sourceA->emit({f.first}, {});  // posted to both, not yet run
  gone.reset();
  ASSERT_TRUE(runUntil([&] { return control.batches.size() == 1; }));
  f.sourceA->emit({f.second}, {});
  ASSERT_TRUE(runUntil([&] { return control.batches.size() == 2; }));
  EXPECT_TRUE(dropped.batches.empty());
}

TEST(DeviceRegistry, HandlerMayEndItsOwnSubscription) {
  FakeRegistry f;
  int calls = 0;
  Received control;
  std::unique_ptr<DeviceRegistry::Subscription> self;
  self = f.registry->subscribeArrivals([&](const std::vector<DeviceRef>&) {
    ++calls;
    self.reset();
  });
  auto kept = f.registry->subscribeArrivals(control.handler());
  f.sourceA->emit({f.first}, {});
  f.sourceA->emit({f.second}, {});
  ASSERT_TRUE(runUntil([&] { return control.batches.size() == 2; }));
  EXPECT_EQ(calls, 1);
}

TEST(DeviceRegistry, DestroyingFromAnotherThreadWaitsForTheHandlerUnderWay) {
  FakeRegistry f;
  std::atomic<bool> inHandler{false};
  std::atomic<bool> destroyerStarted{false};
  std::atomic<bool> destroyed{false};
  bool destroyedWhileRunning = true;
  std::unique_ptr<DeviceRegistry::Subscription> s;
  s = f.registry->subscribeArrivals([&](const std::vector<DeviceRef>&) {
    inHandler = true;
    while (!destroyerStarted) std::this_thread::yield();
    // A destructor that did not wait would return within this window.
    auto until = std::chrono::steady_clock::now() + 50ms;
    while (!destroyed && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    destroyedWhileRunning = destroyed;
  });
  f.sourceA->emit({f.first}, {});
  std::thread destroyer([&] {
    while (!inHandler) std::this_thread::yield();
    destroyerStarted = true;
    s.reset();
    destroyed = true;
  });
  ASSERT_TRUE(runUntil([&] { return destroyed.load(); }));
  destroyer.join();
  EXPECT_FALSE(destroyedWhileRunning);
}

// The registry over a real device folder, with real ptys.
class DeviceRegistryFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceFolder::setPath(dir.path());
    std::vector<std::unique_ptr<DeviceSource>> sources;
    sources.push_back(std::make_unique<FolderDeviceSource>());
    registry = std::make_unique<DeviceRegistry>(std::move(sources));
  }
  void TearDown() override {
    registry.reset();
    DeviceFolder::setPath("");
  }

  TempDir dir;
  std::unique_ptr<DeviceRegistry> registry;
};

TEST_F(DeviceRegistryFolderTest, PublishedPtyArrivesAndLeaves) {
  TempPty pty;
  Received arrived, removed;
  auto a = registry->subscribeArrivals(arrived.handler());
  auto r = registry->subscribeRemovals(removed.handler());

  std::string link = DeviceFolder::publish("Headset", pty.path());
  ASSERT_TRUE(runUntil([&] { return !arrived.batches.empty(); }));
  ASSERT_EQ(arrived.batches[0].size(), 1u);
  DeviceRef d = arrived.batches[0][0];
  EXPECT_EQ(arrived.threads[0], std::this_thread::get_id());
  EXPECT_EQ(d->name(), "Headset");
  EXPECT_EQ(d->calloutPath(), link);
  EXPECT_EQ(d->otherPaths(), std::vector<std::string>{pty.path()});
  EXPECT_EQ(d->stringProperty(kTTYDeviceKey), "Headset");
  EXPECT_EQ(registry->deviceFromPath(link), d);
  EXPECT_EQ(registry->deviceFromPath(pty.path()), d);
  // A link of the user's own to the pty finds it too; a dangling one nothing.
  std::string alias = dir.path() + "/my-headset";
  ASSERT_EQ(::symlink(pty.path().c_str(), alias.c_str()), 0);
  EXPECT_EQ(registry->deviceFromPath(alias), d);
  EXPECT_EQ(registry->deviceFromPath(dir.path() + "/missing"), nullptr);

  DeviceFolder::unpublish("Headset");
  ASSERT_TRUE(runUntil([&] { return !removed.batches.empty(); }));
  EXPECT_EQ(removed.batches[0], std::vector<DeviceRef>{d});
  EXPECT_EQ(registry->deviceFromPath(link), nullptr);
  EXPECT_EQ(arrived.batches.size(), 1u);
}

TEST(DeviceRegistryShared, IsOneObjectWhateverThreadAsksFirst) {
  DeviceRegistry* seen[2] = {nullptr, nullptr};
  std::thread t0([&] { seen[0] = &DeviceRegistry::shared(); });
  std::thread t1([&] { seen[1] = &DeviceRegistry::shared(); });
  t0.join();
  t1.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], &DeviceRegistry::shared());
}

}  // namespace
}  // namespace velmora::platform
