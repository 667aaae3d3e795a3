// The device registry: over in-memory sources, listing and lookup, delivery
// on the subscribing thread's run loop (removals first) and the lifetime of
// subscriptions; its udev source on property sets recorded from real
// machines (which ttys count, their names) and on this machine's sysfs.  (The
// udev events, a Bluetooth channel's moves above all, are PortManagerTest's.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include "platform/DeviceRegistry.h"
#include "platform/RunLoop.h"
#include "platform/UdevDeviceSource.h"
#include "support/TempPty.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;
using Devices = std::vector<DeviceRef>;
using Names = std::vector<std::string>;

DeviceRef device(const std::string& path, std::vector<std::string> others, const std::string& name) {
  return std::make_shared<const Device>(path, std::move(others), name);
}

// An in-memory source that reports from a thread of its own, as real ones do.
struct FakeSource : DeviceSource {
  explicit FakeSource(Devices d) : devices(std::move(d)) {}
  Devices enumerate() override { return devices; }
  void start(ChangeHandler handler) override { onChange = std::move(handler); }
  void stop() override {}
  void emit(Devices arrived, Devices removed = {}) {
    std::thread([&] { onChange(arrived, removed); }).join();
  }
  Devices devices;
  ChangeHandler onChange;
};

class DeviceRegistryTest : public ::testing::Test {
 protected:
  DeviceRegistryTest() {
    std::ofstream(third->calloutPath()) << "";
    std::vector<std::unique_ptr<DeviceSource>> sources;
    sources.push_back(std::make_unique<FakeSource>(Devices{first, second}));
    sources.push_back(std::make_unique<FakeSource>(Devices{third}));
    a = static_cast<FakeSource*>(sources[0].get());
    b = static_cast<FakeSource*>(sources[1].get());
    registry = std::make_unique<DeviceRegistry>(std::move(sources));
  }
  // A handler that records "+name" (or another sign) and where it ran.
  DeviceRegistry::Handler record(char sign) {
    return [this, sign](const Devices& d) {
      seen.push_back(sign + d.at(0)->name() + (std::this_thread::get_id() == mainId ? "" : " elsewhere"));
    };
  }
  static bool runUntil(const std::function<bool()>& done) { return RunLoop::current().runUntil(done, 5000ms); }

  test::TempDir dir;
  DeviceRef first = device("/dev/ttyUSB0", {"/dev/serial/by-id/usb-first"}, "first");
  DeviceRef second = device("/dev/ttyUSB1", {}, "second");
  DeviceRef third = device(dir.path() + "/ttyThird", {"/dev/pts/7"}, "third");
  FakeSource* a;
  FakeSource* b;
  std::unique_ptr<DeviceRegistry> registry;
  Names seen;
  const std::thread::id mainId = std::this_thread::get_id();
};

TEST_F(DeviceRegistryTest, ListsSourcesInOrderAndFindsDevicesByAnyPath) {
  EXPECT_EQ(registry->serialDevices(), (Devices{first, second, third}));
  EXPECT_EQ(registry->deviceFromPath("/dev/serial/by-id/usb-first"), first);
  const std::string alias = dir.path() + "/my-port";  // another name of a path
  ASSERT_EQ(::symlink(third->calloutPath().c_str(), alias.c_str()), 0);
  EXPECT_EQ(registry->deviceFromPath(alias), third);
  EXPECT_EQ(registry->deviceFromPath("/dev/ttyUSB9"), nullptr);
  EXPECT_EQ(registry->deviceFromPath(""), nullptr);
}

