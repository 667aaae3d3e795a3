// The port manager over a real device folder and real ptys: the initial
// listing, arrivals and removals with their notifications and list changes,
// sleep and wake, termination, the registry callbacks' context check, and
// creation from several threads at once.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "support/LogCapture.h"
#include "support/PortManagerTestSupport.h"

namespace velmora {
namespace {

using platform::ChangeKind;
using test::DeviceLock;
using test::ListChangeLog;
using test::NotificationLog;
using test::RecordingDelegate;
using test::namesOf;
using test::runMainUntil;
using Names = std::vector<std::string>;

class PortManagerTest : public test::DeviceFolderTest {
 protected:
  static ZPRSerialPortManager& manager() { return ZPRSerialPortManager::sharedSerialPortManager(); }

  static void post(const char* name) {
    platform::Notification n;
    n.name = name;
    platform::NotificationCenter::shared().post(n);
  }

  // Opens `port` with a fresh recording delegate and waits for the report.
  static std::shared_ptr<RecordingDelegate> openWithRecorder(const std::shared_ptr<ZPRSerialPort>& port) {
    auto delegate = std::make_shared<RecordingDelegate>();
    port->setDelegate(delegate);
    port->open();
    EXPECT_TRUE(port->isOpen()) << port->name();
    EXPECT_TRUE(runMainUntil([&] { return delegate->count("opened") == 1; })) << port->name();
    return delegate;
  }
};

TEST_F(PortManagerTest, ListsThePresentDevicesInRegistryOrderWithoutANotification) {
  publish("KovaB");
  publish("Alpha");
  NotificationLog connected(ZPRSerialPortsWereConnectedNotification, ZPRConnectedSerialPortsKey);
  NotificationLog disconnected(ZPRSerialPortsWereDisconnectedNotification, ZPRDisconnectedSerialPortsKey);

  const SerialPortList ports = manager().availablePorts();
  ASSERT_EQ(namesOf(ports), (Names{"Alpha", "KovaB"}));
  EXPECT_EQ(ports[0]->path(), linkPath("Alpha"));
  EXPECT_EQ(ports[0]->IOKitDevice()->otherPaths(), Names{pty("Alpha").path()});
  EXPECT_EQ(ports[1]->path(), linkPath("KovaB"));
  EXPECT_EQ(manager().countOfAvailablePorts(), 2u);
  EXPECT_EQ(manager().objectInAvailablePortsAtIndex(1), ports[1]);
  EXPECT_EQ(manager().objectInAvailablePortsAtIndex(2), nullptr);
  // A client asking for the device by either path reaches the listed object.
  EXPECT_EQ(ZPRSerialPort::serialPortWithPath(pty("KovaB").path()), ports[1]);
  EXPECT_EQ(&ZPRSerialPortManager::sharedSerialPortManager(), &manager());

  // The first thing announced is a later arrival, not the initial ports.
  publish("Marker");
  ASSERT_TRUE(runMainUntil([&] { return connected.count() > 0; }));
  ASSERT_EQ(connected.count(), 1u);
  EXPECT_EQ(namesOf(connected.entries()[0].ports), Names{"Marker"});
  EXPECT_EQ(disconnected.count(), 0u);
  EXPECT_TRUE(manager().portsToReopenAfterSleep().empty());
}

TEST_F(PortManagerTest, AnArrivalIsAppendedAndAnnouncedWithExactlyItsPort) {
  publish("Mid");
  ZPRSerialPortManager& m = manager();
  ListChangeLog changes(m);
  NotificationLog connected(ZPRSerialPortsWereConnectedNotification, ZPRConnectedSerialPortsKey);

  publish("Aardvark");  // first in the folder's order, yet appended
  ASSERT_TRUE(runMainUntil([&] { return connected.count() > 0; }));
  const SerialPortList ports = m.availablePorts();
  ASSERT_EQ(namesOf(ports), (Names{"Mid", "Aardvark"}));
  const auto entry = connected.entries()[0];
  ASSERT_EQ(entry.ports.size(), 1u);
  EXPECT_EQ(entry.ports[0], ports[1]);
  EXPECT_EQ(entry.sender, &m);
  EXPECT_TRUE(entry.onMainThread);

  const auto seen = changes.changes();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].kind, ChangeKind::Insertion);
  EXPECT_EQ(seen[0].indexes, std::vector<size_t>{1});
}

