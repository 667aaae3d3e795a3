// Scheduling priority of the calling thread on a 0.0 .. 1.0 scale.
//
// Linux gives every thread its own nice value; the scale maps onto it
// linearly in two halves: 0.0 is nice 19 (lowest), 0.5 is nice 0 (the normal
// priority), 1.0 is nice -20 (highest).  Raising a thread above its current
// priority needs CAP_SYS_NICE (or RLIMIT_NICE room); when that is refused the
// thread simply keeps the priority it has.
//
// Thread-safety: both functions may be called from any thread; each acts on
// the calling thread only.
#pragma once

namespace velmora::platform {

// The nice value for `priority`; values outside 0..1 are clamped, NaN counts
// as 0.5.
int niceForPriority(double priority);

// Applies niceForPriority(priority) to the calling thread.  Returns false when
// the system refused the change; callers that do not care may ignore it.
bool setCurrentThreadPriority(double priority);

}  // namespace velmora::platform
