#include "VelmoraPortLink.h"

#include "VelmoraObjC.h"

namespace velmora {

void VelmoraPortLink::detach() {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  owner_ = nullptr;
}

void VelmoraPortLink::serialPortWasOpened(ZPRSerialPort& port) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortWasOpened(port);
}

void VelmoraPortLink::serialPortWasClosed(ZPRSerialPort& port) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortWasClosed(port);
}

void VelmoraPortLink::serialPortWasRemovedFromSystem(ZPRSerialPort& port) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortWasRemovedFromSystem(port);
}

void VelmoraPortLink::serialPortDidEncounterError(ZPRSerialPort& port, const ZPRSerialPortError& error) {
  if (opening_.load() == &port) return;
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortDidEncounterError(port, error);
}

void VelmoraPortLink::serialPortDidReceiveData(ZPRSerialPort& port, std::span<const uint8_t> data) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortDidReceiveData(port, data);
}

}  // namespace velmora
