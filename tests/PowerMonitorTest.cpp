// The power monitor against a private bus daemon with a stand-in login
// manager: sleep and wake on the main thread, the delay lock and when it is
// given up, and a bus that is missing or goes away.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/PowerMonitor.h"
#include "platform/RunLoop.h"
#include "support/LogCapture.h"
#include "support/TempPty.h"

extern char** environ;

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

// Points the process's system bus at `address` while it lives.
struct SystemBusAddress {
  explicit SystemBusAddress(const std::string& address) { ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1); }
  ~SystemBusAddress() { ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }
};

// A bus daemon with a login manager that answers Inhibit with the write end
// of a pipe (so that the test sees when a lock is given up) and emits
// PrepareForSleep on request.
class FakeLoginManager {
 public:
  FakeLoginManager() {
    std::ofstream(dir_.path() + "/bus.conf")
        << "<busconfig><listen>unix:path=" << dir_.path() << "/bus</listen><auth>EXTERNAL</auth>"
        << "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
        << "<allow receive_sender=\"*\"/></policy></busconfig>";
    std::string config = "--config-file=" + dir_.path() + "/bus.conf";
    const char* argv[] = {"dbus-daemon", "--nofork", "--nopidfile", config.c_str(), nullptr};
    posix_spawn_file_actions_t quiet;  // it complains about limits it may not raise
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    started_ = ::posix_spawnp(&daemon_, "dbus-daemon", &quiet, nullptr, const_cast<char**>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&quiet);
  }
  ~FakeLoginManager() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : readEnds_) ::close(fd);
    killDaemon();
  }
  std::string address() const { return "unix:path=" + dir_.path() + "/bus"; }
  bool started() const { return started_; }
  void killDaemon() {
    if (started_) ::kill(daemon_, SIGTERM), ::waitpid(daemon_, nullptr, 0);
    started_ = false;
  }

  // Waits for the daemon, then claims the login manager's name.
  bool serve() {
    SystemBusAddress scoped(address());
    if (!test::waitUntil([&] { return sd_bus_open_system(&bus_) >= 0; }) ||
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", kVtable,
                                 this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0) {
      return false;
    }
    thread_ = std::thread([this] {
      while (!stop_ && sd_bus_process(bus_, nullptr) >= 0) {
        std::vector<bool> signals;
        {
          std::lock_guard<std::mutex> g(mutex_);
          signals.swap(pending_);
        }
        for (bool sleeping : signals) {
          sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
                             "b", static_cast<int>(sleeping));
        }
        sd_bus_wait(bus_, 5000);
      }
      sd_bus_flush_close_unref(bus_);
    });
    return true;
  }
  void emitPrepareForSleep(bool sleeping) {
    std::lock_guard<std::mutex> g(mutex_);
    pending_.push_back(sleeping);
  }
  int inhibitCalls() const { return calls_; }
  // Whether every lock handed out has been given up (its write end closed).
  bool locksReleased() {
    std::lock_guard<std::mutex> g(mutex_);
    return std::all_of(readEnds_.begin(), readEnds_.end(), [](int fd) {
      pollfd p{fd, POLLIN, 0};
      return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
    });
  }

 private:
  static int onInhibit(sd_bus_message* call, void* self, sd_bus_error*) {
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
    EXPECT_STREQ(what, "sleep");
    EXPECT_STREQ(mode, "delay");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -errno;
    int r = sd_bus_reply_method_return(call, "h", fds[1]);
    ::close(fds[1]);  // the monitor now holds the only write end
    auto* manager = static_cast<FakeLoginManager*>(self);
    std::lock_guard<std::mutex> g(manager->mutex_);
    manager->readEnds_.push_back(fds[0]);
    ++manager->calls_;
    return r;
  }
  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLoginManager::onInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };

  test::TempDir dir_;
  pid_t daemon_ = 0;
  bool started_ = false;
  sd_bus* bus_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<bool> pending_;
  std::vector<int> readEnds_;
  std::atomic<int> calls_{0};
};

