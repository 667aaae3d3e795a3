#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Log.h"
#include "platform/SwappableMutex.h"
#include "support/LogCapture.h"

namespace velmora {
namespace {

TEST(Log, FormatsLikePrintfAndReachesTheInstalledSink) {
  test::LogCapture capture;
  logMessage("VLAccessory: Checksum error: expected %02x, got %02x", 0xfd, 0xfc);
  std::string longText(600, 'x');
  logMessage("long %s end", longText.c_str());
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "VLAccessory: Checksum error: expected fd, got fc");
  EXPECT_EQ(lines[1], "long " + longText + " end");
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
      while (!stop.load()) {
        std::lock_guard<SwappableMutex> g(m);
        ++shared;  // a data race here would be reported by ThreadSanitizer
        passes.fetch_add(1);
      }
    });
  }
  // Keep replacing while the workers take the mutex, until they have taken
  // it often enough to have met many replacements.
  int replacements = 0;
  ASSERT_TRUE(test::waitUntil([&] {
    m.replace();
    ++replacements;
    return passes.load() > 2000 && replacements > 200;
  }));
  stop = true;
  for (auto& w : workers) w.join();
  EXPECT_NE(m.current(), first);
  EXPECT_TRUE(m.try_lock());
  m.unlock();
  EXPECT_EQ(shared, passes.load());
}

}  // namespace
}  // namespace velmora
