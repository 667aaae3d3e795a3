// Builds headset packets: AA AA, length, payload, checksum (the inverse of
// the payload's byte sum).  Used by the simulator, the tests and the
// benchmarks to speak the headset's protocol.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace velmora::sim {

class PacketEncoder {
 public:
  using Bytes = std::vector<uint8_t>;

  // One packet around `payload` (at most 255 bytes).
  static Bytes packet(const Bytes& payload);
  // Appends one packet to `out`.
  static void appendPacket(Bytes& out, const Bytes& payload);

  // Data rows, to be concatenated into a payload.
  static Bytes poorSignalRow(uint8_t value) { return {0x02, value}; }
  static Bytes heartRateRow(uint8_t value) { return {0x03, value}; }
  static Bytes attentionRow(uint8_t value) { return {0x04, value}; }
  static Bytes meditationRow(uint8_t value) { return {0x05, value}; }
  static Bytes rawRow(int16_t sample);
  // Eight band powers, each 0..16777215, in the order delta, theta, low
  // alpha, high alpha, low beta, high beta, low gamma, high gamma.
  static Bytes bandPowerRow(const std::array<uint32_t, 8>& powers);
  // The sensor-chip identification row; `chip` is its third value byte.
  static Bytes sensorChipRow(uint8_t chip);

  // A whole packet carrying one raw sample (8 bytes).
  static Bytes rawPacket(int16_t sample) { return packet(rawRow(sample)); }
};

}  // namespace velmora::sim
