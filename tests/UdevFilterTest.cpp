// The udev source on property sets and events recorded from real machines:
// which ttys count, how they are named, how events change the listing (a
// Bluetooth channel's moves above all); and the extraction on this machine.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/UdevDeviceSource.h"

namespace velmora::platform {
namespace {

using Names = std::vector<std::string>;

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
  p.syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0";
  p.devlinks = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
                "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"};
  p.props = {{"ID_MODEL", "FT232R_USB_UART"}, {"ID_MODEL_ID", "6001"},
             {"ID_MODEL_FROM_DATABASE", "FT232 Serial (UART) IC"}, {"ID_VENDOR", "FTDI"}};
  return p;
}

// A CDC-ACM board without a product string: udev puts the product id in
// ID_MODEL.
UdevProperties cdcAcmBoard() {
  auto p = tty("ttyACM0", "/dev/ttyACM0", "usb", "cdc_acm");
  p.props = {{"ID_MODEL", "0043"}, {"ID_MODEL_ID", "0043"}, {"ID_MODEL_FROM_DATABASE", "Uno R3 (CDC ACM)"}};
  return p;
}

// RFCOMM channel 0, bound; and connected: moved below the Bluetooth
// connection, where udev adds the USB adapter's model strings.
UdevProperties rfcomm(bool connected = false) {
  auto p = tty("rfcomm0", "/dev/rfcomm0");
  if (!connected) return p;
  p.syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-10/1-10:1.0/bluetooth/hci0/hci0:3/rfcomm0";
  p.hasParentDevice = true;
  p.parentSubsystem = "bluetooth";
  p.props = {{"ID_BUS", "usb"}, {"ID_MODEL", "Bluetooth_Radio"}, {"ID_MODEL_ID", "0a2b"},
             {"ID_MODEL_FROM_DATABASE", "Wireless-AC 3168 Bluetooth"}};
  return p;
}

template <typename F>
UdevProperties with(UdevProperties p, F change) {
  change(p);
  return p;
}

TEST(UdevFilter, CountsTtysBackedByHardwareOnly) {
  const std::pair<UdevProperties, bool> cases[] = {
      {ftdiAdapter(), true},
      {cdcAcmBoard(), true},
      {rfcomm(), true},  // a bound channel has no parent until it connects
      {rfcomm(true), true},
      {tty("ttyS0", "/dev/ttyS0", "pnp", "serial", "4"), true},  // found by ACPI (behind "serial-base" on new kernels)
      {tty("ttyAMA0", "/dev/ttyAMA0", "amba", "uart-pl011"), true},
      {tty("ttyS1", "/dev/ttyS1", "platform", "serial8250", "4"), true},  // a real UART of the legacy device
      {tty("ttyS1", "/dev/ttyS1", "platform", "serial8250", "0"), false},  // placeholders: no UART there
      {tty("ttyS1", "/dev/ttyS1", "platform", "serial8250"), false},
      {tty("ttyS2", "/dev/ttyS2", "pnp", "serial", "0"), false},
      {tty("tty1", "/dev/tty1"), false},  // virtual console
      {tty("console", "/dev/console"), false},
      {tty("ptmx", "/dev/ptmx"), false},
      {tty("3", "/dev/pts/3", "usb", "cdc_acm"), false},  // nothing under /dev/pts is hardware
      {with(ftdiAdapter(), [](auto& p) { p.subsystem = "usb-serial"; }), false},
      {with(ftdiAdapter(), [](auto& p) { p.devnode.clear(); }), false},
  };
  for (const auto& [device, counts] : cases) {
    EXPECT_EQ(UdevDeviceSource::isSerialDevice(device), counts) << device.sysname << " " << device.driver;
  }
}

TEST(UdevNaming, RuleLinkThenProductStringThenDatabaseThenKernelName) {
  // SUBSYSTEM=="tty", ATTRS{serial}=="A50285BI", SYMLINK+="tty.Velmora7"
  const auto named = with(ftdiAdapter(), [](auto& p) {
    p.devlinks.push_back("/dev/tty.Velmora7");
    p.devlinks.push_back("/dev/headsets/tty.Other");  // not directly in /dev: no name
  });
  const std::pair<UdevProperties, std::string> cases[] = {
      {named, "Velmora7"},
      {ftdiAdapter(), "FT232R_USB_UART"},
      {with(ftdiAdapter(), [](auto& p) { p.props.erase("ID_MODEL"); }), "FT232 Serial (UART) IC"},
      {cdcAcmBoard(), "Uno R3 (CDC ACM)"},  // ID_MODEL is only the product id
      {with(cdcAcmBoard(), [](auto& p) { p.props.erase("ID_MODEL_FROM_DATABASE"); }), "ttyACM0"},
      {rfcomm(true), "rfcomm0"},  // the adapter's strings do not name the headset
      {with(rfcomm(true), [](auto& p) { p.devlinks = {"/dev/tty.KovaLink"}; }), "KovaLink"},
  };
  for (const auto& [device, name] : cases) EXPECT_EQ(UdevDeviceSource::displayName(device), name);

  const auto device = UdevDeviceSource::makeDevice(named);
  EXPECT_EQ(device->calloutPath(), "/dev/ttyUSB0");
  EXPECT_EQ(device->otherPaths(), (Names{"/dev/tty.Velmora7", named.devlinks[1], named.devlinks[0],
                                         "/dev/headsets/tty.Other"}));
}

