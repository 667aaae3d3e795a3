// Cutting a byte stream into packets (host::PacketStream, under `velmora
// decode` and Python's decode()): its own framer state beside a live
// accessory object's, and streams decoding at once from several threads, in
// this process and in a forked child.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <latch>
#include <thread>
#include <vector>

#include "VelmoraObjC.h"
#include "host/PacketStream.h"
#include "sim/HeadsetSimulator.h"
#include "sim/PacketEncoder.h"
#include "sim/SimulatedHeadset.h"
#include "support/LogCapture.h"
#include "support/SoakHarness.h"
#include "support/ValuePrinter.h"

namespace velmora {
namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
  std::vector<Dictionary> packets;
  uint64_t verified = 0;
  uint64_t failed = 0;
  uint64_t skipped = 0;  // under way at the end included
  bool operator==(const Decoded&) const = default;
};

// Decodes `bytes` fed in pieces of `piece` bytes.
Decoded decodeInPieces(const Bytes& bytes, size_t piece) {
  host::PacketStream stream;
  Decoded d;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    const size_t n = std::min(piece, bytes.size() - at);
    stream.feed(std::span<const uint8_t>(bytes).subspan(at, n),
                [&](Dictionary&& values) { d.packets.push_back(std::move(values)); });
  }
  d.verified = stream.counts().packetsVerified;
  d.failed = stream.counts().checksumFailures;
  d.skipped = stream.counts().bytesSkipped + stream.bytesUnderWay();
  return d;
}

// Whether `threads` threads, each decoding `bytes` at once, all get `expected`.
bool threadsDecodeAlike(const Bytes& bytes, const Decoded& expected, int threads) {
  std::vector<Decoded> got(static_cast<size_t>(threads));
  std::latch start(threads);
  std::vector<std::thread> workers;
  for (auto& g : got) {
    workers.emplace_back([&] {
      start.arrive_and_wait();
      g = decodeInPieces(bytes, 61);
    });
  }
  for (auto& w : workers) w.join();
  return std::all_of(got.begin(), got.end(), [&](const Decoded& g) { return g == expected; });
}

TEST(PacketStream, LeavesALiveAccessorysPacketUnderWayAsItWas) {
  test::LogCapture log;
  VelmoraObjC live;
  const Bytes packet = sim::PacketEncoder::packet({0x02, 0x33, 0x04, 0x41});
  const size_t half = 4;
  live.parseByte(std::span<const uint8_t>(packet).first(half));
  live.takeData();

  const Decoded other = decodeInPieces(sim::PacketEncoder::packet({0x02, 0xC8, 0x80, 0x02, 0x00, 0x10}), 3);
  ASSERT_EQ(other.packets.size(), 1u);
  EXPECT_EQ(other.packets[0], (Dictionary{{"poorSignal", 200}, {"raw", std::vector<int32_t>{16}}}));
  EXPECT_EQ(poorSignal.load(), 0);  // the live object's value, not the other stream's

  live.parseByte(std::span<const uint8_t>(packet).subspan(half));
  EXPECT_EQ(live.takeData(), (Dictionary{{"poorSignal", 0x33}, {"vScoreAttention", 0x41}}));
}

TEST(PacketStream, ThreadsDecodingAtOnceEachGetTheWholeStreamHereAndInAForkedChild) {
  if (test::liveThreads() != 1) GTEST_SKIP() << "needs a process of its own (CTest runs each test alone)";
  test::LogCapture log;
  const Bytes bytes = sim::HeadsetSimulator::generateOffline(
      sim::SimulatedHeadset::options("KovaSim-SPPDev", sim::SignalMode::Mixed, 3, 1.0, 20.0));
  const Decoded expected = decodeInPieces(bytes, bytes.size());
  ASSERT_GT(expected.packets.size(), 10000u);
  EXPECT_EQ(decodeInPieces(bytes, 1), expected);  // cut anywhere, the same packets

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(threadsDecodeAlike(bytes, expected, 4) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_TRUE(threadsDecodeAlike(bytes, expected, 4));
}

}  // namespace
}  // namespace velmora
