// DispatchThread: the accessory object's delivery thread.  It runs one pass
// (the owner's delivery of the data dictionary) at once and then after every
// pause of `interval` seconds, until stopped; passSoon() ends a pause a
// little early, keeping the passes' clock.
//
// Each thread has a control block of its own (its stop signal, its pause and
// the pass it runs), which the thread holds for its whole life, so a thread
// dropped by stop() ends at its own signal even when a new one has started,
// and a thread whose owner was destroyed by its own pass touches nothing of
// the owner or of this object again.
//
// Threads: every member may be called from any thread, start() and stop()
// also from inside a pass (a restart from inside keeps that very thread).
// lifecycleMutex_ serialises start, stop and shutdown and is never held
// while a pass runs or a thread is joined.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace velmora::internal {

class DispatchThread {
 public:
  using ThreadStarter = std::function<std::thread(std::function<void()>)>;

  // `pass` runs on the thread; `connected` is set by start() and cleared by
  // stop(), under the same mutex as the thread's own state.
  DispatchThread(std::function<void()> pass, std::atomic<bool>& connected);
  // shutdown().
  ~DispatchThread();
  DispatchThread(const DispatchThread&) = delete;
  DispatchThread& operator=(const DispatchThread&) = delete;

  // See VelmoraObjC::startDispatch() and stopDispatch().
  bool start();
  void stop();
  // Stops the thread for good and waits for it to end, without waiting out
  // its pause; on the thread itself (the owner destroyed from inside a pass)
  // the thread is left to end on its own.
  void shutdown();

  void setThreadStarter(ThreadStarter starter);
  // Seconds of each pause; clamped when read (see VelmoraObjC).  A change
  // wakes the pause under way to measure it again from its start.
  double interval() const { return interval_.load(); }
  void setInterval(double seconds);
  uint64_t passes() const { return passes_.load(); }
  // The passes' clock, as a function callable from any thread, also after
  // this object has gone: the first pass due after `after`, counted from the
  // end of the pause under way or last begun in steps of that pause's length.
  // Before any pause it answers the clock's epoch.  A port's read loop asks
  // it to read just in time for a pass.
  using PassClock = std::function<std::chrono::steady_clock::time_point(std::chrono::steady_clock::time_point after)>;
  PassClock nextPassClock() const;
  // Any thread: what the coming pass is waiting for is ready.  A pause due
  // to end within `within` from now ends at once, and the passes keep their
  // clock: the pause after it ends a whole interval after this one's planned
  // end, not after the pass.  Further off, the call does nothing (it takes
  // no lock then).  The owner calls it once the bytes read for a pass are
  // framed, so that the thread wakes at the main thread's word instead of on
  // a timer of its own.
  void passSoon(std::chrono::steady_clock::duration within);

  static constexpr double kMinPause = 0.001;
  static constexpr double kMaxPause = 86400.0;

 private:
  struct Control;
  void run(const std::shared_ptr<Control>& control);
  // Pauses from `from` (now if absent) for the interval in force; answers
  // the planned end when passSoon() ended the pause before it.
  std::optional<std::chrono::steady_clock::time_point> pause(
      Control& control, std::optional<std::chrono::steady_clock::time_point> from);

  std::atomic<bool>& connected_;
  std::function<void()> pass_;
  std::atomic<double> interval_{0.02};
  std::atomic<uint64_t> passes_{0};
  // The end and the length of the pause under way or last begun, in
  // steady_clock ticks; shared with the clock functions handed out.
  struct Schedule {
    std::atomic<std::chrono::steady_clock::rep> nextPass{0};
    std::atomic<std::chrono::steady_clock::rep> pause{0};
  };
  const std::shared_ptr<Schedule> schedule_ = std::make_shared<Schedule>();
  std::mutex lifecycleMutex_;  // guards the three fields below
  std::thread thread_;
  std::shared_ptr<Control> control_;
  ThreadStarter threadStarter_;
};

}  // namespace velmora::internal
