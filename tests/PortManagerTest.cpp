// The port manager over a real device folder and real ptys (and, for a
// Bluetooth port, replayed udev events): the initial listing, arrivals and
// removals with what they announce, sleep, wake and termination, the
// registry callbacks' context check, creation from several threads at once.
#include <gtest/gtest.h>

#include <any>
#include <regex>
#include <thread>

#include "platform/FolderDeviceSource.h"
#include "platform/UdevDeviceSource.h"
#include "support/LogCapture.h"
#include "support/PortManagerTestSupport.h"

namespace velmora {
namespace {

using platform::ChangeKind;
using test::RecordingDelegate;
using test::runMainUntil;
using Names = std::vector<std::string>;

ZPRSerialPortManager& manager() { return ZPRSerialPortManager::sharedSerialPortManager(); }

Names namesOf(const SerialPortList& ports) {
  Names names;
  for (const auto& p : ports) names.push_back(p->name());
  return names;
}

// What the manager announces, in order, as text: changes of "availablePorts"
// ("insert 2", "remove 0", "set") and its notifications ("connected A,B",
// "disconnected A"), marked when not posted by the manager on the main
// thread.  ports(i) is the list the i-th announcement carried.
class Announcements {
 public:
  Announcements() {
    listToken_ = manager().addObserver("availablePorts", [this](const platform::Change& c) {
      std::string text = c.kind == ChangeKind::Setting ? "set" : c.kind == ChangeKind::Insertion ? "insert" : "remove";
      for (size_t i : c.indexes) text += " " + std::to_string(i);
      add(text, {});
    });
    for (const char* word : {"connected", "disconnected"}) {
      const bool up = word[0] == 'c';
      const std::string key = up ? ZPRConnectedSerialPortsKey : ZPRDisconnectedSerialPortsKey;
      const char* name = up ? ZPRSerialPortsWereConnectedNotification : ZPRSerialPortsWereDisconnectedNotification;
      tokens_.push_back(platform::NotificationCenter::shared().addObserver(name, [=, this](const platform::Notification& n) {
        auto ports = std::any_cast<SerialPortList>(n.userInfo.at(key));
        std::string text = std::string(word) + " ";
        for (const auto& port : namesOf(ports)) text += (text.back() == ' ' ? "" : ",") + port;
        if (n.sender != &manager() || !platform::MainQueue::isMainThread()) text += " (not by the manager on main)";
        add(text, ports);
      }));
    }
  }
  ~Announcements() {
    manager().removeObserver(listToken_);
    for (auto t : tokens_) platform::NotificationCenter::shared().removeObserver(t);
  }
  Names texts() const {
    std::lock_guard<std::mutex> g(m_);
    return texts_;
  }
  SerialPortList ports(size_t i) const {
    std::lock_guard<std::mutex> g(m_);
    return lists_.at(i);
  }
  bool waitFor(size_t count) const {
    return runMainUntil([&] { return texts().size() >= count; });
  }

