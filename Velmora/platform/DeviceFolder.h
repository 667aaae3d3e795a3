// The user-space device folder: a directory of symbolic links named
// "tty.NAME" that point at ttys (typically ptys).  The registry lists each
// link as a device called NAME whose callout path is the link and whose
// further path is the link's target.  The headset simulator publishes its pty
// here; a user may publish any tty the same way.
//
// The folder is $XDG_RUNTIME_DIR/velmora/devices, or /tmp/velmora-UID/devices
// where that variable is unset, unless the host sets another with setPath()
// before the shared registry is first used.  path() creates it, and any
// missing folder above it, with owner-only permissions (0700).
//
// Trust.  A folder is used only when refusal() finds nothing wrong with it:
// it must belong to this user and be owner-only, and every folder and
// symbolic link on the way to it must belong to this user or to root, a
// folder on the way being writable by others only when it is sticky (as
// /tmp is).  Otherwise another user could plant links in it, or swap it.
// Publishing into a refused folder fails; the folder source lists nothing
// from it and logs the refusal.
//
// Publishers.  A link counts only while its publisher lives.  The publisher
// of "tty.NAME" holds an exclusive flock(2) lock on the regular file
// "tty.NAME.lock" beside it for as long as the link is published: it takes
// the lock before it makes the link and gives it up after it has removed the
// link, and the kernel gives it up when the publisher dies.  The folder
// source tests the lock with a shared, non-blocking flock, and ignores every
// link whose lock nobody holds, so that a pty number that a later program is
// given can never be reached through a stale link.  A link whose lock file is
// there but free (its publisher died) is also removed; a link without a lock
// file (made by hand, as before locks existed) is left where it is, and the
// source logs once that it ignores it.  unpublish() removes the lock file
// too, while still holding the lock; a publisher or reader that opened it
// meanwhile finds, once it has its lock, that the name no longer leads to
// that file, and opens the name again.  A publisher that dies leaves its
// (empty) lock file, which serves the next publisher of that name.  Device
// names ending in ".lock" are therefore not allowed.
//
// Publishing by hand (a bridged tty, say) follows the same rule: keep a
// lock on tty.NAME.lock while the link exists, for instance from a shell
//   exec 9>>"$dir/tty.NAME.lock" && flock -n 9 && ln -sfn /dev/pts/7 "$dir/tty.NAME"
// and the link counts for as long as that shell, or a program that
// inherited descriptor 9, runs.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <string>
#include <string_view>

namespace velmora::platform {

class DeviceFolder {
 public:
  // The folder in use; created if missing.  Throws std::system_error when it
  // cannot be created.  It is not checked here: see refusal().
  static std::string path();
  static void setPath(const std::string& folder);
  static std::string defaultPath();

  // Why `folder` must not be used (it or what it resolves through belongs
  // to another user, or lets others in), or empty if it may.  A missing
  // folder is refused too.
  static std::string refusal(const std::string& folder);

  // Publishes `target` as "tty.NAME" in the folder (replacing a link of that
  // name) and returns the link's path; this process holds the publisher's
  // lock until unpublish() or its end.  Publishing a name again from this
  // process replaces the link.  Throws std::invalid_argument for a bad name,
  // std::system_error when the folder is refused (EPERM), when another
  // running process publishes NAME (EBUSY), or on any other failure.
  static std::string publish(const std::string& name, const std::string& target);
  // Removes "tty.NAME" from the folder and then, if this process publishes
  // it, its lock file, and gives up the lock; a missing link, or folder, is
  // ignored (the folder is not made).
  static void unpublish(const std::string& name);

  // For readers of a folder: the publisher of `link` (a "tty.NAME" link).
  // Alive: somebody holds its lock.  Gone: its lock file is there but
  // nobody holds it; the link has been removed.  None: there is no lock file
  // (the link was made by hand) or it is not this user's own regular file;
  // the link is left alone.
  enum class Publisher { Alive, Gone, None };
  static Publisher publisherOf(const std::string& link);
  // Whether `name` ends in ".lock": a publisher's lock file, never a link.
  static bool isLockName(std::string_view name);
};

}  // namespace velmora::platform
