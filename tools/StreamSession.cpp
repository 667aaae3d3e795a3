#include "StreamSession.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ConnectAdvice.h"
#include "ErrorStream.h"
#include "StopSignal.h"
#include "ZPRSerialPort.h"
#include "ZPRSerialPortManager.h"
#include "host/ConnectionDiagnosis.h"
#include "platform/MainQueue.h"

namespace velmora::tool {
namespace {

using platform::MainQueue;
using platform::RunLoop;

constexpr auto kTickInterval = std::chrono::milliseconds(200);
constexpr double kRetrySeconds = 2.0;
constexpr double kPortErrorDelay = 0.5;

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double epochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", s);
  return text;
}

}  // namespace

// Turns the accessory's callbacks into tasks on the main queue.  dataReceived
// runs on the dispatch thread with velmora::lock held: it only copies the
// dictionary and posts it.
class StreamSession::Delegate : public VelmoraDelegate {
 public:
  Delegate(StreamSession* session, std::weak_ptr<int> alive) : session_(session), alive_(std::move(alive)) {}

  void accessoryDidConnect(const std::string& name) override {
    post([s = session_, name] { s->onConnected(name); });
  }
  void accessoryDidDisconnect() override {
    post([s = session_] { s->onDisconnected(); });
  }
  void accessoryError(int32_t code) override {
    post([s = session_, code] { s->onError(code); });
  }
  void dataReceived(const Dictionary& data) override {
    post([s = session_, t = epochSeconds(), copy = data] { s->onData(t, copy); });
  }

 private:
  void post(std::function<void()> task) {
    MainQueue::async([alive = alive_, task = std::move(task)] {
      if (alive.lock()) task();
    });
  }

  StreamSession* const session_;
  const std::weak_ptr<int> alive_;
};

// Hands the decoded stream to the EDF/BDF recorder, and the link's changes
// until the session stops: the close of the port that the session's own stop
// brings about is no loss of the headset, and must not be annotated as one.
// Called on the main thread (the framing thread), as the session is.
class StreamSession::EdfFeed : public VelmoraStreamListener {
 public:
  explicit EdfFeed(std::shared_ptr<VelmoraEdfRecorder> recorder) : recorder_(std::move(recorder)) {}
  void stopping() { stopping_.store(true); }

  void rawSampleDecoded(int32_t sample, int32_t blinkStrength, int32_t rrIntervalMs) override {
    recorder_->rawSampleDecoded(sample, blinkStrength, rrIntervalMs);
  }
  void valueDecoded(const std::string& key, int32_t value) override { recorder_->valueDecoded(key, value); }
  void linkChanged(Link change, const std::string& portName) override {
    if (!stopping_.load()) recorder_->linkChanged(change, portName);
  }

 private:
  const std::shared_ptr<VelmoraEdfRecorder> recorder_;
  std::atomic<bool> stopping_{false};
};

StreamSession::StreamSession(StreamSettings settings, StreamView& view)
    : settings_(std::move(settings)), view_(view), accessory_(std::make_unique<VelmoraObjC>()) {
  delegate_ = std::make_shared<Delegate>(this, alive_);
  accessory_->setDelegate(delegate_);
}

StreamSession::~StreamSession() {
  // The accessory's dispatch thread ends here; whatever it and the port
  // posted meanwhile finds alive_ expired.
  accessory_.reset();
  alive_.reset();
  RunLoop::main().drain();
}

std::string StreamSession::recordingFile() const { return recording_ ? accessory_->logFilePath() : std::string(); }

void StreamSession::post(std::function<void()> task) {
  MainQueue::async([alive = std::weak_ptr<int>(alive_), task = std::move(task)] {
    if (alive.lock()) task();
  });
}

