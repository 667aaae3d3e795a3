// The accessory object's connection over the port manager, with real ptys in
// a device folder: which port Connect and ConnectTo choose, failed
// candidates, Disconnect's reports, removal while streaming, the byte stream
// reaching the delegate, calls from other threads, and a leak check over many
// cycles.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

#include "VelmoraObjC.h"
#include "sim/PacketEncoder.h"
#include "support/LogCapture.h"
#include "support/PortManagerTestSupport.h"

namespace velmora {
namespace {

using sim::PacketEncoder;
using test::DeviceLock;
using test::runMainUntil;
using Names = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// Records the accessory's delegate calls as "connect:NAME", "disconnect" and
// "error:CODE", and every delivered data map.
class AccessoryEvents : public VelmoraDelegate {
 public:
  void accessoryDidConnect(const std::string& name) override { add("connect:" + name); }
  void accessoryDidDisconnect() override { add("disconnect"); }
  void accessoryError(int32_t code) override { add("error:" + std::to_string(code)); }
  void dataReceived(const Dictionary& data) override {
    std::lock_guard<std::mutex> g(m_);
    maps_.push_back(data);
  }

  Names events() const {
    std::lock_guard<std::mutex> g(m_);
    return events_;
  }
  size_t count(const std::string& event) const {
    const Names all = events();
    return static_cast<size_t>(std::count(all.begin(), all.end(), event));
  }
  std::vector<Dictionary> maps() const {
    std::lock_guard<std::mutex> g(m_);
    return maps_;
  }
  void clear() {
    std::lock_guard<std::mutex> g(m_);
    events_.clear();
  }

  // Called after each recorded event, on the thread of the call.
  std::function<void(const std::string&)> onEvent;

 private:
  void add(const std::string& event) {
    {
      std::lock_guard<std::mutex> g(m_);
      events_.push_back(event);
    }
    if (onEvent) onEvent(event);
  }
  mutable std::mutex m_;
  Names events_;
  std::vector<Dictionary> maps_;
};

class ConnectionTest : public test::DeviceFolderTest {
 protected:
  void SetUp() override {
    DeviceFolderTest::SetUp();
    if (IsSkipped()) return;
    accessory = std::make_unique<VelmoraObjC>();
    accessory->setDelegate(events);
  }
  void TearDown() override { accessory.reset(); }

  // Publishes the ptys and waits until the manager lists them all.
  void publishAll(const Names& names) {
    for (const auto& n : names) publish(n);
    for (const auto& n : names) ASSERT_TRUE(listedPort(n)) << n;
  }
  // The listed port of that name, or null.
  static std::shared_ptr<ZPRSerialPort> port(const std::string& name) {
    for (const auto& p : ZPRSerialPortManager::sharedSerialPortManager().availablePorts())
      if (p->name() == name) return p;
    return nullptr;
  }
  bool waitFor(const std::string& event, size_t times = 1) {
    return runMainUntil([&] { return events->count(event) >= times; });
  }

