#include "platform/DeviceRegistry.h"

#include <algorithm>
#include <cctype>

namespace velmora::platform {

Device::Device(std::string calloutPath, std::vector<std::string> otherPaths, std::string name)
    : calloutPath_(std::move(calloutPath)), otherPaths_(std::move(otherPaths)), name_(std::move(name)) {
  otherPaths_.erase(std::remove(otherPaths_.begin(), otherPaths_.end(), calloutPath_), otherPaths_.end());
}

std::optional<std::string> Device::stringProperty(const std::string& key) const {
  if (key == kCalloutDeviceKey) return calloutPath_;
  if (key == kDialinDeviceKey) {
    if (otherPaths_.empty()) return std::nullopt;
    return otherPaths_.front();
  }
  if (key == kTTYDeviceKey) return name_;
  if (key == kSerialClientTypeKey) return std::string(kSerialStreamType);
  if (key == kTTYBaseNameKey || key == kTTYSuffixKey) {
    size_t end = name_.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(name_[end - 1]))) --end;
    return key == kTTYBaseNameKey ? name_.substr(0, end) : name_.substr(end);
  }
  return std::nullopt;
}

bool Device::hasPath(const std::string& path) const {
  if (path.empty()) return false;
  return path == calloutPath_ || std::find(otherPaths_.begin(), otherPaths_.end(), path) != otherPaths_.end();
}

}  // namespace velmora::platform
