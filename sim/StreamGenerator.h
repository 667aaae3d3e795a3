// The stream a simulated headset sends, sample time by sample time: the
// source chosen by the options (synthesis, or playback of a capture or a
// stream log), cut off after the duration, with the byte faults (checksum,
// sync, junk) applied when they fall due and the link faults (pause, unplug)
// handed to the caller, which owns the link.  HeadsetSimulator paces it onto
// a pty; generate() runs it offline.
//
// Thread-safety: none; one thread drives a generator.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <optional>
#include <vector>

#include "sim/Fault.h"
#include "sim/GroundTruth.h"
#include "sim/Random.h"
#include "sim/SimulatorOptions.h"
#include "sim/StreamSource.h"

namespace velmora::sim {

class StreamGenerator {
 public:
  // Opens the playback file if there is one.  Throws std::invalid_argument
  // for bad options (checksum and sync faults need a source that builds
  // packets, which a capture does not) and std::system_error for a file that
  // cannot be opened.
  explicit StreamGenerator(const SimulatorOptions& options);

  // A link fault due before the next sample time, if any; each is handed out
  // once.  Ask before every tick().
  std::optional<Fault> takeDueLinkFault();
  // Appends the next sample time's bytes to `out`.  Returns false, appending
  // nothing, once the stream has ended (its duration reached, or the played
  // back file exhausted).
  bool tick(TickBuffer& out);
  // A fault to apply at once (atSecond is ignored): a byte fault changes the
  // next packets, a link fault is due before the next sample time.
  void inject(const Fault& fault);

  // Sample times produced so far.
  uint64_t ticks() const { return ticks_; }
  bool ended() const { return ended_; }
  StreamSource& source() { return *source_; }

  // The whole stream of `options` without a link: durationSeconds of it
  // (required for synthesis; a playback without it runs to the file's end).
  // Writes the truth file when the options name one, and adds the truth to
  // `truth` when given.  Throws std::invalid_argument for link faults, which
  // need a live link, and as the constructor does.
  static std::vector<uint8_t> generate(const SimulatorOptions& options, GroundTruth* truth = nullptr);
  // The same stream handed to `sink` in blocks of about kBlockBytes, in
  // bounded memory whatever its length.  Stops early, returning false, when
  // `sink` returns false; true once the whole stream has been handed over.
  static constexpr size_t kBlockBytes = 64 * 1024;
  static bool generate(const SimulatorOptions& options, const std::function<bool(std::span<const uint8_t>)>& sink,
                       GroundTruth* truth = nullptr);

 private:
  void activate(const Fault& fault);

  std::unique_ptr<StreamSource> source_;
  std::vector<Fault> scheduled_;  // by time
  size_t nextScheduled_ = 0;
  std::deque<Fault> dueLinkFaults_;
  uint64_t checksumPending_ = 0;
  uint64_t syncPending_ = 0;
  uint64_t junkPending_ = 0;
  std::optional<uint64_t> endTick_;
  uint64_t ticks_ = 0;
  bool ended_ = false;
  TickBuffer scratch_;
  Random junk_;
};

}  // namespace velmora::sim
