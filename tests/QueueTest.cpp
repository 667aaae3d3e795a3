// Periodic timer sources, which run on the background queue.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "platform/BackgroundQueue.h"
#include "platform/MainQueue.h"
#include "platform/RunLoop.h"
#include "platform/TimerSource.h"
#include "support/LogCapture.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

// What handlers touch lives in a shared object they keep alive (they may outlast cancel()).
struct Probe {
  std::atomic<int> firings{0}, inside{0};
  std::atomic<bool> wrong{false};      // overlapped, ran on the caller's thread, or ran at all
  std::unique_ptr<TimerSource> timer;  // for handlers that act on their own source
};

// Time in which a cancelled source would have fired again.
void letTimersRun() {
  auto ticks = std::make_shared<std::atomic<int>>(0);
  TimerSource marker(10ms, 1ms, [ticks] { ++*ticks; });
  marker.start();
  ASSERT_TRUE(test::waitUntil([&] { return ticks->load() >= 5; }));
}

TEST(TimerSource, FiresOffThreadNeverOverlappingAndStopsWhenCancelledFromAnywhere) {
  auto slow = std::make_shared<Probe>();
  const auto self = std::this_thread::get_id();
  TimerSource timer(1ms, 0ms, [slow, self] {
    if (++slow->inside > 1 || std::this_thread::get_id() == self) slow->wrong = true;
    std::this_thread::sleep_for(3ms);  // longer than the interval
    --slow->inside, ++slow->firings;
  });
  timer.start();
  timer.start();  // a second start changes nothing
  auto probe = std::make_shared<Probe>();
  TimerSource cancelled(1ms, 0ms, [probe] { probe->wrong = true; });  // before it was started
  cancelled.cancel();
  cancelled.start();
  probe->timer = std::make_unique<TimerSource>(2ms, 0ms, [raw = probe.get()] {  // the probe owns it: no cycle
    if (++raw->firings == 3) raw->timer->cancel();
  });
  probe->timer->start();
  auto doomed = std::make_shared<Probe>();
  std::weak_ptr<Probe> watch = doomed;
  doomed->timer = std::make_unique<TimerSource>(2ms, 0ms, [doomed] {
    doomed->timer.reset();  // destroys the source running this handler; the captures live on
    ++doomed->firings;
  });
  doomed->timer->start();
  ASSERT_TRUE(test::waitUntil([&] { return slow->firings >= 8 && probe->firings >= 3 && doomed->firings == 1; }));
  std::thread([&] { timer.cancel(); }).join();
  const int atCancel = slow->firings;
  letTimersRun();
  EXPECT_LE(slow->firings, atCancel + 1);  // only a firing under way finishes
  EXPECT_EQ(probe->firings, 3);
  EXPECT_EQ(doomed->firings, 1);
  EXPECT_FALSE(slow->wrong || probe->wrong);
  doomed.reset();
  EXPECT_TRUE(test::waitUntil([&] { return watch.expired(); }));  // captures released after the firing
  EXPECT_THROW(TimerSource(0ns, 0ns, [] {}), std::invalid_argument);
  EXPECT_THROW(TimerSource(1ms, 0ns, nullptr), std::invalid_argument);
}

TEST(Queues, SyncRethrowsIdleWorkersExitAndDestructionWaitsForQueuedTasks) {
  std::atomic<bool> caught{false};
  std::thread worker([&] {
    try {
      MainQueue::sync([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error& e) {
      caught = std::string(e.what()) == "boom";
    }
  });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return caught.load(); }, 5s));
  worker.join();
  EXPECT_THROW(MainQueue::sync([] { throw std::runtime_error("inline"); }), std::runtime_error);

  auto queue = std::make_unique<BackgroundQueue>(20ms);
  std::atomic<int> done{0};
  queue->async([&] { ++done; });
  ASSERT_TRUE(test::waitUntil([&] { return done == 1 && queue->threadCount() == 0; }));  // idle threads exit
  std::atomic<bool> release{false};
  queue->async([&] { while (!release) std::this_thread::yield(); });
  for (int i = 0; i < 20; ++i) queue->async([&] { ++done; });
  release = true;
  queue.reset();  // waits for every queued task
  EXPECT_EQ(done.load(), 21);
}

}  // namespace
}  // namespace velmora::platform
