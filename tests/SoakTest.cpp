// The soak run in short: five minutes of headset time through a pty, found
// and opened by Connect, decoded, delivered and recorded.  Every sample the
// headset sent arrives once and in order, and the stream log holds a row for
// each.  (bench/soak runs the same for two hours and also holds resident
// memory flat.)
#include <gtest/gtest.h>

#include "support/SoakHarness.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

TEST(Soak, FiveMinutesOfMixedStreamArriveWholeAndAreRecordedWhole) {
  test::TempDir dir;
  test::SoakOptions options;
  options.headsetSeconds = 300;
  options.workDir = dir.path();
  options.wallLimit = std::chrono::seconds(100);
  const test::SoakResult r = test::runSoak(options);

  ASSERT_TRUE(r.connected);
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.expected.count, 300u * 512u);
  EXPECT_EQ(r.samplesSent, r.expected.count);
  EXPECT_EQ(r.delivered, r.expected) << "a lost, doubled or reordered sample";
  EXPECT_TRUE(r.recorded.header);
  EXPECT_EQ(r.recorded.raw, r.expected) << "a raw row missing, doubled or out of order";
  // Signal quality, attention and meditation once a second, the headset's
  // heart rate every five seconds.
  EXPECT_EQ(r.recorded.otherRows, 300u * 3u + 60u);
  EXPECT_EQ(r.recorded.malformed, 0u);
  EXPECT_EQ(r.lastProblem, "") << "no checksum error, no failed write";
}

}  // namespace
}  // namespace velmora
