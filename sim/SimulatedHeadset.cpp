#include "sim/SimulatedHeadset.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "platform/DeviceFolder.h"

namespace velmora::sim {
namespace {

std::string makeDeviceFolder(const std::string& scratch) {
  const std::string devices = scratch + "/devices";
  if (::mkdir(devices.c_str(), 0700) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot create " + devices);
  }
  platform::DeviceFolder::setPath(devices);
  return devices;
}

}  // namespace

SimulatorOptions SimulatedHeadset::options(const std::string& name, SignalMode mode, uint64_t seed, double speed,
                                           std::optional<double> seconds) {
  SimulatorOptions o;
  o.name = name;
  o.signal.mode = mode;
  o.signal.seed = seed;
  o.speed = speed;
  o.durationSeconds = seconds;
  return o;
}

SimulatedHeadset::SimulatedHeadset(const SimulatorOptions& options, const std::string& scratchName)
    : scratch_(scratchName), devices_(makeDeviceFolder(scratch_.path())), simulator_(options) {
  simulator_.start();
}

}  // namespace velmora::sim
