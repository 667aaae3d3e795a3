// The port object: its factories, properties, delegate calls, opening and
// closing.  The read loop, removal and receive path live in
// internal/SerialPortReadLoop.cpp, the request queue and writes in
// internal/SerialPortRequests.cpp.
#include "ZPRSerialPort.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "internal/SerialLineSettings.h"
#include "internal/SerialOpening.h"
#include "internal/SerialPortList.h"
#include "platform/BackgroundQueue.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/TerminalIO.h"
#include "platform/TimerSource.h"

namespace velmora {

using internal::isNoModemLinesError;
using internal::SerialPortList;
using platform::MainQueue;

namespace {

constexpr auto kPinPollInterval = std::chrono::milliseconds(10);
constexpr auto kPinPollLeeway = std::chrono::milliseconds(5);

}  // namespace


// ------------------------------------------------------------ construction

ZPRSerialPort::ZPRSerialPort(platform::DeviceRef device)
    : IOKitDevice_(std::move(device)),
      path_(bsdCalloutPathFromDevice(IOKitDevice_).value_or(std::string())),
      name_(modemNameFromDevice(IOKitDevice_).value_or(std::string())),
      terminalIO_(platform::TerminalIO::system()) {
  declareDependency("isOpen", "fileDescriptor");
}

ZPRSerialPort::~ZPRSerialPort() {
  {
    auto& list = SerialPortList::shared();
    std::lock_guard<std::mutex> g(list.mutex);
    std::erase_if(list.entries, [this](const SerialPortList::Entry& e) { return e.port == this; });
  }
  if (pinPollTimer_) pinPollTimer_->cancel();
  if (pendingRequestTimeoutTimer_) pendingRequestTimeoutTimer_->loop->cancelTimer(pendingRequestTimeoutTimer_->id);
}

std::shared_ptr<ZPRSerialPort> ZPRSerialPort::serialPortWithDevice(platform::DeviceRef device) {
  if (!device) throw std::logic_error("-[ZPRSerialPort initWithDevice:] requires non-zero device argument.");
  const std::string callout = bsdCalloutPathFromDevice(device).value_or(std::string());
  auto& list = SerialPortList::shared();
  std::lock_guard<std::mutex> g(list.mutex);
  if (auto existing = list.findLocked(callout)) return existing;
  std::shared_ptr<ZPRSerialPort> port(new ZPRSerialPort(std::move(device)));
  list.entries.push_back({port.get(), port->path_, port});
  return port;
}

std::shared_ptr<ZPRSerialPort> ZPRSerialPort::serialPortWithPath(const std::string& path) {
  return serialPortWithPath(path, platform::DeviceRegistry::shared());
}

std::shared_ptr<ZPRSerialPort> ZPRSerialPort::serialPortWithPath(const std::string& path,
                                                                 platform::DeviceRegistry& registry) {
  if (path.empty()) return nullptr;
  auto device = registry.deviceFromPath(path);
  if (!device) return nullptr;
  return serialPortWithDevice(std::move(device));
}

std::shared_ptr<ZPRSerialPort> ZPRSerialPort::existingPortWithPath(const std::string& path) {
  auto& list = SerialPortList::shared();
  std::lock_guard<std::mutex> g(list.mutex);
  return list.findLocked(path);
}

std::vector<std::shared_ptr<ZPRSerialPort>> ZPRSerialPort::allSerialPorts() {
  std::vector<std::shared_ptr<ZPRSerialPort>> ports;
  auto& list = SerialPortList::shared();
  std::lock_guard<std::mutex> g(list.mutex);
  ports.reserve(list.entries.size());
  for (auto& entry : list.entries) {
    if (auto port = entry.reference.lock()) ports.push_back(std::move(port));
  }
  return ports;  // the strong references are released by the caller, outside the mutex
}

platform::DeviceRef ZPRSerialPort::deviceFromBSDPath(const std::string& path) {
  if (path.empty()) return nullptr;
  return platform::DeviceRegistry::shared().deviceFromPath(path);
}

std::optional<std::string> ZPRSerialPort::stringPropertyOf(const platform::DeviceRef& device,
                                                           const std::string& key) {
  if (!device) return std::nullopt;
  return device->stringProperty(key);
}

std::optional<std::string> ZPRSerialPort::bsdCalloutPathFromDevice(const platform::DeviceRef& device) {
  return stringPropertyOf(device, platform::kCalloutDeviceKey);
}

std::optional<std::string> ZPRSerialPort::bsdDialinPathFromDevice(const platform::DeviceRef& device) {
  return stringPropertyOf(device, platform::kDialinDeviceKey);
}

std::optional<std::string> ZPRSerialPort::baseNameFromDevice(const platform::DeviceRef& device) {
  return stringPropertyOf(device, platform::kTTYBaseNameKey);
}

std::optional<std::string> ZPRSerialPort::serviceTypeFromDevice(const platform::DeviceRef& device) {
  return stringPropertyOf(device, platform::kSerialClientTypeKey);
}

std::optional<std::string> ZPRSerialPort::modemNameFromDevice(const platform::DeviceRef& device) {
  return stringPropertyOf(device, platform::kTTYDeviceKey);
}

std::optional<std::string> ZPRSerialPort::suffixFromDevice(const platform::DeviceRef& device) {
  return stringPropertyOf(device, platform::kTTYSuffixKey);
}

size_t ZPRSerialPort::hash() const { return std::hash<std::string>{}(path_); }

// ------------------------------------------------------------ properties

std::shared_ptr<ZPRSerialPortDelegate> ZPRSerialPort::delegate() const {
  std::lock_guard<std::mutex> g(stateMutex_);
  return delegate_.lock();
}

void ZPRSerialPort::setDelegate(const std::shared_ptr<ZPRSerialPortDelegate>& delegate) {
  {
    std::lock_guard<std::mutex> g(stateMutex_);
    delegate_ = delegate;
  }
  didChange("delegate");
}

template <typename T>
void ZPRSerialPort::setLineOption(std::atomic<T>& option, T value, const char* key) {
  std::lock_guard<std::recursive_mutex> g(lifecycleMutex_);
  if (option == value) return;
  option = value;
  didChange(key);
  setPortOptions();
}

void ZPRSerialPort::setBaudRate(uint32_t rate) { setLineOption(baudRate_, rate, "baudRate"); }

void ZPRSerialPort::setNumberOfStopBits(uint64_t count) { setLineOption(numberOfStopBits_, count, "numberOfStopBits"); }

void ZPRSerialPort::setShouldEchoReceivedData(bool echo) {
  setLineOption(shouldEchoReceivedData_, echo, "shouldEchoReceivedData");
}

void ZPRSerialPort::setParity(uint64_t parity) {
  // Compared after mapping, so that an out-of-range value on a port without
  // parity counts as no change.
  setLineOption(parity_, parity < 3 ? parity : uint64_t{0}, "parity");
}

void ZPRSerialPort::setFlowControl(std::atomic<bool>& flag, bool uses, const char* key) {
  std::lock_guard<std::recursive_mutex> g(lifecycleMutex_);
  if (flag == uses) return;
  const bool wasOpen = isOpen();
  close();
  flag = uses;
  didChange(key);
  setPortOptions();
  if (wasOpen) open();
}

void ZPRSerialPort::setUsesRTSCTSFlowControl(bool uses) {
  setFlowControl(usesRTSCTSFlowControl_, uses, "usesRTSCTSFlowControl");
}

void ZPRSerialPort::setUsesDTRDSRFlowControl(bool uses) {
  setFlowControl(usesDTRDSRFlowControl_, uses, "usesDTRDSRFlowControl");
}

void ZPRSerialPort::setUsesDCDOutputFlowControl(bool uses) {
  setFlowControl(usesDCDOutputFlowControl_, uses, "usesDCDOutputFlowControl");
}

void ZPRSerialPort::setOutputLine(std::atomic<bool>& line, int bit, bool level, const char* key) {
  std::lock_guard<std::recursive_mutex> g(lifecycleMutex_);
  if (line == level) return;
  line = level;
  didChange(key);
  driveModemLine(bit, level);
}

void ZPRSerialPort::setRTS(bool level) { setOutputLine(RTS_, TIOCM_RTS, level, "RTS"); }
void ZPRSerialPort::setDTR(bool level) { setOutputLine(DTR_, TIOCM_DTR, level, "DTR"); }

void ZPRSerialPort::storeInputLine(std::atomic<bool>& line, bool level, const char* key) {
  if (line.exchange(level) == level) return;
  didChange(key);
}

void ZPRSerialPort::setCTS(bool level) { storeInputLine(CTS_, level, "CTS"); }
void ZPRSerialPort::setDSR(bool level) { storeInputLine(DSR_, level, "DSR"); }
void ZPRSerialPort::setDCD(bool level) { storeInputLine(DCD_, level, "DCD"); }

void ZPRSerialPort::setReadCoalescingInterval(double seconds, ReadDeadline readBy) {
  const double stored =
      std::isfinite(seconds) && seconds > 0 ? std::min(seconds, kLongestReadCoalescingInterval) : 0.0;
  double before;
  {
    std::lock_guard<std::mutex> g(coalescingMutex_);
    readBy_ = stored > 0 && readBy ? std::make_shared<const ReadDeadline>(std::move(readBy)) : nullptr;
    before = readCoalescingInterval_.exchange(stored);
  }
  nudgeReadLoop();
  if (before != stored) didChange("readCoalescingInterval");
}

std::optional<struct termios> ZPRSerialPort::originalPortAttributes() const {
  std::lock_guard<std::recursive_mutex> g(lifecycleMutex_);
  return originalPortAttributes_;
}

bool ZPRSerialPort::hasPinPollTimer() const {
  std::lock_guard<std::recursive_mutex> g(lifecycleMutex_);
  return pinPollTimer_ != nullptr;
}

std::vector<uint8_t> ZPRSerialPort::receiveBuffer() const {
  std::lock_guard<std::mutex> g(stateMutex_);
  if (!receiveBuffer_) return {};
  // While nothing waits for an answer only the newest bytes count (the
  // vector is trimmed lazily, see receiveData).
  const size_t keep = pendingRequest_ && !pendingRequestAnswered_ ? receiveBuffer_->size() : kUnsolicitedReceiveLimit;
  const size_t from = receiveBuffer_->size() > keep ? receiveBuffer_->size() - keep : 0;
  return {receiveBuffer_->begin() + static_cast<std::ptrdiff_t>(from), receiveBuffer_->end()};
}

std::shared_ptr<ZPRSerialRequest> ZPRSerialPort::pendingRequest() const {
  std::lock_guard<std::mutex> g(stateMutex_);
  return pendingRequest_;
}

std::vector<std::shared_ptr<ZPRSerialRequest>> ZPRSerialPort::requestsQueue() const {
  std::lock_guard<std::mutex> g(stateMutex_);
  return {requestsQueue_.begin(), requestsQueue_.end()};
}

bool ZPRSerialPort::hasPendingRequestTimeoutTimer() const {
  std::lock_guard<std::mutex> g(stateMutex_);
  return pendingRequestTimeoutTimer_.has_value();
}

std::shared_ptr<platform::TerminalIO> ZPRSerialPort::terminalIO() const {
  std::lock_guard<std::recursive_mutex> g(lifecycleMutex_);
  return terminalIO_;
}

void ZPRSerialPort::setTerminalIO(std::shared_ptr<platform::TerminalIO> io) {
  std::lock_guard<std::recursive_mutex> g(lifecycleMutex_);
  terminalIO_ = io ? std::move(io) : platform::TerminalIO::system();
}

std::shared_ptr<ZPRSerialPort::Opening> ZPRSerialPort::currentOpening() const {
  std::shared_lock<std::shared_mutex> g(descriptorMutex_);
  return opening_;
}

// ------------------------------------------------------------ delegate calls

void ZPRSerialPort::notifyDelegateOfPosixErrorWaitingUntilDone(bool wait) { reportError(errno, wait); }

void ZPRSerialPort::reportError(int errnoValue, bool wait) {
  auto current = delegate();
  if (!current || !current->implements(ZPRSerialPortDelegate::kSerialPortDidEncounterError)) return;
  auto error = ZPRSerialPortError::fromErrno(errnoValue, path_);
  if (MainQueue::isMainThread()) {
    current->serialPortDidEncounterError(*this, error);
    return;
  }
  current.reset();
  auto task = [self = shared_from_this(), error = std::move(error)] {
    auto d = self->delegate();
    if (d && d->implements(ZPRSerialPortDelegate::kSerialPortDidEncounterError))
      d->serialPortDidEncounterError(*self, error);
  };
  if (wait) {
    MainQueue::sync(task);
  } else {
    MainQueue::async(std::move(task));
  }
}

// Queues `call` on the main queue; it runs on the delegate set at that time,
// if any, and for an optional method only if that delegate implements it.
void ZPRSerialPort::queueDelegateCall(std::function<void(ZPRSerialPortDelegate&, ZPRSerialPort&)> call,
                                      ZPRSerialPortDelegate::OptionalMethod method, bool optional) {
  MainQueue::async([self = shared_from_this(), call = std::move(call), method, optional] {
    auto d = self->delegate();
    if (!d || (optional && !d->implements(method))) return;
    call(*d, *self);
  });
}

// ------------------------------------------------------------ open and close

void ZPRSerialPort::open() {
  std::lock_guard<std::recursive_mutex> g(lifecycleMutex_);
  if (isOpen()) return;
  auto io = terminalIO_;

  int fd = io->open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd == 0) {
    // 0 means "closed" in fileDescriptor; keep the device on a higher number.
    int moved = io->duplicate(0, 1);
    int err = errno;
    io->close(0);
    if (moved < 0) {
      reportError(err, false);
      return;
    }
    fd = moved;
  }
  if (fd < 0) {
    reportError(errno, false);
    return;
  }
  if (io->lock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    io->close(fd);
    reportError(err, false);
    return;
  }
  // Without its wake-up descriptor close() could never end the read loop's
  // wait, which would keep the device open: no opening then.
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    int err = errno;
    io->close(fd);
    reportError(err, false);
    return;
  }
  auto opening = std::make_shared<Opening>(fd, io, wakeFd, kMaximumUndeliveredBytes);
  // Against openers that ignore flock: a second open of the tty now fails
  // with EBUSY unless the opener has CAP_SYS_ADMIN.  A device that refuses
  // (not a tty) keeps only the flock.  The descriptor stays non-blocking,
  // as opened: the read loop and sendData wait with poll, which close() can
  // end.
  io->setExclusive(fd, true);
  {
    std::unique_lock<std::shared_mutex> d(descriptorMutex_);
    opening_ = opening;
    removalReported_.store(false);
    fileDescriptor_ = fd;
  }
  didChange("fileDescriptor");

  struct termios original {};
  if (io->getAttributes(fd, &original) == 0) {
    originalPortAttributes_ = original;
  } else {
    originalPortAttributes_.reset();
  }
  setPortOptions();

  int bits = 0;
  if (io->getModemLines(fd, &bits) != 0) {
    int err = errno;
    bits = 0;
    if (isNoModemLinesError(err)) {
      opening->hasModemLines = false;
    } else {
      reportError(err, false);
    }
  }
  // Show the lines' present levels, then drive each line whose level differs
  // from the request.
  const bool requestedRTS = RTS_;
  const bool requestedDTR = DTR_;
  const bool presentRTS = (bits & TIOCM_RTS) != 0;
  const bool presentDTR = (bits & TIOCM_DTR) != 0;
  if (RTS_.exchange(presentRTS) != presentRTS) didChange("RTS");
  if (DTR_.exchange(presentDTR) != presentDTR) didChange("DTR");
  setRTS(requestedRTS);
  setDTR(requestedDTR);

  queueDelegateCall([](ZPRSerialPortDelegate& d, ZPRSerialPort& port) { d.serialPortWasOpened(port); },
                    ZPRSerialPortDelegate::kAllOptionalMethods, false);

  platform::BackgroundQueue::shared().async([self = shared_from_this(), opening] {
    pthread_setname_np(pthread_self(), "velmora-read");
    self->readLoop(opening);
    pthread_setname_np(pthread_self(), platform::BackgroundQueue::kThreadName);
  });

  if (opening->hasModemLines) {
    std::weak_ptr<ZPRSerialPort> weakSelf = weak_from_this();
    auto timer = std::make_shared<platform::TimerSource>(kPinPollInterval, kPinPollLeeway, [weakSelf, opening] {
      if (auto self = weakSelf.lock()) self->pollModemLines(opening);
    });
    opening->pollTimer = timer;
    pinPollTimer_ = timer;
    didChange("pinPollTimer");
    timer->start();
  }
}

