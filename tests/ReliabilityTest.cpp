// Bad input, tried on purpose (docs/RELIABILITY.md lists every case and the
// test that backs it): garbage and cut-off streams, nonsense line options,
// device paths that name nothing, and delegates or accessory objects that go
// away while their callbacks wait in the main queue.
#include <gtest/gtest.h>

#include <random>

#include "VelmoraObjC.h"
#include "ZPRSerialPortManager.h"
#include "sim/PacketEncoder.h"
#include "support/LogCapture.h"
#include "support/SerialPortTestSupport.h"
#include "support/SoakHarness.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using sim::PacketEncoder;
using test::HashingDelegate;
using test::runMainUntil;

std::vector<uint8_t> rawPackets(int count, int first) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < count; ++i) PacketEncoder::appendPacket(bytes, PacketEncoder::rawRow(static_cast<int16_t>(first + i)));
  return bytes;
}

Value::Array decodedRaw(VelmoraObjC& accessory, const std::vector<uint8_t>& bytes) {
  accessory.parseByte(std::span<const uint8_t>(bytes));
  Dictionary d = accessory.takeData();
  return d.count("raw") ? d.at("raw").asArray() : Value::Array{};
}

// ---------------------------------------------------------------- streams

TEST(BadStream, GarbageDecodesNothingAndTheNextPacketIsFramed) {
  test::LogCapture log;
  VelmoraObjC accessory;
  accessory.resetParser();
  std::mt19937 random(5);
  std::vector<uint8_t> garbage(1 << 16);
  for (auto& b : garbage) b = static_cast<uint8_t>(random());
  garbage.push_back(0x00);  // not a sync byte: whatever state the garbage left...
  const Value::Array fromGarbage = decodedRaw(accessory, garbage);
  // ...a packet that passes the checksum by chance may decode; the stream
  // after it must still be framed from its first whole packet on.
  std::vector<uint8_t> tail = rawPackets(300, 1000);
  const Value::Array after = decodedRaw(accessory, tail);
  ASSERT_GE(after.size(), 296u) << "resynchronised within a few packets";
  EXPECT_EQ(after.back(), 1299);
  for (size_t i = 1; i < after.size(); ++i) ASSERT_EQ(after[i], after[i - 1] + 1);
  EXPECT_LE(fromGarbage.size(), 64u) << "random bytes rarely pass the checksum";
}

// A cut-off packet swallows the bytes that follow as its own until its length
// is used up: at most 255 payload bytes and a checksum, so the framer is back
// in step within 32 raw-sample packets (a cut right after the sync bytes
// reads the next packet's sync byte 0xAA as a length of 170).
TEST(BadStream, APacketCutOffCostsAtMostOneMaximumLengthOfBytes) {
  VelmoraObjC accessory;
  const std::vector<uint8_t> whole = rawPackets(1, 7);
  for (size_t cut = 1; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    accessory.resetParser();
    std::vector<uint8_t> bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    const std::vector<uint8_t> next = rawPackets(100, 100);
    bytes.insert(bytes.end(), next.begin(), next.end());
    const Value::Array got = decodedRaw(accessory, bytes);
    ASSERT_GE(got.size(), 100u - 32u);
    ASSERT_LE(got.size(), 100u);
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<int32_t>(200 - got.size() + i));
  }
}

// ---------------------------------------------------------------- options

TEST(BadOptions, OutOfRangeParityStopBitsAndBaudZeroLeaveTheLineUsable) {
  test::Pty pty;
  auto port = ZPRSerialPort::serialPortWithDevice(pty.device("Options"));
  auto delegate = std::make_shared<test::RecordingDelegate>();
  port->setDelegate(delegate);
  port->setParity(7);
  port->setNumberOfStopBits(0);
  EXPECT_EQ(port->parity(), 0u) << "parity 3 and above is stored as none";
  EXPECT_EQ(port->numberOfStopBits(), 0u);
  port->open();
  ASSERT_TRUE(port->isOpen());
  termios t{};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_FALSE(t.c_cflag & CSTOPB) << "0 stop bits means one";
  EXPECT_FALSE(t.c_cflag & PARENB);

  // Baud 0 is the POSIX hang-up rate: stored and applied as B0; a pty has no
  // line to drop, so the port stays open and data still flows.
  port->setBaudRate(0);
  EXPECT_EQ(port->baudRate(), 0u);
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B0));
  pty.write({1, 2, 3});
  ASSERT_TRUE(runMainUntil([&] { return delegate->receivedBytes().size() == 3; }));
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(delegate->count("error"), 0u);
  port->close();
}

