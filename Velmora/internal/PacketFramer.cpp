#include "internal/PacketFramer.h"

#include <algorithm>
#include <cstring>

#include "internal/PayloadDecoder.h"
#include "platform/Log.h"

namespace velmora::internal {

PacketFramer::PacketFramer(PayloadDecoder& decoder)
    : decoder_(decoder), payloadBuffer_(std::make_unique<uint8_t[]>(kPayloadCapacity)) {}

void PacketFramer::reset() { parserState = ParserState{}; }

VelmoraFramerCounts PacketFramer::counts() const {
  VelmoraFramerCounts counts;
  counts.packetsVerified = packetsVerified_.load(std::memory_order_relaxed);
  counts.checksumFailures = checksumFailures_.load(std::memory_order_relaxed);
  counts.syncResets = syncResets_.load(std::memory_order_relaxed);
  counts.bytesSkipped = bytesSkipped_.load(std::memory_order_relaxed);
  return counts;
}

void PacketFramer::parse(std::span<const uint8_t> chunk) {
  const uint8_t* const bytes = chunk.data();
  const size_t size = chunk.size();
  for (size_t k = 0; k < size; ++k) {
    const uint8_t b = bytes[k];
    switch (parserState.state) {
      case ParserState::kWaitingForSync:
        if (b == 0xAA) {
          parserState.state = ParserState::kWaitingForSecondSync;
        } else {
          bytesSkipped_.fetch_add(1, std::memory_order_relaxed);
        }
        break;
      case ParserState::kWaitingForSecondSync:
        if (b == 0xAA) {
          parserState.state = ParserState::kLength;
        } else {
          // Both bytes of the broken pair lie outside any packet.
          syncResets_.fetch_add(1, std::memory_order_relaxed);
          bytesSkipped_.fetch_add(2, std::memory_order_relaxed);
          logMessage("VLAccessory: Reset at second sync.");
          reset();
        }
        break;
      case ParserState::kLength:
        parserState.payloadLength = b;
        parserState.checksum = 0;
        payloadBytesRemaining_ = b;
        // Zeroed like a fresh array, so bytes a packet never got (one begun
        // by another object) read as 0.
        std::memset(payloadBuffer_.get(), 0, b);
        payloadSize_ = b;
        parserState.state = ParserState::kPayload;
        break;
      case ParserState::kPayload: {
        // All the payload bytes this chunk holds, with the running values in
        // locals (stores through a byte pointer would force them to memory).
        uint8_t checksum = parserState.checksum;
        int32_t remaining = payloadBytesRemaining_;
        const int32_t length = parserState.payloadLength;
        uint8_t* const payload = payloadBuffer_.get();
        const int32_t capacity = payloadSize_;
        for (uint8_t p = b;; p = bytes[++k]) {
          checksum = static_cast<uint8_t>(checksum + p);
          // The index is in range unless the length byte was 0 (the one byte
          // taken then is not stored) or another accessory object framed
          // the start of this packet (64 bits: parserState is public, and no
          // value in it may make this overflow).
          const int64_t index = int64_t{length} - remaining;
          if (index >= 0 && index < capacity) payload[index] = p;
          if (remaining <= 1) {
            // 1 -> 0 after a packet, 0 -> -1 after a zero-length one; never
            // lower, however often another object's packet ends here.
            remaining = std::max(remaining, 0) - 1;
            parserState.state = ParserState::kChecksum;
            break;
          }
          --remaining;
          if (k + 1 == size) break;
        }
        parserState.checksum = checksum;
        payloadBytesRemaining_ = remaining;
        break;
      }
      case ParserState::kChecksum:
        checksumByte(b);
        break;
      default:  // a host wrote nonsense into parserState: start over
        reset();
        if (b == 0xAA) {
          parserState.state = ParserState::kWaitingForSecondSync;
        } else {
          bytesSkipped_.fetch_add(1, std::memory_order_relaxed);
        }
        break;
    }
  }
}

void PacketFramer::checksumByte(uint8_t b) {
  const auto expected = static_cast<uint8_t>(~parserState.checksum);
  if (b == expected) {
    // Counted first: the stream listener, called while decoding, may read
    // the counts.
    packetsVerified_.fetch_add(1, std::memory_order_relaxed);
    // Never beyond this framer's own array, whatever parserState says.
    const int32_t n = std::clamp(parserState.payloadLength, 0, payloadSize_);
    decoder_.decode(std::span<const uint8_t>(payloadBuffer_.get(), static_cast<size_t>(n)));
  } else {
    checksumFailures_.fetch_add(1, std::memory_order_relaxed);
    logMessage("VLAccessory: Checksum error: expected %02x, got %02x", expected, b);
  }
  reset();
}

}  // namespace velmora::internal
