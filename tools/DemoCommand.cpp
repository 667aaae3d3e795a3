// `velmora demo`: the whole system at work without hardware.  A simulated
// headset (sim/) runs in this process on a pty published in a private
// device folder; a streaming session finds it through the port manager,
// opens it through the serial layer and shows the live view (or JSON lines)
// while the framer, decoder, analysers and dispatch thread do their work.
// The simulated headset sends 72 s of EEG with blinks and then 72 s of ECG,
// sped up so that the whole run takes --seconds; the RR intervals reported
// by the beat detector (rrDetected) are collected, and at the end LF, HF,
// LF/HF and the energy level are computed from them, and beside them the
// field's standard measures (VLHrvStandard), and printed with the counts of
// samples, blinks and beats and where the recording was saved.
//
// The run ends when every sample the headset sent has been delivered, or
// at the latest half as long again (plus 5 s) after --seconds, so that a
// slow machine still finishes in a bounded time (and says so).  The scratch
// folder (device folder and recording folder, see sim::SimulatedHeadset) is
// removed at the end; the pty and its link go with the simulator.
//
// Exit status: 0 done; 1 the run fell short (a slow machine, a failed
// simulator, output or recording that could not be written); 2 bad
// arguments.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "Command.h"
#include "CommandSupport.h"
#include "EdfTarget.h"
#include "HrvJson.h"
#include "JsonLinesView.h"
#include "LiveView.h"
#include "ErrorStream.h"
#include "LogBuffer.h"
#include "Output.h"
#include "StopSignal.h"
#include "StreamSession.h"
#include "VLHrv.h"
#include "VLHrvStandard.h"
#include "sim/RrCollector.h"
#include "sim/SimulatedHeadset.h"
#include "web/WebOption.h"

namespace velmora::tool {
namespace {

constexpr const char* kCommand = "velmora demo";
constexpr const char* kDeviceName = "KovaDemo-SPPDev";
// 72 s of EEG, then 72 s of ECG: after the beat detector's start-up the ECG
// half still yields the 64 s of RR intervals the LF/HF calculation needs.
constexpr uint32_t kPeriodSeconds = 72;
constexpr double kHeadsetSeconds = 2.0 * kPeriodSeconds;
constexpr uint64_t kSeed = 7;

struct DemoArgs {
  std::string seconds = "15";
  bool json = false;
  std::optional<std::string> save;
  std::optional<std::string> edf;
  std::optional<std::string> uvPerCount;
  bool verbose = false;
  std::optional<std::string> web;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kCommand, message.c_str());
  return kExitBadInput;
}

struct HrvOutcome {
  bool computed = false;
  double lf = 0.0, hf = 0.0, ratio = 0.0;
  int32_t energy = 0;
  double rrSeconds = 0.0;  // the list's duration, as the calculation counts it
  std::optional<VLHrvStandard::Result> standard;
  std::string standardRefusal;  // why there is no `standard`
};

HrvOutcome computeHrv(const std::vector<int32_t>& rr) {
  HrvOutcome out;
  out.rrSeconds = VLHrv::sum(rr.data(), static_cast<int32_t>(rr.size())) / 1000.0;
  out.standard = VLHrvStandard::compute(std::vector<double>(rr.begin(), rr.end()), out.standardRefusal);
  auto analyser = velmora::hrv.load();
  if (!analyser || analyser->calculateEnergyLevel(rr.data(), static_cast<int32_t>(rr.size())) < 0.0) return out;
  const Dictionary result = analyser->result();
  out.computed = true;
  out.lf = result.at("LF").number();
  out.hf = result.at("HF").number();
  out.ratio = result.at("LF/HF").number();
  out.energy = result.at("energy").asInt();
  return out;
}

// printf into a string (the tool never sets a locale, so numbers are
// written with a decimal point).
__attribute__((format(printf, 1, 2))) std::string text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out(static_cast<size_t>(std::max(length, 0)), '\0');
  std::vsnprintf(out.data(), out.size() + 1, format, again);
  va_end(again);
  return out;
}

std::string grouped(uint64_t v) {
  std::string digits = std::to_string(v);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ' ';
    out += digits[i];
  }
  return out;
}

// Where the recording goes when --save is not given: ./velmora-demo/, or the
// temporary folder when the working folder is not writable.
std::string defaultSavePath() {
  std::error_code ec;
  std::filesystem::create_directories("velmora-demo", ec);
  if (!checkSaveTarget("velmora-demo/recording.csv")) {
    return std::filesystem::absolute("velmora-demo/recording.csv", ec).string();
  }
  std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
  if (ec) tmp = "/tmp";
  return (tmp / "velmora-demo-recording.csv").string();
}

