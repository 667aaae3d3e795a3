// `velmora convert RECORDING.csv [--to bdf|edf] [--uv-per-count X] OUT.bdf|OUT.edf`: turns a
// stream log ("ambrix.log.csv") into a BDF+ or EDF+ recording.
//
// Every row goes through a fresh accessory object's decoder and analysers,
// as if the headset had sent it, with a VelmoraEdfRecorder as the stream
// listener; so the file is what `velmora stream --edf` would have recorded:
// the RAW rows, in order, are the "EEG Raw" signal (the k-th at k / 512 s),
// in microvolts with --uv-per-count; signal quality, attention and
// meditation rows are 1 Hz signals, placed after the raw rows before them;
// the blinks and RR intervals the analysers find are "Blink" and "Beat"
// annotations with their values in "MISC Blink" and "MISC RR", and each
// heart-rate row (the headset's own) is an annotation "Heart rate N bpm".  The start time is the first raw row's
// timestamp.  The log holds no band powers (those signals hold "no value")
// and no connection events, so gaps in it are not marked: its timestamps
// are decode times, too bursty to tell a lost headset from a busy machine.
//
// Exit status: 0 done; 2 bad arguments or an input that cannot be read or
// is no stream log; 1 the conversion failed (nothing to convert, the output
// cannot be written).  The output is written to a temporary file beside it,
// fsynced and renamed into place (platform/Files.h), so an existing OUT is
// replaced only by a complete recording, also across a crash.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Command.h"
#include "EdfTarget.h"
#include "VelmoraEdfRecorder.h"
#include "VelmoraObjC.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "sim/LogPlayback.h"

namespace velmora::tool {
namespace {

constexpr const char* kCommand = "velmora convert";

using sim::LogPlayback;

struct ConvertArgs {
  std::string input;
  std::string output;
  std::string to;
  std::optional<std::string> uvPerCount;
};

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kCommand, message.c_str());
  return status;
}

