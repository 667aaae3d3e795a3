#include "VelmoraPortLink.h"

#include "VelmoraObjC.h"
#include "ZPRSerialPort.h"
#include "platform/MainQueue.h"

namespace velmora {

void VelmoraPortLink::detach() {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  owner_ = nullptr;
}

void VelmoraPortLink::beginOpening(const ZPRSerialPort& port) {
  std::lock_guard<std::mutex> g(stateMutex_);
  ++openings_[port.path()];
}

void VelmoraPortLink::endOpening(const ZPRSerialPort& port) {
  // On the main thread the attempt's errors were delivered during open()
  // itself; elsewhere they are tasks on the main queue, which run in order.
  if (platform::MainQueue::isMainThread()) {
    finishOpening(port.path());
    return;
  }
  platform::MainQueue::async([weak = weak_from_this(), path = port.path()] {
    if (auto self = weak.lock()) self->finishOpening(path);
  });
}

void VelmoraPortLink::finishOpening(const std::string& path) {
  std::lock_guard<std::mutex> g(stateMutex_);
  auto it = openings_.find(path);
  if (it != openings_.end() && --it->second <= 0) openings_.erase(it);
}

bool VelmoraPortLink::isOpening(const std::string& path) {
  std::lock_guard<std::mutex> g(stateMutex_);
  return openings_.count(path) != 0;
}

void VelmoraPortLink::serialPortWasOpened(ZPRSerialPort& port) {
  {
    std::lock_guard<std::mutex> s(stateMutex_);
    removed_.erase(port.path());
  }
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortWasOpened(port);
}

void VelmoraPortLink::serialPortWasClosed(ZPRSerialPort& port) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortWasClosed(port);
}

void VelmoraPortLink::serialPortWasRemovedFromSystem(ZPRSerialPort& port) {
  {
    std::lock_guard<std::mutex> s(stateMutex_);
    if (!removed_.insert(port.path()).second) return;
  }
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortWasRemovedFromSystem(port);
}

void VelmoraPortLink::serialPortDidEncounterError(ZPRSerialPort& port, const ZPRSerialPortError& error) {
  if (isOpening(port.path())) return;
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortDidEncounterError(port, error);
}

void VelmoraPortLink::serialPortDidReceiveData(ZPRSerialPort& port, std::span<const uint8_t> data) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortDidReceiveData(port, data);
}

}  // namespace velmora
