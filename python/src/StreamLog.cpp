#include "StreamLog.h"

#include <stdexcept>
#include <string>

#include "VelmoraStreamLog.h"

namespace velmora::python {
namespace {

// The columns come back in the library's tag order.
constexpr bool tagsInLibraryOrder() {
  for (size_t i = 0; i < StreamLog::kTags.size(); ++i) {
    if (StreamLog::kTags[i] != kStreamLogTags[i].name) return false;
  }
  return StreamLog::kTags.size() == kStreamLogTags.size();
}
static_assert(tagsInLibraryOrder());

[[noreturn]] void refuse(uint64_t lineNumber, std::string_view why, std::string_view line) {
  constexpr size_t kShown = 80;
  std::string shown(line.substr(0, kShown));
  if (line.size() > kShown) shown += "...";
  throw std::invalid_argument("line " + std::to_string(lineNumber) + ": " + std::string(why) + ": \"" + shown + "\"");
}

}  // namespace

std::array<StreamLogColumns, 5> StreamLog::parse(std::string_view text) {
  std::array<StreamLogColumns, 5> columns;
  StreamLogReader reader(StreamLogReader::Mode::Strict);
  while (!text.empty()) {
    const size_t eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    const StreamLogReader::Line read = reader.read(line);
    if (read.kind == StreamLogReader::Kind::Malformed) refuse(reader.lineNumber(), read.problem, line);
    if (read.kind != StreamLogReader::Kind::Row) continue;
    StreamLogColumns& column = columns[static_cast<size_t>(read.row.tag)];
    column.time.push_back(read.row.time);
    column.value.push_back(read.row.value);
  }
  if (reader.lineNumber() == 0) throw std::invalid_argument("line 1: not a stream log (the file is empty)");
  return columns;
}

}  // namespace velmora::python