 private:
  void add(std::string text, SerialPortList ports) {
    std::lock_guard<std::mutex> g(m_);
    texts_.push_back(std::move(text));
    lists_.push_back(std::move(ports));
  }
  platform::Observable::Token listToken_ = 0;
  std::vector<platform::NotificationCenter::Token> tokens_;
  mutable std::mutex m_;
  Names texts_;
  std::vector<SerialPortList> lists_;
};

class PortManagerTest : public test::DeviceFolderTest {
 protected:
  static void post(const char* name) { platform::NotificationCenter::shared().post(platform::Notification{name, nullptr, {}}); }

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

TEST_F(PortManagerTest, ListsThePresentDevicesInRegistryOrderAndAppendsArrivals) {
  publish("KovaB");
  publish("Alpha");
  const SerialPortList ports = manager().availablePorts();
  Announcements seen;  // the initial listing announces nothing
  ASSERT_EQ(namesOf(ports), (Names{"Alpha", "KovaB"}));
  EXPECT_EQ(ports[0]->path(), linkPath("Alpha"));
  EXPECT_EQ(ports[0]->IOKitDevice()->otherPaths(), Names{pty("Alpha").path()});
  EXPECT_EQ(manager().countOfAvailablePorts(), 2u);
  EXPECT_EQ(manager().objectInAvailablePortsAtIndex(2), nullptr);
  // A client asking for the device by either path reaches the listed object.
  EXPECT_EQ(ZPRSerialPort::serialPortWithPath(pty("KovaB").path()), ports[1]);

  publish("Aardvark");  // first in the folder's order, yet appended
  ASSERT_TRUE(seen.waitFor(2));
  EXPECT_EQ(seen.texts(), (Names{"insert 2", "connected Aardvark"}));
  EXPECT_EQ(seen.ports(1), SerialPortList{manager().objectInAvailablePortsAtIndex(2)});
}

TEST_F(PortManagerTest, ArrivalsOfListedDevicesAndCallbacksWithAnotherContextAddNothing) {
  publish("KovaOne");
  const SerialPortList before = manager().availablePorts();
  ASSERT_EQ(before.size(), 1u);
  Announcements seen;
  test::Pty extra;
  auto fresh = std::make_shared<const platform::Device>(extra.path(), Names{}, "Extra");
  test::LogCapture log;
  int notTheManager = 0;
  ZPRSerialPortManagerPortsPublishedNotificationCallback(&notTheManager, {fresh});
  ZPRSerialPortManagerPortsTerminatedNotificationCallback(nullptr, {before[0]->IOKitDevice()});
  // Handled and announced at once on this (main) thread; a new device
  // twice beside a listed one is added once.
  ZPRSerialPortManagerPortsPublishedNotificationCallback(&manager(), {before[0]->IOKitDevice()});
  ZPRSerialPortManagerPortsPublishedNotificationCallback(&manager(), {fresh, before[0]->IOKitDevice(), fresh});
  EXPECT_EQ(seen.texts(), (Names{"connected ", "insert 1", "connected Extra"}));
  EXPECT_EQ(namesOf(manager().availablePorts()), (Names{"KovaOne", "Extra"}));

  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const std::string callback = i == 0 ? "Published" : "Terminated";
    EXPECT_TRUE(std::regex_match(lines[i], std::regex("Unexpected context object \\S+ in void ZPRSerialPortManagerPorts" +
                                                      callback + "NotificationCallback\\(void \\*, io_iterator_t\\)\\. "
                                                      "Context object should be an instance of ZPRSerialPortManager")))
        << lines[i];
  }
}

TEST_F(PortManagerTest, RemovingTheDeviceOfAnOpenPortClosesItAndAnnouncesIt) {
  publish("First");
  publish("KovaOne");
  const auto port = listedPort("KovaOne");
  ASSERT_TRUE(port);
  const auto delegate = openWithRecorder(port);
  Announcements seen;

  platform::DeviceFolder::unpublish("KovaOne");  // the pty stays: only the registry says it has gone
  ASSERT_TRUE(runMainUntil([&] { return seen.texts().size() == 2 && delegate->count("closed") == 1; }));
  EXPECT_EQ(delegate->kinds(), (Names{"opened", "removed", "closed"}));
  EXPECT_TRUE(delegate->allOnMainThread());
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(seen.texts(), (Names{"remove 1", "disconnected KovaOne"}));
  EXPECT_EQ(seen.ports(1), SerialPortList{port});
  EXPECT_EQ(namesOf(manager().availablePorts()), Names{"First"});
}

TEST_F(PortManagerTest, SleepClosesOnlyOpenPortsWakeReopensThemAndTerminationRemovesAll) {
  for (const char* name : {"KovaA", "KovaB", "KovaC"}) publish(name);
  const auto a = listedPort("KovaA"), b = listedPort("KovaB"), c = listedPort("KovaC");
  ASSERT_TRUE(a && b && c);
  const auto da = openWithRecorder(a), db = openWithRecorder(b);
  const auto dc = std::make_shared<RecordingDelegate>();
  c->setDelegate(dc);

  post(platform::kSystemWillSleepNotification);
  EXPECT_FALSE(a->isOpen() || b->isOpen());
  EXPECT_EQ(manager().portsToReopenAfterSleep(), (SerialPortList{a, b}));
  {
    // B cannot be opened at wake: dropped from the list all the same, and
    // its delegate hears why (at once, ahead of the close queued at sleep).
    test::DeviceLock held(pty("KovaB").path());
    post(platform::kSystemDidWakeNotification);
    EXPECT_TRUE(a->isOpen());
    EXPECT_FALSE(b->isOpen());
    EXPECT_TRUE(manager().portsToReopenAfterSleep().empty());
  }
  ASSERT_TRUE(runMainUntil([&] { return da->count("opened") == 2 && db->count("closed") == 1; }));
  EXPECT_EQ(da->kinds(), (Names{"opened", "closed", "opened"}));
  EXPECT_EQ(db->kinds(), (Names{"opened", "error", "closed"}));
  EXPECT_EQ(db->events()[1].errorCode, EWOULDBLOCK);

  Announcements seen;
  post(platform::kApplicationWillTerminateNotification);
  EXPECT_TRUE(manager().availablePorts().empty());
  EXPECT_EQ(seen.texts(), Names{"set"});
  ASSERT_TRUE(runMainUntil([&] { return da->count("closed") == 2 && dc->count("removed") == 1; }));
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_EQ(da->kinds(), (Names{"opened", "closed", "opened", "removed", "closed"}));
  EXPECT_EQ(dc->kinds(), Names{"removed"});  // closed already: no close report
  EXPECT_FALSE(a->isOpen() || c->isOpen());
}

// Threads that ask first, at once, and then end: one manager, subscribed
// once, whose list follows the devices on the main thread all the same.
TEST_F(PortManagerTest, ConcurrentFirstCallsFromOtherThreadsCreateOneFollowingManager) {
  publish("KovaOne");
  std::atomic<int> waiting{8};
  std::vector<std::pair<ZPRSerialPortManager*, size_t>> seen(8);
  std::vector<std::thread> threads;
  for (auto& s : seen) {
    threads.emplace_back([&] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      s = {&ZPRSerialPortManager::sharedSerialPortManager(), 0};
      s.second = s.first->countOfAvailablePorts();  // listed at once, on the asking thread
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& s : seen) EXPECT_EQ(s, std::make_pair(&manager(), size_t{1}));

  Announcements announced;
  publish("KovaTwo");
  ASSERT_TRUE(listedPort("KovaTwo"));
  publish("KovaThree");  // a fence: every event for KovaTwo has been handled by then
  ASSERT_TRUE(runMainUntil([&] { return announced.texts().size() >= 4; }));
  EXPECT_EQ(announced.texts(), (Names{"insert 1", "connected KovaTwo", "insert 2", "connected KovaThree"}));

  platform::DeviceFolder::unpublish("KovaOne");
  ASSERT_TRUE(runMainUntil([&] { return manager().countOfAvailablePorts() == 2; }));
}

// A bound RFCOMM channel, as udev reports it: no parent until it connects.
platform::UdevProperties rfcomm(const std::string& node, const std::string& sysname = "rfcomm0") {
  platform::UdevProperties p;
  p.syspath = "/sys/devices/virtual/tty/" + sysname;
  p.devnode = node;
  p.sysname = sysname;
  p.subsystem = "tty";
  return p;
}

// The kernel moves /dev/rfcommN below the Bluetooth connection when the
// channel connects and back when it closes: the open port must not notice.
TEST_F(PortManagerTest, ABluetoothChannelThatConnectsAndClosesKeepsItsOpenPort) {
  test::Pty channel;
  test::TempDir dev;
  const std::string node = dev.path() + "/rfcomm0";  // stands in for /dev/rfcomm0
  ASSERT_EQ(::symlink(channel.path().c_str(), node.c_str()), 0);
  const auto bound = rfcomm(node);
  auto connected = bound;
  connected.syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-10/1-10:1.0/bluetooth/hci0/hci0:3/rfcomm0";
  connected.hasParentDevice = true;
  connected.parentSubsystem = "bluetooth";
  connected.props = {{"ID_MODEL", "Bluetooth_Radio"}, {"ID_MODEL_ID", "0a2b"}, {"ID_BUS", "usb"}};

  auto present = std::make_shared<std::vector<platform::UdevProperties>>(1, bound);
  auto udev = std::make_unique<platform::UdevDeviceSource>([present] { return *present; });
  platform::UdevDeviceSource* feed = udev.get();
  std::vector<std::unique_ptr<platform::DeviceSource>> sources;
  sources.push_back(std::move(udev));
  sources.push_back(std::make_unique<platform::FolderDeviceSource>());
  try {
    platform::DeviceRegistry::setSharedSources(std::move(sources));
  } catch (const std::logic_error&) {
    GTEST_SKIP() << "the shared registry is in use already: run it via ctest";
  }
  const auto port = listedPort("rfcomm0");
  ASSERT_TRUE(port);
  const auto delegate = openWithRecorder(port);
  Announcements seen;

  feed->handleEvent({"move", connected, "/devices/virtual/tty/rfcomm0"});
  *present = {connected};
  feed->handleEvent({"move", bound, connected.syspath.substr(4)});
  *present = {bound};
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(delegate->kinds(), Names{"opened"});
  EXPECT_TRUE(seen.texts().empty());
  EXPECT_EQ(manager().availablePorts(), SerialPortList{port});

  // A move to another node is another device: the port goes.
  feed->handleEvent({"move", rfcomm(dev.path() + "/rfcomm1", "rfcomm1"), "/devices/virtual/tty/rfcomm0"});
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1 && seen.texts().size() == 4; }));
  EXPECT_EQ(delegate->kinds(), (Names{"opened", "removed", "closed"}));
  EXPECT_EQ(seen.texts(), (Names{"remove 0", "disconnected rfcomm0", "insert 0", "connected rfcomm1"}));
}

}  // namespace
}  // namespace velmora
