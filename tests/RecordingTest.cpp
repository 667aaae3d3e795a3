// The stream log: file, header, row formats per flag, save and discard,
// restarts and failures.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "VelmoraObjC.h"
#include "sim/PacketEncoder.h"
#include "support/LogCapture.h"
#include "support/ValuePrinter.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using sim::PacketEncoder;
using Bytes = std::vector<uint8_t>;

const std::string kHeader = "Timestamp, Data Type, Value\n";

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "velmora-rec-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string log() const { return path_ + "/ambrix.log.csv"; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> rows(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream in(readFile(path));
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

class RecordingTest : public ::testing::Test {
 protected:
  RecordingTest() { accessory.resetParser(); }

  void feed(const Bytes& payload) {
    const Bytes packet = PacketEncoder::packet(payload);
    accessory.parseByte(std::span<const uint8_t>(packet));
  }

  // One packet with a row of every recorded kind and some that are never
  // recorded (band powers, the sensor chip).
  void feedEveryKind() {
    Bytes payload;
    for (const Bytes& row : {PacketEncoder::poorSignalRow(200), PacketEncoder::heartRateRow(70),
                             PacketEncoder::attentionRow(40), PacketEncoder::meditationRow(30),
                             PacketEncoder::rawRow(-5), PacketEncoder::bandPowerRow({1, 2, 3, 4, 5, 6, 7, 8}),
                             PacketEncoder::sensorChipRow(0xF0)}) {
      payload.insert(payload.end(), row.begin(), row.end());
    }
    feed(payload);
  }

  test::LogCapture log;
  VelmoraObjC accessory;
  TempDir dir;
};

TEST_F(RecordingTest, StartWritesTheHeaderAndLogsTheSelectedKinds) {
  log.clear();
  accessory.startRecording(dir.path() + "/", 3);
  EXPECT_TRUE(accessory.isRecording());
  EXPECT_EQ(accessory.logFilePath(), dir.log());
  EXPECT_EQ(readFile(dir.log()), kHeader);
  EXPECT_EQ(accessory.logRow(), kHeader);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Record analyzed data", "Record raw data"}));
}

TEST_F(RecordingTest, RowsFollowTheFlagInTheirExactFormats) {
  const std::regex pq(R"((\d+\.\d{6}) , \[PQ\] , 200)");
  const std::regex hr(R"((\d+\.\d{6}), \[HR\], 70)");
  const std::regex att(R"((\d+\.\d{6}), \[ATT\], 40)");
  const std::regex med(R"((\d+\.\d{6}), \[MED\], 30)");
  const std::regex raw(R"((\d+\.\d{6}), \[RAW\], -5)");
  struct Case {
    uint8_t flag;
    std::vector<const std::regex*> expected;
  };
  const std::vector<Case> cases = {
      {0, {}}, {1, {&raw}}, {2, {&pq, &hr, &att, &med}}, {3, {&pq, &hr, &att, &med, &raw}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.flag));
    log.clear();
    accessory.startRecording(dir.path(), c.flag);
    EXPECT_EQ(accessory.recordFlag(), c.flag);
    EXPECT_EQ(log.contains("Record analyzed data"), (c.flag & 2) != 0);
    EXPECT_EQ(log.contains("Record raw data"), (c.flag & 1) != 0);
    // Seconds since 1970 (not a monotonic clock, not milliseconds); the
    // wall clock may be stepped meanwhile, hence the generous margin.
    const double before = static_cast<double>(std::time(nullptr)) - 3600;
    feedEveryKind();
    const double after = static_cast<double>(std::time(nullptr)) + 3600;
    const std::string content = readFile(dir.log());
    ASSERT_EQ(content.back(), '\n');
    EXPECT_EQ(content.find('\r'), std::string::npos);
    const auto lines = rows(dir.log());
    ASSERT_EQ(lines.size(), c.expected.size());
    for (size_t k = 0; k < lines.size(); ++k) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(lines[k], m, *c.expected[k])) << lines[k];
      const double stamp = std::stod(m[1].str());
      EXPECT_GE(stamp, before);
      EXPECT_LE(stamp, after);
    }
    EXPECT_EQ(accessory.logRow(), lines.empty() ? kHeader : lines.back() + "\n");
  }
  accessory.stopRecording();
  EXPECT_EQ(accessory.recordFlag(), 3);  // the last flag stays after the stop
}

