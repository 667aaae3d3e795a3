// `velmora simulate`: a simulated headset on a pty, published in the device
// folder as "tty.NAME", or (with --output) the same stream written to a file.
//
// --output writes the stream as it is generated, in bounded memory whatever
// --seconds asks for.  A regular file (or a new name) is written under a
// temporary name beside it and renamed over it once complete, so that a
// failed run (a full disk) leaves any earlier file as it was; a symbolic
// link to a regular file, or another user's file, is refused (status 2); a
// FIFO, a terminal or another device is written directly; "-" is stdout.
//
// Exit status: 0 done (also when the reader of stdout went away); 1 the
// stream failed or could not be written; 2 bad arguments.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "Command.h"
#include "CommandSupport.h"
#include "host/ConnectionDiagnosis.h"
#include "LogBuffer.h"
#include "Output.h"
#include "platform/Files.h"
#include "platform/OwnFile.h"
#include "sim/HeadsetSimulator.h"
#include "sim/StreamGenerator.h"

namespace velmora::tool {
namespace {

using sim::Fault;
using sim::HeadsetSimulator;
using sim::SimulatorOptions;

struct SimulateArgs {
  std::string name = "KovaSim-SPPDev";
  std::string mode = "eeg";
  std::string from;
  double speed = 1.0;
  std::optional<std::string> seconds;  // none: until stopped
  std::string truth;
  std::vector<std::string> faults;
  uint64_t seed = 1;
  std::optional<std::string> deviceDir;
  bool verbose = false;
  double lf = 0.04;
  double hf = 0.03;
  unsigned period = 30;
  std::string output;
};

constexpr const char* kFaultHelp =
    "Inject a fault, KIND@SECOND[:ARG] in seconds of headset time; repeatable.\n"
    "  checksum@5[:N]  the next N packets (default 1) get a wrong checksum\n"
    "  sync@6[:N]      the next N packets (default 1) get a broken sync pair (AA 55)\n"
    "  junk@7[:N]      N junk bytes (default 16, never 0xAA) before the next packet\n"
    "  pause@8[:S]     send nothing for S seconds (default 1); no sample is lost\n"
    "  unplug@10[:S]   remove the link and close the pty; re-plug a new pty under\n"
    "                  the same name after S seconds, or (no S) end the run";

constexpr const char* kCommand = "velmora simulate";

int fail(const std::string& message, int status = kExitBadInput) {
  std::cerr << kCommand << ": " << message << "\n";
  return status;
}

// Builds the options, or explains what to change.
std::optional<SimulatorOptions> buildOptions(const SimulateArgs& a, std::string& problem) {
  SimulatorOptions o;
  o.name = a.name;
  if (a.name.empty() || a.name.find('/') != std::string::npos) {
    problem = "--name must be non-empty and contain no '/' (it becomes the link tty.NAME)";
    return std::nullopt;
  }
  o.signal.mode = *sim::parseSignalMode(a.mode);
  o.signal.seed = a.seed;
  o.signal.lf = a.lf;
  o.signal.hf = a.hf;
  o.signal.periodSeconds = a.period;
  try {
    o.signal.validate();
  } catch (const std::invalid_argument& e) {
    problem = std::string(e.what()) + "; adjust --lf, --hf or --period";
    return std::nullopt;
  }
  if (!(a.speed > 0.0 && a.speed <= SimulatorOptions::kMaxSpeed)) {
    problem = "--speed must be above 0 and at most 10000 (e.g. --speed 10 for ten times real time)";
    return std::nullopt;
  }
  o.speed = a.speed;
  if (a.seconds) {
    o.durationSeconds = parseSeconds(*a.seconds, 0.0, kMaxSeconds);
    if (!o.durationSeconds) {
      problem = "--seconds must be a number of seconds above 0 and at most a year (leave it out to run until "
                "stopped)";
      return std::nullopt;
    }
  }
  if (!a.from.empty() && !a.truth.empty()) {
    problem = "--truth needs a synthesised stream; a file played back with --from has no ground truth";
    return std::nullopt;
  }
  o.truthPath = a.truth;
  o.playbackPath = a.from;
  for (const std::string& text : a.faults) {
    try {
      o.faults.push_back(Fault::parse(text));
    } catch (const std::invalid_argument& e) {
      problem = e.what();
      return std::nullopt;
    }
  }
  return o;
}

// A --output that must not be written (status 2).
struct OutputRefused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where --output writes: stdout, the target itself (a FIFO, a device), or a
// temporary file beside it that is renamed over it at the end.
class OutputTarget {
 public:
  // Throws std::system_error naming what cannot be opened.
  explicit OutputTarget(const std::string& path) {
    if (path == "-") {
      fd_ = STDOUT_FILENO;
      return;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      if (S_ISDIR(st.st_mode)) throw std::system_error(EISDIR, std::generic_category(), path);
      fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
      return;
    }
    // A regular file is replaced only when it is this user's own and named
    // directly: a link planted at the name, or another user's file, is
    // refused.  A new file is the user's alone (0600); a replaced one keeps
    // its permissions.
    if (const platform::OwnFileError problem = platform::ownFileProblem(path); problem.code != 0) {
      throw OutputRefused(problem.sentence(path) + "; name a file of your own, or a new file");
    }
    const mode_t mode = ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600;
    replacement_.emplace(path, mode);
    if (const int err = replacement_->error()) {
      throw std::system_error(err, std::generic_category(), "cannot create a file beside " + path);
    }
    fd_ = replacement_->fd();
    ::fchmod(fd_, mode);
  }
  ~OutputTarget() {
    if (!replacement_ && fd_ > STDERR_FILENO) ::close(fd_);
  }
  OutputTarget(const OutputTarget&) = delete;
  OutputTarget& operator=(const OutputTarget&) = delete;

