// The udev filter and naming, on property sets recorded from real machines,
// and the property extraction on this machine's own sysfs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "platform/UdevDeviceSource.h"

namespace velmora::platform {
namespace {

using Props = std::map<std::string, std::string>;

UdevProperties tty(std::string sysname, std::string devnode) {
  UdevProperties p;
  p.sysname = std::move(sysname);
  p.devnode = std::move(devnode);
  p.subsystem = "tty";
  p.props = {{"SUBSYSTEM", "tty"}, {"DEVNAME", p.devnode}};
  return p;
}

UdevProperties withParent(UdevProperties p, std::string subsystem, std::string driver) {
  p.hasParentDevice = true;
  p.parentSubsystem = std::move(subsystem);
  p.driver = std::move(driver);
  return p;
}

UdevProperties ftdiAdapter() {
  auto p = withParent(tty("ttyUSB0", "/dev/ttyUSB0"), "usb-serial", "ftdi_sio");
  p.syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0";
  p.devlinks = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
                "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"};
  p.props.insert({{"ID_BUS", "usb"},
                  {"ID_VENDOR", "FTDI"},
                  {"ID_VENDOR_ID", "0403"},
                  {"ID_MODEL", "FT232R_USB_UART"},
                  {"ID_MODEL_ENC", "FT232R\\x20USB\\x20UART"},
                  {"ID_MODEL_ID", "6001"},
                  {"ID_MODEL_FROM_DATABASE", "FT232 Serial (UART) IC"},
                  {"ID_SERIAL", "FTDI_FT232R_USB_UART_A50285BI"},
                  {"ID_USB_DRIVER", "ftdi_sio"}});
  return p;
}

// A CDC-ACM board without a product string: udev puts the product id in
// ID_MODEL.
UdevProperties cdcAcmBoard() {
  auto p = withParent(tty("ttyACM0", "/dev/ttyACM0"), "usb", "cdc_acm");
  p.syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/tty/ttyACM0";
  p.devlinks = {"/dev/serial/by-id/usb-2341_0043_75833353035351F0E0C1-if00",
                "/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0"};
  p.props.insert({{"ID_BUS", "usb"},
                  {"ID_VENDOR_ID", "2341"},
                  {"ID_MODEL", "0043"},
                  {"ID_MODEL_ID", "0043"},
                  {"ID_MODEL_FROM_DATABASE", "Uno R3 (CDC ACM)"},
                  {"ID_USB_DRIVER", "cdc_acm"}});
  return p;
}

UdevProperties rfcommChannel() {
  auto p = tty("rfcomm0", "/dev/rfcomm0");
  p.syspath = "/sys/devices/virtual/tty/rfcomm0";
  return p;
}

TEST(UdevFilter, AcceptsRealSerialHardware) {
  EXPECT_TRUE(UdevDeviceSource::isSerialDevice(ftdiAdapter()));
  EXPECT_TRUE(UdevDeviceSource::isSerialDevice(cdcAcmBoard()));
  // A bound RFCOMM channel has no parent device until it connects.
  EXPECT_TRUE(UdevDeviceSource::isSerialDevice(rfcommChannel()));
  EXPECT_TRUE(UdevDeviceSource::isSerialDevice(withParent(rfcommChannel(), "bluetooth", "")));
  // An on-board UART found by ACPI: newer kernels report it behind the
  // "serial-base" bus, which the extraction skips to reach the PNP device.
  auto uart = withParent(tty("ttyS0", "/dev/ttyS0"), "pnp", "serial");
  uart.uartType = "4";  // 16550A
  EXPECT_TRUE(UdevDeviceSource::isSerialDevice(uart));
  // A UART of a system-on-chip, described by the device tree.
  EXPECT_TRUE(UdevDeviceSource::isSerialDevice(withParent(tty("ttyAMA0", "/dev/ttyAMA0"), "amba", "uart-pl011")));
}

TEST(UdevFilter, RejectsConsolesPtysAndPlaceholderPorts) {
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(tty("tty1", "/dev/tty1")));  // virtual console
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(tty("tty", "/dev/tty")));
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(tty("console", "/dev/console")));
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(tty("ptmx", "/dev/ptmx")));
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(tty("ttyp0", "/dev/ttyp0")));  // legacy pty
  // Whatever the parent, nothing under /dev/pts is hardware.
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(withParent(tty("3", "/dev/pts/3"), "usb", "cdc_acm")));

  // Placeholder ports: no UART at the address (type 0), on old and new
  // kernels alike, or a port of the legacy platform device with no type.
  auto placeholder = withParent(tty("ttyS1", "/dev/ttyS1"), "platform", "serial8250");
  placeholder.uartType = "0";
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(placeholder));
  placeholder.uartType = "";
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(placeholder));
  // A real UART probed by the legacy platform device reports its type.
  placeholder.uartType = "4";
  EXPECT_TRUE(UdevDeviceSource::isSerialDevice(placeholder));
  auto pnpWithoutChip = withParent(tty("ttyS2", "/dev/ttyS2"), "pnp", "serial");
  pnpWithoutChip.uartType = "0";
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(pnpWithoutChip));

  // Not a tty, or no device node.
  auto input = ftdiAdapter();
  input.subsystem = "usb-serial";
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(input));
  auto nodeless = ftdiAdapter();
  nodeless.devnode.clear();
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(nodeless));
}

