// Periodic timer sources: firing, never overlapping, cancelling and
// destroying from anywhere, including from the handler.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "platform/TimerSource.h"
#include "support/LogCapture.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

// Handlers may still be finishing after cancel() returns, so everything
// they touch lives in a shared object that they keep alive.
struct Probe {
  std::atomic<int> firings{0};
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::unique_ptr<TimerSource> timer;  // for handlers that act on their own source
};

// Time in which a cancelled source would have fired again: another source
// fires `n` times.
void letTimersRun(int n = 5) {
  auto ticks = std::make_shared<std::atomic<int>>(0);
  TimerSource marker(10ms, 1ms, [ticks] { ++*ticks; });
  marker.start();
  ASSERT_TRUE(test::waitUntil([&] { return ticks->load() >= n; }));
}

TEST(TimerSource, FiresOffThreadNeverOverlappingUntilCancelled) {
  auto probe = std::make_shared<Probe>();
  const auto self = std::this_thread::get_id();
  TimerSource timer(1ms, 0ms, [probe, self] {
    if (++probe->inside > 1 || std::this_thread::get_id() == self) probe->overlapped = true;
    std::this_thread::sleep_for(3ms);  // longer than the interval
    --probe->inside;
    ++probe->firings;
  });
  timer.start();
  timer.start();  // a second start changes nothing
  ASSERT_TRUE(test::waitUntil([&] { return probe->firings.load() >= 8; }));
  std::thread([&] { timer.cancel(); }).join();
  EXPECT_TRUE(timer.isCancelled());
  const int atCancel = probe->firings.load();
  letTimersRun();
  EXPECT_LE(probe->firings.load(), atCancel + 1);  // only a firing under way finishes
  EXPECT_FALSE(probe->overlapped);
}

TEST(TimerSource, NotStartedCancelledOrSelfCancellingOrSelfDestroyingSourcesStopFiring) {
  auto probe = std::make_shared<Probe>();
  TimerSource idle(1ms, 0ms, [probe] { probe->overlapped = true; });
  TimerSource cancelled(1ms, 0ms, [probe] { probe->overlapped = true; });
  cancelled.cancel();
  cancelled.start();
  Probe* raw = probe.get();  // the source lives in the probe: no cycle
  probe->timer = std::make_unique<TimerSource>(2ms, 0ms, [raw] {
    if (++raw->firings == 3) raw->timer->cancel();
  });
  probe->timer->start();
  auto doomed = std::make_shared<Probe>();
  std::weak_ptr<Probe> watch = doomed;
  doomed->timer = std::make_unique<TimerSource>(2ms, 0ms, [doomed] {
    ++doomed->firings;
    doomed->timer.reset();  // destroys the source that runs this handler; its captures live on till the end
    doomed->inside = 1;
  });
  doomed->timer->start();
  ASSERT_TRUE(test::waitUntil([&] { return probe->firings.load() >= 3 && doomed->inside.load() == 1; }));
  letTimersRun();
  EXPECT_EQ(probe->firings.load(), 3);
  EXPECT_EQ(doomed->firings.load(), 1);
  EXPECT_FALSE(probe->overlapped);
  doomed.reset();
  EXPECT_TRUE(test::waitUntil([&] { return watch.expired(); }));  // captures released after the firing
}

TEST(TimerSource, RejectsANonPositiveIntervalOrAnEmptyHandler) {
  EXPECT_THROW(TimerSource(0ns, 0ns, [] {}), std::invalid_argument);
  EXPECT_THROW(TimerSource(-1ms, 0ns, [] {}), std::invalid_argument);
  EXPECT_THROW(TimerSource(1ms, 0ns, nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace velmora::platform
