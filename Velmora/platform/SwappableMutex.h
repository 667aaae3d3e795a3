// A non-recursive mutex whose underlying std::mutex can be replaced by a
// fresh one while other threads may be using it.
//
// The library's process-wide data mutex is such an object: constructing an
// accessory object or an HRV analyser installs a fresh mutex.  A replacement
// made by a thread that does not hold the mutex first takes the current one,
// so it waits for any holder to leave; a thread that loaded the old mutex
// just before the swap notices the swap after locking it and moves on to the
// new one.  A replacement made by the thread that holds the mutex (an object
// constructed inside a callback that runs under the lock) does not wait for
// itself: the fresh mutex is locked on its behalf before it is installed, so
// the hold passes over to it and the caller's later unlock() releases it.
// Either way no two threads ever hold the mutex at once.  Retired mutexes are
// never destroyed (a thread may still be about to lock one), so each
// replacement keeps one std::mutex alive until the process ends.
//
// Thread-safety: lock(), try_lock(), unlock() and replace() may be called
// from any thread, replace() also by the holder.  The type meets the Lockable
// requirements, so std::lock_guard and std::unique_lock work with it.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace velmora {

class SwappableMutex {
 public:
  SwappableMutex();
  SwappableMutex(const SwappableMutex&) = delete;
  SwappableMutex& operator=(const SwappableMutex&) = delete;

  void lock();
  bool try_lock();
  void unlock();

  // Installs a fresh mutex in place of the current one; see above.
  void replace();

  // Whether the calling thread holds the mutex.
  bool heldByCurrentThread() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

  // The mutex currently in use; for identity checks in tests.
  const std::mutex* current() const { return current_.load(std::memory_order_acquire); }

 private:
  std::mutex* lockCurrent();
  std::atomic<std::mutex*> current_;
  // The holder's id, or none.  Only the holder writes its own id, so a thread
  // reading its own id here knows that it holds the mutex.
  std::atomic<std::thread::id> owner_{};
};

}  // namespace velmora
