#include "platform/FolderDeviceSource.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <system_error>

#include "platform/DeviceFolder.h"
#include "platform/Files.h"
#include "platform/Log.h"

namespace velmora::platform {
namespace {

constexpr const char kLinkPrefix[] = "tty.";
constexpr size_t kLinkPrefixLength = sizeof(kLinkPrefix) - 1;

bool isLinkName(const char* name) {
  return std::strncmp(name, kLinkPrefix, kLinkPrefixLength) == 0 && name[kLinkPrefixLength] != '\0';
}

// Same link and same resolved target.
bool sameDevice(const Device& a, const Device& b) {
  return a.calloutPath() == b.calloutPath() && a.otherPaths() == b.otherPaths() && a.name() == b.name();
}

std::optional<std::string> resolvedPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

}  // namespace

struct FolderDeviceSource::Listing {
  std::vector<DeviceRef> devices;
  // Directories holding the links' targets, dangling links included, so
  // that a target that vanishes or (re)appears can be noticed.
  std::set<std::string> targetDirectories;
  // Why the folder was not read (see DeviceFolder::refusal), or empty.
  std::string refusal;
  // NAMEs of the stale links this scan removed, and of the links without a
  // lock file that it ignored.
  std::vector<std::string> removed;
  std::vector<std::string> ignored;
  // Every entry left out, with the reason (the ones above included).
  std::vector<FolderDeviceSource::IgnoredLink> skipped;
};

namespace {

using Listing = FolderDeviceSource::Listing;

Listing list(const std::string& folder, const std::vector<DeviceRef>& reuse) {
  Listing listing;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return listing;  // a missing folder simply has no devices
  listing.refusal = DeviceFolder::refusal(folder);
  if (!listing.refusal.empty()) {
    ::closedir(dir);
    return listing;
  }
  const uid_t me = ::geteuid();
  std::vector<std::pair<std::string, std::string>> found;  // NAME, target
  while (dirent* entry = ::readdir(dir)) {
    if (!isLinkName(entry->d_name) || DeviceFolder::isLockName(entry->d_name)) continue;
    std::string link = folder + "/" + entry->d_name;
    const std::string name = entry->d_name + kLinkPrefixLength;
    auto skip = [&](std::string reason) { listing.skipped.push_back({name, std::move(reason)}); };
    struct stat st {};
    if (::lstat(link.c_str(), &st) != 0) continue;  // gone meanwhile
    if (!S_ISLNK(st.st_mode)) {
      skip("it is not a symbolic link");
      continue;
    }
    if (st.st_uid != me) {
      skip("the link belongs to another user (uid " + std::to_string(st.st_uid) + ")");
      continue;
    }
    const DeviceFolder::Publisher publisher = DeviceFolder::publisherOf(link);
    if (publisher == DeviceFolder::Publisher::Gone) {
      listing.removed.push_back(name);
      continue;
    }
    if (publisher == DeviceFolder::Publisher::None) {
      listing.ignored.push_back(name);
      skip("no process holds tty." + name + ".lock, so it may be stale");
      continue;
    }

    char raw[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), raw, sizeof(raw) - 1);
    if (n > 0) {
      std::string target(raw, static_cast<size_t>(n));
      if (target.front() != '/') target = folder + "/" + target;
      listing.targetDirectories.insert(folderOf(target));
    }
    auto target = resolvedPath(link);
    if (!target) {
      const int err = errno;
      skip("its target cannot be reached: " + errnoText(err));
      continue;
    }
    listing.targetDirectories.insert(folderOf(*target));
    if (::stat(link.c_str(), &st) != 0) {
      const int err = errno;
      skip("its target cannot be reached: " + errnoText(err));
      continue;
    }
    if (!S_ISCHR(st.st_mode)) {
      skip("its target " + *target + " is not a terminal device");
      continue;
    }
    if (st.st_uid != me) {
      skip("its target " + *target + " belongs to another user (uid " + std::to_string(st.st_uid) + ")");
      continue;
    }
    found.emplace_back(entry->d_name + kLinkPrefixLength, *target);
  }
  ::closedir(dir);

  std::sort(found.begin(), found.end());
  for (auto& [name, target] : found) {
    auto device =
        std::make_shared<const Device>(folder + "/" + kLinkPrefix + name, std::vector<std::string>{target}, name);
    auto same = std::find_if(reuse.begin(), reuse.end(), [&](const DeviceRef& d) { return sameDevice(*d, *device); });
    listing.devices.push_back(same != reuse.end() ? *same : std::move(device));
  }
  return listing;
}

// The devices of `from` that have no equal in `in`, in the order of `from`.
std::vector<DeviceRef> missing(const std::vector<DeviceRef>& from, const std::vector<DeviceRef>& in) {
  std::vector<DeviceRef> result;
  for (const auto& d : from) {
    if (std::none_of(in.begin(), in.end(), [&](const DeviceRef& e) { return sameDevice(*d, *e); })) {
      result.push_back(d);
    }
  }
  return result;
}

}  // namespace

