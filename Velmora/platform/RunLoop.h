// Per-thread run loops, and the main run loop.
//
// Every thread may have one run loop, created on first use by
// RunLoop::current().  Tasks, one-shot timers and file-descriptor sources
// attached to a run loop fire only on its thread and only while that thread
// runs it (run(), runUntil() or drain()).
//
// The main run loop is RunLoop::main().  "The main thread" is the thread that
// runs it; until some thread has run it, the process's initial thread counts
// as the main thread.  A command-line host calls run(); a host with an event
// loop of its own polls descriptor() for readability and calls drain().
//
// A thread becomes the main thread by running the main loop and stays it
// until another thread does.  RunLoop::current() on the main thread is the
// main loop; work that a thread attached to its own loop before it became
// the main thread waits until that loop is run again.
//
// One pass of a loop runs, in this order: the sources that were readable
// when the wait ended, the timers that were due, then the tasks that were
// queued (tasks posted meanwhile wait for the next pass, so a task that
// re-posts itself cannot starve the others).  An exception thrown by a
// callback leaves run(), runUntil() or drain(); the loop stays usable.
//
// When a thread other than the main thread ends, its loop is retired, not
// destroyed: references held elsewhere stay valid, work attached to it is
// dropped, and later post(), addTimer() and addFdSource() calls are ignored.
// The main loop is never destroyed.
//
// Thread-safety: post(), addTimer(), cancelTimer(), stop() and wakeUp() may be
// called from any thread.  addFdSource()/removeFdSource() may be called from
// any thread; the callback runs on the loop's thread.  run(), runUntil() and
// drain() are called by the loop's own thread only (for the main loop: by the
// main thread).  Callbacks may add and cancel timers and sources of their own
// loop, and may post to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace velmora::platform {

class RunLoop {
 public:
  using Task = std::function<void()>;
  using TimerId = uint64_t;
  using SourceId = uint64_t;

  // The run loop of the calling thread.
  static RunLoop& current();
  // The main run loop.
  static RunLoop& main();
  // Whether the calling thread is the main thread (see above).
  static bool isMainThread();

  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Queues `task` to run on this loop's thread, after the tasks queued
  // before it.
  void post(Task task);

  // A one-shot timer: `fn` runs once on this loop's thread after `delay`
  // unless cancelled first.  Returns an id for cancelTimer().
  TimerId addTimer(std::chrono::nanoseconds delay, Task fn);
  // Cancels a timer that has not fired yet; unknown ids are ignored.
  void cancelTimer(TimerId id);

  // Calls `onReadable` on this loop's thread whenever `fd` is readable, until
  // removed.  The descriptor stays owned by the caller.  The source watches a
  // private duplicate of it (so several sources may watch one descriptor),
  // level-triggered: the callback must consume the input, or remove the
  // source on end of file or error, or it is called again at once.  Remove
  // the source before closing the descriptor.  Throws std::system_error for
  // a descriptor that cannot be watched.
  SourceId addFdSource(int fd, Task onReadable);
  // After it returns no new call starts; a call under way on the loop's
  // thread (when removing from another thread) finishes.
  void removeFdSource(SourceId id);

  // Runs until stop() is called.
  void run();
  // Asks run() to return after the callback under way.  A stop() made while
  // the loop is not running makes the next run() return at once; runUntil()
  // and drain() do not look at it.
  void stop();
  // Makes a waiting run()/runUntil() go round once, so that runUntil()
  // re-checks its predicate at once rather than within 10 ms.
  void wakeUp();
  // Runs until `done` returns true (checked first, after every callback and
  // at least every 10 ms) or `timeout` has passed.  Returns the last value of
  // done().  Callbacks may call it again (a nested run).
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Runs everything that is ready now, without blocking.
  void drain();

  // A descriptor that is readable while the loop has work ready; for hosts
  // that integrate the loop into an event loop of their own.
  int descriptor() const;

 private:
  struct ThreadSlot;

  RunLoop();
  void claimMainThread();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::platform
