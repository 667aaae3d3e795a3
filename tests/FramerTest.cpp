// The packet framer: sync, length, payload, checksum, across any chunking.
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

class FramerTest : public ::testing::Test {
 protected:
  FramerTest() { accessory.resetParser(); }

  void feed(const Bytes& bytes) { accessory.parseByte(std::span<const uint8_t>(bytes)); }

  std::vector<std::string> lines() const { return log.lines(); }

  test::LogCapture log;
  VelmoraObjC accessory;
};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(FramerTest, VerifiedPacketIsDecodedOnceAndFramerReturnsToStateZero) {
  log.clear();
  feed({0xAA, 0xAA, 0x02, 0x02, 0x00, 0xFD});
  EXPECT_EQ(lines(), std::vector<std::string>{"poor signal 0"});
  EXPECT_EQ(parserState.state, 0);
  EXPECT_EQ(accessory.takeData(), (Dictionary{{"poorSignal", 0}}));
}

TEST_F(FramerTest, PacketSplitAtAnyTwoPointsGivesTheSameDecoding) {
  const Bytes stream = PacketEncoder::packet(concat(
      {PacketEncoder::poorSignalRow(26), PacketEncoder::rawRow(-300), PacketEncoder::attentionRow(0xAA),
       PacketEncoder::bandPowerRow({1, 2, 3, 4, 5, 6, 7, 0xFFFFFF}), PacketEncoder::meditationRow(9)}));
  accessory.takeData();
  const Dictionary whole = [&] {
    feed(stream);
    return accessory.takeData();
  }();
  ASSERT_EQ(whole.size(), 12u);
  for (size_t a = 0; a <= stream.size(); ++a) {
    for (size_t b = a; b <= stream.size(); ++b) {
      log.clear();
      feed(Bytes(stream.begin(), stream.begin() + static_cast<long>(a)));
      feed(Bytes(stream.begin() + static_cast<long>(a), stream.begin() + static_cast<long>(b)));
      feed(Bytes(stream.begin() + static_cast<long>(b), stream.end()));
      ASSERT_EQ(accessory.takeData(), whole) << "cut at " << a << " and " << b;
      ASSERT_EQ(log.count("poor signal 26"), 1u);
      ASSERT_EQ(parserState.state, 0);
    }
  }
}

TEST_F(FramerTest, ChecksumMismatchIsLoggedAndThePayloadDropped) {
  log.clear();
  feed({0xAA, 0xAA, 0x02, 0x02, 0x00, 0xFC});
  EXPECT_EQ(lines(), std::vector<std::string>{"VLAccessory: Checksum error: expected fd, got fc"});
  EXPECT_TRUE(accessory.takeData().empty());
  EXPECT_EQ(parserState.state, 0);
  // The next packet is framed normally.
  feed({0xAA, 0xAA, 0x02, 0x02, 0x00, 0xFD});
  EXPECT_EQ(accessory.takeData(), (Dictionary{{"poorSignal", 0}}));
}

TEST_F(FramerTest, BrokenSyncIsLoggedAndBytesOutsidePacketsDropped) {
  log.clear();
  feed({0xAA, 0x55});
  EXPECT_EQ(lines(), std::vector<std::string>{"VLAccessory: Reset at second sync."});
  EXPECT_EQ(parserState.state, 0);
  // AA 01: the 01 is consumed, so the AA AA after it still starts a packet.
  feed({0xAA, 0x01, 0xAA, 0xAA, 0x02, 0x02, 0x00, 0xFD});
  EXPECT_EQ(log.count("VLAccessory: Reset at second sync."), 2u);
  EXPECT_EQ(accessory.takeData(), (Dictionary{{"poorSignal", 0}}));
  // Bytes before a sync pair go without a word.
  log.clear();
  feed({0x00, 0x17, 0xAA, 0xAA, 0x02, 0x02, 0x00, 0xFD});
  EXPECT_EQ(lines(), std::vector<std::string>{"poor signal 0"});
}

