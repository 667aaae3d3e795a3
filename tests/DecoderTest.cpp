// The payload decoder: each row type, its key, log line and walk rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VelmoraObjC.h"
#include "sim/PacketEncoder.h"
#include "support/LogCapture.h"
#include "support/ValuePrinter.h"

namespace velmora {
namespace {

using sim::PacketEncoder;
using Bytes = std::vector<uint8_t>;

class DecoderTest : public ::testing::Test {
 protected:
  DecoderTest() {
    accessory.resetParser();
    log.clear();
  }

  void feed(const Bytes& payload) {
    const Bytes packet = PacketEncoder::packet(payload);
    accessory.parseByte(std::span<const uint8_t>(packet));
    EXPECT_EQ(parserState.state, 0);
  }

  // Frames one packet around `payload` and returns what it wrote.
  Dictionary decode(const Bytes& payload) {
    feed(payload);
    return accessory.takeData();
  }

  test::LogCapture log;
  VelmoraObjC accessory;
};

TEST_F(DecoderTest, PoorSignalRowStoresLogsAndResetsTheRawCount) {
  decode({0x80, 0x02, 0x00, 0x01, 0x80, 0x02, 0x00, 0x02});
  EXPECT_EQ(accessory.rawPackets(), 2);
  EXPECT_EQ(decode({0x02, 0x1A}), (Dictionary{{"poorSignal", 26}}));
  EXPECT_EQ(poorSignal.load(), 26);
  EXPECT_TRUE(log.contains("poor signal 26"));
  EXPECT_EQ(accessory.rawPackets(), 0);
}

TEST_F(DecoderTest, ScoreRowsStoreAndLogAndTheHeadsetHeartRateOnlyPasses) {
  EXPECT_EQ(decode({0x04, 0x28, 0x05, 0xFF, 0x03, 0x48, 0x04, 0x29}),
            (Dictionary{{"vScoreAttention", 41}, {"vScoreMeditation", 255}}));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"attention 40", "meditation 255", "attention 41"}));
}

TEST_F(DecoderTest, RawRowIsSignedBigEndianAndAlwaysTwoBytes) {
  EXPECT_EQ(decode({0x80, 0x02, 0xFF, 0x38}), (Dictionary{{"raw", Value::Array{-200}}}));
  // The length byte 4 is not consulted: the row ends after two bytes.
  EXPECT_EQ(decode({0x80, 0x04, 0x00, 0x10, 0x02, 0x32}),
            (Dictionary{{"raw", Value::Array{16}}, {"poorSignal", 50}}));
  EXPECT_EQ(decode(PacketEncoder::rawRow(-32768)), (Dictionary{{"raw", Value::Array{-32768}}}));
  EXPECT_EQ(decode(PacketEncoder::rawRow(32767)), (Dictionary{{"raw", Value::Array{32767}}}));
  EXPECT_EQ(accessory.rawPackets(), 2);  // counted since the poor-signal row
  EXPECT_EQ(log.lines(), std::vector<std::string>{"poor signal 50"});  // no line per sample
}

TEST_F(DecoderTest, RawSamplesAccumulateInOrderAndOnlyWhileEnabled) {
  feed(PacketEncoder::rawRow(1));
  feed({0x80, 0x02, 0x00, 0x02, 0x80, 0x02, 0x00, 0x03});
  accessory.setRawEnabled(false);
  feed(PacketEncoder::rawRow(4));
  EXPECT_EQ(accessory.takeData(), (Dictionary{{"raw", Value::Array{1, 2, 3}}}));
  EXPECT_EQ(accessory.rawPackets(), 4);
}

TEST_F(DecoderTest, BandPowersAreUnsigned24BitInOrder) {
  EXPECT_EQ(decode(PacketEncoder::bandPowerRow({66051, 0xFFFFFF, 0x800000, 0, 1, 256, 65536, 0x7FFFFF})),
            (Dictionary{{"eegDelta", 66051},
                        {"eegTheta", 16777215},
                        {"eegLowAlpha", 8388608},
                        {"eegHighAlpha", 0},
                        {"eegLowBeta", 1},
                        {"eegHighBeta", 256},
                        {"eegLowGamma", 65536},
                        {"eegHighGamma", 8388607}}));
}

TEST_F(DecoderTest, BandPowerRowReads24BytesAndMovesPastItsLength) {
  Bytes payload = PacketEncoder::bandPowerRow({1, 2, 3, 4, 5, 6, 7, 8});
  payload[1] = 26;  // two extra bytes after the eight groups
  payload.insert(payload.end(), {0x04, 0x63});
  payload.insert(payload.end(), {0x04, 0x28});
  const Dictionary d = decode(payload);
  EXPECT_EQ(d.at("eegHighGamma"), Value(8));
  EXPECT_EQ(d.at("vScoreAttention"), Value(40));  // 04 63 was skipped as value bytes
}

