#include "VelmoraPortLink.h"

#include <algorithm>
#include <optional>

#include "VelmoraObjC.h"
#include "ZPRSerialPort.h"
#include "platform/MainQueue.h"

namespace velmora {
namespace {

// Which link holds each port, by path.  Expired entries count as free, so a
// link that goes without releasing its claims blocks nobody.
struct Claims {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<VelmoraPortLink>> byPath;
};

Claims& claims() {
  static Claims* const c = new Claims;  // never destroyed: links may outlive static destruction
  return *c;
}

// The links whose owners are at work on this thread, innermost last.
thread_local std::vector<const VelmoraPortLink*> busyLinks;

bool busyOnThisThread(const VelmoraPortLink* link) {
  return std::find(busyLinks.begin(), busyLinks.end(), link) != busyLinks.end();
}

}  // namespace

VelmoraPortLink::Busy::Busy(const VelmoraPortLink& link) { busyLinks.push_back(&link); }

VelmoraPortLink::Busy::~Busy() { busyLinks.pop_back(); }

void VelmoraPortLink::detach() {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  owner_ = nullptr;
}

bool VelmoraPortLink::claim(const std::string& path) {
  Claims& c = claims();
  std::lock_guard<std::mutex> g(c.mutex);
  auto& holder = c.byPath[path];
  const auto current = holder.lock();
  if (current && current.get() != this) return false;
  holder = weak_from_this();
  return true;
}

void VelmoraPortLink::release(const std::string& path) {
  Claims& c = claims();
  std::lock_guard<std::mutex> g(c.mutex);
  auto it = c.byPath.find(path);
  if (it == c.byPath.end()) return;
  const auto current = it->second.lock();
  if (!current || current.get() == this) c.byPath.erase(it);
}

void VelmoraPortLink::beginOpening(const ZPRSerialPort& port) {
  std::lock_guard<std::mutex> g(stateMutex_);
  ++openings_[port.path()].pending;
}

void VelmoraPortLink::endOpening(ZPRSerialPort& port, bool opened,
                                 const std::shared_ptr<ZPRSerialPortDelegate>& previous) {
  // On the main thread the attempt's errors were delivered during open()
  // itself; elsewhere they are tasks on the main queue, which run in order
  // and ask the port for its delegate when they run: the link stays the
  // delegate of a failed port until then, so that they still reach it.
  auto restore = [weak = weak_from_this(), port = port.shared_from_this(),
                  previous = std::weak_ptr<ZPRSerialPortDelegate>(previous), opened] {
    auto self = weak.lock();
    if (!self) return;
    if (!opened && port->delegate() == self) port->setDelegate(previous.lock());
    self->finishOpening(port->path(), opened);
  };
  if (platform::MainQueue::isMainThread()) {
    restore();
    return;
  }
  platform::MainQueue::async(std::move(restore));
}

void VelmoraPortLink::finishOpening(const std::string& path, bool opened) {
  std::vector<HeldError> pass;
  std::optional<HeldError> failure;
  {
    std::lock_guard<std::mutex> g(stateMutex_);
    auto it = openings_.find(path);
    if (it == openings_.end()) return;
    if (opened) {
      pass.swap(it->second.held);
    } else if (!it->second.held.empty()) {
      // The failed attempt's first error, for the owner's record of it; the
      // rest stays held for an overlapping attempt on the same port.
      failure = it->second.held.front();
    }
    if (--it->second.pending <= 0) openings_.erase(it);  // what is still held belongs to failed attempts
  }
  if (failure) {
    std::lock_guard<std::recursive_mutex> g(mutex_);
    if (owner_ != nullptr) owner_->serialPortDidFailToOpen(*failure->port, failure->error);
  }
  for (auto& h : pass) forwardError(*h.port, h.error);
}

void VelmoraPortLink::serialPortWasOpened(ZPRSerialPort& port) {
  {
    std::lock_guard<std::mutex> s(stateMutex_);
    removed_.erase(port.path());
  }
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortWasOpened(port);
}

void VelmoraPortLink::serialPortWasClosed(ZPRSerialPort& port) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortWasClosed(port);
}

void VelmoraPortLink::serialPortWasRemovedFromSystem(ZPRSerialPort& port) {
  {
    std::lock_guard<std::mutex> s(stateMutex_);
    if (!removed_.insert(port.path()).second) return;
  }
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortWasRemovedFromSystem(port);
}

void VelmoraPortLink::serialPortDidEncounterError(ZPRSerialPort& port, const ZPRSerialPortError& error) {
  {
    std::lock_guard<std::mutex> s(stateMutex_);
    auto it = openings_.find(port.path());
    if (it != openings_.end()) {
      it->second.held.push_back({port.shared_from_this(), error});
      return;
    }
  }
  forwardError(port, error);
}

void VelmoraPortLink::forwardError(ZPRSerialPort& port, const ZPRSerialPortError& error) {
  if (busyOnThisThread(this)) {
    platform::MainQueue::async([weak = weak_from_this(), strong = port.shared_from_this(), error] {
      if (auto self = weak.lock()) self->forwardError(*strong, error);
    });
    return;
  }
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortDidEncounterError(port, error);
}

void VelmoraPortLink::serialPortDidReceiveData(ZPRSerialPort& port, std::span<const uint8_t> data) {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (owner_ != nullptr) owner_->serialPortDidReceiveData(port, data);
}

}  // namespace velmora
