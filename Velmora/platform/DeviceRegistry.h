// The device registry: the serial-stream devices of the system.
//
// A Device is an immutable description of one serial device: the callout
// path (the path to open), further paths naming the same device, a display
// name and string properties.  Devices are handed out as DeviceRef, a
// reference-counted handle; holding one keeps the description alive, nothing
// more.
//
// Two sources feed the shared registry:
//  - udev, for real hardware: tty devices backed by a real device (USB
//    serial, CDC-ACM, Bluetooth rfcomm, on-board UARTs), never virtual
//    consoles or ptys;
//  - the device folder (DeviceFolder.h): symbolic links named "tty.NAME"
//    pointing at a tty, watched with inotify.
//
// Arrival and removal events are delivered on the run loop of the thread that
// subscribed (RunLoop::current() at subscription time); that thread must run
// its run loop for events to arrive.
//
// Thread-safety: all member functions may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora::platform {

// Property keys of a Device.
inline constexpr const char* kCalloutDeviceKey = "IOCalloutDevice";
inline constexpr const char* kDialinDeviceKey = "IODialinDevice";
inline constexpr const char* kTTYDeviceKey = "IOTTYDevice";
inline constexpr const char* kTTYBaseNameKey = "IOTTYBaseName";
inline constexpr const char* kTTYSuffixKey = "IOTTYSuffix";
inline constexpr const char* kSerialClientTypeKey = "IOSerialBSDClientType";
inline constexpr const char* kSerialStreamType = "IOSerialStream";

class Device {
 public:
  Device(std::string calloutPath, std::vector<std::string> otherPaths, std::string name);

  const std::string& calloutPath() const { return calloutPath_; }
  // Further paths of the same device (its dial-in path comes first if it has
  // one); never contains the callout path.
  const std::vector<std::string>& otherPaths() const { return otherPaths_; }
  const std::string& name() const { return name_; }

  // "IOCalloutDevice" -> callout path; "IODialinDevice" -> first further
  // path; "IOTTYDevice" -> name; "IOTTYBaseName"/"IOTTYSuffix" -> the name
  // split before its trailing digits; "IOSerialBSDClientType" ->
  // "IOSerialStream".  Any other key: none.
  std::optional<std::string> stringProperty(const std::string& key) const;

  // Whether `path` is the callout path or one of the further paths.
  bool hasPath(const std::string& path) const;

 private:
  std::string calloutPath_;
  std::vector<std::string> otherPaths_;
  std::string name_;
};

using DeviceRef = std::shared_ptr<const Device>;

// One back-end of the registry.
class DeviceSource {
 public:
  using ChangeHandler =
      std::function<void(const std::vector<DeviceRef>& arrived, const std::vector<DeviceRef>& removed)>;
  virtual ~DeviceSource() = default;
  // The devices present now, in a stable order.
  virtual std::vector<DeviceRef> enumerate() = 0;
  // Starts watching; `onChange` may be called from any thread.  Called once.
  virtual void start(ChangeHandler onChange) = 0;
  // Stops watching; after it returns `onChange` is not called again.
  virtual void stop() = 0;
};

class DeviceRegistry {
 public:
  using Handler = std::function<void(const std::vector<DeviceRef>& devices)>;

  // An active subscription; destroying it unsubscribes.  Once the
  // destructor has returned the handler is not called again, not even for
  // events already posted; a destruction on another thread waits for a
  // handler under way.  A handler may destroy its own subscription.  Once
  // the subscribing thread has ended, its events are dropped.
  class Subscription {
   public:
    virtual ~Subscription() = default;
  };

  // The process-wide registry over the udev source and the device folder,
  // in that order.  Created on first use and never destroyed.
  static DeviceRegistry& shared();
  // Gives the shared registry `sources` in place of those two: for a host
  // that finds its devices elsewhere, and for tests that replay recorded
  // devices.  Only before the first shared(); throws std::logic_error after.
  static void setSharedSources(std::vector<std::unique_ptr<DeviceSource>> sources);

  // A registry over the given sources (tests use in-memory sources).
  explicit DeviceRegistry(std::vector<std::unique_ptr<DeviceSource>> sources);
  ~DeviceRegistry();
  DeviceRegistry(const DeviceRegistry&) = delete;
  DeviceRegistry& operator=(const DeviceRegistry&) = delete;

  // Present devices: each source's devices in its order, sources in order.
  std::vector<DeviceRef> serialDevices();
  // The present device with `path` as callout or further path, or, failing
  // that, with the path `path` resolves to (through symbolic links); null
  // for none and for an empty path.
  DeviceRef deviceFromPath(const std::string& path);

  // `handler` runs on the subscribing thread's run loop with the devices of
  // one change (never an empty list).  Where one change both removes and
  // adds devices, removals are posted first.  The first subscription starts
  // the sources.
  std::unique_ptr<Subscription> subscribeArrivals(Handler handler);
  std::unique_ptr<Subscription> subscribeRemovals(Handler handler);

 private:
  struct Impl;
  std::unique_ptr<Subscription> subscribe(bool arrivals, Handler handler);
  std::shared_ptr<Impl> impl_;
};

}  // namespace velmora::platform