TEST_F(DeviceRegistryTest, DeliversOnTheSubscribingThreadsRunLoopRemovalsFirst) {
  auto arrivals = registry->subscribeArrivals(record('+')), removals = registry->subscribeRemovals(record('-'));
  b->emit({device(third->calloutPath(), {"/dev/pts/9"}, "third2")}, {third});  // a link replaced
  a->emit({device("/dev/ttyACM0", {}, "fresh")});
  EXPECT_TRUE(seen.empty());  // nothing runs until this thread runs its loop
  ASSERT_TRUE(runUntil([&] { return seen.size() == 3; }));
  EXPECT_EQ(seen, (Names{"-third", "+third2", "+fresh"}));

  std::atomic<bool> elsewhere{false};  // subscribed on another thread: handled there
  std::thread([&] {
    auto remote =
        registry->subscribeArrivals([&](const Devices&) { elsewhere = std::this_thread::get_id() != mainId; });
    a->emit({first});
    RunLoop::current().runUntil([&] { return elsewhere.load(); }, 5000ms);
  }).join();
  EXPECT_TRUE(elsewhere);
}

TEST_F(DeviceRegistryTest, AnEndedSubscriptionGetsNothingNotEvenWhatWasPostedAndMayEndItself) {
  int selfEnding = 0;
  std::unique_ptr<DeviceRegistry::Subscription> self, gone = registry->subscribeArrivals(record('x'));
  self = registry->subscribeArrivals([&](const Devices&) { ++selfEnding, self.reset(); });  // may end itself
  auto kept = registry->subscribeArrivals(record('+'));
  a->emit({first});  // posted to all three, not yet run
  gone.reset();
  a->emit({second});
  ASSERT_TRUE(runUntil([&] { return seen.size() == 2; }));
  EXPECT_EQ(seen, (Names{"+first", "+second"}));
  EXPECT_EQ(selfEnding, 1);
}

// ---------------------------------------------------------------- the udev source

UdevProperties tty(std::string sysname, std::string devnode, std::string parent = {}, std::string driver = {},
                   std::string uartType = {}) {
  UdevProperties p;
  p.syspath = "/sys/devices/virtual/tty/" + sysname;
  p.sysname = std::move(sysname);
  p.devnode = std::move(devnode);
  p.subsystem = "tty";
  p.hasParentDevice = !parent.empty();
  p.parentSubsystem = std::move(parent);
  p.driver = std::move(driver);
  p.uartType = std::move(uartType);
  return p;
}

UdevProperties ftdiAdapter() {
  auto p = tty("ttyUSB0", "/dev/ttyUSB0", "usb-serial", "ftdi_sio");
  p.devlinks = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
                "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"};
  p.props = {
      {"ID_MODEL", "FT232R_USB_UART"}, {"ID_MODEL_ID", "6001"}, {"ID_MODEL_FROM_DATABASE", "FT232 Serial (UART) IC"}};
  return p;
}

// A CDC-ACM board without a product string: udev puts the product id in ID_MODEL.
UdevProperties cdcAcmBoard() {
  auto p = tty("ttyACM0", "/dev/ttyACM0", "usb", "cdc_acm");
  p.props = {{"ID_MODEL", "0043"}, {"ID_MODEL_ID", "0043"}, {"ID_MODEL_FROM_DATABASE", "Uno R3 (CDC ACM)"}};
  return p;
}

// RFCOMM channel 0, bound; or connected: moved below the Bluetooth
// connection, where udev adds the USB adapter's model strings.
UdevProperties rfcomm(bool connected = false) {
  auto p = tty("rfcomm0", "/dev/rfcomm0", connected ? "bluetooth" : "");
  if (connected) {
    p.syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-10/1-10:1.0/bluetooth/hci0/hci0:3/rfcomm0";
    p.props = {{"ID_MODEL", "Bluetooth_Radio"}, {"ID_MODEL_ID", "0a2b"}, {"ID_MODEL_FROM_DATABASE", "AX200 Bluetooth"}};
  }
  return p;
}

template <typename F>
UdevProperties with(UdevProperties p, F change) {
  change(p);
  return p;
}