bool ZPRSerialPort::close() {
  std::lock_guard<std::recursive_mutex> g(lifecycleMutex_);
  auto opening = currentOpening();
  if (!opening) return true;
  auto& io = *opening->io;
  const int fd = opening->fd;

  if (pinPollTimer_) {
    pinPollTimer_->cancel();
    pinPollTimer_.reset();
    didChange("pinPollTimer");
  }

  // Without hardware flow control first, so that the drain below cannot wait
  // for a peer that holds CTS low.  Failures here (a vanished device) change
  // nothing about closing.
  struct termios attributes {};
  if (io.getAttributes(fd, &attributes) == 0) {
    attributes.c_cflag &= ~CRTSCTS;
    io.setAttributes(fd, TCSANOW, &attributes);
  }
  if (originalPortAttributes_) io.setAttributes(fd, TCSADRAIN, &*originalPortAttributes_);

  // Wakes the read loop and any write waiting on the device.  Every read,
  // write and ioctl of the opening runs under the shared descriptor lock and
  // none of them blocks, so taking the lock here waits for no device.
  opening->shutDown();
  {
    std::unique_lock<std::shared_mutex> d(descriptorMutex_);
    opening_.reset();
    fileDescriptor_ = 0;
  }
  didChange("fileDescriptor");
  io.setExclusive(fd, false);
  // Unlocked explicitly: a read loop on its way out of poll() still holds the
  // open file (and with it the lock) for a moment, which would refuse an
  // immediate reopen.
  io.lock(fd, LOCK_UN);
  // Linux releases the descriptor even when close() reports an error, so the
  // port is closed either way; the error is still reported.
  if (io.close(fd) != 0) reportError(errno, false);

  queueDelegateCall([](ZPRSerialPortDelegate& d, ZPRSerialPort& port) { d.serialPortWasClosed(port); },
                    ZPRSerialPortDelegate::kSerialPortWasClosed, true);
  return true;
}

