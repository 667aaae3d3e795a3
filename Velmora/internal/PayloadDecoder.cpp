#include "internal/PayloadDecoder.h"

#include <algorithm>
#include <mutex>

#include "Globals.h"
#include "VLBlink.h"
#include "VLHrv.h"
#include "VelmoraKeys.h"
#include "VelmoraObjC.h"
#include "internal/StreamLogWriter.h"
#include "platform/Log.h"

namespace velmora::internal {
namespace {

// Room for two seconds of raw samples at 512 per second, so the per-sample
// append does not reallocate between passes of the dispatch thread.
constexpr size_t kRawReserve = 1024;

// The dictionary's keys as strings, built once so that storing a value
// constructs no string.
struct Keys {
  const std::string poorSignal{keys::kPoorSignal};
  const std::string attention{keys::kAttention};
  const std::string meditation{keys::kMeditation};
  const std::string blinkStrength{keys::kBlinkStrength};
  const std::string rrInt{keys::kRrInterval};
  const std::string heartRate{keys::kHeartRate};
  const std::string raw{keys::kRaw};
  const std::string bands[8]{std::string(keys::kEegBands[0]), std::string(keys::kEegBands[1]),
                             std::string(keys::kEegBands[2]), std::string(keys::kEegBands[3]),
                             std::string(keys::kEegBands[4]), std::string(keys::kEegBands[5]),
                             std::string(keys::kEegBands[6]), std::string(keys::kEegBands[7])};
};

const Keys& dictKeys() {
  static const Keys k;
  return k;
}

}  // namespace

PayloadDecoder::PayloadDecoder(const VelmoraObjC& owner, StreamLogWriter& log, std::shared_ptr<VLHrv> hrv,
                               std::shared_ptr<VLBlink> blink)
    : owner_(owner), log_(log), hrv_(std::move(hrv)), blink_(std::move(blink)) {
  rawBuffer_.reserve(kRawReserve);
}

void PayloadDecoder::moveRawIntoData() {
  if (rawBuffer_.empty()) return;
  // A copy of exactly the samples, so rawBuffer_ keeps its capacity.
  data_.insert_or_assign(dictKeys().raw, Value(Value::Array(rawBuffer_.begin(), rawBuffer_.end())));
  rawBuffer_.clear();
}

void PayloadDecoder::decode(std::span<const uint8_t> payloadBytes) {
  const auto n = static_cast<int32_t>(payloadBytes.size());
  const uint8_t* payload = payloadBytes.data();
  enum class Step { Code, Length, Value } step = Step::Code;
  uint8_t code = 0;
  int32_t valueLength = 0;
  int32_t i = 0;
  while (i < n) {
    switch (step) {
      case Step::Code:
        code = payload[i++];
        if (code < 0x80) {
          valueLength = 1;
          step = Step::Value;
        } else {
          step = Step::Length;
        }
        break;
      case Step::Length:
        valueLength = payload[i++];
        step = Step::Value;
        break;
      case Step::Value:
        i = decodeRow(code, valueLength, payload, i, n);
        step = Step::Code;
        break;
    }
  }
}

// Decodes the row whose first value byte is payload[i] and returns where the
// next row starts.  A row whose value bytes would run past the payload's end
// (n) is not decoded; the walk still moves on by the row's rule.
int32_t PayloadDecoder::decodeRow(uint8_t code, int32_t valueLength, const uint8_t* payload, int32_t i, int32_t n) {
  switch (code) {
    case 0x02:
      decodePoorSignal(payload[i]);
      return i + 1;
    case 0x03:
      decodeHeartRate(payload[i]);
      return i + 1;
    case 0x04:
      decodeScore(true, payload[i]);
      return i + 1;
    case 0x05:
      decodeScore(false, payload[i]);
      return i + 1;
    case 0x08:
      decodeConfigByte(payload[i]);
      return i + 1;
    case 0x80:  // the length byte is not consulted: a sample is two bytes
      if (i + 2 <= n) decodeRaw(static_cast<int16_t>(static_cast<uint16_t>(payload[i] << 8 | payload[i + 1])));
      return i + 2;
    case 0x83:  // 24 bytes are read whatever the length byte says
      if (i + 24 <= n) decodeBandPowers(payload + i);
      return i + valueLength;
    case 0x85:
      if (i + 3 <= n) decodeSensorChip(payload[i + 2]);
      return i + valueLength;
    default:  // unrecognised, and 0x81, which carries nothing to decode
      return i + valueLength;
  }
}

void PayloadDecoder::decodePoorSignal(uint8_t v) {
  {
    std::lock_guard<SwappableMutex> g(lock);
    data_.insert_or_assign(dictKeys().poorSignal, Value(int32_t{v}));
    if (log_.recording(kRecordAnalysedRows)) log_.writeRow(StreamLogTag::PQ, v);
  }
  if (auto listener = owner_.streamListener()) listener->valueDecoded(dictKeys().poorSignal, v);
  poorSignal.store(v);
  logMessage("poor signal %d", v);
  if (v == 0) hrv_->reset();
  rawPackets_ = 0;
}

void PayloadDecoder::decodeHeartRate(uint8_t v) {
  std::lock_guard<SwappableMutex> g(lock);
  if (log_.recording(kRecordAnalysedRows)) log_.writeRow(StreamLogTag::HR, v);
}

void PayloadDecoder::decodeScore(bool attention, uint8_t v) {
  const std::string& key = attention ? dictKeys().attention : dictKeys().meditation;
  std::unique_lock<SwappableMutex> g(lock);
  data_.insert_or_assign(key, Value(int32_t{v}));
  logMessage(attention ? "attention %d" : "meditation %d", v);
  if (log_.recording(kRecordAnalysedRows)) log_.writeRow(attention ? StreamLogTag::ATT : StreamLogTag::MED, v);
  g.unlock();
  if (auto listener = owner_.streamListener()) listener->valueDecoded(key, v);
}

// The headset's configuration request.  The reply goes out only once, only to
// a headset without the KRT480 chip, and only through an attached output
// channel while sending is permitted; nothing attaches one yet, so today the
// value byte is merely moved past.
void PayloadDecoder::decodeConfigByte(uint8_t v) {
  if (sentConfigByte.load() != 0 || !owner_.readyToSend() || isKRT480.load() != 0 || !outputStream_) return;
  const uint8_t reply[8] = {0xAA, 0xAA, 0x04, 0x03, 0x40, 0xF9, 0x00, v};
  outputStream_(std::span<const uint8_t>(reply));
  sentConfigByte.store(1);
}

void PayloadDecoder::decodeRaw(int16_t sample) {
  const int32_t s = sample;
  // The detector is this thread's alone and runs without `lock`.
  const int32_t strength = blink_->detectBlinkWithPoorSignal(poorSignal.load(std::memory_order_relaxed), s);
  int32_t rrReported = 0;
  std::unique_lock<SwappableMutex> g(lock);
  if (strength > 0) {
    data_.insert_or_assign(dictKeys().blinkStrength, Value(strength));
    logMessage("blink value:%d", strength);
  }
  rawPackets_ = static_cast<int32_t>(static_cast<uint32_t>(rawPackets_) + 1u);  // wraps, never overflows
  if (owner_.rawEnabled()) rawBuffer_.push_back(s);
  if (poorSignal.load(std::memory_order_relaxed) == 200) {
    const int32_t rr = hrv_->addData(s);
    if (rr > 0) {
      rrReported = rr;
      data_.insert_or_assign(dictKeys().rrInt, Value(rr));
      data_.insert_or_assign(dictKeys().heartRate, Value(VelmoraObjC::heartRateForRrInterval(rr)));
    }
  }
  if (log_.recording(kRecordRawRows)) log_.writeRow(StreamLogTag::RAW, s);
  g.unlock();
  if (auto listener = owner_.streamListener()) listener->rawSampleDecoded(s, std::max(strength, 0), rrReported);
}

void PayloadDecoder::decodeBandPowers(const uint8_t* groups) {
  const auto listener = owner_.streamListener();
  for (int k = 0; k < 8; ++k) {
    const uint8_t* g3 = groups + 3 * k;
    const auto power = static_cast<int32_t>(uint32_t{g3[0]} << 16 | uint32_t{g3[1]} << 8 | uint32_t{g3[2]});
    {
      std::lock_guard<SwappableMutex> g(lock);
      data_.insert_or_assign(dictKeys().bands[k], Value(power));
    }
    if (listener) listener->valueDecoded(dictKeys().bands[k], power);
  }
}

void PayloadDecoder::decodeSensorChip(uint8_t chip) {
  if (chip < 0xF0) {
    isKRT480.store(1);
    sentConfigByte.store(1);
  } else {
    isKRT480.store(0);
  }
}

}  // namespace velmora::internal
