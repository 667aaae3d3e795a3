// DataBuffer: the decoded stream of one Headset, kept as columns on the
// headset's sample clock until Python takes it with Headset.read().
//
// It is the accessory object's stream listener: every raw sample is
// stamped by a SampleClock and appended with its time; a blink or an RR
// interval completed by a sample is stamped with that sample's time; a
// 1 Hz value (signal quality, attention, meditation, the eight band powers)
// with the time of the sample that follows it, the one it arrived with.
// A new connection after a lost one starts a new clock anchor and adds a
// gap (start: where the last sample's period ended; end: the new anchor).
// Host markers (annotate()) take the time of the newest sample.
//
// take() hands over whole samples: the first n raw samples and everything
// else stamped before the first sample it leaves behind (before the next
// sample's time when it takes them all), so that consecutive takes never
// split or repeat anything.
//
// Bounds: at most `capacity` raw samples are kept; beyond that the oldest
// give way (dropped() counts them), and with them everything else stamped
// before the oldest sample kept, so nothing grows while the host does not
// read.
//
// Every call is passed on, after the buffer's own work and outside its
// lock, to the `next` listener (an EDF/BDF recorder), if any.
//
// Threads: the listener calls come on the library's framing thread; the
// other members from any thread.  One mutex of its own guards everything
// (never velmora::lock); waitFor() sleeps on a condition variable that
// each raw sample signals.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "SampleClock.h"
#include "VelmoraStreamListener.h"

namespace velmora::python {

class DataBuffer : public VelmoraStreamListener {
 public:
  // Ten minutes of raw samples.
  static constexpr size_t kDefaultCapacity = 600 * 512;

  // The stamped series besides the raw samples, in this order: the eleven
  // 1 Hz values under kValueKeys, then blinks (strength), RR intervals (ms)
  // and the heart rate (beats per minute, as the library's "heartRate").
  static constexpr std::array<const char*, 11> kValueKeys = {
      "poorSignal",  "vScoreAttention", "vScoreMeditation", "eegDelta",    "eegTheta",    "eegLowAlpha",
      "eegHighAlpha", "eegLowBeta",     "eegHighBeta",      "eegLowGamma", "eegHighGamma"};
  enum : size_t { kBlinks = kValueKeys.size(), kRr, kHeartRate, kSeriesCount };

  struct Series {
    std::vector<double> t;
    std::vector<int32_t> value;
  };
  struct Chunk {
    std::vector<int32_t> raw;
    std::vector<double> t;
    std::array<Series, kSeriesCount> series;
    std::vector<double> markerTimes;
    std::vector<std::string> markerTexts;
    std::vector<double> gapStarts, gapEnds;
  };

  // `hostClock` gives the wall clock in seconds since 1970 (tests pass
  // their own).
  DataBuffer(size_t capacity, std::shared_ptr<VelmoraStreamListener> next,
             std::function<double()> hostClock = {});

  // Takes the first `samples` raw samples (all when none, or when fewer are
  // buffered) and what belongs with them; with `everything` also what was
  // stamped after the last sample (the stream has ended).
  Chunk take(std::optional<size_t> samples, bool everything);
  // Waits until `samples` raw samples are buffered or `until` passes.
  void waitFor(size_t samples, std::chrono::steady_clock::time_point until);
  size_t available() const;
  uint64_t dropped() const;
  // Stamps `text` at the newest sample (the host's time before the first);
  // returns that time.
  double annotate(const std::string& text);

  // The host ends the session: the link changes that follow (the port's
  // close report) are its own doing and reach neither the buffer nor the
  // next listener, which would otherwise note a loss after the last sample.
  void endSession();

  // VelmoraStreamListener.
  void rawSampleDecoded(int32_t sample, int32_t blinkStrength, int32_t rrIntervalMs) override;
  void valueDecoded(const std::string& key, int32_t value) override;
  void linkChanged(Link change, const std::string& portName) override;

 private:
  struct Stamped {
    std::deque<double> t;
    std::deque<int32_t> value;
  };

  void anchorIfNeeded(double now);  // under mutex_
  void trim();                      // under mutex_

  const size_t capacity_;
  const std::shared_ptr<VelmoraStreamListener> next_;
  const std::function<double()> hostClock_;

  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  SampleClock clock_;
  bool newConnection_ = false;  // opened, and no event stamped since
  bool down_ = false;           // the link was reported lost
  double gapStart_ = 0.0;
  std::optional<double> newest_;  // the newest sample's time; none before the first
  bool ending_ = false;
  std::deque<int32_t> raw_;
  std::deque<double> t_;
  std::array<Stamped, kSeriesCount> series_;
  std::deque<double> markerTimes_;
  std::deque<std::string> markerTexts_;
  std::deque<double> gapStarts_, gapEnds_;
  uint64_t dropped_ = 0;
};

}  // namespace velmora::python