TEST_F(FramerTest, ThirdSyncByteIsALengthOf170) {
  Bytes payload;
  for (uint8_t k = 1; k <= 85; ++k) {
    payload.push_back(0x04);
    payload.push_back(k);
  }
  ASSERT_EQ(payload.size(), 0xAAu);
  log.clear();
  feed(PacketEncoder::packet(payload));
  EXPECT_EQ(log.count("attention 1"), 1u);
  EXPECT_EQ(log.count("attention 85"), 1u);
  EXPECT_EQ(accessory.takeData(), (Dictionary{{"vScoreAttention", 85}}));
}

TEST_F(FramerTest, SyncBytesInsideThePayloadAreOrdinaryBytes) {
  feed(PacketEncoder::packet(concat({PacketEncoder::attentionRow(0xAA), {0x80, 0x02, 0xAA, 0xAA},
                                     PacketEncoder::meditationRow(0xAA)})));
  EXPECT_EQ(accessory.takeData(),
            (Dictionary{{"vScoreAttention", 170}, {"vScoreMeditation", 170}, {"raw", Value::Array{-21846}}}));
}

TEST_F(FramerTest, ZeroLengthPacketTakesOneUnstoredByteThenItsChecksum) {
  log.clear();
  // The byte after the length counts in the checksum: 0x37 -> 0xC8.
  feed({0xAA, 0xAA, 0x00, 0x37, 0xC8});
  EXPECT_EQ(parserState.state, 0);
  EXPECT_TRUE(lines().empty());
  // Had the packet gone straight to its checksum, 0x37 would have failed.
  feed({0xAA, 0xAA, 0x00, 0x37});
  EXPECT_EQ(parserState.state, 4);
  feed({0x00});
  EXPECT_EQ(lines(), std::vector<std::string>{"VLAccessory: Checksum error: expected c8, got 00"});
  feed({0xAA, 0xAA, 0x02, 0x04, 0x05, 0xF6});
  EXPECT_EQ(accessory.takeData(), (Dictionary{{"vScoreAttention", 5}}));
}

TEST_F(FramerTest, BackToBackPacketsAreDecodedInOrder) {
  Bytes stream = PacketEncoder::packet(PacketEncoder::attentionRow(1));
  PacketEncoder::appendPacket(stream, PacketEncoder::attentionRow(2));
  log.clear();
  feed(stream);
  EXPECT_EQ(lines(), (std::vector<std::string>{"attention 1", "attention 2"}));
  EXPECT_EQ(accessory.takeData(), (Dictionary{{"vScoreAttention", 2}}));
}

TEST_F(FramerTest, AbsentOrEmptyChunkChangesNothing) {
  const Bytes packet = PacketEncoder::packet(PacketEncoder::attentionRow(7));
  feed(Bytes(packet.begin(), packet.begin() + 4));
  const ParserState before = parserState;
  accessory.parseByte(nullptr);
  accessory.parseByte(std::span<const uint8_t>());
  EXPECT_EQ(parserState.state, before.state);
  EXPECT_EQ(parserState.checksum, before.checksum);
  EXPECT_EQ(accessory.payloadBytesRemaining(), 1);
  feed(Bytes(packet.begin() + 4, packet.end()));
  EXPECT_EQ(accessory.takeData(), (Dictionary{{"vScoreAttention", 7}}));
}

// The framer state is process-wide: a packet begun in one object and ended
// in another must neither crash nor touch memory outside either payload.
TEST_F(FramerTest, PacketSplitAcrossTwoObjectsStaysInsideTheirArrays) {
  VelmoraObjC other;
  other.resetParser();
  Bytes payload;
  for (int k = 0; k < 13; ++k) {
    payload.push_back(0x04);
    payload.push_back(static_cast<uint8_t>(k));
  }
  const Bytes packet = PacketEncoder::packet(payload);
  feed(Bytes(packet.begin(), packet.begin() + 10));  // `accessory` holds a 26-byte array
  other.parseByte(std::span<const uint8_t>(packet).subspan(10));  // `other` holds none
  EXPECT_EQ(parserState.state, 0);
  EXPECT_TRUE(other.takeData().empty());
  // And a 2-byte array receiving the tail of a 26-byte packet.
  feed(PacketEncoder::packet({0x04, 0x01}));
  accessory.takeData();
  other.parseByte(std::span<const uint8_t>(packet).first(10));
  feed(Bytes(packet.begin() + 10, packet.end()));
  EXPECT_EQ(parserState.state, 0);
}

}  // namespace
}  // namespace velmora
