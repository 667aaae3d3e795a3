// The accessory object's connection over the port manager, with real ptys in
// a device folder: port choice, reports, attempt errors, two objects, removal,
// unplugging, other threads, a failed thread start, cycles without a leak.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <tuple>

#include "support/AccessoryEvents.h"
#include "support/LogCapture.h"
#include "support/PortManagerTestSupport.h"
#include "support/SoakHarness.h"
#include "support/Watchdog.h"

namespace velmora {
namespace {

using test::AccessoryEvents;
using test::runMainUntil;
using Names = std::vector<std::string>;
using namespace std::chrono_literals;

class ConnectionTest : public test::DeviceFolderTest {
 protected:
  void SetUp() override {
    DeviceFolderTest::SetUp();
    if (IsSkipped()) return;
    folder_ = dir_.path() + "/dev.folder";  // a folder whose path holds dots, as a user's may
    platform::DeviceFolder::setPath(folder_);
    accessory = std::make_unique<VelmoraObjC>();
    accessory->setDelegate(events);
  }

  void publishAll(const Names& names) {
    for (const auto& n : names) publish(n);
    for (const auto& n : names) ASSERT_TRUE(listedPort(n)) << n;
  }
  static Names openPorts() {
    Names open;
    for (const auto& p : ZPRSerialPortManager::sharedSerialPortManager().availablePorts())
      if (p->isOpen()) open.push_back(p->name());
    return open;
  }
  bool waitFor(const std::string& event, size_t times = 1, AccessoryEvents* of = nullptr) {
    return runMainUntil([&] { return (of ? of : events.get())->count(event) >= times; });
  }

