// Fault runs over the whole stack: a simulated headset on a real pty, found
// through the port manager, opened, streamed, unplugged, put to sleep and
// woken, raced for by two processes; and the stream log losing its
// directory or its disk.  Nothing may crash, hang, leak, or lose what was
// already delivered or written, and the host must be told.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "VelmoraObjC.h"
#include "ZPRSerialPortManager.h"
#include "platform/NotificationCenter.h"
#include "sim/PacketEncoder.h"
#include "support/LogCapture.h"
#include "support/SerialPortTestSupport.h"
#include "support/SoakHarness.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using sim::HeadsetSimulator;
using sim::PacketEncoder;
using sim::SimulatorOptions;
using test::HashingDelegate;
using test::LogCapture;
using test::runMainUntil;
using test::TempDir;

constexpr char kHeadset[] = "KovaFault-SPPDev";

std::shared_ptr<ZPRSerialPort> headsetPort() {
  for (auto& port : ZPRSerialPortManager::sharedSerialPortManager().availablePorts()) {
    if (port->name() == kHeadset) return port;
  }
  return nullptr;
}

// A streaming headset in a device folder of the test's own, an accessory
// object with a hashing delegate.
class FaultRun : public ::testing::Test {
 protected:
  void SetUp() override { platform::DeviceFolder::setPath(dir_.path() + "/devices"); }

  SimulatorOptions headset(double speed, std::optional<double> seconds = std::nullopt) {
    SimulatorOptions o;
    o.name = kHeadset;
    o.signal.seed = 11;
    o.speed = speed;
    o.durationSeconds = seconds;
    return o;
  }
  void connect() {
    accessory_.Connect();
    ASSERT_TRUE(accessory_.connected());
  }
  bool deliveredAtLeast(uint64_t samples, std::chrono::milliseconds timeout = 10s) {
    return runMainUntil([&] { return delegate_->delivered.load() >= samples; }, timeout);
  }

  TempDir dir_;
  LogCapture log_;
  std::shared_ptr<HashingDelegate> delegate_ = std::make_shared<HashingDelegate>();
  VelmoraObjC accessory_;
};

// ---------------------------------------------------------------- cycles

// The count of cycles: VELMORA_FAULT_CYCLES, else 1,000 (about a second; a
// few under the sanitizers).
int cycleCount() {
  const char* text = std::getenv("VELMORA_FAULT_CYCLES");
  return text != nullptr ? std::max(2, std::atoi(text)) : 1000;
}

TEST_F(FaultRun, ConnectDisconnectCyclesLeakNoDescriptorThreadOrMapping) {
  HeadsetSimulator simulator(headset(1.0));
  simulator.start();
  accessory_.setDelegate(delegate_);
  int cycles = 0;
  auto cycle = [&] {
    ++cycles;
    accessory_.Connect();
    ASSERT_TRUE(accessory_.connected()) << "cycle " << cycles;
    ASSERT_TRUE(runMainUntil([&] { return delegate_->connects.load() == cycles; }));
    accessory_.Disconnect();
    // The direct report and the port's own close report.
    ASSERT_TRUE(runMainUntil([&] { return delegate_->disconnects.load() == 2 * cycles; }));
  };
  for (int i = 0; i < 5; ++i) cycle();
  // A read loop lets go of its thread within 100 ms of the close, and the
  // background queue keeps idle threads for 2 s, so the readings below wait
  // for the counts to come down rather than taking them at once.
  const size_t fds = test::openDescriptors();
  const size_t threads = test::liveThreads();

  // New threads bring a malloc arena and a cached stack, a few mappings each,
  // until the caches are full; a leak goes on growing.  So mappings are
  // compared between the middle and the end of the run.
  const int n = cycleCount();
  size_t mapsAtHalf = 0;
  size_t threadsAtHalf = 0;
  for (int i = 0; i < n; ++i) {
    cycle();
    if (HasFatalFailure()) return;
    if (i == n / 2) {
      mapsAtHalf = test::mappings();
      threadsAtHalf = test::liveThreads();
    }
  }
  EXPECT_TRUE(runMainUntil([&] { return test::openDescriptors() <= fds; }, 5s))
      << test::openDescriptors() << " descriptors open, " << fds << " before " << n << " cycles";
  EXPECT_TRUE(runMainUntil([&] { return test::liveThreads() <= threads + 1; }, 5s))
      << test::liveThreads() << " threads, " << threads << " before";
  // Each live thread has mappings of its own (its stack, and the
  // sanitizers' per-thread memory), so they are compared with no more
  // threads alive than at half-way.  A leak of even one mapping per cycle
  // adds n/2 in the second half; the sanitizer runtimes' own bounded growth
  // (a few dozen under ThreadSanitizer) stays well below n/8.
  runMainUntil([&] { return test::liveThreads() <= threadsAtHalf; }, 5s);
  EXPECT_LE(test::mappings(), mapsAtHalf + std::max<size_t>(16, static_cast<size_t>(n) / 8))
      << "mappings grew in the second half of " << n << " cycles";
  EXPECT_EQ(delegate_->errors[0].load() + delegate_->errors[3].load(), 0);
}

