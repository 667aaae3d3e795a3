// The udev back-end of the registry: serial devices backed by real hardware.
//
// Which tty devices count (isSerialDevice()):
//  - the udev subsystem is "tty" and the device has a device node, not under
//    /dev/pts;
//  - Bluetooth RFCOMM ttys ("rfcommN") always count: a bound channel has no
//    parent device until it connects, yet it is the port to open;
//  - any other tty must have a parent device (a USB serial converter, a
//    CDC-ACM interface, a UART's platform, PNP or PCI device).  Virtual
//    consoles (tty0..N), /dev/tty, /dev/console, ptmx and ptys have none;
//  - a UART port whose sysfs "type" is 0 (no UART found at its address) does
//    not count, nor a port of the legacy "serial8250" platform device that
//    reports no type at all: these are the placeholder ttyS ports that exist
//    on most PCs without any hardware behind them.
// The parent is the nearest ancestor outside the "serial-base" bus, which
// newer kernels put between every UART port and its controller.
//
// Naming (displayName()), first that applies:
//  1. NAME of a device link "/dev/tty.NAME" made by a udev rule (so a headset
//     can be named by one line, SYMLINK+="tty.NAME");
//  -  for an RFCOMM tty, the kernel name (rfcomm0): once its channel is
//     connected udev gives it the model strings of the Bluetooth adapter,
//     which would name the adapter rather than the headset;
//  2. ID_MODEL, the device's own product string as udev gives it (spaces
//     turned into underscores), unless it is merely the product id, which
//     udev puts there for devices without a product string;
//  3. ID_MODEL_FROM_DATABASE, the hardware database's name of the model;
//  4. the kernel name (ttyUSB0).
// The callout path is the device node; the further paths are the device
// links: "/dev/tty.NAME" links first, then /dev/serial/by-id, then
// /dev/serial/by-path, then any other, each group sorted.  Listings are in
// natural order of the device node (ttyUSB2 before ttyUSB10).
//
// Events (handleEvent()).  The source keeps the devices it reported by
// syspath.  "add" and "change" report an arrival, or a removal and an
// arrival when the description (node, links, name) changed; "remove"
// reports a removal.  A "move" (DEVPATH_OLD names the old syspath) that
// keeps the device node is a re-key and reports nothing: the kernel
// re-parents /dev/rfcommN when its Bluetooth channel connects and again when
// it closes, and the port open on it must stay open.  Should the moved
// device's description have changed, listings carry the new one from then
// on.  A move to another node is the removal of the old device and the
// arrival of the new.
//
// Without a running udev (no /run/udev, as in most containers) the source
// lists nothing and watches nothing; that is not an error.
//
// Threads: hot-plug events are read from a udev monitor on a thread of its
// own, started by start() and joined by stop(); it calls the change handler.
// A source over recorded devices has no monitor: its events come from
// handleEvent() calls, and the change handler runs on the caller's thread.
// enumerate(), start(), handleEvent() and stop() may be called from any
// thread, but stop() not from the change handler.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/DeviceRegistry.h"

struct udev_device;

namespace velmora::platform {

// What the filter and the naming need to know of one udev device.
struct UdevProperties {
  std::string syspath;
  std::string devnode;    // "/dev/ttyUSB0"; empty if none
  std::string sysname;    // "ttyUSB0"
  std::string subsystem;  // "tty"
  std::vector<std::string> devlinks;
  std::map<std::string, std::string> props;  // the udev properties (ID_MODEL, ...)
  bool hasParentDevice = false;
  std::string parentSubsystem;  // of the parent (see above), e.g. "usb-serial"
  std::string driver;           // the parent's driver, e.g. "ftdi_sio"; may be empty
  std::string uartType;         // sysfs "type" of a UART port ("0": none); empty if absent
};

// One udev event of a tty device.
struct UdevEvent {
  std::string action;      // "add", "change", "move", "remove"
  UdevProperties device;   // as the event describes it
  std::string devpathOld;  // of a "move": DEVPATH_OLD, the old syspath without "/sys"
};

class UdevDeviceSource : public DeviceSource {
 public:
  // With `requireUdevRuntime` false the source also enumerates where udev's
  // runtime directory is missing, straight from sysfs (tests use this to
  // read the machine's own ttys).
  explicit UdevDeviceSource(bool requireUdevRuntime = true);
  // A source over recorded devices instead of the system's: `recorded`
  // gives every tty device present at the time of each call.
  explicit UdevDeviceSource(std::function<std::vector<UdevProperties>()> recorded);
  ~UdevDeviceSource() override;
  UdevDeviceSource(const UdevDeviceSource&) = delete;
  UdevDeviceSource& operator=(const UdevDeviceSource&) = delete;

  std::vector<DeviceRef> enumerate() override;
  void start(ChangeHandler onChange) override;
  void stop() override;

  // Brings the source up to date with one event and reports the change to
  // the change handler, on the calling thread.  The monitor thread calls it
  // for every event it receives; recorded events are replayed through it.
  void handleEvent(const UdevEvent& event);

  // The properties of every tty device known now, unfiltered.
  std::vector<UdevProperties> ttyDevices();

  static bool udevRunning();
  static UdevProperties propertiesOf(udev_device* device);
  static bool isSerialDevice(const UdevProperties& device);
  static std::string displayName(const UdevProperties& device);
  // The Device for a device that passes isSerialDevice().
  static DeviceRef makeDevice(const UdevProperties& device);

 private:
  struct Monitor;

  bool enabled() const;
  // Serial devices now, by syspath, reusing known_'s objects where unchanged.
  std::map<std::string, DeviceRef> scan();
  void watch(Monitor* monitor);

  const bool requireUdevRuntime_;
  const std::function<std::vector<UdevProperties>()> recorded_;
  std::mutex mutex_;
  // The devices last reported, by syspath.
  std::map<std::string, DeviceRef> known_;
  ChangeHandler onChange_;
  std::unique_ptr<Monitor> monitor_;
  std::thread thread_;
};

}  // namespace velmora::platform
