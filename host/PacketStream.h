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
// The framer's state and the decoder's flags (parserState, poorSignal,
// isKRT480, sentConfigByte) are process-wide.  A PacketStream keeps its own
// copy of them and swaps it in for the length of each feed() (and of its
// construction, which sets the flags), under one process-wide mutex, so that
// any number of streams may decode at once from any threads, in a forked
// child too: the mutex is taken around fork() (pthread_atfork), so a child
// never inherits it held by a thread it does not have.
//
// Threads: any thread, one at a time per object.  A host's live accessory
// object frames without this mutex, on the main thread: there, feed streams
// on the main thread too.  onPacket runs with the mutex held: it must not
// feed a PacketStream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "VelmoraObjC.h"

namespace velmora::host {

class PacketStream {
 public:
  using OnPacket = std::function<void(Dictionary&& values)>;

  // A fresh accessory object whose framer waits for a packet's first sync
  // byte.
  PacketStream();
  ~PacketStream();
  PacketStream(const PacketStream&) = delete;
  PacketStream& operator=(const PacketStream&) = delete;

  void feed(std::span<const uint8_t> bytes, const OnPacket& onPacket);

  // The framer's counts of this stream (packets verified, checksum
  // failures, sync resets, bytes skipped).
  VelmoraFramerCounts counts() const { return accessory_->framerCounts(); }
  // The bytes of a packet begun and not yet ended (from its first sync
  // byte on), which the counts hold nowhere yet: at the end of the input
  // they were skipped too.
  uint64_t bytesUnderWay() const { return underWay_; }

 private:
  // This stream's values of the process-wide framer state.
  struct Framer {
    ParserState parser;
    int32_t poorSignal = 0;
    uint8_t isKRT480 = 0;
    uint8_t sentConfigByte = 0;
    void swap();
  };
  class SwappedIn;

  Framer framer_;
  std::unique_ptr<VelmoraObjC> accessory_;
  uint64_t underWay_ = 0;
};

}  // namespace velmora::host
