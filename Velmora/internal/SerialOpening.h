// One opening of a serial device: its descriptor, the terminal calls that
// reach it, the wake-up descriptor that close() signals, and the read loop's
// back-pressure.  The read loop and the pin poll of an opening hold it and
// compare it with the port's current opening, so that they serve only the
// opening that started them, even after a quick close and reopen.
//
// Threads: the port's lifecycle (open, close) makes and shuts it down; the
// read loop waits for credit and takes it; the main thread gives it back as
// it hands each chunk to the delegate.  Every member may be used from any
// thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace velmora::platform {
class TerminalIO;
class TimerSource;
}  // namespace velmora::platform

namespace velmora::internal {

class SerialOpening {
 public:
  // Takes over `wake`, an eventfd.  At `creditLimit` undelivered bytes the
  // read loop stops reading until half of them have been delivered.
  SerialOpening(int descriptor, std::shared_ptr<platform::TerminalIO> terminal, int wake, size_t creditLimit);
  ~SerialOpening();
  SerialOpening(const SerialOpening&) = delete;
  SerialOpening& operator=(const SerialOpening&) = delete;

  const int fd;
  const std::shared_ptr<platform::TerminalIO> io;
  std::atomic<bool> hasModemLines{true};
  // Set by whoever first handles the device's removal during this opening.
  std::atomic<bool> removalClaimed{false};
  std::weak_ptr<platform::TimerSource> pollTimer;

  // Made readable once, by shutDown(), and never drained: every wait of this
  // opening (the read loop's, a blocked write's) watches it and ends.
  const int wakeFd;
  std::atomic<bool> closing{false};

  // Marks the opening as closing and ends every wait on it.
  void shutDown();

  // The coalescing wait of the read loop.  Its wake-up is a second eventfd,
  // made by the read loop on first use and drained after each wait, so that
  // it can be signalled again and again.
  // Read loop: makes the eventfd if need be; false if it cannot be made.
  bool prepareNudge();
  // Any thread: ends the read loop's coalescing wait, under way or next.
  void nudge();
  // Read loop: forgets the nudges so far.
  void clearNudges();
  // Read loop: waits until `until`, a nudge, shutDown(), or (when
  // `watchDevice`) the device hanging up or failing, whichever comes first.
  void awaitNudge(std::chrono::steady_clock::time_point until, bool watchDevice);

  // Back-pressure.  What the read loop has handed to the main queue and the
  // main thread has not yet taken: each chunk's bytes plus its bookkeeping.
  // awaitCredit() blocks while the limit is reached; false once closing.
  bool awaitCredit();
  void take(size_t cost);
  void giveBack(size_t cost);

 private:
  // -1 until prepareNudge() made it.  shutDown() sets `closing` before it
  // looks here and the read loop stores here before it looks at `closing`,
  // so a wait never starts unnoticed by a close.
  std::atomic<int> nudgeFd_{-1};

  const size_t creditLimit_;
  std::mutex creditMutex_;
  std::condition_variable creditAvailable_;
  size_t undelivered_ = 0;
  bool readerWaiting_ = false;
};

}  // namespace velmora::internal
