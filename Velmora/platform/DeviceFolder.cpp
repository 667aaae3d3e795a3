#include "platform/DeviceFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace velmora::platform {
namespace {

// A checker holds its shared lock for a moment only; a publisher that meets
// one tries again for this long before it concludes that another process
// publishes the name.
constexpr auto kLockPatience = std::chrono::seconds(1);

// "tty.NAME" is locked through "tty.NAME.lock".
constexpr std::string_view kLockSuffix = ".lock";

std::mutex& folderMutex() {
  static std::mutex m;
  return m;
}

std::string& configuredPath() {
  static std::string p;
  return p;
}

// The folder set, else the default, which stays from then on.
std::string folderInUse() {
  std::lock_guard<std::mutex> g(folderMutex());
  if (configuredPath().empty()) configuredPath() = DeviceFolder::defaultPath();
  return configuredPath();
}

// The publisher locks this process holds, by link path.
struct HeldLocks {
  std::mutex mutex;
  std::map<std::string, int> fds;
};

HeldLocks& heldLocks() {
  static auto* locks = new HeldLocks();  // never destroyed: the locks last until the process ends
  return *locks;
}

std::string mode(mode_t m) {
  char text[8];
  std::snprintf(text, sizeof text, "0%03o", static_cast<unsigned>(m & 07777));
  return text;
}

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

// Walks `path` (absolute) from the root, following symbolic links, and
// checks every folder and link on the way; `resolved` receives the real
// path ("" for the root).  Returns the problem, or empty.
std::string walk(const std::string& path, uid_t me, std::string& resolved, int& links) {
  resolved.clear();
  for (const auto& part : components(path)) {
    if (part == ".") continue;
    if (part == "..") {
      resolved.erase(std::min(resolved.size(), resolved.rfind('/')));
      continue;
    }
    const std::string next = resolved + "/" + part;
    struct stat st {};
    if (::lstat(next.c_str(), &st) != 0) return "cannot reach " + next + ": " + std::strerror(errno);
    if (st.st_uid != me && st.st_uid != 0) {
      return next + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    }
    if (S_ISLNK(st.st_mode)) {
      if (++links > 40) return "too many symbolic links on the way to " + path;
      char target[PATH_MAX];
      ssize_t n = ::readlink(next.c_str(), target, sizeof target - 1);
      if (n < 0) return "cannot read the link " + next + ": " + std::strerror(errno);
      std::string to(target, static_cast<size_t>(n));
      std::string through;
      std::string problem = walk(to.front() == '/' ? to : resolved + "/" + to, me, through, links);
      if (!problem.empty()) return problem;
      resolved = through;
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return next + " is not a folder";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
      return next + " can be changed by other users (mode " + mode(st.st_mode) + ")";
    }
    resolved = next;
  }
  return {};
}

// Creates `dir` and the folders above it that are missing, owner-only.
void ensureFolder(const std::string& dir) {
  std::string prefix = dir.front() == '/' ? "" : ".";
  for (const auto& part : components(dir)) {
    prefix += "/" + part;
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::system_error(errno, std::generic_category(), "cannot create device folder " + dir);
    }
  }
}

// Takes an exclusive lock on `fd`, trying again until `giveUp` while
// another holds it; closes `fd` and throws when it cannot be had.
void lockExclusive(int fd, const std::string& lockPath, const std::string& name,
                   std::chrono::steady_clock::time_point giveUp) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK || std::chrono::steady_clock::now() > giveUp) {
      ::close(fd);
      if (err == EWOULDBLOCK) {
        throw std::system_error(EBUSY, std::generic_category(), "tty." + name + " is published by another process");
      }
      throw std::system_error(err, std::generic_category(), "cannot lock " + lockPath);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Whether `path` still names the file open at `fd`: a lock file removed by
// the publisher that let go of it locks nothing any more.
bool stillNamed(int fd, const std::string& path) {
  struct stat open {}, named {};
  return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && open.st_ino == named.st_ino &&
         open.st_dev == named.st_dev;
}

// Takes the publisher's lock on `lockPath`; returns its descriptor.
int acquirePublisherLock(const std::string& lockPath, const std::string& name) {
  const auto giveUp = std::chrono::steady_clock::now() + kLockPatience;
  for (;;) {
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open the lock " + lockPath);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
      ::close(fd);
      throw std::system_error(EPERM, std::generic_category(), lockPath + " is not this user's own lock file");
    }
    lockExclusive(fd, lockPath, name, giveUp);
    if (stillNamed(fd, lockPath)) return fd;
    ::close(fd);  // removed by its last publisher meanwhile: take the new one
  }
}

}  // namespace

