#include "internal/SerialOpening.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#include "platform/TerminalIO.h"

namespace velmora::internal {

SerialOpening::SerialOpening(int descriptor, std::shared_ptr<platform::TerminalIO> terminal, int wake,
                             size_t creditLimit)
    : fd(descriptor), io(std::move(terminal)), wakeFd(wake), creditLimit_(creditLimit) {}

SerialOpening::~SerialOpening() {
  ::close(wakeFd);
  if (const int nudgeFd = nudgeFd_.load(); nudgeFd >= 0) ::close(nudgeFd);
}

void SerialOpening::shutDown() {
  closing.store(true);
  uint64_t one = 1;
  (void)!::write(wakeFd, &one, sizeof one);
  nudge();
  std::lock_guard<std::mutex> g(creditMutex_);
  creditAvailable_.notify_all();
}

bool SerialOpening::prepareNudge() {
  if (nudgeFd_.load() >= 0) return true;
  const int made = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (made < 0) return false;
  nudgeFd_.store(made);
  return true;
}

void SerialOpening::nudge() {
  const int nudgeFd = nudgeFd_.load();
  if (nudgeFd < 0) return;
  uint64_t one = 1;
  (void)!::write(nudgeFd, &one, sizeof one);
}

void SerialOpening::clearNudges() {
  uint64_t count = 0;
  (void)!::read(nudgeFd_.load(), &count, sizeof count);
}

void SerialOpening::awaitNudge(std::chrono::steady_clock::time_point until, bool watchDevice) {
  using std::chrono::steady_clock;
  const int nudgeFd = nudgeFd_.load();
  while (!closing.load()) {
    const auto now = steady_clock::now();
    if (now >= until) return;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    // No events asked of the device, whose data is already waiting: only a
    // hang-up or an error ends the wait on its side.  Left out, the device
    // costs nothing to wait on (a terminal's poll hooks two wait queues and
    // takes its line discipline on every call).
    int ready;
    if (watchDevice) {
      ready = io->wait(fd, 0, nudgeFd, static_cast<int>(ms));
    } else {
      pollfd nudgeOnly{nudgeFd, POLLIN, 0};
      ready = ::poll(&nudgeOnly, 1, static_cast<int>(ms)) < 0 ? -1 : 0;  // a nudge is looked at below
    }
    // A failed wait (EINTR) ends it too: the loop reads at once, as it
    // would without coalescing.
    if (ready != 0) return;
    // A wait that ran its course needs nothing more (this is the path taken
    // once per dispatch tick); one that ended early was nudged, and the
    // nudge is drained so that it can be signalled again.  A nudge left
    // over from before the wait ends it at once: one read more, nothing
    // missed.
    if (steady_clock::now() >= until) return;
    uint64_t count = 0;
    if (::read(nudgeFd, &count, sizeof count) > 0) return;
  }
}

bool SerialOpening::awaitCredit() {
  std::unique_lock<std::mutex> g(creditMutex_);
  if (undelivered_ < creditLimit_) return !closing.load();
  readerWaiting_ = true;
  creditAvailable_.wait(g, [&] { return undelivered_ <= creditLimit_ / 2 || closing.load(); });
  readerWaiting_ = false;
  return !closing.load();
}

void SerialOpening::take(size_t cost) {
  std::lock_guard<std::mutex> g(creditMutex_);
  undelivered_ += cost;
}

void SerialOpening::giveBack(size_t cost) {
  std::lock_guard<std::mutex> g(creditMutex_);
  undelivered_ -= cost;
  if (readerWaiting_ && undelivered_ <= creditLimit_ / 2) creditAvailable_.notify_one();
}

}  // namespace velmora::internal
