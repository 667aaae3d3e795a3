#include "sim/ScratchFolder.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace velmora::sim {

ScratchFolder::ScratchFolder(const std::string& name) {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / (name + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "cannot create a scratch folder in " + base.string());
  }
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  if (keep_) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace velmora::sim
