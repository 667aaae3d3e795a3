#include "platform/UdevDeviceSource.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/Log.h"

namespace velmora::platform {
namespace {

constexpr const char kNamedLinkPrefix[] = "/dev/tty.";

std::string text(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool isRfcomm(const std::string& sysname) {
  if (!startsWith(sysname, "rfcomm") || sysname.size() == 6) return false;
  return std::all_of(sysname.begin() + 6, sysname.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// NAME of a "/dev/tty.NAME" link, or empty.
std::string linkName(const std::string& link) {
  if (!startsWith(link, kNamedLinkPrefix)) return {};
  std::string name = link.substr(sizeof(kNamedLinkPrefix) - 1);
  return name.find('/') == std::string::npos ? name : std::string();
}

int linkRank(const std::string& link) {
  if (!linkName(link).empty()) return 0;
  if (startsWith(link, "/dev/serial/by-id/")) return 1;
  if (startsWith(link, "/dev/serial/by-path/")) return 2;
  return 3;
}

std::vector<std::string> orderedLinks(std::vector<std::string> links) {
  std::sort(links.begin(), links.end(), [](const std::string& a, const std::string& b) {
    int ra = linkRank(a), rb = linkRank(b);
    return ra != rb ? ra < rb : a < b;
  });
  return links;
}

// Orders "ttyUSB2" before "ttyUSB10": runs of digits compare as numbers.
bool naturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      size_t ei = i, ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      size_t zi = i, zj = j;
      while (zi + 1 < ei && a[zi] == '0') ++zi;
      while (zj + 1 < ej && b[zj] == '0') ++zj;
      if (ei - zi != ej - zj) return ei - zi < ej - zj;
      int c = a.compare(zi, ei - zi, b, zj, ej - zj);
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
  return a < b;
}

bool sameDevice(const Device& a, const Device& b) {
  return a.calloutPath() == b.calloutPath() && a.otherPaths() == b.otherPaths() && a.name() == b.name();
}

// Every tty device udev knows now.
std::vector<UdevProperties> readTtyDevices() {
  std::vector<UdevProperties> all;
  udev* context = udev_new();
  if (context == nullptr) return all;
  udev_enumerate* enumeration = udev_enumerate_new(context);
  if (enumeration != nullptr && udev_enumerate_add_match_subsystem(enumeration, "tty") >= 0 &&
      udev_enumerate_scan_devices(enumeration) >= 0) {
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration)) {
      udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
      if (device == nullptr) continue;
      all.push_back(UdevDeviceSource::propertiesOf(device));
      udev_device_unref(device);
    }
  }
  if (enumeration != nullptr) udev_enumerate_unref(enumeration);
  udev_unref(context);
  return all;
}

using DeviceMap = std::map<std::string, DeviceRef>;

// The serial devices among `all`, by syspath; an unchanged device keeps its
// object from `reuse`.
DeviceMap serialDevicesOf(const std::vector<UdevProperties>& all, const DeviceMap& reuse) {
  DeviceMap found;
  for (const auto& p : all) {
    if (!UdevDeviceSource::isSerialDevice(p)) continue;
    DeviceRef made = UdevDeviceSource::makeDevice(p);
    auto old = reuse.find(p.syspath);
    found[p.syspath] = old != reuse.end() && sameDevice(*old->second, *made) ? old->second : made;
  }
  return found;
}

}  // namespace

// The monitor thread's udev context and netlink monitor, and the descriptor
// that stop() signals.
struct UdevDeviceSource::Monitor {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  int stopFd = -1;

