#include "internal/SerialOpening.h"

#include <unistd.h>

#include <cstdint>
#include <utility>

namespace velmora::internal {

SerialOpening::SerialOpening(int descriptor, std::shared_ptr<platform::TerminalIO> terminal, int wake,
                             size_t creditLimit)
    : fd(descriptor), io(std::move(terminal)), wakeFd(wake), creditLimit_(creditLimit) {}

SerialOpening::~SerialOpening() { ::close(wakeFd); }

void SerialOpening::shutDown() {
  closing.store(true);
  uint64_t one = 1;
  (void)!::write(wakeFd, &one, sizeof one);
  std::lock_guard<std::mutex> g(creditMutex_);
  creditAvailable_.notify_all();
}

bool SerialOpening::awaitCredit() {
  std::unique_lock<std::mutex> g(creditMutex_);
  if (undelivered_ < creditLimit_) return !closing.load();
  readerWaiting_ = true;
  creditAvailable_.wait(g, [&] { return undelivered_ <= creditLimit_ / 2 || closing.load(); });
  readerWaiting_ = false;
  return !closing.load();
}

void SerialOpening::take(size_t cost) {
  std::lock_guard<std::mutex> g(creditMutex_);
  undelivered_ += cost;
}

void SerialOpening::giveBack(size_t cost) {
  std::lock_guard<std::mutex> g(creditMutex_);
  undelivered_ -= cost;
  if (readerWaiting_ && undelivered_ <= creditLimit_ / 2) creditAvailable_.notify_one();
}

}  // namespace velmora::internal