  std::string folder_;
  std::shared_ptr<AccessoryEvents> events = std::make_shared<AccessoryEvents>();
  std::unique_ptr<VelmoraObjC> accessory;
};

// No path: the first candidate (a name that begins with an accepted prefix)
// that opens, which ends the search; a path: the port with exactly that path,
// else the name after its first dot, else nothing at all (nothing is tried,
// nothing logged).  Disconnect names the ports up to the open one, closes it
// and reports at once and again with the port's close report; with no open
// port it names them all and reports once.
TEST_F(ConnectionTest, ConnectAndConnectToSelectTheirPortAndDisconnectClosesIt) {
  publishAll({"MyKova", "Bluetooth-Incoming-Port", "KovaLinkPro-SPPDev", "KovaOne"});
  const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
      {std::nullopt, "KovaLinkPro-SPPDev"},
      {"/dev/tty.KovaOne", "KovaOne"},
      {folder_ + "/tty.KovaLinkPro-SPPDev", "KovaLinkPro-SPPDev"},  // a link's path, dots and all
      {pty("Bluetooth-Incoming-Port").path(), "Bluetooth-Incoming-Port"},  // /dev/pts/N, whatever the name
      {"/dev/tty.MyKova", ""},                   // listed, but no accepted prefix
      {"/dev/tty.Kova", ""},                      // a prefix is not a name
      {"/dev/cu.usbserial-A1", ""}, {"/dev/ttyNoSuchDevice", ""}, {"", ""}, {".", ""}};
  for (const auto& [path, opens] : cases) {
    SCOPED_TRACE(path.value_or("(none)"));
    events->clear();
    test::LogCapture log;
    accessory->ConnectTo(path);
    EXPECT_EQ(openPorts(), opens.empty() ? Names{} : Names{opens});
    if (opens.empty()) {
      EXPECT_EQ(events->events(), Names{"disconnect"});  // at once, on this thread
      EXPECT_EQ(log.lines(), Names{});
      continue;
    }
    ASSERT_TRUE(waitFor("connect:" + opens));
    EXPECT_EQ(log.lines(), (Names{"VLAccessory: stream started.", "--Serial port " + opens + " was opened"}));
    log.clear();
    events->clear();
    accessory->Disconnect();
    Names named{"ZPRSerialPortManager.availablePorts = 4"};
    for (const auto& p : ZPRSerialPortManager::sharedSerialPortManager().availablePorts()) {
      named.push_back("---" + p->name());
      if (p->name() == opens) break;
    }
    named.push_back("VLAccessory: stream stopped.");
    EXPECT_EQ(log.lines(), named);
    EXPECT_EQ(events->events(), Names{"disconnect"});
    ASSERT_TRUE(waitFor("disconnect", 2));
    EXPECT_TRUE(log.contains("--Serial port " + opens + " was closed"));
  }
  events->clear();
  test::LogCapture log;
  accessory->Disconnect();
  EXPECT_EQ(log.lines().size(), 6u);
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_EQ(events->events(), Names{"disconnect"});
}

// The errors a port reports during an attempt that opens it (a first connect,
// or again while streaming) reach the delegate; a candidate that fails to open
// is only logged, its errors dropped, its delegate put back.  From any thread.
TEST_F(ConnectionTest, AttemptErrorsAreDroppedOnlyForCandidatesThatFailToOpen) {
  publishAll({"KovaA", "KovaB"});
  const auto a = listedPort("KovaA");
  auto connectOn = [&](bool anotherThread, const std::optional<std::string>& path) {
    if (anotherThread) std::thread([&] { accessory->ConnectTo(path); }).join();  // errors wait on the main queue
    if (!anotherThread) accessory->ConnectTo(path);
    EXPECT_EQ(events->count("error:0"), 0u) << "no report but the last inside ConnectTo";
    ASSERT_TRUE(test::letMainQueueCatchUp());
  };
  bool armed = false;  // the port reports an error while the attempt is under way
  const auto token = a->addObserver("delegate", [&](const platform::Change&) {
    if (!std::exchange(armed, false)) return;
    errno = EPERM;
    a->notifyDelegateOfPosixError();
  });
  for (bool anotherThread : {false, true}) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      events->clear();
      armed = true;
      connectOn(anotherThread, "/dev/tty.KovaA");
      EXPECT_EQ(events->count("error:0"), 1u) << anotherThread << attempt;
      const auto error = accessory->lastPortError();
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(std::tuple(error->code, error->filePath), std::tuple(EPERM, a->path()));
      const auto attempts = accessory->lastConnectAttempts();
      ASSERT_EQ(attempts.size(), 1u);
      EXPECT_EQ(std::tuple(attempts[0].name, attempts[0].path, attempts[0].outcome, attempts[0].error.has_value()),
                std::tuple("KovaA", a->path(), VelmoraConnectAttempt::Outcome::Opened, false));
    }
    accessory->Disconnect();
  }
  a->removeObserver(token);
  ASSERT_TRUE(test::letMainQueueCatchUp());  // the last close report

  const auto delegateOfA = a->delegate();
  test::DeviceLock heldA(pty("KovaA").path());
  test::DeviceLock heldB(pty("KovaB").path());
  for (bool anotherThread : {false, true}) {
    events->clear();
    test::LogCapture log;
    connectOn(anotherThread, std::nullopt);
    EXPECT_EQ(log.lines(), (Names{"--- KovaA not opened", "--- KovaB not opened"}));
    EXPECT_EQ(events->events(), Names{"disconnect"});
    EXPECT_FALSE(accessory->connected());
    EXPECT_TRUE(a->delegate() == delegateOfA && listedPort("KovaB")->delegate() == nullptr);
    const auto attempts = accessory->lastConnectAttempts();
    ASSERT_EQ(attempts.size(), 2u);
    for (size_t k = 0; k < 2; ++k) {
      SCOPED_TRACE(k);
      EXPECT_EQ(attempts[k].name, k == 0 ? "KovaA" : "KovaB");
      EXPECT_EQ(attempts[k].outcome, VelmoraConnectAttempt::Outcome::Failed);
      ASSERT_TRUE(attempts[k].error.has_value()) << "the port's own reason, from any thread";
      EXPECT_EQ(std::tuple(attempts[k].error->code, attempts[k].error->filePath),
                std::tuple(EWOULDBLOCK, attempts[k].path));
    }
  }
}

