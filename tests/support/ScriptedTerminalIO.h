// Test support: a terminal that exists only in memory.  The "device" is
// /dev/null opened for real (so the port holds a genuine descriptor), while
// attributes, locks and modem lines are accepted without a tty, and the bytes
// the port reads come from chunks the test queues.  The port's read loop
// reads one queued chunk per read, so the test decides exactly how the
// stream is cut.  A hang-up makes the next read fail with EIO, as a vanished
// device does.
//
// isQuiet() tells when the read loop has taken every queued chunk and is
// waiting again, so a test can then drain the main queue and know that every
// delegate call of those chunks has run.  The loop's wait wakes the main run
// loop, so RunLoop::main().runUntil(...) notices at once.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/RunLoop.h"
#include "platform/TerminalIO.h"

namespace velmora::test {

class ScriptedTerminalIO : public platform::TerminalIO {
 public:
  // ---- the test's side
  void queueChunk(std::vector<uint8_t> chunk) {
    {
      std::lock_guard<std::mutex> g(m_);
      chunks_.push_back(std::move(chunk));
    }
    cv_.notify_all();
  }
  void hangUp() {
    {
      std::lock_guard<std::mutex> g(m_);
      hangUp_ = true;
    }
    cv_.notify_all();
  }
  // Every queued chunk read, and the read loop back in its wait.
  bool isQuiet() const {
    std::lock_guard<std::mutex> g(m_);
    return chunks_.empty() && waiters_ > 0 && !busy_;
  }
  // No read loop is waiting on this terminal (after a close: the old loop
  // has left).
  bool hasNoWaiter() const {
    std::lock_guard<std::mutex> g(m_);
    return waiters_ == 0;
  }
  std::vector<uint8_t> written() const {
    std::lock_guard<std::mutex> g(m_);
    return written_;
  }
  int opens() const {
    std::lock_guard<std::mutex> g(m_);
    return opens_;
  }

  // ---- the port's side
  int open(const char*, int) override {
    int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return fd;
    std::lock_guard<std::mutex> g(m_);
    closed_ = false;
    ++opens_;
    return fd;
  }
  int close(int fd) override {
    {
      std::lock_guard<std::mutex> g(m_);
      closed_ = true;
    }
    cv_.notify_all();
    return ::close(fd);
  }
  int setStatusFlags(int, int) override { return 0; }
  int lock(int, int) override { return 0; }
  int getAttributes(int, struct termios* attributes) override {
    std::memset(attributes, 0, sizeof *attributes);
    return 0;
  }
  int setAttributes(int, int, const struct termios*) override { return 0; }
  int setArbitrarySpeed(int, unsigned int) override { return 0; }
  int getModemLines(int, int*) override {
    errno = ENOTTY;
    return -1;
  }
  int setModemLines(int, const int*) override {
    errno = ENOTTY;
    return -1;
  }
  int waitReadable(int, int timeoutMs) override {
    std::unique_lock<std::mutex> g(m_);
    ++waiters_;
    busy_ = false;
    platform::RunLoop::main().wakeUp();
    cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return !chunks_.empty() || hangUp_ || closed_; });
    --waiters_;
    if (closed_) return 0;
    if (!chunks_.empty() || hangUp_) {
      busy_ = true;
      return 1;
    }
    return 0;
  }
  ssize_t read(int, void* buffer, size_t count) override {
    std::unique_lock<std::mutex> g(m_);
    if (!chunks_.empty()) {
      std::vector<uint8_t>& front = chunks_.front();
      const size_t n = std::min(count, front.size());
      std::memcpy(buffer, front.data(), n);
      front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
      if (front.empty()) chunks_.pop_front();
      return static_cast<ssize_t>(n);
    }
    if (hangUp_) {
      errno = EIO;
      return -1;
    }
    errno = EAGAIN;
    return -1;
  }
  ssize_t write(int, const void* buffer, size_t count) override {
    std::lock_guard<std::mutex> g(m_);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    written_.insert(written_.end(), bytes, bytes + count);
    return static_cast<ssize_t>(count);
  }

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::vector<uint8_t>> chunks_;
  std::vector<uint8_t> written_;
  bool hangUp_ = false;
  bool closed_ = false;
  bool busy_ = false;  // a chunk is being handled between wait and the next wait
  int waiters_ = 0;
  int opens_ = 0;
};

}  // namespace velmora::test
