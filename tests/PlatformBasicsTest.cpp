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
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&] {
      while (!stop.load()) {
        std::lock_guard<SwappableMutex> g(m);
        ++shared;  // a data race here would be reported by ThreadSanitizer
      }
    });
  }
  for (int i = 0; i < 200; ++i) m.replace();
  stop = true;
  for (auto& w : workers) w.join();
  EXPECT_NE(m.current(), first);
  EXPECT_TRUE(m.try_lock());
  m.unlock();
  EXPECT_GT(shared, 0);
}

}  // namespace
}  // namespace velmora
