// The stream log: formats per flag and locale, restarts, failed starts, saving
// (a whole copy or nothing), and rows lost to a full disk or a removed folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <charconv>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <tuple>

#include "support/AccessoryEvents.h"
#include "support/GermanLocale.h"
#include "support/LogCapture.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using sim::PacketEncoder;
using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;
using test::FileSizeLimit;
using test::readFile;

const std::string kHeader = "Timestamp, Data Type, Value\n";

Names rows(const std::string& path) {
  Names out;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The status's failure fields: code, sentence, reason.
std::tuple<int, std::string, std::string> failure(const VelmoraObjC& accessory) {
  const VelmoraRecordingStatus s = accessory.recordingStatus();
  return {s.errorCode, s.error, s.reason};
}

class RecordingTest : public ::testing::Test {
 protected:
  RecordingTest() { accessory.resetParser(); }

  void feed(const Bytes& payload) { test::feed(accessory, payload); }
  // A row of every recorded kind and of some never recorded, in one packet.
  void feedEveryKind() {
    feed(test::concat({PacketEncoder::poorSignalRow(200), PacketEncoder::heartRateRow(70),
                       PacketEncoder::attentionRow(40), PacketEncoder::meditationRow(30), PacketEncoder::rawRow(-5),
                       PacketEncoder::bandPowerRow({1, 2, 3, 4, 5, 6, 7, 8}), PacketEncoder::sensorChipRow(0xF0)}));
  }
  std::string logFile() const { return dir.path() + "/ambrix.log.csv"; }

  test::LogCapture log;
  VelmoraObjC accessory;
  test::TempDir dir;
};

// Each start begins a fresh file with the header, also while recording; the
// flag selects the rows; the time has six decimals and keeps its point under
// a host's setlocale(LC_ALL, "") on a German desktop.
TEST_F(RecordingTest, RowsFollowTheFlagInTheirExactFormatsWhateverTheLocale) {
  const Names tails = {" , [PQ] , 200", ", [HR], 70", ", [ATT], 40", ", [MED], 30", ", [RAW], -5"};
  const std::regex stamp(R"(\d{10}\.\d{6})");
  const std::shared_ptr<void> localeBack(nullptr, [](void*) { test::GermanLocale::reset(); });
  for (int flag = 0; flag < 8; ++flag) {
    if (flag == 4) test::GermanLocale::use();  // and bits 2 and above are ignored
    SCOPED_TRACE(flag);
    log.clear();
    ASSERT_TRUE(accessory.startRecording(dir.path() + "/", static_cast<uint8_t>(flag)));
    EXPECT_TRUE(accessory.isRecording() && accessory.logFilePath() == logFile() && accessory.logRow() == kHeader);
    EXPECT_EQ(accessory.recordFlag(), flag);
    Names logged, expected;
    if (flag & 2) {
      logged.push_back("Record analyzed data");
      expected.assign(tails.begin(), tails.begin() + 4);
    }
    if (flag & 1) {
      logged.push_back("Record raw data");
      expected.push_back(tails[4]);
    }
    EXPECT_EQ(log.lines(), logged);
    const double before = static_cast<double>(std::time(nullptr)) - 3600;  // the wall clock may be stepped
    feedEveryKind();
    EXPECT_EQ(readFile(logFile()).substr(0, kHeader.size()), kHeader);
    const Names lines = rows(logFile());
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t k = 0; k < lines.size(); ++k) {
      const size_t end = lines[k].find_first_of(" ,");
      EXPECT_TRUE(std::regex_match(lines[k].substr(0, end), stamp)) << lines[k];
      EXPECT_EQ(lines[k].substr(end), expected[k]);
      double seconds = 0;
      std::from_chars(lines[k].data(), lines[k].data() + end, seconds);
      EXPECT_TRUE(seconds >= before && seconds <= before + 7200) << lines[k];
    }
    EXPECT_EQ(accessory.logRow(), lines.empty() ? kHeader : lines.back() + "\n");
    const VelmoraRecordingStatus status = accessory.recordingStatus();
    EXPECT_TRUE(status.recording && status.path == logFile() && status.errorCode == 0);
    EXPECT_EQ(status.rowsWritten, lines.size());
    EXPECT_EQ(status.rowsLost, 0u);
  }
}

