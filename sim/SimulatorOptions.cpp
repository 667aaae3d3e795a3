#include "sim/SimulatorOptions.h"

#include <cmath>
#include <stdexcept>

namespace velmora::sim {

void SimulatorOptions::validate() const {
  if (name.empty() || name.find('/') != std::string::npos) {
    throw std::invalid_argument("the device name must be non-empty and contain no '/'");
  }
  if (!(speed > 0.0 && speed <= kMaxSpeed)) {
    throw std::invalid_argument("the speed factor must be above 0 and at most 10000");
  }
  if (durationSeconds && !(*durationSeconds > 0.0 && std::isfinite(*durationSeconds))) {
    throw std::invalid_argument("the duration must be a positive number of seconds");
  }
  if (!playbackPath.empty() && !truthPath.empty()) {
    throw std::invalid_argument("a played-back file has no ground truth; drop the truth file or the playback");
  }
  signal.validate();
}

}  // namespace velmora::sim
