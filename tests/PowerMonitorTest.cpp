#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/PowerMonitor.h"
#include "platform/RunLoop.h"
#include "support/LogCapture.h"

extern char** environ;

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

// Points the process's system bus at `address` for the lifetime of the
// object.
class SystemBusAddress {
 public:
  explicit SystemBusAddress(const std::string& address) {
    const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (old != nullptr) saved_ = old;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  }
  ~SystemBusAddress() {
    if (saved_.empty()) {
      ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    } else {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved_.c_str(), 1);
    }
  }

 private:
  std::string saved_;
};

TEST(PowerMonitor, WithoutASystemBusStartFailsQuietly) {
  auto dir = std::filesystem::temp_directory_path() / ("velmora-nobus-" + std::to_string(::getpid()));
  SystemBusAddress address("unix:path=" + (dir / "missing").string());
  test::LogCapture log;
  PowerMonitor monitor;
  EXPECT_FALSE(monitor.start());
  EXPECT_FALSE(monitor.isRunning());
  EXPECT_FALSE(monitor.start());
  monitor.stop();
  monitor.stop();
  EXPECT_TRUE(log.lines().empty());
}

// A private bus daemon with a stand-in login manager: it answers Inhibit
// with the write end of a pipe (so the test sees when the lock is given up)
// and emits PrepareForSleep on request.
class FakeLoginManager {
 public:
  FakeLoginManager() {
    dir_ = std::filesystem::temp_directory_path() / ("velmora-bus-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    socket_ = (dir_ / "bus").string();
    std::ofstream(dir_ / "bus.conf") << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=)" << socket_ << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
    std::string config = "--config-file=" + (dir_ / "bus.conf").string();
    char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>("--nofork"),
                    const_cast<char*>("--nopidfile"), config.data(), nullptr};
    posix_spawn_file_actions_t quiet;  // the daemon complains about fd limits it may not raise
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    daemonStarted_ = ::posix_spawnp(&daemon_, "dbus-daemon", &quiet, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&quiet);
  }

  ~FakeLoginManager() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : heldReadEnds_) ::close(fd);
    if (daemonStarted_) {
      ::kill(daemon_, SIGTERM);
      ::waitpid(daemon_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string address() const { return "unix:path=" + socket_; }

  void killDaemon() {
    if (!daemonStarted_) return;
    ::kill(daemon_, SIGTERM);
    ::waitpid(daemon_, nullptr, 0);
    daemonStarted_ = false;
  }

  bool daemonStarted() const { return daemonStarted_; }

  // Waits for the daemon to accept connections, then claims the login
  // manager's name.
  bool serve() {
    SystemBusAddress scoped(address());
    sd_bus* bus = nullptr;
    if (!test::waitUntil([&] { return sd_bus_open_system(&bus) >= 0; })) return false;
    bus_ = bus;
    if (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 kVtable, this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0) {
      sd_bus_flush_close_unref(bus_);
      return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
  }

  void emitPrepareForSleep(bool sleeping) {
    std::lock_guard<std::mutex> g(mutex_);
    pendingSignals_.push_back(sleeping);
  }

  int inhibitCalls() const { return inhibitCalls_.load(); }

  // Whether every lock handed out has been given up (all write ends closed).
  bool allLocksReleased() {
    std::lock_guard<std::mutex> g(mutex_);
    for (int fd : heldReadEnds_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) != 1 || (p.revents & POLLHUP) == 0) return false;
    }
    return true;
  }

 private:
  static int onInhibit(sd_bus_message* call, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeLoginManager*>(userdata);
    const char* what = nullptr;
    const char* who = nullptr;
    const char* why = nullptr;
    const char* mode = nullptr;
    if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
    EXPECT_STREQ(what, "sleep");
    EXPECT_STREQ(mode, "delay");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -errno;
    int r = sd_bus_reply_method_return(call, "h", fds[1]);
    ::close(fds[1]);  // the monitor now holds the only write end
    {
      std::lock_guard<std::mutex> g(self->mutex_);
      self->heldReadEnds_.push_back(fds[0]);
    }
    ++self->inhibitCalls_;
    return r;
  }

  void run() {
    while (!stop_) {
      std::vector<bool> signals;
      {
        std::lock_guard<std::mutex> g(mutex_);
        signals.swap(pendingSignals_);
      }
      for (bool sleeping : signals) {
        sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "PrepareForSleep", "b", static_cast<int>(sleeping));
      }
      int r = sd_bus_process(bus_, nullptr);
      if (r < 0) break;  // the daemon has gone
      if (r > 0) continue;
      sd_bus_wait(bus_, 5000);  // 5 ms: short enough to notice requests and stop
    }
    sd_bus_flush_close_unref(bus_);
  }

  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLoginManager::onInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };

  std::filesystem::path dir_;
  std::string socket_;
  pid_t daemon_ = 0;
  bool daemonStarted_ = false;
  sd_bus* bus_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<bool> pendingSignals_;
  std::vector<int> heldReadEnds_;
  std::atomic<int> inhibitCalls_{0};
};

