#include "VelmoraObjC.h"

#include <cmath>

#include "VLBlink.h"
#include "VLHrv.h"
#include "ZPRSerialPort.h"
#include "internal/DelegateCall.h"
#include "internal/DispatchThread.h"
#include "internal/PacketFramer.h"
#include "internal/PayloadDecoder.h"
#include "internal/PortConnection.h"
#include "internal/StreamLogWriter.h"
#include "platform/Log.h"

namespace velmora {

static_assert(VelmoraObjC::kMinDispatchPause == internal::DispatchThread::kMinPause);
static_assert(VelmoraObjC::kMaxDispatchPause == internal::DispatchThread::kMaxPause);

// ---------------------------------------------------------------- lifecycle

VelmoraObjC::VelmoraObjC() {
  sentConfigByte.store(0);
  isKRT480.store(1);
  lock.replace();
  auto hrvAnalyser = std::make_shared<VLHrv>();  // installs yet another fresh `lock`
  hrv.store(hrvAnalyser);
  auto blinkDetector = std::make_shared<VLBlink>();
  blink.store(blinkDetector);
  log_ = std::make_unique<internal::StreamLogWriter>();
  decoder_ = std::make_unique<internal::PayloadDecoder>(*this, *log_, std::move(hrvAnalyser), std::move(blinkDetector));
  framer_ = std::make_unique<internal::PacketFramer>(*decoder_);
  // The dictionary and the raw buffer start empty and the dispatch thread
  // unstarted.
  dispatch_ = std::make_unique<internal::DispatchThread>([this] { deliver(); }, connected_);
  portName_ = "/dev/tty.KovaLinkPro-SPPDev";
  connection_ = std::make_unique<internal::PortConnection>(*this, connected_, dispatch_->nextPassClock());
  logMessage("VelmoraObjC: Initialized. Version: %d", getVersion());
}

// The port first (no callback reaches this object any more, and its port is
// let go), then the dispatch thread, then the pieces in reverse order.
VelmoraObjC::~VelmoraObjC() {
  connection_->detach();
  dispatch_->shutdown();
}

std::shared_ptr<VelmoraDelegate> VelmoraObjC::delegate() const {
  std::lock_guard<std::mutex> g(delegateMutex_);
  return delegate_.lock();
}

void VelmoraObjC::setDelegate(std::weak_ptr<VelmoraDelegate> delegate) {
  std::lock_guard<std::mutex> g(delegateMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<VelmoraStreamListener> VelmoraObjC::streamListener() const {
  if (!hasStreamListener_.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard<std::mutex> g(delegateMutex_);
  return streamListener_.lock();
}

void VelmoraObjC::setStreamListener(std::weak_ptr<VelmoraStreamListener> listener) {
  std::lock_guard<std::mutex> g(delegateMutex_);
  streamListener_ = std::move(listener);
  hasStreamListener_.store(true, std::memory_order_release);
}

int32_t VelmoraObjC::heartRateForRrInterval(int32_t rrIntervalMs) {
  if (rrIntervalMs <= 0) return 0;
  return static_cast<int32_t>(std::lroundf(static_cast<float>(60.0 / (rrIntervalMs / 1000.0))));
}

// ---------------------------------------------------------------- dispatch

bool VelmoraObjC::startDispatch() { return dispatch_->start(); }
void VelmoraObjC::stopDispatch() { dispatch_->stop(); }
void VelmoraObjC::setThreadStarterForTesting(ThreadStarter starter) { dispatch_->setThreadStarter(std::move(starter)); }
double VelmoraObjC::dispatchInterval() const { return dispatch_->interval(); }
void VelmoraObjC::setDispatchInterval(double seconds) { dispatch_->setInterval(seconds); }
uint64_t VelmoraObjC::dispatchPasses() const { return dispatch_->passes(); }

Dictionary VelmoraObjC::takeData() {
  Dictionary out;
  std::lock_guard<SwappableMutex> g(lock);
  decoder_->moveRawIntoData();
  out.swap(decoder_->data());
  return out;
}

void VelmoraObjC::deliver() {
  {
    std::lock_guard<SwappableMutex> g(lock);
    decoder_->moveRawIntoData();
  }
  // Declared outside the locked scope, so the snapshot's nodes are freed,
  // and the delegate let go of, after the unlock.  The delegate is held for
  // the call only: if that was the last reference to a delegate that owned
  // this object, the object is destroyed when `receiver` goes, and nothing
  // after that touches it.
  Dictionary snapshot;
  std::shared_ptr<VelmoraDelegate> receiver;
  std::lock_guard<SwappableMutex> g(lock);
  Dictionary& data = decoder_->data();
  if (data.empty() || !connected_.load()) return;
  // Taking the nodes is the snapshot and the emptying in one: the delegate
  // gets a map that nothing changes later.
  snapshot.swap(data);
  receiver = delegate();
  internal::callDelegate(receiver, "dataReceived", [&](VelmoraDelegate& d) { d.dataReceived(snapshot); });
}

// ---------------------------------------------------------------- framing

void VelmoraObjC::parseByte(std::span<const uint8_t> chunk) { framer_->parse(chunk); }
void VelmoraObjC::parseByte(std::nullptr_t) {}
void VelmoraObjC::resetParser() { internal::PacketFramer::reset(); }
int32_t VelmoraObjC::payloadBytesRemaining() const { return framer_->payloadBytesRemaining(); }
int32_t VelmoraObjC::rawPackets() const { return decoder_->rawPackets(); }
VelmoraFramerCounts VelmoraObjC::framerCounts() const { return framer_->counts(); }

// ---------------------------------------------------------------- recording

bool VelmoraObjC::startRecording(const std::string& directory, uint8_t flag) { return log_->start(directory, flag); }
bool VelmoraObjC::stopRecording(const std::optional<std::string>& destination) { return log_->stop(destination); }
bool VelmoraObjC::isRecording() const { return log_->isRecording(); }
uint8_t VelmoraObjC::recordFlag() const { return log_->recordFlag(); }
std::string VelmoraObjC::logFilePath() const { return log_->logFilePath(); }
std::string VelmoraObjC::logRow() const { return log_->logRow(); }
VelmoraRecordingStatus VelmoraObjC::recordingStatus() const { return log_->status(); }

// ---------------------------------------------------------------- connection

bool VelmoraObjC::isHeadsetCandidateName(const std::string& name) {
  for (const char* prefix : kAcceptedPrefixes) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

void VelmoraObjC::Connect() { ConnectTo(std::nullopt); }
void VelmoraObjC::ConnectTo(const std::optional<std::string>& devicePath) { connection_->connectTo(devicePath); }
void VelmoraObjC::Disconnect() { stopStream(); }
void VelmoraObjC::stopStream() { connection_->stopStream(); }
std::optional<ZPRSerialPortError> VelmoraObjC::lastPortError() const { return connection_->lastPortError(); }
std::vector<VelmoraConnectAttempt> VelmoraObjC::lastConnectAttempts() const {
  return connection_->lastConnectAttempts();
}

void VelmoraObjC::sendBytes(const uint8_t* bytes, int32_t length) {
  if (!readyToSend_.load() || !decoder_->hasOutput() || bytes == nullptr || length <= 0) {
    logMessage("Not ready to send.");
    return;
  }
  decoder_->send(std::span<const uint8_t>(bytes, static_cast<size_t>(length)));
}

// ---------------------------------------------------------------- port callbacks

namespace {

// Calls the delegate's `call`; see internal/DelegateCall.h.  The strong
// reference is taken here, so that an object owned by its delegate is
// destroyed only after the call.
template <typename Call>
void tellDelegate(const VelmoraObjC& accessory, const char* callback, Call&& call) {
  internal::callDelegate(accessory.delegate(), callback, std::forward<Call>(call));
}

}  // namespace

void VelmoraObjC::serialPortDidReceiveData(ZPRSerialPort&, std::span<const uint8_t> data) {
  if (data.data() == nullptr) {
    logMessage("received");
    return;
  }
  parseByte(data);
  // The port reads ahead of each pass (PortConnection): once that read is
  // framed the pass need not wait for its timer.
  dispatch_->passSoon(2 * internal::PortConnection::kReadAheadOfPass);
}

void VelmoraObjC::serialPortWasRemovedFromSystem(ZPRSerialPort& port) {
  logMessage("--serialPortWasRemovedFromSystem");
  if (auto listener = streamListener()) listener->linkChanged(VelmoraStreamListener::Link::Removed, port.name());
  tellDelegate(*this, "accessoryError", [](VelmoraDelegate& d) { d.accessoryError(3); });
}

void VelmoraObjC::serialPortDidEncounterError(ZPRSerialPort& port, const ZPRSerialPortError& error) {
  logMessage("--%s %s %s", "-[VelmoraObjC serialPort:didEncounterError:]", port.name().c_str(),
             error.description().c_str());
  connection_->notePortError(error);
  tellDelegate(*this, "accessoryError", [](VelmoraDelegate& d) { d.accessoryError(0); });
}

void VelmoraObjC::serialPortWasOpened(ZPRSerialPort& port) {
  logMessage("--Serial port %s was opened", port.name().c_str());
  if (auto listener = streamListener()) listener->linkChanged(VelmoraStreamListener::Link::Opened, port.name());
  tellDelegate(*this, "accessoryDidConnect", [&](VelmoraDelegate& d) { d.accessoryDidConnect(port.name()); });
}

void VelmoraObjC::serialPortWasClosed(ZPRSerialPort& port) {
  logMessage("--Serial port %s was closed", port.name().c_str());
  if (auto listener = streamListener()) listener->linkChanged(VelmoraStreamListener::Link::Closed, port.name());
  tellDelegate(*this, "accessoryDidDisconnect", [](VelmoraDelegate& d) { d.accessoryDidDisconnect(); });
}

void VelmoraObjC::serialPortConnectionInterrupt() {
  logMessage("--HeardSet its powed off ,after conected");
  if (auto listener = streamListener()) listener->linkChanged(VelmoraStreamListener::Link::SwitchedOff, {});
  tellDelegate(*this, "accessoryError", [](VelmoraDelegate& d) { d.accessoryError(2); });
}

void VelmoraObjC::serialPortDidFailToOpen(ZPRSerialPort& port, const ZPRSerialPortError& error) {
  connection_->noteFailedOpen(port, error);
}

}  // namespace velmora
