// Coalesced reads: bytes that arrive during the wait come as one chunk, and
// a request, a hang-up, close() and turning the option off end the wait.
#include <sys/ioctl.h>

#include <atomic>
#include <cmath>

#include "support/LogCapture.h"
#include "support/SerialPortTestSupport.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::runMainUntil;
using Bytes = std::vector<uint8_t>;
using std::chrono::steady_clock;

// Far beyond the tests' 5 s looks: a wait nobody cuts short fails them.
constexpr double kLongWait = 30;

// The system's terminal calls, counting the read loop's waits for more data
// (the only waits that ask nothing of the device), so that a test can write
// its next bytes once the loop is in that wait.
struct WaitCountingIO : platform::TerminalIO {
  std::atomic<int> coalescingWaits{0};
  int wait(int fd, short events, int wakeFd, int timeoutMs) override {
    if (events == 0) ++coalescingWaits;
    return TerminalIO::wait(fd, events, wakeFd, timeoutMs);
  }
};

::testing::AssertionResult writeAndAwaitTheWait(const test::Pty& pty, const Bytes& bytes, WaitCountingIO& io) {
  const int before = io.coalescingWaits.load();
  pty.write(bytes);
  if (test::waitUntil([&] { return io.coalescingWaits.load() > before; })) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the read loop did not start waiting for more";
}

int unread(const ZPRSerialPort& port) {
  int count = -1;
  ::ioctl(port.fileDescriptor(), FIONREAD, &count);
  return count;
}

struct SerialPortCoalescing : test::PortTest {
  std::shared_ptr<WaitCountingIO> io = std::make_shared<WaitCountingIO>();
  SerialPortCoalescing() { port->setTerminalIO(io), openAndWait(); }
};

TEST_F(SerialPortCoalescing, BytesOfOneWaitArriveAsOneChunkUntilTheWaitEnds) {
  // readBy in 600 ms ends the long wait; one already past means no wait;
  // without one, turning the option off ends it.
  const std::vector<std::pair<ZPRSerialPort::ReadDeadline, size_t>> cases{
      {[](auto) { return steady_clock::now() + 600ms; }, 1},
      {[](auto) { return steady_clock::time_point{}; }, 2},
      {{}, 1}};
  for (size_t k = 0; k < cases.size(); ++k) {
    SCOPED_TRACE(k);
    const size_t before = delegate->count("data");
    const bool waits = cases[k].second == 1;
    port->setReadCoalescingInterval(kLongWait, cases[k].first);
    if (waits) {
      ASSERT_TRUE(writeAndAwaitTheWait(pty, {1, 2}, *io));
    } else {
      pty.write({1, 2});
      ASSERT_TRUE(runMainUntil([&] { return delegate->bytesReceived == 3 * k + 2; }));
    }
    pty.write({3});
    if (!cases[k].first) {
      // The pty passes bytes on asynchronously: all three are there first.
      ASSERT_TRUE(test::waitUntil([&] { return unread(*port) == 3; }));
      port->setReadCoalescingInterval(0);
    }
    ASSERT_TRUE(runMainUntil([&] { return delegate->bytesReceived == 3 * (k + 1); }));
    EXPECT_EQ(delegate->count("data") - before, cases[k].second);
  }
  EXPECT_EQ(delegate->receivedBytes(), (Bytes{1, 2, 3, 1, 2, 3, 1, 2, 3}));
  const std::pair<double, double> settings[]{{-1, 0}, {std::nan(""), 0}, {0.02, 0.02}, {1e9, 60}};
  for (auto [set, stored] : settings) {
    port->setReadCoalescingInterval(set);
    EXPECT_EQ(port->readCoalescingInterval(), stored) << set;
  }
}

TEST_F(SerialPortCoalescing, ARequestEndsTheWaitAndItsAnswerIsReadAsItComes) {
  port->setReadCoalescingInterval(kLongWait);
  ASSERT_TRUE(writeAndAwaitTheWait(pty, {'x'}, *io));
  auto request = ZPRSerialRequest::requestWithDataToSend({'?'}, {}, 0, [](std::span<const uint8_t> data) {
    return !data.empty() && data.back() == '!';
  });
  ASSERT_TRUE(port->sendRequest(request));
  ASSERT_TRUE(runMainUntil([&] { return delegate->bytesReceived == 1; }));
  pty.write({'!'});
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("response") == 1; }));
  EXPECT_EQ(delegate->events("response")[0].data, (Bytes{'x', '!'}));
}

TEST(SerialPortCoalescingEnd, AHangUpAndCloseEndTheWait) {
  for (bool hangUp : {true, false}) {
    SCOPED_TRACE(hangUp);
    test::Pty pty;
    auto port = ZPRSerialPort::serialPortWithDevice(pty.device());
    auto delegate = std::make_shared<test::RecordingDelegate>();
    port->setDelegate(delegate);
    auto io = std::make_shared<WaitCountingIO>();
    port->setTerminalIO(io);
    port->setReadCoalescingInterval(kLongWait);
    port->open();
    ASSERT_TRUE(writeAndAwaitTheWait(pty, {'x'}, *io));
    if (hangUp) {
      pty.closeMaster();
      EXPECT_TRUE(runMainUntil([&] { return delegate->count("removed") == 1; }));
    }
    port->close();
    std::weak_ptr<ZPRSerialPort> weak = port;  // held by the read loop until it ends
    port.reset();
    EXPECT_TRUE(runMainUntil([&] { return weak.expired(); }));
  }
}

}  // namespace
}  // namespace velmora