TEST(PowerMonitor, PostsSleepAndWakeOnTheMainThreadAndHoldsADelayLock) {
  FakeLoginManager login;
  if (!login.daemonStarted()) GTEST_SKIP() << "dbus-daemon is not installed";
  ASSERT_TRUE(login.serve());
  SystemBusAddress address(login.address());

  std::vector<std::string> seen;  // touched on the main thread only
  bool allOnMain = true;
  const void* sender = nullptr;
  auto record = [&](const Notification& n) {
    allOnMain = allOnMain && MainQueue::isMainThread();
    sender = n.sender;
    seen.push_back(n.name);
  };
  auto& center = NotificationCenter::shared();
  auto sleepToken = center.addObserver(kSystemWillSleepNotification, record);
  auto wakeToken = center.addObserver(kSystemDidWakeNotification, record);

  PowerMonitor monitor;
  ASSERT_TRUE(monitor.start());
  EXPECT_TRUE(monitor.start());  // idempotent
  EXPECT_TRUE(monitor.isRunning());
  ASSERT_TRUE(test::waitUntil([&] { return login.inhibitCalls() == 1; }));
  EXPECT_FALSE(login.allLocksReleased());

  login.emitPrepareForSleep(true);
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return seen.size() == 1; }, 5s));
  EXPECT_EQ(seen[0], kSystemWillSleepNotification);
  // The lock is given up once the will-sleep observers have run.
  EXPECT_TRUE(test::waitUntil([&] { return login.allLocksReleased(); }));

  login.emitPrepareForSleep(false);
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return seen.size() == 2; }, 5s));
  EXPECT_EQ(seen[1], kSystemDidWakeNotification);
  ASSERT_TRUE(test::waitUntil([&] { return login.inhibitCalls() == 2; }));  // a new lock after wake
  EXPECT_TRUE(allOnMain);
  EXPECT_EQ(sender, &monitor);

  // Only the login manager is heard: the same signal from anybody else is
  // ignored.  The ping makes sure the daemon has routed the forged signal
  // before the real one is emitted.
  sd_bus* forger = nullptr;
  ASSERT_GE(sd_bus_open_system(&forger), 0);
  ASSERT_GE(sd_bus_emit_signal(forger, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "PrepareForSleep", "b", 1),
            0);
  ASSERT_GE(sd_bus_call_method(forger, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, ""),
            0);
  sd_bus_flush_close_unref(forger);
  login.emitPrepareForSleep(false);
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return seen.size() >= 3; }, 5s));
  RunLoop::main().drain();
  EXPECT_EQ(seen, (std::vector<std::string>{kSystemWillSleepNotification, kSystemDidWakeNotification,
                                            kSystemDidWakeNotification}));

  ASSERT_TRUE(test::waitUntil([&] { return login.inhibitCalls() == 3; }));
  monitor.stop();
  EXPECT_FALSE(monitor.isRunning());
  EXPECT_TRUE(test::waitUntil([&] { return login.allLocksReleased(); }));
  monitor.stop();
  ASSERT_TRUE(monitor.start());  // and it starts again after a stop
  monitor.stop();

  center.removeObserver(sleepToken);
  center.removeObserver(wakeToken);
}

TEST(PowerMonitor, LosingTheBusStopsListeningAndIsLogged) {
  FakeLoginManager login;
  if (!login.daemonStarted()) GTEST_SKIP() << "dbus-daemon is not installed";
  ASSERT_TRUE(login.serve());
  SystemBusAddress address(login.address());
  test::LogCapture log;
  PowerMonitor monitor;
  ASSERT_TRUE(monitor.start());
  login.killDaemon();
  ASSERT_TRUE(test::waitUntil([&] { return !monitor.isRunning(); }));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("Power monitor: lost the system bus", 0), 0u) << log.lines()[0];
  EXPECT_FALSE(monitor.start());  // nothing to reconnect to
}

}  // namespace
}  // namespace velmora::platform