  int fd() const { return fd_; }
  // Puts a temporary file in place; the errno when that fails.
  int commit() { return replacement_ ? replacement_->commit() : 0; }

 private:
  int fd_ = -1;
  // The file that replaces a regular file (or none) once complete.
  std::optional<platform::ReplacementFile> replacement_;
};

int writeOutput(const SimulateArgs& a, const SimulatorOptions& o) {
  if (a.from.empty() && !o.durationSeconds) {
    return fail("--output needs --seconds N: how many seconds of stream to write");
  }
  uint64_t bytes = 0;
  int writeError = 0;
  try {
    OutputTarget target(a.output);
    {
      Output out(target.fd());
      sim::StreamGenerator::generate(o, [&](std::span<const uint8_t> block) {
        bytes += block.size();
        return out.write(std::string(reinterpret_cast<const char*>(block.data()), block.size()));
      });
      out.finish();
      writeError = out.error();
    }
    if (writeError == 0) writeError = target.commit();
  } catch (const OutputRefused& e) {
    return fail(e.what());
  } catch (const std::invalid_argument& e) {
    return fail(std::string(e.what()) + "; leave them out, or leave out --output");
  } catch (const std::system_error& e) {
    return fail(std::string(e.what()) + "; check the --output, --from and --truth paths");
  }
  if (writeError == EPIPE) return kExitDone;
  if (writeError != 0) {
    return fail("cannot write " + (a.output == "-" ? std::string("the stream to standard output") : a.output) + ": " +
                    std::strerror(writeError),
                kExitFailed);
  }
  std::cerr << kCommand << ": wrote " << bytes << " bytes to " << a.output << "\n";
  return kExitDone;
}

int runLive(const SimulatorOptions& o) {
  // SIGINT, SIGTERM and SIGHUP are taken by sigtimedwait below; blocked before any
  // thread starts so that every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  HeadsetSimulator simulator(o);
  try {
    simulator.start();
  } catch (const std::system_error& e) {
    // Only the paths that were given can be at fault.
    std::string check;
    if (!o.playbackPath.empty()) check += "the --from path, ";
    if (!o.truthPath.empty()) check += "the --truth path, ";
    return fail(std::string(e.what()) + "; check " + check +
                "that the device folder is writable (choose one with --device-dir DIR or VELMORA_DEVICE_DIR)");
  } catch (const std::invalid_argument& e) {
    return fail(e.what());
  }
  std::cout << simulator.devicePath() << std::endl;
  std::cerr << "velmora simulate: " << (o.playbackPath.empty() ? sim::signalModeName(o.signal.mode) : "playback")
            << " stream on " << simulator.ttyPath() << " at " << o.speed << "x; SIGINT or SIGTERM stops it\n";

  bool interrupted = false;
  auto drainDeadline = std::chrono::steady_clock::time_point::max();
  for (;;) {
    timespec tick{0, 50 * 1000 * 1000};
    int sig = sigtimedwait(&stopSignals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
      interrupted = true;
      break;
    }
    if (!simulator.isFinished()) continue;
    // Give a reader a little time to take what is still in the pty.
    if (drainDeadline == std::chrono::steady_clock::time_point::max()) {
      drainDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    }
    if (simulator.waitUntilDrained(std::chrono::milliseconds(0)) || std::chrono::steady_clock::now() >= drainDeadline) {
      break;
    }
  }
  simulator.stop();
  std::cerr << "velmora simulate: " << (interrupted ? "stopped" : "finished") << " after "
            << simulator.samplesSent() << " samples, " << simulator.packetsSent() << " packets, "
            << simulator.bytesSent() << " bytes\n";
  if (simulator.malformedLines() > 0) {
    std::cerr << "velmora simulate: skipped " << simulator.malformedLines() << " malformed lines of " << o.playbackPath
              << "\n";
  }
  if (!simulator.error().empty()) {
    std::cerr << "velmora simulate: the stream failed: " << simulator.error() << "\n";
    return kExitFailed;
  }
  return kExitDone;
}

int run(const SimulateArgs& a) {
  LogBuffer log(a.verbose);
  std::string problem;
  auto options = buildOptions(a, problem);
  if (!options) return fail(problem);
  if (!a.output.empty()) return writeOutput(a, *options);
  if (auto folderProblem = useDeviceFolder(a.deviceDir)) return fail(*folderProblem);
  if (const std::string refusal = host::ConnectionDiagnosis::deviceFolderRefusal(); !refusal.empty()) {
    return fail(refusal + "; choose a folder of your own with --device-dir DIR or VELMORA_DEVICE_DIR");
  }
  return runLive(*options);
}

CommandRegistration registration{
    "simulate", "Run a simulated headset on a pty (or write its stream to a file)",
    [](CLI::App& cmd) {
      auto args = std::make_shared<SimulateArgs>();
      cmd.add_option("--name", args->name, "Device name; the link is tty.NAME in the device folder")
          ->capture_default_str();
      cmd.add_option("--mode", args->mode, "Signal: eeg (blinks), ecg (R waves, signal quality 200) or mixed")
          ->check(CLI::IsMember({"eeg", "ecg", "mixed"}))
          ->capture_default_str();
      cmd.add_option("--from", args->from,
                     "Play back FILE instead: a stream log (ambrix.log.csv, rows at their recorded pace) or a "
                     "captured byte stream (8 bytes per sample time)");
      cmd.add_option("--speed", args->speed, "Headset seconds per wall-clock second")->capture_default_str();
      cmd.add_option("--seconds", args->seconds, "Seconds of headset time to send (default: until stopped)")
          ->type_name("N");
      cmd.add_option("--truth", args->truth, "Write the ground truth (blinks, R peaks) to FILE as JSON lines");
      cmd.add_option("--fault", args->faults, kFaultHelp);
      cmd.add_option("--seed", args->seed, "Seed of the synthesised signal")->capture_default_str();
      cmd.add_option("--device-dir", args->deviceDir,
                     "Device folder to publish in (default: $VELMORA_DEVICE_DIR, else $XDG_RUNTIME_DIR/velmora/devices)")
          ->type_name("DIR");
      cmd.add_flag("--verbose", args->verbose, "Echo the library's log lines to stderr");
      cmd.add_option("--lf", args->lf, "RR modulation at 0.1 Hz, fraction of the mean interval (0..0.2)")
          ->capture_default_str();
      cmd.add_option("--hf", args->hf, "RR modulation at 0.25 Hz, fraction of the mean interval (0..0.2)")
          ->capture_default_str();
      cmd.add_option("--period", args->period, "Mixed mode: seconds of each EEG and ECG period (at least 5)")
          ->capture_default_str();
      cmd.add_option("--output", args->output,
                     "Write --seconds of the stream to FILE ('-': standard output) instead of a pty");
      return [args] { return run(*args); };
    },
    30};

}  // namespace
}  // namespace velmora::tool
