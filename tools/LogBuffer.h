// LogBuffer: the `velmora` tool's sink for the library's log lines.
//
// A live screen or a stream of JSON lines cannot have the library's log lines
// written across it, so a command installs a LogBuffer: it echoes every line
// to stderr only when asked to (--verbose), through ErrorStream, which never
// blocks the thread that logs.  The tool learns what happened from the
// library's values, never from these lines.  Destruction leaves a sink that
// drops every line, as main() installs at start, so that nothing logged
// while the process winds down spills onto the terminal.
//
// Threads: the library logs from any thread (the main thread, the dispatch
// thread, the read loops), some of them while holding velmora::lock; the
// sink only queues the line.  Construct and destroy on the command's thread.
#pragma once

namespace velmora::tool {

class LogBuffer {
 public:
  explicit LogBuffer(bool echoToStderr);
  ~LogBuffer();
  LogBuffer(const LogBuffer&) = delete;
  LogBuffer& operator=(const LogBuffer&) = delete;
};

}  // namespace velmora::tool
