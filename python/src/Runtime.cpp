#include "Runtime.h"

#include <locale.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace velmora::python {
namespace {

using platform::RunLoop;

struct LoopThread {
  std::mutex mutex;
  std::condition_variable exited;
  std::thread thread;
  bool started = false;
  std::shared_future<void> running;  // ready once the thread runs the loop
  pid_t pid = 0;  // the process that started the thread
  bool stopping = false;
  bool done = false;
  bool shutDown = false;
};

// Never destroyed: the thread may outlive static destruction at exit.
LoopThread& loop() {
  static auto* l = new LoopThread;
  return *l;
}

struct LogQueue {
  std::mutex mutex;
  std::deque<std::string> lines;
  size_t lost = 0;
};

LogQueue& logQueue() {
  static auto* q = new LogQueue;
  return *q;
}

void runLoop(std::promise<void> ready) {
  // Only this thread's formatting: the host's locale stays as it is.
  if (locale_t c = ::newlocale(LC_ALL_MASK, "C", nullptr)) ::uselocale(c);
  LoopThread& l = loop();
  // The first task runs once this thread runs the main loop, that is, once
  // it is the main thread.
  RunLoop::main().post([&ready] { ready.set_value(); });
  for (;;) {
    try {
      RunLoop::main().run();
    } catch (const std::exception& e) {
      logMessage("velmora (Python): a task of the main run loop failed: %s", e.what());
    } catch (...) {
      logMessage("velmora (Python): a task of the main run loop failed");
    }
    std::lock_guard<std::mutex> g(l.mutex);
    if (l.stopping) break;
  }
  std::lock_guard<std::mutex> g(l.mutex);
  l.done = true;
  l.exited.notify_all();
}

}  // namespace

void Runtime::start() {
  LoopThread& l = loop();
  std::unique_lock<std::mutex> g(l.mutex);
  if (l.shutDown) throw std::runtime_error("the velmora runtime has been shut down (the interpreter is exiting)");
  if (l.started && l.pid != ::getpid()) {
    throw std::runtime_error(
        "velmora cannot stream in a process forked after it started (its thread does not survive fork); start "
        "worker processes with the \"spawn\" or \"forkserver\" method");
  }
  if (!l.started) {
    l.pid = ::getpid();
    std::promise<void> ready;
    l.running = ready.get_future().share();
    l.thread = std::thread(runLoop, std::move(ready));
    l.started = true;
  }
  // A caller that comes while another starts the thread waits too.
  const std::shared_future<void> running = l.running;
  g.unlock();
  running.wait();
}

bool Runtime::running() {
  LoopThread& l = loop();
  std::lock_guard<std::mutex> g(l.mutex);
  return l.started && !l.shutDown && l.pid == ::getpid();
}

bool Runtime::forkedChild() {
  LoopThread& l = loop();
  std::lock_guard<std::mutex> g(l.mutex);
  return l.started && l.pid != ::getpid();
}

void Runtime::shutdown() {
  LoopThread& l = loop();
  std::unique_lock<std::mutex> g(l.mutex);
  if (l.shutDown) return;
  l.shutDown = true;
  if (!l.started || l.pid != ::getpid()) return;
  l.stopping = true;
  RunLoop::main().stop();
  if (l.exited.wait_for(g, std::chrono::seconds(2), [&] { return l.done; })) {
    g.unlock();
    l.thread.join();
  } else {
    l.thread.detach();
  }
}

void Runtime::captureLog() {
  setLogSink([](std::string_view line) {
    LogQueue& q = logQueue();
    std::lock_guard<std::mutex> g(q.mutex);
    if (q.lines.size() >= kMaxLogLines) {
      q.lines.pop_front();
      ++q.lost;
    }
    q.lines.emplace_back(line);
  });
}

std::vector<std::string> Runtime::takeLogLines() {
  LogQueue& q = logQueue();
  std::vector<std::string> out;
  std::lock_guard<std::mutex> g(q.mutex);
  if (q.lost > 0) out.push_back(std::to_string(q.lost) + " earlier log lines were dropped (the log queue was full)");
  q.lost = 0;
  out.insert(out.end(), std::make_move_iterator(q.lines.begin()), std::make_move_iterator(q.lines.end()));
  q.lines.clear();
  return out;
}

}  // namespace velmora::python
