#include "VLBlink.h"

namespace velmora {

VLBlink::VLBlink() = default;

int32_t VLBlink::detectBlinkWithPoorSignal(int32_t, int32_t) { return 0; }

}  // namespace velmora
