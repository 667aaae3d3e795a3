#include "platform/PowerMonitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

namespace velmora::platform {
namespace {

constexpr const char* kLoginService = "org.freedesktop.login1";
constexpr const char* kLoginPath = "/org/freedesktop/login1";
constexpr const char* kLoginManager = "org.freedesktop.login1.Manager";

// How long the will-sleep task may wait in the main queue before the monitor
// gives up the inhibitor lock without it: a main thread that serves its loop
// starts the task within milliseconds.
constexpr uint64_t kMainLoopGraceMicros = 1000000;

uint64_t monotonicMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// The inhibitor lock of one sleep, shared by the will-sleep task and the
// monitor's thread: whichever comes first closes it, the task once its
// observers have returned, the monitor when the task has not started in
// time.
struct SleepLock {
  std::mutex mutex;
  int fd = -1;
  bool started = false;  // the task has begun: it alone releases the lock

  explicit SleepLock(int lockFd) : fd(lockFd) {}
  ~SleepLock() { release(); }
  void release() {
    std::lock_guard<std::mutex> g(mutex);
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  // Called by the monitor at the deadline.
  void releaseUnlessStarted() {
    std::lock_guard<std::mutex> g(mutex);
    if (started || fd < 0) return;
    ::close(fd);
    fd = -1;
  }
};

// How a main-queue task asks the monitor's thread for an inhibitor lock:
// proof that the main loop runs.  Shared with the tasks, so that a task
// that runs after the monitor stopped finds a live descriptor.
struct LockRequest {
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ~LockRequest() {
    if (fd >= 0) ::close(fd);
  }
  void signal() const {
    uint64_t one = 1;
    ssize_t n = ::write(fd, &one, sizeof one);
    (void)n;
  }
  bool consume() const {
    uint64_t count = 0;
    return ::read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
  }
};

// Posts a task that, when the main loop runs it, asks for a lock.
void requestFromMainLoop(const std::shared_ptr<LockRequest>& request) {
  MainQueue::async([weak = std::weak_ptr<LockRequest>(request)] {
    if (auto r = weak.lock()) r->signal();
  });
}

}  // namespace

// The bus connection is made by start() on the caller's thread and then used
// only by the monitor's thread until stop() has joined it; sd-bus objects
// are not thread-safe.  The fields below `thread` are the monitor thread's
// own while it runs.
struct PowerMonitor::Impl {
  explicit Impl(const void* owner) : sender(owner) {}

  const void* const sender;
  std::mutex mutex;  // serialises start() and stop()
  bool running = false;
  std::atomic<bool> listening{false};
  std::thread thread;
  int stopFd = -1;
  std::shared_ptr<LockRequest> lockRequest;
  sd_bus* bus = nullptr;
  sd_bus_slot* signalSlot = nullptr;
  sd_bus_slot* inhibitSlot = nullptr;
  int inhibitFd = -1;                    // the delay lock held, or -1
  bool requesting = false;               // an Inhibit call awaits its reply
  bool sleeping = false;                 // between will-sleep and did-wake
  std::shared_ptr<SleepLock> sleepLock;  // handed to the will-sleep task
  uint64_t sleepLockDeadline = 0;

  bool startLocked();
  void stopLocked();
  void loop();
  void requestInhibitor();
  void releaseLate();

