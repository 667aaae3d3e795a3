// VelmoraPortLink: the serial-port delegate through which an accessory object
// (VelmoraObjC) hears from the port it opened.
//
// Ports hold their delegates weakly and need them in a std::shared_ptr, while
// hosts may keep an accessory object anywhere.  So each accessory object
// owns one link and the link forwards every port callback to it.  When the
// accessory object is destroyed it detaches the link first; callbacks that
// arrive later are dropped.
//
// Claims.  A port streams to one accessory object at a time.  An object
// claims a port before it opens it and keeps the claim until it disconnects
// from it or is destroyed; claim() refuses a port that another live object's
// link holds, so a second object treats that port as one in use instead of
// taking it over.  The claims are process-wide, keyed by the port's path.
//
// Open attempts.  The accessory object makes the link a candidate port's
// delegate before asking it to open (so that the open report finds it), but a
// candidate that fails to open must only be logged (and its first error kept
// in the owner's record of the attempt).  Between beginOpening()
// and endOpening() for a port, the errors that port reports are held back;
// endOpening() passes them on when the attempt opened the port (they are then
// errors of a port in use, such as a failed line setting, or live errors of
// a port that was already open) and drops them when it failed.  A port
// reports an error either directly (when it is opened on the main thread) or
// by a task on the main queue, so endOpening() called on another thread
// queues the end of the attempt behind those tasks.  Attempts on one port may
// overlap that way; each is counted, and the held errors are passed on as
// soon as one of them has opened the port.
//
// Never inside the owner's own work.  While the owner runs ConnectTo() or
// stopStream() on a thread (a Busy object marks it), an error that a port
// reports directly on that thread (it does so on the main thread) is passed
// on later from the main queue instead, so that the owner's delegate never
// runs, and perhaps destroys the owner, in the middle of that work.
//
// One removal, one report.  When the port layer notices a vanished device
// itself (a failed read) it reports the removal and closes the port; the
// registry's removal event then makes the port manager hand the closed port
// the removal once more.  The link passes on the first removal report of a
// port after each open report and drops further ones, so the host hears of
// one unplugging once.
//
// Threads: port callbacks arrive on the main thread.  detach() may be called
// from any thread; it waits for a callback under way on another thread to
// return (one under way on the calling thread goes on, with the owner gone,
// so the link touches the owner no more after it).  beginOpening(),
// endOpening(), claim() and release() may be called from any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "ZPRSerialPortDelegate.h"

namespace velmora {

class VelmoraObjC;

class VelmoraPortLink : public ZPRSerialPortDelegateBase<VelmoraPortLink>,
                        public std::enable_shared_from_this<VelmoraPortLink> {
 public:
  explicit VelmoraPortLink(VelmoraObjC* owner) : owner_(owner) {}

  void detach();

  // Claims the port at `path` for this link's object: false when another
  // live link holds it.  Claiming a port this link already holds succeeds.
  bool claim(const std::string& path);
  // Gives up this link's claim on the port at `path`, if it holds one.
  void release(const std::string& path);

  // An attempt to open `port` starts: its errors are held back from now on.
  void beginOpening(const ZPRSerialPort& port);
  // The attempt has ended, having opened the port or not: the errors it held
  // back are passed on or, when it failed, dropped but for the first, which
  // goes to the owner's serialPortDidFailToOpen(); later errors pass again.
  // A port that failed gets `previous` back as its delegate (unless another
  // has been set meanwhile) once its reports of the attempt have arrived.
  void endOpening(ZPRSerialPort& port, bool opened, const std::shared_ptr<ZPRSerialPortDelegate>& previous);

  // Marks, while it lives, that the owner is at work on this thread.
  class Busy {
   public:
    explicit Busy(const VelmoraPortLink& link);
    ~Busy();
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
  };

  void serialPortWasOpened(ZPRSerialPort& port) override;
  void serialPortWasClosed(ZPRSerialPort& port) override;
  void serialPortWasRemovedFromSystem(ZPRSerialPort& port) override;
  void serialPortDidEncounterError(ZPRSerialPort& port, const ZPRSerialPortError& error) override;
  void serialPortDidReceiveData(ZPRSerialPort& port, std::span<const uint8_t> data) override;

 private:
  struct HeldError {
    std::shared_ptr<ZPRSerialPort> port;
    ZPRSerialPortError error;
  };
  struct Attempts {
    int pending = 0;  // attempts not yet ended
    std::vector<HeldError> held;
  };

  void finishOpening(const std::string& path, bool opened);
  void forwardError(ZPRSerialPort& port, const ZPRSerialPortError& error);

  std::recursive_mutex mutex_;  // held while forwarding; detach() takes it
  VelmoraObjC* owner_;          // guarded by mutex_

  std::mutex stateMutex_;  // guards the two fields below; never held while forwarding
  std::map<std::string, Attempts> openings_;  // port path -> attempts under way
  std::set<std::string> removed_;             // paths of ports whose removal was passed on since their open
};

}  // namespace velmora
