#include "ZPRSerialPortManager.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>

#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/PowerMonitor.h"

namespace velmora {
namespace {

// Set once; read by the registry callbacks, possibly from other threads.
std::atomic<ZPRSerialPortManager*> sharedInstance{nullptr};

bool containsEqual(const SerialPortList& list, const std::shared_ptr<ZPRSerialPort>& port) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::shared_ptr<ZPRSerialPort>& p) { return *p == *port; });
}

std::string describeContext(void* context) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", context);
  return text;
}

}  // namespace

ZPRSerialPortManager& ZPRSerialPortManager::sharedSerialPortManager() {
  static std::once_flag once;
  // Created once and never destroyed: ports, run-loop subscriptions and
  // observers refer to it for the rest of the process.
  std::call_once(once, [] {
    auto* manager = new ZPRSerialPortManager();
    sharedInstance.store(manager);
    manager->retrieveAvailablePortsAndRegisterForChangeNotifications();
    manager->registerForNotifications();
  });
  return *sharedInstance.load();
}

ZPRSerialPortManager::ZPRSerialPortManager() = default;

ZPRSerialPortManager::~ZPRSerialPortManager() {
  for (auto token : observerTokens_) platform::NotificationCenter::shared().removeObserver(token);
  portPublishedNotificationIterator_.reset();
  portTerminatedNotificationIterator_.reset();
}

void ZPRSerialPortManager::retrieveAvailablePortsAndRegisterForChangeNotifications() {
  auto& registry = platform::DeviceRegistry::shared();
  // On the main thread both subscriptions come before the listing: a device
  // that arrives in between is reported again as an arrival, which the
  // arrival handler ignores as already listed, and one that leaves in
  // between is still reported as removed.  From another thread they are
  // left to the main queue (see the header).
  const bool onMainThread = platform::MainQueue::isMainThread();
  if (onMainThread) subscribeToDeviceEvents();
  SerialPortList initial;
  for (const auto& device : registry.serialDevices()) {
    auto port = ZPRSerialPort::serialPortWithDevice(device);
    if (port) initial.push_back(std::move(port));
  }
  {
    std::lock_guard<std::mutex> g(mutex_);
    availablePorts_ = std::move(initial);
  }
  if (!onMainThread) {
    platform::MainQueue::async([this] {
      subscribeToDeviceEvents();
      reconcileWithRegistry();
    });
  }
}

void ZPRSerialPortManager::subscribeToDeviceEvents() {
  auto& registry = platform::DeviceRegistry::shared();
  portPublishedNotificationIterator_ = registry.subscribeArrivals(
      [this](const std::vector<platform::DeviceRef>& devices) {
        ZPRSerialPortManagerPortsPublishedNotificationCallback(this, devices);
      });
  portTerminatedNotificationIterator_ = registry.subscribeRemovals(
      [this](const std::vector<platform::DeviceRef>& devices) {
        ZPRSerialPortManagerPortsTerminatedNotificationCallback(this, devices);
      });
}

void ZPRSerialPortManager::reconcileWithRegistry() {
  const auto devices = platform::DeviceRegistry::shared().serialDevices();
  const SerialPortList listed = availablePorts();
  auto present = [&](const std::string& path) {
    return std::any_of(devices.begin(), devices.end(),
                       [&](const platform::DeviceRef& d) { return d->calloutPath() == path; });
  };
  auto isListed = [&](const std::string& path) {
    return std::any_of(listed.begin(), listed.end(),
                       [&](const std::shared_ptr<ZPRSerialPort>& p) { return p->path() == path; });
  };
  std::vector<platform::DeviceRef> gone;
  for (const auto& port : listed) {
    if (port->IOKitDevice() && !present(port->path())) gone.push_back(port->IOKitDevice());
  }
  std::vector<platform::DeviceRef> arrived;
  for (const auto& device : devices) {
    if (!isListed(device->calloutPath())) arrived.push_back(device);
  }
  if (!gone.empty()) serialPortsWereTerminated(gone);
  if (!arrived.empty()) serialPortsWerePublished(arrived);
}

