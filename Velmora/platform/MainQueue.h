// The main queue: work submitted to the main run loop (see RunLoop.h).
//
// Tasks run only while the main thread runs the main loop; sync() from
// another thread therefore blocks until it does.  An exception thrown by a
// sync() task is rethrown to the caller.  Since the background queue's tasks
// wait on the main queue, the main thread must never wait for them.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <functional>

namespace velmora::platform {

class MainQueue {
 public:
  // Runs `task` on the main thread later, in submission order.
  static void async(std::function<void()> task);
  // Runs `task` on the main thread and returns when it has finished.  Called
  // on the main thread it runs the task at once instead of deadlocking.
  static void sync(const std::function<void()>& task);
  static bool isMainThread();
};

}  // namespace velmora::platform
