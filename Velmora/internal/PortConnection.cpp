#include "internal/PortConnection.h"

#include <algorithm>

#include "VelmoraPortLink.h"
#include "ZPRSerialPort.h"
#include "ZPRSerialPortManager.h"
#include "internal/DelegateCall.h"
#include "platform/Log.h"

namespace velmora::internal {

PortConnection::PortConnection(VelmoraObjC& owner, std::atomic<bool>& connected, PassClock nextPass)
    : owner_(owner),
      connected_(connected),
      nextPass_(std::move(nextPass)),
      portLink_(std::make_shared<VelmoraPortLink>(&owner)) {}

PortConnection::~PortConnection() { detach(); }

void PortConnection::detach() {
  portLink_->detach();
  const auto [port, path] = forgetPort();
  letGo(port.get(), path, false);
}

void PortConnection::reportDisconnect() {
  callDelegate(owner_.delegate(), "accessoryDidDisconnect", [](VelmoraDelegate& d) { d.accessoryDidDisconnect(); });
}

void PortConnection::connectTo(const std::optional<std::string>& devicePath) {
  // A snapshot: the list cannot change while it is walked.  No lock of this
  // object is held while a port opens: the port may call its delegate
  // directly on this thread, and the host may call Disconnect from there.
  const SerialPortList ports = ZPRSerialPortManager::sharedSerialPortManager().availablePorts();
  // The delegate hears of nothing before this work is done but its last report.
  std::optional<VelmoraPortLink::Busy> busy(std::in_place, *portLink_);

  // Which ports may be tried: the one with exactly this path; else by name
  // (the text between the path's first and second "."); with no path every
  // candidate.
  auto hasThePath = [&](const ZPRSerialPort& port) {
    return port.path() == *devicePath || (port.IOKitDevice() && port.IOKitDevice()->hasPath(*devicePath));
  };
  const bool byPath =
      devicePath && std::any_of(ports.begin(), ports.end(), [&](const auto& port) { return hasThePath(*port); });
  std::optional<std::string> wantedName;
  if (const size_t dot = devicePath ? devicePath->find('.') : std::string::npos; !byPath && dot != std::string::npos) {
    const size_t end = devicePath->find('.', dot + 1);
    wantedName = devicePath->substr(dot + 1, end == std::string::npos ? std::string::npos : end - dot - 1);
  }
  auto selects = [&](const ZPRSerialPort& port) {
    if (byPath) return hasThePath(port);
    if (devicePath && !wantedName) return false;
    return VelmoraObjC::isHeadsetCandidateName(port.name()) && (!wantedName || port.name() == *wantedName);
  };

  const uint64_t generation = beginAttempts();

  for (const auto& port : ports) {
    if (!selects(*port)) continue;
    // Another accessory object streams from it: in use, like a port that
    // another program holds.
    if (!portLink_->claim(port->path())) {
      noteAttempt(generation, *port, VelmoraConnectAttempt::Outcome::InUse);
      logMessage("--- %s not opened", port->name().c_str());
      continue;
    }
    // The link becomes the port's delegate before the open, so that the open
    // report finds it even when it runs on the main thread before open()
    // returns here.  The attempt's errors are held back until it is known
    // whether the port opened, and a port that does not open gets its
    // previous delegate back once they have arrived.
    const auto previous = port->delegate();
    portLink_->beginOpening(*port);
    port->setDelegate(portLink_);
    port->open();
    const bool opened = port->isOpen();
    noteAttempt(generation, *port, opened ? VelmoraConnectAttempt::Outcome::Opened : VelmoraConnectAttempt::Outcome::Failed);
    portLink_->endOpening(*port, opened, previous);
    if (!opened) {
      bool stillOurs = false;  // read again: a Disconnect may have run meanwhile
      {
        std::lock_guard<std::mutex> g(connectionMutex_);
        stillOurs = connectedPath_ == port->path();
      }
      if (!stillOurs) portLink_->release(port->path());
      logMessage("--- %s not opened", port->name().c_str());
      continue;
    }
    std::shared_ptr<ZPRSerialPort> before;
    std::string beforePath;
    {
      std::lock_guard<std::mutex> g(connectionMutex_);
      before = connectedPort_.lock();
      connectedPort_ = port;
      beforePath = std::exchange(connectedPath_, port->path());
    }
    // An object streams from one port: one it had before is let go, quietly.
    if (beforePath != port->path()) letGo(before.get(), beforePath, true);
    logMessage("VLAccessory: stream started.");
    // Reads coalesced up to just before each pass: the delegate sees the
    // bytes no later than before.  The port's read moments are
    // kReadAheadOfPass before the passes; bytes that arrive after a pass's
    // moment went by unread are read at once.
    port->setReadCoalescingInterval(kLongestReadWait,
                                    [nextPass = nextPass_](std::chrono::steady_clock::time_point after) {
                                      return nextPass(after + kReadAheadOfPass) - kReadAheadOfPass;
                                    });
    if (owner_.startDispatch()) return;
    // No dispatch thread: nothing would be delivered, so the connect is
    // undone.  The port is detached first, so its queued open report and its
    // close report reach nobody: the host hears one accessoryDidDisconnect.
    forgetPort();
    letGo(port.get(), port->path(), true);
    {
      std::lock_guard<std::mutex> g(outcomeMutex_);
      if (generation == connectGeneration_ && !connectAttempts_.empty()) {
        connectAttempts_.back().outcome = VelmoraConnectAttempt::Outcome::Failed;
      }
    }
    break;
  }
  busy.reset();
  reportDisconnect();
}

std::pair<std::shared_ptr<ZPRSerialPort>, std::string> PortConnection::forgetPort() {
  std::lock_guard<std::mutex> g(connectionMutex_);
  auto port = connectedPort_.lock();
  connectedPort_.reset();
  return {std::move(port), std::exchange(connectedPath_, {})};
}

void PortConnection::letGo(ZPRSerialPort* port, const std::string& path, bool quietly) {
  if (port != nullptr && port->delegate() == portLink_) {
    port->setReadCoalescingInterval(0);  // whoever opens it next reads as usual
    if (quietly) port->setDelegate(nullptr);
    if (port->isOpen()) port->close();
  }
  if (!path.empty()) portLink_->release(path);
}

void PortConnection::stopStream() {
  std::optional<VelmoraPortLink::Busy> busy(std::in_place, *portLink_);
  owner_.stopDispatch();
  const SerialPortList ports = ZPRSerialPortManager::sharedSerialPortManager().availablePorts();
  const auto [mine, path] = forgetPort();
  logMessage("ZPRSerialPortManager.availablePorts = %lu", static_cast<unsigned long>(ports.size()));
  for (const auto& port : ports) {
    logMessage("---%s", port->name().c_str());
    if (port == mine && port->isOpen()) break;
  }
  // Exactly the port this object connected to, also when the manager no
  // longer lists it; never one another object or program opened since.
  letGo(mine.get(), path, false);
  logMessage("VLAccessory: stream stopped.");
  connected_.store(false);
  busy.reset();
  reportDisconnect();
}

uint64_t PortConnection::beginAttempts() {
  std::lock_guard<std::mutex> g(outcomeMutex_);
  connectAttempts_.clear();
  return ++connectGeneration_;
}

// Entered before the attempt's end is reported to the link, which may hand
// the failed attempt's first error over at once.
void PortConnection::noteAttempt(uint64_t generation, const ZPRSerialPort& port, VelmoraConnectAttempt::Outcome outcome) {
  std::lock_guard<std::mutex> g(outcomeMutex_);
  if (outcome == VelmoraConnectAttempt::Outcome::Opened) lastPortError_.reset();
  if (generation != connectGeneration_) return;  // a later connectTo() has begun
  connectAttempts_.push_back({port.name(), port.path(), outcome, std::nullopt});
}

void PortConnection::notePortError(const ZPRSerialPortError& error) {
  std::lock_guard<std::mutex> g(outcomeMutex_);
  lastPortError_ = error;
}

void PortConnection::noteFailedOpen(const ZPRSerialPort& port, const ZPRSerialPortError& error) {
  std::lock_guard<std::mutex> g(outcomeMutex_);
  // The latest failed attempt on this port that has no error yet.
  for (auto it = connectAttempts_.rbegin(); it != connectAttempts_.rend(); ++it) {
    if (it->path != port.path() || it->outcome != VelmoraConnectAttempt::Outcome::Failed) continue;
    if (!it->error) it->error = error;
    return;
  }
}

std::optional<ZPRSerialPortError> PortConnection::lastPortError() const {
  std::lock_guard<std::mutex> g(outcomeMutex_);
  return lastPortError_;
}

std::vector<VelmoraConnectAttempt> PortConnection::lastConnectAttempts() const {
  std::lock_guard<std::mutex> g(outcomeMutex_);
  return connectAttempts_;
}

}  // namespace velmora::internal
