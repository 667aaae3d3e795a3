// Requests and the port's request queue over a real pseudo-terminal: writing,
// response matching over split chunks, time-outs, queue order, answering at
// most once, and the bound on bytes gathered while no request is pending.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <set>

#include "ZPRSerialPort.h"
#include "ZPRSerialRequest.h"
#include "support/LogCapture.h"
#include "support/SerialPortTestSupport.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::Pty;
using test::RecordingDelegate;
using test::runMainUntil;

// An evaluator that records the sizes it was asked about.
struct AskedSizes {
  std::mutex mutex;
  std::vector<size_t> sizes;

  ZPRSerialRequest::ResponseEvaluator wanting(size_t count) {
    return [this, count](std::span<const uint8_t> data) {
      std::lock_guard<std::mutex> g(mutex);
      sizes.push_back(data.size());
      return data.size() >= count;
    };
  }
  std::vector<size_t> get() {
    std::lock_guard<std::mutex> g(mutex);
    return sizes;
  }
};

struct RequestFixture : ::testing::Test {
  Pty pty;
  std::shared_ptr<ZPRSerialPort> port = ZPRSerialPort::serialPortWithDevice(pty.device("Requests"));
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();

  RequestFixture() {
    port->setDelegate(delegate);
    port->open();
    EXPECT_TRUE(port->isOpen());
    EXPECT_TRUE(runMainUntil([&] { return delegate->count("opened") == 1; }));
  }
  ~RequestFixture() override {
    port->close();
    runMainUntil([&] { return delegate->count("closed") == 1; }, 2s);
    // The read loop lets go of the port within 100 ms of the close; a later
    // test on a reused pty path must get a fresh port object.
    std::weak_ptr<ZPRSerialPort> weak = port;
    port.reset();
    runMainUntil([&] { return weak.expired(); }, 2s);
  }
};

TEST(SerialRequest, MadeWithAFreshUUIDAndJudgedByItsEvaluator) {
  auto plain = ZPRSerialRequest::requestWithDataToSend({1, 2}, std::string("tag"), 1.5, nullptr);
  EXPECT_EQ(plain->dataToSend(), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(std::any_cast<std::string>(plain->userInfo()), "tag");
  EXPECT_DOUBLE_EQ(plain->timeoutInterval(), 1.5);
  EXPECT_TRUE(std::regex_match(plain->UUIDString(),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << plain->UUIDString();
  std::set<std::string> uuids;
  for (int i = 0; i < 100; ++i) uuids.insert(ZPRSerialRequest::requestWithDataToSend({}, {}, 0, nullptr)->UUIDString());
  EXPECT_EQ(uuids.size(), 100u);

  const std::vector<uint8_t> empty, some{0};
  EXPECT_FALSE(plain->dataIsValidResponse(empty));
  EXPECT_TRUE(plain->dataIsValidResponse(some));
  plain->setResponseEvaluator([](std::span<const uint8_t> d) { return d.size() == 0; });
  EXPECT_TRUE(plain->dataIsValidResponse(empty));
  EXPECT_FALSE(plain->dataIsValidResponse(some));
}

using SerialPortRequests = RequestFixture;

TEST_F(SerialPortRequests, SendDataWritesEverythingOnlyWhileOpen) {
  EXPECT_TRUE(port->sendData({}));
  auto bytes = test::bytesCounting(5000);  // more than one write of a pty may take
  EXPECT_TRUE(port->sendData(bytes));
  EXPECT_EQ(pty.read(bytes.size()), bytes);
  port->close();
  const std::vector<uint8_t> one{1};
  EXPECT_FALSE(port->sendData(one));
  EXPECT_FALSE(port->sendData({}));
  EXPECT_EQ(delegate->count("error"), 0u);
}

TEST_F(SerialPortRequests, TheEvaluatorSeesEverythingGatheredAcrossChunks) {
  AskedSizes asked;
  auto request = ZPRSerialRequest::requestWithDataToSend({0x51}, {}, 0, asked.wanting(4));
  EXPECT_TRUE(port->sendRequest(request));
  EXPECT_FALSE(port->hasPendingRequestTimeoutTimer());  // no time-out: no timer
  EXPECT_EQ(pty.read(1), (std::vector<uint8_t>{0x51}));

  pty.write({1, 2});
  ASSERT_TRUE(test::waitUntil([&] { return asked.get().size() == 1; }));
  pty.write({3, 4, 5});
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("response") == 1; }));
  EXPECT_EQ(asked.get(), (std::vector<size_t>{2, 5}));
  auto events = delegate->events();
  auto response = std::find_if(events.begin(), events.end(), [](auto& e) { return e.kind == "response"; });
  EXPECT_EQ(response->data, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(response->request, request);
  EXPECT_TRUE(response->onMainThread);
  // The data callbacks came first, as received.
  EXPECT_EQ(delegate->receivedBytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(port->pendingRequest(), nullptr);
  EXPECT_TRUE(port->receiveBuffer().empty());
}

TEST_F(SerialPortRequests, WithoutAnEvaluatorBytesGatheredBeforehandAnswerAtOnce) {
  pty.write({7, 7});
  // The data callback is queued before the chunk is gathered: wait for both.
  ASSERT_TRUE(runMainUntil([&] {
    return delegate->receivedBytes().size() == 2 && port->receiveBuffer() == std::vector<uint8_t>{7, 7};
  }));
  auto request = ZPRSerialRequest::requestWithDataToSend({0x10}, {}, 0, nullptr);
  port->sendRequest(request);
  pty.write({8});
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("response") == 1; }));
  auto events = delegate->events();
  auto response = std::find_if(events.begin(), events.end(), [](auto& e) { return e.kind == "response"; });
  EXPECT_EQ(response->data, (std::vector<uint8_t>{7, 7, 8}));
}

