// A source of headset bytes, produced one sample time (1/512 s of headset
// time) after another: the synthesised signal (SignalModel), a captured byte
// stream (CapturePlayback) or a recorded stream log (LogPlayback).
//
// Thread-safety: none; one thread drives a source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/GroundTruth.h"

namespace velmora::sim {

// Bytes for the link, with where their whole packets start.  Sources append;
// a buffer may collect several sample times.
struct TickBuffer {
  std::vector<uint8_t> bytes;
  std::vector<size_t> packetStarts;  // offsets into `bytes`, rising
  uint64_t samples = 0;              // raw-sample packets among them

  void clear() {
    bytes.clear();
    packetStarts.clear();
    samples = 0;
  }
  // Appends one packet around `payload` (see PacketEncoder).
  void appendPacket(const std::vector<uint8_t>& payload);
  // Appends one raw-sample packet and counts the sample.
  void appendRawPacket(int16_t sample);
};

class StreamSource {
 public:
  virtual ~StreamSource() = default;

  // Appends the bytes of the next sample time to `out`.  Returns false, and
  // appends nothing, once the source has ended.
  virtual bool tick(TickBuffer& out) = 0;
  // Whether the source produces whole packets (and reports where they start).
  virtual bool framesPackets() const = 0;
  // Moves the ground-truth events completed so far into `into`.
  virtual void takeTruth(std::vector<TruthEvent>& into) { (void)into; }
  // Lines of a played-back log that could not be used.
  virtual uint64_t malformedLines() const { return 0; }
};

}  // namespace velmora::sim
