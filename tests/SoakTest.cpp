// The soak run in short: five minutes of headset time through a pty as fast
// as the link carries it, found and opened by Connect, decoded, delivered
// and recorded.  Every sample the headset sent arrives once and in order,
// and the stream log holds a row for each.  (bench/soak runs the same for
// hours and also holds resident memory flat.)
#include <gtest/gtest.h>

#include "support/LogCapture.h"
#include "support/SoakHarness.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

TEST(Soak, FiveMinutesOfMixedStreamArriveWholeAndAreRecordedWhole) {
  test::TempDir dir;
  test::LogCapture log;
  platform::DeviceFolder::setPath(dir.path() + "/devices");
  sim::SimulatorOptions options;
  options.name = "KovaSoak-SPPDev";
  options.signal.mode = sim::SignalMode::Mixed;
  options.signal.seed = 7;
  options.durationSeconds = 300;
  options.speed = 2000;  // the simulator waits for the reader, so this is a ceiling
  sim::HeadsetSimulator simulator(options);
  simulator.start();
  auto delegate = std::make_shared<test::HashingDelegate>();
  {
    VelmoraObjC accessory;
    accessory.setDelegate(delegate);
    accessory.startRecording(dir.path(), 3);
    accessory.Connect();
    ASSERT_TRUE(accessory.connected());
    EXPECT_TRUE(platform::RunLoop::main().runUntil(
        [&] { return simulator.isFinished() && delegate->delivered.load() >= simulator.samplesSent(); },
        std::chrono::seconds(100)));
    accessory.stopRecording();
    accessory.Disconnect();
    platform::RunLoop::main().runUntil([&] { return delegate->disconnects.load() >= 2; }, std::chrono::seconds(5));
  }
  const test::SampleHash sent = test::sentSamples(options);
  EXPECT_EQ(sent.count, 300u * 512u);
  EXPECT_EQ(simulator.samplesSent(), sent.count);
  EXPECT_EQ(simulator.error(), "");
  EXPECT_EQ(delegate->hash(), sent) << "a lost, doubled or reordered sample";
  const test::RecordedRows recorded = test::readStreamLog(dir.path() + "/ambrix.log.csv");
  EXPECT_TRUE(recorded.header);
  EXPECT_EQ(recorded.raw, sent) << "a raw row missing, doubled or out of order";
  // Quality, attention and meditation once a second, heart rate every five.
  EXPECT_EQ(recorded.otherRows, 300u * 3u + 60u);
  EXPECT_EQ(recorded.malformed, 0u);
  for (const std::string& line : log.lines()) {
    EXPECT_TRUE(line.find("Checksum") == std::string::npos && line.find("cannot") == std::string::npos) << line;
  }
}

}  // namespace
}  // namespace velmora