// ---------------------------------------------------------------- unplugging

TEST_F(FaultRun, UnplugWhileStreamingReportsTheRemovalAndAReplugConnectsAgain) {
  HeadsetSimulator simulator(headset(8.0));
  simulator.start();
  accessory_.setDelegate(delegate_);
  connect();
  ASSERT_TRUE(deliveredAtLeast(1024));

  simulator.unplug();
  ASSERT_TRUE(runMainUntil([&] { return delegate_->errors[3].load() >= 1 && delegate_->disconnects.load() >= 1; }));
  ASSERT_TRUE(runMainUntil([] { return headsetPort() == nullptr; })) << "the manager drops the removed device";
  auto port = ZPRSerialPort::existingPortWithPath(simulator.devicePath());
  EXPECT_TRUE(port == nullptr || !port->isOpen());
  EXPECT_TRUE(log_.contains("--serialPortWasRemovedFromSystem"));

  simulator.replug();
  ASSERT_TRUE(runMainUntil([] { return headsetPort() != nullptr; }));
  const uint64_t before = delegate_->delivered.load();
  connect();
  EXPECT_TRUE(deliveredAtLeast(before + 1024)) << "the stream goes on through the new pty";
  accessory_.Disconnect();
}

TEST_F(FaultRun, UnplugDuringCloseEndsClosedWithNothingLeaked) {
  HeadsetSimulator simulator(headset(8.0));
  simulator.start();
  accessory_.setDelegate(delegate_);
  connect();
  ASSERT_TRUE(deliveredAtLeast(256));
  accessory_.Disconnect();
  ASSERT_TRUE(runMainUntil([&] { return delegate_->disconnects.load() == 2; }));
  const size_t fds = test::openDescriptors();  // close() released the descriptor

  for (int round = 0; round < 10; ++round) {
    ASSERT_TRUE(runMainUntil([] { return headsetPort() != nullptr; }));
    connect();
    auto port = headsetPort();
    ASSERT_TRUE(port && port->isOpen());
    std::thread unplugger([&] { simulator.unplug(); });
    accessory_.Disconnect();
    unplugger.join();
    ASSERT_TRUE(runMainUntil([&] { return !port->isOpen() && headsetPort() == nullptr; })) << "round " << round;
    simulator.replug();
  }
  EXPECT_TRUE(runMainUntil([&] { return test::openDescriptors() <= fds; }, 5s))
      << test::openDescriptors() << " descriptors open, " << fds << " before";
}

