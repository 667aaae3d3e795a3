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
// "disconnected A"), marked when not posted by the manager on the main thread.
struct Announcements {
  Announcements() {
    listToken = manager().addObserver("availablePorts", [this](const platform::Change& c) {
      std::string text = c.kind == ChangeKind::Setting ? "set" : c.kind == ChangeKind::Insertion ? "insert" : "remove";
      for (size_t i : c.indexes) (text += ' ') += std::to_string(i);
      texts.push_back(text);
    });
    auto observe = [this](const char* name, const char* key, std::string text) {
      tokens.push_back(platform::NotificationCenter::shared().addObserver(name, [=, this](
                                                                                    const platform::Notification& n) {
        std::string line = text;
        for (const auto& port : std::any_cast<SerialPortList>(n.userInfo.at(key))) {
          line += (line.back() == ' ' ? "" : ",") + port->name();
        }
        texts.push_back(line + (n.sender == &manager() && platform::MainQueue::isMainThread() ? "" : " (elsewhere)"));
      }));
    };
    observe(ZPRSerialPortsWereConnectedNotification, ZPRConnectedSerialPortsKey, "connected ");
    observe(ZPRSerialPortsWereDisconnectedNotification, ZPRDisconnectedSerialPortsKey, "disconnected ");
  }
  ~Announcements() {
    manager().removeObserver(listToken);
    for (auto t : tokens) platform::NotificationCenter::shared().removeObserver(t);
  }
  bool waitFor(size_t count) const {
    return runMainUntil([&] { return texts.size() >= count; });
  }

  platform::Observable::Token listToken = 0;
  std::vector<platform::NotificationCenter::Token> tokens;
  Names texts;
};

class PortManagerTest : public test::DeviceFolderTest {
 protected:
  static void post(const char* name) { platform::NotificationCenter::shared().post({name, nullptr, {}}); }

  static std::shared_ptr<RecordingDelegate> openWithRecorder(const std::shared_ptr<ZPRSerialPort>& port) {
    auto delegate = std::make_shared<RecordingDelegate>();
    port->setDelegate(delegate);
    port->open();
    EXPECT_TRUE(runMainUntil([&] { return delegate->count("opened") == 1; })) << port->name();
    return delegate;
  }
};

TEST_F(PortManagerTest, ListsThePresentDevicesInRegistryOrderAndFollowsArrivalsAndRemovals) {
  publish("KovaB");
  publish("Alpha");
  const SerialPortList ports = manager().availablePorts();
  Announcements seen;  // the initial listing announces nothing
  ASSERT_EQ(namesOf(ports), (Names{"Alpha", "KovaB"}));
  EXPECT_EQ(ports[0]->path(), linkPath("Alpha"));
  EXPECT_EQ(ports[0]->IOKitDevice()->otherPaths(), Names{pty("Alpha").path()});
  EXPECT_EQ(manager().objectInAvailablePortsAtIndex(2), nullptr);
  // A client asking for the device by either path reaches the listed object.
  EXPECT_EQ(ZPRSerialPort::serialPortWithPath(pty("KovaB").path()), ports[1]);
  EXPECT_EQ(ZPRSerialPort::serialPortWithPath("/dev/ttyNoSuchDevice"), nullptr);

  publish("Aardvark");  // first in the folder's order, yet appended
  ASSERT_TRUE(seen.waitFor(2));
  platform::DeviceFolder::unpublish("Alpha");
  ASSERT_TRUE(seen.waitFor(4));
  EXPECT_EQ(seen.texts, (Names{"insert 2", "connected Aardvark", "remove 0", "disconnected Alpha"}));
  EXPECT_EQ(namesOf(manager().availablePorts()), (Names{"KovaB", "Aardvark"}));
}

TEST_F(PortManagerTest, ArrivalsOfListedDevicesAndCallbacksWithAnotherContextAddNothing) {
  publish("KovaOne");
  const auto listed = manager().availablePorts().at(0)->IOKitDevice();
  Announcements seen;
  test::Pty extra;
  auto fresh = std::make_shared<const platform::Device>(extra.path(), Names{}, "Extra");
  test::LogCapture log;
  int notTheManager = 0;
  ZPRSerialPortManagerPortsPublishedNotificationCallback(&notTheManager, {fresh});
  ZPRSerialPortManagerPortsTerminatedNotificationCallback(nullptr, {listed});
  // Handled and announced at once on this (main) thread; a new device
  // twice beside a listed one is added once.
  ZPRSerialPortManagerPortsPublishedNotificationCallback(&manager(), {listed});
  ZPRSerialPortManagerPortsPublishedNotificationCallback(&manager(), {fresh, listed, fresh});
  EXPECT_EQ(seen.texts, (Names{"connected ", "insert 1", "connected Extra"}));
  EXPECT_EQ(namesOf(manager().availablePorts()), (Names{"KovaOne", "Extra"}));
  Names lines;  // the context's address made comparable
  for (const auto& line : log.lines())
    lines.push_back(std::regex_replace(line, std::regex("object \\S+ in"), "object X in"));
  const std::string
      head = "Unexpected context object X in void ZPRSerialPortManagerPorts",
      tail =
          "NotificationCallback(void *, io_iterator_t). Context object should be an instance of ZPRSerialPortManager";
  EXPECT_EQ(lines, (Names{head + "Published" + tail, head + "Terminated" + tail}));
}

