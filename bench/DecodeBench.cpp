// Decoding throughput: raw-sample packets through the framer, the decoder and
// both analysers, many packets per chunk as the serial port delivers them.
#include <benchmark/benchmark.h>

#include <vector>

#include "VelmoraObjC.h"
#include "platform/Log.h"
#include "sim/PacketEncoder.h"

namespace {

using velmora::VelmoraObjC;
using velmora::sim::PacketEncoder;

void BM_DecodeRawPackets(benchmark::State& state) {
  velmora::setLogSink([](std::string_view) {});
  const auto packets = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> chunk;
  chunk.reserve(packets * 8);
  for (size_t k = 0; k < packets; ++k) {
    // A gentle wave: no blinks, so nothing is logged.
    PacketEncoder::appendPacket(chunk, PacketEncoder::rawRow(static_cast<int16_t>(k % 64) - 32));
  }
  VelmoraObjC accessory;
  accessory.resetParser();
  // Feed the HRV analyser too, as a headset on an ECG lead would.
  const auto good = PacketEncoder::packet(PacketEncoder::poorSignalRow(200));
  accessory.parseByte(std::span<const uint8_t>(good));
  for (auto _ : state) {
    accessory.parseByte(std::span<const uint8_t>(chunk));
    // What the dispatch thread does once per pass.
    benchmark::DoNotOptimize(accessory.takeData());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(packets));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(chunk.size()));
  velmora::setLogSink(nullptr);
}
// 128 packets: one 1024-byte read of the port.  1024: a long burst.
BENCHMARK(BM_DecodeRawPackets)->Arg(128)->Arg(1024);

}  // namespace
