#include "CommandSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/DeviceFolder.h"
#include "platform/OwnFile.h"

namespace velmora::tool {
namespace {

namespace fs = std::filesystem;

std::string parentOf(const std::string& path) {
  std::string parent = fs::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

// Creates and removes a file in `dir`: the one sure test of whether files
// can be made there (access() says yes to root on a folder that refuses).
int probeWritable(const std::string& dir) {
  std::string probe = dir + "/.velmora-probe-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return errno;
  ::close(fd);
  ::unlink(probe.c_str());
  return 0;
}

std::optional<std::string> checkDeviceFolder(const std::string& dir, const std::string& source) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return source + " " + dir + " is not a folder; name a folder for the device links";
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) return "cannot read the device folder " + dir + " (" + source + "): " + std::strerror(errno);
    ::closedir(listing);
    return std::nullopt;
  }
  if (errno != ENOENT) return "cannot use the device folder " + dir + " (" + source + "): " + std::strerror(errno);
  const std::string parent = parentOf(dir);
  struct stat parentStat {};
  if (::stat(parent.c_str(), &parentStat) != 0 || !S_ISDIR(parentStat.st_mode)) {
    return "cannot create the device folder " + dir + " (" + source + "): the folder " + parent +
           " does not exist; only the last part of the path is created";
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return "cannot create the device folder " + dir + " (" + source + "): " + std::strerror(errno);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> useDeviceFolder(const std::optional<std::string>& option) {
  std::optional<std::string> dir = option;
  std::string source = "--device-dir";
  if (!dir) {
    if (const char* env = std::getenv("VELMORA_DEVICE_DIR"); env != nullptr && *env != '\0') {
      dir = env;
      source = "$VELMORA_DEVICE_DIR";
    }
  }
  if (dir) {
    if (dir->empty()) return std::string("--device-dir needs a folder");
    if (auto problem = checkDeviceFolder(*dir, source)) return problem;
    platform::DeviceFolder::setPath(*dir);
    return std::nullopt;
  }
  try {
    platform::DeviceFolder::path();  // the default folder, created on first use
  } catch (const std::system_error& e) {
    return std::string(e.what()) + "; choose a device folder you can write with --device-dir DIR or VELMORA_DEVICE_DIR";
  }
  return std::nullopt;
}

int openInput(const std::string& file, const char* command, std::string& name) {
  if (file.empty() || file == "-") {
    name = "standard input";
    return STDIN_FILENO;
  }
  name = file;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::fprintf(stderr, "%s: cannot open %s: %s\n", command, file.c_str(), std::strerror(errno));
  return fd;
}

bool wantJsonLines(bool asked) {
  if (asked || ::isatty(STDOUT_FILENO) == 0) return true;
  const char* term = std::getenv("TERM");
  return term != nullptr && std::string(term) == "dumb";
}

std::optional<std::string> checkWritableFolder(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) return "the folder " + dir + " does not exist; create it with `mkdir -p " + dir + "`";
    return "cannot use the folder " + dir + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return dir + " is not a folder";
  if (const int err = probeWritable(dir); err != 0) {
    return "files cannot be created in the folder " + dir + " (" + std::strerror(err) +
           "); choose another folder or make this one writable";
  }
  return std::nullopt;
}

std::optional<std::string> checkSaveTarget(const std::string& file) {
  if (file.empty()) return "the file name is empty";
  struct stat st {};
  if (::lstat(file.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      return file + " is a folder; name a file in it, e.g. " + (fs::path(file) / "recording.csv").string();
    }
    if (S_ISLNK(st.st_mode)) return file + " is a symbolic link; name the file itself, or a new file";
    if (!S_ISREG(st.st_mode)) {
      const char* kind = S_ISFIFO(st.st_mode) ? "a FIFO" : S_ISSOCK(st.st_mode) ? "a socket" : "a device";
      return file + " is " + kind + ", not a regular file; saving would replace it, so name a new or regular file";
    }
    // The mode bits too: root may write anything, yet a file made read-only
    // is one its owner wants kept.
    if ((st.st_mode & 0222) == 0 || ::access(file.c_str(), W_OK) != 0) {
      return file + " is read-only; make it writable (chmod u+w) or name another file";
    }
    // Another user's file (planted in a shared folder such as /tmp, say).
    if (const platform::OwnFileError problem = platform::ownFileProblem(file); problem.code != 0) {
      return problem.sentence(file) + "; name a file of your own, or a new file";
    }
  }
  return checkWritableFolder(parentOf(file));
}

std::optional<double> parseSeconds(const std::string& text, double least, double most) {
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  if (!(value > 0.0 && value >= least && value <= most)) return std::nullopt;
  return value;
}

}  // namespace velmora::tool
