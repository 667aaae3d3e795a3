// The stream log format ("ambrix.log.csv"): its one definition, used by the
// accessory object's recorder to write it and by every reader.
//
// The file is the header line "Timestamp, Data Type, Value" and then one row
// per recorded value, each ending in a line feed:
//
//   1718000000.123456 , [PQ] , 200
//   1718000000.125409, [RAW], -5
//
// the wall-clock time in seconds since 1970 with six decimals, the tag in
// brackets and the value as a decimal integer.  PQ rows have a blank on both
// sides of each comma, the other four tags one after each comma.  Numbers are
// written and read the same whatever the process locale.
//
// Threads: constants, plain functions and a reader object owned by one
// thread; nothing shared.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

inline constexpr std::string_view kStreamLogFileName = "ambrix.log.csv";
// The header line, line feed included.
inline constexpr std::string_view kStreamLogHeader = "Timestamp, Data Type, Value\n";

enum class StreamLogTag : uint8_t { PQ, HR, ATT, MED, RAW };

// Record-flag bits (VelmoraObjC::startRecording): which rows are written.
inline constexpr uint8_t kRecordRawRows = 1;       // RAW
inline constexpr uint8_t kRecordAnalysedRows = 2;  // PQ, HR, ATT, MED

struct StreamLogTagInfo {
  StreamLogTag tag;
  std::string_view name;       // "PQ"
  std::string_view separator;  // what stands between the time and the value: " , [PQ] , "
  uint8_t recordBit;           // kRecordRawRows or kRecordAnalysedRows
  int32_t minValue;            // the range of the values the headset can send
  int32_t maxValue;
};

// Every tag, in StreamLogTag order (the order readers hand columns back in).
inline constexpr std::array<StreamLogTagInfo, 5> kStreamLogTags = {{
    {StreamLogTag::PQ, "PQ", " , [PQ] , ", kRecordAnalysedRows, 0, 255},
    {StreamLogTag::HR, "HR", ", [HR], ", kRecordAnalysedRows, 0, 255},
    {StreamLogTag::ATT, "ATT", ", [ATT], ", kRecordAnalysedRows, 0, 255},
    {StreamLogTag::MED, "MED", ", [MED], ", kRecordAnalysedRows, 0, 255},
    {StreamLogTag::RAW, "RAW", ", [RAW], ", kRecordRawRows, -32768, 32767},
}};

constexpr const StreamLogTagInfo& streamLogTagInfo(StreamLogTag tag) { return kStreamLogTags[static_cast<size_t>(tag)]; }
// The tag named `name` ("PQ", without brackets), if there is one.
std::optional<StreamLogTag> streamLogTagNamed(std::string_view name);

// The longest row formatRow() can produce, line feed included.
inline constexpr size_t kStreamLogMaxRowLength = 64;

struct StreamLogRow {
  double time = 0.0;  // seconds since 1970
  StreamLogTag tag = StreamLogTag::RAW;
  int32_t value = 0;
  friend bool operator==(const StreamLogRow&, const StreamLogRow&) = default;
};

// Formats `row` into `out` without allocating; returns the row's length, or 0
// when it does not fit (a time beyond 10^40 seconds, say).
size_t formatStreamLogRow(const StreamLogRow& row, std::span<char> out);
std::string formatStreamLogRow(const StreamLogRow& row);

// Reads a stream log line by line.
//
// Strict (for tools that load a recording as data): the first line must be
// the header, and every later line that is not blank must be a row; the
// first line that is not is reported as Malformed and the reader's caller
// stops there.  Values are taken as written (any 32-bit integer).
//
// Lenient (for playing a log back as headset bytes): the header is optional
// on the first line; a line that is not a row, or whose value lies outside
// its tag's range (it could not be sent as a headset byte), is reported as
// Malformed, counted and may be skipped.
//
// Both: blanks and tabs around a field and a carriage return at the end of a
// line are ignored; a row has exactly three comma-separated fields; the tag
// is one of kStreamLogTags in brackets; the time is a finite decimal number.
class StreamLogReader {
 public:
  enum class Mode { Strict, Lenient };
  enum class Kind { Row, Header, Blank, Malformed };
  struct Line {
    Kind kind = Kind::Blank;
    StreamLogRow row;          // when kind is Row
    std::string_view problem;  // when kind is Malformed: what is wrong, as a phrase
  };

  explicit StreamLogReader(Mode mode) : mode_(mode) {}

  // Reads the next line, with or without its line feed.
  Line read(std::string_view line);

  // Lines read so far (the number of the line read last).
  uint64_t lineNumber() const { return lineNumber_; }
  uint64_t rowsRead() const { return rows_; }
  uint64_t malformedLines() const { return malformed_; }

  // Whether `line` (the first line of a file) is the header or a row: a
  // quick test of whether a file is a stream log.
  static bool looksLikeStreamLog(std::string_view firstLine);

 private:
  Mode mode_;
  uint64_t lineNumber_ = 0;
  uint64_t rows_ = 0;
  uint64_t malformed_ = 0;
};

}  // namespace velmora