// A port one object streams from is in use for another, which takes the next
// free candidate; a disconnect or destruction closes the object's own port
// only, and a port let go of is never closed again.  An object destroyed while
// its port's callbacks are queued drops them (its link is detached).
TEST_F(ConnectionTest, TwoObjectsNeverShareOrCloseEachOthersPort) {
  publishAll({"KovaA", "KovaB"});
  auto eventsB = std::make_shared<AccessoryEvents>();
  auto b = std::make_unique<VelmoraObjC>();
  b->setDelegate(eventsB);
  accessory->Connect();
  test::LogCapture log;
  b->ConnectTo("/dev/tty.KovaA");
  EXPECT_EQ(log.lines(), Names{"--- KovaA not opened"});
  ASSERT_EQ(b->lastConnectAttempts().size(), 1u);
  EXPECT_EQ(b->lastConnectAttempts()[0].outcome, VelmoraConnectAttempt::Outcome::InUse);
  EXPECT_EQ(eventsB->events(), Names{"disconnect"});
  b->Connect();
  ASSERT_TRUE(waitFor("connect:KovaB", 1, eventsB.get()));
  b->Disconnect();
  b.reset();
  EXPECT_EQ(openPorts(), Names{"KovaA"});
  pty("KovaA").write(sim::PacketEncoder::packet(sim::PacketEncoder::attentionRow(61)));
  ASSERT_TRUE(runMainUntil([&] { return !events->maps().empty(); })) << "the first object still hears its headset";
  EXPECT_EQ(events->events(), Names{"connect:KovaA"});

  accessory->Disconnect();
  auto c = std::make_unique<VelmoraObjC>();  // without a delegate
  c->ConnectTo("/dev/tty.KovaA");
  c->ConnectTo("/dev/tty.KovaNone");  // opens nothing; c stays on KovaA
  accessory->Disconnect();             // connected to nothing now
  EXPECT_EQ(openPorts(), Names{"KovaA"});
  for (int k = 0; k < 64; ++k) pty("KovaA").write(sim::PacketEncoder::rawPacket(static_cast<int16_t>(k)));
  c.reset();  // with its open report and perhaps chunks queued
  EXPECT_EQ(openPorts(), Names{});
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_EQ(events->events(), (Names{"connect:KovaA", "disconnect", "disconnect"}));
}

// Sleep closes the port and wake reopens it; what the headset sent meanwhile
// arrives.  At the next wake the reopen fails and reports on the main thread
// while the port holds its own lock; the delegate disconnects just as a host
// thread starts connecting to that port.  Neither waits for the other.
TEST_F(ConnectionTest, SleepAndWakeLoseNothingAndAFailedReopenDoesNotDeadlock) {
  publishAll({"KovaOne"});
  const auto kova = listedPort("KovaOne");
  termios raw{};  // a headset's link has no line discipline to hold the bytes sent while asleep
  tcgetattr(pty("KovaOne").slave(), &raw);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(pty("KovaOne").slave(), TCSANOW, &raw), 0);
  accessory->Connect();
  platform::NotificationCenter::shared().post({platform::kSystemWillSleepNotification, nullptr, {}});
  ASSERT_TRUE(waitFor("disconnect") && !kova->isOpen());
  pty("KovaOne").write(sim::PacketEncoder::packet(sim::PacketEncoder::attentionRow(61)));  // while asleep
  platform::NotificationCenter::shared().post({platform::kSystemDidWakeNotification, nullptr, {}});
  ASSERT_TRUE(runMainUntil([&] { return !events->maps().empty(); }));
  EXPECT_EQ(events->maps()[0], (Dictionary{{"vScoreAttention", 61}}));
  platform::NotificationCenter::shared().post({platform::kSystemWillSleepNotification, nullptr, {}});
  ASSERT_TRUE(waitFor("disconnect", 2));
  test::DeviceLock held(pty("KovaOne").path());
  std::atomic<bool> hostConnecting{false};
  const auto token = kova->addObserver("delegate", [&](const platform::Change&) {
    if (!platform::MainQueue::isMainThread()) hostConnecting = true;
  });
  std::thread host;
  events->onEvent = [&](const std::string& e) {
    if (e != "error:0") return;
    host = std::thread([&] { accessory->Connect(); });
    test::waitUntil([&] { return hostConnecting.load(); });
    accessory->Disconnect();
  };
  {
    test::Watchdog watchdog(30s);
    platform::NotificationCenter::shared().post({platform::kSystemDidWakeNotification, nullptr, {}});
    host.join();
  }
  kova->removeObserver(token);
  ASSERT_TRUE(test::letMainQueueCatchUp());
  events->onEvent = nullptr;
  // The failed reopen, the delegate's disconnect, the host's failed connect.
  EXPECT_EQ(events->events(), (Names{"connect:KovaOne", "disconnect", "connect:KovaOne", "disconnect", "error:0",
                                     "disconnect", "disconnect"}));
  EXPECT_FALSE(kova->isOpen());
}