TEST_F(SerialPortRequests, QueuedRequestsAreSentInOrderOneAtATime) {
  auto first = ZPRSerialRequest::requestWithDataToSend({0xA1}, {}, 0, nullptr);
  auto second = ZPRSerialRequest::requestWithDataToSend({0xA2}, {}, 0, nullptr);
  auto third = ZPRSerialRequest::requestWithDataToSend({0xA3}, {}, 0, nullptr);
  EXPECT_TRUE(port->sendRequest(first));
  EXPECT_TRUE(port->sendRequest(second));
  EXPECT_TRUE(port->sendRequest(third));
  EXPECT_EQ(port->requestsQueue(), (std::vector<std::shared_ptr<ZPRSerialRequest>>{second, third}));
  EXPECT_EQ(pty.read(1), (std::vector<uint8_t>{0xA1}));
  EXPECT_TRUE(pty.read(1, 50ms).empty());  // the queued ones wait

  pty.write({1});
  ASSERT_TRUE(runMainUntil([&] { return port->pendingRequest() == second; }));
  EXPECT_EQ(pty.read(1), (std::vector<uint8_t>{0xA2}));
  pty.write({2});
  ASSERT_TRUE(runMainUntil([&] { return port->pendingRequest() == third; }));
  EXPECT_EQ(pty.read(1), (std::vector<uint8_t>{0xA3}));
  pty.write({3});
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("response") == 3; }));

  std::vector<std::shared_ptr<ZPRSerialRequest>> answered;
  for (auto& e : delegate->events())
    if (e.kind == "response") answered.push_back(e.request);
  EXPECT_EQ(answered, (std::vector<std::shared_ptr<ZPRSerialRequest>>{first, second, third}));
  EXPECT_TRUE(port->requestsQueue().empty());
}

TEST_F(SerialPortRequests, ATimeOutEmptiesTheBufferAndSendsTheNextRequest) {
  AskedSizes slowAsked, nextAsked;
  auto slow = ZPRSerialRequest::requestWithDataToSend({0xB1}, {}, 0.05, slowAsked.wanting(10));
  auto next = ZPRSerialRequest::requestWithDataToSend({0xB2}, {}, 0, nextAsked.wanting(1));
  port->sendRequest(slow);
  EXPECT_TRUE(port->hasPendingRequestTimeoutTimer());
  port->sendRequest(next);
  EXPECT_EQ(pty.read(1), (std::vector<uint8_t>{0xB1}));
  pty.write({1, 2, 3});  // part of a late answer
  ASSERT_TRUE(test::waitUntil([&] { return !slowAsked.get().empty() && slowAsked.get().back() == 3; }));

  ASSERT_TRUE(runMainUntil([&] { return delegate->count("timeout") == 1; }));
  auto events = delegate->events();
  auto timeout = std::find_if(events.begin(), events.end(), [](auto& e) { return e.kind == "timeout"; });
  EXPECT_EQ(timeout->request, slow);
  EXPECT_TRUE(timeout->onMainThread);
  EXPECT_EQ(port->pendingRequest(), next);
  EXPECT_TRUE(port->receiveBuffer().empty());
  EXPECT_EQ(pty.read(1), (std::vector<uint8_t>{0xB2}));

  // The next request sees only what arrives after the time-out.
  pty.write({9});
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("response") == 1; }));
  EXPECT_EQ(nextAsked.get(), (std::vector<size_t>{1}));
  EXPECT_EQ(delegate->count("timeout"), 1u);
}