// ---------------------------------------------------------------- device paths

class BadPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::DeviceFolder::setPath(dir_.path() + "/devices");
    sim::SimulatorOptions o;
    o.name = "KovaPaths-SPPDev";
    simulator_ = std::make_unique<sim::HeadsetSimulator>(o);
    simulator_->start();
    accessory_.setDelegate(delegate_);
  }
  test::TempDir dir_;
  test::LogCapture log_;
  std::unique_ptr<sim::HeadsetSimulator> simulator_;
  std::shared_ptr<HashingDelegate> delegate_ = std::make_shared<HashingDelegate>();
  VelmoraObjC accessory_;
};

TEST_F(BadPaths, EmptyAndUnknownPathsSelectNothingAndSayDisconnected) {
  for (const std::string path : {"", "/dev/ttyNoSuchDevice", "/dev/tty.NoSuchHeadset-SPP", "."}) {
    SCOPED_TRACE(path);
    const int before = delegate_->disconnects.load();
    accessory_.ConnectTo(path);
    EXPECT_FALSE(accessory_.connected());
    EXPECT_EQ(delegate_->disconnects.load(), before + 1) << "told at once, on the calling thread";
  }
  EXPECT_EQ(delegate_->connects.load(), 0);
}

TEST_F(BadPaths, ADotlessPathSelectsThePortWithThatPath) {
  // The tty behind the link: a Linux name without a dot.
  accessory_.ConnectTo(simulator_->ttyPath());
  ASSERT_TRUE(accessory_.connected());
  ASSERT_TRUE(runMainUntil([&] { return delegate_->connects.load() == 1; }));
  accessory_.Disconnect();
  ASSERT_TRUE(runMainUntil([&] { return delegate_->disconnects.load() == 2; }));
}

// ---------------------------------------------------------------- lifetimes

TEST_F(BadPaths, DelegateDestroyedWhileCallbacksAreQueuedIsSkipped) {
  accessory_.Connect();
  ASSERT_TRUE(accessory_.connected());
  ASSERT_TRUE(runMainUntil([&] { return delegate_->delivered.load() > 0; }));
  // Chunks and the open report wait in the main queue; the host lets go of
  // its delegate meanwhile.
  std::weak_ptr<HashingDelegate> weak = delegate_;
  delegate_.reset();
  // The dispatch thread may hold it for a pass under way, not longer; the
  // queued port callbacks run meanwhile and find no delegate.
  EXPECT_TRUE(runMainUntil([&] { return weak.expired(); }));
  EXPECT_EQ(accessory_.delegate(), nullptr);
  const uint64_t passes = accessory_.dispatchPasses();
  EXPECT_TRUE(runMainUntil([&] { return accessory_.dispatchPasses() > passes + 2; })) << "dispatch goes on";
  accessory_.Disconnect();
  platform::RunLoop::main().drain();
}

TEST_F(BadPaths, AccessoryDestroyedWhilePortCallbacksAreQueuedDropsThem) {
  auto accessory = std::make_unique<VelmoraObjC>();
  auto delegate = std::make_shared<HashingDelegate>();
  accessory->setDelegate(delegate);
  accessory->Connect();
  ASSERT_TRUE(accessory->connected());
  // Let chunks pile up in the main queue without running it.
  const uint64_t sent = simulator_->samplesSent();
  ASSERT_TRUE(test::waitUntil([&] { return simulator_->samplesSent() > sent + 64; }));
  auto port = ZPRSerialPort::existingPortWithPath(simulator_->devicePath());
  ASSERT_TRUE(port);
  accessory.reset();  // closes its port
  EXPECT_FALSE(port->isOpen());
  platform::RunLoop::main().drain();  // every queued callback, dropped
  platform::RunLoop::main().drain();
  EXPECT_EQ(delegate->connects.load(), 0) << "the queued open report went nowhere";
  EXPECT_EQ(delegate->delivered.load(), 0u);
}

}  // namespace
}  // namespace velmora
