// StreamLog: reads the library's stream log ("ambrix.log.csv") back into
// columns, one (time, value) pair of columns per row tag.
//
// The file is the header line "Timestamp, Data Type, Value" and then rows of
// three comma-separated fields: the time in seconds since 1970 with a
// decimal point, the tag in brackets ([PQ], [HR], [ATT], [MED] or [RAW]) and
// the value as a decimal integer.  Blanks around the fields are ignored (the
// PQ rows have them on both sides of each comma, the others after it), and
// so is a carriage return at a line's end.  Numbers are read with
// std::from_chars, so the process's locale never changes the result.
//
// Anything else is refused with std::invalid_argument naming the line: a
// missing header, a row without three fields, an unknown tag, a time that is
// no finite number, a value outside the 32-bit range.  Empty lines are
// skipped.
//
// Threads: plain functions and data; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace velmora::python {

struct StreamLogColumns {
  std::vector<double> time;
  std::vector<int32_t> value;
};

class StreamLog {
 public:
  static constexpr std::array<std::string_view, 5> kTags = {"PQ", "HR", "ATT", "MED", "RAW"};

  // Columns in the order of kTags.
  static std::array<StreamLogColumns, 5> parse(std::string_view text);
};

}  // namespace velmora::python