int run(const DemoArgs& a) {
  const std::optional<double> seconds = parseSeconds(a.seconds, 1.0, 3600.0);
  if (!seconds) return fail("--seconds must be between 1 and 3600 (the default, 15, shows everything)");
  const std::string savePath = a.save ? *a.save : defaultSavePath();
  if (auto problem = checkSaveTarget(savePath))
    return fail("cannot save the recording to " + savePath + ": " + *problem);
  if (a.edf) {
    if (auto problem = checkEdfTarget(*a.edf, false)) return fail("cannot record to " + *a.edf + ": " + *problem);
  }
  std::optional<double> uvPerCount;
  if (a.uvPerCount) {
    if (!a.edf) return fail("--uv-per-count sets the gain of an EDF/BDF recording; add --edf FILE");
    if (auto problem = parseUvPerCount(*a.uvPerCount, uvPerCount)) return fail(*problem);
  }
  std::string webProblem;
  const std::optional<web::WebAddress> webAt = web::webAddress(a.web, webProblem);
  if (a.web && !webAt) return fail(webProblem);

  LogBuffer log(a.verbose);
  sim::SimulatorOptions options =
      sim::SimulatedHeadset::options(kDeviceName, sim::SignalMode::Mixed, kSeed, kHeadsetSeconds / *seconds,
                                     kHeadsetSeconds);
  options.signal.periodSeconds = kPeriodSeconds;
  // Made before anything asks for the registry: the session's port manager
  // finds only the simulated headset's link in its device folder (and real
  // ports through udev).
  std::optional<sim::SimulatedHeadset> headset;
  try {
    headset.emplace(options, "velmora-demo");
  } catch (const std::exception& e) {
    std::fprintf(stderr,
                 "%s: cannot start the simulated headset: %s. Check that ptys are available (/dev/ptmx) "
                 "and that $TMPDIR (or /tmp) is writable.\n",
                 kCommand, e.what());
    return kExitFailed;
  }
  sim::HeadsetSimulator& simulator = headset->simulator();
  const std::string recording = headset->folder() + "/recording";
  ::mkdir(recording.c_str(), 0700);

  Output output(STDOUT_FILENO, StopSignal::received);
  const bool json = wantJsonLines(a.json);
  std::unique_ptr<StreamView> view;
  JsonLinesView* jsonView = nullptr;
  LiveView* liveView = nullptr;
  char hint[160];
  std::snprintf(hint, sizeof hint, "Simulated headset at %.1fx: %u s of EEG with blinks, then %u s of ECG. Ctrl-C stops.",
                options.speed, kPeriodSeconds, kPeriodSeconds);
  if (json) {
    auto v = std::make_unique<JsonLinesView>(kCommand, output);
    jsonView = v.get();
    view = std::move(v);
  } else {
    auto live = std::make_unique<LiveView>(kCommand, output, LiveView::styleFromEnvironment());
    live->setHint(hint);
    live->setRecording("saved to " + savePath + " at the end");
    liveView = live.get();
    view = std::move(live);
  }
  std::unique_ptr<web::WebView> webView;
  if (webAt) {
    web::WebView::Settings shown{false, {savePath + " (at the end)"}};
    if (a.edf) shown.recording.push_back(*a.edf);
    webView = web::startWebView(kCommand, *webAt, *view, jsonView, shown);
    if (!webView) return kExitFailed;
    if (liveView) liveView->setHint(std::string(hint) + " Live view: " + webView->url());
  }

  StreamSession* current = nullptr;
  StreamSettings settings;
  settings.command = kCommand;
  settings.port.emplace(kDeviceName);
  settings.reconnect = false;
  settings.countsAtEnd = false;
  settings.seconds = *seconds * 1.5 + 5.0;
  settings.recordDirectory = recording;
  settings.saveFile = savePath;
  settings.edfFile = a.edf;
  settings.uvPerCount = uvPerCount;
  settings.stopWhen = [&] {
    if (!simulator.error().empty()) return true;
    return simulator.isFinished() && current != nullptr && current->stats().samples >= simulator.samplesSent();
  };

  auto rr = std::make_shared<sim::RrCollector>();
  const auto began = std::chrono::steady_clock::now();
  int status = 0;
  StreamStats stats;
  std::string saved;
  HrvOutcome hrvOutcome;
  std::vector<int32_t> intervals;
  {
    StreamSession session(settings, webView ? static_cast<StreamView&>(*webView) : *view);
    if (webView) webView->setRecorder([&session] { return session.edfRecorder(); });
    current = &session;
    if (auto analyser = velmora::hrv.load()) analyser->setDelegate(rr);
    status = session.run();
    if (webView) webView->setRecorder({});  // marks from now on go to the JSON stream only
    stats = session.stats();
    saved = session.savedRecording();
    intervals = rr->intervals();
    hrvOutcome = computeHrv(intervals);
    if (webView && hrvOutcome.computed) {
      webView->hrvComputed(hrvOutcome.lf, hrvOutcome.hf, hrvOutcome.ratio, hrvOutcome.energy, hrvOutcome.rrSeconds);
    }
    current = nullptr;
  }
  if (webView) webView->close();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const uint64_t sent = simulator.samplesSent();
  const std::string simulatorError = simulator.error();
  const bool finished = simulator.isFinished();
  headset.reset();  // `simulator` goes with it

  const bool complete = finished && stats.samples >= sent && simulatorError.empty();
  if (status == 0 && !simulatorError.empty()) status = kExitFailed;

  if (json) {
    nlohmann::ordered_json summary;
    summary["simulator"] = {
        {"name", kDeviceName},        {"mode", "mixed"},       {"seed", kSeed}, {"period", kPeriodSeconds},
        {"seconds", kHeadsetSeconds}, {"speed", options.speed}};
    summary["elapsed"] = elapsed;
    summary["samples"] = stats.samples;
    summary["samples_sent"] = sent;
    summary["blinks"] = stats.blinks;
    summary["beats"] = intervals.size();
    summary["rr_seconds"] = hrvOutcome.rrSeconds;
    if (hrvOutcome.computed) {
      summary["LF"] = hrvOutcome.lf;
      summary["HF"] = hrvOutcome.hf;
      summary["LF/HF"] = hrvOutcome.ratio;
      summary["energy"] = hrvOutcome.energy;
    }
    if (hrvOutcome.standard) summary["standard"] = standardHrvJson(*hrvOutcome.standard);
    summary["recording"] = saved;
    jsonView->writeLine({{"summary", summary}});
  } else {
    output.write(text("\nvelmora demo: %s\n", complete ? "finished." : "stopped early.") +
                 text("  Headset time  %.0f s of simulated EEG and ECG at %.1fx, in %.1f s\n", kHeadsetSeconds,
                      options.speed, elapsed) +
                 text("  Samples       %s of %s sent\n", grouped(stats.samples).c_str(), grouped(sent).c_str()) +
                 text("  Blinks        %s\n", grouped(stats.blinks).c_str()) +
                 text("  Beats         %zu RR intervals, %.1f s\n", intervals.size(), hrvOutcome.rrSeconds) +
                 (hrvOutcome.computed
                      ? text("  HRV           LF %.1f   HF %.1f   LF/HF %.2f   energy level %d\n", hrvOutcome.lf,
                             hrvOutcome.hf, hrvOutcome.ratio, hrvOutcome.energy)
                      : text("  HRV           not computed: it needs 64 s of RR intervals, %.1f s arrived\n",
                             hrvOutcome.rrSeconds)) +
                 (hrvOutcome.standard
                      ? text("  Standard HRV  SDNN %.1f ms   RMSSD %.1f ms   pNN50 %.1f %%   mean HR %.1f bpm\n"
                             "                LF %.1f ms^2   HF %.1f ms^2   LF/HF %.2f (Welch, 4 Hz resampling)\n",
                             hrvOutcome.standard->SDNN, hrvOutcome.standard->RMSSD, hrvOutcome.standard->pNN50,
                             hrvOutcome.standard->meanHR, hrvOutcome.standard->LF, hrvOutcome.standard->HF,
                             hrvOutcome.standard->LFHF)
                      : text("  Standard HRV  not computed: %s\n", hrvOutcome.standardRefusal.c_str())) +
                 text("  Recording     %s\n", saved.empty() ? "not saved" : saved.c_str()) +
                 "\nWith a headset: `velmora stream`.  Without one: `velmora simulate` in one terminal, "
                 "`velmora stream` in another.\n");
  }
  output.finish();
  if (!simulatorError.empty()) {
    ErrorStream::say(kCommand, "the simulated headset failed: " + simulatorError);
  } else if (status == 0 && !complete && stats.samples < sent && elapsed >= *settings.seconds) {
    ErrorStream::say(kCommand, text("this machine could not keep up: %s of %s samples arrived in time. Give the demo "
                                    "more time, e.g. `velmora demo --seconds %.0f`.",
                                    grouped(stats.samples).c_str(), grouped(sent).c_str(), *seconds * 3));
    status = kExitFailed;
  }
  return status == kExitDone ? output.report(kCommand) : status;
}

CommandRegistration registration{
    "demo", "Stream from a built-in simulated headset: live view, blinks, heart rate, LF/HF",
    [](CLI::App& cmd) {
      auto args = std::make_shared<DemoArgs>();
      cmd.add_option("--seconds", args->seconds, "How long the demo runs, 1 to 3600 (default 15)")->type_name("N");
      cmd.add_flag("--json", args->json,
                   "JSON lines instead of the live view, and a last line {\"summary\": ...}. The default when "
                   "stdout is not a terminal");
      cmd.add_option("--save", args->save,
                     "Where to save the recording, a new or regular file (default: ./velmora-demo/recording.csv)")
          ->type_name("FILE");
      cmd.add_option("--edf", args->edf, kEdfOptionHelp)->type_name("FILE");
      cmd.add_option("--uv-per-count", args->uvPerCount, kUvPerCountHelp)->type_name("X");
      cmd.add_flag("--verbose", args->verbose, "Echo the library's log lines to stderr");
      web::addWebOption(cmd, args->web);
      cmd.footer(
          "Needs no hardware and no set-up: the simulated headset runs on a pty in a private device folder, "
          "which is removed at the end.");
      return [args] { return run(*args); };
    },
    5};

}  // namespace
}  // namespace velmora::tool