// The destination gets a whole copy or stays as it was: a FIFO, a folder, a
// link, a copy failing half way.  No temporary file is left behind.
TEST_F(RecordingTest, SavingWritesAWholeCopyOrLeavesTheDestinationAlone) {
  test::TempDir out;
  const std::string dest = out.path() + "/saved.csv";
  const std::string older = "an older file that is much longer than the log will be\n";
  ASSERT_TRUE(accessory.startRecording(dir.path(), 1));
  for (int16_t s = -3; s <= 3; ++s) feed(PacketEncoder::rawRow(s));
  std::ofstream(dest) << older;
  log.clear();
  EXPECT_TRUE(accessory.stopRecording(dest));
  EXPECT_EQ(log.lines(), Names{"Saving at " + dest});
  EXPECT_EQ(readFile(dest), readFile(logFile()));
  EXPECT_EQ(rows(dest).size(), 7u);
  EXPECT_TRUE(accessory.stopRecording(logFile())) << "the log file is its own copy";
  EXPECT_EQ(rows(logFile()).size(), 7u);
  for (const auto& none : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    log.clear();
    EXPECT_TRUE(accessory.stopRecording(none));
    EXPECT_EQ(log.lines(), Names{"Throwing away log file."});
  }
  feed(PacketEncoder::rawRow(4));  // no longer recording
  EXPECT_EQ(rows(logFile()).size(), 7u);

  ASSERT_EQ(::mkfifo((out.path() + "/fifo").c_str(), 0600), 0);
  fs::create_directory(out.path() + "/folder");
  fs::create_symlink(dest, out.path() + "/link");
  for (const auto& [name, code] : std::initializer_list<std::pair<const char*, int>>{{"fifo", EEXIST}, {"folder", EISDIR}, {"link", EEXIST}}) {
    const std::string path = out.path() + "/" + name;
    const fs::file_type type = fs::symlink_status(path).type();
    EXPECT_FALSE(accessory.stopRecording(path)) << name;
    EXPECT_EQ(fs::symlink_status(path).type(), type) << name;
    const std::string why = "cannot save the log file to " + path + ": it is not a regular file";
    EXPECT_TRUE(log.contains("VLAccessory: " + why));
    EXPECT_EQ(failure(accessory), std::tuple(code, why, "it is not a regular file"));
  }
  std::ofstream(dest) << older;
  {
    FileSizeLimit limit(kHeader.size() + 40);
    EXPECT_FALSE(accessory.stopRecording(dest));
  }
  EXPECT_TRUE(log.contains("VLAccessory: cannot save the log file to " + dest + ": File too large"));
  EXPECT_EQ(failure(accessory), std::tuple(EFBIG, "cannot save the log file to " + dest + ": File too large", "File too large"));
  EXPECT_EQ(readFile(dest), older);
  Names left;
  for (const auto& e : fs::directory_iterator(out.path())) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (Names{"fifo", "folder", "link", "saved.csv"}));
}

