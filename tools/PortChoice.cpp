#include "PortChoice.h"

#include <sys/stat.h>

#include <vector>

#include "ZPRSerialPort.h"
#include "ZPRSerialPortManager.h"

namespace velmora::tool {
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
  for (const auto& port : ZPRSerialPortManager::sharedSerialPortManager().availablePorts()) {
    if (matches(*port)) return port;
  }
  return nullptr;
}

std::optional<std::string> PortChoice::connectPath() const {
  const auto port = find();
  if (!port) return std::nullopt;
  for (const std::string& path : pathsOf(*port)) {
    if (path.find('.') == std::string::npos) return path;
  }
  return port->path();
}

}  // namespace velmora::tool
