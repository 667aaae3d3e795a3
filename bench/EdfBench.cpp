// Recording cost: one second of headset time (512 raw samples, the eleven
// 1 Hz values, a blink and a beat) into a BDF+ or EDF+ file, which writes
// one data record, its annotations and the header's record count.  Fed to
// the recorder directly, and through the accessory object's decoder (the
// difference to BM_DecodeRawPackets is what recording adds to a stream).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "VelmoraEdfRecorder.h"
#include "VelmoraObjC.h"
#include "platform/Log.h"
#include "sim/PacketEncoder.h"

namespace {

using velmora::VelmoraEdfRecorder;
using velmora::sim::PacketEncoder;

// A recorder on a new file in a scratch folder, removed with it.
struct ScratchRecording {
  explicit ScratchRecording(VelmoraEdfRecorder::Format format) {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
    folder = ::mkdtemp(pattern.data()) != nullptr ? pattern : "/tmp";
    VelmoraEdfRecorder::Settings settings;
    settings.format = format;
    recorder->open(folder + "/bench.bdf", settings);
  }
  ~ScratchRecording() {
    recorder->close();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  std::string folder;
  std::shared_ptr<VelmoraEdfRecorder> recorder = std::make_shared<VelmoraEdfRecorder>();
};

void BM_EdfRecordOneSecond(benchmark::State& state) {
  ScratchRecording recording(state.range(0) == 0 ? VelmoraEdfRecorder::Format::Bdf : VelmoraEdfRecorder::Format::Edf);
  VelmoraEdfRecorder& recorder = *recording.recorder;
  for (auto _ : state) {
    for (int s = 0; s < VelmoraEdfRecorder::kSlowSignals; ++s) recorder.valueDecoded(VelmoraEdfRecorder::kSlowKeys[s], 40 + s);
    for (int k = 0; k < VelmoraEdfRecorder::kSampleRate; ++k) {
      recorder.rawSampleDecoded(k % 64 - 32, k == 100 ? 50 : 0, k == 300 ? 857 : 0);
    }
  }
  if (!recorder.isRecording()) state.SkipWithError(recorder.error().c_str());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));  // seconds of headset time
}
// 0: BDF+, 1: EDF+.  A bounded run: each iteration adds a record to the file.
BENCHMARK(BM_EdfRecordOneSecond)->Arg(0)->Arg(1)->Iterations(4000);

void BM_DecodeAndRecordOneSecond(benchmark::State& state) {
  velmora::setLogSink([](std::string_view) {});
  std::vector<uint8_t> second;
  PacketEncoder::appendPacket(second, PacketEncoder::poorSignalRow(26));
  PacketEncoder::appendPacket(second, PacketEncoder::attentionRow(40));
  PacketEncoder::appendPacket(second, PacketEncoder::bandPowerRow({1, 2, 3, 4, 5, 6, 7, 8}));
  for (int k = 0; k < VelmoraEdfRecorder::kSampleRate; ++k) {
    PacketEncoder::appendPacket(second, PacketEncoder::rawRow(static_cast<int16_t>(k % 64 - 32)));
  }
  ScratchRecording recording(VelmoraEdfRecorder::Format::Bdf);
  velmora::VelmoraObjC accessory;
  accessory.resetParser();
  accessory.setStreamListener(recording.recorder);
  for (auto _ : state) {
    accessory.parseByte(std::span<const uint8_t>(second));
    benchmark::DoNotOptimize(accessory.takeData());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  velmora::setLogSink(nullptr);
}
BENCHMARK(BM_DecodeAndRecordOneSecond)->Iterations(4000);

}  // namespace
