// Test support for the suites that use the process-wide port manager: a
// device folder of the test's own with published ptys, a lock that keeps a
// port from opening, and a way to let the main queue catch up.  The manager
// is a singleton and the shared registry reads the folder once, so each such
// test needs a process of its own (CTest runs every test in its own); a
// second test in one process skips itself rather than fail for the wrong reason.
#pragma once

#include <gtest/gtest.h>
#include <sys/file.h>

#include <atomic>
#include <map>

#include "ZPRSerialPortManager.h"
#include "platform/DeviceFolder.h"
#include "platform/MainQueue.h"
#include "support/SerialPortTestSupport.h"
#include "support/TempPty.h"

namespace velmora::test {

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
