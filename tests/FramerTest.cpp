// The packet framer: sync, length, payload and checksum rules and the counts
// they leave, whatever the chunking.
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
using Lines = std::vector<std::string>;
using Counts = VelmoraFramerCounts;

using Outcome = std::tuple<Lines, Dictionary, int32_t, Counts>;  // log, data, framer state, counts

// Frames `stream` in a fresh object, cut into chunks at `cuts`, with an
// absent and an empty chunk after each.
Outcome frame(const Bytes& stream, const std::vector<size_t>& cuts) {
  test::LogCapture log;
  VelmoraObjC accessory;
  accessory.resetParser();
  log.clear();  // the construction's own line
  size_t from = 0;
  for (size_t to : cuts) {
    accessory.parseByte(std::span<const uint8_t>(stream).subspan(from, to - from));
    accessory.parseByte(nullptr);
    accessory.parseByte(std::span<const uint8_t>());
    from = to;
  }
  accessory.parseByte(std::span<const uint8_t>(stream).subspan(from));
  return {log.lines(), accessory.takeData(), parserState.state, accessory.framerCounts()};
}

TEST(Framer, ByteRulesHoldWhateverTheChunking) {
  const Bytes sample = {0xAA, 0xAA, 0x02, 0x02, 0x00, 0xFD};
  const Bytes attention5 = {0xAA, 0xAA, 0x02, 0x04, 0x05, 0xF6};
  const char* kResync = "VLAccessory: Reset at second sync.";
  const struct {
    const char* rule;
    Bytes stream;
    Outcome expected;
  } cases[] = {
      {"a verified packet is decoded once", sample, {{"poor signal 0"}, {{"poorSignal", 0}}, 0, {1, 0, 0, 0}}},
      {"every row of a packet is decoded",
       PacketEncoder::packet(concat({PacketEncoder::poorSignalRow(26),
                                     PacketEncoder::rawRow(-300),
                                     {0x86, 24},
                                     Bytes(24, 0xAA),
                                     PacketEncoder::meditationRow(9)})),
       {{"poor signal 26", "meditation 9"},
        {{"poorSignal", 26}, {"raw", Value::Array{-300}}, {"vScoreMeditation", 9}},
        0,
        {1, 0, 0, 0}}},
      {"a mismatched checksum is logged and its payload dropped",
       concat({{0xAA, 0xAA, 0x02, 0x02, 0x00, 0xFC}, attention5}),
       {{"VLAccessory: Checksum error: expected fd, got fc", "attention 5"}, {{"vScoreAttention", 5}}, 0, {1, 1, 0, 0}}},
      {"a broken sync pair is logged and its second byte consumed",
       concat({{0xAA, 0x55, 0xAA, 0x01}, sample}),
       {{kResync, kResync, "poor signal 0"}, {{"poorSignal", 0}}, 0, {1, 0, 2, 4}}},
      {"bytes before a sync pair go without a word",
       concat({{0x00, 0x17}, sample}),
       {{"poor signal 0"}, {{"poorSignal", 0}}, 0, {1, 0, 0, 2}}},
      {"a third sync byte is a length of 170",
       PacketEncoder::packet(concat({{0x86, 166}, Bytes(166, 0xAA), {0x04, 85}})),
       {{"attention 85"}, {{"vScoreAttention", 85}}, 0, {1, 0, 0, 0}}},
      {"sync bytes inside a payload are ordinary bytes",
       PacketEncoder::packet({0x04, 0xAA, 0x80, 0x02, 0xAA, 0xAA}),
       {{"attention 170"}, {{"vScoreAttention", 170}, {"raw", Value::Array{-21846}}}, 0, {1, 0, 0, 0}}},
      // The byte after a zero length counts in the checksum (0x37 -> 0xC8)
      // and is not stored; had it been taken as the checksum, it would fail.
      {"a zero-length packet takes one unstored byte, then its checksum",
       concat({{0xAA, 0xAA, 0x00, 0x37, 0xC8, 0xAA, 0xAA, 0x00, 0x37, 0x00}, attention5}),
       {{"VLAccessory: Checksum error: expected c8, got 00", "attention 5"}, {{"vScoreAttention", 5}}, 0, {2, 1, 0, 0}}},
      {"back-to-back packets are decoded in order",
       concat({PacketEncoder::packet({0x04, 1}), PacketEncoder::packet({0x04, 2})}),
       {{"attention 1", "attention 2"}, {{"vScoreAttention", 2}}, 0, {2, 0, 0, 0}}},
      {"a packet cut off keeps the framer in its payload", {0xAA, 0xAA, 0x03, 0x04}, {{}, {}, 3, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    ASSERT_EQ(frame(c.stream, {}), c.expected);
    std::vector<size_t> everyByte;
    for (size_t cut = 1; cut < c.stream.size(); ++cut) {
      ASSERT_EQ(frame(c.stream, {cut}), c.expected) << "cut at " << cut;
      everyByte.push_back(cut);
    }
    ASSERT_EQ(frame(c.stream, everyByte), c.expected) << "one byte at a time";
  }
}

// The framer state is process-wide: a packet begun in one object and ended
// in another must neither crash nor touch memory outside either payload.
TEST(Framer, APacketSplitAcrossTwoObjectsStaysInsideTheirArrays) {
  test::LogCapture quiet;
  VelmoraObjC one;
  VelmoraObjC other;
  one.resetParser();
  const Bytes packet = PacketEncoder::packet(Bytes(26, 0x04));
  const Bytes small = PacketEncoder::packet({0x04, 0x01});
  const auto head = std::span<const uint8_t>(packet).first(10);
  const auto tail = std::span<const uint8_t>(packet).subspan(10);
  one.parseByte(head);  // `one` holds a 26-byte array, `other` none
  other.parseByte(tail);
  EXPECT_EQ(parserState.state, 0);
  EXPECT_TRUE(other.takeData().empty());
  one.parseByte(std::span<const uint8_t>(small));  // now a 2-byte array
  other.parseByte(head);
  one.parseByte(tail);
  EXPECT_EQ(parserState.state, 0);
}

}  // namespace
}  // namespace velmora
