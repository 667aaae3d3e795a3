#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/RunLoop.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

bool readable(int fd, int timeoutMs = 0) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

struct Pipe {
  int fds[2]{-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void put(char c) { ASSERT_EQ(::write(fds[1], &c, 1), 1); }
  char take() {
    char c = 0;
    EXPECT_EQ(::read(fds[0], &c, 1), 1);
    return c;
  }
};

TEST(RunLoop, TasksRunInPostOrderAndTasksPostedByTasksRunAfterThem) {
  RunLoop& loop = RunLoop::main();
  std::vector<std::string> seen;
  loop.post([&] {
    seen.push_back("a");
    loop.post([&] { seen.push_back("c"); });
  });
  loop.post([&] { seen.push_back("b"); });
  ASSERT_TRUE(loop.runUntil([&] { return seen.size() == 3; }, 5s));
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(RunLoop, TimersFireInDeadlineOrderAndCancelledTimersNever) {
  RunLoop& loop = RunLoop::main();
  std::vector<int> fired;
  loop.addTimer(30ms, [&] { fired.push_back(30); });
  RunLoop::TimerId cancelledLater = loop.addTimer(25ms, [&] { fired.push_back(25); });
  loop.addTimer(10ms, [&] {
    fired.push_back(10);
    loop.cancelTimer(cancelledLater);  // from inside a callback
  });
  RunLoop::TimerId cancelled = loop.addTimer(15ms, [&] { fired.push_back(15); });
  loop.addTimer(20ms, [&] { fired.push_back(20); });
  loop.cancelTimer(cancelled);
  loop.cancelTimer(987654321);  // unknown ids are ignored

  ASSERT_TRUE(loop.runUntil([&] { return !fired.empty() && fired.back() == 30; }, 5s));
  EXPECT_EQ(fired, (std::vector<int>{10, 20, 30}));
}

TEST(RunLoop, TimerCancelledFromAnotherThreadDoesNotFire) {
  RunLoop& loop = RunLoop::main();
  std::atomic<bool> fired{false};
  RunLoop::TimerId id = loop.addTimer(50ms, [&] { fired = true; });
  std::thread([&] { loop.cancelTimer(id); }).join();
  bool marker = false;
  loop.addTimer(80ms, [&] { marker = true; });
  ASSERT_TRUE(loop.runUntil([&] { return marker; }, 5s));
  EXPECT_FALSE(fired);
}

TEST(RunLoop, FdSourceIsCalledWhileReadableAndNotAfterRemoval) {
  RunLoop& loop = RunLoop::main();
  Pipe pipe;
  std::string got;
  RunLoop::SourceId id = 0;
  id = loop.addFdSource(pipe.fds[0], [&] {
    got += pipe.take();
    if (got.size() == 2) loop.removeFdSource(id);  // removal from its own callback
  });
  pipe.put('x');
  pipe.put('y');
  ASSERT_TRUE(loop.runUntil([&] { return got.size() == 2; }, 5s));
  EXPECT_EQ(got, "xy");

  // Readiness is served before the tasks of the same pass, so once the marker
  // task has run a live source would have been called.
  pipe.put('z');
  bool marker = false;
  loop.post([&] { marker = true; });
  ASSERT_TRUE(loop.runUntil([&] { return marker; }, 5s));
  EXPECT_EQ(got, "xy");
  EXPECT_EQ(pipe.take(), 'z');
}

TEST(RunLoop, SeveralSourcesOnOneDescriptorAreIndependent) {
  RunLoop& loop = RunLoop::main();
  Pipe pipe;
  int first = 0;
  int second = 0;
  RunLoop::SourceId a = loop.addFdSource(pipe.fds[0], [&] { ++first; });
  RunLoop::SourceId b = loop.addFdSource(pipe.fds[0], [&] { ++second; });
  pipe.put('x');
  ASSERT_TRUE(loop.runUntil([&] { return first > 0 && second > 0; }, 5s));
  loop.removeFdSource(a);
  int before = first;
  ASSERT_TRUE(loop.runUntil([&] { return second > 3; }, 5s));
  EXPECT_EQ(first, before);
  loop.removeFdSource(b);
  EXPECT_THROW(loop.addFdSource(-1, [] {}), std::system_error);
}

TEST(RunLoop, RunUntilChecksAfterEachCallbackAndLeavesTheRestQueued) {
  RunLoop& loop = RunLoop::main();
  int ran = 0;
  for (int i = 0; i < 3; ++i) loop.post([&] { ++ran; });
  EXPECT_TRUE(loop.runUntil([&] { return ran >= 1; }, 5s));
  EXPECT_EQ(ran, 1);
  loop.drain();
  EXPECT_EQ(ran, 3);
}

TEST(RunLoop, RunUntilGivesUpAtTheDeadlineAndSeesOtherThreadsChanges) {
  RunLoop& loop = RunLoop::main();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.runUntil([] { return false; }, 40ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
  EXPECT_TRUE(loop.runUntil([] { return true; }, 0ms));

  // Nothing wakes the loop here: the predicate must be polled.
  std::atomic<bool> flag{false};
  std::thread setter([&] { flag = true; });
  EXPECT_TRUE(loop.runUntil([&] { return flag.load(); }, 5s));
  setter.join();
}

TEST(RunLoop, DescriptorIsReadableExactlyWhileWorkIsReady) {
  RunLoop& loop = RunLoop::main();
  const int fd = loop.descriptor();
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(readable(fd));

  int ran = 0;
  loop.post([&] { ++ran; });
  loop.post([&] { ++ran; });
  EXPECT_TRUE(readable(fd));
  loop.drain();
  EXPECT_EQ(ran, 2);
  EXPECT_FALSE(readable(fd));

  bool timerFired = false;
  loop.addTimer(5ms, [&] { timerFired = true; });
  EXPECT_FALSE(readable(fd));
  ASSERT_TRUE(readable(fd, 5000));
  loop.drain();
  EXPECT_TRUE(timerFired);
  EXPECT_FALSE(readable(fd));

  // A host's loop that polls the descriptor and drains sees a task posted
  // from another thread.
  std::atomic<bool> fromThread{false};
  std::thread poster([&] { loop.post([&] { fromThread = true; }); });
  ASSERT_TRUE(readable(fd, 5000));
  loop.drain();
  poster.join();
  EXPECT_TRUE(fromThread);

  Pipe pipe;
  std::string got;
  RunLoop::SourceId id = loop.addFdSource(pipe.fds[0], [&] { got += pipe.take(); });
  pipe.put('q');
  EXPECT_TRUE(readable(fd, 5000));
  loop.drain();
  EXPECT_EQ(got, "q");
  EXPECT_FALSE(readable(fd));
  loop.removeFdSource(id);
}

TEST(RunLoop, RunReturnsAfterStopFromACallbackOrAnotherThread) {
  RunLoop& loop = RunLoop::main();
  int after = 0;
  loop.post([&] { loop.stop(); });
  loop.post([&] { ++after; });
  loop.run();
  EXPECT_EQ(after, 0);  // stop() ends run() after the callback under way
  loop.drain();
  EXPECT_EQ(after, 1);

  std::thread stopper([&] { loop.stop(); });
  loop.run();
  stopper.join();
}

TEST(RunLoop, CallbacksMayRunTheLoopNested) {
  RunLoop& loop = RunLoop::main();
  Pipe a;
  Pipe b;
  ASSERT_EQ(::fcntl(b.fds[0], F_SETFL, O_NONBLOCK), 0);
  int bReads = 0;
  int bSpurious = 0;  // calls without data to read
  RunLoop::SourceId idB = loop.addFdSource(b.fds[0], [&] {
    char c;
    if (::read(b.fds[0], &c, 1) == 1) {
      ++bReads;
    } else {
      ++bSpurious;
    }
  });
  bool nestedDone = false;
  RunLoop::SourceId idA = loop.addFdSource(a.fds[0], [&] {
    a.take();
    bool inner = false;
    loop.post([&] { inner = true; });
    EXPECT_TRUE(loop.runUntil([&] { return inner && bReads == 1; }, 5s));
    nestedDone = true;
  });
  // Both ready for the same wait: when A is served first, the nested pass
  // serves B, and the outer pass must not call B again for that readiness.
  a.put('x');
  b.put('y');
  ASSERT_TRUE(loop.runUntil([&] { return nestedDone; }, 5s));
  loop.drain();
  EXPECT_EQ(bReads, 1);
  EXPECT_EQ(bSpurious, 0);
  loop.removeFdSource(idA);
  loop.removeFdSource(idB);
}

TEST(RunLoop, MainThreadIsTheInitialThreadUntilAnotherRunsTheMainLoop) {
  EXPECT_TRUE(RunLoop::isMainThread());
  EXPECT_TRUE(MainQueue::isMainThread());
  EXPECT_EQ(&RunLoop::current(), &RunLoop::main());

  std::atomic<bool> otherIsMain{true};
  std::thread([&] { otherIsMain = RunLoop::isMainThread(); }).join();
  EXPECT_FALSE(otherIsMain);

  std::atomic<bool> inTask{false};
  std::atomic<bool> taskSawMain{false};
  std::atomic<bool> taskSawCurrentIsMain{false};
  RunLoop::main().post([&] {
    taskSawMain = MainQueue::isMainThread();
    taskSawCurrentIsMain = &RunLoop::current() == &RunLoop::main();
    inTask = true;
  });
  std::thread runner([&] { RunLoop::main().runUntil([&] { return inTask.load(); }, 5s); });
  runner.join();
  EXPECT_TRUE(inTask);
  EXPECT_TRUE(taskSawMain);
  EXPECT_TRUE(taskSawCurrentIsMain);
  // The runner is now the main thread, even after it returned.
  EXPECT_FALSE(RunLoop::isMainThread());
  EXPECT_NE(&RunLoop::current(), &RunLoop::main());
  RunLoop::main().drain();  // and running it makes this thread main again
  EXPECT_TRUE(RunLoop::isMainThread());
}

TEST(RunLoop, EachThreadHasItsOwnLoopAndAnEndedThreadsLoopIgnoresWork) {
  RunLoop* workerLoop = nullptr;
  RunLoop::TimerId pendingTimer = 0;
  std::atomic<bool> timerRanOnWorker{false};
  std::thread worker([&] {
    RunLoop& loop = RunLoop::current();
    EXPECT_NE(&loop, &RunLoop::main());
    EXPECT_EQ(&loop, &RunLoop::current());
    auto self = std::this_thread::get_id();
    bool done = false;
    loop.addTimer(1ms, [&] {
      timerRanOnWorker = std::this_thread::get_id() == self;
      done = true;
    });
    EXPECT_TRUE(loop.runUntil([&] { return done; }, 5s));
    pendingTimer = loop.addTimer(1h, [] {});
    workerLoop = &loop;
  });
  worker.join();
  EXPECT_TRUE(timerRanOnWorker);
  // Another thread may still hold the loop of a thread that has ended.
  workerLoop->cancelTimer(pendingTimer);
  workerLoop->post([] { FAIL() << "ran on a retired loop"; });
  workerLoop->addTimer(1ms, [] {});
  workerLoop->wakeUp();
  workerLoop->stop();
}

}  // namespace
}  // namespace velmora::platform
