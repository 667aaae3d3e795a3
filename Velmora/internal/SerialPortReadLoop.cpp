// The read loop, the modem-line poll, removal handling and the receive path
// of ZPRSerialPort: the port's background side.  See ZPRSerialPort.h for
// which thread runs what.
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "ZPRSerialPort.h"
#include "internal/SerialLineSettings.h"
#include "internal/SerialOpening.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/TerminalIO.h"
#include "platform/TimerSource.h"

namespace velmora {

using internal::isDeviceGoneError;
using internal::isNoModemLinesError;
using platform::MainQueue;

namespace {

// How long a device that filled a read during one coalescing wait is read
// without waiting.
constexpr auto kFastDeviceReadsAtOnce = std::chrono::seconds(1);

}  // namespace

// ------------------------------------------------------------ removal

void ZPRSerialPort::cleanup() {
  logMessage(
      "Cleanup is deprecated and was never intended to be called publicly. You should update your code to avoid "
      "calling this method.");
  cleanupAfterSystemRemoval();
}

void ZPRSerialPort::cleanupAfterSystemRemoval() {
  // The pin poll or the read loop may have handled this opening's removal
  // already, possibly closing the port: the delegate hears of it once.
  auto opening = currentOpening();
  if (opening && opening->removalClaimed.exchange(true)) return;
  if (!opening && removalReported_.load()) return;
  handleRemoval();
}

void ZPRSerialPort::handleRemoval() {
  removalReported_.store(true);
  nudgeReadLoop();  // the bytes still there are read before the close
  auto current = delegate();
  if (current && current->implements(ZPRSerialPortDelegate::kSerialPortWasRemovedFromSystem)) {
    current.reset();
    MainQueue::async([self = shared_from_this()] {
      auto d = self->delegate();
      if (d && d->implements(ZPRSerialPortDelegate::kSerialPortWasRemovedFromSystem))
        d->serialPortWasRemovedFromSystem(*self);
      self->close();
    });
    return;
  }
  close();
}

// Called by the read loop or the pin poll of `opening` when the device has
// gone: the error (waited for), then the removal, once per opening.
void ZPRSerialPort::deviceHasGone(const std::shared_ptr<Opening>& opening, int errnoValue) {
  if (opening->removalClaimed.exchange(true)) return;
  reportError(errnoValue, true);
  if (currentOpening() != opening) return;  // closed meanwhile: nothing left to do
  handleRemoval();
}

// ------------------------------------------------------------ read loop and pin poll

void ZPRSerialPort::readLoop(const std::shared_ptr<Opening>& opening) {
  using std::chrono::steady_clock;
  const int fd = opening->fd;
  auto& io = *opening->io;
  uint8_t buffer[kMaximumReadLength];
  // A full read means that more is waiting: the next read does not wait to
  // coalesce.  A wait that gathered a full read shows a device sending far
  // faster than coalescing helps with (its bytes could fill the kernel's
  // buffer during a wait and stall it): the loop then reads at once for a
  // while.
  bool lastReadWasFull = false;
  steady_clock::time_point readAtOnceUntil{};
  // On an owner's clock: when the loop last read or looked, and the moment
  // of its next look while it sleeps between reads instead of waiting for
  // data (which would wake it on the very next chunk).
  steady_clock::time_point lastLook{};
  std::optional<steady_clock::time_point> sleepUntil;
  // No time-out: close() wakes the wait, and a vanished device shows as a
  // hang-up, so an idle port costs no wake-ups.
  while (opening->awaitCredit()) {
    const bool looking = sleepUntil.has_value();
    bool waited = looking;
    if (looking) {
      // The sleep, bounded by the owner's clock, does not watch the device:
      // a hang-up shows in the look that ends it (a removal that the port
      // manager or the pin poll learns of still nudges at once).  A look
      // reads without asking poll first: the descriptor does not block, and
      // a read finding nothing fails with EAGAIN and sends the loop back to
      // waiting for data (the device went quiet).
      opening->awaitNudge(*std::exchange(sleepUntil, std::nullopt), false);
      if (opening->closing) return;
      lastLook = steady_clock::now();
    } else {
      int ready = io.wait(fd, POLLIN, opening->wakeFd, -1);
      int waitError = errno;
      if (opening->closing) return;  // closed during the wait: nothing to report
      if (ready < 0) {
        if (waitError != EINTR) reportError(waitError, false);
        continue;
      }
      if (ready == 0) continue;
      if (!lastReadWasFull && readCoalescingInterval_.load() > 0 && steady_clock::now() >= readAtOnceUntil) {
        waited = awaitMoreData(*opening, lastLook);
        if (opening->closing) return;
      }
    }

    ssize_t count;
    int readError;
    {
      std::shared_lock<std::shared_mutex> d(descriptorMutex_);
      if (opening_ != opening) return;
      count = io.read(fd, buffer, sizeof buffer);  // non-blocking
      readError = errno;
    }
    const auto readAt = steady_clock::now();
    lastReadWasFull = count == static_cast<ssize_t>(sizeof buffer);
    if (waited && lastReadWasFull) readAtOnceUntil = readAt + kFastDeviceReadsAtOnce;
    if (count > 0) {
      receiveData(opening, {buffer, static_cast<size_t>(count)});
      lastLook = readAt;
      if (!lastReadWasFull && readAt >= readAtOnceUntil) sleepUntil = nextLook(*opening, lastLook);
      continue;
    }
    // A look that yields end of file asks poll whether the device hung up
    // (only a terminal set to return at once without data, VMIN 0, would
    // read 0 while up).
    if (count == 0 && looking && io.wait(fd, 0, opening->wakeFd, 0) == 0) continue;
    // A readable descriptor that yields end of file has hung up.
    if (count == 0 || isDeviceGoneError(readError)) {
      deviceHasGone(opening, count == 0 ? ENXIO : readError);
      return;
    }
    // Any other failed read is passing: EAGAIN when another reader of the
    // tty took the bytes first, EINTR.  The loop waits again.
  }
}

bool ZPRSerialPort::awaitMoreData(Opening& opening, std::chrono::steady_clock::time_point lastLook) {
  const auto until = coalescingDeadline(opening, lastLook, false);
  if (!until) return false;
  opening.awaitNudge(*until, true);
  return true;
}

std::optional<std::chrono::steady_clock::time_point> ZPRSerialPort::nextLook(
    Opening& opening, std::chrono::steady_clock::time_point lastLook) {
  return readCoalescingInterval_.load() > 0 ? coalescingDeadline(opening, lastLook, true) : std::nullopt;
}

std::optional<std::chrono::steady_clock::time_point> ZPRSerialPort::coalescingDeadline(
    Opening& opening, std::chrono::steady_clock::time_point lastLook, bool onOwnersClockOnly) {
  using std::chrono::steady_clock;
  // Without its eventfd nothing could cut the wait short: read at once.
  if (!opening.prepareNudge()) return std::nullopt;
  // Nudges from before this point are spent: whatever they announced (a new
  // setting, a request) is read below.  Any later one ends the wait.  The
  // sleeps from tick to tick skip this system call: a nudge left over ends
  // the next sleep at once, which costs one look and loses nothing.
  if (!onOwnersClockOnly) opening.clearNudges();
  const double seconds = readCoalescingInterval_.load();
  if (!(seconds > 0)) return std::nullopt;
  const auto now = steady_clock::now();
  auto until = now + std::chrono::duration_cast<steady_clock::duration>(std::chrono::duration<double>(seconds));
  std::shared_ptr<const ReadDeadline> readBy;
  {
    std::lock_guard<std::mutex> g(coalescingMutex_);
    readBy = readBy_;
  }
  if (readBy) {
    until = std::min(until, (*readBy)(lastLook));
  } else if (onOwnersClockOnly) {
    return std::nullopt;
  }
  // A request started before the clearing is pending here; one started
  // after it nudges.
  if (until <= now || awaitsResponse()) return std::nullopt;
  return until;
}

bool ZPRSerialPort::awaitsResponse() const {
  std::lock_guard<std::mutex> g(stateMutex_);
  return pendingRequest_ && !pendingRequestAnswered_;
}

void ZPRSerialPort::nudgeReadLoop() const {
  if (auto opening = currentOpening()) opening->nudge();
}

void ZPRSerialPort::pollModemLines(const std::shared_ptr<Opening>& opening) {
  if (opening->removalClaimed) return;
  int bits = 0;
  int result;
  int err;
  {
    std::shared_lock<std::shared_mutex> d(descriptorMutex_);
    if (opening_ != opening) {
      d.unlock();
      if (auto timer = opening->pollTimer.lock()) timer->cancel();
      return;
    }
    result = opening->io->getModemLines(opening->fd, &bits);
    err = errno;
  }
  if (result != 0) {
    if (isNoModemLinesError(err)) {
      opening->hasModemLines = false;
      if (auto timer = opening->pollTimer.lock()) timer->cancel();
    } else if (isDeviceGoneError(err)) {
      deviceHasGone(opening, err);
    } else {
      reportError(err, false);
    }
    return;
  }
  const bool cts = (bits & TIOCM_CTS) != 0;
  const bool dsr = (bits & TIOCM_DSR) != 0;
  const bool dcd = (bits & TIOCM_CAR) != 0;
  if (cts != CTS_) MainQueue::sync([&] { setCTS(cts); });
  if (dsr != DSR_) MainQueue::sync([&] { setDSR(dsr); });
  if (dcd != DCD_) MainQueue::sync([&] { setDCD(dcd); });
}

// ------------------------------------------------------------ receiving and requests

void ZPRSerialPort::receiveData(const std::shared_ptr<Opening>& opening, std::span<const uint8_t> chunk) {
  // One receive path at a time (a closing opening's loop may still be here
  // when the next opening's starts): only this path changes the buffer's
  // bytes in place, so the evaluator below may read them without a lock.
  std::lock_guard<std::mutex> receiving(receiveMutex_);

  // Always queued: the delegate is looked up when the call runs, so a
  // delegate set just after open() still gets the first chunks.  The chunk's
  // cost goes back to the read loop once the main thread has taken it.
  const size_t cost = chunk.size() + kChunkBookkeepingBytes;
  opening->take(cost);
  MainQueue::async([self = shared_from_this(), opening, cost, data = std::vector<uint8_t>(chunk.begin(), chunk.end())] {
    struct GiveBack {
      Opening& opening;
      size_t cost;
      ~GiveBack() { opening.giveBack(cost); }
    } giveBack{*opening, cost};
    auto d = self->delegate();
    if (d && d->implements(ZPRSerialPortDelegate::kSerialPortDidReceiveData)) d->serialPortDidReceiveData(*self, data);
  });

  std::shared_ptr<ZPRSerialRequest> request;
  std::shared_ptr<std::vector<uint8_t>> gathered;
  uint64_t serial = 0;
  {
    std::lock_guard<std::mutex> g(stateMutex_);
    if (!receiveBuffer_) receiveBuffer_ = std::make_shared<std::vector<uint8_t>>();
    auto& buffer = *receiveBuffer_;
    buffer.insert(buffer.end(), chunk.begin(), chunk.end());
    if (pendingRequest_ && !pendingRequestAnswered_) {
      request = pendingRequest_;
      serial = pendingRequestSerial_;
      gathered = receiveBuffer_;
    } else if (buffer.size() > 2 * kUnsolicitedReceiveLimit) {
      // Trimmed to the newest bytes only now and then, so that each chunk
      // costs a bounded amount of copying.
      buffer.erase(buffer.begin(), buffer.end() - static_cast<std::ptrdiff_t>(kUnsolicitedReceiveLimit));
    }
  }
  didChange("receiveBuffer");
  if (!request) return;

  const bool accepted = request->dataIsValidResponse(*gathered);
  if (!accepted && gathered->size() < kMaximumResponseLength) return;
  {
    std::lock_guard<std::mutex> g(stateMutex_);
    // Answered meanwhile (timed out) or replaced: this verdict is stale.
    if (pendingRequestSerial_ != serial || pendingRequestAnswered_) return;
    pendingRequestAnswered_ = true;
    cancelTimeoutTimerLocked();
  }
  didChange("pendingRequestTimeoutTimer");
  if (accepted) {
    MainQueue::async([self = shared_from_this(), serial, request, response = *gathered] {
      self->handOverResponse(serial, request, response);
    });
    return;
  }
  // The answer would outgrow the buffer's bound: the request ends as if it
  // had timed out, and the buffer starts afresh.
  logMessage("No response from %s within %zu bytes; the request times out", description().c_str(),
             kMaximumResponseLength);
  MainQueue::async([self = shared_from_this(), serial, request] { self->finishTimedOutRequest(serial, request); });
}

}  // namespace velmora