// A failed start (a missing folder, none, a file) ends the recording and
// forgets it: nothing to save afterwards, and the host's file stays.
TEST_F(RecordingTest, AFailedStartIsReportedAndLeavesNoRecordingBehind) {
  ASSERT_TRUE(accessory.startRecording(dir.path(), 3));
  feedEveryKind();
  const std::string kept = readFile(logFile());
  struct stat st {};
  EXPECT_TRUE(::stat(logFile().c_str(), &st) == 0 && (st.st_mode & 0777) == 0600) << "a new log is owner-only";
  const std::string saved = dir.path() + "/saved.csv";
  std::ofstream(saved) << "the host's own file\n";
  std::vector<std::tuple<std::string, std::string, int>> cases = {
      {dir.path() + "/missing", dir.path() + "/missing/ambrix.log.csv: No such file or directory", ENOENT},
      {"", "ambrix.log.csv: No such file or directory", ENOENT},
      {"/proc/version", "/proc/version/ambrix.log.csv: Not a directory", ENOTDIR},
      // What another user may plant in a shared folder: a link to the
      // host's file, or a file of their own that would receive the rows.
      {dir.path() + "/planted", dir.path() + "/planted/ambrix.log.csv: the log file is a symbolic link", ELOOP}};
  for (const char* folder : {"/planted", "/theirs"}) ::mkdir((dir.path() + folder).c_str(), 0700);
  ::symlink(saved.c_str(), (dir.path() + "/planted/ambrix.log.csv").c_str());
  const std::string theirs = dir.path() + "/theirs/ambrix.log.csv";
  std::ofstream(theirs) << "theirs\n";
  if (::chmod(theirs.c_str(), 0666) == 0 && ::chown(theirs.c_str(), 65534, 65534) == 0) {  // root only
    cases.emplace_back(dir.path() + "/theirs", theirs + ": the log file belongs to another user (uid 65534)", EPERM);
  }
  for (const auto& [directory, reason, code] : cases) {
    SCOPED_TRACE(directory);
    log.clear();
    EXPECT_FALSE(accessory.startRecording(directory, 1));
    EXPECT_EQ(log.lines(), Names{"VLAccessory: cannot record to " + reason});
    EXPECT_FALSE(accessory.isRecording() || !accessory.logFilePath().empty() || !accessory.logRow().empty());
    EXPECT_EQ(accessory.recordFlag(), 1);
    EXPECT_EQ(failure(accessory), std::tuple(code, "cannot record to " + reason, reason.substr(reason.rfind(": ") + 2)));
    EXPECT_EQ(accessory.recordingStatus().path, "");
    feedEveryKind();  // decoding goes on; nothing is recorded
    EXPECT_FALSE(accessory.stopRecording(saved));
    const std::string why = "cannot save the log file to " + saved + ": nothing was recorded";
    EXPECT_TRUE(log.contains("VLAccessory: " + why));
    EXPECT_EQ(failure(accessory), std::tuple(ENOENT, why, "nothing was recorded"));
    EXPECT_EQ(readFile(saved), "the host's own file\n");
  }
  EXPECT_EQ(readFile(logFile()), kept);
  EXPECT_EQ(readFile(theirs), "theirs\n");
}

// A row write that fails (over the file-size limit, as on a full disk) is
// reported once per recording, decoding goes on, and a part row is cut off.
// A folder removed while recording loses no row (the copy comes from the open
// file); the earlier folder's file gets nothing more.
TEST_F(RecordingTest, LostStorageIsReportedAndNoRowWrittenIsLostOrCut) {
  const std::regex row(R"(\d+\.\d{6}, \[RAW\], \d+)");
  for (int recording = 0; recording < 2; ++recording) {
    ASSERT_TRUE(accessory.startRecording(dir.path(), 1));
    FileSizeLimit limit(kHeader.size() + 70);  // room for two rows and part of a third
    for (int16_t s = 0; s < 20; ++s) feed(PacketEncoder::rawRow(s));
  }
  EXPECT_EQ(log.count("VLAccessory: cannot write to " + logFile() + ": File too large"), 2u);
  VelmoraRecordingStatus status = accessory.recordingStatus();
  EXPECT_EQ(std::tuple(status.rowsWritten, status.rowsLost), std::tuple(2u, 18u));
  EXPECT_EQ(failure(accessory), std::tuple(EFBIG, "cannot write to " + logFile() + ": File too large", "File too large"));
  EXPECT_EQ(accessory.takeData().at("raw").asArray().size(), 40u);
  const Names lines = rows(logFile());
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, row)) << line;

  const std::string folder = dir.path() + "/session";
  fs::create_directory(folder);
  ASSERT_TRUE(accessory.startRecording(folder, 1));
  for (int16_t s = 0; s < 150; ++s) {
    if (s == 100) fs::remove_all(folder);
    feed(PacketEncoder::rawRow(s));
  }
  EXPECT_TRUE(accessory.stopRecording(dir.path() + "/saved.csv"));
  EXPECT_TRUE(log.contains("VLAccessory: the log file " + folder + "/ambrix.log.csv was removed while recording"));
  EXPECT_EQ(rows(dir.path() + "/saved.csv").size(), 150u);
  status = accessory.recordingStatus();
  EXPECT_EQ(std::tuple(status.recording, status.rowsWritten, status.rowsLost, status.errorCode), std::tuple(false, 150u, 0u, 0));
  EXPECT_EQ(rows(logFile()).size(), 2u) << "nothing more in the earlier folder";
}

}  // namespace
}  // namespace velmora