int StreamSession::run() {
  started_ = steadySeconds();
  StopSignal stopSignal(
      [this](int signal) {
        stop(0, signal == SIGTERM  ? "Stopped by SIGTERM."
                : signal == SIGHUP ? "Stopped by SIGHUP."
                                   : "Stopped (Ctrl-C).");
      });
  // The manager posts arrivals on the main thread while it handles a device
  // event; the reconnect waits until the callbacks already queued have run.
  arrivalToken_ = platform::NotificationCenter::shared().addObserver(
      ZPRSerialPortsWereConnectedNotification,
      [this](const platform::Notification&) { post([this] { onArrival(); }); });
  observing_ = true;

  // Recording starts once the headset is connected, so that a refused
  // connect leaves an earlier log in the folder (and the --save target) as
  // it was.  No row is lost: what the port receives is decoded only once the
  // main run loop runs, below.
  connectFirst();
  if (!finished_ && settings_.recordDirectory) startRecording();
  if (!finished_ && settings_.edfFile) startEdf();
  if (!finished_) {
    tickTimer_ = RunLoop::main().addTimer(kTickInterval, [this] { onTick(); });
    view_.tick(stats_);
  }
  while (!finished_) RunLoop::main().runUntil([this] { return finished_; }, std::chrono::seconds(1));
  shutdown();
  return status_;
}

bool StreamSession::startRecording() {
  const std::string& directory = *settings_.recordDirectory;
  if (!accessory_->startRecording(directory, settings_.recordFlag)) {
    const std::string why = accessory_->recordingStatus().reason;
    stop(1, "Cannot record to " + directory + (why.empty() ? "" : ": " + why) + ".");
    return false;
  }
  recording_ = true;
  return true;
}

void StreamSession::finishRecording() {
  if (!recording_) return;
  recording_ = false;
  const std::string file = accessory_->logFilePath();
  // Any row lost at any point of the recording is reported, with how much
  // the file kept.
  if (const VelmoraRecordingStatus written = accessory_->recordingStatus();
      written.rowsLost > 0 || written.errorCode != 0) {
    finalNotes_.push_back("Rows were lost from the recording: " +
                          (written.error.empty() ? "cannot write to " + file : written.error) + ". It kept " +
                          std::to_string(written.rowsWritten) + " rows; " + std::to_string(written.rowsLost) +
                          " were lost. Free some space or record to another folder.");
    if (status_ == 0) status_ = 1;
  }
  if (!settings_.saveFile) {
    accessory_->stopRecording();
    finalNotes_.push_back("The recording is in " + file + ".");
    return;
  }
  const std::string& destination = *settings_.saveFile;
  if (!accessory_->stopRecording(destination)) {
    saveFailed_ = true;
    std::string why = accessory_->recordingStatus().error;
    if (why.empty()) why = "cannot save the log file to " + destination;
    finalNotes_.push_back("Could not save the recording: " + why + ". It is still in " + file +
                          "; copy it from there.");
    if (status_ == 0) status_ = 1;
    return;
  }
  saved_ = destination;
  finalNotes_.push_back("Saved the recording to " + destination + ".");
}

bool StreamSession::startEdf() {
  const std::string& file = *settings_.edfFile;
  VelmoraEdfRecorder::Settings edf;
  edf.format = VelmoraEdfRecorder::formatForPath(file).value_or(VelmoraEdfRecorder::Format::Bdf);
  edf.uvPerCount = settings_.uvPerCount;
  edf_ = std::make_shared<VelmoraEdfRecorder>();
  if (!edf_->open(file, edf)) {
    stop(1, "Cannot record to " + file + ": " + edf_->error() + ".");
    edf_.reset();
    return false;
  }
  edfFeed_ = std::make_shared<EdfFeed>(edf_);
  accessory_->setStreamListener(edfFeed_);
  return true;
}