TEST(UdevEvents, ABluetoothChannelsMovesKeepItsDeviceWhileOtherEventsChangeTheListing) {
  std::vector<UdevProperties> present;
  UdevDeviceSource source([&] { return present; });
  Names changes;
  std::vector<DeviceRef> arrived;
  source.start([&](const std::vector<DeviceRef>& in, const std::vector<DeviceRef>& out) {
    std::string text;
    for (const auto& d : out) text += (text.empty() ? "-" : " -") + d->name();
    for (const auto& d : in) text += (text.empty() ? "+" : " +") + d->name();
    changes.push_back(text);
    arrived.insert(arrived.end(), in.begin(), in.end());
  });
  const auto renamed = with(ftdiAdapter(), [](auto& p) { p.devlinks.push_back("/dev/tty.Velmora7"); });
  const std::string virtualPath = rfcomm().syspath.substr(4), connectedPath = rfcomm(true).syspath.substr(4);
  const std::pair<UdevEvent, std::string> steps[] = {
      {{"add", rfcomm(), ""}, "+rfcomm0"},
      {{"add", ftdiAdapter(), ""}, "+FT232R_USB_UART"},
      {{"move", rfcomm(true), virtualPath}, ""},  // the channel connects: a re-key
      {{"move", rfcomm(), connectedPath}, ""},    // and closes
      {{"move", rfcomm(true), "/devices/elsewhere"}, ""},  // known by its node only
      {{"change", ftdiAdapter(), ""}, ""},
      {{"change", renamed, ""}, "-FT232R_USB_UART +Velmora7"},
      {{"move", with(rfcomm(), [](auto& p) { p.devnode = "/dev/rfcomm1"; }), connectedPath}, "-rfcomm0 +rfcomm0"},
      {{"remove", renamed, ""}, "-Velmora7"},
  };
  for (const auto& [event, change] : steps) {
    const size_t before = changes.size();
    source.handleEvent(event);
    EXPECT_EQ(changes.size() == before ? "" : changes.back(), change) << event.action << " " << event.device.syspath;
    if (event.action == "move" && change.empty()) {
      present = {event.device};  // the listing still hands out the object that arrived first
      EXPECT_EQ(source.enumerate(), std::vector<DeviceRef>{arrived.front()});
    }
  }
}

// The extraction on this machine's own ttys, read from sysfs even where no
// udev runs.  Virtual consoles exist nearly everywhere; skip where not.
TEST(UdevSource, ExtractsThisMachinesTtysFromSysfs) {
  UdevDeviceSource source(/*requireUdevRuntime=*/false);
  source.start([](const std::vector<DeviceRef>&, const std::vector<DeviceRef>&) {});
  const auto all = source.ttyDevices();
  auto console = std::find_if(all.begin(), all.end(), [](const UdevProperties& p) { return p.sysname == "tty1"; });
  if (console == all.end()) GTEST_SKIP() << "no virtual console tty1 here";
  EXPECT_EQ(console->devnode, "/dev/tty1");
  EXPECT_FALSE(console->hasParentDevice);
  // Whatever the machine has, the listing is exactly the filtered set, the
  // same objects every time; a UART port names its controller, not the
  // "serial-base" port device of newer kernels.
  Names expected, listed;
  for (const auto& p : all) {
    if (UdevDeviceSource::isSerialDevice(p)) expected.push_back(p.devnode);
    EXPECT_NE(p.parentSubsystem, "serial-base") << p.sysname;
  }
  const auto devices = source.enumerate();
  for (const auto& d : devices) listed.push_back(d->calloutPath());
  std::sort(expected.begin(), expected.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(source.enumerate(), devices);
  source.stop();
  source.stop();  // a second stop is harmless

  EXPECT_TRUE(UdevDeviceSource::udevRunning() || UdevDeviceSource().enumerate().empty());
}

}  // namespace
}  // namespace velmora::platform
