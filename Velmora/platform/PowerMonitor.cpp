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

// Closes an inhibitor descriptor when a notification task is done with it,
// also when an observer throws.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

uint64_t monotonicMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace

// The bus connection is made by start() on the caller's thread and then used
// only by the monitor's thread until stop() has joined it; sd-bus objects
// are not thread-safe.
struct PowerMonitor::Impl {
  explicit Impl(const void* owner) : sender(owner) {}

  const void* const sender;
  std::mutex mutex;  // serialises start() and stop()
  bool running = false;
  std::atomic<bool> listening{false};
  std::thread thread;
  int stopFd = -1;
  sd_bus* bus = nullptr;
  sd_bus_slot* signalSlot = nullptr;
  sd_bus_slot* inhibitSlot = nullptr;
  std::atomic<int> inhibitFd{-1};

  bool startLocked();
  void stopLocked();
  void loop();
  void requestInhibitor();

  static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onInhibitReply(sd_bus_message* message, void* userdata, sd_bus_error* error);
};

bool PowerMonitor::Impl::startLocked() {
  sd_bus* connection = nullptr;
  if (sd_bus_open_system(&connection) < 0) return false;  // no system bus here
  int r = sd_bus_match_signal(connection, &signalSlot, kLoginService, kLoginPath, kLoginManager,
                              "PrepareForSleep", &Impl::onPrepareForSleep, this);
  if (r < 0) {
    sd_bus_flush_close_unref(connection);
    return false;
  }
  stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd < 0) {
    signalSlot = sd_bus_slot_unref(signalSlot);
    sd_bus_flush_close_unref(connection);
    return false;
  }
  bus = connection;
  requestInhibitor();
  running = true;
  listening = true;
  thread = std::thread([this] { loop(); });
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
  int fd = inhibitFd.exchange(-1);
  if (fd >= 0) ::close(fd);
  running = false;
  listening = false;
}

void PowerMonitor::Impl::loop() {
  for (;;) {
    int r = sd_bus_process(bus, nullptr);
    if (r < 0) {
      logMessage("Power monitor: lost the system bus (%s); sleep and wake are no longer followed",
                 std::strerror(-r));
      break;
    }
    if (r > 0) continue;  // more may be queued

    int timeoutMs = -1;
    uint64_t until = 0;
    if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
      uint64_t now = monotonicMicros();
      uint64_t ms = until > now ? (until - now + 999) / 1000 : 0;
      timeoutMs = static_cast<int>(std::min<uint64_t>(ms, INT_MAX));
    }
    int events = sd_bus_get_events(bus);
    pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(events < 0 ? POLLIN : events), 0},
                     {stopFd, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) break;
  }
  listening = false;
}

// Asks the login manager for a delay lock; the reply arrives through the
// monitor's loop.  A refusal (no login manager, no permission) is not an
// error: notifications are still posted, only without the delay.
void PowerMonitor::Impl::requestInhibitor() {
  inhibitSlot = sd_bus_slot_unref(inhibitSlot);
  sd_bus_call_method_async(bus, &inhibitSlot, kLoginService, kLoginPath, kLoginManager, "Inhibit",
                           &Impl::onInhibitReply, this, "ssss", "sleep", "Velmora",
                           "Closing serial ports before sleep", "delay");
}

int PowerMonitor::Impl::onInhibitReply(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<Impl*>(userdata);
  if (sd_bus_message_is_method_error(message, nullptr)) return 0;
  int fd = -1;
  if (sd_bus_message_read(message, "h", &fd) < 0) return 0;
  int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);  // the message keeps its own copy
  if (own < 0) return 0;
  int old = self->inhibitFd.exchange(own);
  if (old >= 0) ::close(old);
  return 0;
}

int PowerMonitor::Impl::onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<Impl*>(userdata);
  int sleeping = 0;
  if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
  const void* sender = self->sender;
  if (sleeping) {
    // The lock goes with the task: it is released only after the observers
    // have run, whatever happens to the monitor meanwhile.
    int fd = self->inhibitFd.exchange(-1);
    MainQueue::async([sender, fd] {
      FdCloser release{fd};
      NotificationCenter::shared().post(Notification{kSystemWillSleepNotification, sender, {}});
    });
  } else {
    self->requestInhibitor();
    MainQueue::async([sender] {
      NotificationCenter::shared().post(Notification{kSystemDidWakeNotification, sender, {}});
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
