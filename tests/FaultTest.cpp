// Faults below the connection (the connection's own are in ConnectionTest, unplugging
// with a request pending in SerialPortIOTest): a cut-off stream, two processes racing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "VelmoraObjC.h"
#include "sim/PacketEncoder.h"
#include "support/SerialPortTestSupport.h"
#include "support/SoakHarness.h"

namespace velmora {
namespace {

using sim::PacketEncoder;

// A cut-off packet swallows the bytes that follow as its own until its length
// is used up: at most 255 payload bytes and a checksum, so the framer is back
// in step within 32 raw-sample packets (a cut right after the sync bytes
// reads the next packet's sync byte 0xAA as a length of 170).
TEST(BadStream, APacketCutOffCostsAtMostOneMaximumLengthOfBytes) {
  VelmoraObjC accessory;
  const std::vector<uint8_t> whole = PacketEncoder::rawPacket(7);
  for (size_t cut = 1; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    accessory.resetParser();
    std::vector<uint8_t> bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    for (int16_t s = 100; s < 200; ++s) PacketEncoder::appendPacket(bytes, PacketEncoder::rawRow(s));
    accessory.parseByte(std::span<const uint8_t>(bytes));
    const Value::Array got = accessory.takeData().at("raw").asArray();
    ASSERT_GE(got.size(), 100u - 32u);
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<int32_t>(200 - got.size() + i));
  }
}

// Two child processes open one pty at once (when the parent closes `go`): one
// wins, the other gets the port error.  Forked while this process is single-
// threaded, each child starts clean, answers, and holds the device until
// ended.
TEST(FaultProcesses, TwoProcessesRacingForOneDeviceOneWinsOneGetsThePortError) {
  if (test::liveThreads() != 1) GTEST_SKIP() << "needs a process of its own (CTest runs each test alone)";
  for (int round = 0; round < 8; ++round) {
    test::Pty pty;
    int go[2], answers[2];
    ASSERT_EQ(::pipe(go) | ::pipe(answers), 0);
    pid_t children[2];
    for (pid_t& child : children) {
      ASSERT_GE(child = ::fork(), 0);
      if (child != 0) continue;
      ::close(go[1]);
      auto port = ZPRSerialPort::serialPortWithDevice(pty.device("Race"));
      auto delegate = std::make_shared<test::RecordingDelegate>();
      port->setDelegate(delegate);
      char answer[2] = {0, 0};
      (void)!::read(go[0], answer, 1);
      port->open();
      platform::RunLoop::main().drain();
      answer[0] = port->isOpen() ? 'O' : 'E';
      for (const auto& e : delegate->events()) {
        if (e.kind == "error") answer[1] = static_cast<char>(e.errorCode);
      }
      (void)!::write(answers[1], answer, 2);
      ::pause();
    }
    for (int fd : {go[0], go[1], answers[1]}) ::close(fd);
    char got[4] = {};
    EXPECT_EQ(::read(answers[0], got, 2) + ::read(answers[0], got + 2, 2), 4);
    ::close(answers[0]);
    for (pid_t child : children) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
    EXPECT_EQ((got[0] == 'O') + (got[2] == 'O'), 1) << "round " << round;
    EXPECT_EQ(got[0] == 'O' ? got[3] : got[1], EWOULDBLOCK) << "the loser gets the lock's error";
  }
}

}  // namespace
}  // namespace velmora
