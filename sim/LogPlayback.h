// Plays back a stream log that the library recorded ("ambrix.log.csv": the
// header "Timestamp, Data Type, Value", then rows "%f, [RAW], %d",
// "%f , [PQ] , %d", "%f, [ATT], %d", "%f, [MED], %d", "%f, [HR], %d").
//
// Each row becomes one packet carrying that one row (a raw sample, signal
// quality, attention, meditation or heart rate), sent at the row's
// timestamp relative to the first row: a row stamped r seconds after the
// first goes out in sample time floor(r * 512).  A row stamped earlier than
// the one before it (a clock step) goes out right after it.  Lines that are
// not such rows (a wrong field count, an unknown tag, a number that does not
// parse or lies outside its row's range: -32768..32767 for RAW, 0..255 for
// the others) are skipped and counted; empty lines and the header are not
// counted.  Fields may carry blanks around the commas, as the PQ row does.
//
// Thread-safety: none; one thread drives it.
#pragma once

#include <cstdint>
#include <fstream>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

#include "sim/StreamSource.h"

namespace velmora::sim {

class LogPlayback : public StreamSource {
 public:
  enum class Tag { Raw, PoorSignal, Attention, Meditation, HeartRate };
  struct Row {
    double time = 0.0;
    Tag tag = Tag::Raw;
    int32_t value = 0;
  };

  // Throws std::system_error when the file cannot be opened.
  explicit LogPlayback(const std::string& path);

  bool tick(TickBuffer& out) override;
  bool framesPackets() const override { return true; }
  uint64_t malformedLines() const override { return rows_.malformedLines(); }

  // The rows of a stream log read from a stream, in file order.  The header
  // (on the first line) and empty lines are skipped; lines that are not rows
  // are skipped and counted.
  class RowReader {
   public:
    explicit RowReader(std::istream& in) : in_(in) {}
    // The next row; none at the end of the stream.
    std::optional<Row> next();
    uint64_t malformedLines() const { return malformed_; }

   private:
    std::istream& in_;
    std::string line_;
    uint64_t malformed_ = 0;
    bool firstLine_ = true;
  };

  // One row, or none for a line that is not one.
  static std::optional<Row> parseRow(std::string_view line);
  // Whether the file starts like a stream log (its header or a row).
  static bool looksLikeLog(const std::string& path);
  // Appends the packet that carries `row` (a raw sample, signal quality,
  // attention, meditation or heart rate).
  static void appendRow(const Row& row, TickBuffer& out);

  static constexpr std::string_view kHeader = "Timestamp, Data Type, Value";

 private:
  void readNext();

  std::ifstream in_;
  RowReader rows_{in_};
  std::optional<Row> next_;
  std::optional<double> firstTime_;
  uint64_t dueTick_ = 0;  // the sample time of next_
  uint64_t tick_ = 0;
};

}  // namespace velmora::sim