void ZPRSerialPort::setPortOptions() {
  std::lock_guard<std::recursive_mutex> g(lifecycleMutex_);
  auto opening = currentOpening();
  if (!opening) return;
  applyOptions(*opening);
}

void ZPRSerialPort::applyOptions(const Opening& opening) {
  auto& io = *opening.io;
  struct termios t {};
  int result = io.getAttributes(opening.fd, &t);
  if (result != 0) {
    logMessage("Unable to set options on %s: %i", description().c_str(), result);
    return;
  }
  const uint32_t rate = baudRate_;
  const auto speed = internal::applyLineSettings(
      t, {rate, numberOfStopBits_.load(), parity_.load(), shouldEchoReceivedData_.load(), usesRTSCTSFlowControl_.load()});

  result = io.setAttributes(opening.fd, TCSANOW, &t);
  if (result == 0 && !speed) result = io.setArbitrarySpeed(opening.fd, rate);
  if (result != 0) logMessage("Unable to set options on %s: %i", description().c_str(), result);
}

void ZPRSerialPort::driveModemLine(int bit, bool level) {
  auto opening = currentOpening();
  if (!opening || !opening->hasModemLines) return;
  auto& io = *opening->io;
  int bits = 0;
  int result = io.getModemLines(opening->fd, &bits);
  if (result == 0) {
    bits = level ? (bits | bit) : (bits & ~bit);
    result = io.setModemLines(opening->fd, &bits);
  }
  if (result != 0) {
    int err = errno;
    if (isNoModemLinesError(err)) {
      opening->hasModemLines = false;
    } else {
      reportError(err, false);
    }
  }
}

}  // namespace velmora
