// Test support: a log sink that records every line while it lives (the
// default sink comes back when it goes), and waiting on other threads.
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"

namespace velmora::test {

class LogCapture {
 public:
  LogCapture() {
    setLogSink([this](std::string_view line) {
      std::lock_guard<std::mutex> g(m_);
      lines_.emplace_back(line);
    });
  }
  ~LogCapture() { setLogSink(nullptr); }

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> g(m_);
    return lines_;
  }
  size_t count(const std::string& line) const {
    std::lock_guard<std::mutex> g(m_);
    return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line));
  }
  bool contains(const std::string& line) const { return count(line) > 0; }
  void clear() {
    std::lock_guard<std::mutex> g(m_);
    lines_.clear();
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> lines_;
};

// Polls `done` until it holds or `timeout` passes; returns its last value.
template <typename Pred>
bool waitUntil(Pred done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; !done();) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace velmora::test
