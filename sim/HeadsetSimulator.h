// A simulated headset on a pty: streams the packets of a StreamGenerator
// (synthesis or playback, with faults) to the master end of a pty pair and
// publishes the slave in the device folder as "tty.NAME", so that the
// library (or any client) finds and opens it like a real headset.  The
// process holds the publisher's lock on "tty.NAME.lock" while the link is
// published (DeviceFolder.h): should it be killed, clients ignore the link
// left behind.  The link is removed before the pty is closed, so that no
// client can reach a pty number that the system gives to another program.
//
// Pacing: sample times go out at 512 x speed per second of the steady clock,
// in small batches (about 5 ms of stream each): sample time k is never sent
// before start + k / (512 x speed).  No byte is dropped for a slow reader:
// when the pty's buffer is full the writer waits until there is room (if
// nobody reads, the kernel buffer fills and the stream waits).  After a
// stall of more than 250 ms the schedule restarts from the stalled point
// rather than bursting the backlog.
//
// Link faults: a pause stops the stream and the headset's clock for its
// length; an unplug removes the link from the folder and closes the pty (a
// reader of the slave then sees EIO or end of file), and the bytes of a
// batch not yet written are dropped.  While unplugged the headset's clock
// stops; a re-plug publishes a new pty under the same name and the stream
// goes on where it was.
//
// Threads: start() opens and publishes the pty on the caller's thread and
// then starts the simulator's own thread, which alone writes to the pty,
// closes and re-opens it, and drives the generator.  Every public function
// may be called from any thread; unplug() and replug() return once the
// simulator's thread has carried them out.  stop() (and destruction) ends
// the thread and unpublishes the link; so does a failure (the pty cannot be
// written or re-opened, the playback file cannot be read), which error()
// then describes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/Fault.h"
#include "sim/GroundTruth.h"
#include "sim/SimulatorOptions.h"
#include "sim/StreamSource.h"

namespace velmora::sim {

class Pty;
class StreamGenerator;
class TruthFile;

class HeadsetSimulator {
 public:
  // Throws std::invalid_argument for invalid options.
  explicit HeadsetSimulator(SimulatorOptions options);
  ~HeadsetSimulator();
  HeadsetSimulator(const HeadsetSimulator&) = delete;
  HeadsetSimulator& operator=(const HeadsetSimulator&) = delete;

  // Opens the source (and the truth file), opens and publishes the pty and
  // starts streaming.  Throws std::system_error (no pty, the device folder
  // or a file unusable), std::invalid_argument (bad options) or
  // std::logic_error (started before: a simulator runs once).
  void start();
  // Stops streaming, unpublishes the link and closes the pty.  Idempotent.
  void stop();

  // The stream has finished: its duration reached, the played-back file
  // exhausted, an unplug fault without re-plug, a failure (see error()),
  // or stop().  The link stays published (and readable) until stop().
  bool isFinished() const;
  void waitUntilFinished();
  bool waitUntilFinished(std::chrono::milliseconds timeout);
  // Waits until the stream has finished and a reader has taken every byte
  // from the slave (or the link is unplugged).
  bool waitUntilDrained(std::chrono::milliseconds timeout);

  // The link in the device folder (…/tty.NAME), valid from start().
  std::string devicePath() const;
  // The pty slave the link points at (changes with each re-plug).
  std::string ttyPath() const;
  bool isPlugged() const;

  // Unplugs the headset now; it stays unplugged until replug().
  void unplug();
  // Publishes a new pty under the same name; the stream goes on.
  void replug();
  // Applies `fault` now (its atSecond is ignored).
  void injectFault(const Fault& fault);

  uint64_t samplesSent() const { return samplesSent_.load(); }  // raw-sample packets (capture: sample times)
  uint64_t packetsSent() const { return packetsSent_.load(); }  // whole packets built (none for a capture)
  uint64_t bytesSent() const { return bytesSent_.load(); }
  uint64_t bytesReceived() const { return bytesReceived_.load(); }  // written to the slave by clients
  uint64_t malformedLines() const { return malformedLines_.load(); }  // of a played-back stream log
  // The ground truth of what has been sent so far.
  GroundTruth truth() const;
  // Why the stream ended early; empty when it did not.
  std::string error() const;

  // The byte stream of `options` without a pty (StreamGenerator::generate).
  static std::vector<uint8_t> generateOffline(const SimulatorOptions& options, GroundTruth* truth = nullptr);

 private:
  using Clock = std::chrono::steady_clock;
  enum class CommandKind { Unplug, Replug, Fault };
  struct Command {
    CommandKind kind;
    Fault fault;
    uint64_t id;
  };

  void run();
  uint64_t post(CommandKind kind, const Fault& fault);
  void waitFor(uint64_t id);
  bool runCommands();
  void waitForWake(Clock::time_point until);
  bool writeBatch(const TickBuffer& batch, const std::vector<std::pair<size_t, uint64_t>>& tickEnds);
  void drainInput();
  void plugIn();
  void unplugNow();
  void handleLinkFault(const Fault& fault);
  void publishTruth();
  void finish(const std::string& why);
  void wake();

  const SimulatorOptions options_;
  const double rate_;  // sample times per wall-clock second

  // Owned by the simulator's thread once it runs.
  std::unique_ptr<StreamGenerator> generator_;
  std::unique_ptr<TruthFile> truthFile_;
  std::unique_ptr<Pty> pty_;
  Clock::time_point anchor_;
  uint64_t anchorTick_ = 0;
  std::optional<Clock::time_point> pauseUntil_;
  std::optional<Clock::time_point> replugAt_;
  int zeroUnreadChecks_ = 0;

  std::thread thread_;
  int wake_ = -1;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Command> commands_;
  uint64_t nextCommand_ = 1;
  uint64_t doneCommand_ = 0;
  bool started_ = false;
  bool stopRequested_ = false;
  bool finished_ = false;
  bool threadExited_ = false;  // a failure or stop() ended the simulator's thread
  bool plugged_ = false;
  bool drained_ = false;  // a reader has taken every byte (or the link is unplugged)
  std::string devicePath_;
  std::string ttyPath_;
  std::string error_;
  GroundTruth truth_;

  std::atomic<bool> urgent_{false};  // stop or unplug pending: abandon a blocked write
  std::atomic<uint64_t> samplesSent_{0};
  std::atomic<uint64_t> packetsSent_{0};
  std::atomic<uint64_t> bytesSent_{0};
  std::atomic<uint64_t> bytesReceived_{0};
  std::atomic<uint64_t> malformedLines_{0};
};

}  // namespace velmora::sim