TEST_F(DecoderTest, UnrecognisedAndUndecodedCodesAreSkippedByTheirLength) {
  // 0x55 takes 0x02 as its value; 0x10 then lacks its value byte.
  EXPECT_TRUE(decode({0x55, 0x02, 0x10}).empty());
  EXPECT_EQ(decode({0x86, 0x03, 0x04, 0x05, 0x06, 0x04, 0x28}), (Dictionary{{"vScoreAttention", 40}}));
  // A zero-length row moves past nothing: the next code follows its length.
  EXPECT_EQ(decode({0x86, 0x00, 0x04, 0x28}), (Dictionary{{"vScoreAttention", 40}}));
  EXPECT_EQ(decode({0x00, 0x04, 0x7F, 0x02, 0x04, 0x29}), (Dictionary{{"vScoreAttention", 41}}));
  // 0x81 carries nothing to decode: it is skipped by its length too.
  EXPECT_EQ(decode({0x81, 0x02, 0x02, 0x05, 0x04, 0x2A}), (Dictionary{{"vScoreAttention", 42}}));
  // The configuration request has no reply channel: its value is passed.
  EXPECT_EQ(decode({0x08, 0x04, 0x04, 0x2B}), (Dictionary{{"vScoreAttention", 43}}));
  EXPECT_EQ(sentConfigByte.load(), 0);
}

TEST_F(DecoderTest, SensorChipRowSetsTheChipFlags) {
  EXPECT_EQ(isKRT480.load(), 1);
  EXPECT_EQ(sentConfigByte.load(), 0);
  decode(PacketEncoder::sensorChipRow(0xF0));
  EXPECT_EQ(isKRT480.load(), 0);
  EXPECT_EQ(sentConfigByte.load(), 0);
  decode(PacketEncoder::sensorChipRow(0xEF));
  EXPECT_EQ(isKRT480.load(), 1);
  EXPECT_EQ(sentConfigByte.load(), 1);
  decode(PacketEncoder::sensorChipRow(0xFF));
  EXPECT_EQ(isKRT480.load(), 0);
  EXPECT_EQ(sentConfigByte.load(), 1);  // left as it was
  // The row moves past its length: a longer row still ends where it says.
  decode({0x85, 0x05, 0x00, 0x00, 0x10, 0x04, 0x28, 0x04, 0x29});
  EXPECT_EQ(isKRT480.load(), 1);
  EXPECT_FALSE(log.contains("attention 40"));
  EXPECT_TRUE(log.contains("attention 41"));
}

TEST_F(DecoderTest, RowsRunningPastThePayloadAreIgnored) {
  // A raw row with one sample byte: nothing decoded, the walk ends.
  EXPECT_EQ(decode({0x04, 0x01, 0x80, 0x02, 0x00}), (Dictionary{{"vScoreAttention", 1}}));
  EXPECT_EQ(accessory.rawPackets(), 0);
  // A raw row with its length byte last.
  EXPECT_TRUE(decode({0x80, 0x02}).empty());
  // Band powers short of 24 bytes: ignored, and the walk moves on by the
  // length byte, here onto the attention row.
  EXPECT_EQ(decode({0x83, 0x02, 0x00, 0x00, 0x04, 0x28}), (Dictionary{{"vScoreAttention", 40}}));
  Bytes shortBands = PacketEncoder::bandPowerRow({1, 2, 3, 4, 5, 6, 7, 8});
  shortBands.resize(shortBands.size() - 1);
  EXPECT_TRUE(decode(shortBands).empty());
  // A sensor-chip row without its third value byte leaves the flags alone.
  decode(PacketEncoder::sensorChipRow(0xEF));
  EXPECT_EQ(decode({0x85, 0x03, 0xFF, 0xFF}), Dictionary{});
  EXPECT_EQ(isKRT480.load(), 1);
  // A one-byte row whose value is missing.
  EXPECT_TRUE(decode({0x02}).empty());
  EXPECT_FALSE(log.contains("poor signal 0"));
}

// An ECG-like signal the HRV analyser finds beats in: at each beat the
// signal drops by 4000 in one sample and climbs back over 200 samples.
std::vector<int16_t> ecg(int period, int beats, int first = 100) {
  std::vector<int16_t> x(static_cast<size_t>(first + beats * period), 0);
  for (int b = 0; b < beats; ++b) {
    for (int k = 0; k < 200; ++k) x[static_cast<size_t>(first + b * period + k)] = static_cast<int16_t>(-4000 + k * 20);
  }
  return x;
}

