// VelmoraPortLink: the serial-port delegate through which an accessory object
// (VelmoraObjC) hears from the port it opened.
//
// Ports hold their delegates weakly and need them in a std::shared_ptr, while
// hosts may keep an accessory object anywhere.  So each accessory object
// owns one link and the link forwards every port callback to it.  When the
// accessory object is destroyed it detaches the link first; callbacks that
// arrive later are dropped.
//
// Open attempts.  The accessory object makes the link a candidate port's
// delegate before asking it to open (so that the open report finds it), but a
// candidate that fails to open must only be logged.  Between beginOpening()
// and endOpening() for a port, the errors that port reports are dropped; a
// port reports an error either directly (when it is opened on the main
// thread) or by a task on the main queue, so endOpening() called on another
// thread queues the end of the attempt behind those tasks.  Attempts on one
// port may overlap that way; each is counted.
//
// One removal, one report.  When the port layer notices a vanished device
// itself (a failed read) it reports the removal and closes the port; the
// registry's removal event then makes the port manager hand the closed port
// the removal once more.  The link passes on the first removal report of a
// port after each open report and drops further ones, so the host hears of
// one unplugging once.
//
// Threads: port callbacks arrive on the main thread.  detach() may be called
// from any thread; it waits for a callback under way to return, so the
// accessory object must not be destroyed from inside one of its own
// delegate's port-driven callbacks.  beginOpening() and endOpening() may be
// called from any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>

#include "ZPRSerialPortDelegate.h"

namespace velmora {

class VelmoraObjC;

class VelmoraPortLink : public ZPRSerialPortDelegateBase<VelmoraPortLink>,
                        public std::enable_shared_from_this<VelmoraPortLink> {
 public:
  explicit VelmoraPortLink(VelmoraObjC* owner) : owner_(owner) {}

  void detach();

  // An attempt to open `port` starts: its errors are dropped from now on.
  void beginOpening(const ZPRSerialPort& port);
  // The attempt has ended: errors the port reports after the ones the attempt
  // caused are forwarded again.
  void endOpening(const ZPRSerialPort& port);

  void serialPortWasOpened(ZPRSerialPort& port) override;
  void serialPortWasClosed(ZPRSerialPort& port) override;
  void serialPortWasRemovedFromSystem(ZPRSerialPort& port) override;
  void serialPortDidEncounterError(ZPRSerialPort& port, const ZPRSerialPortError& error) override;
  void serialPortDidReceiveData(ZPRSerialPort& port, std::span<const uint8_t> data) override;

 private:
  void finishOpening(const std::string& path);
  bool isOpening(const std::string& path);

  std::recursive_mutex mutex_;  // held while forwarding; detach() takes it
  VelmoraObjC* owner_;          // guarded by mutex_

  std::mutex stateMutex_;  // guards the two fields below; never held while forwarding
  std::map<std::string, int> openings_;  // port path -> attempts not yet ended
  std::set<std::string> removed_;        // paths of ports whose removal was passed on since their open
};

}  // namespace velmora
