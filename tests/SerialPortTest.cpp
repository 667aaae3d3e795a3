// The port object: one per device, setter rules, equality, the delegate's optional methods and errors.
#include <gtest/gtest.h>

#include <thread>

#include "support/SerialPortTestSupport.h"

namespace velmora {
namespace {

using platform::DeviceRef;

DeviceRef makeDevice(const std::string& callout, std::vector<std::string> others = {}, const std::string& name = "T") {
  return std::make_shared<const platform::Device>(callout, std::move(others), name);
}

TEST(SerialPortIdentity, OnePortPerCalloutPathWhateverPathOrDeviceFindsIt) {
  auto port = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.test-a", {"/dev/tty.test-a"}, "TestA"));
  EXPECT_EQ(ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.test-a")), port);
  EXPECT_EQ(ZPRSerialPort::existingPortWithPath("/dev/tty.test-a"), nullptr);  // only the callout path is identity
  EXPECT_EQ(port->description(), "TestA");
  EXPECT_FALSE(*port == *ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.other", {}, "TestA")));  // by path
  EXPECT_EQ(std::hash<ZPRSerialPort>{}(*port), std::hash<std::string>{}("/dev/cu.test-a"));
  try {
    ZPRSerialPort::serialPortWithDevice(nullptr);
    ADD_FAILURE() << "a null device was accepted";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "-[ZPRSerialPort initWithDevice:] requires non-zero device argument.");
  }
  port.reset();  // a destroyed port leaves the list
  EXPECT_EQ(ZPRSerialPort::existingPortWithPath("/dev/cu.test-a"), nullptr);
  for (auto& p : ZPRSerialPort::allSerialPorts()) EXPECT_NE(p->path(), "/dev/cu.test-a");
}

TEST(SerialPortObject, SettersStoreByTheirRulesAndAnnounceOnlyChanges) {
  auto port = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.setters"));
  std::vector<std::string> changes;
  for (const char* key : {"baudRate", "parity", "numberOfStopBits", "RTS", "CTS", "usesRTSCTSFlowControl"})
    port->addObserver(key, [&](const platform::Change& c) { changes.push_back(c.key); });
  port->setBaudRate(19200), port->setParity(7), port->setNumberOfStopBits(1);  // parity 3 and above stores 0
  port->setRTS(false), port->setCTS(false), port->setUsesRTSCTSFlowControl(false);
  EXPECT_TRUE(changes.empty());  // every one the stored value
  port->setParity(2), port->setParity(3), port->setBaudRate(9600), port->setNumberOfStopBits(5);
  port->setRTS(true), port->setCTS(true), port->setUsesRTSCTSFlowControl(true);  // closed: neither opens nor closes
  EXPECT_EQ(changes, (std::vector<std::string>{"parity", "parity", "baudRate", "numberOfStopBits", "RTS", "CTS",
                                               "usesRTSCTSFlowControl"}));
  EXPECT_EQ(std::make_tuple(port->parity(), port->baudRate(), port->numberOfStopBits(), port->isOpen()),
            std::make_tuple(uint64_t{0}, 9600u, uint64_t{5}, false));
}

TEST(SerialPortIdentity, ConcurrentFactoriesAgreeOnOneObjectAndErrorsPrintWhatTheyCarry) {
  std::vector<std::shared_ptr<ZPRSerialPort>> results(6);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 200; ++round) {  // ports of other paths come and go meanwhile
        auto scratch = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.scratch" + std::to_string(i % 2)));
        results[i] = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.shared"));
      }
    });
  }
  for (auto& t : threads) t.join();
  for (auto& r : results) EXPECT_EQ(r, results[0]);
  EXPECT_EQ(ZPRSerialPortError::fromErrno(ENXIO, "/dev/ttyUSB0").description(),
            std::string(strerror(ENXIO)) + " (NSPOSIXErrorDomain error " + std::to_string(ENXIO) + ", /dev/ttyUSB0)");
}

struct OnlyRemoval : ZPRSerialPortDelegateBase<OnlyRemoval> {
  void serialPortWasOpened(ZPRSerialPort&) override {}
  void serialPortWasRemovedFromSystem(ZPRSerialPort&) override {}
};

TEST(SerialPortDelegate, OptionalMethodsFollowTheOverridesAndAReportFromAnotherThreadWaits) {
  EXPECT_EQ(OnlyRemoval{}.implementedOptionalMethods(), ZPRSerialPortDelegate::kSerialPortWasRemovedFromSystem);
  auto port = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.weak"));
  auto delegate = std::make_shared<test::RecordingDelegate>();
  port->setDelegate(delegate);
  std::atomic<bool> returned{false};
  std::thread reporter([&] {
    errno = EPERM;
    port->notifyDelegateOfPosixErrorWaitingUntilDone(true);
    returned = delegate->count("error") == 1;  // already delivered on the main thread
  });
  ASSERT_TRUE(test::runMainUntil([&] { return returned.load(); }));
  reporter.join();
  EXPECT_EQ(delegate->events()[0].errorCode, EPERM);
  EXPECT_TRUE(delegate->allOnMainThread());
}

}  // namespace
}  // namespace velmora
