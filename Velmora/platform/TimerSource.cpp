#include "platform/TimerSource.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "platform/BackgroundQueue.h"

// One scheduler thread serves every timer source of the process: it sleeps
// until the next firing is due, hands the due handlers to the shared
// background queue and reschedules their sources.  Handlers never run on the
// scheduler thread, so a slow handler delays nobody else's firings.

namespace velmora::platform {
namespace {

using Clock = std::chrono::steady_clock;

struct TimerEntry {
  TimerEntry(Clock::duration i, Clock::duration l, std::function<void()> h)
      : interval(i), leeway(l), handler(std::move(h)) {}

  const Clock::duration interval;
  const Clock::duration leeway;
  const std::function<void()> handler;
  std::atomic<bool> cancelled{false};
  std::atomic<bool> running{false};  // a firing is queued or under way

  // Guarded by the scheduler's mutex.
  bool started = false;
  bool scheduled = false;
  std::pair<Clock::time_point, uint64_t> key;
};

class Scheduler {
 public:
  static Scheduler& instance() {
    // Never destroyed: its thread keeps running while the process exits.
    static auto* scheduler = new Scheduler();
    return *scheduler;
  }

  void start(const std::shared_ptr<TimerEntry>& entry) {
    std::lock_guard<std::mutex> g(mutex_);
    if (entry->started || entry->cancelled.load()) return;
    entry->started = true;
    insert(entry, Clock::now());
    if (queue_.begin()->second == entry) wakeUp_.notify_one();
  }

  void cancel(TimerEntry& entry) {
    std::shared_ptr<TimerEntry> doomed;  // released after the mutex
    std::lock_guard<std::mutex> g(mutex_);
    entry.cancelled.store(true);
    if (!entry.scheduled) return;
    auto it = queue_.find(entry.key);
    doomed = std::move(it->second);
    queue_.erase(it);
    entry.scheduled = false;
    // The thread may now sleep longer than needed; it finds nothing due when
    // it wakes and goes back to sleep, which costs less than a notification.
  }

 private:
  Scheduler() {
    std::thread([this] {
      pthread_setname_np(pthread_self(), "velmora-timer");
      loop();
    }).detach();
  }

  void insert(const std::shared_ptr<TimerEntry>& entry, Clock::time_point due) {
    entry->key = {due, nextSeq_++};
    entry->scheduled = true;
    queue_.emplace(entry->key, entry);
  }

  // The latest wake-up that is still within every batched source's leeway:
  // starting from the earliest due firing, each further firing that falls
  // inside the window joins the batch and may narrow the window.
  Clock::time_point wakeTime() const {
    constexpr int kMaxBatch = 64;
    auto it = queue_.begin();
    Clock::time_point wake = it->first.first;
    Clock::time_point limit = wake + it->second->leeway;
    int batched = 1;
    for (++it; it != queue_.end() && batched < kMaxBatch; ++it, ++batched) {
      Clock::time_point due = it->first.first;
      if (due > limit) break;
      wake = due;
      limit = std::min(limit, due + it->second->leeway);
    }
    return wake;
  }

  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<TimerEntry>> due;
    for (;;) {
      if (queue_.empty()) {
        wakeUp_.wait(lock);
        continue;
      }
      const Clock::time_point wake = wakeTime();
      const Clock::time_point now = Clock::now();
      if (now < wake) {
        wakeUp_.wait_until(lock, wake);
        continue;
      }
      while (!queue_.empty() && queue_.begin()->first.first <= now) {
        auto node = queue_.extract(queue_.begin());
        std::shared_ptr<TimerEntry> entry = std::move(node.mapped());
        // Firings missed while the process was descheduled are not made up.
        Clock::time_point next = node.key().first + entry->interval;
        if (next <= now) next += ((now - next) / entry->interval + 1) * entry->interval;
        insert(entry, next);
        // A firing that comes due while the handler still runs is skipped.
        if (!entry->running.exchange(true)) due.push_back(std::move(entry));
      }
      lock.unlock();
      for (auto& entry : due) {
        BackgroundQueue::shared().async([entry = std::move(entry)] {
          if (!entry->cancelled.load()) entry->handler();
          entry->running.store(false);
        });
      }
      due.clear();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wakeUp_;
  std::map<std::pair<Clock::time_point, uint64_t>, std::shared_ptr<TimerEntry>> queue_;
  uint64_t nextSeq_ = 0;
};

}  // namespace

struct TimerSource::State : TimerEntry {
  using TimerEntry::TimerEntry;
};

TimerSource::TimerSource(std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway,
                         std::function<void()> handler) {
  if (interval <= std::chrono::nanoseconds::zero()) {
    throw std::invalid_argument("TimerSource: the interval must be positive");
  }
  if (!handler) throw std::invalid_argument("TimerSource: a handler is required");
  state_ = std::make_shared<State>(std::chrono::duration_cast<Clock::duration>(interval),
                                   std::chrono::duration_cast<Clock::duration>(
                                       std::max(leeway, std::chrono::nanoseconds::zero())),
                                   std::move(handler));
}

TimerSource::~TimerSource() { cancel(); }

void TimerSource::start() { Scheduler::instance().start(state_); }

void TimerSource::cancel() {
  if (state_->cancelled.load()) return;
  Scheduler::instance().cancel(*state_);
}

bool TimerSource::isCancelled() const { return state_->cancelled.load(); }

}  // namespace velmora::platform
