// Small pieces the streaming commands (stream, demo, ports) share: the
// device-folder option, the choice between the live screen and JSON lines,
// and scratch folders.
//
// Threads: the main thread, before the session starts.
#pragma once

#include <optional>
#include <string>

namespace velmora::tool {

// Help text of --device-dir.
inline constexpr const char* kDeviceDirHelp =
    "Device folder to look in for published ports such as a simulated headset (default: $VELMORA_DEVICE_DIR, "
    "else $XDG_RUNTIME_DIR/velmora/devices)";

// Points the registry at --device-dir DIR, else at $VELMORA_DEVICE_DIR when
// set; must run before anything uses the port manager.
void useDeviceFolder(const std::string& option);

// Whether to write JSON lines rather than the live screen: asked for, or
// stdout is no terminal (a pipe, a file), or the terminal cannot move the
// cursor (TERM=dumb).
bool wantJsonLines(bool asked);

// A new private folder NAME-XXXXXX under $TMPDIR (or /tmp); none on failure.
std::optional<std::string> makeScratchFolder(const std::string& name);
// Removes a folder made by makeScratchFolder and everything in it.
void removeFolder(const std::string& path);

// Checks that FILE can be created: its folder exists and is a folder.
// Returns the problem in a sentence, or none.
std::optional<std::string> checkSaveTarget(const std::string& file);

}  // namespace velmora::tool