// Closes the EDF/BDF recording, padding its last second; on the way out of
// every session, Ctrl-C, SIGTERM and SIGHUP included.
void StreamSession::finishEdf() {
  if (!edf_) return;
  const bool complete = edf_->close();
  // What the file holds: after a write failure, less than what arrived.
  const double seconds = static_cast<double>(edf_->samplesInFile()) / VelmoraEdfRecorder::kSampleRate;
  if (edf_->recordsWritten() == 0) {
    finalNotes_.push_back("No samples arrived, so " + edf_->path() + " was not written.");
  } else {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    finalNotes_.push_back(std::string("Recorded ") + text + " of headset data to " + edf_->path() + ".");
  }
  if (!complete) {
    finalNotes_.push_back("The EDF/BDF recording is incomplete: " + edf_->error() + ".");
    if (status_ == 0) status_ = 1;
  }
}

bool StreamSession::connect() {
  if (!settings_.port) {
    accessory_->Connect();
  } else if (auto path = settings_.port->connectPath()) {
    accessory_->ConnectTo(*path);
  } else {
    return false;  // not listed (yet)
  }
  return accessory_->connected();
}

void StreamSession::connectFirst() {
  state_ = State::Connecting;
  view_.message("Connecting...", StreamView::Tone::Info);
  if (connect()) {
    state_ = State::Streaming;
    everConnected_ = true;
    return;
  }
  state_ = State::Idle;
  stop(1, connectAdvice(settings_.port, accessory_->lastConnectAttempts()));
}

void StreamSession::tryReconnect() {
  if (state_ != State::Waiting) return;
  state_ = State::Connecting;
  if (connect()) {
    state_ = State::Streaming;
    lossReason_.reset();
  } else {
    state_ = State::Waiting;
  }
}

bool StreamSession::anyPortOpen() const {
  for (const auto& port : ZPRSerialPort::allSerialPorts()) {
    if (port->isOpen()) return true;
  }
  return false;
}

bool StreamSession::matchingPortListed() const {
  for (const auto& p : host::ConnectionDiagnosis::ports(settings_.port)) {
    if (p.candidate) return true;
  }
  return false;
}

void StreamSession::onConnected(const std::string& name) {
  portName_ = name;
  view_.connected(name);
  if (lostAt_ > 0.0) {
    view_.message("The headset is back: reconnected to " + name + " after " + seconds(steadySeconds() - lostAt_) + ".",
                  StreamView::Tone::Info);
  } else {
    view_.message("Connected to " + name + ".", StreamView::Tone::Info);
  }
}

void StreamSession::onDisconnected() {
  ++disconnects_;
  if (state_ == State::Streaming) checkLink(lossReason_.value_or("its port closed."));
}

void StreamSession::onError(int32_t code) {
  if (state_ != State::Streaming) return;
  switch (code) {
    case 0: {
      std::string text = "Port error";
      if (const auto error = accessory_->lastPortError()) {
        text = "Port error on " + (portName_.empty() ? error->filePath : portName_ + " (" + error->filePath + ")") +
               ": " + error->localizedDescription;
      }
      text += ". Streaming goes on; if it stops, switch the headset off and on or plug it in again.";
      // Shown a moment later if the link survives it: a removal reports an
      // error first, and then the loss says it all.
      pendingPortError_ = text;
      pendingPortErrorAt_ = steadySeconds();
      return;
    }
    case 2: lost("the headset was switched off."); return;
    default:
      lossReason_ = "its port was removed (unplugged, switched off or out of range).";
      checkLink(*lossReason_);
      return;
  }
}

// A removal or close report means the link is gone unless the port is open
// again: such a report belongs to an earlier connection.  Decided after the
// callbacks already queued have run, so that the port's own close is seen.
void StreamSession::checkLink(const std::string& reason) {
  post([this, reason] {
    if (state_ != State::Streaming || anyPortOpen()) return;
    lost(reason);
  });
}

void StreamSession::lost(const std::string& reason) {
  pendingPortError_.reset();
  lostAt_ = steadySeconds();
  lastRetry_ = lostAt_;
  state_ = settings_.reconnect ? State::Waiting : State::Stopping;
  accessory_->Disconnect();
  view_.disconnected();
  if (!settings_.reconnect) {
    stop(1, "Lost the headset: " + reason + " Not waiting for it, as --no-reconnect asks.");
    return;
  }
  view_.message("Lost the headset: " + reason + " Waiting for it to come back; Ctrl-C stops.",
                StreamView::Tone::Problem);
}

