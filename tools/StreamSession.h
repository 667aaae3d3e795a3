// StreamSession: one streaming session of the `velmora` tool, shared by
// `velmora stream` and `velmora demo`.  It owns the accessory object,
// connects it (Connect, or ConnectTo with the port --port names), records if
// asked (from the first successful connect on), runs the main run loop,
// hands every delivered dictionary to a StreamView, and follows the
// headset's link:
//
//  - A refused first connect ends the session at once with a message that
//    names the problem and the fix (ConnectionDiagnosis) and status 1.
//  - Losing the headset (accessoryError 3 or 2, or a close the session did
//    not ask for) is reported; then, with reconnecting on, the session waits
//    for the port manager's "ZPRSerialPortWasConnectedNotification" (a
//    device arrived) and connects again, and also tries every 2 s while a
//    matching port is listed (a device folder may report a quick unplug and
//    re-plug onto the same pty as no change at all).  With reconnecting off
//    the session ends with status 1.  A removal report that arrives while
//    the port is open again belongs to an earlier connection and is ignored;
//    a real loss always ends with the port's close.
//  - SIGINT, SIGTERM and SIGHUP (StopSignal), the --seconds limit, the reader of the
//    view's output going away (EPIPE) or the host's `stopWhen` end it with
//    status 0; any other failure to write the output ends it with status 1.
//    Either way the accessory disconnects, the recording is saved (or left
//    in its folder), "VelmoraApplicationWillTerminateNotification" is posted
//    for the port manager, and the port's close report is awaited briefly.
//    The view's output is written by a thread of its own (Output), so a
//    reader that stalls cannot delay any of this.
//
// Threads: construct, run and destroy on the main thread (the process's
// initial thread), before anything else uses the port manager.  The
// accessory's delegate copies each dictionary on the dispatch thread (which
// holds velmora::lock) and posts it to the main queue; every other event is
// handled on the main thread too, so the session's state needs no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "StreamStats.h"
#include "StreamView.h"
#include "VelmoraEdfRecorder.h"
#include "VelmoraObjC.h"
#include "host/PortChoice.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

namespace velmora::tool {

// What a session does.  Commands fill in what their options ask for; a new
// option that changes the session adds a field here with a default that
// keeps today's behaviour.
struct StreamSettings {
  std::string command = "velmora stream";  // prefix of messages
  // The port --port names (connected through its path); none: Connect, the
  // first headset port that opens.
  std::optional<host::PortChoice> port;
  // Stop after this many seconds of running.
  std::optional<double> seconds;
  bool reconnect = true;
  // Record into this folder (startRecording) with `recordFlag`.
  std::optional<std::string> recordDirectory;
  uint8_t recordFlag = 3;
  // On exit copy the recording here (stopRecording); none: leave it.
  std::optional<std::string> saveFile;
  // Also record to this BDF+ (.bdf) or EDF+ (.edf) file (VelmoraEdfRecorder).
  std::optional<std::string> edfFile;
  // Its raw signal in microvolts at this gain (microvolts per count).
  std::optional<double> uvPerCount;
  // Checked a few times a second; true ends the session with status 0.
  std::function<bool()> stopWhen;
  // Whether to end with a line counting what was received (a command that
  // prints a summary of its own turns it off).
  bool countsAtEnd = true;
};

class StreamSession {
 public:
  StreamSession(StreamSettings settings, StreamView& view);
  ~StreamSession();
  StreamSession(const StreamSession&) = delete;
  StreamSession& operator=(const StreamSession&) = delete;

  // Runs the session; returns the process's exit status.  Runs once.
  int run();

  VelmoraObjC& accessory() { return *accessory_; }
  const StreamStats& stats() const { return stats_; }
  // Where stopRecording() saved the recording; empty if it did not.
  const std::string& savedRecording() const { return saved_; }
  // Whether a recording was made and could not be saved (it is still in its
  // folder, which the user is told).
  bool saveFailed() const { return saveFailed_; }
  // The recording's file in its folder; empty when not recording.
  std::string recordingFile() const;
  // Why the session ended (the last message).
  const std::string& endReason() const { return endReason_; }
  // The EDF/BDF recorder while recording to --edf's file, else null.
  VelmoraEdfRecorder* edfRecorder() const { return edf_.get(); }

 private:
  enum class State { Idle, Connecting, Streaming, Waiting, Stopping };
  class Delegate;

  // Events, on the main thread.
  void onConnected(const std::string& name);
  void onDisconnected();
  void onError(int32_t code);
  void onData(double t, const Dictionary& data);
  void onArrival();
  void onTick();

  bool startRecording();
  void finishRecording();
  bool startEdf();
  void finishEdf();
  bool connect();
  void connectFirst();
  void tryReconnect();
  void checkLink(const std::string& reason);
  void lost(const std::string& reason);
  void stop(int status, const std::string& reason);
  void deliverRest();
  void shutdown();
  bool anyPortOpen() const;
  bool matchingPortListed() const;
  void post(std::function<void()> task);

  StreamSettings settings_;
  StreamView& view_;
  std::unique_ptr<VelmoraObjC> accessory_;
  class EdfFeed;
  std::shared_ptr<VelmoraEdfRecorder> edf_;
  std::shared_ptr<EdfFeed> edfFeed_;
  std::shared_ptr<Delegate> delegate_;
  // Tasks posted to the main queue run only while this lives.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);

  State state_ = State::Idle;
  StreamStats stats_;
  bool finished_ = false;
  bool everConnected_ = false;
  int status_ = 0;
  std::string endReason_;
  std::string portName_;
  std::string saved_;
  bool recording_ = false;
  bool saveFailed_ = false;
  std::optional<std::string> lossReason_;        // the removal report that came first
  std::optional<std::string> pendingPortError_;  // shown unless a loss follows
  double pendingPortErrorAt_ = 0.0;
  std::vector<std::string> finalNotes_;  // printed after the view has finished
  uint64_t disconnects_ = 0;             // accessoryDidDisconnect calls seen
  double started_ = 0.0;                 // steady seconds
  double lostAt_ = 0.0;
  double lastRetry_ = 0.0;
  platform::RunLoop::TimerId tickTimer_ = 0;
  platform::NotificationCenter::Token arrivalToken_ = 0;
  bool observing_ = false;
};

}  // namespace velmora::tool
