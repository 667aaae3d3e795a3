// Plays back a stream log that the library recorded ("ambrix.log.csv", read
// by the library's reader in its lenient mode: VelmoraStreamLog.h).
//
// Each row becomes one packet carrying that one row (a raw sample, signal
// quality, attention, meditation or heart rate), sent at the row's
// timestamp relative to the first row: a row stamped r seconds after the
// first goes out in sample time floor(r * 512).  A row stamped earlier than
// the one before it (a clock step) goes out right after it.  Lines that are
// not such rows (a wrong field count, an unknown tag, a number that does not
// parse or lies outside its row's range: -32768..32767 for RAW, 0..255 for
// the others) are skipped and counted; empty lines and the header are not
// counted.
//
// Thread-safety: none; one thread drives it.
#pragma once

#include <cstdint>
#include <fstream>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

#include "VelmoraStreamLog.h"
#include "sim/StreamSource.h"

namespace velmora::sim {

class LogPlayback : public StreamSource {
 public:
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
    std::optional<StreamLogRow> next();
    uint64_t malformedLines() const { return reader_.malformedLines(); }

   private:
    std::istream& in_;
    std::string line_;
    StreamLogReader reader_{StreamLogReader::Mode::Lenient};
  };

  // Whether the file starts like a stream log (its header or a row).
  static bool looksLikeLog(const std::string& path);
  // Appends the packet that carries `row` (a raw sample, signal quality,
  // attention, meditation or heart rate).
  static void appendRow(const StreamLogRow& row, TickBuffer& out);

 private:
  void readNext();

  std::ifstream in_;
  RowReader rows_{in_};
  std::optional<StreamLogRow> next_;
  std::optional<double> firstTime_;
  uint64_t dueTick_ = 0;  // the sample time of next_
  uint64_t tick_ = 0;
};

}  // namespace velmora::sim
