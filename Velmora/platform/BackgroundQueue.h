// A concurrent queue of blocking tasks.
//
// Tasks run on a pool of threads that grows whenever a task arrives and no
// thread is idle, so a long blocking task (a port's read loop) never starves
// the others.  Threads that stay idle for a while (2 s by default) exit.
// Tasks run in no particular order relative to each other.  A task must not
// let an exception escape: as with std::thread, that terminates the process.
//
// The shared queue is never destroyed; at process exit its threads are
// simply abandoned, so a task still running then must not rely on objects
// with static storage.  Destroying another queue waits for its tasks, also
// when a task of its own destroys it (it then waits for all but that one).
//
// Thread-safety: all functions may be called from any thread, tasks included.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace velmora::platform {

class BackgroundQueue {
 public:
  // The process-wide default-priority queue.
  static BackgroundQueue& shared();

  static constexpr std::chrono::milliseconds kDefaultIdleTimeout{2000};
  // The name of the pool's threads (top -H, /proc/PID/task).  A task may
  // rename its thread while it runs and gives it this name back.
  static constexpr const char* kThreadName = "velmora-bg";

  BackgroundQueue();
  // A queue whose threads exit after `idleTimeout` without work.
  explicit BackgroundQueue(std::chrono::milliseconds idleTimeout);
  // Waits for the tasks under way and the queued ones to finish.
  ~BackgroundQueue();
  BackgroundQueue(const BackgroundQueue&) = delete;
  BackgroundQueue& operator=(const BackgroundQueue&) = delete;

  void async(std::function<void()> task);

  // Threads currently alive in the pool; for tests and diagnostics.
  size_t threadCount() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace velmora::platform
