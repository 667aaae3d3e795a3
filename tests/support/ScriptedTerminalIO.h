// Test support: a terminal only in memory.  The device is /dev/null (a real
// descriptor); locks, attributes and writes are accepted, there are no modem
// lines, and each read takes from the oldest chunk the test queued.  hangUp()
// makes reads fail with EIO.  isQuiet(): every chunk read and the read loop
// waiting again.  Every member may be called from any thread.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"
#include "platform/TerminalIO.h"

namespace velmora::test {

class ScriptedTerminalIO : public platform::TerminalIO {
  template <typename F>
  auto locked(F f) const {
    std::lock_guard<std::mutex> g(m_);
    return f();
  }

 public:
  void queueChunk(std::vector<uint8_t> chunk) { locked([&] { chunks_.push_back(std::move(chunk)); }); }
  void hangUp() { locked([&] { hangUp_ = true; }); }
  bool isQuiet() const { return locked([&] { return chunks_.empty() && waiters_ > 0 && !busy_; }); }
  // No read loop waits here (after a close: the old loop has left).
  bool hasNoWaiter() const { return locked([&] { return waiters_ == 0; }); }
  size_t chunksLeft() const { return locked([&] { return chunks_.size(); }); }

  int open(const char*, int) override { return ::open("/dev/null", O_RDWR | O_CLOEXEC); }
  int lock(int, int) override { return 0; }
  int getAttributes(int, struct termios* attributes) override {
    std::memset(attributes, 0, sizeof *attributes);
    return 0;
  }
  int setAttributes(int, int, const struct termios*) override { return 0; }
  int getModemLines(int, int*) override { return errno = ENOTTY, -1; }
  int setModemLines(int, const int*) override { return errno = ENOTTY, -1; }
  ssize_t write(int, const void*, size_t count) override { return static_cast<ssize_t>(count); }
  // Looks for chunks and at the wake descriptor every millisecond.
  int wait(int, short events, int wakeFd, int) override {
    if (events & POLLOUT) return 1;
    std::unique_lock<std::mutex> g(m_);
    ++waiters_;
    busy_ = false;
    platform::RunLoop::main().wakeUp();
    pollfd wake{wakeFd, POLLIN, 0};
    while (chunks_.empty() && !hangUp_ && ::poll(&wake, 1, 0) == 0) {
      g.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      g.lock();
    }
    --waiters_;
    busy_ = !chunks_.empty() || hangUp_;
    return busy_ ? 1 : 0;
  }
  ssize_t read(int, void* buffer, size_t count) override {
    std::lock_guard<std::mutex> g(m_);
    if (chunks_.empty()) return errno = hangUp_ ? EIO : EAGAIN, -1;
    std::vector<uint8_t>& front = chunks_.front();
    const size_t n = std::min(count, front.size());
    std::memcpy(buffer, front.data(), n);
    front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    if (front.empty()) chunks_.pop_front();
    return static_cast<ssize_t>(n);
  }

 private:
  mutable std::mutex m_;
  std::deque<std::vector<uint8_t>> chunks_;
  bool hangUp_ = false;
  bool busy_ = false;  // between a wait that found work and the next wait
  int waiters_ = 0;
};

}  // namespace velmora::test
