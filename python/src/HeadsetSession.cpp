#include "HeadsetSession.h"

#include <chrono>
#include <thread>

#include "ConnectAdvice.h"
#include "Convert.h"
#include "Runtime.h"
#include "ZPRSerialPort.h"
#include "host/PortChoice.h"
#include "platform/MainQueue.h"

namespace velmora::python {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSignalCheck = std::chrono::milliseconds(50);
constexpr auto kRetryPause = std::chrono::milliseconds(100);
constexpr auto kReconnectPause = std::chrono::milliseconds(500);

double epochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool anyPortOpen() {
  for (const auto& port : ZPRSerialPort::allSerialPorts()) {
    if (port->isOpen()) return true;
  }
  return false;
}

// `text` as Python decodes file names: bytes that are no UTF-8 (a port's
// or a folder's name) survive as surrogate escapes.
py::str fsText(const std::string& text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  return py::reinterpret_steal<py::str>(PyUnicode_DecodeFSDefaultAndSize(text.data(), size));
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetObject(type, fsText(message).ptr());
  throw py::error_already_set();
}

size_t rawSamplesOf(const Dictionary& data) {
  const auto raw = data.find("raw");
  return raw != data.end() && raw->second.isArray() ? raw->second.asArray().size() : 0;
}

// Runs a pending Python signal handler (Ctrl-C raises KeyboardInterrupt).
void checkSignals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace

// Copies and queues; never touches Python (see the header).
class HeadsetSession::Delegate : public VelmoraDelegate {
 public:
  explicit Delegate(std::shared_ptr<Queue> queue) : queue_(std::move(queue)) {}

  void accessoryDidConnect(const std::string& name) override {
    queue_->push({Event::Kind::Connected, epochSeconds(), {}, name, 0});
  }
  void accessoryDidDisconnect() override {
    // A refused attempt reports on the connecting thread; close() reports
    // its own disconnect: neither is a lost link.
    if (queue_->attempting.load() || queue_->closing.load()) return;
    queue_->push({Event::Kind::Disconnected, epochSeconds(), {}, {}, 0}, true);
  }
  void accessoryError(int32_t code) override {
    if (code != 0 && !queue_->closing.load()) queue_->lossCode = code;
    // 2: the headset was switched off; no close report follows.
    queue_->push({Event::Kind::Error, epochSeconds(), {}, {}, code}, code == 2);
  }
  void dataReceived(const Dictionary& data) override {
    queue_->push({Event::Kind::Data, epochSeconds(), data, {}, 0});
  }

