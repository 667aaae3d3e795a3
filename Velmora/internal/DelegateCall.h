// How the accessory object calls its host's delegate: a delegate that is
// gone is skipped, and what a callback throws is logged as one line
// ("VLAccessory: the delegate's NAME threw: TEXT") and goes no further.
//
// Threads: any; callDelegate() holds no lock of its own.
#pragma once

#include <memory>
#include <string>

#include "platform/Log.h"

namespace velmora::internal {

// The text of the exception being handled (inside a catch block).
std::string currentExceptionText();

// Calls `call(delegate)` if `delegate` is set.  The caller passes its own
// strong reference: when the delegate owns the accessory object and this is
// the last reference, the object is destroyed when the caller's reference
// goes, after the call.
template <typename Delegate, typename Call>
void callDelegate(const std::shared_ptr<Delegate>& delegate, const char* callback, Call&& call) {
  if (!delegate) return;
  try {
    call(*delegate);
  } catch (...) {
    logMessage("VLAccessory: the delegate's %s threw: %s", callback, currentExceptionText().c_str());
  }
}

}  // namespace velmora::internal