TEST_F(PortManagerTest, AnArrivalOfListedDevicesChangesNothingAndAnnouncesAnEmptyList) {
  publish("KovaOne");
  ZPRSerialPortManager& m = manager();
  const SerialPortList before = m.availablePorts();
  ASSERT_EQ(before.size(), 1u);
  ListChangeLog changes(m);
  NotificationLog connected(ZPRSerialPortsWereConnectedNotification, ZPRConnectedSerialPortsKey);

  ZPRSerialPortManagerPortsPublishedNotificationCallback(&m, {before[0]->IOKitDevice()});
  ASSERT_EQ(connected.count(), 1u);  // posted synchronously on this (main) thread
  EXPECT_TRUE(connected.entries()[0].ports.empty());
  EXPECT_EQ(m.availablePorts(), before);
  EXPECT_TRUE(changes.changes().empty());

  // One event with a new device twice and a listed one: only the new port,
  // once, in one insertion.
  test::Pty extra;
  auto device = std::make_shared<const platform::Device>(extra.path(), Names{}, "Extra");
  ZPRSerialPortManagerPortsPublishedNotificationCallback(&m, {device, before[0]->IOKitDevice(), device});
  ASSERT_EQ(connected.count(), 2u);
  EXPECT_EQ(namesOf(connected.entries()[1].ports), Names{"Extra"});
  EXPECT_EQ(namesOf(m.availablePorts()), (Names{"KovaOne", "Extra"}));
  ASSERT_EQ(changes.changes().size(), 1u);
  EXPECT_EQ(changes.changes()[0].indexes, std::vector<size_t>{1});
}

TEST_F(PortManagerTest, RemovingTheDeviceOfAnOpenPortClosesItAndAnnouncesIt) {
  publish("First");
  publish("KovaOne");
  const auto port = listedPort("KovaOne");
  ASSERT_TRUE(port);
  const auto delegate = openWithRecorder(port);
  ListChangeLog changes(manager());
  NotificationLog disconnected(ZPRSerialPortsWereDisconnectedNotification, ZPRDisconnectedSerialPortsKey);

  // The pty stays: only the registry says the device has gone.
  platform::DeviceFolder::unpublish("KovaOne");
  ASSERT_TRUE(runMainUntil([&] { return disconnected.count() == 1 && delegate->count("closed") == 1; }));
  EXPECT_EQ(delegate->kinds(), (Names{"opened", "removed", "closed"}));
  EXPECT_TRUE(delegate->allOnMainThread());
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(namesOf(manager().availablePorts()), Names{"First"});
  EXPECT_EQ(disconnected.entries()[0].ports, SerialPortList{port});
  EXPECT_EQ(disconnected.entries()[0].sender, &manager());
  const auto seen = changes.changes();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].kind, ChangeKind::Removal);
  EXPECT_EQ(seen[0].indexes, std::vector<size_t>{1});
}

TEST_F(PortManagerTest, SleepClosesAndRemembersOnlyOpenPortsAndWakeReopensThem) {
  publish("KovaA");
  publish("KovaB");
  publish("KovaC");
  const auto a = listedPort("KovaA");
  const auto b = listedPort("KovaB");
  const auto c = listedPort("KovaC");
  ASSERT_TRUE(a && b && c);
  const auto da = openWithRecorder(a);
  const auto db = openWithRecorder(b);
  const auto dc = std::make_shared<RecordingDelegate>();
  c->setDelegate(dc);

  post(platform::kSystemWillSleepNotification);
  EXPECT_FALSE(a->isOpen());
  EXPECT_FALSE(b->isOpen());
  EXPECT_EQ(manager().portsToReopenAfterSleep(), (SerialPortList{a, b}));

  {
    // B cannot be opened at wake: it is dropped from the list all the same,
    // and its delegate hears why.
    DeviceLock held(pty("KovaB").path());
    post(platform::kSystemDidWakeNotification);
    EXPECT_TRUE(a->isOpen());
    EXPECT_FALSE(b->isOpen());
    EXPECT_TRUE(manager().portsToReopenAfterSleep().empty());
  }
  ASSERT_TRUE(runMainUntil([&] { return da->count("opened") == 2 && db->count("error") == 1; }));
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_EQ(da->kinds(), (Names{"opened", "closed", "opened"}));
  // The failed open reports at once on this thread, ahead of the close
  // report queued at sleep.
  EXPECT_EQ(db->kinds(), (Names{"opened", "error", "closed"}));
  for (const auto& e : db->events()) {
    if (e.kind == "error") {
      EXPECT_EQ(e.errorCode, EWOULDBLOCK);
    }
  }
  EXPECT_TRUE(dc->kinds().empty());
  EXPECT_FALSE(c->isOpen());
}