  std::shared_ptr<AccessoryEvents> events = std::make_shared<AccessoryEvents>();
  std::unique_ptr<VelmoraObjC> accessory;
};

TEST_F(ConnectionTest, ConnectOpensTheFirstPortWithAnAcceptedPrefix) {
  publishAll({"Bluetooth-Incoming-Port", "KovaLinkPro-SPPDev", "KovaOne"});
  test::LogCapture log;
  accessory->Connect();
  EXPECT_TRUE(accessory->connected());
  EXPECT_TRUE(log.contains("VLAccessory: stream started."));
  EXPECT_FALSE(port("Bluetooth-Incoming-Port")->isOpen());
  EXPECT_TRUE(port("KovaLinkPro-SPPDev")->isOpen());
  EXPECT_FALSE(port("KovaOne")->isOpen());  // the first that opens ends the search
  ASSERT_TRUE(waitFor("connect:KovaLinkPro-SPPDev"));
  EXPECT_TRUE(log.contains("--Serial port KovaLinkPro-SPPDev was opened"));
  EXPECT_EQ(events->events(), Names{"connect:KovaLinkPro-SPPDev"});
}

TEST_F(ConnectionTest, ConnectToADottedPathWantsTheNameAfterTheFirstDot) {
  publishAll({"Bluetooth-Incoming-Port", "KovaLinkPro-SPPDev", "KovaOne"});
  test::LogCapture log;
  accessory->ConnectTo("/dev/tty.KovaOne");
  EXPECT_FALSE(port("KovaLinkPro-SPPDev")->isOpen());
  EXPECT_TRUE(port("KovaOne")->isOpen());
  ASSERT_TRUE(waitFor("connect:KovaOne"));

  accessory->Disconnect();
  ASSERT_TRUE(waitFor("disconnect", 2));
  // What a user copies from the device folder is a dotted path too (the
  // folder's own path must then have no dot).
  ASSERT_EQ(dir_.path().find('.'), std::string::npos) << "a dot in TMPDIR";
  accessory->ConnectTo(linkPath("KovaLinkPro-SPPDev"));
  EXPECT_TRUE(port("KovaLinkPro-SPPDev")->isOpen());
  ASSERT_TRUE(waitFor("connect:KovaLinkPro-SPPDev"));
  accessory->Disconnect();
  ASSERT_TRUE(waitFor("disconnect", 4));

  // No candidate carries these names: nothing is tried, nothing logged.
  events->clear();
  log.clear();
  accessory->ConnectTo("/dev/cu.usbserial-A1");
  accessory->ConnectTo("/dev/tty.Bluetooth-Incoming-Port");  // listed, but no accepted prefix
  accessory->ConnectTo("/dev/tty.Kova");                      // a prefix is not a name
  EXPECT_EQ(events->events(), (Names{"disconnect", "disconnect", "disconnect"}));
  EXPECT_TRUE(log.lines().empty());
  EXPECT_FALSE(accessory->connected());
  for (const auto& p : ZPRSerialPortManager::sharedSerialPortManager().availablePorts()) EXPECT_FALSE(p->isOpen());
}

TEST_F(ConnectionTest, ConnectToAPathWithoutADotSelectsThatDeviceWhateverItsName) {
  publishAll({"Bluetooth-Incoming-Port", "KovaOne"});
  accessory->ConnectTo(pty("Bluetooth-Incoming-Port").path());  // e.g. /dev/pts/7
  EXPECT_TRUE(accessory->connected());
  EXPECT_TRUE(port("Bluetooth-Incoming-Port")->isOpen());
  EXPECT_FALSE(port("KovaOne")->isOpen());
  ASSERT_TRUE(waitFor("connect:Bluetooth-Incoming-Port"));

  // Disconnect closes it although its name is no candidate's.
  accessory->Disconnect();
  EXPECT_FALSE(port("Bluetooth-Incoming-Port")->isOpen());
  ASSERT_TRUE(waitFor("disconnect", 2));

  events->clear();
  accessory->ConnectTo("");
  accessory->ConnectTo("/dev/pts/999999");
  EXPECT_EQ(events->events(), (Names{"disconnect", "disconnect"}));
  EXPECT_FALSE(port("Bluetooth-Incoming-Port")->isOpen());
  EXPECT_FALSE(port("KovaOne")->isOpen());
}

TEST_F(ConnectionTest, WithoutCandidatesConnectLogsNothingAndReportsTheDisconnect) {
  publishAll({"Bluetooth-Incoming-Port"});
  test::LogCapture log;
  accessory->Connect();
  EXPECT_EQ(events->events(), Names{"disconnect"});  // at once, on this thread
  EXPECT_TRUE(log.lines().empty());
  EXPECT_FALSE(accessory->connected());
  EXPECT_FALSE(port("Bluetooth-Incoming-Port")->isOpen());
}

// Both candidates are held by another opener.  Each failure is only logged;
// the errors of the attempts never reach the delegate, whichever thread
// connects and whether or not this object was the port's delegate before.
TEST_F(ConnectionTest, CandidatesThatFailToOpenAreOnlyLogged) {
  publishAll({"KovaA", "KovaB"});
  const auto a = port("KovaA");
  const auto b = port("KovaB");
  accessory->Connect();  // once, so that A's delegate was this object before
  ASSERT_TRUE(waitFor("connect:KovaA"));
  accessory->Disconnect();
  ASSERT_TRUE(waitFor("disconnect", 2));
  const auto delegateOfA = a->delegate();
  events->clear();

  DeviceLock heldA(pty("KovaA").path());
  DeviceLock heldB(pty("KovaB").path());
  auto attempt = [&](bool fromAnotherThread) {
    test::LogCapture log;
    if (fromAnotherThread) {
      // The errors wait on the main queue until after the attempt.
      std::thread t([&] { accessory->Connect(); });
      t.join();
    } else {
      accessory->Connect();
    }
    EXPECT_EQ(log.lines(), (Names{"--- KovaA not opened", "--- KovaB not opened"}));
    ASSERT_TRUE(test::letMainQueueCatchUp());
    EXPECT_EQ(events->events(), Names{"disconnect"});
    EXPECT_FALSE(accessory->connected());
    EXPECT_FALSE(a->isOpen());
    EXPECT_FALSE(b->isOpen());
    EXPECT_EQ(a->delegate(), delegateOfA);
    EXPECT_EQ(b->delegate(), nullptr);
    events->clear();
  };
  attempt(false);
  attempt(true);
}

TEST_F(ConnectionTest, DisconnectReportsOnceWithoutAnOpenPortAndTwiceWithOne) {
  publishAll({"Bluetooth-Incoming-Port", "KovaLinkPro-SPPDev", "Quorvex-7"});
  {
    test::LogCapture log;
    accessory->Disconnect();
    EXPECT_EQ(log.lines(), (Names{"ZPRSerialPortManager.availablePorts = 3", "---Bluetooth-Incoming-Port",
                                  "---KovaLinkPro-SPPDev", "---Quorvex-7", "VLAccessory: stream stopped."}));
    ASSERT_TRUE(test::letMainQueueCatchUp());
    EXPECT_EQ(events->events(), Names{"disconnect"});
  }
  events->clear();

  accessory->Connect();
  ASSERT_TRUE(waitFor("connect:KovaLinkPro-SPPDev"));
  events->clear();
  test::LogCapture log;
  accessory->Disconnect();
  // Only the ports up to the first open candidate are named.
  EXPECT_EQ(log.lines(), (Names{"ZPRSerialPortManager.availablePorts = 3", "---Bluetooth-Incoming-Port",
                                "---KovaLinkPro-SPPDev", "VLAccessory: stream stopped."}));
  EXPECT_FALSE(accessory->connected());
  EXPECT_FALSE(port("KovaLinkPro-SPPDev")->isOpen());
  EXPECT_EQ(events->events(), Names{"disconnect"});  // at once
  ASSERT_TRUE(waitFor("disconnect", 2));              // and from the port's close report
  EXPECT_TRUE(log.contains("--Serial port KovaLinkPro-SPPDev was closed"));
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_EQ(events->count("disconnect"), 2u);
}

TEST_F(ConnectionTest, RemovalReportedByTheRegistryGivesError3ThenDisconnect) {
  publishAll({"KovaOne"});
  const auto kova = port("KovaOne");
  accessory->Connect();
  ASSERT_TRUE(waitFor("connect:KovaOne"));
  test::LogCapture log;
  platform::DeviceFolder::unpublish("KovaOne");  // the pty itself stays
  ASSERT_TRUE(waitFor("disconnect"));
  EXPECT_EQ(events->events(), (Names{"connect:KovaOne", "error:3", "disconnect"}));
  EXPECT_TRUE(log.contains("--serialPortWasRemovedFromSystem"));
  EXPECT_TRUE(accessory->connected());  // until the host disconnects

  // The same removal handed over again (as when the port layer noticed it
  // first) is not reported twice.
  auto& manager = ZPRSerialPortManager::sharedSerialPortManager();
  ZPRSerialPortManagerPortsTerminatedNotificationCallback(&manager, {kova->IOKitDevice()});
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_EQ(events->events(), (Names{"connect:KovaOne", "error:3", "disconnect"}));
}

TEST_F(ConnectionTest, UnpluggedDeviceGivesError3ThenDisconnectPerhapsAfterError0) {
  publishAll({"KovaOne"});
  const auto kova = port("KovaOne");
  accessory->Connect();
  ASSERT_TRUE(waitFor("connect:KovaOne"));
  pty("KovaOne").closeMaster();  // the device goes: its reads fail and its node vanishes
  ASSERT_TRUE(waitFor("disconnect"));
  ASSERT_TRUE(test::letMainQueueCatchUp());
  const Names seen = events->events();
  // The port layer (a failed read) or the registry (the node vanished) may
  // notice first; the removal is handled once either way.
  const Names byPortLayer{"connect:KovaOne", "error:0", "error:3", "disconnect"};
  const Names byRegistry{"connect:KovaOne", "error:3", "disconnect"};
  EXPECT_TRUE(seen == byPortLayer || seen == byRegistry) << ::testing::PrintToString(seen);
  EXPECT_FALSE(kova->isOpen());
  EXPECT_TRUE(accessory->connected());
}

TEST_F(ConnectionTest, HeadsetBytesArriveAsValuesInDataReceived) {
  publishAll({"KovaOne"});
  accessory->Connect();
  ASSERT_TRUE(waitFor("connect:KovaOne"));
  Bytes stream;
  PacketEncoder::appendPacket(stream, PacketEncoder::attentionRow(61));
  for (int16_t s : {16, -5, 300, -32768}) PacketEncoder::appendPacket(stream, PacketEncoder::rawRow(s));
  // Split inside a packet: framing goes on across chunks.
  pty("KovaOne").write(Bytes(stream.begin(), stream.begin() + 11));
  pty("KovaOne").write(Bytes(stream.begin() + 11, stream.end()));

  std::vector<int32_t> raw;
  std::optional<int32_t> attention;
  ASSERT_TRUE(runMainUntil([&] {
    raw.clear();
    for (const auto& m : events->maps()) {
      if (auto it = m.find("raw"); it != m.end()) {
        const auto& samples = it->second.asArray();
        raw.insert(raw.end(), samples.begin(), samples.end());
      }
      if (auto it = m.find("vScoreAttention"); it != m.end()) attention = it->second.asInt();
    }
    return raw.size() >= 4 && attention;
  }));
  EXPECT_EQ(raw, (std::vector<int32_t>{16, -5, 300, -32768}));
  EXPECT_EQ(attention, 61);

  // Nothing makes the object ready to send, open port or not.
  test::LogCapture log;
  const uint8_t bytes[] = {0xAA, 0xAA, 0x00};
  accessory->sendBytes(bytes, 3);
  accessory->sendBytes(nullptr, 0);
  EXPECT_EQ(log.lines(), (Names{"Not ready to send.", "Not ready to send."}));
}

// The host connects and disconnects from a thread of its own while the main
// loop runs, and the delegate disconnects again from the main thread as soon
// as it hears of a connection: nothing waits on anything forever.
TEST_F(ConnectionTest, ConnectAndDisconnectFromAnotherThreadWhileTheMainLoopRuns) {
  publishAll({"KovaOne"});
  const auto kova = port("KovaOne");
  std::atomic<bool> firstConnect{true};
  events->onEvent = [&](const std::string& e) {
    if (e == "connect:KovaOne" && !firstConnect.exchange(false)) accessory->Disconnect();
  };
  std::atomic<int> phase{0};
  std::thread host([&] {
    accessory->Connect();
    phase = 1;
    while (phase.load() != 2) std::this_thread::yield();
    accessory->Disconnect();
    for (int i = 0; i < 20; ++i) {
      accessory->ConnectTo("/dev/tty.KovaOne");
      accessory->Disconnect();
    }
    phase = 3;
  });
  ASSERT_TRUE(runMainUntil([&] { return phase.load() == 1; }));
  EXPECT_TRUE(accessory->connected());
  ASSERT_TRUE(waitFor("connect:KovaOne"));
  phase = 2;
  ASSERT_TRUE(runMainUntil([&] { return phase.load() == 3; }, 20s));
  host.join();
  ASSERT_TRUE(test::letMainQueueCatchUp());
  events->onEvent = nullptr;
  EXPECT_FALSE(accessory->connected());
  EXPECT_FALSE(kova->isOpen());
  EXPECT_EQ(events->count("error:0"), 0u);
}

// Ends the process if the test has not finished in time: a deadlock fails
// the test instead of hanging it.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock<std::mutex> g(m_);
          if (!cv_.wait_for(g, limit, [this] { return done_; })) {
            std::fprintf(stderr, "deadlock: the test did not finish within %lld s\n",
                         static_cast<long long>(limit.count()));
            std::_Exit(1);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> g(m_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// At wake the port's reopen fails and reports on the main thread while the
// port holds its own lock; the host's delegate reacts by disconnecting just
// as a host thread starts connecting to that port.  Neither waits for the
// other.
TEST_F(ConnectionTest, DisconnectFromAPortCallbackWhileAnotherThreadConnectsDoesNotDeadlock) {
  publishAll({"KovaOne"});
  const auto kova = port("KovaOne");
  accessory->Connect();
  ASSERT_TRUE(waitFor("connect:KovaOne"));
  platform::Notification sleep;
  sleep.name = platform::kSystemWillSleepNotification;
  platform::NotificationCenter::shared().post(sleep);
  ASSERT_TRUE(waitFor("disconnect"));
  DeviceLock held(pty("KovaOne").path());

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
    Watchdog watchdog(std::chrono::seconds(30));
    platform::Notification wake;
    wake.name = platform::kSystemDidWakeNotification;
    platform::NotificationCenter::shared().post(wake);
    ASSERT_TRUE(host.joinable());
    host.join();
  }
  kova->removeObserver(token);
  ASSERT_TRUE(test::letMainQueueCatchUp());
  events->onEvent = nullptr;
  // The failed reopen, the delegate's disconnect, the host's failed connect.
  EXPECT_EQ(events->events(), (Names{"connect:KovaOne", "disconnect", "error:0", "disconnect", "disconnect"}));
  EXPECT_TRUE(hostConnecting.load());
  EXPECT_FALSE(kova->isOpen());
}

size_t entriesIn(const char* dir) {
  size_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

TEST_F(ConnectionTest, ManyConnectCyclesLeakNoDescriptorOrThread) {
  publishAll({"KovaOne"});
  auto cycle = [&](size_t i) {
    accessory->Connect();
    ASSERT_TRUE(waitFor("connect:KovaOne", i + 1));
    accessory->Disconnect();
    ASSERT_TRUE(waitFor("disconnect", 2 * (i + 1)));
  };
  cycle(0);
  const size_t fds = entriesIn("/proc/self/fd");
  const size_t threads = entriesIn("/proc/self/task");
  for (size_t i = 1; i <= 200; ++i) {
    cycle(i);
    if (HasFatalFailure()) return;
  }
  ASSERT_TRUE(test::letMainQueueCatchUp());
  EXPECT_EQ(events->count("error:0"), 0u);
  // Read loops end within their wait after a close; the background queue's
  // idle threads leave after their idle time.
  EXPECT_TRUE(runMainUntil([&] { return entriesIn("/proc/self/fd") <= fds; }, 10s))
      << entriesIn("/proc/self/fd") << " descriptors, " << fds << " before";
  EXPECT_TRUE(runMainUntil([&] { return entriesIn("/proc/self/task") <= threads; }, 15s))
      << entriesIn("/proc/self/task") << " threads, " << threads << " before";
}

}  // namespace
}  // namespace velmora
