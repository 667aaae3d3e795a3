#include "Output.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "ErrorStream.h"

namespace velmora::tool {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What the command's thread and the writer thread share; the writer thread
// holds it too, so that it outlives an Output that left the thread behind.
struct Output::Shared {
  std::mutex mutex;
  std::condition_variable changed;  // the queue, `pending`, `error` or `stop` changed
  std::deque<std::string> queue;
  size_t pending = 0;  // bytes queued or being written
  int error = 0;
  bool stop = false;
  std::atomic<uint64_t> written{0};  // bytes written so far: the reader's progress
  std::thread thread;

  void run(int fd);
};

void Output::Shared::run(int fd) {
  std::unique_lock<std::mutex> g(mutex);
  for (;;) {
    changed.wait(g, [&] { return stop || !queue.empty(); });
    if (queue.empty()) return;
    const std::string text = std::move(queue.front());
    queue.pop_front();
    g.unlock();
    int err = 0;
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = n < 0 ? errno : EIO;
        break;
      }
      done += static_cast<size_t>(n);
      written.fetch_add(static_cast<uint64_t>(n));
    }
    g.lock();
    pending -= text.size();
    if (err != 0 && error == 0) {
      // The output has ended: what is still queued will never be written.
      error = err;
      queue.clear();
      pending = 0;
    }
    changed.notify_all();
  }
}

Output::Output(int fd, std::function<bool()> interrupted)
    : fd_(fd), interrupted_(std::move(interrupted)), shared_(std::make_shared<Shared>()) {
  shared_->thread = std::thread([shared = shared_, fd] { shared->run(fd); });
}

Output::~Output() {
  const bool allWritten = finish();
  std::thread thread;
  {
    std::lock_guard<std::mutex> g(shared_->mutex);
    shared_->stop = true;
    thread = std::move(shared_->thread);
    shared_->changed.notify_all();
  }
  if (allWritten || error() != 0) {
    thread.join();
  } else {
    thread.detach();  // blocked in a write to a reader that takes nothing
  }
}

bool Output::write(std::string text) {
  std::unique_lock<std::mutex> g(shared_->mutex);
  while (shared_->error == 0 && shared_->pending > 0 && shared_->pending + text.size() > kLimit) {
    if (interrupted()) return false;
    shared_->changed.wait_for(g, 50ms);
  }
  if (shared_->error != 0) return false;
  if (text.empty()) return true;
  shared_->pending += text.size();
  shared_->queue.push_back(std::move(text));
  shared_->changed.notify_all();
  return true;
}

bool Output::finish() {
  std::unique_lock<std::mutex> g(shared_->mutex);
  uint64_t seen = shared_->written.load();
  auto progressAt = Clock::now();
  while (shared_->pending > 0 && shared_->error == 0) {
    shared_->changed.wait_for(g, 50ms);
    if (const uint64_t now = shared_->written.load(); now != seen) {
      seen = now;
      progressAt = Clock::now();
    } else if (interrupted() && Clock::now() - progressAt >= kGrace) {
      return false;
    }
  }
  return shared_->error == 0;
}

size_t Output::pending() const {
  std::lock_guard<std::mutex> g(shared_->mutex);
  return shared_->pending;
}

int Output::error() const {
  std::lock_guard<std::mutex> g(shared_->mutex);
  return shared_->error;
}

int Output::report(const std::string& command) const {
  const int err = error();
  if (err == 0 || err == EPIPE) return 0;
  ErrorStream::say(command, std::string("cannot write the output: ") + std::strerror(err));
  return 1;
}

}  // namespace velmora::tool
