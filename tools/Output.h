// Output: where a command writes its results (standard output, normally),
// written out by a thread of its own.
//
// A reader that stops reading (a stalled pipe, a terminal paused with Ctrl-S)
// then holds up only that thread: the main thread goes on with the headset
// and with signals, so that a command can stop at once and still save its
// recording.  Up to kLimit bytes wait in memory; beyond that write() waits
// for the reader, as a blocking write would, unless `interrupted` says that
// the command is stopping.
//
// The first write that fails ends the output and error() tells why: EPIPE
// means that the reader went away (`velmora stream | head`), which is a
// normal end; any other errno (a full disk, /dev/full, an I/O error) is a
// failure that the command reports and exits 1 for (report()).  SIGPIPE must
// be ignored for EPIPE to show here (main() does that).
//
// Threads: one thread (the command's, normally the main thread) calls every
// member.  If the reader is still stalled when the Output is destroyed, the
// writer thread is left blocked in its write with the state it shares, and
// the process's exit ends it.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace velmora::tool {

class Output {
 public:
  static constexpr size_t kLimit = size_t{1} << 20;
  // How long finish() waits for a reader that takes nothing once
  // `interrupted` holds.
  static constexpr auto kGrace = std::chrono::milliseconds(300);

  // Writes to `fd` (not owned).  `interrupted`, when given, is asked while
  // waiting for the reader; true stops the waiting.
  explicit Output(int fd = STDOUT_FILENO, std::function<bool()> interrupted = {});
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Queues `text`.  False (and `text` dropped) once the output has ended,
  // or when it had to wait for the reader and was interrupted.
  bool write(std::string text);
  // Waits until everything queued has been written, the output has ended,
  // or, once `interrupted` holds, until the reader has taken nothing for
  // kGrace.  True when everything was written.
  bool finish();

  int fd() const { return fd_; }
  // Bytes queued or being written.
  size_t pending() const;
  // 0 while every write has succeeded; else the errno of the failed write.
  int error() const;
  // The exit status the output allows: 0 when all went well or the reader
  // left; otherwise says "COMMAND: cannot write the output: REASON" on stderr
  // (ErrorStream)
  // and returns 1.
  int report(const std::string& command) const;

 private:
  struct Shared;
  bool interrupted() const { return interrupted_ && interrupted_(); }

  const int fd_;
  const std::function<bool()> interrupted_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace velmora::tool