TEST_F(PortManagerTest, SleepClosesOnlyOpenPortsWakeReopensThemAndTerminationRemovesAll) {
  for (const char* name : {"KovaA", "KovaB", "KovaC"}) publish(name);
  const auto a = listedPort("KovaA"), b = listedPort("KovaB"), c = listedPort("KovaC");
  ASSERT_TRUE(a && b && c);
  const auto da = openWithRecorder(a), db = openWithRecorder(b), dc = std::make_shared<RecordingDelegate>();
  c->setDelegate(dc);
  post(platform::kSystemWillSleepNotification);
  EXPECT_EQ(manager().portsToReopenAfterSleep(), (SerialPortList{a, b}));
  {
    // B cannot be opened at wake: dropped from the list all the same, and
    // its delegate hears why (at once, ahead of the close queued at sleep).
    test::DeviceLock held(pty("KovaB").path());
    post(platform::kSystemDidWakeNotification);
    EXPECT_TRUE(a->isOpen() && !b->isOpen() && manager().portsToReopenAfterSleep().empty());
  }
  Announcements seen;
  post(platform::kApplicationWillTerminateNotification);
  EXPECT_TRUE(manager().availablePorts().empty());
  EXPECT_EQ(seen.texts, Names{"set"});
  ASSERT_TRUE(runMainUntil([&] { return da->count("closed") == 2 && dc->count("removed") == 1; }));
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_EQ(da->kinds(), (Names{"opened", "closed", "opened", "removed", "closed"}));
  EXPECT_EQ(db->kinds(), (Names{"opened", "error", "closed", "removed"}));
  EXPECT_EQ(db->events()[1].errorCode, EWOULDBLOCK);
  EXPECT_EQ(dc->kinds(), Names{"removed"});  // closed already: no close report
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
      for (waiting.fetch_sub(1); waiting.load() > 0;) std::this_thread::yield();
      s.first = &ZPRSerialPortManager::sharedSerialPortManager();
      s.second = s.first->countOfAvailablePorts();  // listed at once, on the asking thread
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& s : seen) EXPECT_EQ(s, std::make_pair(&manager(), size_t{1}));
  Announcements announced;
  publish("KovaTwo");
  ASSERT_TRUE(listedPort("KovaTwo"));
  publish("KovaThree");  // a fence: every event for KovaTwo has been handled by then
  ASSERT_TRUE(announced.waitFor(4));
  EXPECT_EQ(announced.texts, (Names{"insert 1", "connected KovaTwo", "insert 2", "connected KovaThree"}));
}

// Replayed udev events.  The kernel moves /dev/rfcommN below the Bluetooth
// connection when the channel connects and back when it closes: the open
// port must not notice.  A move to another node, though, is another device.
TEST_F(PortManagerTest, ABluetoothChannelThatConnectsAndClosesKeepsItsOpenPort) {
  test::Pty channel;
  test::TempDir dev;
  auto rfcomm = [&](const std::string& name, const std::string& syspath) {
    platform::UdevProperties p;
    p.syspath = syspath + name, p.devnode = dev.path() + "/" + name, p.sysname = name, p.subsystem = "tty";
    return p;
  };
  const auto bound = rfcomm("rfcomm0", "/sys/devices/virtual/tty/");
  auto connected = rfcomm("rfcomm0", "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-10/1-10:1.0/bluetooth/hci0/hci0:3/");
  connected.hasParentDevice = true, connected.parentSubsystem = "bluetooth";
  connected.props = {{"ID_MODEL", "Bluetooth_Radio"}, {"ID_MODEL_ID", "0a2b"}};  // the adapter's, added by udev
  ASSERT_EQ(::symlink(channel.path().c_str(), bound.devnode.c_str()), 0);        // stands in for /dev/rfcomm0
  auto udev = std::make_unique<platform::UdevDeviceSource>([bound] { return std::vector{bound}; });
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
  const std::string virtualPath = bound.syspath.substr(4), connectedPath = connected.syspath.substr(4);
  feed->handleEvent({"move", connected, virtualPath});
  feed->handleEvent({"move", bound, connectedPath});
  feed->handleEvent({"move", connected, "/devices/elsewhere"});  // known by its node only
  feed->handleEvent({"change", connected, ""});
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(delegate->kinds(), Names{"opened"});
  EXPECT_EQ(manager().availablePorts(), SerialPortList{port});

  const auto other = rfcomm("rfcomm1", "/sys/devices/virtual/tty/");
  feed->handleEvent({"move", other, connectedPath});
  feed->handleEvent({"remove", other, ""});
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1 && seen.texts.size() == 6; }));
  EXPECT_EQ(delegate->kinds(), (Names{"opened", "removed", "closed"}));
  EXPECT_EQ(seen.texts, (Names{"remove 0", "disconnected rfcomm0", "insert 0", "connected rfcomm1", "remove 0",
                               "disconnected rfcomm1"}));
}

}  // namespace
}  // namespace velmora
