// The soak session of velmora_soak: a simulated headset streams a seeded,
// deterministic signal through a pty as fast as the link carries it; an
// accessory object finds it through the port manager (Connect), decodes and
// records it, and a HashingDelegate hashes every delivered sample.
// Afterwards the same options are replayed offline and the stream log is
// read back, so that a lost, duplicated or reordered sample shows as a count
// or hash mismatch; resident memory is sampled as the stream goes.
//
// runSoak() must run on the main thread (it runs the main run loop) of a
// process in which the device registry has not been used yet: it points the
// device folder at a directory of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "VelmoraObjC.h"
#include "platform/DeviceFolder.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "sim/HeadsetSimulator.h"
#include "support/SoakHarness.h"

namespace velmora::test {

struct SoakOptions {
  double headsetSeconds = 300;
  double speed = 2000;  // the simulator waits for the reader, so this is a ceiling
  uint64_t seed = 7;
  sim::SignalMode mode = sim::SignalMode::Mixed;
  bool record = true;
  std::string workDir;  // device folder and stream log
  std::chrono::seconds wallLimit{600};
  // Called about every 200 ms with the samples sent and delivered so far.
  std::function<void(uint64_t sent, uint64_t delivered, size_t rssKiB)> progress;
};

struct SoakResult {
  bool connected = false;
  std::string error;  // empty when the session ran to its end
  SampleHash expected;
  SampleHash delivered;
  RecordedRows recorded;
  uint64_t samplesSent = 0;  // as the simulator counted them
  uint64_t deliveries = 0;
  uint64_t logLines = 0;
  std::string lastProblem;  // the last "cannot ..." or checksum line logged
  size_t rssWarmKiB = 0;    // once 10 % of the stream has passed
  size_t rssMaxKiB = 0;     // the largest after that
  size_t rssEndKiB = 0;
  double wallSeconds = 0;
};

inline sim::SimulatorOptions soakSimulatorOptions(const SoakOptions& o) {
  sim::SimulatorOptions so;
  so.name = "KovaSoak-SPPDev";
  so.signal.mode = o.mode;
  so.signal.seed = o.seed;
  so.speed = o.speed;
  so.durationSeconds = o.headsetSeconds;
  return so;
}

inline SoakResult runSoak(const SoakOptions& o) {
  using Clock = std::chrono::steady_clock;
  SoakResult r;
  // Shared with the sink, which a thread may still be running when it is
  // replaced.
  struct Tally {
    std::atomic<uint64_t> lines{0};
    std::mutex mutex;
    std::string lastProblem;
  };
  auto tally = std::make_shared<Tally>();
  setLogSink([tally](std::string_view line) {
    ++tally->lines;
    if (line.find("cannot") != std::string_view::npos || line.find("Checksum") != std::string_view::npos) {
      std::lock_guard<std::mutex> g(tally->mutex);
      tally->lastProblem = line;
    }
  });
  platform::DeviceFolder::setPath(o.workDir + "/devices");
  const sim::SimulatorOptions so = soakSimulatorOptions(o);
  const auto total = static_cast<uint64_t>(o.headsetSeconds * sim::kSampleRate);

  const auto begin = Clock::now();
  {
    sim::HeadsetSimulator simulator(so);
    simulator.start();
    auto delegate = std::make_shared<HashingDelegate>();
    auto accessory = std::make_unique<VelmoraObjC>();
    accessory->setDelegate(delegate);
    if (o.record) accessory->startRecording(o.workDir, 3);
    accessory->Connect();
    r.connected = accessory->connected();
    if (!r.connected) r.error = "the simulated headset was not found or did not open";

    auto& loop = platform::RunLoop::main();
    auto lastProgress = Clock::now();
    uint64_t lastDelivered = 0;
    while (r.connected) {
      loop.runUntil([] { return false; }, std::chrono::milliseconds(200));
      const uint64_t sent = simulator.samplesSent();
      const uint64_t got = delegate->delivered.load();
      const size_t rss = residentKiB();
      if (sent * 10 >= total) {
        if (r.rssWarmKiB == 0) r.rssWarmKiB = rss;
        r.rssMaxKiB = std::max(r.rssMaxKiB, rss);
      }
      if (o.progress) o.progress(sent, got, rss);
      if (got != lastDelivered) {
        lastDelivered = got;
        lastProgress = Clock::now();
      }
      if (simulator.isFinished() && got >= sent) break;
      if (simulator.isFinished() && Clock::now() - lastProgress > std::chrono::seconds(5)) {
        r.error = "deliveries stopped before every sent sample arrived";
        break;
      }
      if (Clock::now() - begin > o.wallLimit) {
        r.error = "the session did not finish within the wall-clock limit";
        break;
      }
    }
    if (!simulator.error().empty() && r.error.empty()) r.error = "simulator: " + simulator.error();
    r.samplesSent = simulator.samplesSent();
    r.rssEndKiB = residentKiB();
    r.wallSeconds = std::chrono::duration<double>(Clock::now() - begin).count();

    if (o.record) accessory->stopRecording();
    accessory->Disconnect();
    loop.runUntil([&] { return delegate->disconnects.load() >= 2; }, std::chrono::seconds(5));
    accessory.reset();
    r.delivered = delegate->hash();
    r.deliveries = delegate->deliveries.load();
    simulator.stop();
  }
  r.expected = sentSamples(so);
  if (o.record) r.recorded = readStreamLog(o.workDir + "/ambrix.log.csv");
  setLogSink(nullptr);
  r.logLines = tally->lines.load();
  std::lock_guard<std::mutex> g(tally->mutex);
  r.lastProblem = tally->lastProblem;
  return r;
}

}  // namespace velmora::test
