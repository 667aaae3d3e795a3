// The main queue (sync and async submission to the main thread) and the
// background queue (a pool that grows for blocking tasks and shrinks when idle).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/BackgroundQueue.h"
#include "platform/MainQueue.h"
#include "platform/RunLoop.h"
#include "support/LogCapture.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

TEST(MainQueue, SyncRunsOnTheMainThreadWaitsAndRethrows) {
  bool nested = false;
  MainQueue::sync([&] { MainQueue::sync([&] { nested = true; }); });  // on the main thread: at once
  EXPECT_TRUE(nested);
  EXPECT_THROW(MainQueue::sync([] { throw std::runtime_error("inline"); }), std::runtime_error);
  std::atomic<bool> done{false}, ranOnMain{false}, caught{false};
  std::thread worker([&] {
    int value = 0;
    MainQueue::sync([&] {
      ranOnMain = MainQueue::isMainThread();
      value = 42;
    });
    EXPECT_EQ(value, 42);  // finished before sync returned
    try {
      MainQueue::sync([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error& e) {
      caught = std::string(e.what()) == "boom";
    }
    done = true;
  });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return done.load(); }, 5s));
  worker.join();
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(caught);
}

TEST(MainQueue, AsyncKeepsEachThreadsOrderAndRunsOnTheMainThread) {
  std::vector<int> seen[2];
  std::atomic<bool> allOnMain{true};
  auto producer = [&](std::vector<int>& out) {
    for (int i = 0; i < 200; ++i) {
      MainQueue::async([&out, &allOnMain, i] {
        allOnMain = allOnMain && MainQueue::isMainThread();
        out.push_back(i);
      });
    }
  };
  std::thread a(producer, std::ref(seen[0])), b(producer, std::ref(seen[1]));
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return seen[0].size() + seen[1].size() == 400; }, 5s));
  a.join();
  b.join();
  EXPECT_TRUE(allOnMain);
  for (auto& one : seen) EXPECT_TRUE(std::is_sorted(one.begin(), one.end()) && one.size() == 200);
}

TEST(BackgroundQueue, GrowsForBlockingTasksAndShrinksWhenIdle) {
  constexpr int kTasks = 20;
  BackgroundQueue queue(20ms);
  std::mutex mutex;
  std::condition_variable cv;
  int arrived = 0;
  std::atomic<int> met{0};
  for (int i = 0; i < kTasks; ++i) {
    // Each task blocks until all have arrived: only a queue that grows
    // lets them meet.
    queue.async([&] {
      std::unique_lock<std::mutex> lock(mutex);
      if (++arrived == kTasks) cv.notify_all();
      if (cv.wait_for(lock, 10s, [&] { return arrived == kTasks; })) ++met;
    });
  }
  ASSERT_TRUE(test::waitUntil([&] { return met.load() == kTasks; }, 20s));
  ASSERT_TRUE(test::waitUntil([&] { return queue.threadCount() == 0; }));
  std::atomic<bool> again{false};
  queue.async([&] { again = true; });
  EXPECT_TRUE(test::waitUntil([&] { return again.load(); }));
}

TEST(BackgroundQueue, DestructionWaitsForItsTasksEvenFromOneOfThem) {
  auto queue = std::make_unique<BackgroundQueue>();
  std::atomic<int> done{0};
  for (int i = 0; i < 20; ++i) {
    queue->async([&, q = queue.get(), i] {
      std::this_thread::sleep_for(1ms);
      if (i == 0) q->async([&] { ++done; });  // submitted during the destruction
      ++done;
    });
  }
  queue.reset();
  EXPECT_EQ(done.load(), 21);
  queue = std::make_unique<BackgroundQueue>();
  std::atomic<bool> destroyed{false};
  queue->async([&] { queue.reset(), destroyed = true; });
  EXPECT_TRUE(test::waitUntil([&] { return destroyed.load(); }));
}

}  // namespace
}  // namespace velmora::platform
