// ErrorStream: the tool's stderr (its messages and the --verbose echo of the
// library's log), written by a thread of its own.
//
// A stderr that nobody reads (a full pipe, a terminal paused with Ctrl-S)
// then holds up only that thread.  The library logs from the main thread and
// the dispatch thread, some of it under velmora::lock, so line() never
// waits: it queues the line, and beyond kLimit bytes waiting it drops it and
// counts it (dropped()).  flush() at the end of the process waits for the
// reader for as long as it takes something.
//
// Threads: every member may be called from any thread.  The writer thread
// starts with the first line, blocks every signal, and is never joined: if the reader is stalled at
// the process's end, the exit ends it in its write.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace velmora::tool {

class ErrorStream {
 public:
  static constexpr size_t kLimit = size_t{256} << 10;

  // Queues `text` and a line feed for stderr.
  static void line(std::string_view text);
  // "COMMAND: TEXT".
  static void say(std::string_view command, std::string_view text);
  // Waits until every queued line is written, stderr has failed, or the
  // reader has taken nothing for `patience`.  True when all was written.
  static bool flush(std::chrono::milliseconds patience);
  // Lines dropped because too much was waiting.
  static uint64_t dropped();
};

}  // namespace velmora::tool
