#include "platform/BackgroundQueue.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace velmora::platform {

// Shared between the queue object and its threads: a thread keeps it alive
// until it has left, so the queue never waits for idle threads to notice
// anything.
struct BackgroundQueue::Impl {
  explicit Impl(std::chrono::milliseconds timeout) : idleTimeout(timeout) {}

  const std::chrono::milliseconds idleTimeout;
  mutable std::mutex mutex;
  std::condition_variable workAvailable;  // tasks queued, or closing
  std::condition_variable quiet;          // a task finished or a thread left
  std::deque<std::function<void()>> tasks;
  size_t threads = 0;
  size_t idle = 0;     // threads waiting for work
  size_t running = 0;  // tasks under way
  bool closing = false;

  static void work(std::shared_ptr<Impl> impl);
};

namespace {

// The queue whose task the calling thread is running, so that a task that
// destroys its own queue does not wait for itself.
thread_local const void* tCurrentQueue = nullptr;

}  // namespace

BackgroundQueue& BackgroundQueue::shared() {
  // Never destroyed: its threads may still be running tasks while the
  // process exits, and they must find the queue intact.
  static auto* queue = new BackgroundQueue();
  return *queue;
}

BackgroundQueue::BackgroundQueue() : BackgroundQueue(kDefaultIdleTimeout) {}

BackgroundQueue::BackgroundQueue(std::chrono::milliseconds idleTimeout)
    : impl_(std::make_shared<Impl>(idleTimeout)) {}

BackgroundQueue::~BackgroundQueue() {
  const bool fromOwnTask = tCurrentQueue == impl_.get();
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->quiet.wait(lock, [&] {
    return impl_->tasks.empty() && impl_->running == (fromOwnTask ? 1u : 0u);
  });
  impl_->closing = true;
  impl_->workAvailable.notify_all();
  if (fromOwnTask) return;  // the calling thread is one of the threads
  impl_->quiet.wait(lock, [&] { return impl_->threads == 0; });
}

void BackgroundQueue::async(std::function<void()> task) {
  std::lock_guard<std::mutex> g(impl_->mutex);
  impl_->tasks.push_back(std::move(task));
  // Idle threads that have been woken but not yet taken a task still count
  // as idle, so compare with the backlog rather than just testing for one.
  if (impl_->tasks.size() > impl_->idle) {
    ++impl_->threads;
    std::thread(&Impl::work, impl_).detach();
  } else {
    impl_->workAvailable.notify_one();
  }
}

size_t BackgroundQueue::threadCount() const {
  std::lock_guard<std::mutex> g(impl_->mutex);
  return impl_->threads;
}

void BackgroundQueue::Impl::work(std::shared_ptr<Impl> impl) {
  tCurrentQueue = impl.get();
  // Named so that per-thread figures tell the pool from the host's threads.
  pthread_setname_np(pthread_self(), kThreadName);
  std::unique_lock<std::mutex> lock(impl->mutex);
  for (;;) {
    if (!impl->tasks.empty()) {
      std::function<void()> task = std::move(impl->tasks.front());
      impl->tasks.pop_front();
      ++impl->running;
      lock.unlock();
      task();
      task = nullptr;  // captures are released on this thread, outside the lock
      lock.lock();
      --impl->running;
      impl->quiet.notify_all();
      continue;
    }
    if (impl->closing) break;
    ++impl->idle;
    bool woken = impl->workAvailable.wait_for(lock, impl->idleTimeout,
                                              [&] { return !impl->tasks.empty() || impl->closing; });
    --impl->idle;
    if (!woken) break;
  }
  --impl->threads;
  impl->quiet.notify_all();
  tCurrentQueue = nullptr;
}

}  // namespace velmora::platform
