// HeadsetSession: one live headset stream for Python (velmora.Headset).
//
// It owns an accessory object, connects it (Connect, or ConnectTo with the
// path of the port `port` names), optionally records, and turns the
// accessory's delegate calls into events on a queue that Python takes one
// by one with next().
// The delegate only copies and queues: dataReceived() runs on the dispatch
// thread while the library holds velmora::lock, and accessoryDidConnect()
// and the port's reports run on the module's main-loop thread (Runtime.h);
// none of them touches Python.  Python code therefore never runs while the
// library holds the lock, and a slow or failing consumer never holds up the
// library: the queue keeps every delivery, in order, until it is taken.
//
// The link counts as lost once the port reports its close (or the headset
// is reported switched off) without close() having been asked for; the
// accessory object stays connected until close(), as the library leaves it,
// but connected() answers false and next() ends once the queue is empty.
// close() disconnects, takes what was decoded but not yet delivered (on the
// main-loop thread, where decoding runs, so that nothing decoded before the
// close is lost), stops the recording (leaving the file in its folder) and
// destroys the accessory object.
//
// The same stream also reaches a DataBuffer, the accessory's stream
// listener, as columns on the headset's sample clock, which read() hands
// over as arrays; an EDF/BDF recorder, when asked for, listens behind it.
// With `reconnect`, read() connects again while the link is lost; the
// buffer notes the gap.
//
// Bounds: besides the DataBuffer's, the delivery queue keeps at most as
// many raw samples; beyond that its oldest deliveries give way (only a host
// that stops iterating deliveries(), using read() instead, falls that far
// behind).
//
// Threads: Python threads call every member with the GIL held; the members
// release it while they block and check for signals (Ctrl-C) at least every
// 50 ms while they wait.  close() may come from another thread than the one
// iterating; next() then ends.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "DataBuffer.h"
#include "host/PortChoice.h"
#include "VelmoraEdfRecorder.h"
#include "VelmoraObjC.h"

namespace velmora::python {

namespace py = pybind11;

struct HeadsetSettings {
  // The port as `velmora stream --port` names it (host::PortChoice: a
  // listed name or a path of its device), looked up at every attempt;
  // none: Connect.
  std::optional<std::string> port;
  // Record into this folder with `recordFlag`; none: no recording.
  std::optional<std::string> recordDirectory;
  uint8_t recordFlag = 3;
  double dispatchInterval = 0.02;
  // Also record to this BDF+ (.bdf) or EDF+ (.edf) file.
  std::optional<std::string> edfFile;
  // The headset's gain: the EDF/BDF file then stores microvolts.
  std::optional<double> uvPerCount;
  // Raw samples kept for read() while the host does not take them.
  size_t bufferCapacity = DataBuffer::kDefaultCapacity;
  // read() connects again while the link is lost (every kReconnectPause).
  bool reconnect = false;
  // How long to keep trying while no headset port opens (a port published a
  // moment ago may not be listed yet); 0: one attempt.
  double connectTimeout = 0.0;
};

class HeadsetSession {
 public:
  // Connects.  Raises ConnectionError (with what the ports show) when no
  // port opened in time, OSError when the recording cannot start.
  explicit HeadsetSession(const HeadsetSettings& settings);
  ~HeadsetSession();
  HeadsetSession(const HeadsetSession&) = delete;
  HeadsetSession& operator=(const HeadsetSession&) = delete;

  // The next event as a pair (kind, value): ("data", dict) with "t" the
  // delivery's time in seconds since 1970; ("connect", port name);
  // ("disconnect", None); ("error", code); ("end", None) once the session is
  // closed or its link lost and every earlier event has been taken;
  // ("timeout", None) when nothing came within `timeout` seconds (none:
  // wait without limit).  Raises KeyboardInterrupt (or what a signal handler
  // raises) while waiting.
  py::tuple next(std::optional<double> timeout);

  // Waits (GIL released, signals checked) until `samples` raw samples are
  // buffered (none: returns at once), `timeout` passes, or the stream ends
  // (closed, or lost without reconnecting); then takes them (or fewer) as
  // a dict of arrays (see DataBuffer::Chunk) with "lost": whether the link
  // is lost and no more will come.
  py::dict read(std::optional<size_t> samples, std::optional<double> timeout);
  // Stamps a marker at the newest sample and adds it to the EDF/BDF file.
  double annotate(const std::string& text);
  uint64_t dropped() const { return buffer_->dropped(); }
  // Why the link was lost: "switched off", "port removed", "port closed";
  // empty while it is not.
  std::string lossReason() const;
  // What close() could not keep: the stream log's or the EDF/BDF file's
  // losses, one sentence each; empty when nothing was lost.
  std::string closeError() const;
  // Why the stream log lost rows or failed ("cannot write to PATH: No space
  // left on device"), from the library's recording status, also after
  // close(); empty while nothing was lost or when not recording.
  std::string recordingError() const;

  bool connected() const;
  // The stream log's path while recording was asked for; empty otherwise.
  std::string recordingPath() const { return recordingPath_; }
  void close();

 private:
  class Delegate;
  struct Event {
    enum class Kind { Data, Connected, Disconnected, Error } kind;
    double t = 0.0;
    Dictionary data;
    std::string name;
    int32_t code = 0;
    size_t samples = 0;  // Data: its raw samples, counted once by Queue::push
  };
  struct Queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Event> events;
    bool closed = false;
    bool lost = false;
    std::atomic<bool> attempting{false};  // a connect attempt is under way
    std::atomic<bool> closing{false};
    std::atomic<int32_t> lossCode{-1};  // the error code that came with the loss; -1: none
    // Raw samples in the queued deliveries, and the most kept: a host
    // that takes neither deliveries nor read() must not grow the queue.
    size_t samples = 0;
    size_t maxSamples = DataBuffer::kDefaultCapacity;
    // Queues `event`; `linkLost` marks the link as gone.
    void push(Event event, bool linkLost = false);
  };

  void shutDown();  // close() without the GIL
  bool connectOnce();  // one Connect/ConnectTo attempt, without the GIL
  void finishEdf();

  std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
  std::optional<host::PortChoice> choice_;
  bool reconnect_ = false;
  std::shared_ptr<VelmoraEdfRecorder> edf_;
  std::shared_ptr<DataBuffer> buffer_;
  std::string closeError_;                  // guarded by mutex_
  VelmoraRecordingStatus finalRecording_;   // at close(); guarded by mutex_
  std::shared_ptr<Delegate> delegate_;
  mutable std::mutex mutex_;  // guards accessory_
  std::unique_ptr<VelmoraObjC> accessory_;
  bool connected_ = false;  // a connect succeeded
  bool recording_ = false;
  std::string recordingPath_;
};

}  // namespace velmora::python
