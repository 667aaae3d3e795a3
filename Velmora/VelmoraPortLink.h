// VelmoraPortLink: the serial-port delegate through which an accessory object
// (VelmoraObjC) hears from the port it opened.
//
// Ports hold their delegates weakly and need them in a std::shared_ptr, while
// hosts may keep an accessory object anywhere.  So each accessory object
// owns one link and the link forwards every port callback to it.  When the
// accessory object is destroyed it detaches the link first; callbacks that
// arrive later are dropped.
//
// While the accessory object tries to open a candidate port it marks the
// link as opening that port: errors reported synchronously during the
// attempt are not forwarded (a candidate that fails to open is only logged).
//
// Threads: port callbacks arrive on the main thread.  detach() may be called
// from any thread; it waits for a callback under way to return, so the
// accessory object must not be destroyed from inside one of its own
// delegate's port-driven callbacks.
#pragma once

#include <atomic>
#include <mutex>
#include <span>

#include "ZPRSerialPortDelegate.h"

namespace velmora {

class VelmoraObjC;

class VelmoraPortLink : public ZPRSerialPortDelegateBase<VelmoraPortLink> {
 public:
  explicit VelmoraPortLink(VelmoraObjC* owner) : owner_(owner) {}

  void detach();
  // Marks `port` as being opened (or, with null, no port).
  void setOpening(const ZPRSerialPort* port) { opening_.store(port); }

  void serialPortWasOpened(ZPRSerialPort& port) override;
  void serialPortWasClosed(ZPRSerialPort& port) override;
  void serialPortWasRemovedFromSystem(ZPRSerialPort& port) override;
  void serialPortDidEncounterError(ZPRSerialPort& port, const ZPRSerialPortError& error) override;
  void serialPortDidReceiveData(ZPRSerialPort& port, std::span<const uint8_t> data) override;

 private:
  std::recursive_mutex mutex_;  // held while forwarding; detach() takes it
  VelmoraObjC* owner_;          // guarded by mutex_
  std::atomic<const ZPRSerialPort*> opening_{nullptr};
};

}  // namespace velmora
