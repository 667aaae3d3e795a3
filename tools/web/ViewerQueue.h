// ViewerQueue: the lines waiting for one web viewer (one GET /events
// connection).  The session's main thread pushes each line without ever
// waiting; the viewer's HTTP thread pops them and writes them to its socket.
//
// The queue is bounded in bytes.  A push that would pass the bound does not
// wait and does not drop the line silently: it closes the queue as
// "overflowed", so that the viewer is dropped whole rather than shown a
// stream with a hole in it.  The HTTP thread sees that at its next pop and
// ends the connection.  Lines are shared between the viewers' queues, so a
// line costs its bytes once however many viewers there are; the bound
// counts each queue's share in full, which keeps every queue's memory
// bounded on its own.
//
// Threads: push() and close() from any thread (the main thread, normally);
// pop() from the one thread that serves the viewer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace velmora::tool::web {

class ViewerQueue {
 public:
  using Line = std::shared_ptr<const std::string>;
  enum class State { Open, Closed, Overflowed };

  explicit ViewerQueue(size_t limitBytes) : limit_(limitBytes) {}

  // Adds `line` at the end.  False when the queue is closed, or when the
  // line would pass the bound (the queue is then closed as Overflowed).
  bool push(Line line);
  // Ends the queue: pop() hands out what is queued, then reports the end.
  void close();
  // The next line, waiting up to `wait` for one.  None when the wait ran out
  // (check state()), or when the queue has ended: Closed after its last line,
  // Overflowed at once (the viewer is dropped; what is left is discarded).
  std::optional<Line> pop(std::chrono::milliseconds wait);

  State state() const;

 private:
  const size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Line> lines_;
  size_t bytes_ = 0;
  State state_ = State::Open;
};

}  // namespace velmora::tool::web