 private:
  const std::shared_ptr<Queue> queue_;
};

void HeadsetSession::Queue::push(Event event, bool linkLost) {
  std::lock_guard<std::mutex> g(mutex);
  if (event.kind == Event::Kind::Data) {
    event.samples = rawSamplesOf(event.data);
    samples += event.samples;
  }
  events.push_back(std::move(event));
  for (auto it = events.begin(); samples > maxSamples && it != events.end();) {
    if (it->kind != Event::Kind::Data) {
      ++it;
      continue;
    }
    samples -= it->samples;
    it = events.erase(it);
  }
  if (linkLost) lost = true;
  changed.notify_all();
}

HeadsetSession::HeadsetSession(const HeadsetSettings& settings) : delegate_(std::make_shared<Delegate>(queue_)) {
  {
    py::gil_scoped_release release;
    Runtime::start();
    // Construction installs a fresh velmora::lock, which waits for a holder.
    accessory_ = std::make_unique<VelmoraObjC>();
  }
  accessory_->setDispatchInterval(settings.dispatchInterval);
  accessory_->setDelegate(delegate_);
  reconnect_ = settings.reconnect;
  queue_->maxSamples = settings.bufferCapacity;
  if (settings.edfFile) {
    VelmoraEdfRecorder::Settings edf;
    edf.format = VelmoraEdfRecorder::formatForPath(*settings.edfFile).value_or(VelmoraEdfRecorder::Format::Bdf);
    edf.uvPerCount = settings.uvPerCount;
    edf_ = std::make_shared<VelmoraEdfRecorder>();
    bool opened = false;
    {
      py::gil_scoped_release release;
      opened = edf_->open(*settings.edfFile, edf);
    }
    if (!opened) {
      const std::string why = "cannot record to " + *settings.edfFile + ": " + edf_->error();
      edf_.reset();
      {
        py::gil_scoped_release release;
        shutDown();
      }
      raise(PyExc_OSError, why);
    }
  }
  // Before the connect, so that the buffer sees the first open and sample.
  buffer_ = std::make_shared<DataBuffer>(settings.bufferCapacity, edf_);
  accessory_->setStreamListener(buffer_);
  if (settings.recordDirectory) {
    bool started = false;
    {
      py::gil_scoped_release release;
      started = accessory_->startRecording(*settings.recordDirectory, settings.recordFlag);
    }
    if (!started) {
      const VelmoraRecordingStatus status = accessory_->recordingStatus();
      const std::string why = (status.error.empty() ? "cannot record to " + *settings.recordDirectory : status.error) +
                              "; check that the folder is writable";
      if (status.errorCode == 0) raise(PyExc_OSError, why);
      // OSError(errno, text): Python picks the subclass (PermissionError, ...).
      PyErr_SetObject(PyExc_OSError, py::make_tuple(status.errorCode, fsText(why)).ptr());
      throw py::error_already_set();
    }
    recording_ = true;
    recordingPath_ = accessory_->logFilePath();
  }

  // `port` names a port as `velmora stream --port` does: a listed name or
  // any path of the port's device, resolved afresh at every attempt.
  if (settings.port) choice_.emplace(*settings.port);
  const auto deadline = deadlineAfter(settings.connectTimeout);
  for (;;) {
    bool opened = false;
    {
      py::gil_scoped_release release;
      opened = connectOnce();
    }
    if (opened) {
      connected_ = true;
      return;
    }
    if (Clock::now() >= deadline) break;
    {
      py::gil_scoped_release release;
      std::this_thread::sleep_for(kRetryPause);
    }
    try {
      checkSignals();
    } catch (...) {
      shutDown();
      throw;
    }
  }
  std::string why;
  {
    py::gil_scoped_release release;
    shutDown();
    why = connectAdvice(choice_);
  }
  raise(PyExc_ConnectionError, why);
}

bool HeadsetSession::connectOnce() {
  std::lock_guard<std::mutex> g(mutex_);
  if (!accessory_) return false;
  queue_->attempting = true;
  if (!choice_) {
    accessory_->Connect();
  } else if (auto path = choice_->connectPath()) {
    accessory_->ConnectTo(*path);
  }
  queue_->attempting = false;
  return accessory_->connected();
}

HeadsetSession::~HeadsetSession() {
  // The dispatch thread never needs the GIL, so the join cannot deadlock.
  shutDown();
}

py::tuple HeadsetSession::next(std::optional<double> timeout) {
  const auto deadline = deadlineAfter(timeout);
  for (;;) {
    std::optional<Event> event;
    bool ended = false;
    {
      py::gil_scoped_release release;
      std::unique_lock<std::mutex> g(queue_->mutex);
      const auto until = std::min(deadline, Clock::now() + kSignalCheck);
      queue_->changed.wait_until(g, until, [&] { return !queue_->events.empty() || queue_->closed || queue_->lost; });
      if (!queue_->events.empty()) {
        event = std::move(queue_->events.front());
        queue_->events.pop_front();
        queue_->samples -= event->samples;
      } else {
        ended = queue_->closed || queue_->lost;
      }
    }
    if (event) {
      switch (event->kind) {
        case Event::Kind::Data: {
          py::dict values = toDict(event->data);
          values["t"] = event->t;
          return py::make_tuple("data", values);
        }
        case Event::Kind::Connected: return py::make_tuple("connect", event->name);
        case Event::Kind::Disconnected: return py::make_tuple("disconnect", py::none());
        case Event::Kind::Error: return py::make_tuple("error", event->code);
      }
    }
    if (ended) return py::make_tuple("end", py::none());
    checkSignals();
    if (Clock::now() >= deadline) return py::make_tuple("timeout", py::none());
  }
}

py::dict HeadsetSession::read(std::optional<size_t> samples, std::optional<double> timeout) {
  const auto deadline = deadlineAfter(timeout);
  auto lastAttempt = Clock::now();
  bool ended = false;
  bool lost = false;
  for (;;) {
    {
      py::gil_scoped_release release;
      if (samples) buffer_->waitFor(*samples, std::min(deadline, Clock::now() + kSignalCheck));
      {
        std::lock_guard<std::mutex> g(queue_->mutex);
        lost = queue_->lost && !queue_->closed;
        ended = queue_->closed || (lost && !reconnect_);
      }
      if (lost && reconnect_ && anyPortOpen()) {
        // The loss report belonged to a port this session no longer uses.
        std::lock_guard<std::mutex> g(queue_->mutex);
        queue_->lost = false;
        lost = false;
      } else if (lost && reconnect_ && Clock::now() - lastAttempt >= kReconnectPause) {
        lastAttempt = Clock::now();
        // A lost port stays the accessory's until Disconnect releases it.
        {
          std::lock_guard<std::mutex> g(mutex_);
          if (accessory_) {
            queue_->attempting = true;
            accessory_->Disconnect();
            queue_->attempting = false;
          }
        }
        if (connectOnce()) {
          std::lock_guard<std::mutex> g(queue_->mutex);
          queue_->lost = false;
          queue_->lossCode = -1;
          lost = false;
        }
      }
    }
    if (!samples || buffer_->available() >= *samples || ended || Clock::now() >= deadline) break;
    checkSignals();
  }
  DataBuffer::Chunk chunk;
  {
    py::gil_scoped_release release;
    chunk = buffer_->take(samples, ended);
  }
  py::dict out;
  out["raw"] = toArray(chunk.raw);
  out["t"] = toArray(chunk.t);
  py::dict series;
  for (size_t i = 0; i < DataBuffer::kSeriesCount; ++i) {
    const char* name = i < DataBuffer::kValueKeys.size() ? DataBuffer::kValueKeys[i]
                       : i == DataBuffer::kBlinks   ? "blinks"
                       : i == DataBuffer::kRr       ? "rr"
                                                    : "heart_rate";
    series[name] = py::make_tuple(toArray(chunk.series[i].t), toArray(chunk.series[i].value));
  }
  out["series"] = series;
  py::list texts;
  for (const std::string& text : chunk.markerTexts) texts.append(py::str(text));
  out["markers"] = py::make_tuple(toArray(chunk.markerTimes), texts);
  out["gaps"] = py::make_tuple(toArray(chunk.gapStarts), toArray(chunk.gapEnds));
  out["lost"] = ended && lost;
  return out;
}

double HeadsetSession::annotate(const std::string& text) {
  const double t = buffer_->annotate(text);
  if (edf_) edf_->annotate(text);
  return t;
}

std::string HeadsetSession::lossReason() const {
  {
    std::lock_guard<std::mutex> g(queue_->mutex);
    if (!queue_->lost || queue_->closed) return {};
  }
  switch (queue_->lossCode.load()) {
    case 2: return "the headset was switched off";
    case 3: return "its port was removed (unplugged, switched off or out of range)";
    default: return "its port closed";
  }
}

std::string HeadsetSession::recordingError() const {
  if (!recording_) return {};
  VelmoraRecordingStatus status;
  {
    std::lock_guard<std::mutex> g(mutex_);
    status = accessory_ ? accessory_->recordingStatus() : finalRecording_;
  }
  if (!status.error.empty()) return status.error;
  if (status.rowsLost > 0) return std::to_string(status.rowsLost) + " rows could not be written to " + status.path;
  return {};
}

std::string HeadsetSession::closeError() const {
  std::lock_guard<std::mutex> g(mutex_);
  return closeError_;
}

bool HeadsetSession::connected() const {
  {
    std::lock_guard<std::mutex> g(queue_->mutex);
    if (queue_->lost || queue_->closed) return false;
  }
  std::lock_guard<std::mutex> g(mutex_);
  return accessory_ && accessory_->connected();
}

void HeadsetSession::close() {
  py::gil_scoped_release release;
  shutDown();
}

void HeadsetSession::shutDown() {
  std::unique_ptr<VelmoraObjC> accessory;
  {
    std::lock_guard<std::mutex> g(mutex_);
    accessory = std::move(accessory_);
  }
  if (!accessory) return;
  queue_->closing = true;
  if (buffer_) buffer_->endSession();
  // A disconnect closes the first open headset port it finds: only one that
  // this session opened.
  if (connected_) accessory->Disconnect();
  // Decoding runs on the main-loop thread: taking the rest there, after the
  // chunks queued before the close, loses nothing that was decoded, and
  // stopping the recording in the same task keeps the file and the
  // deliveries equal.
  Dictionary rest;
  VelmoraRecordingStatus status;
  auto finish = [&] {
    rest = accessory->takeData();
    if (recording_) accessory->stopRecording();
    status = accessory->recordingStatus();
  };
  if (Runtime::running()) {
    platform::MainQueue::sync(finish);
  } else {
    finish();
  }
  accessory.reset();
  if (recording_) {
    std::lock_guard<std::mutex> g(mutex_);
    finalRecording_ = status;
    if (status.rowsLost > 0 || status.errorCode != 0) {
      closeError_ = "the recording " + status.path + " lost " + std::to_string(status.rowsLost) + " rows (" +
                    std::to_string(status.rowsWritten) + " kept): " +
                    (status.error.empty() ? "rows could not be written" : status.error);
    }
  }
  finishEdf();
  std::lock_guard<std::mutex> g(queue_->mutex);
  if (!rest.empty()) queue_->events.push_back({Event::Kind::Data, epochSeconds(), std::move(rest), {}, 0});
  queue_->closed = true;
  queue_->changed.notify_all();
}

void HeadsetSession::finishEdf() {
  if (!edf_) return;
  if (!edf_->close()) {
    std::lock_guard<std::mutex> g(mutex_);
    if (!closeError_.empty()) closeError_ += "; ";
    closeError_ += "the EDF/BDF recording " + edf_->path() + " is incomplete: " + edf_->error();
  }
}

}  // namespace velmora::python