bool runMainUntil(const std::function<bool()>& done) { return RunLoop::main().runUntil(done, 5s); }

TEST(PowerMonitor, PostsSleepAndWakeOnTheMainThreadAndDelaysSleepOnlyWhileTheMainLoopRuns) {
  FakeLoginManager login;
  if (!login.started()) GTEST_SKIP() << "dbus-daemon is not installed";
  ASSERT_TRUE(login.serve());
  SystemBusAddress address(login.address());
  std::vector<std::string> seen;  // "sleep (lock held)", "wake"; on the main thread only
  auto& center = NotificationCenter::shared();
  const auto sleepToken = center.addObserver(kSystemWillSleepNotification, [&](const Notification&) {
    seen.push_back(std::string("sleep") + (login.locksReleased() ? "" : " (lock held)") +
                   (MainQueue::isMainThread() ? "" : " off main"));
  });
  const auto wakeToken = center.addObserver(kSystemDidWakeNotification, [&](const Notification& n) {
    seen.push_back(std::string("wake") + (n.sender != nullptr && MainQueue::isMainThread() ? "" : " off main"));
  });

  PowerMonitor monitor;
  ASSERT_TRUE(monitor.start());
  EXPECT_TRUE(monitor.start() && monitor.isRunning());  // idempotent
  ASSERT_TRUE(runMainUntil([&] { return login.inhibitCalls() == 1; }));  // a lock once the main loop runs
  login.emitPrepareForSleep(true);
  ASSERT_TRUE(runMainUntil([&] { return seen.size() == 1; }));
  EXPECT_TRUE(test::waitUntil([&] { return login.locksReleased(); }));  // given up after the observers
  login.emitPrepareForSleep(false);
  ASSERT_TRUE(runMainUntil([&] { return seen.size() == 2 && login.inhibitCalls() == 2; }));  // a new lock

  // Only the login manager is heard.  The ping makes sure the daemon has
  // routed the forged signal before the real one.
  sd_bus* forger = nullptr;
  ASSERT_GE(sd_bus_open_system(&forger), 0);
  ASSERT_GE(sd_bus_emit_signal(forger, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "PrepareForSleep", "b", 1), 0);
  ASSERT_GE(sd_bus_call_method(forger, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer",
                               "Ping", nullptr, nullptr, ""), 0);
  sd_bus_flush_close_unref(forger);
  login.emitPrepareForSleep(false);
  ASSERT_TRUE(runMainUntil([&] { return seen.size() == 3; }));  // the lock held serves the next sleep
  EXPECT_EQ(seen, (std::vector<std::string>{"sleep (lock held)", "wake", "wake"}));

  // A host that no longer runs the main loop does not hold up the sleep:
  // the lock goes without the observers, which run when the loop does.
  login.emitPrepareForSleep(true);
  EXPECT_TRUE(test::waitUntil([&] { return login.locksReleased(); }));
  ASSERT_TRUE(runMainUntil([&] { return seen.size() == 4; }));
  EXPECT_EQ(seen.back(), "sleep");

  monitor.stop();
  EXPECT_FALSE(monitor.isRunning());
  ASSERT_TRUE(monitor.start());  // and it starts again after a stop
  monitor.stop();
  center.removeObserver(sleepToken);
  center.removeObserver(wakeToken);
}

TEST(PowerMonitor, WithoutABusStartFailsQuietlyAndLosingTheBusIsLogged) {
  test::TempDir nowhere;
  {
    SystemBusAddress address("unix:path=" + nowhere.path() + "/missing");
    test::LogCapture log;
    PowerMonitor monitor;
    EXPECT_FALSE(monitor.start() || monitor.isRunning());
    EXPECT_TRUE(log.lines().empty());
  }
  FakeLoginManager login;
  if (!login.started()) GTEST_SKIP() << "dbus-daemon is not installed";
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
