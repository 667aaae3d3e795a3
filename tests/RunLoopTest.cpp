// Run loops: tasks, one-shot timers and descriptor sources, the descriptor a
// host's own event loop polls, stopping, nesting, and which thread is main.
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
  Pipe() { EXPECT_EQ(::pipe2(fds, O_NONBLOCK), 0); }
  ~Pipe() { ::close(fds[0]), ::close(fds[1]); }
  void put(char c) { ASSERT_EQ(::write(fds[1], &c, 1), 1); }
  char take() {  // 0 when there is nothing to read
    char c = 0;
    return ::read(fds[0], &c, 1) == 1 ? c : 0;
  }
};

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
  std::thread([&] { loop.cancelTimer(cancelled); }).join();  // from another thread
  loop.cancelTimer(987654321);  // unknown ids are ignored
  ASSERT_TRUE(loop.runUntil([&] { return !fired.empty() && fired.back() == 30; }, 5s));
  EXPECT_EQ(fired, (std::vector<int>{10, 20, 30}));
}

TEST(RunLoop, ATimerAddedLaterWithAnEarlierDeadlineWakesTheLoopInTime) {
  std::thread([] {  // a loop of its own, which only its timers make readable
    RunLoop& loop = RunLoop::current();
    loop.addTimer(1h, [] {});
    loop.addTimer(1h + 1ms, [] {});  // later than the first: changes nothing
    bool fired = false;
    loop.addTimer(1ms, [&] { fired = true; });
    ASSERT_TRUE(readable(loop.descriptor(), 5000));
    loop.drain();
    EXPECT_TRUE(fired);
  }).join();
}

TEST(RunLoop, FdSourcesAreCalledWhileReadableAndNotAfterRemoval) {
  RunLoop& loop = RunLoop::main();
  Pipe pipe;
  std::string got;
  int second = 0;
  RunLoop::SourceId id = loop.addFdSource(pipe.fds[0], [&] {
    got += pipe.take();
    if (got.size() == 2) loop.removeFdSource(id);  // removal from its own callback
  });
  RunLoop::SourceId other = loop.addFdSource(pipe.fds[0], [&] { ++second; });  // a second watcher, independent
  pipe.put('x');
  pipe.put('y');
  ASSERT_TRUE(loop.runUntil([&] { return got.size() == 2 && second > 0; }, 5s));
  loop.removeFdSource(other);
  // Readiness is served before the tasks of the same pass, so once the marker
  // task has run a live source would have been called.
  pipe.put('z');
  const int secondBefore = second;
  bool marker = false;
  loop.post([&] { marker = true; });
  ASSERT_TRUE(loop.runUntil([&] { return marker; }, 5s));
  EXPECT_EQ(got, "xy");
  EXPECT_EQ(second, secondBefore);
  EXPECT_EQ(pipe.take(), 'z');
  EXPECT_THROW(loop.addFdSource(-1, [] {}), std::system_error);
}

TEST(RunLoop, DescriptorIsReadableExactlyWhileWorkIsReady) {
  RunLoop& loop = RunLoop::main();
  const int fd = loop.descriptor();
  EXPECT_FALSE(readable(fd));
  int ran = 0;
  loop.post([&] { ++ran; });
  EXPECT_TRUE(readable(fd));
  loop.drain();
  EXPECT_EQ(ran, 1);
  EXPECT_FALSE(readable(fd));
  std::thread poster([&] { loop.post([&] { ++ran; }); });  // a host's loop sees another thread's task
  ASSERT_TRUE(readable(fd, 5000));
  poster.join();
  loop.drain();
  EXPECT_EQ(ran, 2);
  EXPECT_FALSE(readable(fd));
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
  EXPECT_FALSE(loop.runUntil([] { return false; }, 20ms));  // gives up at the deadline
}

TEST(RunLoop, ANestedRunDoesNotServeOneReadinessTwice) {
  RunLoop& loop = RunLoop::main();
  Pipe a, b;
  int bReads = 0, bEmpty = 0;
  RunLoop::SourceId idB = loop.addFdSource(b.fds[0], [&] { ++(b.take() ? bReads : bEmpty); });
  RunLoop::SourceId idA = loop.addFdSource(a.fds[0], [&] {
    a.take();
    EXPECT_TRUE(loop.runUntil([&] { return bReads == 1; }, 5s));
  });
  // Both ready for the same wait: when A is served first, the nested pass
  // serves B, and the outer pass must not call B again for that readiness.
  a.put('x');
  b.put('y');
  ASSERT_TRUE(loop.runUntil([&] { return bReads == 1; }, 5s));
  loop.drain();
  EXPECT_EQ(bEmpty, 0);
  loop.removeFdSource(idA);
  loop.removeFdSource(idB);
}

TEST(RunLoop, TheMainThreadIsWhoRunsTheMainLoopAndEndedThreadsLoopsIgnoreWork) {
  EXPECT_TRUE(RunLoop::isMainThread());
  EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
  std::atomic<bool> taskSawMain{false};
  RunLoop::main().post([&] { taskSawMain = MainQueue::isMainThread() && &RunLoop::current() == &RunLoop::main(); });
  std::thread([&] {
    EXPECT_FALSE(RunLoop::isMainThread());
    RunLoop::main().runUntil([&] { return taskSawMain.load(); }, 5s);
  }).join();
  EXPECT_TRUE(taskSawMain);
  EXPECT_FALSE(RunLoop::isMainThread());  // the runner stays the main thread after it returned
  RunLoop::main().drain();                // until this thread runs the main loop again
  EXPECT_TRUE(RunLoop::isMainThread());

  RunLoop* workerLoop = nullptr;
  RunLoop::TimerId pendingTimer = 0;
  std::thread([&] {
    workerLoop = &RunLoop::current();
    EXPECT_NE(workerLoop, &RunLoop::main());
    pendingTimer = workerLoop->addTimer(1h, [] {});
  }).join();
  // Another thread may still hold the loop of a thread that has ended.
  workerLoop->cancelTimer(pendingTimer);
  workerLoop->post([] { ADD_FAILURE() << "ran on a retired loop"; });
  workerLoop->addTimer(1ms, [] {});
  workerLoop->wakeUp();
  workerLoop->stop();
}

}  // namespace
}  // namespace velmora::platform
