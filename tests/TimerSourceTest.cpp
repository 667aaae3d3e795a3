#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/TimerSource.h"
#include "support/LogCapture.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Handlers may still be finishing after cancel() returns, so everything
// they touch lives in a shared object that they keep alive.
struct Probe {
  std::atomic<int> firings{0};
  std::atomic<int> inside{0};
  std::atomic<int> maxInside{0};
  std::atomic<int> started{0};
  std::atomic<bool> flag{false};
  std::atomic<bool> offThread{true};
  std::unique_ptr<TimerSource> timer;  // for handlers that act on their own source
};

// Waits until another source has fired `n` times: time that a cancelled
// source would have used to fire again, measured by the same machinery.
void letTimersRun(int n = 5) {
  auto ticks = std::make_shared<std::atomic<int>>(0);
  TimerSource marker(10ms, 1ms, [ticks] { ++*ticks; });
  marker.start();
  ASSERT_TRUE(test::waitUntil([&] { return ticks->load() >= n; }));
}

TEST(TimerSource, FiresAtOnceThenEveryIntervalNeverEarly) {
  auto probe = std::make_shared<Probe>();
  const auto self = std::this_thread::get_id();
  TimerSource timer(10ms, 5ms, [probe, self] {
    if (std::this_thread::get_id() == self) probe->offThread = false;
    ++probe->firings;
  });
  EXPECT_FALSE(timer.isCancelled());
  const auto start = Clock::now();
  timer.start();
  timer.start();  // a second start changes nothing
  ASSERT_TRUE(test::waitUntil([&] { return probe->firings.load() >= 10; }));
  // The tenth firing is due nine intervals after the first.
  EXPECT_GE(Clock::now() - start, 90ms);
  timer.cancel();
  EXPECT_TRUE(timer.isCancelled());
  EXPECT_TRUE(probe->offThread);
}

TEST(TimerSource, NotStartedOrCancelledSourcesDoNotFire) {
  auto probe = std::make_shared<Probe>();
  TimerSource idle(1ms, 0ms, [probe] { ++probe->firings; });
  TimerSource cancelled(1ms, 0ms, [probe] { ++probe->firings; });
  cancelled.cancel();
  cancelled.start();
  letTimersRun();
  EXPECT_EQ(probe->firings.load(), 0);
}

TEST(TimerSource, ASlowHandlerNeverOverlapsItself) {
  auto probe = std::make_shared<Probe>();
  TimerSource timer(1ms, 0ms, [probe] {
    int now = ++probe->inside;
    int seen = probe->maxInside.load();
    while (now > seen && !probe->maxInside.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(5ms);  // simulated work, longer than the interval
    --probe->inside;
    ++probe->firings;
  });
  timer.start();
  ASSERT_TRUE(test::waitUntil([&] { return probe->firings.load() >= 8; }));
  timer.cancel();
  EXPECT_EQ(probe->maxInside.load(), 1);
}

TEST(TimerSource, CancelFromInsideTheHandlerStopsFurtherFirings) {
  auto probe = std::make_shared<Probe>();
  Probe* raw = probe.get();  // the source lives in the probe: no cycle
  probe->timer = std::make_unique<TimerSource>(2ms, 0ms, [raw] {
    if (++raw->firings == 3) raw->timer->cancel();
  });
  probe->timer->start();
  ASSERT_TRUE(test::waitUntil([&] { return probe->firings.load() >= 3; }));
  letTimersRun();
  EXPECT_EQ(probe->firings.load(), 3);
  EXPECT_TRUE(probe->timer->isCancelled());
}

TEST(TimerSource, DestructionFromInsideTheHandlerIsSafe) {
  auto probe = std::make_shared<Probe>();
  std::weak_ptr<Probe> watch = probe;
  probe->timer = std::make_unique<TimerSource>(2ms, 0ms, [probe] {
    ++probe->firings;
    probe->timer.reset();  // destroys the source that is running this handler
    probe->flag = true;    // the handler and its captures are still alive
  });
  probe->timer->start();
  ASSERT_TRUE(test::waitUntil([&] { return probe->flag.load(); }));
  letTimersRun();
  EXPECT_EQ(probe->firings.load(), 1);
  // The captured probe is released once the firing has finished.
  probe.reset();
  EXPECT_TRUE(test::waitUntil([&] { return watch.expired(); }));
}

TEST(TimerSource, CancelFromAnotherThreadLetsOnlyAFiringUnderWayFinish) {
  auto probe = std::make_shared<Probe>();
  TimerSource timer(1ms, 0ms, [probe] {
    ++probe->started;
    ++probe->firings;
  });
  timer.start();
  ASSERT_TRUE(test::waitUntil([&] { return probe->started.load() >= 3; }));
  std::thread([&] { timer.cancel(); }).join();
  const int atCancel = probe->started.load();
  letTimersRun();
  EXPECT_LE(probe->started.load(), atCancel + 1);
  EXPECT_EQ(probe->started.load(), probe->firings.load());
}

TEST(TimerSource, ManySourcesShareTheSchedulerAndAllFire) {
  constexpr int kSources = 30;
  auto counts = std::make_shared<std::array<std::atomic<int>, kSources>>();
  std::vector<std::unique_ptr<TimerSource>> timers;
  for (int i = 0; i < kSources; ++i) {
    timers.push_back(std::make_unique<TimerSource>(std::chrono::milliseconds(3 + i % 7), 2ms,
                                                   [counts, i] { ++(*counts)[static_cast<size_t>(i)]; }));
    timers.back()->start();
  }
  ASSERT_TRUE(test::waitUntil([&] {
    for (auto& c : *counts) {
      if (c.load() < 5) return false;
    }
    return true;
  }));
}

TEST(TimerSource, RejectsANonPositiveIntervalOrAnEmptyHandler) {
  EXPECT_THROW(TimerSource(0ns, 0ns, [] {}), std::invalid_argument);
  EXPECT_THROW(TimerSource(-1ms, 0ns, [] {}), std::invalid_argument);
  EXPECT_THROW(TimerSource(1ms, 0ns, nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace velmora::platform
