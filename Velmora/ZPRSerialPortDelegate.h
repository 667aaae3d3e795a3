// The callbacks of a serial port (ZPRSerialPort) to its delegate.
//
// Every callback runs on the main thread.  A port holds its delegate by
// std::weak_ptr and looks it up when a queued callback runs, so a delegate
// destroyed meanwhile is skipped; the host owns the delegate.
//
// serialPortWasOpened() is required.  The others are optional, and a port
// behaves differently when its delegate does not implement one: without
// serialPortWasRemovedFromSystem() a removed device's port closes at once
// instead of after the callback; without serialPortDidEncounterError() no
// error value is built at all.
//
// Declaring the optional methods: derive from ZPRSerialPortDelegateBase<Self>
// and override (publicly) the optional methods you want; the base reports
// exactly those as implemented, found at compile time from the types of
// &Self::method.
//
//   class Link : public ZPRSerialPortDelegateBase<Link> {
//    public:
//     void serialPortWasOpened(ZPRSerialPort& port) override;
//     void serialPortDidReceiveData(ZPRSerialPort& port, std::span<const uint8_t> data) override;
//   };  // implements the data callback; a removal closes the port at once
//
// A class that derives from ZPRSerialPortDelegate directly implements every
// optional method as far as the port can tell (the empty default bodies are
// called), unless it overrides implementedOptionalMethods() itself.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

#include "ZPRSerialPortError.h"

namespace velmora {

class ZPRSerialPort;
class ZPRSerialRequest;

class ZPRSerialPortDelegate {
 public:
  // Bits naming the optional methods, for implementedOptionalMethods().
  enum OptionalMethod : uint32_t {
    kSerialPortWasClosed = 1u << 0,
    kSerialPortWasRemovedFromSystem = 1u << 1,
    kSerialPortDidEncounterError = 1u << 2,
    kSerialPortDidReceiveData = 1u << 3,
    kSerialPortDidReceiveResponseToRequest = 1u << 4,
    kSerialPortRequestDidTimeout = 1u << 5,
    kAllOptionalMethods = (1u << 6) - 1,
  };

  virtual ~ZPRSerialPortDelegate() = default;

  // After a successful open.
  virtual void serialPortWasOpened(ZPRSerialPort& port) = 0;
  // After a successful close.
  virtual void serialPortWasClosed(ZPRSerialPort& /*port*/) {}
  // The device has gone; the port closes right after this call.
  virtual void serialPortWasRemovedFromSystem(ZPRSerialPort& /*port*/) {}
  // A system call failed.
  virtual void serialPortDidEncounterError(ZPRSerialPort& /*port*/, const ZPRSerialPortError& /*error*/) {}
  // The bytes of one read (1 to 1024), in the order of the reads.
  virtual void serialPortDidReceiveData(ZPRSerialPort& /*port*/, std::span<const uint8_t> /*data*/) {}
  // The pending request's response: everything gathered when it was accepted.
  virtual void serialPortDidReceiveResponseToRequest(ZPRSerialPort& /*port*/, std::span<const uint8_t> /*response*/,
                                                     const std::shared_ptr<ZPRSerialRequest>& /*request*/) {}
  // The pending request got no response within its time-out.
  virtual void serialPortRequestDidTimeout(ZPRSerialPort& /*port*/,
                                           const std::shared_ptr<ZPRSerialRequest>& /*request*/) {}

  // The OptionalMethod bits of the optional methods this delegate implements.
  virtual uint32_t implementedOptionalMethods() const { return kAllOptionalMethods; }
  bool implements(OptionalMethod method) const { return (implementedOptionalMethods() & method) != 0; }
};

// Reports as implemented exactly the optional methods that Derived (or a class
// between it and this one) overrides.  An override has the type
// "pointer to member of the overriding class", an inherited default the type
// "pointer to member of ZPRSerialPortDelegate"; comparing types, not pointer
// values, is well defined for virtual functions.
template <typename Derived>
class ZPRSerialPortDelegateBase : public ZPRSerialPortDelegate {
 public:
  uint32_t implementedOptionalMethods() const final {
    using Base = ZPRSerialPortDelegate;
    uint32_t methods = 0;
    if (!std::is_same_v<decltype(&Derived::serialPortWasClosed), decltype(&Base::serialPortWasClosed)>)
      methods |= kSerialPortWasClosed;
    if (!std::is_same_v<decltype(&Derived::serialPortWasRemovedFromSystem),
                        decltype(&Base::serialPortWasRemovedFromSystem)>)
      methods |= kSerialPortWasRemovedFromSystem;
    if (!std::is_same_v<decltype(&Derived::serialPortDidEncounterError), decltype(&Base::serialPortDidEncounterError)>)
      methods |= kSerialPortDidEncounterError;
    if (!std::is_same_v<decltype(&Derived::serialPortDidReceiveData), decltype(&Base::serialPortDidReceiveData)>)
      methods |= kSerialPortDidReceiveData;
    if (!std::is_same_v<decltype(&Derived::serialPortDidReceiveResponseToRequest),
                        decltype(&Base::serialPortDidReceiveResponseToRequest)>)
      methods |= kSerialPortDidReceiveResponseToRequest;
    if (!std::is_same_v<decltype(&Derived::serialPortRequestDidTimeout), decltype(&Base::serialPortRequestDidTimeout)>)
      methods |= kSerialPortRequestDidTimeout;
    return methods;
  }
};

}  // namespace velmora
