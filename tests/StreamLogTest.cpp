// The stream log format shared by the recorder and every reader: rows written
// read back exactly, the strict and lenient readers' verdicts, and the file
// helper that replaces a file whole or not at all.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "VelmoraStreamLog.h"
#include "platform/Files.h"
#include "support/GermanLocale.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

using Kind = StreamLogReader::Kind;
using Mode = StreamLogReader::Mode;

TEST(StreamLog, RowsAreWrittenInTheirExactFormatAndReadBack) {
  const std::shared_ptr<void> localeBack(nullptr, [](void*) { test::GermanLocale::reset(); });
  test::GermanLocale::use();
  const std::pair<StreamLogRow, std::string> cases[] = {
      {{1718000000.1234567, StreamLogTag::PQ, 200}, "1718000000.123457 , [PQ] , 200\n"},
      {{1718000000.5, StreamLogTag::HR, 70}, "1718000000.500000, [HR], 70\n"},
      {{0.0, StreamLogTag::ATT, 0}, "0.000000, [ATT], 0\n"},
      {{1.25, StreamLogTag::MED, 255}, "1.250000, [MED], 255\n"},
      {{4102444800.000001, StreamLogTag::RAW, -32768}, "4102444800.000001, [RAW], -32768\n"},
  };
  for (const auto& [row, text] : cases) {
    EXPECT_EQ(formatStreamLogRow(row), text);
    for (Mode mode : {Mode::Strict, Mode::Lenient}) {
      StreamLogReader reader(mode);
      EXPECT_EQ(reader.read(kStreamLogHeader).kind, Kind::Header);
      const auto line = reader.read(text);
      ASSERT_EQ(line.kind, Kind::Row) << text << line.problem;
      EXPECT_EQ(line.row.tag, row.tag);
      EXPECT_EQ(line.row.value, row.value);
      EXPECT_EQ(formatStreamLogRow(line.row), text);
    }
  }
  char small[20];
  EXPECT_EQ(formatStreamLogRow({1e40, StreamLogTag::RAW, 1}, small), 0u) << "too long for the buffer";
}

// What each mode makes of the lines a file may hold, from its first line on.
TEST(StreamLog, StrictAndLenientReadersJudgeEachLine) {
  const struct {
    std::vector<std::string> lines;
    std::vector<Kind> strict, lenient;
    std::string_view strictProblem;  // of the last line
  } cases[] = {
      {{"Timestamp, Data Type, Value\r\n", "", " 5.0 ,\t[RAW] , 7 \r"},
       {Kind::Header, Kind::Blank, Kind::Row},
       {Kind::Header, Kind::Blank, Kind::Row},
       ""},
      {{"1.0, [RAW], 5"}, {Kind::Malformed}, {Kind::Row}, "not a stream log"},
      {{""}, {Kind::Malformed}, {Kind::Blank}, "not a stream log"},
      {{"Timestamp, Data Type, Value", "Timestamp, Data Type, Value"},
       {Kind::Header, Kind::Malformed},
       {Kind::Header, Kind::Malformed},
       "unknown tag"},
      {{"1.0, [RAW], 5", "1765000000,253000, [RAW], 7"}, {Kind::Malformed, Kind::Malformed}, {Kind::Row, Kind::Malformed}, "a row has three"},
      {{kStreamLogHeader.data(), "1.0, [EEG], 7"}, {Kind::Header, Kind::Malformed}, {Kind::Header, Kind::Malformed}, "unknown tag"},
      {{kStreamLogHeader.data(), "1.0, RAW, 7"}, {Kind::Header, Kind::Malformed}, {Kind::Header, Kind::Malformed}, "unknown tag"},
      {{kStreamLogHeader.data(), "nan, [RAW], 7"}, {Kind::Header, Kind::Malformed}, {Kind::Header, Kind::Malformed}, "the time"},
      {{kStreamLogHeader.data(), "1.0, [RAW], 2147483648"}, {Kind::Header, Kind::Malformed}, {Kind::Header, Kind::Malformed}, "the value"},
      {{kStreamLogHeader.data(), "1.0, [RAW], 7x"}, {Kind::Header, Kind::Malformed}, {Kind::Header, Kind::Malformed}, "the value"},
      // Outside the tag's range: kept as written, but no headset byte.
      {{kStreamLogHeader.data(), "1.0, [PQ], 256", "1.0, [RAW], -32769", "1.0, [HR], -1"},
       {Kind::Header, Kind::Row, Kind::Row, Kind::Row},
       {Kind::Header, Kind::Malformed, Kind::Malformed, Kind::Malformed},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.back());
    StreamLogReader strict(Mode::Strict), lenient(Mode::Lenient);
    std::vector<Kind> strictKinds, lenientKinds;
    std::string_view problem;
    for (const auto& line : c.lines) {
      const auto s = strict.read(line);
      strictKinds.push_back(s.kind);
      problem = s.problem;
      lenientKinds.push_back(lenient.read(line).kind);
    }
    EXPECT_EQ(strictKinds, c.strict);
    EXPECT_EQ(lenientKinds, c.lenient);
    EXPECT_TRUE(problem.starts_with(c.strictProblem)) << problem;
    EXPECT_EQ(lenient.lineNumber(), c.lines.size());
    EXPECT_EQ(lenient.malformedLines(), static_cast<size_t>(std::count(c.lenient.begin(), c.lenient.end(), Kind::Malformed)));
    EXPECT_EQ(lenient.rowsRead(), static_cast<size_t>(std::count(c.lenient.begin(), c.lenient.end(), Kind::Row)));
  }
  EXPECT_TRUE(StreamLogReader::looksLikeStreamLog("1.0, [RAW], 5"));
  EXPECT_FALSE(StreamLogReader::looksLikeStreamLog("Time, Type"));
}

// The destination is the whole new file or what it was; nothing is left
// beside it, whichever way the replacement ends.
TEST(Files, AReplacementIsWholeOrNothing) {
  namespace fs = std::filesystem;
  test::TempDir dir;
  const std::string dest = dir.path() + "/out.csv";
  std::ofstream(dest) << "old";
  {
    platform::ReplacementFile out(dest);
    ASSERT_EQ(out.error(), 0);
    ASSERT_EQ(platform::writeAll(out.fd(), "new", 3), 0);
    EXPECT_EQ(test::readFile(dest), "old") << "nothing changes before the commit";
  }
  EXPECT_EQ(test::readFile(dest), "old");
  platform::ReplacementFile out(dest);
  ASSERT_EQ(platform::writeAll(out.fd(), "new", 3), 0);
  EXPECT_EQ(out.commit(), 0);
  EXPECT_EQ(test::readFile(dest), "new");
  platform::ReplacementFile abandoned(dest);
  abandoned.abandon();
  EXPECT_EQ(abandoned.commit(), ECANCELED);

  platform::ReplacementFile nowhere(dir.path() + "/missing/out.csv");
  EXPECT_EQ(nowhere.error(), ENOENT);
  EXPECT_EQ(nowhere.commit(), ENOENT);
  fs::create_directory(dir.path() + "/folder");
  platform::ReplacementFile overFolder(dir.path() + "/folder");
  EXPECT_EQ(overFolder.commit(), EISDIR);
  EXPECT_EQ(platform::replaceFile(dir.path() + "/none", dest), ENOENT);
  EXPECT_EQ(test::readFile(dest), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2) << "out.csv and folder only";
}

}  // namespace
}  // namespace velmora
