// StreamView: how a streaming session shows what happens.  Two views exist:
// LiveView (a one-screen terminal display) and JsonLinesView (one JSON line
// per delivered dictionary on stdout, messages on stderr).
//
// Threads: the session calls every member on the main thread.
#pragma once

#include <string>

#include "StreamStats.h"
#include "Value.h"

namespace velmora::tool {

class StreamView {
 public:
  enum class Tone { Info, Problem };

  virtual ~StreamView() = default;
  // The headset's port `name` reported its open.
  virtual void connected(const std::string& name) = 0;
  // The headset was lost; the session waits for it (or ends).
  virtual void disconnected() {}
  // One delivered dictionary (t: seconds since the epoch when it was
  // delivered); `stats` already includes it.
  virtual void data(double t, const Dictionary& data, const StreamStats& stats) = 0;
  // A status message for the user (connected, lost, waiting, ...).
  virtual void message(const std::string& text, Tone tone) = 0;
  // Called a few times a second while the session runs.
  virtual void tick(const StreamStats& stats) = 0;
  // The session has ended; the view restores whatever it changed.
  virtual void finish(const StreamStats& stats) = 0;
  // 0 while the view's output can be written; else the errno of the write
  // that failed (EPIPE: the reader went away).
  virtual int outputError() const { return 0; }
};

}  // namespace velmora::tool
