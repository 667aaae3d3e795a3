#include "HeadsetSession.h"

#include <chrono>
#include <thread>

#include "ConnectAdvice.h"
#include "Convert.h"
#include "Runtime.h"
#include "host/PortChoice.h"
#include "platform/MainQueue.h"

namespace velmora::python {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSignalCheck = std::chrono::milliseconds(50);
constexpr auto kRetryPause = std::chrono::milliseconds(100);

double epochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
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
  events.push_back(std::move(event));
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
  if (settings.recordDirectory) {
    bool started = false;
    {
      py::gil_scoped_release release;
      started = accessory_->startRecording(*settings.recordDirectory, settings.recordFlag);
    }
    if (!started) {
      // The library says why in its log: "VLAccessory: cannot record to PATH: REASON".
      constexpr std::string_view kPrefix = "VLAccessory: ";
      std::string why = Runtime::lastLogLine(std::string(kPrefix) + "cannot record to ");
      why = why.empty() ? "cannot record to " + *settings.recordDirectory : why.substr(kPrefix.size());
      raise(PyExc_OSError, why + "; check that the folder is writable");
    }
    recording_ = true;
    recordingPath_ = accessory_->logFilePath();
  }

  // `port` names a port as `velmora stream --port` does: a listed name or
  // any path of the port's device, resolved afresh at every attempt.
  std::optional<host::PortChoice> choice;
  if (settings.port) choice.emplace(*settings.port);
  const auto deadline = deadlineAfter(settings.connectTimeout);
  for (;;) {
    {
      py::gil_scoped_release release;
      queue_->attempting = true;
      if (!choice) {
        accessory_->Connect();
      } else if (auto path = choice->connectPath()) {
        accessory_->ConnectTo(*path);
      }
      queue_->attempting = false;
    }
    if (accessory_->connected()) {
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
    why = connectAdvice(choice);
  }
  raise(PyExc_ConnectionError, why);
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
  // A disconnect closes the first open headset port it finds: only one that
  // this session opened.
  if (connected_) accessory->Disconnect();
  // Decoding runs on the main-loop thread: taking the rest there, after the
  // chunks queued before the close, loses nothing that was decoded, and
  // stopping the recording in the same task keeps the file and the
  // deliveries equal.
  Dictionary rest;
  auto finish = [&] {
    rest = accessory->takeData();
    if (recording_) accessory->stopRecording();
  };
  if (Runtime::running()) {
    platform::MainQueue::sync(finish);
  } else {
    finish();
  }
  accessory.reset();
  std::lock_guard<std::mutex> g(queue_->mutex);
  if (!rest.empty()) queue_->events.push_back({Event::Kind::Data, epochSeconds(), std::move(rest), {}, 0});
  queue_->closed = true;
  queue_->changed.notify_all();
}

}  // namespace velmora::python
