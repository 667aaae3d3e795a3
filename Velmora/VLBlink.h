// VLBlink: finds eye blinks in the stream of raw EEG samples.
//
// Thread-safety: not safe for concurrent use; only the decoder's thread (the
// main thread) calls it, one sample at a time, without the data lock.
#pragma once

#include <cstdint>

namespace velmora {

class VLBlink {
 public:
  VLBlink();

  // Returns 0, or the strength code 1..255 of the blink that `eegValue`
  // completes.  A `poorSignal` above 50 resets the detector.
  int32_t detectBlinkWithPoorSignal(int32_t poorSignal, int32_t eegValue);
};

}  // namespace velmora