// The registry reports a removal: error 3, then the close report, once even
// when handed over again.  Then, each round with a new pty, the device goes
// while another thread closes the port: closed once, no descriptor left.
TEST_F(ConnectionTest, RemovalIsReportedOnceAndUnplugDuringCloseLeaksNothing) {
  publishAll({"KovaOne"});
  const auto kova = listedPort("KovaOne");
  accessory->Connect();
  ASSERT_TRUE(waitFor("connect:KovaOne"));
  platform::DeviceFolder::unpublish("KovaOne");  // the pty itself stays
  ASSERT_TRUE(waitFor("disconnect"));
  ZPRSerialPortManagerPortsTerminatedNotificationCallback(&ZPRSerialPortManager::sharedSerialPortManager(),
                                                          {kova->IOKitDevice()});
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_EQ(events->events(), (Names{"connect:KovaOne", "error:3", "disconnect"}));
  EXPECT_TRUE(accessory->connected());  // until the host disconnects
  size_t fds = 0;
  for (int round = 0; round < 10; ++round) {
    publishAll({"KovaOne"});
    if (round == 1) fds = test::openDescriptors();
    accessory->Connect();
    const auto again = listedPort("KovaOne");
    ASSERT_TRUE(again && again->isOpen());
    std::thread unplug([&] {
      pty("KovaOne").closeMaster();
      platform::DeviceFolder::unpublish("KovaOne");
    });
    accessory->Disconnect();
    unplug.join();
    const auto& manager = ZPRSerialPortManager::sharedSerialPortManager();
    ASSERT_TRUE(runMainUntil([&] { return !again->isOpen() && manager.availablePorts().empty(); })) << round;
  }
  EXPECT_TRUE(runMainUntil([&] { return test::openDescriptors() <= fds; }, 5s))
      << test::openDescriptors() << " descriptors open, " << fds << " before";
}

// A dispatch thread that cannot start rolls the connect back.  Then
// VELMORA_FAULT_CYCLES cycles (else 1,000), each with its three reports only,
// leave no descriptor or thread behind (velmora_soak --cycles also watches the
// mappings).
TEST_F(ConnectionTest, ConnectDisconnectCyclesLeakNothingAndAFailedThreadStartRollsBack) {
  publishAll({"KovaOne"});
  accessory->setThreadStarterForTesting([](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  });
  test::LogCapture log;
  accessory->Connect();
  EXPECT_FALSE(accessory->connected());
  EXPECT_EQ(openPorts(), Names{});
  EXPECT_EQ(log.lines().back().rfind("VLAccessory: cannot start the dispatch thread: ", 0), 0u);
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_EQ(events->events(), Names{"disconnect"}) << "the port's open and close reports reach nobody";
  accessory->setThreadStarterForTesting(nullptr);
  auto cycle = [&] {
    events->clear();
    accessory->Connect();
    ASSERT_TRUE(waitFor("connect:KovaOne"));
    accessory->Disconnect();
    ASSERT_TRUE(waitFor("disconnect", 2));
    ASSERT_EQ(events->events(), (Names{"connect:KovaOne", "disconnect", "disconnect"}));
  };
  for (int i = 0; i < 5; ++i) cycle();
  // Read loops end within 100 ms of a close, idle queue threads within 2 s.
  const size_t fds = test::openDescriptors();
  const size_t threads = test::liveThreads();
  const char* text = std::getenv("VELMORA_FAULT_CYCLES");
  for (int i = 0, n = text != nullptr ? std::max(2, std::atoi(text)) : 1000; i < n; ++i) {
    cycle();
    if (HasFatalFailure()) return;
  }
  EXPECT_TRUE(runMainUntil([&] { return test::openDescriptors() <= fds; }, 5s))
      << test::openDescriptors() << " descriptors open, " << fds << " before";
  EXPECT_TRUE(runMainUntil([&] { return test::liveThreads() <= threads + 1; }, 5s))
      << test::liveThreads() << " threads, " << threads << " before";
}

}  // namespace
}  // namespace velmora