TEST(FaultPort, UnplugWithARequestPendingReportsTheRemovalThenTheTimeOut) {
  test::Pty pty;
  auto port = ZPRSerialPort::serialPortWithDevice(pty.device("Pending"));
  auto delegate = std::make_shared<test::RecordingDelegate>();
  port->setDelegate(delegate);
  port->open();
  ASSERT_TRUE(port->isOpen());
  auto never = [](std::span<const uint8_t>) { return false; };
  auto first = ZPRSerialRequest::requestWithDataToSend({0x01}, {}, 0.2, never);
  auto second = ZPRSerialRequest::requestWithDataToSend({0x02}, {}, 0.2, never);
  ASSERT_TRUE(port->sendRequest(first));
  ASSERT_TRUE(port->sendRequest(second));
  pty.write({0x10, 0x11});
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("data") >= 1; }));

  pty.closeMaster();
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("closed") == 1; }));
  EXPECT_FALSE(port->isOpen());
  // Both time out in turn; the second is "sent" to a closed port, which
  // refuses it quietly.
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("timeout") == 2; }));
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "error", "removed", "closed", "timeout", "timeout"}));
  EXPECT_EQ(port->pendingRequest(), nullptr);
  EXPECT_TRUE(port->requestsQueue().empty());
}

// ---------------------------------------------------------------- sleep and wake

TEST_F(FaultRun, SleepAndWakeWhileStreamingLoseNoSample) {
  SimulatorOptions options = headset(8.0, 6.0);
  HeadsetSimulator simulator(options);
  simulator.start();
  accessory_.setDelegate(delegate_);
  connect();
  ASSERT_TRUE(deliveredAtLeast(512));
  auto port = headsetPort();
  ASSERT_TRUE(port);

  platform::NotificationCenter::shared().post({platform::kSystemWillSleepNotification, nullptr, {}});
  EXPECT_FALSE(port->isOpen());
  ASSERT_TRUE(runMainUntil([&] { return delegate_->disconnects.load() == 1; }));
  // The headset goes on sending while the machine sleeps; the pty keeps it.
  const uint64_t sentAtSleep = simulator.samplesSent();
  ASSERT_TRUE(runMainUntil([&] { return simulator.samplesSent() >= sentAtSleep + 512; }));

  platform::NotificationCenter::shared().post({platform::kSystemDidWakeNotification, nullptr, {}});
  EXPECT_TRUE(port->isOpen());
  ASSERT_TRUE(runMainUntil([&] { return delegate_->connects.load() == 2; }));
  ASSERT_TRUE(simulator.waitUntilFinished(30s));
  ASSERT_TRUE(runMainUntil([&] { return delegate_->delivered.load() >= simulator.samplesSent(); }, 20s));
  EXPECT_EQ(delegate_->hash(), test::sentSamples(options)) << "every sample once, in order";
  accessory_.Disconnect();
}

// ---------------------------------------------------------------- two processes

// Two child processes open one pty at the same moment; exactly one may win.
// The children are forked while this process is still single-threaded, and
// this process never uses the library itself, so each child starts clean.
TEST(FaultProcesses, TwoProcessesRacingForOneDeviceOneWinsOneGetsThePortError) {
  if (test::liveThreads() != 1) GTEST_SKIP() << "needs a process of its own (CTest runs each test alone)";
  for (int round = 0; round < 8; ++round) {
    test::TempPty pty;
    int go[2];       // one byte for each child: open now
    int release[2];  // closed by the parent once it has both answers
    int results[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(release), 0);
    ASSERT_EQ(::pipe(results), 0);
    pid_t children[2];
    for (pid_t& child : children) {
      child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        ::close(go[1]);
        ::close(release[1]);
        ::close(results[0]);
        auto port = ZPRSerialPort::serialPortWithDevice(
            std::make_shared<const platform::Device>(pty.path(), std::vector<std::string>{}, "Race"));
        auto delegate = std::make_shared<test::RecordingDelegate>();
        port->setDelegate(delegate);
        char byte;
        if (::read(go[0], &byte, 1) != 1) ::_exit(3);
        port->open();
        platform::RunLoop::main().drain();
        char report[2] = {port->isOpen() ? 'O' : 'E', 0};
        for (const auto& e : delegate->events()) {
          if (e.kind == "error") report[1] = static_cast<char>(e.errorCode);
        }
        if (::write(results[1], report, 2) != 2) ::_exit(3);
        // Holds the device until the parent has both answers.
        while (::read(release[0], &byte, 1) > 0) {
        }
        ::_exit(0);
      }
    }
    ::close(go[0]);
    ::close(release[0]);
    ::close(results[1]);
    ASSERT_EQ(::write(go[1], "GG", 2), 2);
    char answers[4];
    size_t got = 0;
    while (got < 4) {
      ssize_t n = ::read(results[0], answers + got, 4 - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ::close(go[1]);
    ::close(release[1]);
    ::close(results[0]);
    for (pid_t child : children) {
      int status = 0;
      ::waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_EQ(got, 4u);
    const int winners = (answers[0] == 'O') + (answers[2] == 'O');
    EXPECT_EQ(winners, 1) << "round " << round;
    const char loserCode = answers[0] == 'O' ? answers[3] : answers[1];
    EXPECT_EQ(loserCode, EWOULDBLOCK) << "the loser gets the port error of the lock";
  }
}

// ---------------------------------------------------------------- the stream log

std::vector<uint8_t> rawPackets(int count, int first = 0) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < count; ++i) {
    PacketEncoder::appendPacket(bytes, PacketEncoder::rawRow(static_cast<int16_t>(first + i)));
  }
  return bytes;
}

