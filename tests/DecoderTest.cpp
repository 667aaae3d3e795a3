// The payload decoder: what each row stores and logs, how the walk moves
// past rows, and how samples reach the analysers.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/AccessoryEvents.h"
#include "support/LogCapture.h"
#include "support/ValuePrinter.h"

namespace velmora {
namespace {

using sim::PacketEncoder;
using Bytes = std::vector<uint8_t>;
using test::concat;

// Frames one packet around `payload` and returns what it wrote.
Dictionary decode(VelmoraObjC& accessory, const Bytes& payload) {
  test::feed(accessory, payload);
  EXPECT_EQ(parserState.state, 0);
  return accessory.takeData();
}

TEST(Decoder, EachRowStoresLogsAndMovesOnByItsRule) {
  const Bytes bands = PacketEncoder::bandPowerRow({66051, 0xFFFFFF, 0x800000, 0, 1, 256, 65536, 0x7FFFFF});
  const Dictionary bandKeys = {{"eegDelta", 66051},    {"eegTheta", 16777215},   {"eegLowAlpha", 8388608},
                               {"eegHighAlpha", 0},    {"eegLowBeta", 1},        {"eegHighBeta", 256},
                               {"eegLowGamma", 65536}, {"eegHighGamma", 8388607}};
  Bytes longBands = concat({bands, {0x04, 0x63, 0x04, 0x28}});
  longBands[1] = 26;
  Dictionary bandsThenAttention = bandKeys;
  bandsThenAttention["vScoreAttention"] = 40;
  const Dictionary att40 = {{"vScoreAttention", 40}};
  const std::vector<std::string> logs40 = {"attention 40"};
  const struct {
    Bytes payload;
    Dictionary data;
    std::vector<std::string> log;
    int32_t rawPackets = 0;             // raw rows since the last poor-signal row
    std::pair<int, int> chip = {1, 0};  // isKRT480 and sentConfigByte afterwards
  } rows[] = {
      {{0x02, 0x1A}, {{"poorSignal", 26}}, {"poor signal 26"}},
      // The headset's heart rate sets no key.
      {{0x04, 0x28, 0x05, 0xFF, 0x03, 0x48, 0x04, 0x29},
       {{"vScoreAttention", 41}, {"vScoreMeditation", 255}},
       {"attention 40", "meditation 255", "attention 41"}},
      {{0x80, 0x02, 0xFF, 0x38}, {{"raw", Value::Array{-200}}}, {}, 1},
      {concat({PacketEncoder::rawRow(-32768), PacketEncoder::rawRow(32767)}),
       {{"raw", Value::Array{-32768, 32767}}},
       {},
       2},
      // A raw row is two bytes whatever its length byte says.
      {{0x80, 0x04, 0x00, 0x10, 0x02, 0x32}, {{"raw", Value::Array{16}}, {"poorSignal", 50}}, {"poor signal 50"}},
      {bands, bandKeys, {}},
      // Band powers: 24 bytes read, then `length` moved past (04 63 skipped).
      {longBands, bandsThenAttention, logs40},
      // 0x55 takes 0x02 as its value; 0x10 then lacks its value byte.
      {{0x55, 0x02, 0x10}, {}, {}},
      {{0x86, 0x03, 0x04, 0x05, 0x06, 0x04, 0x28}, att40, logs40},
      {{0x86, 0x00, 0x04, 0x28}, att40, logs40},
      {{0x00, 0x04, 0x7F, 0x02, 0x04, 0x28}, att40, logs40},
      // 0x81 carries nothing to decode and is skipped by its length.
      {{0x81, 0x02, 0x02, 0x05, 0x04, 0x28}, att40, logs40},
      // The configuration request has no reply channel: its value is passed.
      {{0x08, 0x04, 0x04, 0x28}, att40, logs40},
      // The sensor chip: below 0xF0 the KRT480 kind, which needs no reply;
      // from 0xF0 another, and the reply flag stays as it was.
      {PacketEncoder::sensorChipRow(0xF0), {}, {}, 0, {0, 0}},
      {PacketEncoder::sensorChipRow(0xEF), {}, {}, 0, {1, 1}},
      {concat({PacketEncoder::sensorChipRow(0xEF), PacketEncoder::sensorChipRow(0xFF)}), {}, {}, 0, {0, 1}},
      {{0x85, 0x05, 0x00, 0x00, 0x10, 0x04, 0x29, 0x04, 0x28}, att40, logs40, 0, {1, 1}},
      // Rows running past the payload's end are not decoded.
      {{0x04, 0x28, 0x80, 0x02, 0x00}, att40, logs40},
      {{0x80, 0x02}, {}, {}},
      {{0x83, 0x02, 0x00, 0x00, 0x04, 0x28}, att40, logs40},
      {Bytes(bands.begin(), bands.end() - 1), {}, {}},
      {{0x85, 0x03, 0xF0, 0xF0}, {}, {}},
      {{0x02}, {}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.payload));
    test::LogCapture log;
    VelmoraObjC accessory;
    log.clear();  // the construction's own line
    EXPECT_EQ(decode(accessory, row.payload), row.data);
    EXPECT_EQ(log.lines(), row.log);
    EXPECT_EQ(accessory.rawPackets(), row.rawPackets);
    EXPECT_EQ(std::make_pair(int{isKRT480.load()}, int{sentConfigByte.load()}), row.chip);
  }
}

// Raw packets of `samples` after a poor-signal row of `quality`, with raw
// collection off; returns what they wrote.
Dictionary decodeSamples(VelmoraObjC& accessory, uint8_t quality, const std::vector<int16_t>& samples) {
  accessory.setRawEnabled(false);
  decode(accessory, PacketEncoder::poorSignalRow(quality));
  Dictionary written;
  for (int16_t s : samples) written.merge(decode(accessory, PacketEncoder::rawRow(s)));
  return written;
}

// The HRV analyser is fed only at a signal quality of 200 and reset at 0; the
// blink detector sees every sample up to 50 (above it, it keeps resetting).
TEST(Decoder, TheAnalysersAreFedByTheSignalQualityAndTheHeartRateIsRounded) {
  // Six beats 439 samples (857 ms) apart; the fourth is the first reported.
  std::vector<int16_t> ecg(100 + 6 * 439, 0), blink(512, 0);  // the blink detector's warm-up
  for (size_t b = 0; b < 6; ++b) {
    for (int k = 0; k < 200; ++k) ecg[100 + b * 439 + static_cast<size_t>(k)] = static_cast<int16_t>(-4000 + k * 20);
  }
  for (auto [value, count] : {std::pair{400, 20}, {-400, 20}, {0, 100}}) blink.insert(blink.end(), count, value);
  const Dictionary beat{{"rrInt", 857}, {"heartRate", 70}}, blinked{{"blinkStrength", 50}};
  for (const auto& [signal, quality, written] : std::vector<std::tuple<std::vector<int16_t>, uint8_t, Dictionary>>{
           {ecg, 0, {}}, {ecg, 199, {}}, {ecg, 200, beat}, {ecg, 201, {}}, {blink, 50, blinked}, {blink, 51, {}}}) {
    test::LogCapture log;
    VelmoraObjC accessory;  // with analysers of its own
    EXPECT_EQ(decodeSamples(accessory, quality, signal), written) << int{quality};
    EXPECT_EQ(log.count("blink value:50"), written == blinked ? 1u : 0u);
  }
  // A quality of 0 after the third beat starts the count over.
  test::LogCapture quiet;
  const auto cut = ecg.begin() + 100 + 3 * 439 - 50;
  for (uint8_t between : {0, 200}) {
    VelmoraObjC accessory;
    decodeSamples(accessory, 200, {ecg.begin(), cut});
    decodeSamples(accessory, between, {});
    EXPECT_EQ(decodeSamples(accessory, 200, {cut, cut + 100}).count("rrInt"), between == 0 ? 0u : 1u) << int{between};
  }
  // The heart rate is the rounded beats per minute: 1091 ms, 54.995; 1600 ms, 37.5, half away from zero.
  for (auto [ms, bpm] : {std::pair{1000, 60}, {857, 70}, {1091, 55}, {1600, 38}, {0, 0}})
    EXPECT_EQ(VelmoraObjC::heartRateForRrInterval(ms), bpm) << ms;
}

}  // namespace
}  // namespace velmora
