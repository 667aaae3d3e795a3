// LogBuffer: the `velmora` tool's sink for the library's log lines.
//
// A live screen or a stream of JSON lines cannot have the library's log lines
// written across it, so a command that streams installs a LogBuffer: it keeps
// the most recent lines (to explain a failure afterwards), counts the framer's
// checksum errors, and echoes every line to stderr only when asked to
// (--verbose).  Destruction leaves a sink that drops every line, as main()
// installs at start, so that nothing logged while the process winds down
// spills onto the terminal.
//
// Threads: the library logs from any thread (the main thread, the dispatch
// thread, the read loops), some of them while holding velmora::lock, so the
// sink only takes the buffer's own short mutex.  The sink shares the buffer's
// state, so a line logged while the buffer is being destroyed still lands
// safely.  Every member may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::tool {

class LogBuffer {
 public:
  explicit LogBuffer(bool echoToStderr, size_t keep = 64);
  ~LogBuffer();
  LogBuffer(const LogBuffer&) = delete;
  LogBuffer& operator=(const LogBuffer&) = delete;

  // The kept lines, oldest first.
  std::vector<std::string> lines() const;
  // The newest kept line that starts with `prefix`, if any.
  std::optional<std::string> lastStartingWith(std::string_view prefix) const;
  // Packets the framer dropped for a wrong checksum since construction.
  uint64_t checksumErrors() const;

 private:
  struct State {
    bool echo = false;
    size_t keep = 1;
    std::mutex mutex;
    std::deque<std::string> lines;
    uint64_t checksumErrors = 0;
    void add(std::string_view line);
  };
  std::shared_ptr<State> state_;
};

}  // namespace velmora::tool
