// Runtime: the thread that runs the library's main run loop for a Python
// process, and the queue that carries the library's log lines to Python.
//
// A Python interpreter runs no run loop of its own, yet the serial ports
// report opens, closes, removals and received chunks on "the main thread",
// the thread that runs the main run loop (platform/RunLoop.h); framing,
// decoding, the analysers and the stream log's rows run there too.  The
// module therefore owns that thread: start() creates it and returns once it
// runs the main loop, so that it is the main thread before the port manager
// is first used.  It lives until shutdown(), which the module calls when the
// interpreter exits.  The thread formats numbers in the C locale whatever
// the process's locale, so the stream log always has a decimal point.
//
// Log lines: the module installs a sink that appends each line to a bounded
// queue (the oldest lines give way beyond kMaxLogLines, and the loss is
// counted); Python takes them with takeLogLines() and hands them to its
// `logging` module.  The sink never touches Python, because the library
// logs from every thread, also while it holds velmora::lock.
//
// fork(): a child process has none of its parent's threads, and its copy of
// the main run loop shares the parent's epoll instance, so the loop cannot
// serve it.  In a child forked after start(), start() refuses (a live
// headset needs the loop) and forkedChild() answers true, so that decode()
// frames on the calling thread instead: in such a child nothing else frames.
//
// Threads: every function may be called from any thread; start() and
// shutdown() block, so Python calls them without the GIL.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velmora::python {

class Runtime {
 public:
  static constexpr size_t kMaxLogLines = 10000;

  // Starts the main-loop thread unless it runs; throws std::runtime_error
  // after shutdown().
  static void start();
  static bool running();
  // Whether the loop was started by another process, of which this one is
  // a forked child.
  static bool forkedChild();
  // Stops the loop and joins its thread (waiting at most about 2 s for the
  // task under way; a loop that does not stop by then is left behind).
  static void shutdown();

  // Installs the queueing log sink.
  static void captureLog();
  // The lines logged since the last call, oldest first; when lines were
  // lost a note saying how many comes first.
  static std::vector<std::string> takeLogLines();
};

}  // namespace velmora::python
