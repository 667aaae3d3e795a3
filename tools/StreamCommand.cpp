// `velmora stream`: connects to the headset and shows its stream live on the
// terminal, or writes it as JSON lines (--json, or when stdout is not a
// terminal); records and saves the stream on request, and waits for an
// unplugged headset to come back.  See StreamSession for the session itself.
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "Command.h"
#include "CommandSupport.h"
#include "EdfTarget.h"
#include "JsonLinesView.h"
#include "LiveView.h"
#include "LogBuffer.h"
#include "StreamSession.h"

namespace velmora::tool {
namespace {

constexpr const char* kCommand = "velmora stream";

struct StreamArgs {
  std::string port;
  double seconds = 0.0;
  bool json = false;
  std::string record;
  std::optional<int> flag;
  std::string save;
  std::string edf;
  bool noReconnect = false;
  std::string deviceDir;
  bool verbose = false;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kCommand, message.c_str());
  return 2;
}

// What to hand to ConnectTo for --port.  A bare name (no "/") selects the
// port of that name; a "tty.NAME" link, wherever it lies, selects NAME (the
// accessory object takes the text after a path's first "." as the name, so
// a dot in a folder's name must not come first); any other path is passed
// on as it is (a path without a "." selects the port with that path).
std::string connectArgument(const std::string& port) {
  if (port.find('/') == std::string::npos) return "/dev/tty." + port;
  const std::string base = std::filesystem::path(port).filename().string();
  if (base.starts_with("tty.") && base.size() > 4) return "/dev/" + base;
  return port;
}

std::string flagText(int flag) {
  switch (flag & 3) {
    case 0: return "header only";
    case 1: return "raw rows";
    case 2: return "analysed rows";
    default: return "raw and analysed rows";
  }
}

int run(const StreamArgs& a) {
  if (a.seconds < 0.0 || !std::isfinite(a.seconds)) {
    return fail("--seconds must be a positive number of seconds (leave it out to stream until Ctrl-C)");
  }
  if (a.flag && (*a.flag < 0 || *a.flag > 255))
    return fail("--flag must be 0 to 255: 1 records raw samples, 2 analysed values, 3 both");
  if (a.flag && a.record.empty() && a.save.empty()) {
    return fail("--flag chooses which rows a recording keeps; add --record DIR or --save FILE");
  }
  if (!a.record.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(a.record, ec)) {
      return fail("cannot record to " + a.record + ": no such folder; create it with `mkdir -p " + a.record + "`");
    }
  }
  if (!a.save.empty()) {
    if (auto problem = checkSaveTarget(a.save)) return fail("cannot save to " + a.save + ": " + *problem);
  }
  if (!a.edf.empty()) {
    if (auto problem = checkEdfTarget(a.edf, false)) return fail("cannot record to " + a.edf + ": " + *problem);
  }
  if (!a.port.empty() && a.port.find('/') == std::string::npos && a.port.find('.') != std::string::npos) {
    return fail("--port " + a.port + ": a port name cannot contain a \".\"; pass the device's path instead");
  }

  useDeviceFolder(a.deviceDir);
  // A reader that goes away (`velmora stream --json | head`) shows as a
  // failed write, which ends the session cleanly.
  ::signal(SIGPIPE, SIG_IGN);

  StreamSettings settings;
  settings.command = kCommand;
  if (!a.port.empty()) settings.port = connectArgument(a.port);
  if (a.seconds > 0.0) settings.seconds = a.seconds;
  settings.reconnect = !a.noReconnect;
  settings.recordFlag = static_cast<uint8_t>(a.flag.value_or(3));
  std::optional<std::string> scratch;
  if (!a.record.empty()) {
    settings.recordDirectory = a.record;
  } else if (!a.save.empty()) {
    // --save alone records into a private folder until the copy is made.
    scratch = makeScratchFolder("velmora-stream");
    if (!scratch) return fail("cannot create a scratch folder for the recording; check $TMPDIR");
    settings.recordDirectory = scratch;
  }
  if (!a.save.empty()) settings.saveFile = a.save;
  if (!a.edf.empty()) settings.edfFile = a.edf;

  LogBuffer log(a.verbose);
  std::unique_ptr<StreamView> view;
  if (wantJsonLines(a.json)) {
    view = std::make_unique<JsonLinesView>(kCommand);
  } else {
    auto live = std::make_unique<LiveView>(kCommand, 1, LiveView::styleFromEnvironment());
    if (settings.recordDirectory) {
      std::string text = std::filesystem::path(*settings.recordDirectory).append("ambrix.log.csv").string() + " (" +
                         flagText(settings.recordFlag) + ")";
      if (settings.saveFile)
        text = "saved to " + *settings.saveFile + " on exit (" + flagText(settings.recordFlag) + ")";
      live->setRecording(text);
    }
    view = std::move(live);
  }

  int status = 0;
  bool saved = false;
  {
    StreamSession session(settings, *view, log);
    status = session.run();
    saved = !session.savedRecording().empty();
  }
  if (scratch && (saved || !settings.saveFile)) removeFolder(*scratch);
  return status;
}

CommandRegistration registration{
    "stream", "Connect to the headset and show its values live (or as JSON lines)",
    [](CLI::App& cmd) {
      auto args = std::make_shared<StreamArgs>();
      cmd.add_option("--port", args->port,
                     "The headset's port: a name as `velmora ports` lists it, or a device path (/dev/rfcomm0, "
                     "/dev/ttyUSB0, a tty.NAME link). Default: the first port whose name begins with Kova, Trell, "
                     "Halobelt or Quorvex")
          ->type_name("PORT");
      cmd.add_option("--seconds", args->seconds, "Stop after N seconds (default: run until Ctrl-C)")->type_name("N");
      cmd.add_flag("--json", args->json,
                   "One JSON object per delivery on stdout: \"t\" (seconds since the epoch) and the decoded keys, "
                   "\"raw\" as an array. The default when stdout is not a terminal");
      cmd.add_option("--record", args->record, "Record the stream to DIR/ambrix.log.csv")->type_name("DIR");
      cmd.add_option("--flag", args->flag, "Rows to record: 1 raw samples, 2 analysed values, 3 both (default 3)")
          ->type_name("N");
      cmd.add_option("--save", args->save,
                     "On exit copy the recording to FILE (records into a scratch folder when --record is not given)")
          ->type_name("FILE");
      cmd.add_option("--edf", args->edf, kEdfOptionHelp)->type_name("FILE");
      cmd.add_flag("--no-reconnect", args->noReconnect,
                   "Exit with status 1 when the headset is unplugged or switched off, instead of waiting for it");
      cmd.add_option("--device-dir", args->deviceDir, kDeviceDirHelp)->type_name("DIR");
      cmd.add_flag("--verbose", args->verbose, "Echo the library's log lines to stderr");
      cmd.footer(
          "Exit status: 0 when stopped by Ctrl-C, SIGTERM or --seconds; 1 when no headset could be connected, the "
          "headset was lost with --no-reconnect, or the recording could not be saved; 2 for bad arguments.\n"
          "No headset at hand? `velmora demo` streams from a simulated one; `velmora simulate` runs one for "
          "`velmora stream` to find.");
      return [args] { return run(*args); };
    },
    8};

}  // namespace
}  // namespace velmora::tool
