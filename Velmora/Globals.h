// The library's process-wide values.
//
// One accessory object per process is the intended use; see VelmoraObjC.h for
// what several objects mean.  Values that other threads read "without
// synchronisation" are atomics here.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/SwappableMutex.h"

namespace velmora {

class VLBlink;
class VLHrv;

// The packet framer's state record.  Only the thread that frames received
// bytes (the main thread) touches it.
struct ParserState {
  // The values of `state`, in the order a packet passes them.
  static constexpr int32_t kWaitingForSync = 0;        // the first 0xAA
  static constexpr int32_t kWaitingForSecondSync = 1;  // the second 0xAA
  static constexpr int32_t kLength = 2;                // the length byte
  static constexpr int32_t kPayload = 3;               // payload bytes
  static constexpr int32_t kChecksum = 4;              // the checksum byte

  int32_t state = kWaitingForSync;  // one of the values above
  int32_t payloadLength = 0;  // the current packet's length byte, 0..255
  uint8_t checksum = 0;       // running sum of the payload bytes, modulo 256
};
extern ParserState parserState;

// The latest signal-quality value; written by the decoder only.
extern std::atomic<int32_t> poorSignal;
// 1 when the headset reports the KRT480 sensor chip.
extern std::atomic<uint8_t> isKRT480;
// 1 once no configuration reply is to be sent any more.
extern std::atomic<uint8_t> sentConfigByte;

// Guards the data dictionaries, raw-sample buffers, stream-log writes and the
// HRV results.  Not recursive: nothing called while it is held may take it.
extern SwappableMutex lock;

// The blink detector and HRV analyser created by the most recent accessory
// object.  Load them once (`auto h = velmora::hrv.load();`) and use the copy.
extern std::atomic<std::shared_ptr<VLBlink>> blink;
extern std::atomic<std::shared_ptr<VLHrv>> hrv;

}  // namespace velmora
