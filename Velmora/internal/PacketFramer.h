// PacketFramer: cuts the headset's byte stream into packets and hands each
// verified payload to the payload decoder.
//
// A packet is AA AA, a length byte N (0..255, 0xAA included), N payload
// bytes and a checksum byte equal to the inverse of the payload's byte sum.
// The state (which byte is due, the payload length, the running checksum)
// is the process-wide `parserState`; the payload array, the bytes still due
// and the counts belong to this framer, one per accessory object.
//
// After a length byte of 0 the framer still takes one byte in the payload
// state; it counts in the checksum but is not stored; then comes the
// checksum byte.  Nothing is ever written outside the payload array, also
// when a packet was begun by another object's framer.
//
// Threads: parse() and everything but counts() on the framing thread only;
// counts() from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "VelmoraObjC.h"

namespace velmora::internal {

class PayloadDecoder;

class PacketFramer {
 public:
  explicit PacketFramer(PayloadDecoder& decoder);

  // Frames `chunk` in place, decoding every verified packet before the next
  // byte is framed.  Logs "VLAccessory: Reset at second sync." and
  // "VLAccessory: Checksum error: expected %02x, got %02x".
  void parse(std::span<const uint8_t> chunk);
  // Puts `parserState` back to state 0 (payload length and checksum 0).
  static void reset();

  int32_t payloadBytesRemaining() const { return payloadBytesRemaining_; }
  VelmoraFramerCounts counts() const;

 private:
  // Room for the longest payload (255 bytes), allocated once: a packet of a
  // raw sample arrives 512 times a second and should not cost an allocation.
  static constexpr int32_t kPayloadCapacity = 256;

  void checksumByte(uint8_t b);

  PayloadDecoder& decoder_;
  std::unique_ptr<uint8_t[]> payloadBuffer_;
  int32_t payloadSize_ = 0;  // the current packet's payload length: the part of payloadBuffer_ in use
  int32_t payloadBytesRemaining_ = 0;

  // Written by the framing thread only.
  std::atomic<uint64_t> packetsVerified_{0};
  std::atomic<uint64_t> checksumFailures_{0};
  std::atomic<uint64_t> syncResets_{0};
  std::atomic<uint64_t> bytesSkipped_{0};
};

}  // namespace velmora::internal
