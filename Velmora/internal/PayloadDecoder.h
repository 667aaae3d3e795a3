// PayloadDecoder: turns one verified payload into named values.
//
// A payload is a run of rows: a code byte; for codes 0x80 and above a length
// byte; then the value bytes (one for codes below 0x80).  Codes the decoder
// does not know, and 0x81, which carries nothing it uses, are skipped by
// their length.  A row whose value bytes would run past the payload's end is
// not decoded (no value, no analyser call); the walk moves on by the row's
// usual rule, which normally ends it.
//
// Each row's values go into the data dictionary and, while recording, into
// the stream log, under `lock`, one row at a time; each raw sample goes to
// the blink detector and, while the signal quality is exactly 200, to the
// HRV analyser; the stream listener hears of each value after `lock` is let
// go.  The decoder owns the data dictionary and the raw samples collected
// for its "raw" entry.
//
// Threads: decode() on the framing thread.  data(), rawBuffer() and
// moveRawIntoData() with `lock` held, from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Value.h"

namespace velmora {
class VelmoraObjC;
class VLBlink;
class VLHrv;
}  // namespace velmora

namespace velmora::internal {

class StreamLogWriter;

class PayloadDecoder {
 public:
  // `owner` is asked for rawEnabled(), readyToSend() and streamListener().
  PayloadDecoder(const VelmoraObjC& owner, StreamLogWriter& log, std::shared_ptr<VLHrv> hrv,
                 std::shared_ptr<VLBlink> blink);

  void decode(std::span<const uint8_t> payload);

  // `lock` held.
  Dictionary& data() { return data_; }
  // Moves the collected raw samples into the dictionary's "raw" entry.
  void moveRawIntoData();

  // Raw samples decoded since the last poor-signal row; framing thread.
  int32_t rawPackets() const { return rawPackets_; }

  // Where a configuration reply would go; nothing attaches one yet.
  // Framing thread.
  bool hasOutput() const { return static_cast<bool>(outputStream_); }
  void send(std::span<const uint8_t> bytes) const { outputStream_(bytes); }

 private:
  int32_t decodeRow(uint8_t code, int32_t valueLength, const uint8_t* payload, int32_t i, int32_t n);
  void decodePoorSignal(uint8_t v);
  void decodeHeartRate(uint8_t v);
  void decodeScore(bool attention, uint8_t v);
  void decodeConfigByte(uint8_t v);
  void decodeRaw(int16_t sample);
  void decodeBandPowers(const uint8_t* groups);
  void decodeSensorChip(uint8_t chip);

  const VelmoraObjC& owner_;
  StreamLogWriter& log_;
  const std::shared_ptr<VLHrv> hrv_;
  const std::shared_ptr<VLBlink> blink_;
  Dictionary data_;                 // guarded by `lock`
  std::vector<int32_t> rawBuffer_;  // guarded by `lock`
  int32_t rawPackets_ = 0;
  std::function<void(std::span<const uint8_t>)> outputStream_;
};

}  // namespace velmora::internal