std::string DeviceFolder::defaultPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/velmora/devices";
  return "/tmp/velmora-" + std::to_string(::getuid()) + "/devices";
}

std::string DeviceFolder::path() {
  std::string dir = folderInUse();
  ensureFolder(dir);
  return dir;
}

void DeviceFolder::setPath(const std::string& folder) {
  std::lock_guard<std::mutex> g(folderMutex());
  configuredPath() = folder;
}

std::string DeviceFolder::refusal(const std::string& folder) {
  if (folder.empty()) return "no folder named";
  std::string absolute = folder;
  if (absolute.front() != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return std::string("cannot resolve it: ") + std::strerror(errno);
    absolute = std::string(cwd) + "/" + folder;
  }
  const uid_t me = ::geteuid();
  std::string resolved;
  int links = 0;
  std::string problem = walk(absolute, me, resolved, links);
  if (!problem.empty()) return problem;
  struct stat st {};
  if (::stat(resolved.empty() ? "/" : resolved.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "not a folder";
  if (st.st_uid != me) return "it belongs to uid " + std::to_string(st.st_uid) + ", not to this user";
  if ((st.st_mode & 077) != 0) {
    return "other users can reach it (mode " + mode(st.st_mode) + "); it must be owner-only (chmod 700)";
  }
  return {};
}

std::string DeviceFolder::publish(const std::string& name, const std::string& target) {
  if (name.empty() || name.find('/') != std::string::npos || isLockName(name)) {
    throw std::invalid_argument("device name must be non-empty, contain no '/' and not end in \".lock\": \"" + name +
                                "\"");
  }
  const std::string folder = path();
  if (std::string problem = refusal(folder); !problem.empty()) {
    throw std::system_error(EPERM, std::generic_category(), "device folder " + folder + " refused: " + problem);
  }
  const std::string link = folder + "/tty." + name;

  HeldLocks& locks = heldLocks();
  std::lock_guard<std::mutex> g(locks.mutex);
  const bool held = locks.fds.count(link) != 0;
  if (!held) locks.fds[link] = acquirePublisherLock(link + std::string(kLockSuffix), name);
  auto release = [&] {
    if (held) return;
    ::close(locks.fds[link]);
    locks.fds.erase(link);
  };
  // Create under a temporary name, then rename over any old link, so that a
  // watcher never sees a half-made link.
  std::string temp = folder + "/.tmp." + name + "." + std::to_string(::getpid());
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0) {
    int err = errno;
    release();
    throw std::system_error(err, std::generic_category(), "cannot publish " + link);
  }
  if (::rename(temp.c_str(), link.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    release();
    throw std::system_error(err, std::generic_category(), "cannot publish " + link);
  }
  return link;
}

void DeviceFolder::unpublish(const std::string& name) {
  // The folder is not made for this: a folder that has gone has no link.
  const std::string link = folderInUse() + "/tty." + name;
  // The link goes before the lock: a link never outlives its publisher's lock.
  ::unlink(link.c_str());
  HeldLocks& locks = heldLocks();
  std::lock_guard<std::mutex> g(locks.mutex);
  if (auto it = locks.fds.find(link); it != locks.fds.end()) {
    // Removed while still locked: a publisher or reader that opened it
    // meanwhile sees that the name no longer leads to it.
    ::unlink((link + std::string(kLockSuffix)).c_str());
    ::close(it->second);
    locks.fds.erase(it);
  }
}

DeviceFolder::Publisher DeviceFolder::publisherOf(const std::string& link) {
  // Opened for reading only: the folder source watches for lock files closed
  // after writing (a publisher letting go), and must not wake itself.
  int fd = ::open((link + std::string(kLockSuffix)).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return Publisher::None;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    ::close(fd);
    return Publisher::None;
  }
  int r;
  while ((r = ::flock(fd, LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
  }
  const bool held = r != 0 && errno == EWOULDBLOCK;
  if (r == 0 && !stillNamed(fd, link + std::string(kLockSuffix))) {
    // Its publisher let go and removed it; a new publisher of the name may
    // own the link by now.
    ::close(fd);
    return Publisher::Alive;
  }
  if (r == 0) {
    // While this shared lock is held no publisher can make a new link, so
    // the link removed here is the stale one.
    ::unlink(link.c_str());
  }
  ::close(fd);
  return r == 0 ? Publisher::Gone : held ? Publisher::Alive : Publisher::None;
}

bool DeviceFolder::isLockName(std::string_view name) { return name.ends_with(kLockSuffix); }

}  // namespace velmora::platform
