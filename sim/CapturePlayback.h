// Plays back a captured byte stream as it is: 8 bytes per sample time (the
// size of one raw-sample packet), so a capture of a headset's stream plays
// at about its recorded rate (a live stream also carries its once-a-second
// packets, so the playback runs about 1 % slower).  The bytes are not
// framed or checked: a capture with garbage plays back its garbage.
//
// Thread-safety: none; one thread drives it.
#pragma once

#include <cstdio>
#include <string>

#include "sim/StreamSource.h"

namespace velmora::sim {

class CapturePlayback : public StreamSource {
 public:
  static constexpr size_t kBytesPerTick = 8;

  // Throws std::system_error when the file cannot be opened.
  explicit CapturePlayback(const std::string& path);
  ~CapturePlayback() override;
  CapturePlayback(const CapturePlayback&) = delete;
  CapturePlayback& operator=(const CapturePlayback&) = delete;

  bool tick(TickBuffer& out) override;
  bool framesPackets() const override { return false; }

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
};

}  // namespace velmora::sim
