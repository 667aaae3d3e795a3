// StopSignal: turns SIGINT, SIGTERM and SIGHUP (a closed terminal, a dropped
// ssh session) into a callback on the main run loop, so that a command can
// disconnect cleanly and save its recordings instead of dying mid-stream.
//
// The signal handler only records the signal and writes an eventfd; the main
// run loop watches the eventfd and calls `onStop` there.  The handlers reset
// themselves after the first signal, so a second Ctrl-C ends a shutdown that
// hangs the usual way.
//
// Threads: construct and destroy on the main thread; `onStop` runs there
// while the main run loop runs.  One StopSignal at a time per process.
#pragma once

#include <signal.h>

#include <functional>

#include "platform/RunLoop.h"

namespace velmora::tool {

class StopSignal {
 public:
  // Installs the handlers.  Throws std::system_error when no eventfd can be
  // had.
  explicit StopSignal(std::function<void(int signal)> onStop);
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Whether SIGINT, SIGTERM or SIGHUP has arrived since a StopSignal was first
  // installed; set by the handler itself, so it is true at once, also while
  // the main thread is busy.  Any thread may ask.
  static bool received();

 private:
  std::function<void(int)> onStop_;
  int fd_ = -1;
  platform::RunLoop::SourceId source_ = 0;
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
  struct sigaction previousHup_ {};
};

}  // namespace velmora::tool
