// RrCollector: an HRV delegate that keeps every RR interval the beat
// detector reports, for a run against a simulated headset (`velmora demo`,
// tests) to compare with the simulator's ground truth or to compute LF/HF
// from.
//
// Threads: rrDetected runs on the framing (main) thread with velmora::lock
// held, so it only appends, under a mutex of its own; intervals() may be
// called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "VLHrv.h"

namespace velmora::sim {

class RrCollector : public VLHRVDelegate {
 public:
  void rrDetected(int32_t rrIntervalMs) override {
    std::lock_guard<std::mutex> g(mutex_);
    intervals_.push_back(rrIntervalMs);
  }
  void calculationDone(const Dictionary&) override {}
  std::vector<int32_t> intervals() const {
    std::lock_guard<std::mutex> g(mutex_);
    return intervals_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int32_t> intervals_;
};

}  // namespace velmora::sim