// The watcher thread's state: the inotify descriptor with its watches and the
// descriptor that stop() signals.  Touched only by the watcher thread once it
// runs (and by start() before, stop() after).
struct FolderDeviceSource::Watcher {
  std::string folder;
  // The folder's parent is watched for the folder's own name: a folder that
  // is removed while a file in it is still open (a publisher's lock) gives no
  // event of its own until that file is closed.
  std::string parent;
  std::string folderName;
  int inotifyFd = -1;
  int stopFd = -1;
  int folderWd = -1;
  int parentWd = -1;
  std::map<int, std::string> targetWds;
  // Whether some link points into the folder itself (or its parent); then
  // every entry there matters, not only the "tty." ones (or the folder).
  bool targetsInFolder = false;
  bool targetsInParent = false;

  ~Watcher() {
    if (inotifyFd >= 0) ::close(inotifyFd);
    if (stopFd >= 0) ::close(stopFd);
  }

  bool watchFolder() {
    folderWd = ::inotify_add_watch(inotifyFd, folder.c_str(),
                                   IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF |
                                       IN_MOVE_SELF | IN_CLOSE_WRITE | IN_ONLYDIR);
    return folderWd >= 0;
  }

  void watchParent() {
    parentWd = ::inotify_add_watch(inotifyFd, parent.c_str(),
                                   IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR | IN_MASK_ADD);
  }

  void watchTargets(const std::set<std::string>& dirs) {
    for (auto it = targetWds.begin(); it != targetWds.end();) {
      if (dirs.count(it->second) == 0) {
        ::inotify_rm_watch(inotifyFd, it->first);
        it = targetWds.erase(it);
      } else {
        ++it;
      }
    }
    targetsInFolder = dirs.count(folder) != 0;
    targetsInParent = dirs.count(parent) != 0;
    for (const auto& dir : dirs) {
      if (dir == folder || dir == parent) continue;
      bool watched = std::any_of(targetWds.begin(), targetWds.end(), [&](const auto& e) { return e.second == dir; });
      if (watched) continue;
      // IN_MASK_ADD: should the directory be the folder under another name,
      // the folder's own watch must keep its mask.
      int wd = ::inotify_add_watch(inotifyFd, dir.c_str(), IN_CREATE | IN_DELETE | IN_ONLYDIR | IN_MASK_ADD);
      if (wd >= 0 && wd != folderWd) targetWds[wd] = dir;
    }
  }

  // Reads every pending event; returns whether one calls for a rescan.
  bool drainEvents() {
    bool rescan = false;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      ssize_t n = ::read(inotifyFd, buffer, sizeof(buffer));
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return rescan;
      }
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        p += sizeof(inotify_event) + event->len;
        if (event->mask & IN_Q_OVERFLOW) {
          rescan = true;
        } else if (event->wd == folderWd && folderWd >= 0) {
          if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
            // A moved folder keeps its watch, but no longer at our path.
            if (!(event->mask & IN_IGNORED)) ::inotify_rm_watch(inotifyFd, folderWd);
            folderWd = -1;
            rescan = true;
          } else if (event->len > 0 && (targetsInFolder || isLinkName(event->name))) {
            rescan = true;
          }
        } else if (event->wd == parentWd && parentWd >= 0) {
          if (event->mask & IN_IGNORED) {
            parentWd = -1;
            rescan = true;
          } else if (event->len > 0 && folderName == event->name) {
            if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) && folderWd >= 0) {
              ::inotify_rm_watch(inotifyFd, folderWd);
              folderWd = -1;
            }
            rescan = true;
          } else if (targetsInParent) {
            rescan = true;
          }
        } else if (auto it = targetWds.find(event->wd); it != targetWds.end()) {
          if (event->mask & IN_IGNORED) targetWds.erase(it);
          rescan = true;
        }
      }
    }
  }
};

FolderDeviceSource::FolderDeviceSource(std::string folder) : folder_(std::move(folder)) {
  while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
  folderResolved_ = !folder_.empty();
}

FolderDeviceSource::~FolderDeviceSource() { stop(); }

std::string FolderDeviceSource::folder() {
  std::lock_guard<std::mutex> g(mutex_);
  if (!folderResolved_) {
    try {
      folder_ = DeviceFolder::path();
      folderResolved_ = true;
    } catch (const std::exception& e) {
      logMessage("Device folder unavailable: %s", e.what());
      return {};
    }
  }
  return folder_;
}

