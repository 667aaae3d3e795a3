// Requests: writing, matching over split chunks, time-outs and their thread,
// queue order and bound, answering at most once, the receive buffer's bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <set>
#include <thread>

#include "support/LogCapture.h"
#include "support/ScriptedTerminalIO.h"
#include "support/SerialPortTestSupport.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::runMainUntil;
using Bytes = std::vector<uint8_t>;
using Request = std::shared_ptr<ZPRSerialRequest>;

Request request(Bytes bytes, double timeout = 0, ZPRSerialRequest::ResponseEvaluator evaluator = nullptr) {
  return ZPRSerialRequest::requestWithDataToSend(std::move(bytes), {}, timeout, std::move(evaluator));
}

// An evaluator that wants `count` bytes and records the sizes it was asked about.
struct Wanting {
  explicit Wanting(size_t n) : count(n) {}
  ZPRSerialRequest::ResponseEvaluator evaluator() {
    return [this](std::span<const uint8_t> data) {
      std::lock_guard<std::mutex> g(mutex);
      return asked.push_back(data.size()), data.size() >= count;
    };
  }
  std::vector<size_t> sizes() {
    std::lock_guard<std::mutex> g(mutex);
    return asked;
  }
  size_t count;
  std::mutex mutex;
  std::vector<size_t> asked;
};

struct SerialPortRequests : test::PortTest {
  SerialPortRequests() { openAndWait(); }
  std::vector<test::PortEvent> responses() const { return delegate->events("response"); }
};

