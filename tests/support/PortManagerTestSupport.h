// Test support for the suites that use the process-wide port manager: a
// device folder of the test's own with published ptys, recorders for the
// manager's notifications and list changes, and a way to let the main queue
// catch up.
//
// The manager is a singleton created on first use and the shared registry
// reads the device folder once, so each such test needs a fresh process
// (CTest runs every test in its own).  A second test in one process skips
// itself with a note rather than failing for the wrong reason.
#pragma once

#include <gtest/gtest.h>
#include <sys/file.h>

#include <any>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZPRSerialPortManager.h"
#include "platform/DeviceFolder.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "support/SerialPortTestSupport.h"
#include "support/TempPty.h"

namespace velmora::test {

inline std::vector<std::string> namesOf(const SerialPortList& ports) {
  std::vector<std::string> names;
  for (const auto& p : ports) names.push_back(p->name());
  return names;
}

// Runs the main loop until every task queued on the main queue before this
// call has run.
inline bool letMainQueueCatchUp() {
  auto done = std::make_shared<std::atomic<bool>>(false);
  platform::MainQueue::async([done] { done->store(true); });
  return runMainUntil([&] { return done->load(); });
}

// Opens `path` and takes the exclusive lock a port takes, so that a port's
// open() of it fails.  Released when the object goes.
class DeviceLock {
 public:
  explicit DeviceLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0) throw std::runtime_error("cannot lock " + path);
  }
  ~DeviceLock() { ::close(fd_); }
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

 private:
  int fd_;
};

// Every notification of one name, with the port list under `key`.
class NotificationLog {
 public:
  struct Entry {
    SerialPortList ports;
    const void* sender = nullptr;
    bool onMainThread = false;
  };

  NotificationLog(std::string name, std::string key) : key_(std::move(key)) {
    token_ = platform::NotificationCenter::shared().addObserver(name, [this](const platform::Notification& n) {
      Entry e;
      auto it = n.userInfo.find(key_);
      if (it != n.userInfo.end()) e.ports = std::any_cast<SerialPortList>(it->second);
      e.sender = n.sender;
      e.onMainThread = platform::MainQueue::isMainThread();
      std::lock_guard<std::mutex> g(m_);
      entries_.push_back(std::move(e));
    });
  }
  ~NotificationLog() { platform::NotificationCenter::shared().removeObserver(token_); }
  NotificationLog(const NotificationLog&) = delete;
  NotificationLog& operator=(const NotificationLog&) = delete;

  std::vector<Entry> entries() const {
    std::lock_guard<std::mutex> g(m_);
    return entries_;
  }
  size_t count() const { return entries().size(); }

 private:
  std::string key_;
  platform::NotificationCenter::Token token_ = 0;
  mutable std::mutex m_;
  std::vector<Entry> entries_;
};

// Every change of the manager's "availablePorts".
class ListChangeLog {
 public:
  explicit ListChangeLog(ZPRSerialPortManager& manager) : manager_(manager) {
    token_ = manager_.addObserver("availablePorts", [this](const platform::Change& c) {
      std::lock_guard<std::mutex> g(m_);
      changes_.push_back(c);
    });
  }
  ~ListChangeLog() { manager_.removeObserver(token_); }
  ListChangeLog(const ListChangeLog&) = delete;
  ListChangeLog& operator=(const ListChangeLog&) = delete;

  std::vector<platform::Change> changes() const {
    std::lock_guard<std::mutex> g(m_);
    return changes_;
  }

 private:
  ZPRSerialPortManager& manager_;
  platform::Observable::Token token_ = 0;
  mutable std::mutex m_;
  std::vector<platform::Change> changes_;
};

// A device folder of the test's own, in which ptys are published by name.
class DeviceFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool processUsed = false;
    if (processUsed) GTEST_SKIP() << "needs a process of its own (the port manager is a singleton): run it via ctest";
    processUsed = true;
    platform::DeviceFolder::setPath(dir_.path());
  }

  // Publishes a new pty as "tty.NAME"; the pty lives as long as the test.
  Pty& publish(const std::string& name) {
    auto pty = std::make_unique<Pty>();
    platform::DeviceFolder::publish(name, pty->path());
    return *(ptys_[name] = std::move(pty));
  }
  Pty& pty(const std::string& name) { return *ptys_.at(name); }
  std::string linkPath(const std::string& name) const { return dir_.path() + "/tty." + name; }

  // The manager's port named `name`, once the manager lists it (running the
  // main loop meanwhile); null if it does not within the deadline.
  static std::shared_ptr<ZPRSerialPort> listedPort(const std::string& name) {
    std::shared_ptr<ZPRSerialPort> found;
    runMainUntil([&] {
      for (const auto& p : ZPRSerialPortManager::sharedSerialPortManager().availablePorts()) {
        if (p->name() == name) found = p;
      }
      return found != nullptr;
    });
    return found;
  }

  TempDir dir_;
  std::map<std::string, std::unique_ptr<Pty>> ptys_;
};

}  // namespace velmora::test
