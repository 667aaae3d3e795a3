#include "platform/RunLoop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

// Each loop is an epoll instance (its descriptor() for hosts) watching three
// kinds of descriptors:
//  - an eventfd that is readable exactly while posted tasks are queued (or a
//    wake-up is pending);
//  - a timerfd armed, in absolute CLOCK_MONOTONIC time, for the earliest
//    one-shot timer, so that it is readable once that timer is due;
//  - a private duplicate of every fd source's descriptor, level-triggered.
// Callbacks are taken out one at a time under the mutex and run outside it,
// so callbacks may post, add, cancel and even run the loop again (nested).

namespace velmora::platform {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC on Linux

constexpr uint64_t kWakeTag = 0;
constexpr uint64_t kTimerTag = 1;
constexpr uint64_t kFirstSourceTag = 2;

pid_t currentTid() {
  thread_local const pid_t tid = ::gettid();
  return tid;
}

// 0 until some thread runs the main loop; then that thread's id.
std::atomic<pid_t> gMainTid{0};

// Timer and source ids are unique across all loops, so an id handed to the
// wrong loop (or to a loop whose thread has ended) is simply unknown there.
std::atomic<uint64_t> gNextId{kFirstSourceTag};

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

struct RunLoop::Impl {
  struct Source {
    int fd;  // our duplicate, registered with epoll
    std::shared_ptr<Task> callback;
    uint64_t dispatchedInWait = 0;  // the wait whose readiness last called it
  };

  // The eventfd, shared with posters that signal it after releasing the
  // mutex: it is closed once the loop has retired and no poster holds it.
  struct WakeDescriptor {
    int fd = -1;
    ~WakeDescriptor() {
      if (fd >= 0) ::close(fd);
    }
    void signal() const {
      uint64_t one = 1;
      ssize_t n = ::write(fd, &one, sizeof one);
      (void)n;  // the counter cannot overflow: it is reset whenever it is read
    }
  };

  std::mutex mutex;
  int epollFd = -1;
  std::shared_ptr<WakeDescriptor> wake = std::make_shared<WakeDescriptor>();
  int timerFd = -1;
  bool alive = true;  // false once the owning thread has ended
  bool stopRequested = false;
  bool wakePending = false;
  uint64_t waitCount = 0;
  std::deque<Task> tasks;
  // Keyed by (deadline, id): ordered by deadline, ties in creation order.
  std::map<std::pair<Clock::time_point, TimerId>, Task> timers;
  std::unordered_map<TimerId, Clock::time_point> timerDeadlines;
  std::unordered_map<SourceId, Source> sources;

