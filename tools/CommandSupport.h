// What the `velmora` commands share: the exit statuses, the device-folder
// option, the checks of the files and folders a command is told to write,
// the --seconds option, and the choice between the live screen and JSON
// lines.
//
// Threads: the main thread, before a command's work starts.
#pragma once

#include <optional>
#include <string>

namespace velmora::tool {

// The exit statuses of every command.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitBadInput = 2;
inline constexpr const char* kExitStatusHelp =
    "Exit status: 0 success; 1 the job failed (no headset, a lost headset with --no-reconnect, output or a "
    "recording that could not be written); 2 bad arguments or unreadable input.";

// Help text of --device-dir.
inline constexpr const char* kDeviceDirHelp =
    "Device folder to look in for published ports such as a simulated headset (default: $VELMORA_DEVICE_DIR, "
    "else $XDG_RUNTIME_DIR/velmora/devices)";

// Points the registry at the device folder: `option` (--device-dir) when
// given, else $VELMORA_DEVICE_DIR when set, else the default folder.  A folder
// that exists must be a readable folder; a missing one is created (owner-only)
// when its parent folder exists, and only then.  Returns the problem in a
// sentence that says where the folder came from, or none.  Must run before
// anything uses the port manager.
std::optional<std::string> useDeviceFolder(const std::optional<std::string>& option);

// How to make a tty a port the library lists: the advice of every message
// about a tty that is not (yet) a known port.
inline constexpr const char* kPublishHint =
    "publish a tty as a port with `velmora publish TTY NAME` (NAME beginning with Kova, Trell, Halobelt or "
    "Quorvex for a headset), which keeps the link and its lock for as long as it runs";

// Opens what a command reads: FILE, or stdin when FILE is empty or "-".
// Returns the descriptor (STDIN_FILENO for stdin; the caller closes any
// other), or -1 after saying "COMMAND: cannot open FILE: REASON" on stderr.
// `name` becomes what messages call the input ("standard input" or FILE).
int openInput(const std::string& file, const char* command, std::string& name);

// Whether to write JSON lines rather than the live screen: asked for, or
// stdout is no terminal (a pipe, a file), or the terminal cannot move the
// cursor (TERM=dumb).
bool wantJsonLines(bool asked);

// Checks that FILE may be written by saving a recording over it: a regular
// file of this user's own (platform/OwnFile.h) that is not read-only, or a
// new name, in a folder that exists and can be written.  A FIFO, a device, a
// socket, a symbolic link, a folder or another user's file is refused, so
// that nothing is replaced that saving would destroy.  Returns
// the problem in a sentence, or none.
std::optional<std::string> checkSaveTarget(const std::string& file);

// Checks that DIR is a folder in which files can be created.  Returns the
// problem in a sentence (with the fix), or none.
std::optional<std::string> checkWritableFolder(const std::string& dir);

// Reads a number of seconds: a plain decimal number (the point is "."
// whatever the locale), above 0, at least `least` and at most `most`.
// None for anything else, "" and "0" included.
std::optional<double> parseSeconds(const std::string& text, double least, double most);

// The longest --seconds the streaming commands take: a year.
inline constexpr double kMaxSeconds = 365.0 * 24 * 3600;

}  // namespace velmora::tool
