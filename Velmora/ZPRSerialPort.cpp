#include "ZPRSerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <stdexcept>
#include <utility>

#include "platform/BackgroundQueue.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/TerminalIO.h"
#include "platform/TimerSource.h"

namespace velmora {

using platform::MainQueue;

// One opening of the device: the descriptor and the calls that reach it.  The
// read loop and the pin poll of an opening hold it and compare it with the
// port's current opening, so that they serve only the opening that started
// them, even after a quick close and reopen.
struct ZPRSerialPort::Opening {
  // Takes over `wake`, an eventfd.
  Opening(int descriptor, std::shared_ptr<platform::TerminalIO> terminal, int wake)
      : fd(descriptor), io(std::move(terminal)), wakeFd(wake) {}
  ~Opening() { ::close(wakeFd); }
  Opening(const Opening&) = delete;
  Opening& operator=(const Opening&) = delete;

  const int fd;
  const std::shared_ptr<platform::TerminalIO> io;
  std::atomic<bool> hasModemLines{true};
  // Set by whoever first handles the device's removal during this opening.
  std::atomic<bool> removalClaimed{false};
  std::weak_ptr<platform::TimerSource> pollTimer;

  // Made readable once, by close(), and never drained: every wait of this
  // opening (the read loop's, a blocked write's) watches it and ends.
  const int wakeFd;
  std::atomic<bool> closing{false};

  void shutDown() {
    closing.store(true);
    uint64_t one = 1;
    (void)!::write(wakeFd, &one, sizeof one);
    std::lock_guard<std::mutex> g(creditMutex);
    creditAvailable.notify_all();
  }

  // Back-pressure.  `undelivered` is what the read loop has handed to the
  // main queue and the main thread has not yet taken: each chunk's bytes plus
  // kChunkBookkeepingBytes.  At kMaximumUndeliveredBytes the loop stops
  // reading until the main thread has brought it down to half.
  std::mutex creditMutex;
  std::condition_variable creditAvailable;
  size_t undelivered = 0;
  bool readerWaiting = false;

