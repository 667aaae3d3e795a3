#include "PacketStream.h"

#include <algorithm>

namespace velmora::tool {

PacketStream::PacketStream() { accessory_.resetParser(); }

// Frames `bytes`, cutting the stream right after every checksum byte.
void PacketStream::feed(std::span<const uint8_t> bytes, const OnPacket& onPacket) {
  size_t at = 0;
  while (at < bytes.size()) {
    const int32_t state = parserState.state;
    size_t take = 1;
    // The payload bytes still due go in one piece: none of them ends a
    // packet.  (A zero-length packet still takes one byte here.)
    if (state == ParserState::kPayload) {
      take = std::min(static_cast<size_t>(std::max(accessory_.payloadBytesRemaining(), 1)), bytes.size() - at);
    }
    accessory_.parseByte(bytes.subspan(at, take));
    at += take;
    if (state == ParserState::kWaitingForSecondSync && parserState.state == ParserState::kLength) {
      packetBytes_ = 2;
    } else if (state == ParserState::kLength || state == ParserState::kPayload || state == ParserState::kChecksum) {
      packetBytes_ += take;
    }
    if (state == ParserState::kChecksum) {
      ++packets_;
      framedBytes_ += packetBytes_;
      Dictionary values = accessory_.takeData();
      if (!values.empty()) onPacket(std::move(values));
    }
  }
}

}  // namespace velmora::tool
