#include "StopSignal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace velmora::tool {
namespace {

// What the handler may touch: lock-free atomics only.
std::atomic<int> eventFd{-1};
std::atomic<int> lastSignal{0};

extern "C" void onSignal(int signal) {
  const int saved = errno;
  lastSignal.store(signal);
  const int fd = eventFd.load();
  if (fd >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
  }
  errno = saved;
}

}  // namespace

StopSignal::StopSignal(std::function<void(int signal)> onStop) : onStop_(std::move(onStop)) {
  fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  eventFd.store(fd_);
  source_ = platform::RunLoop::main().addFdSource(fd_, [this] {
    uint64_t count = 0;
    if (::read(fd_, &count, sizeof count) != sizeof count) return;
    if (onStop_) onStop_(lastSignal.load());
  });
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  ::sigaction(SIGINT, &action, &previousInt_);
  ::sigaction(SIGTERM, &action, &previousTerm_);
  ::sigaction(SIGHUP, &action, &previousHup_);
}

bool StopSignal::received() { return lastSignal.load() != 0; }

StopSignal::~StopSignal() {
  ::sigaction(SIGINT, &previousInt_, nullptr);
  ::sigaction(SIGTERM, &previousTerm_, nullptr);
  ::sigaction(SIGHUP, &previousHup_, nullptr);
  eventFd.store(-1);
  platform::RunLoop::main().removeFdSource(source_);
  ::close(fd_);
}

}  // namespace velmora::tool
