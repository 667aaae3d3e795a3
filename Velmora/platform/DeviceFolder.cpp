#include "platform/DeviceFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace velmora::platform {
namespace {

std::mutex& folderMutex() {
  static std::mutex m;
  return m;
}

std::string& configuredPath() {
  static std::string p;
  return p;
}

// Creates `dir` and its parents; the last component gets owner-only access.
void ensureFolder(const std::string& dir) {
  std::error_code ec;
  std::filesystem::path p(dir);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::system_error(errno, std::generic_category(), "cannot create device folder " + dir);
  }
}

}  // namespace

std::string DeviceFolder::defaultPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/velmora/devices";
  return "/tmp/velmora-" + std::to_string(::getuid()) + "/devices";
}

std::string DeviceFolder::path() {
  std::string dir;
  {
    std::lock_guard<std::mutex> g(folderMutex());
    if (configuredPath().empty()) configuredPath() = defaultPath();
    dir = configuredPath();
  }
  ensureFolder(dir);
  return dir;
}

void DeviceFolder::setPath(const std::string& folder) {
  std::lock_guard<std::mutex> g(folderMutex());
  configuredPath() = folder;
}

std::string DeviceFolder::publish(const std::string& name, const std::string& target) {
  if (name.empty() || name.find('/') != std::string::npos) {
    throw std::invalid_argument("device name must be non-empty and contain no '/': \"" + name + "\"");
  }
  std::string link = path() + "/tty." + name;
  // Create under a temporary name, then rename over any old link, so that a
  // watcher never sees a half-made link.
  std::string temp = path() + "/.tmp." + name + "." + std::to_string(::getpid());
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot publish " + link);
  }
  if (::rename(temp.c_str(), link.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    throw std::system_error(err, std::generic_category(), "cannot publish " + link);
  }
  return link;
}

void DeviceFolder::unpublish(const std::string& name) {
  std::string link = path() + "/tty." + name;
  ::unlink(link.c_str());
}

}  // namespace velmora::platform
