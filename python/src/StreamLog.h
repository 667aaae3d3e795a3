// StreamLog: reads the library's stream log ("ambrix.log.csv") back into
// columns, one (time, value) pair of columns per row tag.
//
// The library's reader does the reading, in its strict mode
// (VelmoraStreamLog.h): the header line "Timestamp, Data Type, Value", then
// rows of the time, the tag in brackets ([PQ], [HR], [ATT], [MED] or [RAW])
// and the value, with blanks around the fields and a carriage return at a
// line's end ignored, whatever the process's locale.
//
// Anything else is refused with std::invalid_argument naming the line and
// what is wrong with it: a missing header, a row without three fields, an
// unknown tag, a time that is no finite number, a value outside the 32-bit
// range.  Empty lines are skipped.
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
