// `velmora publish TTY NAME`: makes a tty (a pty of a bridge, a serial device
// udev does not name as a headset) a port the library lists, by publishing
// it in the device folder as "tty.NAME" the way the simulator does: it holds
// the publisher's lock for as long as it runs and removes the link and the
// lock file when it ends (SIGINT, SIGTERM or SIGHUP).  A link made by hand,
// without the lock, is ignored by the library.
//
// Prints the link's path on stdout once published.  Exit status: 0 ended by
// a signal; 1 the name is published by another running process, or the link
// cannot be made; 2 bad arguments (a TTY that is not a terminal device, a
// bad NAME, an unusable or refused device folder).
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "Command.h"
#include "CommandSupport.h"
#include "host/ConnectionDiagnosis.h"
#include "ErrorStream.h"
#include "LogBuffer.h"
#include "VelmoraObjC.h"
#include "platform/DeviceFolder.h"

namespace velmora::tool {
namespace {

constexpr const char* kCommand = "velmora publish";

struct PublishArgs {
  std::string tty;
  std::string name;
  std::optional<std::string> deviceDir;
  bool verbose = false;
};

int fail(const std::string& message, int status = kExitBadInput) {
  ErrorStream::say(kCommand, message);
  return status;
}

// The problem with the arguments, or none.
std::optional<std::string> check(const PublishArgs& a) {
  struct stat st {};
  if (::stat(a.tty.c_str(), &st) != 0) {
    const int err = errno;
    return "cannot use " + a.tty + ": " + std::strerror(err);
  }
  if (!S_ISCHR(st.st_mode)) return a.tty + " is not a terminal device; name a tty such as /dev/pts/3 or /dev/ttyUSB0";
  if (a.name.empty() || a.name.find('/') != std::string::npos || platform::DeviceFolder::isLockName(a.name)) {
    return "NAME must be non-empty, contain no '/' and not end in \".lock\" (it becomes the link tty.NAME)";
  }
  if (auto problem = useDeviceFolder(a.deviceDir)) return problem;
  if (std::string refusal = host::ConnectionDiagnosis::deviceFolderRefusal(); !refusal.empty()) {
    return refusal + "; choose a folder of your own with --device-dir DIR or VELMORA_DEVICE_DIR";
  }
  return std::nullopt;
}

int run(const PublishArgs& a) {
  // The stop signals are taken by sigwait below; blocked before anything can
  // start a thread, so that every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  LogBuffer log(a.verbose);
  if (auto problem = check(a)) return fail(*problem);

  // An absolute target: a relative one would be read from the folder.
  std::error_code ec;
  const std::string target = std::filesystem::absolute(a.tty, ec).string();
  std::string link;
  try {
    link = platform::DeviceFolder::publish(a.name, ec ? a.tty : target);
  } catch (const std::system_error& e) {
    if (e.code().value() == EBUSY) {
      return fail(a.name + " is published by another running process (`velmora publish` or `velmora simulate`); "
                               "end it, or choose another NAME",
                  kExitFailed);
    }
    return fail(std::string("cannot publish ") + a.name + ": " + e.what(), kExitFailed);
  }
  std::printf("%s\n", link.c_str());
  std::fflush(stdout);
  std::string note = "published " + a.tty + " as " + a.name + "; SIGINT, SIGTERM or SIGHUP ends it";
  if (!VelmoraObjC::isHeadsetCandidateName(a.name)) {
    note += " (the name does not begin with " + host::ConnectionDiagnosis::headsetPrefixes() +
            ": `velmora stream` connects to it only with --port " + a.name + ")";
  }
  ErrorStream::say(kCommand, note);

  int signal = 0;
  while (::sigwait(&stopSignals, &signal) != 0) {
  }
  platform::DeviceFolder::unpublish(a.name);
  return kExitDone;
}

CommandRegistration registration{
    "publish", "Publish a tty as a port the library lists, for as long as this runs",
    [](CLI::App& cmd) {
      auto args = std::make_shared<PublishArgs>();
      cmd.add_option("TTY", args->tty, "The terminal device to publish, e.g. /dev/pts/3")->required();
      cmd.add_option("NAME", args->name,
                     "The port's name: the link becomes tty.NAME in the device folder. A headset's name begins "
                     "with Kova, Trell, Halobelt or Quorvex")
          ->required();
      cmd.add_option("--device-dir", args->deviceDir, kDeviceDirHelp)->type_name("DIR");
      cmd.add_flag("--verbose", args->verbose, "Echo the library's log lines to stderr");
      cmd.footer(
          "Exit status: 0 ended by SIGINT, SIGTERM or SIGHUP (the link and its lock file are removed); 1 NAME is "
          "published by another running process, or the link cannot be made; 2 bad arguments or a device folder "
          "that cannot be used.");
      return [args] { return run(*args); };
    },
    35};

}  // namespace
}  // namespace velmora::tool
