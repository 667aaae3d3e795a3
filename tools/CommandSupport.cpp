#include "CommandSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/DeviceFolder.h"

namespace velmora::tool {

void useDeviceFolder(const std::string& option) {
  std::string folder = option;
  if (folder.empty()) {
    const char* env = std::getenv("VELMORA_DEVICE_DIR");
    if (env != nullptr) folder = env;
  }
  if (!folder.empty()) platform::DeviceFolder::setPath(folder);
}

bool wantJsonLines(bool asked) {
  if (asked || ::isatty(STDOUT_FILENO) == 0) return true;
  const char* term = std::getenv("TERM");
  return term != nullptr && std::string(term) == "dumb";
}

std::optional<std::string> makeScratchFolder(const std::string& name) {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / (name + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  return pattern;
}

void removeFolder(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::optional<std::string> checkSaveTarget(const std::string& file) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (file.empty()) return "the file name is empty";
  const fs::path target(file);
  if (fs::is_directory(target, ec))
    return file + " is a folder; name a file in it, e.g. " + (target / "recording.csv").string();
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  if (!fs::is_directory(folder, ec)) {
    return "the folder " + folder.string() + " does not exist; create it with `mkdir -p " + folder.string() + "`";
  }
  if (::access(folder.c_str(), W_OK) != 0) return "the folder " + folder.string() + " is not writable";
  return std::nullopt;
}

}  // namespace velmora::tool
