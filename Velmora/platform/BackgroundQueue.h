// A concurrent queue of blocking tasks.
//
// Tasks run on a pool of threads that grows whenever a task arrives and no
// thread is idle, so a long blocking task (a port's read loop) never starves
// the others.  Threads that stay idle for a while exit.
//
// Thread-safety: all functions may be called from any thread, tasks included.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace velmora::platform {

class BackgroundQueue {
 public:
  // The process-wide default-priority queue.
  static BackgroundQueue& shared();

  BackgroundQueue();
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
