// `velmora stream`: connects to the headset and shows its stream live on the
// terminal, or writes it as JSON lines (--json, or when stdout is not a
// terminal); records and saves the stream on request, and waits for an
// unplugged headset to come back.  See StreamSession for the session itself.
//
// Every argument is checked before anything starts (status 2): the --port
// text, --seconds, the --record folder (it must exist and take files, and
// its "ambrix.log.csv" must be new or this user's own regular file), the
// --save file (a new or writable regular file of this user's own in such a
// folder), the --edf file (a new one), the device folder.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Command.h"
#include "CommandSupport.h"
#include "EdfTarget.h"
#include "JsonLinesView.h"
#include "LiveView.h"
#include "LogBuffer.h"
#include "Output.h"
#include "StopSignal.h"
#include "StreamSession.h"
#include "platform/OwnFile.h"
#include "sim/ScratchFolder.h"
#include "web/WebOption.h"

namespace velmora::tool {
namespace {

constexpr const char* kCommand = "velmora stream";

struct StreamArgs {
  std::optional<std::string> port;
  std::optional<std::string> seconds;
  bool json = false;
  std::optional<std::string> record;
  std::optional<int> flag;
  std::optional<std::string> save;
  std::optional<std::string> edf;
  std::optional<std::string> uvPerCount;
  bool noReconnect = false;
  std::optional<std::string> deviceDir;
  bool verbose = false;
  std::optional<std::string> web;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kCommand, message.c_str());
  return kExitBadInput;
}

std::string flagText(int flag) {
  switch (flag & 3) {
    case 0: return "header only";
    case 1: return "raw rows";
    case 2: return "analysed rows";
    default: return "raw and analysed rows";
  }
}

// The settings the arguments ask for, or the problem with them.
std::optional<std::string> settingsFrom(const StreamArgs& a, StreamSettings& settings) {
  settings.command = kCommand;
  if (a.port) {
    if (a.port->empty()) return "--port needs a port's name or path (`velmora ports` lists them)";
    settings.port.emplace(*a.port);
  }
  if (a.seconds) {
    settings.seconds = parseSeconds(*a.seconds, 0.0, kMaxSeconds);
    if (!settings.seconds) {
      return "--seconds must be a number of seconds above 0 and at most a year (leave it out to stream until "
             "Ctrl-C)";
    }
  }
  if (a.flag && (*a.flag < 0 || *a.flag > 255))
    return "--flag must be 0 to 255: 1 records raw samples, 2 analysed values, 3 both";
  if (a.flag && !a.record && !a.save) return "--flag chooses which rows a recording keeps; add --record DIR or --save FILE";
  if (a.record) {
    if (auto problem = checkWritableFolder(*a.record)) return "cannot record to " + *a.record + ": " + *problem;
    // The log file is written only if it is new or this user's own regular
    // file (the library refuses anything else too, but later).
    const std::string log = (std::filesystem::path(*a.record) / "ambrix.log.csv").string();
    if (const platform::OwnFileError problem = platform::ownFileProblem(log); problem.code != 0) {
      return "cannot record to " + *a.record + ": " + problem.sentence(log) + "; remove it or record to another folder";
    }
    settings.recordDirectory = *a.record;
  }
  if (a.save) {
    if (auto problem = checkSaveTarget(*a.save)) return "cannot save to " + *a.save + ": " + *problem;
    settings.saveFile = *a.save;
  }
  if (a.edf) {
    if (auto problem = checkEdfTarget(*a.edf, false)) return "cannot record to " + *a.edf + ": " + *problem;
    settings.edfFile = *a.edf;
  }
  if (a.uvPerCount) {
    if (!a.edf) return "--uv-per-count sets the gain of an EDF/BDF recording; add --edf FILE";
    if (auto problem = parseUvPerCount(*a.uvPerCount, settings.uvPerCount)) return *problem;
  }
  settings.reconnect = !a.noReconnect;
  settings.recordFlag = static_cast<uint8_t>(a.flag.value_or(3));
  return useDeviceFolder(a.deviceDir);
}

int run(const StreamArgs& a) {
  StreamSettings settings;
  if (auto problem = settingsFrom(a, settings)) return fail(*problem);
  std::string webProblem;
  const std::optional<web::WebAddress> webAt = web::webAddress(a.web, webProblem);
  if (a.web && !webAt) return fail(webProblem);
  // --save alone records into a private folder until the copy is made.
  std::optional<sim::ScratchFolder> scratch;
  if (settings.saveFile && !settings.recordDirectory) {
    scratch.emplace("velmora-stream");
    settings.recordDirectory = scratch->path();
  }

  LogBuffer log(a.verbose);
  Output output(STDOUT_FILENO, StopSignal::received);
  std::unique_ptr<StreamView> view;
  JsonLinesView* jsonView = nullptr;
  LiveView* liveView = nullptr;
  std::string recordingText;
  if (settings.recordDirectory) {
    recordingText = std::filesystem::path(*settings.recordDirectory).append("ambrix.log.csv").string() + " (" +
                    flagText(settings.recordFlag) + ")";
    if (settings.saveFile)
      recordingText = "saved to " + *settings.saveFile + " on exit (" + flagText(settings.recordFlag) + ")";
  }
  if (wantJsonLines(a.json)) {
    view = std::make_unique<JsonLinesView>(kCommand, output);
    jsonView = static_cast<JsonLinesView*>(view.get());
  } else {
    auto live = std::make_unique<LiveView>(kCommand, output, LiveView::styleFromEnvironment());
    if (!recordingText.empty()) live->setRecording(recordingText);
    liveView = live.get();
    view = std::move(live);
  }
  std::unique_ptr<web::WebView> webView;
  if (webAt) {
    web::WebView::Settings shown{settings.reconnect, {}};
    if (!recordingText.empty()) shown.recording.push_back(recordingText);
    if (settings.edfFile) shown.recording.push_back(*settings.edfFile);
    webView = web::startWebView(kCommand, *webAt, *view, jsonView, shown);
    if (!webView) return kExitFailed;
    if (liveView) liveView->setHint("Live view: " + webView->url() + "   Ctrl-C stops");
  }

  int status = kExitDone;
  {
    StreamSession session(settings, webView ? static_cast<StreamView&>(*webView) : *view);
    if (webView) webView->setRecorder([&session] { return session.edfRecorder(); });
    status = session.run();
    if (webView) webView->setRecorder({});  // marks from now on go to the JSON stream only
    // A recording that could not be saved stays in the scratch folder.
    if (scratch && session.saveFailed()) scratch->keep();
  }
  return status == kExitDone ? output.report(kCommand) : status;
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
                     "On exit copy the recording to FILE, a new or regular file (records into a scratch folder when "
                     "--record is not given)")
          ->type_name("FILE");
      cmd.add_option("--edf", args->edf, kEdfOptionHelp)->type_name("FILE");
      cmd.add_option("--uv-per-count", args->uvPerCount, kUvPerCountHelp)->type_name("X");
      cmd.add_flag("--no-reconnect", args->noReconnect,
                   "Exit with status 1 when the headset is unplugged or switched off, instead of waiting for it");
      cmd.add_option("--device-dir", args->deviceDir, kDeviceDirHelp)->type_name("DIR");
      cmd.add_flag("--verbose", args->verbose, "Echo the library's log lines to stderr");
      web::addWebOption(cmd, args->web);
      cmd.footer(
          "Exit status: 0 when stopped by Ctrl-C, SIGTERM, SIGHUP or --seconds, or when the reader of the output went away; "
          "1 when no headset could be connected, the headset was lost with --no-reconnect, or the output or the "
          "recording could not be written; 2 for bad arguments.\n"
          "No headset at hand? `velmora demo` streams from a simulated one; `velmora simulate` runs one for "
          "`velmora stream` to find.");
      return [args] { return run(*args); };
    },
    8};

}  // namespace
}  // namespace velmora::tool
