// A periodic timer whose handler runs on the background queue.
//
// The handler never runs twice at the same time: a firing that comes due
// while the handler still runs is skipped.  Firings may come up to `leeway`
// late, which lets the implementation batch wake-ups.
//
// The handler runs on a thread of BackgroundQueue::shared(), a different one
// from firing to firing.  One scheduler thread serves all sources.  Missed
// firings (a slow handler, a suspended process) are not made up later.
//
// Thread-safety: start() and cancel() may be called from any thread,
// including from the handler.  After cancel() returns no new firing starts;
// a firing already under way finishes.  Destroying the source cancels it; it
// may be destroyed from inside its own handler.  Neither cancel() nor the
// destructor waits for a firing under way (it may be waiting for the very
// thread that cancels), so the handler must not rely on objects that may be
// destroyed meanwhile: capture shared or weak pointers rather than `this`.
// The handler and its captures are released when the source has been
// destroyed and no firing is under way, possibly on a background thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace velmora::platform {

class TimerSource {
 public:
  // Throws std::invalid_argument for an interval that is not positive or an
  // empty handler; a negative leeway counts as none.
  TimerSource(std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway,
              std::function<void()> handler);
  ~TimerSource();
  TimerSource(const TimerSource&) = delete;
  TimerSource& operator=(const TimerSource&) = delete;

  // Starts firing: the first firing comes at once, then every interval.
  // Further calls, and calls after cancel(), do nothing.
  void start();
  void cancel();
  bool isCancelled() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace velmora::platform
