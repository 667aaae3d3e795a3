#include "platform/MainQueue.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

#include "platform/RunLoop.h"

namespace velmora::platform {

void MainQueue::async(std::function<void()> task) { RunLoop::main().post(std::move(task)); }

void MainQueue::sync(const std::function<void()>& task) {
  if (isMainThread()) {
    task();
    return;
  }
  // Shared with the posted task so that its last touch of the state is safe
  // however the two threads interleave.
  struct Completion {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
  };
  auto completion = std::make_shared<Completion>();
  RunLoop::main().post([completion, &task] {
    std::exception_ptr error;
    try {
      task();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> g(completion->mutex);
    completion->error = error;
    completion->done = true;
    completion->cv.notify_one();
  });
  std::unique_lock<std::mutex> lock(completion->mutex);
  completion->cv.wait(lock, [&] { return completion->done; });
  if (completion->error) std::rethrow_exception(completion->error);
}

bool MainQueue::isMainThread() { return RunLoop::isMainThread(); }

}  // namespace velmora::platform
