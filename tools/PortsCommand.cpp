// `velmora ports`: lists the serial ports the port manager knows (udev's
// serial devices and the device folder's links), marking the ones `velmora
// stream` would take as the headset's, with each port's further paths.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Command.h"
#include "CommandSupport.h"
#include "LogBuffer.h"
#include "VelmoraObjC.h"
#include "ZPRSerialPortManager.h"
#include "platform/DeviceFolder.h"

namespace velmora::tool {
namespace {

struct PortsArgs {
  bool json = false;
  std::string deviceDir;
};

int run(const PortsArgs& a) {
  useDeviceFolder(a.deviceDir);
  LogBuffer log(false);
  const SerialPortList ports = ZPRSerialPortManager::sharedSerialPortManager().availablePorts();

  if (a.json) {
    for (const auto& port : ports) {
      nlohmann::ordered_json line;
      line["name"] = port->name();
      line["path"] = port->path();
      line["paths"] = port->IOKitDevice() ? port->IOKitDevice()->otherPaths() : std::vector<std::string>{};
      line["headset"] = VelmoraObjC::isHeadsetCandidateName(port->name());
      line["open"] = port->isOpen();
      std::printf("%s\n", line.dump().c_str());
    }
    return 0;
  }

  if (ports.empty()) {
    std::printf("No serial ports found.\n");
  } else {
    std::printf("%-3s %-28s %s\n", "", "NAME", "PATH");
    for (const auto& port : ports) {
      const bool headset = VelmoraObjC::isHeadsetCandidateName(port->name());
      std::string paths = port->path();
      if (port->IOKitDevice()) {
        for (const auto& other : port->IOKitDevice()->otherPaths()) paths += " -> " + other;
      }
      std::printf("%-3s %-28s %s\n", headset ? "*" : "", port->name().c_str(), paths.c_str());
    }
    std::printf("\n* a headset port: `velmora stream` connects to the first one, or to --port NAME.\n");
  }
  std::printf("Device folder: %s (publish a tty there as tty.NAME; `velmora simulate` does).\n",
              platform::DeviceFolder::path().c_str());
  return 0;
}

CommandRegistration registration{
    "ports", "List the serial ports and which of them is a headset",
    [](CLI::App& cmd) {
      auto args = std::make_shared<PortsArgs>();
      cmd.add_flag("--json", args->json, "One JSON object per port: name, path, further paths, headset, open");
      cmd.add_option("--device-dir", args->deviceDir, kDeviceDirHelp)->type_name("DIR");
      cmd.footer(
          "A headset's port name begins with Kova, Trell, Halobelt or Quorvex. Real devices are named by udev (a "
          "rule can give one a name with SYMLINK+=\"tty.NAME\"); ptys and other ttys are published in the device "
          "folder as symbolic links tty.NAME.");
      return [args] { return run(*args); };
    },
    14};

}  // namespace
}  // namespace velmora::tool
