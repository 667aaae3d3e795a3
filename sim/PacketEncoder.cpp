#include "sim/PacketEncoder.h"

#include <stdexcept>

namespace velmora::sim {

void PacketEncoder::appendPacket(Bytes& out, const Bytes& payload) {
  if (payload.size() > 255) throw std::invalid_argument("payload longer than 255 bytes");
  out.push_back(0xAA);
  out.push_back(0xAA);
  out.push_back(static_cast<uint8_t>(payload.size()));
  uint8_t sum = 0;
  for (uint8_t b : payload) {
    out.push_back(b);
    sum = static_cast<uint8_t>(sum + b);
  }
  out.push_back(static_cast<uint8_t>(~sum));
}

PacketEncoder::Bytes PacketEncoder::packet(const Bytes& payload) {
  Bytes out;
  out.reserve(payload.size() + 4);
  appendPacket(out, payload);
  return out;
}

PacketEncoder::Bytes PacketEncoder::rawRow(int16_t sample) {
  auto u = static_cast<uint16_t>(sample);
  return {0x80, 0x02, static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u & 0xFF)};
}

PacketEncoder::Bytes PacketEncoder::bandPowerRow(const std::array<uint32_t, 8>& powers) {
  Bytes row{0x83, 24};
  for (uint32_t p : powers) {
    if (p > 0xFFFFFF) p = 0xFFFFFF;
    row.push_back(static_cast<uint8_t>(p >> 16));
    row.push_back(static_cast<uint8_t>(p >> 8));
    row.push_back(static_cast<uint8_t>(p));
  }
  return row;
}

PacketEncoder::Bytes PacketEncoder::sensorChipRow(uint8_t chip) { return {0x85, 0x03, 0x00, 0x00, chip}; }

}  // namespace velmora::sim
