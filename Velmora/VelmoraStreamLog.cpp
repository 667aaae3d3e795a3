#include "VelmoraStreamLog.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace velmora {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

template <typename T>
bool parseNumber(std::string_view s, T& out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

constexpr std::string_view kHeaderText = kStreamLogHeader.substr(0, kStreamLogHeader.size() - 1);

// Parses one row (already trimmed); the problem as a phrase when it is none.
std::optional<StreamLogRow> parseRow(std::string_view content, std::string_view& problem) {
  const size_t first = content.find(',');
  const size_t second = first == std::string_view::npos ? first : content.find(',', first + 1);
  if (second == std::string_view::npos || content.find(',', second + 1) != std::string_view::npos) {
    problem = "a row has three comma-separated fields";
    return std::nullopt;
  }
  const std::string_view timeText = trim(content.substr(0, first));
  const std::string_view tagText = trim(content.substr(first + 1, second - first - 1));
  const std::string_view valueText = trim(content.substr(second + 1));
  StreamLogRow row;
  std::optional<StreamLogTag> tag;
  if (tagText.size() > 2 && tagText.front() == '[' && tagText.back() == ']') {
    tag = streamLogTagNamed(tagText.substr(1, tagText.size() - 2));
  }
  if (!tag) {
    problem = "unknown tag (expected [PQ], [HR], [ATT], [MED] or [RAW])";
    return std::nullopt;
  }
  row.tag = *tag;
  if (!parseNumber(timeText, row.time) || !std::isfinite(row.time)) {
    problem = "the time is not a number with a decimal point";
    return std::nullopt;
  }
  if (!parseNumber(valueText, row.value)) {
    problem = "the value is not a 32-bit integer";
    return std::nullopt;
  }
  return row;
}

}  // namespace

std::optional<StreamLogTag> streamLogTagNamed(std::string_view name) {
  for (const auto& info : kStreamLogTags) {
    if (info.name == name) return info.tag;
  }
  return std::nullopt;
}

size_t formatStreamLogRow(const StreamLogRow& row, std::span<char> out) {
  if (out.empty()) return 0;
  char* const end = out.data() + out.size() - 1;  // room for the line feed
  // std::to_chars ignores the locale and writes what printf's "%f" and "%d"
  // write under the C locale: six decimals, a point, a minus.
  const auto time = std::to_chars(out.data(), end, row.time, std::chars_format::fixed, 6);
  const std::string_view separator = streamLogTagInfo(row.tag).separator;
  if (time.ec != std::errc() || end - time.ptr < static_cast<std::ptrdiff_t>(separator.size())) return 0;
  const auto number = std::to_chars(std::copy(separator.begin(), separator.end(), time.ptr), end, row.value);
  if (number.ec != std::errc()) return 0;
  *number.ptr = '\n';
  return static_cast<size_t>(number.ptr + 1 - out.data());
}

std::string formatStreamLogRow(const StreamLogRow& row) {
  char buffer[kStreamLogMaxRowLength];
  return std::string(buffer, formatStreamLogRow(row, buffer));
}

StreamLogReader::Line StreamLogReader::read(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  const bool first = lineNumber_++ == 0;
  const std::string_view content = trim(line);
  Line out;
  if (first && content == kHeaderText) {
    out.kind = Kind::Header;
    return out;
  }
  if (first && mode_ == Mode::Strict) {
    out.kind = Kind::Malformed;
    out.problem = "not a stream log (the header \"Timestamp, Data Type, Value\" is missing)";
  } else if (content.empty()) {
    return out;
  } else if (auto row = parseRow(content, out.problem)) {
    const StreamLogTagInfo& info = streamLogTagInfo(row->tag);
    if (mode_ == Mode::Lenient && (row->value < info.minValue || row->value > info.maxValue)) {
      out.kind = Kind::Malformed;
      out.problem = "the value is out of its tag's range";
    } else {
      out.kind = Kind::Row;
      out.row = *row;
      ++rows_;
      return out;
    }
  } else {
    out.kind = Kind::Malformed;
  }
  ++malformed_;
  return out;
}

bool StreamLogReader::looksLikeStreamLog(std::string_view firstLine) {
  StreamLogReader reader(Mode::Lenient);
  const Kind kind = reader.read(firstLine).kind;
  return kind == Kind::Header || kind == Kind::Row;
}

}  // namespace velmora
