// VelmoraStreamListener: sees the decoded stream one event at a time, at
// the exact sample where it happens, for consumers that must keep the
// stream's own timeline (a recorder in a standard file format, say).  The
// data dictionary cannot give that: it gathers 20 ms of values and keeps
// only the last of each key.
//
// A host attaches one listener to an accessory object with
// VelmoraObjC::setStreamListener(); the object holds it weakly, like its
// delegate, and skips it once it is gone.
//
// Threads.  Every call comes on the framing thread (the main thread, where
// the serial port delivers its chunks and its open, close and removal
// reports), in decoding order, and never while `lock` is held, so a listener
// may take its own locks and do file I/O; it must not take `lock` itself nor
// wait for the main thread.  The exception is Link::SwitchedOff, which comes
// on whichever thread reports the interruption (nothing in the library does
// yet).  A listener that a host also drives from another thread needs a lock
// of its own.
#pragma once

#include <cstdint>
#include <string>

namespace velmora {

class VelmoraStreamListener {
 public:
  // What happened to the headset's link.
  enum class Link {
    Opened,       // the port reported its open (every connect, reconnects included)
    Removed,      // the port's device was removed (unplugged, out of range)
    SwitchedOff,  // the headset was switched off while connected
    Closed,       // the port reported its close (a removal ends so too, as does a host's Disconnect)
  };

  virtual ~VelmoraStreamListener() = default;

  // One raw sample, in stream order, with what the analysers made of it:
  // `blinkStrength` 1..255 when this sample completed a blink, else 0;
  // `rrIntervalMs` above 0 when it completed an RR interval (a heart beat),
  // else 0.
  virtual void rawSampleDecoded(int32_t sample, int32_t blinkStrength, int32_t rrIntervalMs) = 0;

  // One value stored in the data dictionary, under its key: "poorSignal",
  // "vScoreAttention", "vScoreMeditation" and the eight band powers
  // ("eegDelta" ... "eegHighGamma").  Blinks and RR intervals come with
  // their sample instead.
  virtual void valueDecoded(const std::string& key, int32_t value) = 0;

  // A change of the link; `portName` is the port's name (empty for
  // SwitchedOff, which names no port).
  virtual void linkChanged(Link change, const std::string& portName) = 0;
};

}  // namespace velmora
