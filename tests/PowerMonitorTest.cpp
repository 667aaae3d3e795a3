// The power monitor against a private bus daemon with a stand-in login
// manager: sleep and wake on the main thread, the delay lock and when it is
// given up, and a bus that is missing or goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <algorithm>

#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/PowerMonitor.h"
#include "platform/RunLoop.h"
#include "support/LogCapture.h"
#include "support/SerialPortTestSupport.h"

extern char** environ;

namespace velmora::platform {
namespace {

using test::runMainUntil;
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kInterface = "org.freedesktop.login1.Manager";

// A bus daemon with a login manager that answers Inhibit with the write end
// of a pipe (so that the test sees when a lock is given up) and emits
// PrepareForSleep.  The login manager is served on the main thread, while
// it runs the main loop.  The process's system bus is the daemon's while the
// object lives.
class FakeLoginManager {
 public:
  FakeLoginManager() {
    std::string address = "--address=" + this->address();
    const char* argv[] = {"dbus-daemon", "--session", "--nofork", "--nopidfile", address.c_str(), nullptr};
    posix_spawn_file_actions_t quiet;  // it complains about limits it may not raise
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    started_ = ::posix_spawnp(&daemon_, "dbus-daemon", &quiet, nullptr, const_cast<char**>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&quiet);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", this->address().c_str(), 1);
  }
  ~FakeLoginManager() {
    if (source_ != 0) RunLoop::main().removeFdSource(source_);
    sd_bus_flush_close_unref(bus_);
    for (int fd : readEnds_) ::close(fd);
    killDaemon();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
  std::string address() const { return "unix:path=" + dir_.path() + "/bus"; }
  bool started() const { return started_; }
  void killDaemon() {
    if (started_) ::kill(daemon_, SIGTERM), ::waitpid(daemon_, nullptr, 0);
    started_ = false;
  }
  bool serve() {
    if (!test::waitUntil([&] { return sd_bus_open_system(&bus_) >= 0; }) ||
        sd_bus_add_object_vtable(bus_, nullptr, kPath, kInterface, kVtable, this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0) {
      return false;
    }
    source_ = RunLoop::main().addFdSource(sd_bus_get_fd(bus_), [this] {
      while (sd_bus_process(bus_, nullptr) > 0) {
      }
    });
    return true;
  }
  void emitPrepareForSleep(bool sleeping) {
    sd_bus_emit_signal(bus_, kPath, kInterface, "PrepareForSleep", "b", int{sleeping});
    sd_bus_flush(bus_);
  }
  int inhibitCalls() const { return static_cast<int>(readEnds_.size()); }
  // Whether every lock handed out has been given up (its write end closed).
  bool locksReleased() const {
    return std::all_of(readEnds_.begin(), readEnds_.end(), [](int fd) {
      pollfd p{fd, POLLIN, 0};
      return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
    });
  }

 private:
  static int onInhibit(sd_bus_message* call, void* self, sd_bus_error*) {
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    int fds[2];
    if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0 || ::pipe2(fds, O_CLOEXEC) != 0) return -EIO;
    EXPECT_EQ(std::string(what) + " " + mode, "sleep delay");
    int r = sd_bus_reply_method_return(call, "h", fds[1]);
    ::close(fds[1]);  // the monitor now holds the only write end
    static_cast<FakeLoginManager*>(self)->readEnds_.push_back(fds[0]);
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
  RunLoop::SourceId source_ = 0;
  std::vector<int> readEnds_;
};

TEST(PowerMonitor, PostsSleepAndWakeOnTheMainThreadAndDelaysSleepOnlyWhileTheMainLoopRuns) {
  FakeLoginManager login;
  test::LogCapture log;
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", (login.address() + "-missing").c_str(), 1);
  EXPECT_FALSE(PowerMonitor().start());  // no bus: start() fails, quietly
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", login.address().c_str(), 1);
  if (!login.started()) GTEST_SKIP() << "dbus-daemon is not installed";
  ASSERT_TRUE(login.serve());
  PowerMonitor monitor;
  std::vector<std::string> seen;  // "sleep (lock held)", "wake"
  auto& center = NotificationCenter::shared();
  const auto tokens = {
      center.addObserver(
          kSystemWillSleepNotification,
          [&](const Notification&) { seen.push_back(login.locksReleased() ? "sleep" : "sleep (lock held)"); }),
      center.addObserver(kSystemDidWakeNotification, [&](const Notification& n) {
        seen.push_back(n.sender == &monitor && MainQueue::isMainThread() ? "wake" : "wake from elsewhere");
      })};
  ASSERT_TRUE(monitor.start());
  EXPECT_TRUE(monitor.start() && monitor.isRunning());                   // idempotent
  ASSERT_TRUE(runMainUntil([&] { return login.inhibitCalls() == 1; }));  // a lock once the main loop runs
  login.emitPrepareForSleep(true);
  ASSERT_TRUE(runMainUntil([&] { return seen.size() == 1; }));
  EXPECT_TRUE(test::waitUntil([&] { return login.locksReleased(); }));  // given up after the observers
  login.emitPrepareForSleep(false);
  ASSERT_TRUE(runMainUntil([&] { return seen.size() == 2 && login.inhibitCalls() == 2; }));  // a new lock

  // Only the login manager is heard; the ping has the daemon route the
  // forged signal before the real one.
  sd_bus* forger = nullptr;
  ASSERT_GE(sd_bus_open_system(&forger), 0);
  EXPECT_GE(sd_bus_emit_signal(forger, kPath, kInterface, "PrepareForSleep", "b", 1) |
                sd_bus_call_method(forger, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer",
                                   "Ping", nullptr, nullptr, ""),
            0);
  sd_bus_flush_close_unref(forger);
  login.emitPrepareForSleep(false);
  ASSERT_TRUE(runMainUntil([&] { return seen.size() == 3; }));  // the lock held serves the next sleep

  // A host that no longer runs the main loop does not hold up the sleep:
  // the lock goes without the observers, which run when the loop does.
  login.emitPrepareForSleep(true);
  EXPECT_TRUE(test::waitUntil([&] { return login.locksReleased(); }));
  ASSERT_TRUE(runMainUntil([&] { return seen.size() == 4; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"sleep (lock held)", "wake", "wake", "sleep"}));
  for (auto token : tokens) center.removeObserver(token);

  monitor.stop();
  EXPECT_FALSE(monitor.isRunning());
  ASSERT_TRUE(monitor.start());  // it starts again after a stop; losing the bus stops it, with a log line
  EXPECT_TRUE(log.lines().empty());
  login.killDaemon();
  ASSERT_TRUE(test::waitUntil([&] { return !monitor.isRunning(); }));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("Power monitor: lost the system bus", 0), 0u) << log.lines()[0];
  EXPECT_FALSE(monitor.start());  // nothing to reconnect to
}

}  // namespace
}  // namespace velmora::platform