TEST(UdevNaming, ProductStringThenDatabaseThenKernelName) {
  // The device's own product string, underscores as udev gives them.
  EXPECT_EQ(UdevDeviceSource::displayName(ftdiAdapter()), "FT232R_USB_UART");
  // Only the product id in ID_MODEL: the hardware database's name instead.
  EXPECT_EQ(UdevDeviceSource::displayName(cdcAcmBoard()), "Uno R3 (CDC ACM)");
  auto unknown = cdcAcmBoard();
  unknown.props.erase("ID_MODEL_FROM_DATABASE");
  EXPECT_EQ(UdevDeviceSource::displayName(unknown), "ttyACM0");
  auto onlyDatabase = ftdiAdapter();
  onlyDatabase.props.erase("ID_MODEL");
  EXPECT_EQ(UdevDeviceSource::displayName(onlyDatabase), "FT232 Serial (UART) IC");
  EXPECT_EQ(UdevDeviceSource::displayName(rfcommChannel()), "rfcomm0");
}

TEST(UdevNaming, RuleMadeTtyLinkNamesTheDevice) {
  // SUBSYSTEM=="tty", ATTRS{serial}=="A50285BI", SYMLINK+="tty.Velmora7"
  auto p = ftdiAdapter();
  p.devlinks.push_back("/dev/tty.Velmora7");
  p.devlinks.push_back("/dev/headsets/tty.Other");  // not directly in /dev: no name
  EXPECT_EQ(UdevDeviceSource::displayName(p), "Velmora7");

  auto device = UdevDeviceSource::makeDevice(p);
  EXPECT_EQ(device->name(), "Velmora7");
  EXPECT_EQ(device->calloutPath(), "/dev/ttyUSB0");
  EXPECT_EQ(device->otherPaths(), (std::vector<std::string>{
                                      "/dev/tty.Velmora7",
                                      "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
                                      "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
                                      "/dev/headsets/tty.Other",
                                  }));
  EXPECT_TRUE(device->hasPath("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
  EXPECT_EQ(device->stringProperty(kDialinDeviceKey), "/dev/tty.Velmora7");
}

TEST(UdevNaming, DevicePathsWithoutLinks) {
  auto device = UdevDeviceSource::makeDevice(rfcommChannel());
  EXPECT_EQ(device->calloutPath(), "/dev/rfcomm0");
  EXPECT_TRUE(device->otherPaths().empty());
  EXPECT_EQ(device->name(), "rfcomm0");
}

// The extraction on this machine's own ttys, read from sysfs even where no
// udev runs.  Virtual consoles exist nearly everywhere; skip where not.
TEST(UdevSource, ExtractsThisMachinesTtysFromSysfs) {
  UdevDeviceSource source(/*requireUdevRuntime=*/false);
  auto all = source.ttyDevices();
  auto find = [&](const std::string& name) {
    return std::find_if(all.begin(), all.end(), [&](const UdevProperties& p) { return p.sysname == name; });
  };
  auto console = find("tty1");
  if (console == all.end()) GTEST_SKIP() << "no virtual console tty1 here";
  EXPECT_EQ(console->subsystem, "tty");
  EXPECT_EQ(console->devnode, "/dev/tty1");
  EXPECT_FALSE(console->hasParentDevice);
  EXPECT_FALSE(UdevDeviceSource::isSerialDevice(*console));

  // Whatever the machine has, the listing is exactly the filtered set, in
  // natural order of the device node.
  std::vector<std::string> expected;
  for (const auto& p : all) {
    if (UdevDeviceSource::isSerialDevice(p)) expected.push_back(p.devnode);
  }
  std::vector<std::string> listed;
  for (const auto& d : source.enumerate()) listed.push_back(d->calloutPath());
  std::sort(expected.begin(), expected.end());
  auto sortedListed = listed;
  std::sort(sortedListed.begin(), sortedListed.end());
  EXPECT_EQ(sortedListed, expected);

  // A UART port, where the machine has one, names its controller's device
  // rather than the "serial-base" port device of newer kernels.
  auto uart = find("ttyS0");
  if (uart != all.end() && uart->hasParentDevice) {
    EXPECT_NE(uart->parentSubsystem, "serial-base");
  }
}

TEST(UdevSource, WithoutUdevListsNothingAndStartsQuietly) {
  if (UdevDeviceSource::udevRunning()) GTEST_SKIP() << "udev runs here";
  UdevDeviceSource source;
  EXPECT_TRUE(source.enumerate().empty());
  EXPECT_TRUE(source.ttyDevices().empty());
  source.start([](const std::vector<DeviceRef>&, const std::vector<DeviceRef>&) {});
  source.stop();
}

TEST(UdevSource, MonitorStartsAndStopsEvenFromSysfsOnly) {
  UdevDeviceSource source(/*requireUdevRuntime=*/false);
  source.start([](const std::vector<DeviceRef>&, const std::vector<DeviceRef>&) {});
  // Once started, listings hand out the objects the source knows.
  auto first = source.enumerate();
  auto second = source.enumerate();
  EXPECT_EQ(first, second);
  source.stop();
  source.stop();  // a second stop is harmless
}

}  // namespace
}  // namespace velmora::platform
