// The device-folder back-end of the registry: lists the "tty.NAME" symbolic
// links of a folder (DeviceFolder.h) as devices and reports their arrival and
// removal.
//
// A link is listed when its publisher lives (DeviceFolder.h: it holds the
// lock on "tty.NAME.lock"), the link and its target belong to this user, and
// the target exists and is a character device.  A link whose publisher has
// gone is removed, with the log line "Device folder DIR: removed tty.NAME,
// whose publisher has gone"; a link without a lock file is left alone and
// logged once ("Device folder DIR: ignored tty.NAME: no process holds
// tty.NAME.lock, so it may be stale").  Nothing is listed from a folder that
// DeviceFolder::refusal() refuses; the log line "Device folder DIR refused:
// REASON" says why, once.  The device is called NAME, its callout path is
// the link's own path and its one further path is the link's fully resolved
// target (for example /dev/pts/5).  examine() says, for a user, why each
// entry that is not listed is left out.  Listings are sorted by NAME (byte order).
//
// Changes are found by rescanning the folder whenever inotify reports an
// event for a "tty." entry in it (a publisher's lock file closed after
// writing included: that is how a publisher that dies is noticed), or for an
// entry in a directory holding a link's target (so that a pty that vanishes
// under its link, or comes back, is noticed), and diffing against the
// previous listing.  A device is the
// pair (link path, resolved target): a link replaced by one with the same
// target is no change, a link replaced by one with another target is the
// removal of the old device and the arrival of the new one.  A device that
// stays listed keeps its DeviceRef, so enumerate() and the events hand out
// the same objects.
//
// If the folder itself is deleted or moved away every device is reported
// removed, and the watcher finds it again when it is back: through its
// parent folder, which it watches for the folder's name, or by looking again
// once a second while the parent is missing too.
//
// Threads: the watcher runs on a thread of its own, started by start() and
// joined by stop(); it calls the change handler.  enumerate(), start() and
// stop() may be called from any thread, but stop() not from the change
// handler.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/DeviceRegistry.h"

namespace velmora::platform {

class FolderDeviceSource : public DeviceSource {
 public:
  // Watches `folder`; an empty `folder` means DeviceFolder::path() as it is
  // when the source first needs it (first enumerate() or start()).
  explicit FolderDeviceSource(std::string folder = {});
  ~FolderDeviceSource() override;
  FolderDeviceSource(const FolderDeviceSource&) = delete;
  FolderDeviceSource& operator=(const FolderDeviceSource&) = delete;

  // A "tty." entry of the folder that is not listed, and why, in words for
  // a user ("no process holds tty.NAME.lock, so it may be stale").
  struct IgnoredLink {
    std::string name;  // NAME of "tty.NAME"
    std::string reason;
  };
  // What a scan of `folder` leaves out: its refusal (DeviceFolder::refusal,
  // empty when the folder may be used; then nothing is listed) and the
  // entries it ignores, sorted by name.  Like every scan it removes the
  // links whose publisher has gone.
  struct Examination {
    std::string refusal;
    std::vector<IgnoredLink> ignored;
  };
  static Examination examine(const std::string& folder);

  std::vector<DeviceRef> enumerate() override;
  void start(ChangeHandler onChange) override;
  void stop() override;

  // The result of one scan (internal).
  struct Listing;

 private:
  struct Watcher;

  // The folder in use, resolved once; empty if it cannot be had.
  std::string folder();
  // The watcher thread: rescans on events and reports the differences.
  void watch(Watcher* watcher);
  // Logs what a scan removed or ignored, and a refusal of the folder.
  void report(const std::string& folder, const Listing& listing);

  std::mutex mutex_;
  std::string folder_;
  bool folderResolved_ = false;
  // The listing last reported (the base of the next diff).
  std::vector<DeviceRef> listed_;
  // The refusal last logged (empty: none), and the ignored links logged.
  std::string refusal_;
  std::set<std::string> ignoredLogged_;
  ChangeHandler onChange_;
  std::unique_ptr<Watcher> watcher_;
  std::thread thread_;
};

}  // namespace velmora::platform
