#include "Globals.h"

#include "VLBlink.h"
#include "VLHrv.h"

namespace velmora {

ParserState parserState;
std::atomic<int32_t> poorSignal{0};
std::atomic<uint8_t> isKRT480{0};
std::atomic<uint8_t> sentConfigByte{0};
SwappableMutex lock;
std::atomic<std::shared_ptr<VLBlink>> blink;
std::atomic<std::shared_ptr<VLHrv>> hrv;

}  // namespace velmora
