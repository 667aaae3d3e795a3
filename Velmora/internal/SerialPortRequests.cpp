// The request/response queue of ZPRSerialPort and its writes: requests sent,
// queued, answered and timed out, and sendData's wait for the device.  See
// ZPRSerialPort.h for which thread runs what.
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "ZPRSerialPort.h"
#include "internal/SerialOpening.h"
#include "platform/MainQueue.h"
#include "platform/RunLoop.h"
#include "platform/TerminalIO.h"

namespace velmora {

using platform::MainQueue;


void ZPRSerialPort::handOverResponse(uint64_t requestSerial, const std::shared_ptr<ZPRSerialRequest>& request,
                                     const std::vector<uint8_t>& response) {
  auto d = delegate();
  if (d && d->implements(ZPRSerialPortDelegate::kSerialPortDidReceiveResponseToRequest))
    d->serialPortDidReceiveResponseToRequest(*this, response, request);
  d.reset();
  clearAnsweredRequest(requestSerial);
}

void ZPRSerialPort::pendingRequestDidTimeout(uint64_t requestSerial) {
  std::shared_ptr<ZPRSerialRequest> request;
  {
    std::lock_guard<std::mutex> g(stateMutex_);
    if (!pendingRequestTimeoutTimer_ || pendingRequestTimeoutTimer_->requestSerial != requestSerial) return;
    pendingRequestTimeoutTimer_.reset();
    if (pendingRequestSerial_ != requestSerial || pendingRequestAnswered_) return;
    pendingRequestAnswered_ = true;
    request = pendingRequest_;
  }
  didChange("pendingRequestTimeoutTimer");
  finishTimedOutRequest(requestSerial, request);
}

void ZPRSerialPort::finishTimedOutRequest(uint64_t requestSerial, const std::shared_ptr<ZPRSerialRequest>& request) {
  auto d = delegate();
  if (d && d->implements(ZPRSerialPortDelegate::kSerialPortRequestDidTimeout)) {
    if (MainQueue::isMainThread()) {
      d->serialPortRequestDidTimeout(*this, request);
    } else {
      d.reset();
      MainQueue::sync([&] {
        auto current = delegate();
        if (current && current->implements(ZPRSerialPortDelegate::kSerialPortRequestDidTimeout))
          current->serialPortRequestDidTimeout(*this, request);
      });
    }
  }
  d.reset();
  clearAnsweredRequest(requestSerial);
}

void ZPRSerialPort::clearAnsweredRequest(uint64_t requestSerial) {
  {
    std::lock_guard<std::mutex> g(stateMutex_);
    if (pendingRequestSerial_ == requestSerial) pendingRequest_.reset();
    // Replaced rather than cleared: the receive path may still be reading
    // the old bytes for a verdict that is now stale.
    receiveBuffer_.reset();
  }
  didChange("pendingRequest");
  didChange("receiveBuffer");
  sendNextRequest();
}

bool ZPRSerialPort::hasTimeLimit(double seconds) {
  return std::isfinite(seconds) && seconds > 0 && seconds <= kLongestTimeoutInterval;
}

void ZPRSerialPort::startRequestLocked(const std::shared_ptr<ZPRSerialRequest>& request) {
  pendingRequest_ = request;
  const uint64_t serial = ++pendingRequestSerial_;
  pendingRequestAnswered_ = false;
  cancelTimeoutTimerLocked();
  // The evaluator sees at most the newest unsolicited bytes from before the
  // request (a new vector: the receive path may be reading the old one).
  if (receiveBuffer_ && receiveBuffer_->size() > kUnsolicitedReceiveLimit) {
    receiveBuffer_ = std::make_shared<std::vector<uint8_t>>(
        receiveBuffer_->end() - static_cast<std::ptrdiff_t>(kUnsolicitedReceiveLimit), receiveBuffer_->end());
  }
  const double timeout = request->timeoutInterval();
  if (!hasTimeLimit(timeout)) return;
  auto& loop = platform::RunLoop::current();
  auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(timeout));
  std::weak_ptr<ZPRSerialPort> weakSelf = weak_from_this();
  auto id = loop.addTimer(delay, [weakSelf, serial] {
    if (auto self = weakSelf.lock()) self->pendingRequestDidTimeout(serial);
  });
  pendingRequestTimeoutTimer_ = TimeoutTimer{&loop, id, serial};
}

void ZPRSerialPort::cancelTimeoutTimerLocked() {
  if (!pendingRequestTimeoutTimer_) return;
  // Safe under the mutex: the cancelled task holds only a weak reference.
  pendingRequestTimeoutTimer_->loop->cancelTimer(pendingRequestTimeoutTimer_->id);
  pendingRequestTimeoutTimer_.reset();
}

bool ZPRSerialPort::sendData(std::span<const uint8_t> data) {
  auto opening = currentOpening();
  if (!opening) return false;
  size_t written = 0;
  while (written < data.size()) {
    ssize_t count;
    int err;
    {
      std::shared_lock<std::shared_mutex> d(descriptorMutex_);
      if (opening_ != opening) return false;  // closed under us: the rest is dropped
      count = opening->io->write(opening->fd, data.data() + written, data.size() - written);
      err = errno;
    }
    if (count >= 0) {
      written += static_cast<size_t>(count);
      continue;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) {
      // The device has not taken the bytes yet: wait until it can, outside
      // the lock, so that close() ends the wait.
      int ready = opening->io->wait(opening->fd, POLLOUT, opening->wakeFd, -1);
      err = errno;
      if (opening->closing) return false;
      if (ready >= 0 || err == EINTR) continue;
    } else if (err == EINTR) {
      continue;
    }
    reportError(err, false);
    return false;
  }
  return true;
}

bool ZPRSerialPort::sendRequest(std::shared_ptr<ZPRSerialRequest> request) {
  if (!request) return false;
  enum { kStarted, kQueued, kRefused } outcome;
  {
    std::lock_guard<std::mutex> g(stateMutex_);
    if (!pendingRequest_) {
      startRequestLocked(request);
      outcome = kStarted;
    } else if (requestsQueue_.size() < kMaximumQueuedRequests) {
      requestsQueue_.push_back(request);
      outcome = kQueued;
    } else {
      outcome = kRefused;
    }
  }
  if (outcome == kRefused) return false;
  if (outcome == kQueued) {
    didChange("requestsQueue");
    return true;
  }
  nudgeReadLoop();  // its answer is read as it comes
  didChange("pendingRequest");
  didChange("pendingRequestTimeoutTimer");
  return sendData(request->dataToSend());
}

void ZPRSerialPort::sendNextRequest() {
  std::shared_ptr<ZPRSerialRequest> next;
  {
    std::lock_guard<std::mutex> g(stateMutex_);
    // A request sent meanwhile by a client is pending: the queue waits for it.
    if (requestsQueue_.empty() || pendingRequest_) return;
    next = std::move(requestsQueue_.front());
    requestsQueue_.pop_front();
    startRequestLocked(next);
  }
  nudgeReadLoop();
  didChange("requestsQueue");
  didChange("pendingRequest");
  didChange("pendingRequestTimeoutTimer");
  sendData(next->dataToSend());
}

}  // namespace velmora