  Impl() {
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) throwErrno("epoll_create1");
    wake->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake->fd < 0) throwErrno("eventfd");
    timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (timerFd < 0) throwErrno("timerfd_create");
    watch(wake->fd, kWakeTag);
    watch(timerFd, kTimerTag);
  }

  ~Impl() { closeDescriptors(); }

  void watch(int fd, uint64_t tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) throwErrno("epoll_ctl");
  }

  void closeDescriptors() {
    for (int* fd : {&epollFd, &timerFd}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
    wake.reset();
  }

  // Called with the mutex held.
  void signalWake() { wake->signal(); }

  // Called with the mutex held: makes the eventfd unreadable once nothing
  // posted is left.
  void clearWakeIfIdle() {
    if (!tasks.empty() || wakePending) return;
    uint64_t value;
    ssize_t n = ::read(wake->fd, &value, sizeof value);
    (void)n;  // EAGAIN when already clear
  }

  // Called with the mutex held whenever the earliest timer may have changed.
  void armTimerFd() {
    itimerspec spec{};
    if (!timers.empty()) {
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    timers.begin()->first.first.time_since_epoch())
                    .count();
      if (ns <= 0) ns = 1;  // zero would disarm
      spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
      spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    ::timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
  }

  // Waits up to `timeoutMs` (-1: without limit) for work, then runs the ready
  // callbacks one by one: readable sources, due timers, then the tasks that
  // were queued when the wait ended.  `interrupt` is asked after each
  // callback; when it answers true the rest stays for the next pass (nothing
  // is lost: sources are level-triggered, timers and tasks stay queued).
  template <typename Interrupt>
  void runPass(int timeoutMs, Interrupt interrupt) {
    constexpr int kMaxEvents = 32;
    epoll_event events[kMaxEvents];
    uint64_t thisWait;
    {
      std::lock_guard<std::mutex> g(mutex);
      if (!alive) return;
      thisWait = ++waitCount;
    }
    int n = ::epoll_wait(epollFd, events, kMaxEvents, timeoutMs);
    if (n < 0) {
      if (errno == EINTR) return;
      throwErrno("epoll_wait");
    }

    for (int i = 0; i < n; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kWakeTag || tag == kTimerTag) continue;
      std::shared_ptr<Task> callback;
      {
        std::lock_guard<std::mutex> g(mutex);
        auto it = sources.find(tag);
        // A nested pass may have served this readiness already; calling
        // again could block the callback on a drained descriptor.
        if (it == sources.end() || it->second.dispatchedInWait > thisWait) continue;
        it->second.dispatchedInWait = thisWait;
        callback = it->second.callback;
      }
      (*callback)();
      if (interrupt()) return;
    }

    const auto now = Clock::now();
    for (;;) {
      Task fn;
      {
        std::lock_guard<std::mutex> g(mutex);
        if (timers.empty() || timers.begin()->first.first > now) break;
        auto node = timers.extract(timers.begin());
        timerDeadlines.erase(node.key().second);
        fn = std::move(node.mapped());
        armTimerFd();
      }
      fn();
      if (interrupt()) return;
    }

    size_t budget;
    {
      std::lock_guard<std::mutex> g(mutex);
      wakePending = false;
      budget = tasks.size();
      clearWakeIfIdle();
    }
    // Tasks posted by these tasks wait for the next pass, so a task that
    // re-posts itself cannot starve timers and sources.
    while (budget-- > 0) {
      Task fn;
      {
        std::lock_guard<std::mutex> g(mutex);
        if (tasks.empty()) break;
        fn = std::move(tasks.front());
        tasks.pop_front();
        clearWakeIfIdle();
      }
      fn();
      if (interrupt()) return;
    }
  }

  // The owning thread has ended: nobody will run this loop again.  Work still
  // attached is dropped (outside the mutex, since destroying a callback may
  // run arbitrary code); later posts are dropped too.
  void retire() {
    std::deque<Task> oldTasks;
    std::map<std::pair<Clock::time_point, TimerId>, Task> oldTimers;
    std::unordered_map<SourceId, Source> oldSources;
    {
      std::lock_guard<std::mutex> g(mutex);
      alive = false;
      oldTasks.swap(tasks);
      oldTimers.swap(timers);
      timerDeadlines.clear();
      oldSources.swap(sources);
      for (auto& [id, source] : oldSources) ::close(source.fd);
      closeDescriptors();
    }
  }
};

// The loop of a thread other than the main thread, created on first use.
// When the thread ends its loop is retired rather than destroyed: another
// thread may still hold a reference (to cancel a timer, say), and a retired
// loop safely ignores such calls.  The shells stay reachable, never freed.
struct RunLoop::ThreadSlot {
  RunLoop* loop = nullptr;

  ~ThreadSlot() {
    if (loop == nullptr) return;
    loop->impl_->retire();
    static auto* retiredMutex = new std::mutex;
    static auto* retired = new std::vector<RunLoop*>;
    std::lock_guard<std::mutex> g(*retiredMutex);
    retired->push_back(loop);
  }
};

RunLoop::RunLoop() : impl_(std::make_unique<Impl>()) {}

RunLoop::~RunLoop() = default;

RunLoop& RunLoop::main() {
  // Never destroyed: threads may post to it while the process exits.
  static RunLoop* loop = new RunLoop();
  return *loop;
}

bool RunLoop::isMainThread() {
  pid_t mainTid = gMainTid.load(std::memory_order_acquire);
  if (mainTid == 0) return currentTid() == ::getpid();
  return currentTid() == mainTid;
}

RunLoop& RunLoop::current() {
  if (isMainThread()) return main();
  thread_local ThreadSlot slot;
  if (slot.loop == nullptr) slot.loop = new RunLoop();
  return *slot.loop;
}

void RunLoop::claimMainThread() {
  if (this == &main()) gMainTid.store(currentTid(), std::memory_order_release);
}

