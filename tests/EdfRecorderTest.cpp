// The BDF+/EDF+ recorder, read back with EDFlib: samples, 1 Hz values and
// annotations at their samples, the start time, a loss of the headset, a
// full disk, and an unplug and reconnect through the whole stack.  (A crash:
// EdfToolTest kills `velmora stream`.)
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "VelmoraEdfRecorder.h"
#include "VelmoraObjC.h"
#include "ZPRSerialPortManager.h"
#include "platform/DeviceFolder.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "sim/HeadsetSimulator.h"
#include "support/EdfFile.h"
#include "support/GermanLocale.h"
#include "support/LogCapture.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

using namespace std::chrono;
using Format = VelmoraEdfRecorder::Format;
using Link = VelmoraStreamListener::Link;
using test::EdfAnnotation;
using test::EdfFile;

// Sample k of a test stream: both extremes, then a spread over the range.
int32_t sampleAt(int k) { return k == 0 ? -32768 : k == 1 ? 32767 : (k * 7919) % 65536 - 32768; }

class EdfRecorderFormats : public ::testing::TestWithParam<Format> {};

TEST_P(EdfRecorderFormats, EverySampleValueAndEventLandsAtItsSampleAcrossALoss) {
  test::GermanLocale::use();  // header numbers must not take its decimal comma
  ::setenv("TZ", "XYZ-5:30", 1);  // local time is UTC + 5:30: a UTC start time shows
  ::tzset();
  const std::shared_ptr<void> restore(nullptr, [](void*) { test::GermanLocale::reset(), ::unsetenv("TZ"), ::tzset(); });
  test::TempDir dir;
  const std::string path = dir.path() + "/rec.bdf";
  auto now = sys_days{2024y / 3 / 5} + 7h + 34min + 5s + 250ms;
  VelmoraEdfRecorder::Settings settings;
  settings.format = GetParam();
  settings.identification.patientCode = "P-17";
  settings.clock = [&] { return now; };
  VelmoraEdfRecorder recorder;
  ASSERT_TRUE(recorder.open(path, settings)) << recorder.error();
  recorder.linkChanged(Link::Opened, "KovaX");
  std::vector<int> fed;
  for (int k = 0; k < 1900; ++k) {
    if (k == 100) recorder.valueDecoded("vScoreAttention", 40);
    if (k == 512) recorder.valueDecoded("poorSignal", 26);  // the first value of record 1
    if (k == 700) {
      recorder.valueDecoded("vScoreAttention", 60);
      recorder.valueDecoded("eegDelta", 16777215);
      recorder.valueDecoded("eegTheta", 0);
    }
    if (k == 900) {  // unplugged: reported as a removal and then a close
      recorder.linkChanged(Link::Removed, "KovaX");
      recorder.linkChanged(Link::Closed, "KovaX");
      now += 3200ms;
      recorder.linkChanged(Link::Opened, "KovaX");
    }
    if (k == 1200) recorder.valueDecoded("vScoreAttention", 70);
    recorder.rawSampleDecoded(sampleAt(k), k == 600 ? 50 : 0, k == 1100 ? 857 : 0);
    fed.push_back(sampleAt(k));
  }
  EXPECT_TRUE(recorder.close()) << recorder.error();
  EXPECT_EQ(recorder.samplesRecorded(), 1900u);

  const EdfFile file(path);
  ASSERT_TRUE(file.opened) << "EDFlib error " << file.hdr->filetype;
  EXPECT_EQ(file.hdr->filetype, GetParam() == Format::Bdf ? EDFLIB_FILETYPE_BDFPLUS : EDFLIB_FILETYPE_EDFPLUS);
  EXPECT_EQ(std::vector<int>({file.hdr->startdate_year, file.hdr->startdate_month, file.hdr->startdate_day,
                              file.hdr->starttime_hour, file.hdr->starttime_minute, file.hdr->starttime_second}),
            std::vector<int>({2024, 3, 5, 13, 4, 5}));
  EXPECT_EQ(file.hdr->starttime_subsecond, 2500000);
  EXPECT_STREQ(file.hdr->patientcode, "P-17");
  // 900 samples and padding to 1024; the reconnection starts a record; 1000
  // more samples and padding to 2048.
  EXPECT_EQ(file.hdr->datarecords_in_file, 4);
  std::vector<int> expected(fed.begin(), fed.begin() + 900);
  expected.resize(1024, 0);
  expected.insert(expected.end(), fed.begin() + 900, fed.end());
  expected.resize(2048, 0);
  EXPECT_EQ(file.raw, expected);
  const double none = -1, bandNone = GetParam() == Format::Bdf ? -1 : -256;
  const double bandMax = GetParam() == Format::Bdf ? 16777214 : 16776704;
  EXPECT_EQ(file.slow[0], std::vector<double>({none, 26, none, none})) << "quality";
  EXPECT_EQ(file.slow[1], std::vector<double>({40, 60, 70, 70})) << "attention: held, and not across the loss";
  EXPECT_EQ(file.slow[2], std::vector<double>(4, none)) << "meditation: never decoded";
  EXPECT_EQ(file.slow[3], std::vector<double>({bandNone, bandMax, bandNone, bandNone})) << "delta";
  EXPECT_EQ(file.slow[4], std::vector<double>({bandNone, 0, bandNone, bandNone})) << "theta";
  EXPECT_EQ(file.annotations, std::vector<EdfAnnotation>({{0, -1, "Headset connected: KovaX"},
                                                          {600, -1, "Blink strength 50"},
                                                          {900, -1, "Headset disconnected (port removed)"},
                                                          {900, 124, "BAD no data"},
                                                          {1024, -1, "Headset reconnected: KovaX (away 3.2 s)"},
                                                          {1224, -1, "RR 857 ms"},
                                                          {2024, 24, "BAD no data"}}));
  EXPECT_FALSE(VelmoraEdfRecorder().open(path)) << "an existing file is never replaced";
  EXPECT_TRUE(EdfFile(path).opened);
}

