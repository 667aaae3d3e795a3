#include "platform/SwappableMutex.h"

#include <deque>

namespace velmora {
namespace {

// Every mutex ever installed lives here until the process ends.  The deque is
// reached through a pointer that is never freed, so no retired mutex is
// destroyed by static destruction while a detached thread still uses it.
std::mutex* newMutex() {
  static std::mutex* poolGuard = new std::mutex;
  static std::deque<std::mutex>* pool = new std::deque<std::mutex>;
  std::lock_guard<std::mutex> guard(*poolGuard);
  return &pool->emplace_back();
}

}  // namespace

SwappableMutex::SwappableMutex() : current_(newMutex()) {}

std::mutex* SwappableMutex::lockCurrent() {
  for (;;) {
    std::mutex* m = current_.load(std::memory_order_acquire);
    m->lock();
    if (current_.load(std::memory_order_acquire) == m) return m;
    m->unlock();
  }
}

void SwappableMutex::lock() {
  lockCurrent();
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

bool SwappableMutex::try_lock() {
  std::mutex* m = current_.load(std::memory_order_acquire);
  if (!m->try_lock()) return false;
  if (current_.load(std::memory_order_acquire) != m) {
    m->unlock();
    return false;
  }
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return true;
}

// While a thread holds the mutex no other thread can swap it (replace() locks
// the current mutex first), and a swap by the holder moves the hold to the
// new mutex, so the current mutex is the one this thread holds.
void SwappableMutex::unlock() {
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  current_.load(std::memory_order_acquire)->unlock();
}

void SwappableMutex::replace() {
  std::mutex* fresh = newMutex();
  if (heldByCurrentThread()) {
    // Nobody can reach the fresh mutex before it is installed, so this lock
    // never waits.  Threads waiting on the old one wake, see the swap and
    // queue on the fresh one.
    fresh->lock();
    std::mutex* old = current_.exchange(fresh, std::memory_order_acq_rel);
    old->unlock();
    return;
  }
  std::mutex* old = lockCurrent();
  current_.store(fresh, std::memory_order_release);
  old->unlock();
}

}  // namespace velmora
