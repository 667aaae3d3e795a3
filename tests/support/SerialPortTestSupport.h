// Test support for the serial port suites: a pseudo-terminal whose master end
// the test drives, a delegate that records every callback, and helpers that
// run the main run loop until a condition holds.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZPRSerialPort.h"
#include "platform/DeviceRegistry.h"
#include "platform/MainQueue.h"
#include "platform/RunLoop.h"

namespace velmora::test {

using namespace std::chrono_literals;

// Runs the main run loop until `done` holds or `timeout` passes.
template <typename Pred>
bool runMainUntil(Pred done, std::chrono::milliseconds timeout = 5s) {
  return platform::RunLoop::main().runUntil([&] { return done(); }, timeout);
}

// A pseudo-terminal pair.  The port opens the slave by path; the test keeps
// its own slave descriptor (to read attributes back) and writes and reads the
// master end as the "device".
class Pty {
 public:
  Pty() {
    char name[256];
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    path_ = name;
  }
  ~Pty() {
    closeMaster();
    if (slave_ >= 0) ::close(slave_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }
  int slave() const { return slave_; }

  // Unplugs the "device": the slave reads EIO from now on.
  void closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  void write(const std::vector<uint8_t>& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n < 0) throw std::runtime_error("write to pty master failed");
      done += static_cast<size_t>(n);
    }
  }

  // Reads from the master what the port wrote, until `count` bytes arrived or
  // `timeout` passed.
  std::vector<uint8_t> read(size_t count, std::chrono::milliseconds timeout = 5s) const {
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
      uint8_t buf[4096];
      ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

  // A registry device for this pty: callout path `callout` (the slave's path
  // by default), the slave's path as further path when they differ.
  platform::DeviceRef device(const std::string& name = "TestPort", std::string callout = {}) const {
    if (callout.empty()) callout = path_;
    std::vector<std::string> others;
    if (callout != path_) others.push_back(path_);
    return std::make_shared<const platform::Device>(callout, others, name);
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// One delegate callback as seen by RecordingDelegate.
struct PortEvent {
  std::string kind;  // "opened", "closed", "removed", "error", "data", "response", "timeout"
  bool onMainThread = false;
  int errorCode = 0;
  std::vector<uint8_t> data;
  std::shared_ptr<ZPRSerialRequest> request;

  static PortEvent make(std::string kind, int errorCode = 0, std::vector<uint8_t> data = {},
                        std::shared_ptr<ZPRSerialRequest> request = nullptr) {
    PortEvent e;
    e.kind = std::move(kind);
    e.errorCode = errorCode;
    e.data = std::move(data);
    e.request = std::move(request);
    return e;
  }
};

// Records every callback, with the thread it ran on.  Implements every
// optional method.
class RecordingDelegate : public ZPRSerialPortDelegateBase<RecordingDelegate> {
 public:
  void serialPortWasOpened(ZPRSerialPort&) override { add(PortEvent::make("opened")); }
  void serialPortWasClosed(ZPRSerialPort&) override { add(PortEvent::make("closed")); }
  void serialPortWasRemovedFromSystem(ZPRSerialPort&) override { add(PortEvent::make("removed")); }
  void serialPortDidEncounterError(ZPRSerialPort& port, const ZPRSerialPortError& error) override {
    lastErrorPath = error.filePath;
    lastErrorDomain = error.domain;
    (void)port;
    add(PortEvent::make("error", error.code));
  }
  void serialPortDidReceiveData(ZPRSerialPort&, std::span<const uint8_t> data) override {
    add(PortEvent::make("data", 0, {data.begin(), data.end()}));
  }
  void serialPortDidReceiveResponseToRequest(ZPRSerialPort&, std::span<const uint8_t> response,
                                             const std::shared_ptr<ZPRSerialRequest>& request) override {
    add(PortEvent::make("response", 0, {response.begin(), response.end()}, request));
  }
  void serialPortRequestDidTimeout(ZPRSerialPort&, const std::shared_ptr<ZPRSerialRequest>& request) override {
    add(PortEvent::make("timeout", 0, {}, request));
  }

  std::vector<PortEvent> events() const {
    std::lock_guard<std::mutex> g(mutex_);
    return events_;
  }
  // The kinds of the events other than "data", in order.
  std::vector<std::string> kinds() const {
    std::vector<std::string> out;
    for (auto& e : events())
      if (e.kind != "data") out.push_back(e.kind);
    return out;
  }
  size_t count(const std::string& kind) const {
    size_t n = 0;
    for (auto& e : events()) n += e.kind == kind;
    return n;
  }
  std::vector<uint8_t> receivedBytes() const {
    std::vector<uint8_t> out;
    for (auto& e : events())
      if (e.kind == "data") out.insert(out.end(), e.data.begin(), e.data.end());
    return out;
  }
  bool allOnMainThread() const {
    for (auto& e : events())
      if (!e.onMainThread) return false;
    return true;
  }

  std::string lastErrorPath;
  std::string lastErrorDomain;

 private:
  void add(PortEvent e) {
    e.onMainThread = platform::MainQueue::isMainThread();
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

}  // namespace velmora::test