// A name for the file being written, beside OUT, that nothing else uses.
std::optional<std::string> temporaryBeside(const std::string& output) {
  const std::filesystem::path out(output);
  std::filesystem::path folder = out.parent_path();
  if (folder.empty()) folder = ".";
  std::string pattern = (folder / ("." + out.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) return std::nullopt;
  ::close(fd);
  ::unlink(pattern.c_str());  // the recorder creates it anew, exclusively
  return pattern;
}

int run(const ConvertArgs& a) {
  const auto format = VelmoraEdfRecorder::formatForPath(a.output);
  if (!a.to.empty() && a.to != "bdf" && a.to != "edf") return fail(2, "--to takes bdf or edf, not " + a.to);
  if (auto problem = checkEdfTarget(a.output, true)) return fail(2, "cannot write " + a.output + ": " + *problem);
  if (!a.to.empty() && (a.to == "bdf") != (format == VelmoraEdfRecorder::Format::Bdf)) {
    return fail(2, "--to " + a.to + " does not match the name " + a.output + "; name it ." + a.to +
                       " (readers such as MNE go by the name)");
  }
  std::optional<double> uvPerCount;
  if (a.uvPerCount) {
    if (auto problem = parseUvPerCount(*a.uvPerCount, uvPerCount)) return fail(2, *problem);
  }
  std::ifstream in(a.input);
  if (!in) return fail(2, "cannot read " + a.input + ": " + std::strerror(errno));
  if (!LogPlayback::looksLikeLog(a.input)) {
    return fail(2, a.input + " is not a stream log: it should begin with \"Timestamp, Data Type, Value\" or rows "
                             "such as \"1700000000.000000, [RAW], 12\"");
  }
  const auto temporary = temporaryBeside(a.output);
  if (!temporary) return fail(1, "cannot create a file beside " + a.output + ": " + std::strerror(errno));

  // The library's lines (one per decoded value) are not this command's output.
  setLogSink([](std::string_view) {});
  double rowTime = 0.0;
  VelmoraEdfRecorder::Settings settings;
  settings.format = *format;
  settings.uvPerCount = uvPerCount;
  settings.clock = [&rowTime] {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(rowTime)));
  };
  auto recorder = std::make_shared<VelmoraEdfRecorder>();
  if (!recorder->open(*temporary, settings)) return fail(1, recorder->error());

  LogPlayback::RowReader rows(in);
  {
    VelmoraObjC accessory;
    accessory.setRawEnabled(false);  // nobody takes the dictionary's samples here
    accessory.resetParser();
    accessory.setStreamListener(recorder);
    sim::TickBuffer packet;
    while (const auto row = rows.next()) {
      rowTime = std::clamp(row->time, 0.0, 4.0e9);  // the clock's range, whatever the file says
      if (row->tag == StreamLogTag::HR) {
        recorder->annotate("Heart rate " + std::to_string(row->value) + " bpm");
        continue;
      }
      packet.clear();
      LogPlayback::appendRow(*row, packet);
      accessory.parseByte(std::span<const uint8_t>(packet.bytes));
    }
  }
  const uint64_t skipped = rows.malformedLines();
  const bool readFailed = in.bad();
  const bool complete = recorder->close();
  setLogSink(nullptr);
  if (readFailed || recorder->recordsWritten() == 0 || !complete) {
    ::unlink(temporary->c_str());
    if (readFailed) return fail(2, "cannot read " + a.input + " to its end: " + std::strerror(errno));
    if (recorder->recordsWritten() == 0) {
      return fail(1, a.input + " holds no raw samples (it was recorded with --flag 2, say), and a recording needs them");
    }
    return fail(1, recorder->error());
  }
  if (const int err = platform::replaceFile(*temporary, a.output)) {
    return fail(1, "cannot write " + a.output + ": " + platform::errnoText(err));
  }
  const double seconds = static_cast<double>(recorder->samplesRecorded()) / VelmoraEdfRecorder::kSampleRate;
  std::fprintf(stderr, "%s: wrote %s (%s): %.1f s, %llu raw samples", kCommand, a.output.c_str(),
               *format == VelmoraEdfRecorder::Format::Bdf ? "BDF+" : "EDF+", seconds,
               static_cast<unsigned long long>(recorder->samplesRecorded()));
  if (skipped > 0) std::fprintf(stderr, "; skipped %llu lines that are not rows", static_cast<unsigned long long>(skipped));
  std::fprintf(stderr, ".\n");
  return 0;
}

CommandRegistration registration{
    "convert", "Convert a stream log (CSV) into a BDF+ or EDF+ recording for EDFbrowser, MNE or EEGLAB",
    [](CLI::App& cmd) {
      auto args = std::make_shared<ConvertArgs>();
      cmd.add_option("RECORDING", args->input, "The stream log, e.g. ambrix.log.csv")->required()->type_name("");
      cmd.add_option("OUT", args->output, "The recording to write: OUT.bdf (BDF+, 24-bit) or OUT.edf (EDF+, 16-bit)")
          ->required()
          ->type_name("");
      cmd.add_option("--to", args->to, "bdf or edf; must match OUT's name (default: OUT's name decides)")
          ->type_name("FORMAT");
      cmd.add_option("--uv-per-count", args->uvPerCount, kUvPerCountHelp)->type_name("X");
      cmd.footer(
          "Raw rows become the 512 Hz \"Raw\" signal, in order; quality, attention and meditation become 1 Hz "
          "signals; blinks, RR intervals and heart-rate rows become annotations. An existing OUT is replaced only "
          "once the new file is complete.\nExit status: 0 done; 1 nothing to convert or OUT cannot be written; 2 bad "
          "arguments or an unreadable RECORDING.");
      return [args] { return run(*args); };
    },
    25};

}  // namespace
}  // namespace velmora::tool