  // False once the opening closes.
  bool awaitCredit() {
    std::unique_lock<std::mutex> g(creditMutex);
    if (undelivered < kMaximumUndeliveredBytes) return !closing.load();
    readerWaiting = true;
    creditAvailable.wait(g, [&] { return undelivered <= kMaximumUndeliveredBytes / 2 || closing.load(); });
    readerWaiting = false;
    return !closing.load();
  }
  void take(size_t cost) {
    std::lock_guard<std::mutex> g(creditMutex);
    undelivered += cost;
  }
  void giveBack(size_t cost) {
    std::lock_guard<std::mutex> g(creditMutex);
    undelivered -= cost;
    if (readerWaiting && undelivered <= kMaximumUndeliveredBytes / 2) creditAvailable.notify_one();
  }
};

namespace {

constexpr auto kPinPollInterval = std::chrono::milliseconds(10);
constexpr auto kPinPollLeeway = std::chrono::milliseconds(5);

// The errnos with which Linux says that the device is no longer there.
bool isDeviceGoneError(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

// The errnos of a terminal without modem lines (a pseudo-terminal).
bool isNoModemLinesError(int err) { return err == ENOTTY || err == EINVAL; }

std::optional<speed_t> standardSpeed(uint32_t rate) {
  switch (rate) {
    case 0: return B0;
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 2500000: return B2500000;
    case 3000000: return B3000000;
    case 3500000: return B3500000;
    case 4000000: return B4000000;
    default: return std::nullopt;
  }
}

// The process-wide list of live ports.  Each entry keeps the port's path, so
// that a lookup locks only the weak reference it returns: a temporary strong
// reference released under the mutex could destroy a port, whose destructor
// takes the mutex again.
struct PortList {
  struct Entry {
    const ZPRSerialPort* port;
    std::string path;
    std::weak_ptr<ZPRSerialPort> reference;
  };
  std::mutex mutex;
  std::vector<Entry> entries;

  std::shared_ptr<ZPRSerialPort> findLocked(const std::string& path) {
    for (auto& entry : entries) {
      if (entry.path != path) continue;
      if (auto port = entry.reference.lock()) return port;
    }
    return nullptr;
  }
};

PortList& allPorts() {
  // Never destroyed: ports may be released while the process exits.
  static PortList* list = new PortList;
  return *list;
}

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
    auto& list = allPorts();
    std::lock_guard<std::mutex> g(list.mutex);
    std::erase_if(list.entries, [this](const PortList::Entry& e) { return e.port == this; });
  }
  if (pinPollTimer_) pinPollTimer_->cancel();
  if (pendingRequestTimeoutTimer_) pendingRequestTimeoutTimer_->loop->cancelTimer(pendingRequestTimeoutTimer_->id);
}

std::shared_ptr<ZPRSerialPort> ZPRSerialPort::serialPortWithDevice(platform::DeviceRef device) {
  if (!device) throw std::logic_error("-[ZPRSerialPort initWithDevice:] requires non-zero device argument.");
  const std::string callout = bsdCalloutPathFromDevice(device).value_or(std::string());
  auto& list = allPorts();
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
  auto& list = allPorts();
  std::lock_guard<std::mutex> g(list.mutex);
  return list.findLocked(path);
}

std::vector<std::shared_ptr<ZPRSerialPort>> ZPRSerialPort::allSerialPorts() {
  std::vector<std::shared_ptr<ZPRSerialPort>> ports;
  auto& list = allPorts();
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
  auto opening = std::make_shared<Opening>(fd, io, wakeFd);
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
  cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 2;
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS8;

  switch (parity_.load()) {
    case 2: t.c_cflag = (t.c_cflag | PARENB) & ~PARODD; break;
    case 1: t.c_cflag |= PARENB | PARODD; break;
    default: t.c_cflag &= ~PARENB; break;
  }
  if (numberOfStopBits_ > 1) {
    t.c_cflag |= CSTOPB;
  } else {
    t.c_cflag &= ~CSTOPB;
  }
  if (shouldEchoReceivedData_) {
    t.c_lflag |= ECHO;
  } else {
    t.c_lflag &= ~ECHO;
  }
  if (usesRTSCTSFlowControl_) {
    t.c_cflag |= CRTSCTS;
  } else {
    t.c_cflag &= ~CRTSCTS;
  }
  // DTR/DSR and DCD output flow control have no termios flags on Linux.
  t.c_cflag |= CREAD | HUPCL | CLOCAL;
  t.c_lflag &= ~(ICANON | ISIG);

  const uint32_t rate = baudRate_;
  const auto speed = standardSpeed(rate);
  // A rate cfsetspeed does not know is set afterwards through termios2;
  // meanwhile the record carries a valid placeholder.
  cfsetspeed(&t, speed.value_or(B38400));

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

// ------------------------------------------------------------ removal

void ZPRSerialPort::cleanup() {
  logMessage(
      "Cleanup is deprecated and was never intended to be called publicly. You should update your code to avoid "
      "calling this method.");
  cleanupAfterSystemRemoval();
}

void ZPRSerialPort::cleanupAfterSystemRemoval() {
  // The pin poll or the read loop may have handled this opening's removal
  // already, possibly closing the port: the delegate hears of it once.
  auto opening = currentOpening();
  if (opening && opening->removalClaimed.exchange(true)) return;
  if (!opening && removalReported_.load()) return;
  handleRemoval();
}

void ZPRSerialPort::handleRemoval() {
  removalReported_.store(true);
  auto current = delegate();
  if (current && current->implements(ZPRSerialPortDelegate::kSerialPortWasRemovedFromSystem)) {
    current.reset();
    MainQueue::async([self = shared_from_this()] {
      auto d = self->delegate();
      if (d && d->implements(ZPRSerialPortDelegate::kSerialPortWasRemovedFromSystem))
        d->serialPortWasRemovedFromSystem(*self);
      self->close();
    });
    return;
  }
  close();
}

// Called by the read loop or the pin poll of `opening` when the device has
// gone: the error (waited for), then the removal, once per opening.
void ZPRSerialPort::deviceHasGone(const std::shared_ptr<Opening>& opening, int errnoValue) {
  if (opening->removalClaimed.exchange(true)) return;
  reportError(errnoValue, true);
  if (currentOpening() != opening) return;  // closed meanwhile: nothing left to do
  handleRemoval();
}

// ------------------------------------------------------------ read loop and pin poll

void ZPRSerialPort::readLoop(const std::shared_ptr<Opening>& opening) {
  const int fd = opening->fd;
  auto& io = *opening->io;
  uint8_t buffer[kMaximumReadLength];
  // No time-out: close() wakes the wait, and a vanished device shows as a
  // hang-up, so an idle port costs no wake-ups.
  while (opening->awaitCredit()) {
    int ready = io.wait(fd, POLLIN, opening->wakeFd, -1);
    int waitError = errno;
    if (opening->closing) return;  // closed during the wait: nothing to report
    if (ready < 0) {
      if (waitError != EINTR) reportError(waitError, false);
      continue;
    }
    if (ready == 0) continue;

    ssize_t count;
    int readError;
    {
      std::shared_lock<std::shared_mutex> d(descriptorMutex_);
      if (opening_ != opening) return;
      count = io.read(fd, buffer, sizeof buffer);  // non-blocking
      readError = errno;
    }
    if (count > 0) {
      receiveData(opening, {buffer, static_cast<size_t>(count)});
      continue;
    }
    // A readable descriptor that yields end of file has hung up.
    if (count == 0 || isDeviceGoneError(readError)) {
      deviceHasGone(opening, count == 0 ? ENXIO : readError);
      return;
    }
    // Any other failed read is passing: EAGAIN when another reader of the
    // tty took the bytes first, EINTR.  The loop waits again.
  }
}

void ZPRSerialPort::pollModemLines(const std::shared_ptr<Opening>& opening) {
  if (opening->removalClaimed) return;
  int bits = 0;
  int result;
  int err;
  {
    std::shared_lock<std::shared_mutex> d(descriptorMutex_);
    if (opening_ != opening) {
      d.unlock();
      if (auto timer = opening->pollTimer.lock()) timer->cancel();
      return;
    }
    result = opening->io->getModemLines(opening->fd, &bits);
    err = errno;
  }
  if (result != 0) {
    if (isNoModemLinesError(err)) {
      opening->hasModemLines = false;
      if (auto timer = opening->pollTimer.lock()) timer->cancel();
    } else if (isDeviceGoneError(err)) {
      deviceHasGone(opening, err);
    } else {
      reportError(err, false);
    }
    return;
  }
  const bool cts = (bits & TIOCM_CTS) != 0;
  const bool dsr = (bits & TIOCM_DSR) != 0;
  const bool dcd = (bits & TIOCM_CAR) != 0;
  if (cts != CTS_) MainQueue::sync([&] { setCTS(cts); });
  if (dsr != DSR_) MainQueue::sync([&] { setDSR(dsr); });
  if (dcd != DCD_) MainQueue::sync([&] { setDCD(dcd); });
}

// ------------------------------------------------------------ receiving and requests

void ZPRSerialPort::receiveData(const std::shared_ptr<Opening>& opening, std::span<const uint8_t> chunk) {
  // One receive path at a time (a closing opening's loop may still be here
  // when the next opening's starts): only this path changes the buffer's
  // bytes in place, so the evaluator below may read them without a lock.
  std::lock_guard<std::mutex> receiving(receiveMutex_);

  // Always queued: the delegate is looked up when the call runs, so a
  // delegate set just after open() still gets the first chunks.  The chunk's
  // cost goes back to the read loop once the main thread has taken it.
  const size_t cost = chunk.size() + kChunkBookkeepingBytes;
  opening->take(cost);
  MainQueue::async([self = shared_from_this(), opening, cost, data = std::vector<uint8_t>(chunk.begin(), chunk.end())] {
    struct GiveBack {
      Opening& opening;
      size_t cost;
      ~GiveBack() { opening.giveBack(cost); }
    } giveBack{*opening, cost};
    auto d = self->delegate();
    if (d && d->implements(ZPRSerialPortDelegate::kSerialPortDidReceiveData)) d->serialPortDidReceiveData(*self, data);
  });

  std::shared_ptr<ZPRSerialRequest> request;
  std::shared_ptr<std::vector<uint8_t>> gathered;
  uint64_t serial = 0;
  {
    std::lock_guard<std::mutex> g(stateMutex_);
    if (!receiveBuffer_) receiveBuffer_ = std::make_shared<std::vector<uint8_t>>();
    auto& buffer = *receiveBuffer_;
    buffer.insert(buffer.end(), chunk.begin(), chunk.end());
    if (pendingRequest_ && !pendingRequestAnswered_) {
      request = pendingRequest_;
      serial = pendingRequestSerial_;
      gathered = receiveBuffer_;
    } else if (buffer.size() > 2 * kUnsolicitedReceiveLimit) {
      // Trimmed to the newest bytes only now and then, so that each chunk
      // costs a bounded amount of copying.
      buffer.erase(buffer.begin(), buffer.end() - static_cast<std::ptrdiff_t>(kUnsolicitedReceiveLimit));
    }
  }
  didChange("receiveBuffer");
  if (!request) return;

  const bool accepted = request->dataIsValidResponse(*gathered);
  if (!accepted && gathered->size() < kMaximumResponseLength) return;
  {
    std::lock_guard<std::mutex> g(stateMutex_);
    // Answered meanwhile (timed out) or replaced: this verdict is stale.
    if (pendingRequestSerial_ != serial || pendingRequestAnswered_) return;
    pendingRequestAnswered_ = true;
    cancelTimeoutTimerLocked();
  }
  didChange("pendingRequestTimeoutTimer");
  if (accepted) {
    MainQueue::async([self = shared_from_this(), serial, request, response = *gathered] {
      self->handOverResponse(serial, request, response);
    });
    return;
  }
  // The answer would outgrow the buffer's bound: the request ends as if it
  // had timed out, and the buffer starts afresh.
  logMessage("No response from %s within %zu bytes; the request times out", description().c_str(),
             kMaximumResponseLength);
  MainQueue::async([self = shared_from_this(), serial, request] { self->finishTimedOutRequest(serial, request); });
}

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
  didChange("requestsQueue");
  didChange("pendingRequest");
  didChange("pendingRequestTimeoutTimer");
  sendData(next->dataToSend());
}

}  // namespace velmora
