// How a HeadsetSimulator (or the offline generator) runs: the device name,
// what it sends (synthesis, or playback of a file), how fast, for how long,
// with which faults, and where the ground truth goes.
//
// Thread-safety: plain data.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/Fault.h"
#include "sim/SignalOptions.h"

namespace velmora::sim {

enum class PlaybackKind {
  Auto,     // a stream log if the file starts with its header or a row, else a capture
  Capture,  // raw bytes, 8 per sample time (CapturePlayback.h)
  Log,      // the library's CSV stream log (LogPlayback.h)
};

struct SimulatorOptions {
  // Published as "tty.NAME" in the device folder.
  std::string name = "KovaSim-SPPDev";
  SignalOptions signal;
  // Headset time runs this many times faster than the wall clock.
  double speed = 1.0;
  // Seconds of headset time to send; none: until stopped (or until a
  // played-back file ends).
  std::optional<double> durationSeconds;
  // Where to write the ground truth as JSON lines (TruthFile.h); empty: not
  // written.  Synthesis only.
  std::string truthPath;
  std::vector<Fault> faults;
  // A file to play back instead of synthesising; empty: synthesis.
  std::string playbackPath;
  PlaybackKind playbackKind = PlaybackKind::Auto;

  static constexpr double kMaxSpeed = 10000.0;

  // Throws std::invalid_argument naming the bad option.
  void validate() const;
};

}  // namespace velmora::sim
