// The log sink and the swappable data lock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Log.h"
#include "platform/SwappableMutex.h"
#include "support/LogCapture.h"

namespace velmora {
namespace {

// (printf formats reaching the sink: FramerTest's checksum line.)
TEST(Log, FormatsLikePrintfAtAnyLengthAndReachesTheInstalledSink) {
  test::LogCapture capture;
  const std::string longText(600, 'x');
  logMessage("long %s end", longText.c_str());
  EXPECT_EQ(capture.lines(), std::vector<std::string>{"long " + longText + " end"});
}

TEST(SwappableMutex, ReplacementWaitsForTheHolderAndKeepsExclusion) {
  SwappableMutex m;
  const std::mutex* first = m.current();
  int shared = 0;
  std::atomic<int> passes{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&] {
      while (!stop) {
        std::lock_guard<SwappableMutex> g(m);
        ++shared;  // a data race here would be reported by ThreadSanitizer
        ++passes;
      }
    });
  }
  // Keep replacing while the workers take the mutex, until they have taken
  // it often enough to have met many replacements.
  int replacements = 0;
  ASSERT_TRUE(test::waitUntil(
      [&] {
        m.replace();
        return passes > 2000 && ++replacements > 200;
      },
      std::chrono::seconds(60)));
  stop = true;
  for (auto& w : workers) w.join();
  EXPECT_NE(m.current(), first);
  EXPECT_TRUE(m.try_lock());
  m.unlock();
  EXPECT_EQ(shared, passes.load());
}

}  // namespace
}  // namespace velmora