TEST_F(SerialPortRequests, SendDataWritesEverythingOnlyWhileOpen) {
  std::set<std::string> uuids;  // each request's own, in the standard text form
  for (int i = 0; i < 50; ++i) uuids.insert(request({})->UUIDString());
  EXPECT_EQ(uuids.size(), 50u);
  EXPECT_TRUE(std::regex_match(*uuids.begin(), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << *uuids.begin();
  EXPECT_TRUE(port->sendData({}));
  auto bytes = test::bytesCounting(5000);  // more than one write of a pty may take
  EXPECT_TRUE(port->sendData(bytes));
  EXPECT_EQ(pty.read(bytes.size()), bytes);
  port->close();
  EXPECT_FALSE(port->sendData(Bytes{1}) || port->sendData({}));
}

TEST_F(SerialPortRequests, TheEvaluatorSeesEverythingGatheredAcrossChunksAndRequestsGoInOrder) {
  pty.write({7});  // gathered before the request: part of what it is asked about
  ASSERT_TRUE(runMainUntil([&] { return port->receiveBuffer() == Bytes{7}; }));
  Wanting five(5);
  std::vector<Request> sent{request({0xA1}, 0, five.evaluator()), request({0xA2}), request({0xA3})};
  for (auto& r : sent) EXPECT_TRUE(port->sendRequest(r));
  EXPECT_FALSE(port->hasPendingRequestTimeoutTimer());  // no time-out: no timer
  EXPECT_EQ(port->requestsQueue(), (std::vector<Request>{sent[1], sent[2]}));
  EXPECT_EQ(pty.read(1), Bytes{0xA1});
  EXPECT_TRUE(pty.read(1, 50ms).empty());  // the queued ones wait
  pty.write({1, 2});
  ASSERT_TRUE(test::waitUntil([&] { return five.sizes().size() == 1; }));
  pty.write({3, 4, 5});
  ASSERT_TRUE(runMainUntil([&] { return responses().size() == 1; }));
  EXPECT_EQ(five.sizes(), (std::vector<size_t>{3, 6}));
  EXPECT_EQ(responses()[0].data, (Bytes{7, 1, 2, 3, 4, 5}));
  for (uint8_t i = 1; i < 3; ++i) {
    EXPECT_EQ(pty.read(1), Bytes{static_cast<uint8_t>(0xA1 + i)});
    pty.write({i});
    ASSERT_TRUE(runMainUntil([&] { return responses().size() == i + 1u; }));
    EXPECT_EQ(responses()[i].request, sent[i]);
  }
  EXPECT_TRUE(delegate->allOnMainThread());
  EXPECT_TRUE(port->receiveBuffer().empty() && port->requestsQueue().empty() && !port->pendingRequest());
}

TEST_F(SerialPortRequests, ARequestIsAnsweredOnceEvenWhenMoreArrivesBeforeTheHandOver) {
  Wanting two(2);
  port->sendRequest(request({0xC1}, 5.0, two.evaluator()));
  pty.write({1, 2});  // the main loop does not run: the hand-over stays queued
  ASSERT_TRUE(test::waitUntil([&] { return !port->hasPendingRequestTimeoutTimer(); }));  // accepted
  pty.write({3});
  ASSERT_TRUE(test::waitUntil([&] { return port->receiveBuffer().size() == 3; }));
  // Main-queue tasks run in order: a second hand-over would come before the follow-up's.
  auto followUp = request({0xC2});
  EXPECT_TRUE(port->sendRequest(followUp));
  ASSERT_TRUE(runMainUntil([&] { return port->pendingRequest() == followUp; }));
  pty.write({6});
  ASSERT_TRUE(runMainUntil([&] { return port->pendingRequest() == nullptr; }));
  ASSERT_EQ(responses().size(), 2u);
  EXPECT_EQ(responses()[0].data, (Bytes{1, 2}));
  EXPECT_EQ(responses()[1].data, Bytes{6});  // bytes after the answer went with the buffer
  EXPECT_EQ(two.sizes(), std::vector<size_t>{2});
}

TEST_F(SerialPortRequests, TheReceiveBufferIsBoundedWithOrWithoutARequest) {
  auto stream = test::bytesCounting(6000);
  pty.write(stream);
  const Bytes newest(stream.end() - ZPRSerialPort::kUnsolicitedReceiveLimit, stream.end());
  ASSERT_TRUE(runMainUntil([&] { return delegate->bytesReceived == stream.size() && port->receiveBuffer() == newest; }));
  // A request sees the kept bytes and everything after them...
  port->sendRequest(request({0xD1}, 0, [](std::span<const uint8_t> d) { return d.size() >= 4096 + 5000; }));
  pty.write(test::bytesCounting(5000, 3));
  ASSERT_TRUE(runMainUntil([&] { return responses().size() == 1; }));
  EXPECT_EQ(responses()[0].data.size(), 4096u + 5000u);
  // ...up to its bound: then it ends as if it had timed out.
  Wanting never(SIZE_MAX);
  test::LogCapture log;
  port->sendRequest(request({0xD2}, 0, never.evaluator()));
  std::thread device([&] { pty.write(test::bytesCounting(ZPRSerialPort::kMaximumResponseLength + 8 * 1024)); });
  const bool ended = runMainUntil([&] { return delegate->count("timeout") == 1; });
  device.join();
  ASSERT_TRUE(ended);
  EXPECT_LE(never.sizes().back(), ZPRSerialPort::kMaximumResponseLength + ZPRSerialPort::kMaximumReadLength);
  EXPECT_EQ(log.count("No response from TestPort within 65536 bytes; the request times out"), 1u);
  EXPECT_EQ(port->pendingRequest(), nullptr);
  EXPECT_LE(port->receiveBuffer().size(), ZPRSerialPort::kUnsolicitedReceiveLimit);
}

TEST(SerialRequestLimits, ClosedPortsBoundTheirQueueAndOddTimeOutsMeanNone) {
  auto queued = test::virtualPort("/test/queue-bound");
  EXPECT_FALSE(queued->sendRequest(request({1})));  // pending; the write fails
  for (size_t i = 0; i < ZPRSerialPort::kMaximumQueuedRequests; ++i) ASSERT_TRUE(queued->sendRequest(request({1})));
  EXPECT_FALSE(queued->sendRequest(request({1})));

  const double inf = std::numeric_limits<double>::infinity();
  int n = 0;
  for (double timeout : {inf, -inf, std::nan(""), 1e10, 1e300, 0.0, -1.0, 1e9}) {
    auto port = test::virtualPort("/test/time-out-" + std::to_string(++n));
    port->sendRequest(request({1}, timeout));
    EXPECT_EQ(port->hasPendingRequestTimeoutTimer(), timeout == 1e9) << timeout;  // no timer: nothing can fire
  }
}

TEST_F(SerialPortRequests, AFirstRequestTimesOutOnTheSendingThreadsRunLoop) {
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    port->sendRequest(request({0xE1}, 0.02, [](std::span<const uint8_t>) { return false; }));
    sent = true;
    platform::RunLoop::current().runUntil([&] { return port->pendingRequest() == nullptr; }, 10s);
  });
  // Only the sender's loop runs, so only a timer there can fire.
  EXPECT_TRUE(test::waitUntil([&] { return sent && !port->hasPendingRequestTimeoutTimer(); }));
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("timeout") == 1; }));  // the delegate hears on the main thread
  sender.join();
  EXPECT_TRUE(delegate->allOnMainThread());
}

using SerialRequestThreads = test::PortTest;

TEST_F(SerialRequestThreads, ATimeOutWhileTheEvaluatorRunsAnswersTheRequestOnce) {
  auto io = std::make_shared<test::ScriptedTerminalIO>();
  port->setTerminalIO(io);
  port->open();
  std::atomic<bool> evaluating{false}, release{false};
  port->sendRequest(request({1}, 0.05, [&](std::span<const uint8_t>) {
    evaluating = true;
    return test::waitUntil([&] { return release.load(); }, 10s);
  }));
  io->queueChunk({1});
  ASSERT_TRUE(test::waitUntil([&] { return evaluating.load(); }));
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("timeout") == 1; }));
  release = true;  // the evaluator accepts, too late
  ASSERT_TRUE(runMainUntil([&] { return io->isQuiet(); }));
  platform::RunLoop::main().drain();
  EXPECT_EQ(delegate->count("response"), 0u);
}

}  // namespace
}  // namespace velmora