TEST(UdevFilter, CountsTtysBackedByHardwareOnly) {
  using P = UdevProperties;
  const std::pair<UdevProperties, bool> cases[] = {
      {ftdiAdapter(), true},
      {cdcAcmBoard(), true},
      {rfcomm(), true} /* no parent until connected */,
      {rfcomm(true), true},
      {tty("ttyS0", "/dev/ttyS0", "pnp", "serial", "4"), true},  // found by ACPI (behind "serial-base" on new kernels)
      {tty("ttyAMA0", "/dev/ttyAMA0", "amba", "uart-pl011"), true},
      {tty("ttyS1", "/dev/ttyS1", "platform", "serial8250", "4"), true},   // a real UART of the legacy device
      {tty("ttyS1", "/dev/ttyS1", "platform", "serial8250", "0"), false},  // placeholders: no UART there
      {tty("ttyS1", "/dev/ttyS1", "platform", "serial8250"), false},
      {tty("ttyS2", "/dev/ttyS2", "pnp", "serial", "0"), false},
      {tty("tty1", "/dev/tty1"), false},
      {tty("console", "/dev/console"), false},
      {tty("ptmx", "/dev/ptmx"), false},
      {tty("3", "/dev/pts/3", "usb", "cdc_acm"), false},  // nothing under /dev/pts is hardware
      {with(ftdiAdapter(), [](P& p) { p.subsystem = "usb-serial"; }), false},
      {with(ftdiAdapter(), [](P& p) { p.devnode.clear(); }), false},
  };
  for (const auto& [device, counts] : cases) {
    EXPECT_EQ(UdevDeviceSource::isSerialDevice(device), counts) << device.sysname << " " << device.driver;
  }
}

TEST(UdevNaming, RuleLinkThenProductStringThenDatabaseThenKernelName) {
  using P = UdevProperties;
  // SUBSYSTEM=="tty", ATTRS{serial}=="A50285BI", SYMLINK+="tty.Velmora7"; a link deeper in /dev names nothing.
  const auto named = with(
      ftdiAdapter(), [](P& p) { p.devlinks.push_back("/dev/tty.Velmora7"), p.devlinks.push_back("/dev/x/tty.Other"); });
  const std::pair<UdevProperties, std::string> cases[] = {
      {named, "Velmora7"},
      {ftdiAdapter(), "FT232R_USB_UART"},
      {with(ftdiAdapter(), [](P& p) { p.props.erase("ID_MODEL"); }), "FT232 Serial (UART) IC"},
      {cdcAcmBoard(), "Uno R3 (CDC ACM)"},  // ID_MODEL is only the product id
      {with(cdcAcmBoard(), [](P& p) { p.props.erase("ID_MODEL_FROM_DATABASE"); }), "ttyACM0"},
      {rfcomm(true), "rfcomm0"},  // the adapter's strings do not name the headset
      {with(rfcomm(true), [](P& p) { p.devlinks = {"/dev/tty.KovaLink"}; }), "KovaLink"},
  };
  for (const auto& [device, name] : cases) EXPECT_EQ(UdevDeviceSource::displayName(device), name);
  const auto device = UdevDeviceSource::makeDevice(named);
  EXPECT_EQ(device->calloutPath(), "/dev/ttyUSB0");
  EXPECT_EQ(device->otherPaths(),
            (Names{"/dev/tty.Velmora7", named.devlinks[1], named.devlinks[0], "/dev/x/tty.Other"}));
}

// The extraction on this machine's own ttys, read from sysfs even where no
// udev runs: a UART names its controller, not the "serial-base" port device
// of newer kernels; a virtual console has no parent.
TEST(UdevSource, ExtractsThisMachinesTtysFromSysfs) {
  for (const auto& p : UdevDeviceSource(/*requireUdevRuntime=*/false).ttyDevices()) {
    EXPECT_NE(p.parentSubsystem, "serial-base") << p.sysname;
    EXPECT_TRUE(p.sysname != "tty1" || (p.devnode == "/dev/tty1" && !p.hasParentDevice)) << p.devnode;
  }
  EXPECT_TRUE(UdevDeviceSource::udevRunning() || UdevDeviceSource().enumerate().empty());
}

}  // namespace
}  // namespace velmora::platform