TEST_F(SerialPortRequests, ARequestIsAnsweredOnceEvenWhenMoreArrivesBeforeTheHandOver) {
  AskedSizes asked;
  auto request = ZPRSerialRequest::requestWithDataToSend({0xC1}, {}, 5.0, asked.wanting(2));
  port->sendRequest(request);
  EXPECT_EQ(pty.read(1), (std::vector<uint8_t>{0xC1}));

  // The main loop does not run here, so the hand-over stays queued while
  // further chunks arrive.
  pty.write({1, 2});
  ASSERT_TRUE(test::waitUntil([&] { return !port->hasPendingRequestTimeoutTimer(); }));  // accepted
  pty.write({3});
  ASSERT_TRUE(test::waitUntil([&] { return port->receiveBuffer().size() == 3; }));
  pty.write({4, 5});
  ASSERT_TRUE(test::waitUntil([&] { return port->receiveBuffer().size() == 5; }));

  // A follow-up request: main-queue tasks run in order, so a second hand-over
  // for the first request would come before this one's.
  auto followUp = ZPRSerialRequest::requestWithDataToSend({0xC2}, {}, 0, nullptr);
  EXPECT_TRUE(port->sendRequest(followUp));  // queued behind the first
  ASSERT_TRUE(runMainUntil([&] { return port->pendingRequest() == followUp; }));
  EXPECT_EQ(pty.read(1), (std::vector<uint8_t>{0xC2}));
  pty.write({6});
  ASSERT_TRUE(runMainUntil([&] { return port->pendingRequest() == nullptr; }));

  std::vector<std::pair<std::shared_ptr<ZPRSerialRequest>, std::vector<uint8_t>>> responses;
  for (auto& e : delegate->events())
    if (e.kind == "response") responses.emplace_back(e.request, e.data);
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].first, request);
  EXPECT_EQ(responses[0].second, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(responses[1].first, followUp);
  // Bytes that came after the answer were dropped with the buffer.
  EXPECT_EQ(responses[1].second, (std::vector<uint8_t>{6}));
  EXPECT_EQ(asked.get(), (std::vector<size_t>{2}));
  EXPECT_EQ(delegate->count("timeout"), 0u);
}

TEST_F(SerialPortRequests, UnsolicitedBytesAreBoundedButAPendingRequestSeesAll) {
  auto stream = test::bytesCounting(6000);
  pty.write(stream);
  const std::vector<uint8_t> newest(stream.end() - ZPRSerialPort::kUnsolicitedReceiveLimit, stream.end());
  // Only the newest 4096 bytes are kept once everything has been gathered.
  ASSERT_TRUE(runMainUntil(
      [&] { return delegate->receivedBytes().size() == stream.size() && port->receiveBuffer() == newest; }));

  AskedSizes asked;
  auto request = ZPRSerialRequest::requestWithDataToSend({0xD1}, {}, 0, asked.wanting(4096 + 5000));
  port->sendRequest(request);
  pty.write(test::bytesCounting(5000, 3));
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("response") == 1; }));
  auto events = delegate->events();
  auto response = std::find_if(events.begin(), events.end(), [](auto& e) { return e.kind == "response"; });
  EXPECT_EQ(response->data.size(), 4096u + 5000u);
}

TEST_F(SerialPortRequests, AFirstRequestTimesOutOnTheSendingThreadsRunLoop) {
  auto request = ZPRSerialRequest::requestWithDataToSend({0xE1}, {}, 0.02, nullptr);
  std::atomic<bool> timedOutHere{false};
  std::thread sender([&] {
    port->sendRequest(request);
    auto& loop = platform::RunLoop::current();
    // The handler waits on the main queue for the delegate's call.
    loop.runUntil([&] { return port->pendingRequest() == nullptr; }, 5s);
    timedOutHere = port->pendingRequest() == nullptr;
  });
  ASSERT_TRUE(runMainUntil([&] { return delegate->count("timeout") == 1; }));
  sender.join();
  EXPECT_TRUE(timedOutHere);
  EXPECT_TRUE(delegate->allOnMainThread());
}

}  // namespace
}  // namespace velmora