INSTANTIATE_TEST_SUITE_P(BdfAndEdf, EdfRecorderFormats, ::testing::Values(Format::Bdf, Format::Edf));

TEST(EdfRecorder, AFullDiskEndsTheRecordingAtItsLastWholeRecordAndSaysSo) {
  test::TempDir dir;
  const std::string disk = dir.path() + "/disk";
  std::filesystem::create_directory(disk);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
  test::LogCapture log;
  {
    VelmoraEdfRecorder recorder;
    ASSERT_TRUE(recorder.open(disk + "/full.bdf"));
    for (int k = 0; k < 100 * 512; ++k) recorder.rawSampleDecoded(sampleAt(k), 0, 0);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(recorder.close());
    EXPECT_NE(recorder.error().find("No space left on device"), std::string::npos) << recorder.error();
    const EdfFile file(disk + "/full.bdf");
    ASSERT_TRUE(file.opened) << "EDFlib error " << file.hdr->filetype;
    EXPECT_EQ(static_cast<uint64_t>(file.hdr->datarecords_in_file), recorder.recordsWritten());
    EXPECT_GT(file.raw.size(), 10u * 512);
    for (size_t k = 0; k < file.raw.size(); ++k) ASSERT_EQ(file.raw[k], sampleAt(static_cast<int>(k))) << k;
  }
  ::umount2(disk.c_str(), MNT_DETACH);
  EXPECT_EQ(log.count("VelmoraEdfRecorder: cannot write to " + disk + "/full.bdf: No space left on device"), 1u);
}

// Passes everything on to the recorder and keeps what the accessory object
// delivered (on the main thread).
class Tee : public VelmoraStreamListener {
 public:
  explicit Tee(VelmoraEdfRecorder& recorder) : recorder_(recorder) {}
  void rawSampleDecoded(int32_t sample, int32_t blink, int32_t rr) override {
    raw.push_back(sample);
    recorder_.rawSampleDecoded(sample, blink, rr);
  }
  void valueDecoded(const std::string& key, int32_t value) override { recorder_.valueDecoded(key, value); }
  void linkChanged(Link change, const std::string& name) override {
    closes += change == Link::Closed;
    recorder_.linkChanged(change, name);
  }
  std::vector<int> raw;
  int closes = 0;

 private:
  VelmoraEdfRecorder& recorder_;
};

TEST(EdfRecorder, UnplugAndReconnectMidRecordingKeepEveryDeliveredSample) {
  test::TempDir dir;
  const std::string devices = dir.path() + "/devices";
  ::mkdir(devices.c_str(), 0700);
  platform::DeviceFolder::setPath(devices);
  test::LogCapture log;
  sim::SimulatorOptions options;
  options.name = "KovaEdf";
  options.speed = 4;
  sim::HeadsetSimulator simulator(options);
  simulator.start();
  VelmoraEdfRecorder recorder;
  ASSERT_TRUE(recorder.open(dir.path() + "/unplug.bdf"));
  auto tee = std::make_shared<Tee>(recorder);
  VelmoraObjC accessory;
  accessory.setStreamListener(tee);
  auto& loop = platform::RunLoop::main();
  bool arrived = true;
  const auto token = platform::NotificationCenter::shared().addObserver(
      ZPRSerialPortsWereConnectedNotification, [&](const platform::Notification&) { arrived = true; });
  for (int connection = 0; connection < 2; ++connection) {
    ASSERT_TRUE(loop.runUntil([&] { return arrived; }, 10s));
    ASSERT_TRUE(loop.runUntil([&] { return accessory.ConnectTo("/dev/tty.KovaEdf"), accessory.connected(); }, 10s));
    const size_t before = tee->raw.size();
    ASSERT_TRUE(loop.runUntil([&] { return tee->raw.size() >= before + 1000; }, 20s));
    if (connection == 1) break;
    arrived = false;
    simulator.unplug();
    ASSERT_TRUE(loop.runUntil([&] { return tee->closes > 0; }, 10s));
    accessory.Disconnect();  // as hosts do on a loss, before they connect again
    simulator.replug();
  }
  platform::NotificationCenter::shared().removeObserver(token);
  accessory.setStreamListener({});
  accessory.Disconnect();
  ASSERT_TRUE(recorder.close()) << recorder.error();

  const EdfFile file(dir.path() + "/unplug.bdf");
  ASSERT_TRUE(file.opened);
  EXPECT_EQ(file.rawWithoutPadding(), tee->raw);
  std::vector<std::string> links;
  for (const auto& a : file.annotations) {
    if (a.text.starts_with("Headset")) links.push_back(a.text.substr(0, a.text.find_first_of("(:")));
    EXPECT_TRUE(!a.text.starts_with("Headset reconnected") || a.sample % 512 == 0) << "a new record";
  }
  EXPECT_EQ(links, std::vector<std::string>({"Headset connected", "Headset disconnected ", "Headset reconnected"}));
  simulator.stop();
  platform::RunLoop::main().drain();
}

}  // namespace
}  // namespace velmora
