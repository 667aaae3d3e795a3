#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <chrono>
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


// Lets tasks wait until a given number of them have arrived, with a bound so
// that a queue that fails to grow fails the test instead of hanging it.
class Rendezvous {
 public:
  explicit Rendezvous(int parties) : parties_(parties) {}
  bool arriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (++arrived_ == parties_) cv_.notify_all();
    return cv_.wait_for(lock, 10s, [&] { return arrived_ >= parties_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int arrived_ = 0;
  const int parties_;
};

TEST(BackgroundQueue, RunsBlockingTasksConcurrentlyByGrowing) {
  constexpr int kTasks = 20;
  BackgroundQueue queue;
  Rendezvous all(kTasks);
  std::atomic<int> met{0};
  std::atomic<int> finished{0};
  for (int i = 0; i < kTasks; ++i) {
    queue.async([&] {
      if (all.arriveAndWait()) ++met;
      ++finished;
    });
  }
  ASSERT_TRUE(test::waitUntil([&] { return finished.load() == kTasks; }, 20s));
  EXPECT_EQ(met.load(), kTasks);
  EXPECT_GE(queue.threadCount(), static_cast<size_t>(kTasks));
}

TEST(BackgroundQueue, IdleThreadsExitAndTheQueueGrowsAgain) {
  BackgroundQueue queue(20ms);
  std::atomic<int> ran{0};
  for (int i = 0; i < 3; ++i) queue.async([&] { ++ran; });
  ASSERT_TRUE(test::waitUntil([&] { return ran.load() == 3; }));
  EXPECT_GE(queue.threadCount(), 1u);
  ASSERT_TRUE(test::waitUntil([&] { return queue.threadCount() == 0; }));
  queue.async([&] { ++ran; });
  ASSERT_TRUE(test::waitUntil([&] { return ran.load() == 4; }));
}

TEST(BackgroundQueue, DestructionWaitsForRunningAndQueuedTasks) {
  auto queue = std::make_unique<BackgroundQueue>();
  std::atomic<bool> destroying{false};
  std::atomic<int> done{0};
  // A task still blocked when the destructor starts, released only then.
  queue->async([&] {
    while (!destroying.load()) std::this_thread::yield();
    ++done;
  });
  std::atomic<bool> resubmitted{false};
  for (int i = 0; i < 50; ++i) {
    queue->async([&, q = queue.get()] {
      // Tasks may submit more tasks while the queue is being destroyed.
      if (!resubmitted.exchange(true)) q->async([&] { ++done; });
      ++done;
    });
  }
  destroying = true;
  queue.reset();
  EXPECT_EQ(done.load(), 52);
}

TEST(BackgroundQueue, ATaskMayDestroyItsOwnQueue) {
  auto queue = std::make_unique<BackgroundQueue>();
  std::atomic<int> before{0};
  std::atomic<bool> destroyed{false};
  for (int i = 0; i < 5; ++i) queue->async([&] { ++before; });
  queue->async([&] {
    queue.reset();
    destroyed = true;
  });
  ASSERT_TRUE(test::waitUntil([&] { return destroyed.load(); }));
  EXPECT_EQ(before.load(), 5);
}

TEST(BackgroundQueue, SharedQueueIsOneObjectAndRunsTasksOffTheCallingThread) {
  EXPECT_EQ(&BackgroundQueue::shared(), &BackgroundQueue::shared());
  std::atomic<bool> offThread{false};
  std::atomic<bool> ran{false};
  auto caller = std::this_thread::get_id();
  BackgroundQueue::shared().async([&] {
    offThread = std::this_thread::get_id() != caller;
    ran = true;
  });
  ASSERT_TRUE(test::waitUntil([&] { return ran.load(); }));
  EXPECT_TRUE(offThread);
}

// The pattern the serial layer relies on: a background task waits on the
// main queue while the main thread runs its loop.
TEST(BackgroundQueue, TasksMayWaitOnTheMainQueue) {
  std::atomic<bool> done{false};
  int onMain = 0;
  BackgroundQueue::shared().async([&] {
    MainQueue::sync([&] { onMain = 1; });
    done = true;
  });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return done.load(); }, 5s));
  EXPECT_EQ(onMain, 1);
}

}  // namespace
}  // namespace velmora::platform
