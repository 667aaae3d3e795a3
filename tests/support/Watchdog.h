// Test support: ends the process if a scope has not been left in time, so
// that a deadlock fails the test at once instead of hanging it until the
// CTest time-out.
//
//   { test::Watchdog watchdog(std::chrono::seconds(30)); ...code that might hang... }
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace velmora::test {

class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock<std::mutex> g(m_);
          if (!cv_.wait_for(g, limit, [this] { return done_; })) {
            std::fprintf(stderr, "deadlock: the test did not finish within %lld s\n",
                         static_cast<long long>(limit.count()));
            std::_Exit(1);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> g(m_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace velmora::test