void ZPRSerialPortManager::registerForNotifications() {
  auto& center = platform::NotificationCenter::shared();
  observerTokens_.push_back(center.addObserver(platform::kApplicationWillTerminateNotification,
                                               [this](const platform::Notification&) { applicationWillTerminate(); }));
  observerTokens_.push_back(center.addObserver(
      platform::kSystemWillSleepNotification, [this](const platform::Notification& n) { systemWillSleep(n); }));
  observerTokens_.push_back(center.addObserver(
      platform::kSystemDidWakeNotification, [this](const platform::Notification& n) { systemDidWake(n); }));
  // Sleep and wake come from the login manager when the system bus is
  // reachable; without it the manager simply never sees them.
  platform::PowerMonitor::shared().start();
}

SerialPortList ZPRSerialPortManager::availablePorts() const {
  std::lock_guard<std::mutex> g(mutex_);
  return availablePorts_;
}

void ZPRSerialPortManager::setAvailablePorts(const SerialPortList& ports) {
  SerialPortList copy;
  std::copy_if(ports.begin(), ports.end(), std::back_inserter(copy),
               [](const std::shared_ptr<ZPRSerialPort>& p) { return p != nullptr; });
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (copy == availablePorts_) return;
    availablePorts_ = std::move(copy);
  }
  didChange("availablePorts");
}

size_t ZPRSerialPortManager::countOfAvailablePorts() const {
  std::lock_guard<std::mutex> g(mutex_);
  return availablePorts_.size();
}

std::shared_ptr<ZPRSerialPort> ZPRSerialPortManager::objectInAvailablePortsAtIndex(size_t index) const {
  std::lock_guard<std::mutex> g(mutex_);
  return index < availablePorts_.size() ? availablePorts_[index] : nullptr;
}

void ZPRSerialPortManager::insertObject(std::shared_ptr<ZPRSerialPort> port, size_t index) {
  insertAvailablePorts({std::move(port)}, {index});
}

void ZPRSerialPortManager::insertAvailablePorts(const SerialPortList& ports, const std::vector<size_t>& indexes) {
  if (ports.empty() || ports.size() != indexes.size()) return;
  std::vector<size_t> placed;
  {
    std::lock_guard<std::mutex> g(mutex_);
    for (size_t i = 0; i < ports.size(); ++i) {
      if (!ports[i]) continue;
      size_t at = std::min(indexes[i], availablePorts_.size());
      availablePorts_.insert(availablePorts_.begin() + static_cast<std::ptrdiff_t>(at), ports[i]);
      placed.push_back(at);
    }
  }
  if (!placed.empty()) didChange(platform::Change{"availablePorts", platform::ChangeKind::Insertion, placed});
}

void ZPRSerialPortManager::removeObjectFromAvailablePortsAtIndex(size_t index) {
  removeAvailablePortsAtIndexes({index});
}

void ZPRSerialPortManager::removeAvailablePortsAtIndexes(const std::vector<size_t>& indexes) {
  std::vector<size_t> removed;
  {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<size_t> sorted = indexes;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    // Erase from the back so earlier indexes stay valid.
    for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) {
      if (*it >= availablePorts_.size()) continue;
      availablePorts_.erase(availablePorts_.begin() + static_cast<std::ptrdiff_t>(*it));
      removed.insert(removed.begin(), *it);
    }
  }
  if (!removed.empty()) didChange(platform::Change{"availablePorts", platform::ChangeKind::Removal, removed});
}

SerialPortList ZPRSerialPortManager::portsToReopenAfterSleep() const {
  std::lock_guard<std::mutex> g(mutex_);
  return portsToReopenAfterSleep_;
}

void ZPRSerialPortManager::setPortsToReopenAfterSleep(const SerialPortList& ports) {
  std::lock_guard<std::mutex> g(mutex_);
  portsToReopenAfterSleep_ = ports;
}

