// ZPRSerialPortManager: the one object in the process that knows which serial
// devices exist.
//
// On creation it lists the registry's serial devices as port objects and
// subscribes to their arrival and removal, so that `availablePorts` follows
// devices as they are plugged in and unplugged; each change is announced on
// the notification centre and to observers of the key "availablePorts". It
// closes the open ports before the machine sleeps and reopens them after it
// wakes, and treats every port as removed when the application terminates.
//
// Threads: arrival and removal events are handled on the main thread, which
// must run the main run loop for the list to follow the devices; the two
// notifications are posted there.  That holds whichever thread first asks
// for the manager: a host thread that connects (and then perhaps ends, or
// never runs a run loop of its own) must not leave the list frozen.  When the
// first call comes from another thread, the listing is made at once on that
// thread and the subscriptions are made by a task on the main queue, which
// then reconciles the list with the registry, so that a change in between is
// announced like any other.  Will-terminate, will-sleep and did-wake are
// handled on the thread that posts them (the main thread).  Any thread may
// read availablePorts(): it returns a snapshot that does not change under the
// caller.  The manager is created once, safely against concurrent first
// calls, and lives until the process ends.
//
// The list never holds a null port: the indexed operations and
// setAvailablePorts() skip null entries.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZPRSerialPort.h"
#include "platform/DeviceRegistry.h"
#include "platform/NotificationCenter.h"
#include "platform/Observable.h"

namespace velmora {

// Names of the two notifications and their user-info keys.  The constants'
// names say "Ports...Were"; observers match on the values.
inline constexpr const char* ZPRSerialPortsWereConnectedNotification = "ZPRSerialPortWasConnectedNotification";
inline constexpr const char* ZPRSerialPortsWereDisconnectedNotification =
    "ZPRSerialPortWasDisconnectedNotification";
inline constexpr const char* ZPRConnectedSerialPortsKey = "ZPRConnectedSerialPortsKey";
inline constexpr const char* ZPRDisconnectedSerialPortsKey = "ZPRDisconnectedSerialPortsKey";

using SerialPortList = std::vector<std::shared_ptr<ZPRSerialPort>>;

class ZPRSerialPortManager : public platform::Observable {
 public:
  // The manager; the first call creates it on the calling thread.
  static ZPRSerialPortManager& sharedSerialPortManager();

  ZPRSerialPortManager(const ZPRSerialPortManager&) = delete;
  ZPRSerialPortManager& operator=(const ZPRSerialPortManager&) = delete;
  ~ZPRSerialPortManager() override;

  // A snapshot of the known ports, in order.
  SerialPortList availablePorts() const;
  // Replaces the list (announced as a Setting of "availablePorts").  Giving
  // the list already held does nothing.
  void setAvailablePorts(const SerialPortList& ports);

  size_t countOfAvailablePorts() const;
  std::shared_ptr<ZPRSerialPort> objectInAvailablePortsAtIndex(size_t index) const;
  void insertObject(std::shared_ptr<ZPRSerialPort> port, size_t index);
  // `indexes` ascending; the ports land at those indexes of the new list.
  void insertAvailablePorts(const SerialPortList& ports, const std::vector<size_t>& indexes);
  void removeObjectFromAvailablePortsAtIndex(size_t index);
  void removeAvailablePortsAtIndexes(const std::vector<size_t>& indexes);

  SerialPortList portsToReopenAfterSleep() const;
  void setPortsToReopenAfterSleep(const SerialPortList& ports);

  // Arrival and removal handling; the registry callbacks below call these.
  void serialPortsWerePublished(const std::vector<platform::DeviceRef>& devices);
  void serialPortsWereTerminated(const std::vector<platform::DeviceRef>& devices);
  // Power events (the notification's contents are ignored).
  void systemWillSleep(const platform::Notification& notification);
  void systemDidWake(const platform::Notification& notification);
  // Every port handled as removed, the list cleared.
  void applicationWillTerminate();

 private:
  ZPRSerialPortManager();
  void retrieveAvailablePortsAndRegisterForChangeNotifications();
  void registerForNotifications();
  // Subscribes to arrivals and removals on the calling (main) thread's loop.
  void subscribeToDeviceEvents();
  // Announces the differences between the list and the registry's devices
  // as removals and arrivals.
  void reconcileWithRegistry();

  mutable std::mutex mutex_;  // guards the two lists against readers on other threads
  SerialPortList availablePorts_;
  SerialPortList portsToReopenAfterSleep_;
  std::unique_ptr<platform::DeviceRegistry::Subscription> portPublishedNotificationIterator_;
  std::unique_ptr<platform::DeviceRegistry::Subscription> portTerminatedNotificationIterator_;
  std::vector<platform::NotificationCenter::Token> observerTokens_;
};

// The registry callbacks: `context` must be the manager.  With any other
// context they log a warning and do nothing.
void ZPRSerialPortManagerPortsPublishedNotificationCallback(void* context,
                                                            const std::vector<platform::DeviceRef>& devices);
void ZPRSerialPortManagerPortsTerminatedNotificationCallback(void* context,
                                                             const std::vector<platform::DeviceRef>& devices);

}  // namespace velmora