// The keys other than "raw" that raw rows of `samples` write.
Dictionary decodeSamples(VelmoraObjC& accessory, const std::vector<int16_t>& samples) {
  Dictionary written;
  for (int16_t s : samples) {
    const Bytes packet = PacketEncoder::rawPacket(s);
    accessory.parseByte(std::span<const uint8_t>(packet));
    for (auto& [key, value] : accessory.takeData()) {
      if (key != "raw") written[key] = value;
    }
  }
  return written;
}

TEST_F(DecoderTest, HrvAnalyserIsFedOnlyAtASignalQualityOfExactly200) {
  // 439 samples at 512 per second are 857 ms.
  const std::vector<int16_t> signal = ecg(439, 6);
  for (uint8_t quality : {0, 199, 200, 201}) {
    SCOPED_TRACE(static_cast<int>(quality));
    VelmoraObjC fresh;  // with analysers of its own
    const Bytes pq = PacketEncoder::packet(PacketEncoder::poorSignalRow(quality));
    fresh.parseByte(std::span<const uint8_t>(pq));
    fresh.takeData();
    const Dictionary written = decodeSamples(fresh, signal);
    if (quality == 200) {
      EXPECT_EQ(written.at("rrInt"), Value(857));
      EXPECT_EQ(written.at("heartRate"), Value(70));
    } else {
      EXPECT_EQ(written.count("rrInt"), 0u);
      EXPECT_EQ(written.count("heartRate"), 0u);
    }
  }
}

TEST_F(DecoderTest, PoorSignalOfZeroResetsTheHrvAnalyser) {
  // Four beats are needed before the first interval is reported.  A reset
  // after the third starts the count over.
  const std::vector<int16_t> signal = ecg(512, 4);
  const auto cut = signal.begin() + 100 + 3 * 512 - 50;
  for (uint8_t between : {0, 200}) {
    SCOPED_TRACE(static_cast<int>(between));
    VelmoraObjC fresh;
    const Bytes start = PacketEncoder::packet(PacketEncoder::poorSignalRow(200));
    fresh.parseByte(std::span<const uint8_t>(start));
    decodeSamples(fresh, std::vector<int16_t>(signal.begin(), cut));
    Bytes again = PacketEncoder::poorSignalRow(between);
    again.insert(again.end(), {0x02, 200});
    const Bytes packet = PacketEncoder::packet(again);
    fresh.parseByte(std::span<const uint8_t>(packet));
    const Dictionary written = decodeSamples(fresh, std::vector<int16_t>(cut, signal.end()));
    EXPECT_EQ(written.count("rrInt"), between == 0 ? 0u : 1u);
  }
}

TEST_F(DecoderTest, BlinkDetectorSeesEverySampleWithTheSignalQuality) {
  std::vector<int16_t> signal(512, 0);  // the detector's warm-up
  signal.insert(signal.end(), 20, 400);
  signal.insert(signal.end(), 20, -400);
  signal.insert(signal.end(), 100, 0);
  for (uint8_t quality : {50, 51}) {
    SCOPED_TRACE(static_cast<int>(quality));
    VelmoraObjC fresh;
    const Bytes pq = PacketEncoder::packet(PacketEncoder::poorSignalRow(quality));
    fresh.parseByte(std::span<const uint8_t>(pq));
    fresh.takeData();
    fresh.setRawEnabled(false);  // blinks are found whatever rawEnabled says
    log.clear();
    const Dictionary written = decodeSamples(fresh, signal);
    if (quality == 50) {
      EXPECT_EQ(written, (Dictionary{{"blinkStrength", 50}}));
      EXPECT_EQ(log.lines(), std::vector<std::string>{"blink value:50"});
    } else {  // above 50 the detector keeps resetting
      EXPECT_TRUE(written.empty());
      EXPECT_TRUE(log.lines().empty());
    }
  }
}

TEST(HeartRate, RrIntervalConvertsToRoundedBeatsPerMinute) {
  EXPECT_EQ(VelmoraObjC::heartRateForRrInterval(1000), 60);
  EXPECT_EQ(VelmoraObjC::heartRateForRrInterval(1091), 55);  // 54.995
  EXPECT_EQ(VelmoraObjC::heartRateForRrInterval(1600), 38);  // 37.5: half away from zero
  EXPECT_EQ(VelmoraObjC::heartRateForRrInterval(0), 0);
}

}  // namespace
}  // namespace velmora
