// Coalesced reads: bytes that arrive during the wait come as one chunk, and
// a request, a hang-up, close() and turning the option off end the wait.
#include <cmath>
#include <thread>

#include "support/SerialPortTestSupport.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::runMainUntil;
using Bytes = std::vector<uint8_t>;
using std::chrono::steady_clock;

// Far beyond the tests' 5 s looks: a wait nobody cuts short fails them.
constexpr double kLongWait = 30;

// Writes `bytes`, then gives the read loop time to wake and start its wait.
void writeAndLetTheLoopWait(const test::Pty& pty, const Bytes& bytes) {
  pty.write(bytes);
  std::this_thread::sleep_for(200ms);
}

using SerialPortCoalescing = test::PortTest;

TEST_F(SerialPortCoalescing, BytesOfOneWaitArriveAsOneChunkUntilTheWaitEnds) {
  openAndWait();
  // readBy in 600 ms ends the long wait; one already past means no wait;
  // without one, turning the option off ends it.
  const std::vector<std::pair<ZPRSerialPort::ReadDeadline, size_t>> cases{
      {[](auto) { return steady_clock::now() + 600ms; }, 1},
      {[](auto) { return steady_clock::time_point{}; }, 2},
      {{}, 1}};
  for (size_t k = 0; k < cases.size(); ++k) {
    SCOPED_TRACE(k);
    const size_t before = delegate->count("data");
    port->setReadCoalescingInterval(kLongWait, cases[k].first);
    writeAndLetTheLoopWait(pty, {1, 2});
    writeAndLetTheLoopWait(pty, {3});  // the pty passes bytes on asynchronously
    if (!cases[k].first) port->setReadCoalescingInterval(0);
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
  openAndWait();
  port->setReadCoalescingInterval(kLongWait);
  writeAndLetTheLoopWait(pty, {'x'});
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
    port->setReadCoalescingInterval(kLongWait);
    port->open();
    writeAndLetTheLoopWait(pty, {'x'});
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