  ~Monitor() {
    if (monitor != nullptr) udev_monitor_unref(monitor);
    if (context != nullptr) udev_unref(context);
    if (stopFd >= 0) ::close(stopFd);
  }
};

UdevDeviceSource::UdevDeviceSource(bool requireUdevRuntime) : requireUdevRuntime_(requireUdevRuntime) {}

UdevDeviceSource::UdevDeviceSource(std::function<std::vector<UdevProperties>()> recorded)
    : requireUdevRuntime_(false), recorded_(std::move(recorded)) {}

UdevDeviceSource::~UdevDeviceSource() { stop(); }

bool UdevDeviceSource::udevRunning() {
  struct stat st {};
  return ::stat("/run/udev", &st) == 0 && S_ISDIR(st.st_mode);
}

bool UdevDeviceSource::enabled() const { return recorded_ || !requireUdevRuntime_ || udevRunning(); }

UdevProperties UdevDeviceSource::propertiesOf(udev_device* device) {
  UdevProperties p;
  p.syspath = text(udev_device_get_syspath(device));
  p.devnode = text(udev_device_get_devnode(device));
  p.sysname = text(udev_device_get_sysname(device));
  p.subsystem = text(udev_device_get_subsystem(device));
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_device_get_devlinks_list_entry(device)) {
    p.devlinks.push_back(text(udev_list_entry_get_name(entry)));
  }
  udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device)) {
    p.props[text(udev_list_entry_get_name(entry))] = text(udev_list_entry_get_value(entry));
  }
  // Parents are owned by their child; they are not unreferenced here.
  udev_device* parent = udev_device_get_parent(device);
  while (parent != nullptr && text(udev_device_get_subsystem(parent)) == "serial-base") {
    parent = udev_device_get_parent(parent);
  }
  if (parent != nullptr) {
    p.hasParentDevice = true;
    p.parentSubsystem = text(udev_device_get_subsystem(parent));
    p.driver = text(udev_device_get_driver(parent));
  }
  std::string type = text(udev_device_get_sysattr_value(device, "type"));
  while (!type.empty() && std::isspace(static_cast<unsigned char>(type.back()))) type.pop_back();
  p.uartType = type;
  return p;
}

bool UdevDeviceSource::isSerialDevice(const UdevProperties& d) {
  if (d.subsystem != "tty" || d.devnode.empty() || startsWith(d.devnode, "/dev/pts/")) return false;
  if (isRfcomm(d.sysname)) return true;
  if (!d.hasParentDevice) return false;
  if (d.uartType == "0") return false;
  if (d.driver == "serial8250" && d.uartType.empty()) return false;
  return true;
}

std::string UdevDeviceSource::displayName(const UdevProperties& d) {
  for (const auto& link : orderedLinks(d.devlinks)) {
    std::string name = linkName(link);
    if (!name.empty()) return name;
  }
  // A connected RFCOMM channel sits below its Bluetooth adapter, and udev
  // gives it the adapter's model strings: they name the adapter, not the
  // headset at the other end.
  if (isRfcomm(d.sysname)) return d.sysname;
  auto property = [&](const char* key) {
    auto it = d.props.find(key);
    return it != d.props.end() ? it->second : std::string();
  };
  std::string model = property("ID_MODEL");
  if (!model.empty() && model != property("ID_MODEL_ID")) return model;
  std::string fromDatabase = property("ID_MODEL_FROM_DATABASE");
  if (!fromDatabase.empty()) return fromDatabase;
  return d.sysname;
}

DeviceRef UdevDeviceSource::makeDevice(const UdevProperties& d) {
  return std::make_shared<const Device>(d.devnode, orderedLinks(d.devlinks), displayName(d));
}

std::vector<UdevProperties> UdevDeviceSource::ttyDevices() {
  if (recorded_) return recorded_();
  return enabled() ? readTtyDevices() : std::vector<UdevProperties>{};
}

std::map<std::string, DeviceRef> UdevDeviceSource::scan() {
  DeviceMap reuse;
  {
    std::lock_guard<std::mutex> g(mutex_);
    reuse = known_;
  }
  return serialDevicesOf(ttyDevices(), reuse);
}

std::vector<DeviceRef> UdevDeviceSource::enumerate() {
  if (!enabled()) return {};
  std::vector<DeviceRef> devices;
  for (auto& [syspath, device] : scan()) devices.push_back(device);
  std::sort(devices.begin(), devices.end(),
            [](const DeviceRef& a, const DeviceRef& b) { return naturalLess(a->calloutPath(), b->calloutPath()); });
  return devices;
}

