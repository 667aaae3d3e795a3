#include "ErrorStream.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace velmora::tool {
namespace {

using Clock = std::chrono::steady_clock;

struct State {
  std::mutex mutex;
  std::condition_variable changed;  // queue, pending, written or failed changed
  std::deque<std::string> queue;
  size_t pending = 0;  // bytes queued or being written
  uint64_t written = 0;
  uint64_t dropped = 0;
  bool failed = false;
  bool started = false;

  void run() {
    // Signals are for the command's own threads: one that blocks a stop
    // signal to take it with sigwait must not have it ended here instead.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock<std::mutex> g(mutex);
    for (;;) {
      changed.wait(g, [&] { return !queue.empty(); });
      std::string text = std::move(queue.front());
      queue.pop_front();
      g.unlock();
      bool ok = true;
      for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          ok = false;
          break;
        }
        done += static_cast<size_t>(n);
      }
      g.lock();
      pending -= text.size();
      written += text.size();
      if (!ok) {
        // A stderr that fails (closed, EPIPE) takes nothing more.
        failed = true;
        pending = 0;
        queue.clear();
      }
      changed.notify_all();
    }
  }
};

// Never destroyed: the writer thread may outlive main().
State& state() {
  static State* s = new State();
  return *s;
}

}  // namespace

void ErrorStream::line(std::string_view text) {
  State& s = state();
  std::lock_guard<std::mutex> g(s.mutex);
  if (s.failed) return;
  if (s.pending + text.size() + 1 > kLimit) {
    ++s.dropped;
    return;
  }
  if (!s.started) {
    std::thread([&s] { s.run(); }).detach();
    s.started = true;
  }
  std::string copy;
  copy.reserve(text.size() + 1);
  copy.append(text).push_back('\n');
  s.pending += copy.size();
  s.queue.push_back(std::move(copy));
  s.changed.notify_all();
}

void ErrorStream::say(std::string_view command, std::string_view text) {
  std::string joined;
  joined.reserve(command.size() + 2 + text.size());
  joined.append(command).append(": ").append(text);
  line(joined);
}

bool ErrorStream::flush(std::chrono::milliseconds patience) {
  State& s = state();
  std::unique_lock<std::mutex> g(s.mutex);
  uint64_t seen = s.written;
  auto progressAt = Clock::now();
  while (s.pending > 0 && !s.failed) {
    s.changed.wait_for(g, std::chrono::milliseconds(20));
    if (s.written != seen) {
      seen = s.written;
      progressAt = Clock::now();
    } else if (Clock::now() - progressAt >= patience) {
      return false;
    }
  }
  return !s.failed;
}

uint64_t ErrorStream::dropped() {
  State& s = state();
  std::lock_guard<std::mutex> g(s.mutex);
  return s.dropped;
}

}  // namespace velmora::tool
