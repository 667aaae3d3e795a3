#include "sim/StreamSource.h"

#include "sim/PacketEncoder.h"

namespace velmora::sim {

void TickBuffer::appendPacket(const std::vector<uint8_t>& payload) {
  packetStarts.push_back(bytes.size());
  PacketEncoder::appendPacket(bytes, payload);
}

void TickBuffer::appendRawPacket(int16_t sample) {
  // Written out rather than through a payload vector: this runs 512 times a
  // second of headset time and should not allocate.
  auto u = static_cast<uint16_t>(sample);
  auto hi = static_cast<uint8_t>(u >> 8);
  auto lo = static_cast<uint8_t>(u & 0xFF);
  packetStarts.push_back(bytes.size());
  const uint8_t packet[8] = {0xAA, 0xAA, 0x04, 0x80, 0x02, hi, lo,
                             static_cast<uint8_t>(~static_cast<uint8_t>(0x80 + 0x02 + hi + lo))};
  bytes.insert(bytes.end(), packet, packet + 8);
  ++samples;
}

}  // namespace velmora::sim