void StreamSession::onData(double t, const Dictionary& data) {
  stats_.add(t, data);
  view_.data(t, data, stats_);
}

void StreamSession::onArrival() {
  if (state_ == State::Waiting) tryReconnect();
}

void StreamSession::onTick() {
  tickTimer_ = 0;
  if (finished_) return;
  const double now = steadySeconds();
  if (settings_.seconds && now - started_ >= *settings_.seconds) {
    stop(0, "Stopped after " + seconds(now - started_) + ".");
  } else if (const int err = view_.outputError(); err == EPIPE) {
    stop(0, "The output was closed.");
  } else if (err != 0) {
    stop(1, std::string("Cannot write the output: ") + std::strerror(err) + ".");
  } else if (settings_.stopWhen && settings_.stopWhen()) {
    stop(0, "");
  } else if (state_ == State::Waiting && now - lastRetry_ >= kRetrySeconds) {
    lastRetry_ = now;
    if (matchingPortListed()) tryReconnect();
  }
  if (pendingPortError_ && state_ == State::Streaming && now - pendingPortErrorAt_ >= kPortErrorDelay) {
    view_.message(*pendingPortError_, StreamView::Tone::Problem);
    pendingPortError_.reset();
  }
  if (finished_) return;
  view_.tick(stats_);
  tickTimer_ = RunLoop::main().addTimer(kTickInterval, [this] { onTick(); });
}

void StreamSession::stop(int status, const std::string& reason) {
  if (finished_) return;
  finished_ = true;
  status_ = status;
  endReason_ = reason;
}

// What was decoded before the stop reaches the view, as it would have at the
// next delivery: first the chunks and deliveries already queued on the main
// queue, then what the decoder collected since the last delivery.  The rest
// is posted behind whatever a delivery under way posted before it let go of
// the dictionary, so that the samples stay in order.
void StreamSession::deliverRest() {
  RunLoop::main().drain();
  Dictionary rest = accessory_->takeData();
  if (!rest.empty()) post([this, t = epochSeconds(), rest = std::move(rest)] { onData(t, rest); });
  RunLoop::main().drain();
}

void StreamSession::shutdown() {
  if (tickTimer_ != 0) RunLoop::main().cancelTimer(tickTimer_);
  tickTimer_ = 0;
  state_ = State::Stopping;
  if (edfFeed_) edfFeed_->stopping();
  const bool portOpen = anyPortOpen();
  uint64_t expected = disconnects_;
  if (accessory_->connected() || portOpen) {
    accessory_->Disconnect();
    // Its own accessoryDidDisconnect, and the port's close report.
    expected += portOpen ? 2 : 1;
  }
  deliverRest();
  finishRecording();
  finishEdf();
  platform::Notification terminate;
  terminate.name = platform::kApplicationWillTerminateNotification;
  platform::NotificationCenter::shared().post(terminate);
  RunLoop::main().runUntil([&] { return disconnects_ >= expected; }, std::chrono::seconds(1));
  if (observing_) platform::NotificationCenter::shared().removeObserver(arrivalToken_);
  observing_ = false;

  if (everConnected_ && settings_.countsAtEnd) {
    finalNotes_.insert(finalNotes_.begin(), "Received " + std::to_string(stats_.samples) + " samples in " +
                                                std::to_string(stats_.deliveries) + " deliveries, " +
                                                std::to_string(stats_.blinks) + " blinks, " +
                                                std::to_string(stats_.beats) + " heartbeats.");
  }
  view_.finish(stats_);
  std::fflush(stdout);
  if (!endReason_.empty()) ErrorStream::say(settings_.command, endReason_);
  for (const std::string& note : finalNotes_) ErrorStream::say(settings_.command, note);
}

}  // namespace velmora::tool
