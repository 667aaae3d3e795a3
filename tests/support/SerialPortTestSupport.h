// Test support for the serial port suites: a pseudo-terminal whose master end
// the test drives as the device, a delegate that records every callback, and
// a fixture with a port on a fresh pty.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>

#include "ZPRSerialPort.h"
#include "platform/MainQueue.h"
#include "platform/TerminalIO.h"
#include "support/TempPty.h"

namespace velmora::test {

using namespace std::chrono_literals;

// Runs the main run loop until `done` holds or `timeout` passes.
template <typename Pred>
bool runMainUntil(Pred done, std::chrono::milliseconds timeout = 5s) {
  return platform::RunLoop::main().runUntil([&] { return done(); }, timeout);
}

// The port opens the slave by path; the test writes and reads the master.
class Pty : public TempPty {
 public:
  void write(const std::vector<uint8_t>& bytes) const {
    for (size_t done = 0; done < bytes.size();) {
      ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n < 0) throw std::runtime_error("write to pty master failed");
      done += static_cast<size_t>(n);
    }
  }
  // What the port wrote: `count` bytes, or fewer after `timeout` of silence.
  std::vector<uint8_t> read(size_t count, std::chrono::milliseconds timeout = 5s) const {
    std::vector<uint8_t> out(count);
    size_t got = 0;
    for (pollfd p{master_, POLLIN, 0}; got < count && ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;) {
      ssize_t n = ::read(master_, out.data() + got, count - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
  }
  // A registry device: `callout` (default: the slave's path) to open.
  platform::DeviceRef device(const std::string& name = "TestPort", std::string callout = {}) const {
    return std::make_shared<const platform::Device>(callout.empty() ? path_ : callout,
                                                    std::vector<std::string>{path_}, name);
  }
};

// A port for a device that exists nowhere (closed, or on a ScriptedTerminalIO).
inline std::shared_ptr<ZPRSerialPort> virtualPort(const std::string& path) {
  return ZPRSerialPort::serialPortWithDevice(std::make_shared<const platform::Device>(path, std::vector<std::string>{}, "Virtual"));
}

struct PortEvent {
  std::string kind;  // "opened", "closed", "removed", "error", "data", "response", "timeout"
  bool onMainThread = false;
  int errorCode = 0;
  std::vector<uint8_t> data;
  std::shared_ptr<ZPRSerialRequest> request;
};

// Records every callback (all optional ones implemented) and its thread.
class RecordingDelegate : public ZPRSerialPortDelegateBase<RecordingDelegate> {
 public:
  void serialPortWasOpened(ZPRSerialPort&) override { add("opened"); }
  void serialPortWasClosed(ZPRSerialPort&) override { add("closed"); }
  void serialPortWasRemovedFromSystem(ZPRSerialPort&) override { add("removed"); }
  void serialPortDidEncounterError(ZPRSerialPort&, const ZPRSerialPortError& error) override { add("error", error.code); }
  void serialPortDidReceiveData(ZPRSerialPort&, std::span<const uint8_t> data) override {
    add("data", 0, {data.begin(), data.end()});
    bytesReceived += data.size();
  }
  void serialPortDidReceiveResponseToRequest(ZPRSerialPort&, std::span<const uint8_t> response,
                                             const std::shared_ptr<ZPRSerialRequest>& request) override {
    add("response", 0, {response.begin(), response.end()}, request);
  }
  void serialPortRequestDidTimeout(ZPRSerialPort&, const std::shared_ptr<ZPRSerialRequest>& request) override {
    add("timeout", 0, {}, request);
  }

  std::vector<PortEvent> events(const std::string& kind = "") const {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<PortEvent> out;
    std::copy_if(events_.begin(), events_.end(), std::back_inserter(out),
                 [&](auto& e) { return kind.empty() || e.kind == kind; });
    return out;
  }
  // The kinds of the events other than "data", in order.
  std::vector<std::string> kinds() const {
    std::vector<std::string> out;
    for (auto& e : events())
      if (e.kind != "data") out.push_back(e.kind);
    return out;
  }
  size_t count(const std::string& kind) const { return events(kind).size(); }
  std::vector<uint8_t> receivedBytes() const {
    std::vector<uint8_t> out;
    for (auto& e : events("data")) out.insert(out.end(), e.data.begin(), e.data.end());
    return out;
  }
  bool allOnMainThread() const {
    auto all = events();
    return std::all_of(all.begin(), all.end(), [](auto& e) { return e.onMainThread; });
  }

  std::atomic<size_t> bytesReceived{0};  // cheap to poll, unlike receivedBytes()

 private:
  void add(std::string kind, int code = 0, std::vector<uint8_t> data = {}, std::shared_ptr<ZPRSerialRequest> r = {}) {
    PortEvent e{std::move(kind), platform::MainQueue::isMainThread(), code, std::move(data), std::move(r)};
    std::lock_guard<std::mutex> g(mutex_);
    events_.push_back(std::move(e));
  }
  mutable std::mutex mutex_;
  std::vector<PortEvent> events_;
};

inline std::vector<uint8_t> bytesCounting(size_t count, uint8_t start = 0) {
  std::vector<uint8_t> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(start + i * 7 + i / 256);
  return out;
}

// A port on a fresh pty with a recording delegate; at the end it is closed
// and released, so that a later test on a reused pty path gets a new one.
struct PortTest : ::testing::Test {
  Pty pty;
  std::shared_ptr<ZPRSerialPort> port = ZPRSerialPort::serialPortWithDevice(pty.device());
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();

  PortTest() { port->setDelegate(delegate); }
  ~PortTest() override {
    port->close();
    runMainUntil([&] { return delegate->count("closed") >= delegate->count("opened"); }, 2s);
    std::weak_ptr<ZPRSerialPort> weak = port;
    port.reset();
    runMainUntil([&] { return weak.expired(); }, 2s);
  }
  void openAndWait() {
    port->open();
    ASSERT_TRUE(port->isOpen());
    ASSERT_TRUE(runMainUntil([&] { return delegate->count("opened") >= 1; }));
  }
};

}  // namespace velmora::test
