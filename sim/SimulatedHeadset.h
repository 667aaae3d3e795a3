// SimulatedHeadset: a simulated headset in a device folder of its own, the
// set-up that `velmora demo` and the tests share.  It makes a scratch folder
// (ScratchFolder) with a "devices" folder in it, points the process's device
// folder there (platform::DeviceFolder, which is process-wide), and starts a
// HeadsetSimulator that publishes its pty there as "tty.NAME".  A client in
// this process finds it through the port manager; one in another process is
// pointed at deviceFolder() (`velmora stream --device-dir DIR`).
// Destruction stops the simulator and removes the scratch folder.
//
// Threads: construct and destroy on one thread, before anything else in the
// process has used the device folder; simulator() is as thread-safe as
// HeadsetSimulator.
#pragma once

#include <optional>
#include <string>

#include "sim/HeadsetSimulator.h"
#include "sim/ScratchFolder.h"

namespace velmora::sim {

class SimulatedHeadset {
 public:
  // The options of a synthesised headset: `name`, `mode`, `seed`, `speed`
  // times real time, `seconds` of headset time (none: until stopped).
  static SimulatorOptions options(const std::string& name, SignalMode mode, uint64_t seed, double speed,
                                  std::optional<double> seconds = std::nullopt);

  // Throws as ScratchFolder and HeadsetSimulator::start() do.
  explicit SimulatedHeadset(const SimulatorOptions& options, const std::string& scratchName = "velmora-sim");
  SimulatedHeadset(const SimulatedHeadset&) = delete;
  SimulatedHeadset& operator=(const SimulatedHeadset&) = delete;

  HeadsetSimulator& simulator() { return simulator_; }
  // The scratch folder, for whatever else the caller keeps there.
  const std::string& folder() const { return scratch_.path(); }
  const std::string& deviceFolder() const { return devices_; }

 private:
  // Destroyed in reverse: the simulator stops (and unpublishes) before the
  // scratch folder goes.
  ScratchFolder scratch_;
  std::string devices_;
  HeadsetSimulator simulator_;
};

}  // namespace velmora::sim
