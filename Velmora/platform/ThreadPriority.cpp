#include "platform/ThreadPriority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace velmora::platform {

int niceForPriority(double priority) {
  if (std::isnan(priority)) return 0;
  priority = std::clamp(priority, 0.0, 1.0);
  if (priority >= 0.5) return -static_cast<int>(std::lround((priority - 0.5) * 40.0));
  return static_cast<int>(std::lround((0.5 - priority) * 38.0));
}

bool setCurrentThreadPriority(double priority) {
  // With PRIO_PROCESS and a thread id, Linux changes that one thread only.
  return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), niceForPriority(priority)) == 0;
}

}  // namespace velmora::platform
