#include "StreamLog.h"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

namespace velmora::python {
namespace {

constexpr std::string_view kHeader = "Timestamp, Data Type, Value";

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

template <typename T>
bool parseNumber(std::string_view s, T& out) {
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

[[noreturn]] void refuse(size_t lineNumber, const std::string& why, std::string_view line) {
  constexpr size_t kShown = 80;
  std::string shown(line.substr(0, kShown));
  if (line.size() > kShown) shown += "...";
  throw std::invalid_argument("line " + std::to_string(lineNumber) + ": " + why + ": \"" + shown + "\"");
}

}  // namespace

std::array<StreamLogColumns, 5> StreamLog::parse(std::string_view text) {
  std::array<StreamLogColumns, 5> columns;
  size_t lineNumber = 0;
  bool headerSeen = false;
  while (!text.empty()) {
    const size_t eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    ++lineNumber;
    const std::string_view content = trim(line);
    if (!headerSeen) {
      if (content != kHeader) refuse(lineNumber, "not a stream log (the header \"" + std::string(kHeader) + "\" is missing)", line);
      headerSeen = true;
      continue;
    }
    if (content.empty()) continue;

    const size_t first = content.find(',');
    const size_t second = first == std::string_view::npos ? first : content.find(',', first + 1);
    if (second == std::string_view::npos || content.find(',', second + 1) != std::string_view::npos) {
      refuse(lineNumber, "a row has three comma-separated fields", line);
    }
    const std::string_view timeText = trim(content.substr(0, first));
    const std::string_view tagText = trim(content.substr(first + 1, second - first - 1));
    const std::string_view valueText = trim(content.substr(second + 1));

    size_t tag = kTags.size();
    if (tagText.size() > 2 && tagText.front() == '[' && tagText.back() == ']') {
      const std::string_view name = tagText.substr(1, tagText.size() - 2);
      for (size_t i = 0; i < kTags.size(); ++i) {
        if (kTags[i] == name) tag = i;
      }
    }
    if (tag == kTags.size()) refuse(lineNumber, "unknown tag (expected [PQ], [HR], [ATT], [MED] or [RAW])", line);
    double time = 0.0;
    if (!parseNumber(timeText, time) || !std::isfinite(time)) {
      refuse(lineNumber, "the time is not a number with a decimal point", line);
    }
    int32_t value = 0;
    if (!parseNumber(valueText, value)) refuse(lineNumber, "the value is not a 32-bit integer", line);
    columns[tag].time.push_back(time);
    columns[tag].value.push_back(value);
  }
  if (!headerSeen) throw std::invalid_argument("line 1: not a stream log (the file is empty)");
  return columns;
}

}  // namespace velmora::python
