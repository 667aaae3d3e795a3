// Test support: what a headset byte stream carries, read straight from the
// bytes (not through the library), and the rows of a recorded stream log.
// The simulator and end-to-end tests hold what the library delivered
// against these.
#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/LogPlayback.h"

namespace velmora::test {

struct StreamContent {
  std::vector<int32_t> raw;
  std::vector<int32_t> quality, attention, meditation, heartRate;
  // Filled by scanStream only.
  std::vector<std::vector<uint8_t>> payloads;  // of the packets whose checksum matched
  size_t checksumErrors = 0, syncBreaks = 0, droppedBytes = 0;
  std::vector<size_t> rawBeforeQuality;           // raw samples before each quality row
  std::vector<std::pair<size_t, uint8_t>> chips;  // raw samples before, third value byte
  size_t bandRows = 0;
};

// Frames AA AA LEN PAYLOAD CHECKSUM packets as the headset's framer does (a
// broken sync pair consumes its second byte) and walks their rows.
inline StreamContent scanStream(std::span<const uint8_t> bytes) {
  StreamContent c;
  size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] != 0xAA) {
      ++c.droppedBytes, ++i;
      continue;
    }
    if (i + 3 >= bytes.size()) break;
    if (bytes[i + 1] != 0xAA) {
      ++c.syncBreaks, i += 2;
      continue;
    }
    if (i + 3 + bytes[i + 2] >= bytes.size()) break;
    const auto payload = bytes.subspan(i + 3, bytes[i + 2]);
    uint8_t sum = 0;
    for (uint8_t b : payload) sum = static_cast<uint8_t>(sum + b);
    i += 4 + payload.size();
    if (static_cast<uint8_t>(~sum) != bytes[i - 1]) {
      ++c.checksumErrors;
      continue;
    }
    c.payloads.emplace_back(payload.begin(), payload.end());
    for (size_t k = 0; k < payload.size();) {
      const uint8_t code = payload[k++];
      size_t n = 1;
      if (code >= 0x80) n = k < payload.size() ? payload[k++] : 0;
      if (k + n > payload.size()) break;
      const auto v = payload.subspan(k, n);
      switch (code) {
        case 0x02:
          c.quality.push_back(v[0]);
          c.rawBeforeQuality.push_back(c.raw.size());
          break;
        case 0x03: c.heartRate.push_back(v[0]); break;
        case 0x04: c.attention.push_back(v[0]); break;
        case 0x05: c.meditation.push_back(v[0]); break;
        case 0x80: c.raw.push_back(static_cast<int16_t>(v[0] << 8 | v[1])); break;
        case 0x83: ++c.bandRows; break;
        case 0x85: c.chips.emplace_back(c.raw.size(), v.size() > 2 ? v[2] : 0); break;
        default: break;
      }
      k += n;
    }
  }
  return c;
}

// The rows of a stream log ("ambrix.log.csv"), by tag, in file order; the
// header and anything that is not a row are skipped.  `rows` counts them.
inline StreamContent readStreamLog(const std::string& path, size_t* rows = nullptr) {
  StreamContent c;
  std::ifstream in(path);
  sim::LogPlayback::RowReader reader(in);
  size_t n = 0;
  while (const auto row = reader.next()) {
    ++n;
    switch (row->tag) {
      case StreamLogTag::RAW: c.raw.push_back(row->value); break;
      case StreamLogTag::PQ: c.quality.push_back(row->value); break;
      case StreamLogTag::ATT: c.attention.push_back(row->value); break;
      case StreamLogTag::MED: c.meditation.push_back(row->value); break;
      case StreamLogTag::HR: c.heartRate.push_back(row->value); break;
    }
  }
  if (rows != nullptr) *rows = n;
  return c;
}

}  // namespace velmora::test