void ZPRSerialPortManager::serialPortsWerePublished(const std::vector<platform::DeviceRef>& devices) {
  SerialPortList newPorts;
  SerialPortList current = availablePorts();
  for (const auto& device : devices) {
    auto port = ZPRSerialPort::serialPortWithDevice(device);
    if (!port) continue;
    if (!containsEqual(current, port) && !containsEqual(newPorts, port)) newPorts.push_back(std::move(port));
  }
  if (!newPorts.empty()) {
    std::vector<size_t> indexes;
    for (size_t i = 0; i < newPorts.size(); ++i) indexes.push_back(current.size() + i);
    insertAvailablePorts(newPorts, indexes);
  }
  platform::Notification n;
  n.name = ZPRSerialPortsWereConnectedNotification;
  n.sender = this;
  n.userInfo[ZPRConnectedSerialPortsKey] = newPorts;
  platform::NotificationCenter::shared().post(n);
}

void ZPRSerialPortManager::serialPortsWereTerminated(const std::vector<platform::DeviceRef>& devices) {
  SerialPortList removedPorts;
  for (const auto& device : devices) {
    auto port = ZPRSerialPort::serialPortWithDevice(device);
    if (port) removedPorts.push_back(std::move(port));
  }
  for (const auto& port : removedPorts) port->cleanupAfterSystemRemoval();

  SerialPortList current = availablePorts();
  std::vector<size_t> indexes;
  for (size_t i = 0; i < current.size(); ++i) {
    if (containsEqual(removedPorts, current[i])) indexes.push_back(i);
  }
  if (!indexes.empty()) removeAvailablePortsAtIndexes(indexes);

  platform::Notification n;
  n.name = ZPRSerialPortsWereDisconnectedNotification;
  n.sender = this;
  n.userInfo[ZPRDisconnectedSerialPortsKey] = removedPorts;
  platform::NotificationCenter::shared().post(n);
}

void ZPRSerialPortManager::applicationWillTerminate() {
  for (const auto& port : availablePorts()) port->cleanupAfterSystemRemoval();
  setAvailablePorts({});
}

void ZPRSerialPortManager::systemWillSleep(const platform::Notification&) {
  for (const auto& port : availablePorts()) {
    if (port->isOpen() && port->close()) {
      std::lock_guard<std::mutex> g(mutex_);
      portsToReopenAfterSleep_.push_back(port);
    }
  }
}

void ZPRSerialPortManager::systemDidWake(const platform::Notification&) {
  SerialPortList toReopen = portsToReopenAfterSleep();
  for (const auto& port : toReopen) {
    port->open();
    std::lock_guard<std::mutex> g(mutex_);
    auto it = std::find(portsToReopenAfterSleep_.begin(), portsToReopenAfterSleep_.end(), port);
    if (it != portsToReopenAfterSleep_.end()) portsToReopenAfterSleep_.erase(it);
  }
}

void ZPRSerialPortManagerPortsPublishedNotificationCallback(void* context,
                                                            const std::vector<platform::DeviceRef>& devices) {
  if (context != nullptr && context == sharedInstance.load()) {
    static_cast<ZPRSerialPortManager*>(context)->serialPortsWerePublished(devices);
    return;
  }
  logMessage(
      "Unexpected context object %s in %s. Context object should be an instance of ZPRSerialPortManager",
      describeContext(context).c_str(),
      "void ZPRSerialPortManagerPortsPublishedNotificationCallback(void *, io_iterator_t)");
}

void ZPRSerialPortManagerPortsTerminatedNotificationCallback(void* context,
                                                             const std::vector<platform::DeviceRef>& devices) {
  if (context != nullptr && context == sharedInstance.load()) {
    static_cast<ZPRSerialPortManager*>(context)->serialPortsWereTerminated(devices);
    return;
  }
  logMessage(
      "Unexpected context object %s in %s. Context object should be an instance of ZPRSerialPortManager",
      describeContext(context).c_str(),
      "void ZPRSerialPortManagerPortsTerminatedNotificationCallback(void *, io_iterator_t)");
}

}  // namespace velmora
