#include "internal/DispatchThread.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>

#include "internal/DelegateCall.h"
#include "platform/Log.h"
#include "platform/ThreadPriority.h"

namespace velmora::internal {

// One thread's stop signal, pause and pass.  The thread holds it for its
// whole life, so it stays valid after the owner is gone; the DispatchThread
// holds it while the thread is its current one.
struct DispatchThread::Control {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;             // guarded by mutex
  uint64_t intervalChanges = 0;  // guarded by mutex; wakes the pause to read the interval again
  // Guarded by mutex: the planned end (steady_clock ticks) of the pause that
  // passSoon() asked to end early.  Naming the pause keeps a late call from
  // ending the next one.
  std::chrono::steady_clock::rep passSoonFor = 0;
  // Set by shutdown(): the thread must not touch its owner any more (it
  // matters when the owner was destroyed on the thread itself).
  std::atomic<bool> ownerGone{false};
  std::function<void()> pass;

  bool stopped() {
    std::lock_guard<std::mutex> g(mutex);
    return stop;
  }
  void requestStop() {
    {
      std::lock_guard<std::mutex> g(mutex);
      stop = true;
    }
    wake.notify_all();
  }
};

DispatchThread::DispatchThread(std::function<void()> pass, std::atomic<bool>& connected)
    : connected_(connected), pass_(std::move(pass)) {}

DispatchThread::~DispatchThread() { shutdown(); }

bool DispatchThread::start() {
  std::unique_lock<std::mutex> life(lifecycleMutex_);
  while (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> p(control_->mutex);
      // A running thread is left running.  So is a dropped one when this
      // call comes from inside its own pass (from dataReceived()): it takes
      // its stop back, having not yet reached its stop test.
      if (!control_->stop || thread_.get_id() == std::this_thread::get_id()) {
        control_->stop = false;
        connected_.store(true);
        return true;
      }
    }
    // A dropped thread ends at its own stop signal, whatever starts later.
    std::thread old = std::move(thread_);
    control_.reset();
    life.unlock();
    old.join();
    life.lock();  // another start may have run meanwhile: look again
  }
  auto control = std::make_shared<Control>();
  control->pass = pass_;
  // Set before the thread starts, so that its first pass may deliver.
  connected_.store(true);
  try {
    auto body = [this, control] { run(control); };
    thread_ = threadStarter_ ? threadStarter_(body) : std::thread(body);
  } catch (...) {
    connected_.store(false);
    logMessage("VLAccessory: cannot start the dispatch thread: %s", currentExceptionText().c_str());
    return false;
  }
  control_ = std::move(control);
  return true;
}

void DispatchThread::stop() {
  std::lock_guard<std::mutex> life(lifecycleMutex_);
  if (control_) control_->requestStop();
  connected_.store(false);
}

void DispatchThread::shutdown() {
  std::thread thread;
  std::shared_ptr<Control> control;
  {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    thread = std::move(thread_);
    control = std::move(control_);
  }
  if (control) {
    control->ownerGone.store(true);
    control->requestStop();
  }
  // Joined outside lifecycleMutex_: the pass under way may call the
  // delegate, which may call stop().  On the thread itself (its delegate
  // was the last owner of the accessory object) the thread cannot be
  // joined; it sees ownerGone and ends without touching anything.
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
}

void DispatchThread::setThreadStarter(ThreadStarter starter) {
  std::lock_guard<std::mutex> life(lifecycleMutex_);
  threadStarter_ = std::move(starter);
}

void DispatchThread::setInterval(double seconds) {
  interval_.store(seconds);
  std::shared_ptr<Control> control;
  {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    control = control_;
  }
  if (!control) return;
  {
    std::lock_guard<std::mutex> p(control->mutex);
    ++control->intervalChanges;
  }
  control->wake.notify_all();
}

void DispatchThread::passSoon(std::chrono::steady_clock::duration within) {
  const std::chrono::steady_clock::rep plannedEnd = schedule_->nextPass.load();
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  if (plannedEnd - now > std::chrono::duration_cast<std::chrono::steady_clock::duration>(within).count()) return;
  std::shared_ptr<Control> control;
  {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    control = control_;
  }
  if (!control) return;
  {
    std::lock_guard<std::mutex> p(control->mutex);
    if (control->passSoonFor == plannedEnd) return;  // asked already
    control->passSoonFor = plannedEnd;
  }
  control->wake.notify_all();
}

// Each pause lasts the interval in force, counted from the pause's start (or
// from `from`): a change of the interval wakes it to look again.
std::optional<std::chrono::steady_clock::time_point> DispatchThread::pause(
    Control& control, std::optional<std::chrono::steady_clock::time_point> from) {
  std::unique_lock<std::mutex> p(control.mutex);
  const auto start = from.value_or(std::chrono::steady_clock::now());
  while (!control.stop) {
    double seconds = interval_.load();
    if (!(seconds >= kMinPause)) {  // also catches NaN
      seconds = kMinPause;
    } else if (seconds > kMaxPause) {
      seconds = kMaxPause;
    }
    const auto length =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    const auto end = start + length;
    // The length first: a reader that sees the new end also sees its length.
    schedule_->pause.store(length.count());
    schedule_->nextPass.store(end.time_since_epoch().count());
    const uint64_t seen = control.intervalChanges;
    const auto endTicks = end.time_since_epoch().count();
    if (!control.wake.wait_until(p, end, [&] {
          return control.stop || control.intervalChanges != seen || control.passSoonFor == endTicks;
        })) {
      return std::nullopt;
    }
    if (control.passSoonFor == endTicks && !control.stop) return end;
  }
  return std::nullopt;
}

DispatchThread::PassClock DispatchThread::nextPassClock() const {
  return [schedule = schedule_](std::chrono::steady_clock::time_point after) {
    using std::chrono::steady_clock;
    const auto next = steady_clock::time_point(steady_clock::duration(schedule->nextPass.load()));
    const steady_clock::rep pause = schedule->pause.load();
    if (pause <= 0) return next;
    // Passes are assumed every `pause` on from the next one (and before it,
    // for an `after` in the past): the first of them later than `after`.
    const steady_clock::rep behind = (after - next).count();
    const steady_clock::rep steps = behind < 0 ? 1 - (pause - 1 - behind) / pause : behind / pause + 1;
    return next + steady_clock::duration(steps * pause);
  };
}

void DispatchThread::run(const std::shared_ptr<Control>& control) {
  // Named, so that it can be told apart in ps and top (and in the
  // benchmarks' wake-up counts) from the host's own threads.
  pthread_setname_np(pthread_self(), "velmora-deliver");
  platform::setCurrentThreadPriority(0.5);
  if (control->stopped()) return;
  // The planned end of a pause that passSoon() cut short: the next pause is
  // counted from there, so that early passes keep the clock.
  std::optional<std::chrono::steady_clock::time_point> plannedEnd;
  for (;;) {
    control->pass();
    // If the pass let go of the last reference to a delegate that owned the
    // accessory object, the object and this DispatchThread have just been
    // destroyed, on this thread: touch nothing of either.
    if (control->ownerGone.load()) return;
    passes_.fetch_add(1);
    plannedEnd = pause(*control, plannedEnd);
    if (control->stopped()) return;
  }
}

}  // namespace velmora::internal
