// The user-space device folder: a directory of symbolic links named
// "tty.NAME" that point at ttys (typically ptys).  The registry lists each
// link as a device called NAME whose callout path is the link and whose
// further path is the link's target.  The headset simulator publishes its pty
// here; a user may publish any tty the same way.
//
// The folder is $XDG_RUNTIME_DIR/velmora/devices, or /tmp/velmora-UID/devices
// where that variable is unset, unless the host sets another with setPath()
// before the shared registry is first used.  It is created on first use with
// owner-only permissions.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <string>

namespace velmora::platform {

class DeviceFolder {
 public:
  // The folder in use; created (mode 0700) if missing.
  static std::string path();
  static void setPath(const std::string& folder);
  static std::string defaultPath();

  // Publishes `target` as "tty.NAME" in the folder (replacing a link of that
  // name) and returns the link's path.  Throws std::system_error on failure.
  static std::string publish(const std::string& name, const std::string& target);
  // Removes "tty.NAME" from the folder; a missing link is ignored.
  static void unpublish(const std::string& name);
};

}  // namespace velmora::platform
