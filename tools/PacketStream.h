// PacketStream: decodes a captured headset byte stream packet by packet, so
// that each packet's values can be taken on their own.  `velmora decode`
// prints them as JSON lines; the Python module returns them as dicts.
//
// The bytes go through a fresh accessory object's framer, decoder and
// analysers exactly as if they had arrived from the headset.  Right after
// each checksum byte the values that packet wrote are taken from the object
// (takeData: every data-dictionary key the packet set, the last value when it
// set one twice, and "raw" with the packet's raw samples in order) and, when
// there are any, handed to the callback.  Packets that fail their checksum
// hand over nothing.  A packet cut by the end of one feed() is continued by
// the next.
//
// Threads: the framer's state is process-wide (see VelmoraObjC), so one
// thread at a time feeds bytes, and no other accessory object frames bytes
// in between unless the caller swaps the framer's state out and back.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "VelmoraObjC.h"

namespace velmora::tool {

class PacketStream {
 public:
  using OnPacket = std::function<void(Dictionary&& values)>;

  // Resets the framer to wait for a packet's first sync byte.
  PacketStream();

  void feed(std::span<const uint8_t> bytes, const OnPacket& onPacket);

  // Packets framed so far (checksum matched or not) and the bytes they took:
  // their two sync bytes and everything from the length byte to the checksum
  // byte.  The bytes fed minus these were skipped (noise, broken sync pairs,
  // a packet still open at the end).
  uint64_t packets() const { return packets_; }
  uint64_t framedBytes() const { return framedBytes_; }
  // The framer's own counts (checksum failures among them).
  VelmoraFramerCounts framerCounts() const { return accessory_.framerCounts(); }

 private:
  VelmoraObjC accessory_;
  uint64_t packets_ = 0;
  uint64_t framedBytes_ = 0;
  uint64_t packetBytes_ = 0;  // of the packet under way
};

}  // namespace velmora::tool