size_t rawRowsIn(const std::string& path) { return test::readStreamLog(path).raw.count; }

TEST(FaultRecording, DirectoryRemovedMidRecordingLosesNoRowAndIsReported) {
  TempDir dir;
  LogCapture log;
  const std::string recording = dir.path() + "/session";
  std::filesystem::create_directory(recording);
  VelmoraObjC accessory;
  accessory.startRecording(recording, 1);
  ASSERT_TRUE(accessory.isRecording());
  accessory.parseByte(std::span<const uint8_t>(rawPackets(100)));
  std::filesystem::remove_all(recording);
  accessory.parseByte(std::span<const uint8_t>(rawPackets(50, 100)));
  EXPECT_EQ(accessory.takeData().at("raw").asArray().size(), 150u) << "decoding goes on";

  const std::string saved = dir.path() + "/saved.csv";
  accessory.stopRecording(saved);
  const std::string path = recording + "/ambrix.log.csv";
  EXPECT_TRUE(log.contains("VLAccessory: the log file " + path + " was removed while recording"));
  const auto rows = test::readStreamLog(saved);
  EXPECT_TRUE(rows.header);
  EXPECT_EQ(rows.raw.count, 150u) << "every row written, before and after the removal";
  EXPECT_EQ(rows.malformed, 0u);
}

// A real full disk: a 64 KiB tmpfs (needs root; skipped elsewhere).
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& at) : path_(at) {
    std::filesystem::create_directory(path_);
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64k") == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST(FaultRecording, FullDiskIsReportedOnceDecodingGoesOnAndTheRowsWrittenStayWhole) {
  TempDir dir;
  SmallDisk disk(dir.path() + "/disk");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  LogCapture log;
  VelmoraObjC accessory;
  const std::string recording = dir.path() + "/disk";
  accessory.startRecording(recording, 1);
  ASSERT_TRUE(accessory.isRecording());
  // About 30 bytes a row: 4,000 rows overflow 64 KiB.
  for (int k = 0; k < 4; ++k) accessory.parseByte(std::span<const uint8_t>(rawPackets(1000, 1000 * k)));
  EXPECT_EQ(accessory.takeData().at("raw").asArray().size(), 4000u) << "decoding goes on";
  const std::string path = recording + "/ambrix.log.csv";
  EXPECT_EQ(log.count("VLAccessory: cannot write to " + path + ": No space left on device"), 1u);

  const std::string saved = dir.path() + "/saved.csv";
  accessory.stopRecording(saved);
  const auto rows = test::readStreamLog(saved);
  EXPECT_TRUE(rows.header);
  EXPECT_EQ(rows.malformed, 0u) << "no row is cut short";
  EXPECT_GT(rows.raw.count, 1000u);
  EXPECT_LT(rows.raw.count, 4000u);
  // The rows kept are the first ones, in order.
  test::SampleHash expected;
  for (uint64_t i = 0; i < rows.raw.count; ++i) expected.add(static_cast<int32_t>(i));
  EXPECT_EQ(rows.raw, expected);
  EXPECT_EQ(rawRowsIn(path), rows.raw.count);
}

}  // namespace
}  // namespace velmora
