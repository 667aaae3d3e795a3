#include "host/PortChoice.h"

#include <sys/stat.h>

#include <vector>

#include "ZPRSerialPort.h"
#include "ZPRSerialPortManager.h"

namespace velmora::host {
namespace {

std::vector<std::string> pathsOf(const ZPRSerialPort& port) {
  std::vector<std::string> paths{port.path()};
  if (port.IOKitDevice()) {
    const auto& more = port.IOKitDevice()->otherPaths();
    paths.insert(paths.end(), more.begin(), more.end());
  }
  return paths;
}

// The tty device `path` names, if it names one.
std::optional<dev_t> ttyDevice(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
  return st.st_rdev;
}

// The name ConnectTo reads out of a path: the text between its first and
// second ".", or none.
std::optional<std::string> nameInPath(const std::string& path) {
  const size_t first = path.find('.');
  if (first == std::string::npos) return std::nullopt;
  return path.substr(first + 1, path.find('.', first + 1) - first - 1);
}

}  // namespace

bool PortChoice::matches(const ZPRSerialPort& port) const {
  if (!byPath()) return port.name() == text_;
  const auto wanted = ttyDevice(text_);
  for (const std::string& path : pathsOf(port)) {
    if (path == text_ || (wanted && ttyDevice(path) == wanted)) return true;
  }
  return false;
}

std::shared_ptr<ZPRSerialPort> PortChoice::find() const {
  const auto ports = ZPRSerialPortManager::sharedSerialPortManager().availablePorts();
  for (const auto& port : ports) {
    if (matches(*port)) return port;
  }
  // A path that is no listed port's device: the name in it, as ConnectTo
  // reads it.
  if (const auto name = byPath() ? nameInPath(text_) : std::nullopt) {
    for (const auto& port : ports) {
      if (port->name() == *name) return port;
    }
  }
  return nullptr;
}

std::optional<std::string> PortChoice::connectPath() const {
  const auto port = find();
  if (!port) return std::nullopt;
  return port->path();
}

}  // namespace velmora::host