TEST_F(RecordingTest, StopWithoutDestinationLeavesTheFileAndWritesNoMoreRows) {
  accessory.startRecording(dir.path(), 3);
  feedEveryKind();
  for (const auto& destination : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    log.clear();
    accessory.stopRecording(destination);
    EXPECT_FALSE(accessory.isRecording());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Throwing away log file."});
  }
  const std::string kept = readFile(dir.log());
  EXPECT_EQ(rows(dir.log()).size(), 5u);
  feedEveryKind();
  EXPECT_EQ(readFile(dir.log()), kept);
}

TEST_F(RecordingTest, StopWithDestinationReplacesItWithACopyOfEveryRow) {
  TempDir out;
  const std::string dest = out.path() + "/saved.csv";
  std::ofstream(dest) << "an older file that is much longer than the log will be\n";
  accessory.startRecording(dir.path(), 1);
  for (int16_t s = -3; s <= 3; ++s) feed(PacketEncoder::rawRow(s));
  log.clear();
  accessory.stopRecording(dest);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Saving at " + dest});
  EXPECT_EQ(readFile(dest), readFile(dir.log()));
  EXPECT_EQ(rows(dest).size(), 7u);
  // Saving onto the log file itself keeps it.
  accessory.stopRecording(dir.log());
  EXPECT_EQ(rows(dir.log()).size(), 7u);
}

TEST_F(RecordingTest, StartingAgainBeginsAFreshFile) {
  accessory.startRecording(dir.path(), 3);
  feedEveryKind();
  accessory.stopRecording();
  accessory.startRecording(dir.path(), 3);
  EXPECT_EQ(readFile(dir.log()), kHeader);
  // The same while still recording: nothing of the old recording follows
  // the new header.
  feedEveryKind();
  accessory.startRecording(dir.path(), 1);
  EXPECT_EQ(readFile(dir.log()), kHeader);
  feed(PacketEncoder::rawRow(9));
  ASSERT_EQ(rows(dir.log()).size(), 1u);
  EXPECT_NE(rows(dir.log())[0].find("[RAW], 9"), std::string::npos);
  // Switching to another directory while recording.
  TempDir second;
  accessory.startRecording(second.path(), 1);
  feed(PacketEncoder::rawRow(2));
  EXPECT_EQ(rows(dir.log()).size(), 1u);
  ASSERT_EQ(rows(second.log()).size(), 1u);
  EXPECT_NE(rows(second.log())[0].find("[RAW], 2"), std::string::npos);
  EXPECT_EQ(accessory.logFilePath(), second.log());
}

TEST_F(RecordingTest, StartInAMissingDirectoryIsReportedAndRecordsNothing) {
  accessory.startRecording(dir.path(), 3);
  feedEveryKind();
  log.clear();
  const std::string missing = dir.path() + "/missing";
  accessory.startRecording(missing, 3);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"VLAccessory: cannot record to " + missing +
                                                  "/ambrix.log.csv: No such file or directory"});
  EXPECT_FALSE(accessory.isRecording());
  feedEveryKind();  // decoding goes on; nothing is recorded
  EXPECT_EQ(rows(dir.log()).size(), 5u);
  // The previous recording can still be saved.
  EXPECT_EQ(accessory.logFilePath(), dir.log());
  TempDir out;
  accessory.stopRecording(out.path() + "/saved.csv");
  EXPECT_EQ(rows(out.path() + "/saved.csv").size(), 5u);

  log.clear();
  accessory.startRecording("/proc/version", 3);  // not a directory
  EXPECT_FALSE(accessory.isRecording());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("VLAccessory: cannot record to /proc/version/ambrix.log.csv: ", 0), 0u);
}

// A row write that fails (here: over the file-size limit, as on a full disk)
// is reported once per recording and does not stop decoding.
TEST_F(RecordingTest, FailingRowWritesAreLoggedOncePerRecording) {
  accessory.startRecording(dir.path(), 1);
  const std::string failure = "VLAccessory: cannot write to " + dir.log() + ": File too large";
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = kHeader.size() + 70;  // room for about two rows
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  log.clear();
  for (int16_t s = 0; s < 20; ++s) feed(PacketEncoder::rawRow(s));
  accessory.startRecording(dir.path(), 1);  // a new recording may report again
  for (int16_t s = 0; s < 20; ++s) feed(PacketEncoder::rawRow(s));
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(log.count(failure), 2u);
  EXPECT_TRUE(accessory.isRecording());
  EXPECT_EQ(accessory.takeData().at("raw").asArray().size(), 40u);
}

}  // namespace
}  // namespace velmora
