// Run loops: one-shot timers, descriptor sources, the host's descriptor, which thread is main.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/MainQueue.h"
#include "platform/RunLoop.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

bool readable(int fd, int timeoutMs = 0) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 1;
}

TEST(RunLoop, TimersFireInDeadlineOrderAndCancelledTimersNever) {
  RunLoop& loop = RunLoop::main();
  std::vector<int> fired;
  loop.addTimer(30ms, [&] { fired.push_back(30); });
  RunLoop::TimerId cancelledLater = loop.addTimer(25ms, [&] { fired.push_back(25); });
  loop.addTimer(10ms, [&] { fired.push_back(10), loop.cancelTimer(cancelledLater); });  // from a callback
  RunLoop::TimerId cancelled = loop.addTimer(15ms, [&] { fired.push_back(15); });
  loop.addTimer(20ms, [&] { fired.push_back(20); });
  std::thread([&] { loop.cancelTimer(cancelled); }).join();  // from another thread
  ASSERT_TRUE(loop.runUntil([&] { return !fired.empty() && fired.back() == 30; }, 5s));
  EXPECT_EQ(fired, (std::vector<int>{10, 20, 30}));

  std::thread([] {  // a loop of its own, which only its timers make readable
    RunLoop& own = RunLoop::current();
    own.addTimer(1h, [] {});
    bool early = false;
    own.addTimer(1ms, [&] { early = true; });  // added later, due first
    ASSERT_TRUE(readable(own.descriptor(), 5000));
    own.drain();
    EXPECT_TRUE(early);
  }).join();
}

TEST(RunLoop, SourcesTasksAndTheHostsDescriptor) {
  RunLoop& loop = RunLoop::main();
  const int fd = loop.descriptor();
  EXPECT_FALSE(readable(fd));
  std::thread([&] { loop.post([] {}); }).join();  // a host's loop sees another thread's task
  EXPECT_TRUE(readable(fd));
  loop.drain();
  EXPECT_FALSE(readable(fd));

  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_NONBLOCK), 0);
  std::string got;
  RunLoop::SourceId id = loop.addFdSource(pipe[0], [&] {
    char c;
    if (::read(pipe[0], &c, 1) == 1) got += c;
    if (got.size() == 2) loop.removeFdSource(id);  // removal from its own callback
  });
  ASSERT_EQ(::write(pipe[1], "xyz", 2), 2);
  EXPECT_TRUE(readable(fd, 5000));
  ASSERT_TRUE(loop.runUntil([&] { return got.size() == 2; }, 5s));
  ASSERT_EQ(::write(pipe[1], "z", 1), 1);  // sources are served before the tasks of a pass:
  bool marker = false;                      // once the task ran, a live source would have been called
  loop.post([&] { marker = true; });
  ASSERT_TRUE(loop.runUntil([&] { return marker; }, 5s));
  EXPECT_EQ(got, "xy");
  ::close(pipe[0]), ::close(pipe[1]);
}

// A callback that runs the loop nested serves what was ready; the outer pass
// must not call a source again for readiness the nested pass used up.
TEST(RunLoop, ACallbackMayRunTheLoopNested) {
  RunLoop& loop = RunLoop::main();
  int a[2], b[2];
  ASSERT_EQ(::pipe2(a, O_NONBLOCK), 0);
  ASSERT_EQ(::pipe2(b, O_NONBLOCK), 0);
  int bCalls = 0;
  bool nested = false, passDone = false;
  char c;
  RunLoop::SourceId idB = loop.addFdSource(b[0], [&] { ++bCalls, (void)!::read(b[0], &c, 1); });
  RunLoop::SourceId idA = loop.addFdSource(a[0], [&] {
    (void)!::read(a[0], &c, 1);
    nested = loop.runUntil([&] { return bCalls == 1; }, 5s);
    loop.post([&] { passDone = true; });  // so the outer pass goes on to B's (used) readiness
  });
  ASSERT_EQ(::write(a[1], "x", 1), 1);  // ready first, so served first
  ASSERT_EQ(::write(b[1], "y", 1), 1);
  ASSERT_TRUE(loop.runUntil([&] { return passDone; }, 5s));
  EXPECT_TRUE(nested);
  EXPECT_EQ(bCalls, 1);
  loop.removeFdSource(idA), loop.removeFdSource(idB);
  for (int fd : {a[0], a[1], b[0], b[1]}) ::close(fd);
}

TEST(RunLoop, TheMainThreadIsWhoRunsTheMainLoopAndEndedThreadsLoopsIgnoreWork) {
  std::atomic<bool> taskSawMain{false};
  RunLoop::main().post([&] { taskSawMain = MainQueue::isMainThread() && &RunLoop::current() == &RunLoop::main(); });
  std::thread([&] { RunLoop::main().runUntil([&] { return taskSawMain.load(); }, 5s); }).join();
  EXPECT_TRUE(taskSawMain && !RunLoop::isMainThread());  // the runner stays the main thread after it returned
  RunLoop::main().drain();                                // until this thread runs the main loop again
  EXPECT_TRUE(RunLoop::isMainThread());
  RunLoop* ended = nullptr;
  RunLoop::TimerId timer = 0;
  std::thread([&] { ended = &RunLoop::current(), timer = ended->addTimer(1h, [] {}); }).join();
  ended->cancelTimer(timer);  // another thread may still hold the loop of a thread that has ended
  ended->post([] { ADD_FAILURE() << "ran on a retired loop"; });
  ended->addTimer(1ms, [] {});
  ended->stop();
}

}  // namespace
}  // namespace velmora::platform