void RunLoop::post(Task task) {
  std::shared_ptr<Impl::WakeDescriptor> wake;
  {
    std::lock_guard<std::mutex> g(impl_->mutex);
    if (!impl_->alive) return;
    if (impl_->tasks.empty()) wake = impl_->wake;
    impl_->tasks.push_back(std::move(task));
  }
  // Signalled after the mutex is released: the loop's thread, woken at once,
  // would otherwise find the mutex still held and sleep on it again.  A
  // pass that empties the queue in between merely sees one wake-up too many.
  if (wake) wake->signal();
}

void RunLoop::wakeUp() {
  std::lock_guard<std::mutex> g(impl_->mutex);
  if (!impl_->alive) return;
  impl_->wakePending = true;
  impl_->signalWake();
}

RunLoop::TimerId RunLoop::addTimer(std::chrono::nanoseconds delay, Task fn) {
  TimerId id = gNextId.fetch_add(1, std::memory_order_relaxed);
  // A delay beyond the clock's range saturates: such a timer never fires.
  const auto now = Clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::time_point::max() - now);
  const auto deadline = delay >= room ? Clock::time_point::max()
                                      : now + std::max(delay, std::chrono::nanoseconds::zero());
  std::lock_guard<std::mutex> g(impl_->mutex);
  if (!impl_->alive) return id;
  auto it = impl_->timers.emplace(std::make_pair(deadline, id), std::move(fn)).first;
  impl_->timerDeadlines.emplace(id, deadline);
  if (it == impl_->timers.begin()) impl_->armTimerFd();
  return id;
}

void RunLoop::cancelTimer(TimerId id) {
  Task doomed;  // destroyed after the mutex is released
  std::lock_guard<std::mutex> g(impl_->mutex);
  auto found = impl_->timerDeadlines.find(id);
  if (found == impl_->timerDeadlines.end()) return;
  auto it = impl_->timers.find(std::make_pair(found->second, id));
  bool wasFirst = it == impl_->timers.begin();
  doomed = std::move(it->second);
  impl_->timers.erase(it);
  impl_->timerDeadlines.erase(found);
  if (wasFirst) impl_->armTimerFd();
}

RunLoop::SourceId RunLoop::addFdSource(int fd, Task onReadable) {
  int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup < 0) throwErrno("addFdSource");
  SourceId id = gNextId.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> g(impl_->mutex);
  if (!impl_->alive) {
    ::close(dup);
    return id;
  }
  try {
    impl_->watch(dup, id);
  } catch (...) {
    ::close(dup);
    throw;
  }
  impl_->sources.emplace(id, Impl::Source{dup, std::make_shared<Task>(std::move(onReadable))});
  return id;
}

void RunLoop::removeFdSource(SourceId id) {
  std::shared_ptr<Task> doomed;  // released after the mutex
  std::lock_guard<std::mutex> g(impl_->mutex);
  auto it = impl_->sources.find(id);
  if (it == impl_->sources.end()) return;
  ::epoll_ctl(impl_->epollFd, EPOLL_CTL_DEL, it->second.fd, nullptr);
  ::close(it->second.fd);
  doomed = std::move(it->second.callback);
  impl_->sources.erase(it);
}

void RunLoop::run() {
  claimMainThread();
  for (;;) {
    {
      std::lock_guard<std::mutex> g(impl_->mutex);
      if (impl_->stopRequested || !impl_->alive) {
        impl_->stopRequested = false;
        return;
      }
    }
    impl_->runPass(-1, [this] {
      std::lock_guard<std::mutex> g(impl_->mutex);
      return impl_->stopRequested;
    });
  }
}

void RunLoop::stop() {
  std::lock_guard<std::mutex> g(impl_->mutex);
  impl_->stopRequested = true;
  impl_->wakePending = true;
  if (impl_->alive) impl_->signalWake();
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  claimMainThread();
  const auto deadline = Clock::now() + timeout;
  constexpr auto kPoll = std::chrono::milliseconds(10);
  bool result = done();
  while (!result) {
    auto remaining = deadline - Clock::now();
    if (remaining <= Clock::duration::zero()) break;
    auto wait = std::min<Clock::duration>(remaining, kPoll);
    // Round up so that the last wait does not end just short of the deadline.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    impl_->runPass(static_cast<int>(ms), [&] { return result = done(); });
    result = done();
  }
  return result;
}

void RunLoop::drain() {
  claimMainThread();
  impl_->runPass(0, [] { return false; });
}

int RunLoop::descriptor() const { return impl_->epollFd; }

}  // namespace velmora::platform