FolderDeviceSource::Examination FolderDeviceSource::examine(const std::string& folder) {
  Listing listing = list(folder, {});
  std::sort(listing.skipped.begin(), listing.skipped.end(),
            [](const IgnoredLink& a, const IgnoredLink& b) { return a.name < b.name; });
  return {std::move(listing.refusal), std::move(listing.skipped)};
}

std::vector<DeviceRef> FolderDeviceSource::enumerate() {
  std::string dir = folder();
  if (dir.empty()) return {};
  std::vector<DeviceRef> reuse;
  {
    std::lock_guard<std::mutex> g(mutex_);
    reuse = listed_;
  }
  Listing listing = list(dir, reuse);
  report(dir, listing);
  return std::move(listing.devices);
}

void FolderDeviceSource::report(const std::string& dir, const Listing& listing) {
  for (const auto& name : listing.removed) {
    logMessage("Device folder %s: removed tty.%s, whose publisher has gone", dir.c_str(), name.c_str());
  }
  // A refusal, and an ignored link, are logged once, not at every scan.
  std::vector<std::string> ignored;
  bool refusalChanged = false;
  {
    std::lock_guard<std::mutex> g(mutex_);
    for (const auto& name : listing.ignored) {
      if (ignoredLogged_.insert(name).second) ignored.push_back(name);
    }
    refusalChanged = listing.refusal != refusal_;
    refusal_ = listing.refusal;
  }
  for (const auto& name : ignored) {
    logMessage("Device folder %s: ignored tty.%s: no process holds tty.%s.lock, so it may be stale", dir.c_str(),
               name.c_str(), name.c_str());
  }
  if (refusalChanged && !listing.refusal.empty()) {
    logMessage("Device folder %s refused: %s", dir.c_str(), listing.refusal.c_str());
  }
}

void FolderDeviceSource::start(ChangeHandler onChange) {
  std::string dir = folder();
  Listing listing;
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (watcher_ || dir.empty()) return;

    auto watcher = std::make_unique<Watcher>();
    watcher->folder = dir;
    watcher->parent = folderOf(dir);
    watcher->folderName = dir.substr(dir.rfind('/') + 1);
    watcher->inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    watcher->stopFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (watcher->inotifyFd < 0 || watcher->stopFd < 0) {
      logMessage("Device folder %s: cannot watch: %s", dir.c_str(), errnoText(errno).c_str());
      return;
    }
    // Watch first, then take the base listing, so that no change falls between.
    watcher->watchParent();
    if (!watcher->watchFolder()) {
      logMessage("Device folder %s: cannot watch: %s", dir.c_str(), errnoText(errno).c_str());
    }
    listing = list(dir, listed_);
    listed_ = listing.devices;
    watcher->watchTargets(listing.targetDirectories);

    onChange_ = std::move(onChange);
    watcher_ = std::move(watcher);
    thread_ = std::thread([this, w = watcher_.get()] { watch(w); });
  }
  report(dir, listing);
}

void FolderDeviceSource::watch(Watcher* w) {
  for (;;) {
    pollfd fds[2] = {{w->stopFd, POLLIN, 0}, {w->inotifyFd, POLLIN, 0}};
    // Without its folder (or its parent) the watcher looks for it again once
    // a second.
    int n = ::poll(fds, 2, w->folderWd < 0 || w->parentWd < 0 ? 1000 : -1);
    if (n < 0 && errno != EINTR) {
      logMessage("Device folder %s: watching failed: %s", w->folder.c_str(), errnoText(errno).c_str());
      return;
    }
    if (fds[0].revents != 0) return;
    bool rescan = (fds[1].revents & POLLIN) != 0 && w->drainEvents();
    if (w->parentWd < 0) w->watchParent();
    if (w->folderWd < 0 && w->watchFolder()) rescan = true;
    if (!rescan) continue;

    std::vector<DeviceRef> before;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      before = listed_;
    }
    Listing now = list(w->folder, before);
    report(w->folder, now);
    w->watchTargets(now.targetDirectories);
    auto arrived = missing(now.devices, before);
    auto removed = missing(before, now.devices);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      listed_ = std::move(now.devices);
    }
    if (!arrived.empty() || !removed.empty()) onChange_(arrived, removed);
  }
}

void FolderDeviceSource::stop() {
  std::unique_ptr<Watcher> watcher;
  std::thread thread;
  {
    std::lock_guard<std::mutex> g(mutex_);
    watcher = std::move(watcher_);
    thread = std::move(thread_);
  }
  if (!watcher) return;
  uint64_t one = 1;
  while (::write(watcher->stopFd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
  if (thread.joinable()) thread.join();
}

}  // namespace velmora::platform
