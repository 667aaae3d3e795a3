// A non-recursive mutex whose underlying std::mutex can be replaced by a
// fresh one while other threads may be using it.
//
// The library's process-wide data mutex is such an object: constructing an
// HRV analyser installs a fresh mutex.  Replacement first takes the current
// mutex, so it waits for any holder to leave; a thread that loaded the old
// mutex just before the swap notices the swap after locking it and moves on
// to the new one.  Retired mutexes are never destroyed (a thread may still be
// about to lock one), so each replacement keeps one std::mutex alive until
// the process ends.
//
// Thread-safety: lock(), try_lock(), unlock() and replace() may be called
// from any thread.  replace() must not be called by a thread that holds the
// mutex.  The type meets the Lockable requirements, so std::lock_guard and
// std::unique_lock work with it.
#pragma once

#include <atomic>
#include <mutex>

namespace velmora {

class SwappableMutex {
 public:
  SwappableMutex();
  SwappableMutex(const SwappableMutex&) = delete;
  SwappableMutex& operator=(const SwappableMutex&) = delete;

  void lock();
  bool try_lock();
  void unlock();

  // Installs a fresh, unlocked mutex in place of the current one.
  void replace();

  // The mutex currently in use; for identity checks in tests.
  const std::mutex* current() const { return current_.load(std::memory_order_acquire); }

 private:
  std::mutex* lockCurrent();
  std::atomic<std::mutex*> current_;
};

}  // namespace velmora
