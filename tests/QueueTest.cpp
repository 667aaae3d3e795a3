#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/RunLoop.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

TEST(MainQueue, SyncOnTheMainThreadRunsAtOnce) {
  bool ran = false;
  MainQueue::sync([&] {
    ran = true;
    // Nested sync from a main-queue task must not deadlock either.
    MainQueue::sync([] {});
  });
  EXPECT_TRUE(ran);
}

TEST(MainQueue, SyncFromAWorkerWaitsForTheTaskOnTheMainThread) {
  std::atomic<bool> workerDone{false};
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> finishedBeforeReturn{false};
  std::thread worker([&] {
    int value = 0;
    MainQueue::sync([&] {
      ranOnMain = MainQueue::isMainThread();
      value = 42;
    });
    finishedBeforeReturn = value == 42;
    workerDone = true;
  });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return workerDone.load(); }, 5s));
  worker.join();
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(finishedBeforeReturn);
}

TEST(MainQueue, SyncRethrowsTheTasksException) {
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
}

TEST(MainQueue, AsyncKeepsEachThreadsOrderAndRunsOnTheMainThread) {
  constexpr int kPerThread = 200;
  std::vector<int> seenA;
  std::vector<int> seenB;
  std::atomic<bool> allOnMain{true};
  auto producer = [&](std::vector<int>& out) {
    for (int i = 0; i < kPerThread; ++i) {
      MainQueue::async([&out, &allOnMain, i] {
        if (!MainQueue::isMainThread()) allOnMain = false;
        out.push_back(i);
      });
    }
  };
  std::thread a(producer, std::ref(seenA));
  std::thread b(producer, std::ref(seenB));
  ASSERT_TRUE(RunLoop::main().runUntil(
      [&] { return seenA.size() == kPerThread && seenB.size() == kPerThread; }, 5s));
  a.join();
  b.join();
  EXPECT_TRUE(allOnMain);
  for (int i = 0; i < kPerThread; ++i) {
    ASSERT_EQ(seenA[static_cast<size_t>(i)], i);
    ASSERT_EQ(seenB[static_cast<size_t>(i)], i);
  }
}

}  // namespace
}  // namespace velmora::platform
