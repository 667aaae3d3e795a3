// Test support: a log sink that records every line while it lives (the
// default sink comes back when it goes), and waiting on other threads.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"

namespace velmora::test {

class LogCapture {
 public:
  // The lines live apart from this object: a thread may still be inside the
  // sink when the object goes.
  LogCapture() {
    setLogSink([state = state_](std::string_view line) {
      std::lock_guard<std::mutex> g(state->m);
      state->lines.emplace_back(line);
    });
  }
  ~LogCapture() { setLogSink(nullptr); }

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> g(state_->m);
    return state_->lines;
  }
  size_t count(const std::string& line) const {
    std::lock_guard<std::mutex> g(state_->m);
    return static_cast<size_t>(std::count(state_->lines.begin(), state_->lines.end(), line));
  }
  bool contains(const std::string& line) const { return count(line) > 0; }
  void clear() {
    std::lock_guard<std::mutex> g(state_->m);
    state_->lines.clear();
  }

 private:
  struct State {
    std::mutex m;
    std::vector<std::string> lines;
  };
  const std::shared_ptr<State> state_ = std::make_shared<State>();
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