TEST_F(PortManagerTest, TerminationHandlesEveryPortAsRemovedAndEmptiesTheList) {
  publish("KovaA");
  publish("KovaB");
  const auto a = listedPort("KovaA");
  const auto b = listedPort("KovaB");
  ASSERT_TRUE(a && b);
  const auto da = openWithRecorder(a);
  const auto db = std::make_shared<RecordingDelegate>();
  b->setDelegate(db);
  ListChangeLog changes(manager());

  post(platform::kApplicationWillTerminateNotification);
  EXPECT_TRUE(manager().availablePorts().empty());
  ASSERT_EQ(changes.changes().size(), 1u);
  EXPECT_EQ(changes.changes()[0].kind, ChangeKind::Setting);

  ASSERT_TRUE(runMainUntil([&] { return da->count("closed") == 1 && db->count("removed") == 1; }));
  EXPECT_EQ(da->kinds(), (Names{"opened", "removed", "closed"}));
  EXPECT_EQ(db->kinds(), Names{"removed"});  // it was closed already: no second report
  EXPECT_FALSE(a->isOpen());
}

TEST_F(PortManagerTest, RegistryCallbacksWithAnotherContextOnlyLog) {
  publish("KovaOne");
  const auto port = listedPort("KovaOne");
  ASSERT_TRUE(port);
  const auto delegate = openWithRecorder(port);
  NotificationLog connected(ZPRSerialPortsWereConnectedNotification, ZPRConnectedSerialPortsKey);
  NotificationLog disconnected(ZPRSerialPortsWereDisconnectedNotification, ZPRDisconnectedSerialPortsKey);
  test::Pty extra;
  auto fresh = std::make_shared<const platform::Device>(extra.path(), Names{}, "KovaExtra");

  test::LogCapture log;
  int notTheManager = 0;
  ZPRSerialPortManagerPortsPublishedNotificationCallback(&notTheManager, {fresh});
  ZPRSerialPortManagerPortsTerminatedNotificationCallback(&notTheManager, {port->IOKitDevice()});
  ZPRSerialPortManagerPortsTerminatedNotificationCallback(nullptr, {port->IOKitDevice()});
  ASSERT_TRUE(test::letMainQueueCatchUp());

  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 3u);
  auto warning = [](const std::string& callback) {
    return std::regex("Unexpected context object \\S+ in void " + callback +
                      "\\(void \\*, io_iterator_t\\)\\. Context object should be an instance of "
                      "ZPRSerialPortManager");
  };
  EXPECT_TRUE(std::regex_match(lines[0], warning("ZPRSerialPortManagerPortsPublishedNotificationCallback")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], warning("ZPRSerialPortManagerPortsTerminatedNotificationCallback")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], warning("ZPRSerialPortManagerPortsTerminatedNotificationCallback")))
      << lines[2];

  EXPECT_EQ(namesOf(manager().availablePorts()), Names{"KovaOne"});
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(delegate->kinds(), Names{"opened"});
  EXPECT_EQ(connected.count(), 0u);
  EXPECT_EQ(disconnected.count(), 0u);
}

// Threads that ask first, at once, and then end: one manager, subscribed
// once, whose list follows the devices on the main thread all the same.
TEST_F(PortManagerTest, ConcurrentFirstCallsFromOtherThreadsCreateOneFollowingManager) {
  publish("KovaOne");
  NotificationLog connected(ZPRSerialPortsWereConnectedNotification, ZPRConnectedSerialPortsKey);
  constexpr int kThreads = 8;
  std::atomic<int> waiting{kThreads};
  std::vector<ZPRSerialPortManager*> seen(kThreads, nullptr);
  std::vector<size_t> listed(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      seen[static_cast<size_t>(i)] = &ZPRSerialPortManager::sharedSerialPortManager();
      listed[static_cast<size_t>(i)] = seen[static_cast<size_t>(i)]->countOfAvailablePorts();
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(seen[static_cast<size_t>(i)], &manager());
    EXPECT_EQ(listed[static_cast<size_t>(i)], 1u);  // listed at once, on the asking thread
  }

  publish("KovaTwo");
  const auto two = listedPort("KovaTwo");
  ASSERT_TRUE(two);
  // A later arrival as a fence: every event for KovaTwo has been handled by then.
  publish("KovaThree");
  ASSERT_TRUE(listedPort("KovaThree"));
  ASSERT_TRUE(runMainUntil([&] {
    for (const auto& e : connected.entries())
      if (namesOf(e.ports) == Names{"KovaThree"}) return true;
    return false;
  }));
  size_t announcingTwo = 0;
  for (const auto& e : connected.entries()) {
    EXPECT_TRUE(e.onMainThread);
    for (const auto& p : e.ports) announcingTwo += p == two;
  }
  EXPECT_EQ(announcingTwo, 1u);
  EXPECT_EQ(namesOf(manager().availablePorts()), (Names{"KovaOne", "KovaTwo", "KovaThree"}));

  platform::DeviceFolder::unpublish("KovaOne");
  ASSERT_TRUE(runMainUntil([&] { return manager().countOfAvailablePorts() == 2; }));
}

}  // namespace
}  // namespace velmora
