#include "sim/LogPlayback.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "sim/PacketEncoder.h"

namespace velmora::sim {

LogPlayback::LogPlayback(const std::string& path) : in_(path) {
  if (!in_) throw std::system_error(errno, std::generic_category(), "cannot open stream log " + path);
  readNext();
}

bool LogPlayback::looksLikeLog(const std::string& path) {
  std::ifstream in(path);
  std::string first;
  if (!in || !std::getline(in, first)) return false;
  return StreamLogReader::looksLikeStreamLog(first);
}

std::optional<StreamLogRow> LogPlayback::RowReader::next() {
  while (std::getline(in_, line_)) {
    const StreamLogReader::Line line = reader_.read(line_);
    if (line.kind == StreamLogReader::Kind::Row) return line.row;
  }
  return std::nullopt;
}

void LogPlayback::readNext() {
  next_ = rows_.next();
  if (!next_) return;
  if (!firstTime_) firstTime_ = next_->time;
  // Clamped so that an absurd timestamp cannot overflow the conversion.
  const double offset = std::min((next_->time - *firstTime_) * kSampleRate, 0x1.0p53);
  // Never before the row already sent (a clock step back plays at once).
  dueTick_ = std::max<uint64_t>(dueTick_, offset > 0.0 ? static_cast<uint64_t>(offset) : 0);
}

void LogPlayback::appendRow(const StreamLogRow& row, TickBuffer& out) {
  auto byte = static_cast<uint8_t>(row.value);
  switch (row.tag) {
    case StreamLogTag::RAW: out.appendRawPacket(static_cast<int16_t>(row.value)); break;
    case StreamLogTag::PQ: out.appendPacket(PacketEncoder::poorSignalRow(byte)); break;
    case StreamLogTag::ATT: out.appendPacket(PacketEncoder::attentionRow(byte)); break;
    case StreamLogTag::MED: out.appendPacket(PacketEncoder::meditationRow(byte)); break;
    case StreamLogTag::HR: out.appendPacket(PacketEncoder::heartRateRow(byte)); break;
  }
}

bool LogPlayback::tick(TickBuffer& out) {
  if (!next_) return false;
  while (next_ && dueTick_ <= tick_) {
    appendRow(*next_, out);
    readNext();
  }
  ++tick_;
  return true;
}

}  // namespace velmora::sim