  static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onInhibitReply(sd_bus_message* message, void* userdata, sd_bus_error* error);
};

bool PowerMonitor::Impl::startLocked() {
  sd_bus* connection = nullptr;
  if (sd_bus_open_system(&connection) < 0) return false;  // no system bus here
  int r = sd_bus_match_signal(connection, &signalSlot, kLoginService, kLoginPath, kLoginManager, "PrepareForSleep",
                              &Impl::onPrepareForSleep, this);
  if (r < 0) {
    sd_bus_flush_close_unref(connection);
    return false;
  }
  stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  auto request = std::make_shared<LockRequest>();
  if (stopFd < 0 || request->fd < 0) {
    if (stopFd >= 0) ::close(stopFd);
    stopFd = -1;
    signalSlot = sd_bus_slot_unref(signalSlot);
    sd_bus_flush_close_unref(connection);
    return false;
  }
  bus = connection;
  lockRequest = std::move(request);
  running = true;
  listening = true;
  thread = std::thread([this] { loop(); });
  // No lock until the main loop is seen to run: a host that never runs it
  // could never give the lock up in time.
  requestFromMainLoop(lockRequest);
  return true;
}

void PowerMonitor::Impl::stopLocked() {
  if (!running) return;
  uint64_t one = 1;
  ssize_t n = ::write(stopFd, &one, sizeof one);
  (void)n;
  thread.join();
  inhibitSlot = sd_bus_slot_unref(inhibitSlot);
  signalSlot = sd_bus_slot_unref(signalSlot);
  bus = sd_bus_flush_close_unref(bus);
  ::close(stopFd);
  stopFd = -1;
  lockRequest.reset();
  if (inhibitFd >= 0) ::close(inhibitFd);
  inhibitFd = -1;
  requesting = false;
  sleeping = false;
  if (sleepLock) releaseLate();  // a task under way still releases its own
  running = false;
  listening = false;
}

void PowerMonitor::Impl::loop() {
  for (;;) {
    int r = sd_bus_process(bus, nullptr);
    if (r < 0) {
      logMessage("Power monitor: lost the system bus (%s); sleep and wake are no longer followed", std::strerror(-r));
      break;
    }
    if (r > 0) continue;  // more may be queued

    uint64_t now = monotonicMicros();
    if (sleepLock && now >= sleepLockDeadline) releaseLate();
    uint64_t until = UINT64_MAX;
    if (sd_bus_get_timeout(bus, &until) < 0) until = UINT64_MAX;
    if (sleepLock) until = std::min(until, sleepLockDeadline);
    int timeoutMs = -1;
    if (until != UINT64_MAX) {
      uint64_t ms = until > now ? (until - now + 999) / 1000 : 0;
      timeoutMs = static_cast<int>(std::min<uint64_t>(ms, INT_MAX));
    }
    int events = sd_bus_get_events(bus);
    pollfd fds[3] = {{sd_bus_get_fd(bus), static_cast<short>(events < 0 ? POLLIN : events), 0},
                     {stopFd, POLLIN, 0},
                     {lockRequest->fd, POLLIN, 0}};
    if (::poll(fds, 3, timeoutMs) < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) break;
    if (fds[2].revents != 0 && lockRequest->consume()) requestInhibitor();
  }
  listening = false;
}

// The will-sleep task has not started: the main loop is not being run, and
// the machine must not wait for it.
void PowerMonitor::Impl::releaseLate() {
  sleepLock->releaseUnlessStarted();
  sleepLock.reset();
}

// Asks the login manager for a delay lock; the reply arrives through the
// monitor's loop.  A refusal (no login manager, no permission) is not an
// error: notifications are still posted, only without the delay.
void PowerMonitor::Impl::requestInhibitor() {
  if (sleeping || requesting || inhibitFd >= 0) return;
  inhibitSlot = sd_bus_slot_unref(inhibitSlot);
  requesting = sd_bus_call_method_async(bus, &inhibitSlot, kLoginService, kLoginPath, kLoginManager, "Inhibit",
                                        &Impl::onInhibitReply, this, "ssss", "sleep", "Velmora",
                                        "Closing serial ports before sleep", "delay") >= 0;
}

int PowerMonitor::Impl::onInhibitReply(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<Impl*>(userdata);
  self->requesting = false;
  if (sd_bus_message_is_method_error(message, nullptr)) return 0;
  int fd = -1;
  if (sd_bus_message_read(message, "h", &fd) < 0) return 0;
  int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);  // the message keeps its own copy
  if (own < 0) return 0;
  if (self->sleeping) {
    ::close(own);  // granted too late: the machine is already going to sleep
    return 0;
  }
  self->inhibitFd = own;
  return 0;
}

int PowerMonitor::Impl::onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<Impl*>(userdata);
  int sleeping = 0;
  if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
  const void* sender = self->sender;
  self->sleeping = sleeping != 0;
  if (sleeping) {
    // The lock goes with the task and is released once the observers have
    // returned, whatever happens to the monitor meanwhile; unless the task
    // does not start in time, and the monitor releases it first.
    std::shared_ptr<SleepLock> lock;
    if (self->inhibitFd >= 0) {
      lock = std::make_shared<SleepLock>(self->inhibitFd);
      self->inhibitFd = -1;
      if (self->sleepLock) self->releaseLate();
      self->sleepLock = lock;
      self->sleepLockDeadline = monotonicMicros() + kMainLoopGraceMicros;
    }
    MainQueue::async([sender, lock] {
      if (lock) {
        std::lock_guard<std::mutex> g(lock->mutex);
        lock->started = true;
      }
      struct Release {
        const std::shared_ptr<SleepLock>& lock;
        ~Release() {
          if (lock) lock->release();
        }
      } release{lock};
      NotificationCenter::shared().post(Notification{kSystemWillSleepNotification, sender, {}});
    });
  } else {
    MainQueue::async([sender, weak = std::weak_ptr<LockRequest>(self->lockRequest)] {
      NotificationCenter::shared().post(Notification{kSystemDidWakeNotification, sender, {}});
      if (auto request = weak.lock()) request->signal();  // the main loop runs: a new lock for the next sleep
    });
  }
  return 0;
}

PowerMonitor& PowerMonitor::shared() {
  // Never destroyed: its thread may still be watching while the process exits.
  static auto* monitor = new PowerMonitor();
  return *monitor;
}

PowerMonitor::PowerMonitor() : impl_(std::make_unique<Impl>(this)) {}

PowerMonitor::~PowerMonitor() { stop(); }

bool PowerMonitor::start() {
  std::lock_guard<std::mutex> g(impl_->mutex);
  if (impl_->running && impl_->listening) return true;
  impl_->stopLocked();  // a monitor that lost its bus starts afresh
  return impl_->startLocked();
}

void PowerMonitor::stop() {
  std::lock_guard<std::mutex> g(impl_->mutex);
  impl_->stopLocked();
}

bool PowerMonitor::isRunning() const { return impl_->listening.load(); }

}  // namespace velmora::platform
