// SampleClock: the time of each raw sample of one headset connection, on
// the headset's own sample clock (512 samples per second) anchored to the
// host's wall clock.
//
// Why: samples reach the host in chunks (a Bluetooth or USB packet, a
// 20 ms delivery), so their arrival times bunch up and say little about
// when each was taken.  The headset samples at a steady rate, so sample k
// of a connection lies at
//
//     anchor + sum over j < k of (1 + rate_j) / 512 s
//
// where `anchor` is the host's wall-clock time when the connection's first
// event was decoded, and `rate_j` is a small correction that keeps the
// clock near the host's clock although the headset's crystal and the
// host's disagree a little.
//
// The drift correction.  For every sample the clock compares the host's
// time of decoding with the sample's time and low-pass filters the
// difference (an exponential average with a time constant of kFilterSeconds
// of samples).  The rate is that filtered difference divided by
// kHorizonSeconds (so an offset is worked off over about that long),
// bounded to +/- kMaxRate.  Arrival jitter is thus averaged away, the rate
// changes smoothly, and consecutive samples are always 1/512 s apart within
// kMaxRate (0.5 %).  A clock that differs from the host's by less than
// kMaxRate (crystals differ by some 0.01 %) stays within a few
// milliseconds of it, well inside 100 ms; one that runs faster or slower
// than that, such as a simulated headset at eight times real time, keeps
// its sample spacing and drifts away from the host's clock instead of
// bunching its samples.
//
// Samples that the port held before it was opened (a backlog) arrive in
// one burst and are stamped from the anchor on, so the clock starts ahead
// of the host's by that backlog and works it off at kMaxRate (100 ms in
// 20 s).  Spacing wins over closeness here: a sample's time never jumps.
//
// A new connection starts a new anchor (start()), never earlier than the
// end of the previous connection's last sample, so that times never go
// backwards across a reconnect.
//
// Threads: a plain value; its owner serialises the calls.
#pragma once

#include <cstdint>

namespace velmora::python {

class SampleClock {
 public:
  static constexpr double kSampleRate = 512.0;
  static constexpr double kMaxRate = 0.005;
  static constexpr double kFilterSeconds = 1.0;
  static constexpr double kHorizonSeconds = 5.0;

  // A new connection: its first sample will lie at max(hostNow, notBefore).
  void start(double hostNow, double notBefore);
  bool started() const { return started_; }

  // The time of the next sample (the one next() will return).
  double peek() const { return anchor_ + elapsed_; }
  // Stamps the next sample, decoded at host time `hostNow`, and advances.
  double next(double hostNow);

 private:
  bool started_ = false;
  double anchor_ = 0.0;
  double elapsed_ = 0.0;  // kept apart from the anchor so that rounding stays at nanoseconds
  double offset_ = 0.0;   // filtered host time minus sample time
};

}  // namespace velmora::python
