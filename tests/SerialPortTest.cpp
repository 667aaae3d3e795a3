// The port object: uniqueness per device, factories, properties and their
// setter rules, equality, the delegate's optional methods, the error value.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <unordered_set>

#include "ZPRSerialPort.h"
#include "support/SerialPortTestSupport.h"

namespace velmora {
namespace {

using platform::Device;
using platform::DeviceRef;

DeviceRef makeDevice(const std::string& callout, std::vector<std::string> others, const std::string& name) {
  return std::make_shared<const Device>(callout, std::move(others), name);
}

class FixedSource : public platform::DeviceSource {
 public:
  explicit FixedSource(std::vector<DeviceRef> devices) : devices_(std::move(devices)) {}
  std::vector<DeviceRef> enumerate() override { return devices_; }
  void start(ChangeHandler) override {}
  void stop() override {}

 private:
  std::vector<DeviceRef> devices_;
};

TEST(SerialPortIdentity, OnePortPerCalloutPathWhateverPathOrDeviceFindsIt) {
  auto device = makeDevice("/dev/cu.test-a", {"/dev/tty.test-a"}, "TestA");
  std::vector<std::unique_ptr<platform::DeviceSource>> sources;
  sources.push_back(std::make_unique<FixedSource>(std::vector<DeviceRef>{device}));
  platform::DeviceRegistry registry(std::move(sources));

  auto byDevice = ZPRSerialPort::serialPortWithDevice(device);
  auto byCallout = ZPRSerialPort::serialPortWithPath("/dev/cu.test-a", registry);
  auto byDialin = ZPRSerialPort::serialPortWithPath("/dev/tty.test-a", registry);
  // A second description of the same device also finds the existing port.
  auto byOtherDescription = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.test-a", {}, "Other"));
  ASSERT_NE(byDevice, nullptr);
  EXPECT_EQ(byCallout, byDevice);
  EXPECT_EQ(byDialin, byDevice);
  EXPECT_EQ(byOtherDescription, byDevice);
  EXPECT_EQ(byDevice->path(), "/dev/cu.test-a");
  EXPECT_EQ(byDevice->name(), "TestA");
  EXPECT_EQ(ZPRSerialPort::existingPortWithPath("/dev/cu.test-a"), byDevice);
  // Only the callout path is a port's identity.
  EXPECT_EQ(ZPRSerialPort::existingPortWithPath("/dev/tty.test-a"), nullptr);

  EXPECT_EQ(ZPRSerialPort::serialPortWithPath("/dev/cu.nothing", registry), nullptr);
  EXPECT_EQ(ZPRSerialPort::serialPortWithPath("", registry), nullptr);
}

TEST(SerialPortIdentity, NullDeviceIsRefusedWithALogicError) {
  try {
    ZPRSerialPort::serialPortWithDevice(nullptr);
    FAIL() << "expected std::logic_error";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "-[ZPRSerialPort initWithDevice:] requires non-zero device argument.");
  }
}

TEST(SerialPortIdentity, DestroyedPortsLeaveTheListAndAFreshOneIsMade) {
  auto device = makeDevice("/dev/cu.test-gone", {}, "Gone");
  std::weak_ptr<ZPRSerialPort> weak;
  {
    auto port = ZPRSerialPort::serialPortWithDevice(device);
    weak = port;
    auto all = ZPRSerialPort::allSerialPorts();
    EXPECT_NE(std::find(all.begin(), all.end(), port), all.end());
  }
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(ZPRSerialPort::existingPortWithPath("/dev/cu.test-gone"), nullptr);
  for (auto& p : ZPRSerialPort::allSerialPorts()) EXPECT_NE(p->path(), "/dev/cu.test-gone");
  auto again = ZPRSerialPort::serialPortWithDevice(device);
  EXPECT_EQ(again->path(), "/dev/cu.test-gone");
}

TEST(SerialPortIdentity, ConcurrentFactoriesAgreeOnOneObject) {
  constexpr int kThreads = 8;
  std::atomic<bool> go{false};
  std::vector<std::shared_ptr<ZPRSerialPort>> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      for (int round = 0; round < 200; ++round) {
        // Make and drop ports of other paths meanwhile, so that destructors
        // race with lookups.
        auto scratch = ZPRSerialPort::serialPortWithDevice(
            makeDevice("/dev/cu.scratch" + std::to_string(i % 2), {}, "Scratch"));
        results[i] = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.shared", {}, "Shared"));
      }
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  for (auto& r : results) EXPECT_EQ(r, results[0]);
}

TEST(SerialPortObject, InitialValuesEqualityHashAndDescription) {
  auto port = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.init", {"/dev/tty.init"}, "InitPort"));
  EXPECT_EQ(port->description(), "InitPort");
  EXPECT_EQ(port->baudRate(), 19200u);
  EXPECT_EQ(port->numberOfStopBits(), 1u);
  EXPECT_EQ(port->parity(), 0u);
  EXPECT_FALSE(port->shouldEchoReceivedData());
  EXPECT_FALSE(port->usesRTSCTSFlowControl());
  EXPECT_FALSE(port->usesDTRDSRFlowControl());
  EXPECT_FALSE(port->usesDCDOutputFlowControl());
  EXPECT_FALSE(port->RTS() || port->DTR() || port->CTS() || port->DSR() || port->DCD());
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(port->fileDescriptor(), 0);
  EXPECT_TRUE(port->receiveBuffer().empty());
  EXPECT_TRUE(port->requestsQueue().empty());
  EXPECT_EQ(port->pendingRequest(), nullptr);
  EXPECT_FALSE(port->hasPendingRequestTimeoutTimer());
  EXPECT_FALSE(port->hasPinPollTimer());
  EXPECT_FALSE(port->originalPortAttributes().has_value());
  EXPECT_EQ(port->delegate(), nullptr);

  auto other = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.other", {}, "InitPort"));
  EXPECT_TRUE(*port == *port);
  EXPECT_FALSE(*port == *other);  // same name, other path
  EXPECT_EQ(std::hash<ZPRSerialPort>{}(*port), std::hash<std::string>{}("/dev/cu.init"));
  EXPECT_EQ(port->hash(), std::hash<std::string>{}(port->path()));

  auto device = port->IOKitDevice();
  EXPECT_EQ(ZPRSerialPort::bsdCalloutPathFromDevice(device), "/dev/cu.init");
  EXPECT_EQ(ZPRSerialPort::bsdDialinPathFromDevice(device), "/dev/tty.init");
  EXPECT_EQ(ZPRSerialPort::modemNameFromDevice(device), "InitPort");
  EXPECT_EQ(ZPRSerialPort::serviceTypeFromDevice(device), "IOSerialStream");
  EXPECT_EQ(ZPRSerialPort::stringPropertyOf(device, "NoSuchKey"), std::nullopt);
  EXPECT_EQ(ZPRSerialPort::bsdDialinPathFromDevice(other->IOKitDevice()), std::nullopt);
}

TEST(SerialPortObject, SettersStoreByTheirRulesAndAnnounceOnlyChanges) {
  auto port = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.setters", {}, "Setters"));
  std::vector<std::string> changes;
  for (const char* key : {"baudRate", "parity", "numberOfStopBits", "RTS", "CTS", "usesRTSCTSFlowControl"})
    port->addObserver(key, [&](const platform::Change& c) { changes.push_back(c.key); });

  port->setBaudRate(19200);
  port->setParity(0);
  port->setParity(7);  // out of range on a port without parity: stores 0, no change
  port->setNumberOfStopBits(1);
  port->setRTS(false);
  port->setCTS(false);
  port->setUsesRTSCTSFlowControl(false);
  EXPECT_TRUE(changes.empty());

  port->setParity(2);
  EXPECT_EQ(port->parity(), 2u);
  port->setParity(3);
  EXPECT_EQ(port->parity(), 0u);
  port->setBaudRate(9600);
  port->setNumberOfStopBits(5);
  port->setRTS(true);
  port->setCTS(true);
  port->setUsesRTSCTSFlowControl(true);
  EXPECT_EQ(changes, (std::vector<std::string>{"parity", "parity", "baudRate", "numberOfStopBits", "RTS", "CTS",
                                               "usesRTSCTSFlowControl"}));
  EXPECT_EQ(port->baudRate(), 9600u);
  EXPECT_EQ(port->numberOfStopBits(), 5u);
  EXPECT_TRUE(port->RTS());
  EXPECT_TRUE(port->usesRTSCTSFlowControl());
  // Flow-control changes on a closed port neither open nor close it.
  EXPECT_FALSE(port->isOpen());
}

struct OnlyOpened : ZPRSerialPortDelegateBase<OnlyOpened> {
  void serialPortWasOpened(ZPRSerialPort&) override {}
};
struct DataAndErrors : ZPRSerialPortDelegateBase<DataAndErrors> {
  void serialPortWasOpened(ZPRSerialPort&) override {}
  void serialPortDidReceiveData(ZPRSerialPort&, std::span<const uint8_t>) override {}
  void serialPortDidEncounterError(ZPRSerialPort&, const ZPRSerialPortError&) override {}
};
struct Intermediate : ZPRSerialPortDelegateBase<struct Leaf> {
  void serialPortWasOpened(ZPRSerialPort&) override {}
  void serialPortWasRemovedFromSystem(ZPRSerialPort&) override {}
};
struct Leaf : Intermediate {
  void serialPortRequestDidTimeout(ZPRSerialPort&, const std::shared_ptr<ZPRSerialRequest>&) override {}
};
struct Direct : ZPRSerialPortDelegate {
  void serialPortWasOpened(ZPRSerialPort&) override {}
};

TEST(SerialPortDelegate, ImplementedOptionalMethodsFollowTheOverrides) {
  using D = ZPRSerialPortDelegate;
  EXPECT_EQ(OnlyOpened{}.implementedOptionalMethods(), 0u);
  EXPECT_EQ(DataAndErrors{}.implementedOptionalMethods(), D::kSerialPortDidReceiveData | D::kSerialPortDidEncounterError);
  EXPECT_EQ(Leaf{}.implementedOptionalMethods(), D::kSerialPortWasRemovedFromSystem | D::kSerialPortRequestDidTimeout);
  EXPECT_TRUE(Leaf{}.implements(D::kSerialPortRequestDidTimeout));
  EXPECT_FALSE(Leaf{}.implements(D::kSerialPortWasClosed));
  EXPECT_EQ(Direct{}.implementedOptionalMethods(), static_cast<uint32_t>(D::kAllOptionalMethods));
  EXPECT_EQ(test::RecordingDelegate{}.implementedOptionalMethods(), static_cast<uint32_t>(D::kAllOptionalMethods));
}

TEST(SerialPortDelegate, HeldWeaklyAndErrorsReportedDirectlyOnTheMainThread) {
  auto port = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.weak", {}, "Weak"));
  auto delegate = std::make_shared<test::RecordingDelegate>();
  port->setDelegate(delegate);
  EXPECT_EQ(port->delegate(), delegate);

  errno = EBUSY;
  port->notifyDelegateOfPosixError();  // the test thread is the main thread: delivered at once
  ASSERT_EQ(delegate->count("error"), 1u);
  auto event = delegate->events()[0];
  EXPECT_EQ(event.errorCode, EBUSY);
  EXPECT_TRUE(event.onMainThread);
  EXPECT_EQ(delegate->lastErrorPath, "/dev/cu.weak");
  EXPECT_EQ(delegate->lastErrorDomain, "NSPOSIXErrorDomain");

  // From another thread, waiting: done by the time the call returns.
  std::thread reporter([&] {
    errno = EPERM;
    port->notifyDelegateOfPosixErrorWaitingUntilDone(true);
  });
  ASSERT_TRUE(test::runMainUntil([&] { return delegate->count("error") == 2; }));
  reporter.join();
  EXPECT_EQ(delegate->events()[1].errorCode, EPERM);
  EXPECT_TRUE(delegate->events()[1].onMainThread);

  delegate.reset();
  EXPECT_EQ(port->delegate(), nullptr);
  errno = EIO;
  port->notifyDelegateOfPosixError();  // nobody to tell: nothing happens
}

TEST(SerialPortError, CarriesDomainCodeTextAndPath) {
  auto error = ZPRSerialPortError::fromErrno(ENXIO, "/dev/ttyUSB0");
  EXPECT_EQ(error.domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(error.code, ENXIO);
  EXPECT_EQ(error.localizedDescription, std::string(strerror(ENXIO)));
  EXPECT_EQ(error.filePath, "/dev/ttyUSB0");
  EXPECT_EQ(error.description(), std::string(strerror(ENXIO)) + " (NSPOSIXErrorDomain error " +
                                     std::to_string(ENXIO) + ", /dev/ttyUSB0)");
}

}  // namespace
}  // namespace velmora
