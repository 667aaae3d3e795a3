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
// device folder at a directory of its own.  The hashing (of the delivered
// samples, of the offline replay, of the stream log's rows) is here too.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
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
#include "sim/StreamGenerator.h"
#include "support/SoakHarness.h"

namespace velmora::test {

// FNV-1a over the samples' 16-bit values, with their count.
struct SampleHash {
  uint64_t value = 1469598103934665603ull;
  uint64_t count = 0;
  void add(int32_t sample) {
    const auto u = static_cast<uint16_t>(sample);
    value = (value ^ (u & 0xFF)) * 1099511628211ull;
    value = (value ^ (u >> 8)) * 1099511628211ull;
    ++count;
  }
  bool operator==(const SampleHash&) const = default;
};

// The raw samples the headset of `options` sends: the offline replay of the
// same stream, tick by tick so that hours of it take no memory.
inline SampleHash sentSamples(const sim::SimulatorOptions& options) {
  sim::StreamGenerator generator(options);
  sim::TickBuffer tick;
  SampleHash hash;
  for (; generator.tick(tick); tick.clear()) {
    for (size_t start : tick.packetStarts) {
      const uint8_t* p = tick.bytes.data() + start;
      if (start + 8 <= tick.bytes.size() && p[2] == 4 && p[3] == 0x80 && p[4] == 0x02) {
        hash.add(static_cast<int16_t>(static_cast<uint16_t>(p[5] << 8 | p[6])));
      }
    }
  }
  return hash;
}

// What a stream log holds: its "[RAW]" rows hashed in file order, and the
// count of the other rows and of lines that are no row at all.
struct RecordedRows {
  SampleHash raw;
  uint64_t otherRows = 0;
  uint64_t malformed = 0;
  bool header = false;
};
inline RecordedRows readStreamLog(const std::string& path) {
  RecordedRows rows;
  std::ifstream in(path);
  std::string line;
  rows.header = std::getline(in, line) && line == "Timestamp, Data Type, Value";
  while (std::getline(in, line)) {
    if (const size_t tag = line.find("[RAW], "); tag != std::string::npos) {
      rows.raw.add(std::stoi(line.substr(tag + 7)));
    } else if (line.find("[PQ]") != std::string::npos || line.find("[ATT]") != std::string::npos ||
               line.find("[MED]") != std::string::npos || line.find("[HR]") != std::string::npos) {
      ++rows.otherRows;
    } else {
      ++rows.malformed;
    }
  }
  return rows;
}

// Hashes every delivered raw array; counts the other callbacks.
class HashingDelegate : public VelmoraDelegate {
 public:
  void accessoryDidConnect(const std::string&) override { ++connects; }
  void accessoryDidDisconnect() override { ++disconnects; }
  void accessoryError(int32_t code) override {
    if (code >= 0 && code < 4) ++errors[code];
  }
  void dataReceived(const Dictionary& data) override {
    ++deliveries;
    auto raw = data.find("raw");
    if (raw == data.end()) return;
    std::lock_guard<std::mutex> g(m_);
    for (int32_t s : raw->second.asArray()) hash_.add(s);
    delivered.store(hash_.count);
  }
  SampleHash hash() const {
    std::lock_guard<std::mutex> g(m_);
    return hash_;
  }

  std::atomic<int> connects{0};
  std::atomic<int> disconnects{0};
  std::atomic<int> errors[4]{};
  std::atomic<uint64_t> deliveries{0};
  std::atomic<uint64_t> delivered{0};

 private:
  mutable std::mutex m_;
  SampleHash hash_;
};

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
