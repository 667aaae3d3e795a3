// The port object: one per device, its factories, setter rules, equality,
// the delegate's optional methods and how errors reach it.
#include <gtest/gtest.h>

#include <thread>

#include "support/SerialPortTestSupport.h"

namespace velmora {
namespace {

using platform::DeviceRef;

DeviceRef makeDevice(const std::string& callout, std::vector<std::string> others = {}, const std::string& name = "T") {
  return std::make_shared<const platform::Device>(callout, std::move(others), name);
}

struct FixedSource : platform::DeviceSource {
  std::vector<DeviceRef> devices;
  std::vector<DeviceRef> enumerate() override { return devices; }
  void start(ChangeHandler) override {}
  void stop() override {}
};

TEST(SerialPortIdentity, OnePortPerCalloutPathWhateverPathOrDeviceFindsIt) {
  auto device = makeDevice("/dev/cu.test-a", {"/dev/tty.test-a"}, "TestA");
  std::vector<std::unique_ptr<platform::DeviceSource>> sources;
  sources.push_back(std::make_unique<FixedSource>());
  static_cast<FixedSource&>(*sources[0]).devices = {device};
  platform::DeviceRegistry registry(std::move(sources));
  auto port = ZPRSerialPort::serialPortWithDevice(device);
  EXPECT_EQ(ZPRSerialPort::serialPortWithPath("/dev/tty.test-a", registry), port);  // by the further path
  EXPECT_EQ(ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.test-a")), port);
  EXPECT_EQ(ZPRSerialPort::existingPortWithPath("/dev/tty.test-a"), nullptr);  // only the callout path is identity
  EXPECT_EQ(ZPRSerialPort::serialPortWithPath("/dev/cu.nothing", registry), nullptr);
  EXPECT_EQ(port->description(), "TestA");
  auto other = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.other", {}, "TestA"));
  EXPECT_FALSE(*port == *other);  // equal by path, not by name
  EXPECT_EQ(std::hash<ZPRSerialPort>{}(*port), std::hash<std::string>{}("/dev/cu.test-a"));
  try {
    ZPRSerialPort::serialPortWithDevice(nullptr);
    ADD_FAILURE() << "a null device was accepted";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "-[ZPRSerialPort initWithDevice:] requires non-zero device argument.");
  }
  std::weak_ptr<ZPRSerialPort> weak = port;  // a destroyed port leaves the list
  port.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(ZPRSerialPort::existingPortWithPath("/dev/cu.test-a"), nullptr);
  for (auto& p : ZPRSerialPort::allSerialPorts()) EXPECT_NE(p->path(), "/dev/cu.test-a");

  std::vector<std::shared_ptr<ZPRSerialPort>> results(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 200; ++round) {
        auto scratch = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.scratch" + std::to_string(i % 2)));
        results[i] = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.shared"));  // races with destructors
      }
    });
  }
  for (auto& t : threads) t.join();
  for (auto& r : results) EXPECT_EQ(r, results[0]);
}

TEST(SerialPortObject, SettersStoreByTheirRulesAndAnnounceOnlyChanges) {
  auto port = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.setters"));
  std::vector<std::string> changes;
  for (const char* key : {"baudRate", "parity", "numberOfStopBits", "RTS", "CTS", "usesRTSCTSFlowControl"})
    port->addObserver(key, [&](const platform::Change& c) { changes.push_back(c.key); });
  port->setBaudRate(19200);
  port->setParity(7);  // out of range on a port without parity: stores 0, no change
  port->setNumberOfStopBits(1);
  port->setRTS(false);
  port->setCTS(false);
  port->setUsesRTSCTSFlowControl(false);
  EXPECT_TRUE(changes.empty());
  port->setParity(2);
  port->setParity(3);
  port->setBaudRate(9600);
  port->setNumberOfStopBits(5);
  port->setRTS(true);
  port->setCTS(true);
  port->setUsesRTSCTSFlowControl(true);  // on a closed port: neither opens nor closes
  EXPECT_EQ(changes, (std::vector<std::string>{"parity", "parity", "baudRate", "numberOfStopBits", "RTS", "CTS",
                                               "usesRTSCTSFlowControl"}));
  EXPECT_EQ(std::make_tuple(port->parity(), port->baudRate(), port->numberOfStopBits(), port->isOpen()),
            std::make_tuple(uint64_t{0}, 9600u, uint64_t{5}, false));
}

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

TEST(SerialPortDelegate, OptionalMethodsFollowTheOverridesAndErrorsReachTheMainThread) {
  using D = ZPRSerialPortDelegate;
  EXPECT_EQ(Leaf{}.implementedOptionalMethods(), D::kSerialPortWasRemovedFromSystem | D::kSerialPortRequestDidTimeout);
  EXPECT_EQ(Direct{}.implementedOptionalMethods(), static_cast<uint32_t>(D::kAllOptionalMethods));

  auto port = ZPRSerialPort::serialPortWithDevice(makeDevice("/dev/cu.weak"));
  auto delegate = std::make_shared<test::RecordingDelegate>();
  port->setDelegate(delegate);
  errno = EBUSY;
  port->notifyDelegateOfPosixError();  // the test thread is the main thread: delivered at once
  ASSERT_EQ(delegate->count("error"), 1u);
  EXPECT_EQ(delegate->lastErrorPath, "/dev/cu.weak");
  std::atomic<bool> returned{false};
  std::thread reporter([&] {
    errno = EPERM;
    port->notifyDelegateOfPosixErrorWaitingUntilDone(true);
    returned = true;
  });
  ASSERT_TRUE(test::runMainUntil([&] { return returned.load(); }));  // it waited for the main thread
  reporter.join();
  EXPECT_EQ(delegate->events()[1].errorCode, EPERM);
  EXPECT_TRUE(delegate->allOnMainThread());
  delegate.reset();  // held weakly
  EXPECT_EQ(port->delegate(), nullptr);
}

}  // namespace
}  // namespace velmora