void UdevDeviceSource::start(ChangeHandler onChange) {
  if (!enabled()) return;
  if (recorded_) {
    auto base = scan();
    std::lock_guard<std::mutex> g(mutex_);
    known_ = std::move(base);
    onChange_ = std::move(onChange);
    return;
  }
  std::lock_guard<std::mutex> g(mutex_);
  if (monitor_) return;

  auto monitor = std::make_unique<Monitor>();
  monitor->context = udev_new();
  if (monitor->context != nullptr) monitor->monitor = udev_monitor_new_from_netlink(monitor->context, "udev");
  monitor->stopFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (monitor->monitor == nullptr || monitor->stopFd < 0 ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor->monitor, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor->monitor) < 0) {
    logMessage("udev: cannot watch serial devices; hot-plugged devices will not be noticed");
    return;
  }
  // Receiving first, then the base listing, so that no change falls between;
  // an event for a device already listed changes nothing.
  known_ = serialDevicesOf(readTtyDevices(), known_);
  onChange_ = std::move(onChange);
  monitor_ = std::move(monitor);
  thread_ = std::thread([this, m = monitor_.get()] { watch(m); });
}

void UdevDeviceSource::watch(Monitor* m) {
  const int monitorFd = udev_monitor_get_fd(m->monitor);
  for (;;) {
    pollfd fds[2] = {{m->stopFd, POLLIN, 0}, {monitorFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      logMessage("udev: watching serial devices failed: %s", std::strerror(errno));
      return;
    }
    if (fds[0].revents != 0) return;
    if ((fds[1].revents & POLLIN) == 0) continue;

    while (udev_device* device = udev_monitor_receive_device(m->monitor)) {
      UdevEvent event;
      event.action = text(udev_device_get_action(device));
      event.device = propertiesOf(device);
      if (event.action == "move") event.devpathOld = text(udev_device_get_property_value(device, "DEVPATH_OLD"));
      udev_device_unref(device);
      handleEvent(event);
    }
  }
}

void UdevDeviceSource::handleEvent(const UdevEvent& event) {
  const UdevProperties& d = event.device;
  DeviceRef now = event.action != "remove" && isSerialDevice(d) ? makeDevice(d) : nullptr;
  std::vector<DeviceRef> arrived, removed;
  ChangeHandler onChange;
  {
    std::lock_guard<std::mutex> g(mutex_);
    onChange = onChange_;
    if (event.action == "move") {
      // The device was known under its old syspath; failing that (a move
      // that came with the listing), under the same node.
      auto old = known_.find("/sys" + event.devpathOld);
      if (old == known_.end() && now) {
        old = std::find_if(known_.begin(), known_.end(), [&](const auto& e) {
          return e.first != d.syspath && e.second->calloutPath() == now->calloutPath();
        });
      }
      if (old != known_.end()) {
        DeviceRef was = old->second;
        known_.erase(old);
        if (now && was->calloutPath() == now->calloutPath()) {
          // The same node under a new syspath: the kernel re-parents an
          // RFCOMM tty when its channel connects and again when it closes.
          // The device stays, and so does an open descriptor of it: a
          // re-key, reported to nobody.
          known_[d.syspath] = sameDevice(*was, *now) ? was : now;
          return;
        }
        removed.push_back(was);
      }
    }
    auto it = known_.find(d.syspath);
    bool unchanged = it != known_.end() && now && sameDevice(*it->second, *now);
    if (!unchanged) {
      if (it != known_.end()) {
        removed.push_back(it->second);
        known_.erase(it);
      }
      if (now) {
        arrived.push_back(now);
        known_[d.syspath] = now;
      }
    }
  }
  // One call per event keeps a quick remove-and-add in its order.
  if (onChange && (!arrived.empty() || !removed.empty())) onChange(arrived, removed);
}

void UdevDeviceSource::stop() {
  std::unique_ptr<Monitor> monitor;
  std::thread thread;
  {
    std::lock_guard<std::mutex> g(mutex_);
    monitor = std::move(monitor_);
    thread = std::move(thread_);
  }
  if (!monitor) return;
  uint64_t one = 1;
  while (::write(monitor->stopFd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
  if (thread.joinable()) thread.join();
}

}  // namespace velmora::platform
