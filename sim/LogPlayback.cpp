#include "sim/LogPlayback.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "sim/PacketEncoder.h"

namespace velmora::sim {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

LogPlayback::LogPlayback(const std::string& path) : in_(path) {
  if (!in_) throw std::system_error(errno, std::generic_category(), "cannot open stream log " + path);
  readNext();
}

std::optional<LogPlayback::Row> LogPlayback::parseRow(std::string_view line) {
  std::string_view fields[3];
  for (int i = 0; i < 3; ++i) {
    size_t comma = line.find(',');
    if ((comma == std::string_view::npos) != (i == 2)) return std::nullopt;
    fields[i] = trim(line.substr(0, comma));
    if (comma != std::string_view::npos) line.remove_prefix(comma + 1);
  }

  Row row;
  struct TagName {
    std::string_view text;
    Tag tag;
  };
  static constexpr TagName kTags[] = {{"[RAW]", Tag::Raw},
                                      {"[PQ]", Tag::PoorSignal},
                                      {"[ATT]", Tag::Attention},
                                      {"[MED]", Tag::Meditation},
                                      {"[HR]", Tag::HeartRate}};
  auto tag = std::find_if(std::begin(kTags), std::end(kTags), [&](const TagName& t) { return t.text == fields[1]; });
  if (tag == std::end(kTags)) return std::nullopt;
  row.tag = tag->tag;

  std::string time(fields[0]);
  std::string value(fields[2]);
  if (time.empty() || value.empty()) return std::nullopt;
  char* end = nullptr;
  row.time = std::strtod(time.c_str(), &end);
  if (end != time.c_str() + time.size() || !std::isfinite(row.time)) return std::nullopt;
  errno = 0;
  long v = std::strtol(value.c_str(), &end, 10);
  if (end != value.c_str() + value.size() || errno == ERANGE) return std::nullopt;
  long low = row.tag == Tag::Raw ? -32768 : 0;
  long high = row.tag == Tag::Raw ? 32767 : 255;
  if (v < low || v > high) return std::nullopt;
  row.value = static_cast<int32_t>(v);
  return row;
}

bool LogPlayback::looksLikeLog(const std::string& path) {
  std::ifstream in(path);
  std::string first;
  if (!in || !std::getline(in, first)) return false;
  return trim(first) == kHeader || parseRow(first).has_value();
}

std::optional<LogPlayback::Row> LogPlayback::RowReader::next() {
  while (std::getline(in_, line_)) {
    const bool first = firstLine_;
    firstLine_ = false;
    const std::string_view text = trim(line_);
    if (text.empty() || (first && text == kHeader)) continue;
    if (auto row = parseRow(text)) return row;
    ++malformed_;
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

void LogPlayback::appendRow(const Row& row, TickBuffer& out) {
  auto byte = static_cast<uint8_t>(row.value);
  switch (row.tag) {
    case Tag::Raw: out.appendRawPacket(static_cast<int16_t>(row.value)); break;
    case Tag::PoorSignal: out.appendPacket(PacketEncoder::poorSignalRow(byte)); break;
    case Tag::Attention: out.appendPacket(PacketEncoder::attentionRow(byte)); break;
    case Tag::Meditation: out.appendPacket(PacketEncoder::meditationRow(byte)); break;
    case Tag::HeartRate: out.appendPacket(PacketEncoder::heartRateRow(byte)); break;
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
