// Test and bench support for whole headset sessions: a delegate that hashes
// every delivered "raw" array, the hash of the samples a simulated headset
// sends (its offline replay) and of the "[RAW]" rows of a stream log, so
// that a lost, duplicated or reordered sample shows as a count or hash
// mismatch; and the process's resident memory, descriptors, threads and
// mappings as /proc shows them, for the leak and growth checks.  The long
// soak run itself is bench/soak/SoakRun.h.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "VelmoraObjC.h"
#include "platform/DeviceFolder.h"
#include "platform/RunLoop.h"
#include "sim/HeadsetSimulator.h"
#include "sim/StreamGenerator.h"

namespace velmora::test {

// ---------------------------------------------------------------- /proc

// Resident set size in KiB (/proc/self/statm, second field).
inline size_t residentKiB() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

// Entries of a /proc directory, without "." and "..".
inline size_t countEntries(const char* directory) {
  DIR* d = ::opendir(directory);
  size_t n = 0;
  while (d != nullptr && ::readdir(d) != nullptr) ++n;
  if (d != nullptr) ::closedir(d);
  return n >= 2 ? n - 2 : 0;
}
inline size_t openDescriptors() { return countEntries("/proc/self/fd") - 1; }  // less opendir's own
inline size_t liveThreads() { return countEntries("/proc/self/task"); }
inline size_t mappings() {
  std::ifstream maps("/proc/self/maps");
  size_t n = 0;
  for (std::string line; std::getline(maps, line);) ++n;
  return n;
}

// ---------------------------------------------------------------- hashing

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

// ---------------------------------------------------------------- the session

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

}  // namespace velmora::test
