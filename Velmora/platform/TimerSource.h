// A periodic timer whose handler runs on the background queue.
//
// The handler never runs twice at the same time: a firing that comes due
// while the handler still runs is skipped.  Firings may come up to `leeway`
// late, which lets the implementation batch wake-ups.
//
// Thread-safety: start() and cancel() may be called from any thread,
// including from the handler.  After cancel() returns no new firing starts;
// a firing already under way finishes.  Destroying the source cancels it; it
// may be destroyed from inside its own handler.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace velmora::platform {

class TimerSource {
 public:
  TimerSource(std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway,
              std::function<void()> handler);
  ~TimerSource();
  TimerSource(const TimerSource&) = delete;
  TimerSource& operator=(const TimerSource&) = delete;

  // Starts firing: the first firing comes at once, then every interval.
  void start();
  void cancel();
  bool isCancelled() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace velmora::platform
