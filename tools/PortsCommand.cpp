// `velmora ports`: the serial ports the port manager sees (real hardware from
// udev and the ttys published in the device folder), in the manager's order,
// with their further paths and whether the name makes them a headset
// candidate.  A table by default, JSON with --json.
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "Command.h"
#include "VelmoraObjC.h"
#include "ZPRSerialPortManager.h"
#include "platform/DeviceFolder.h"

namespace velmora::tool {
namespace {

struct PortsArgs {
  bool json = false;
  std::string deviceDir;
};

struct PortRow {
  std::string name;
  std::string path;
  std::vector<std::string> furtherPaths;
  bool candidate = false;
};

std::vector<PortRow> listPorts() {
  std::vector<PortRow> rows;
  for (const auto& port : ZPRSerialPortManager::sharedSerialPortManager().availablePorts()) {
    PortRow row{port->name(), port->path(), {}, VelmoraObjC::isHeadsetCandidateName(port->name())};
    if (port->IOKitDevice()) row.furtherPaths = port->IOKitDevice()->otherPaths();
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : " ") + p;
  return out.empty() ? "-" : out;
}

void printTable(const std::vector<PortRow>& rows, const std::string& folder) {
  if (rows.empty()) {
    std::cout << "No serial ports found (device folder: " << folder << ").\n";
    return;
  }
  const std::vector<std::string> header{"NAME", "HEADSET", "PATH", "FURTHER PATHS"};
  std::vector<std::vector<std::string>> cells;
  for (const auto& r : rows) cells.push_back({r.name, r.candidate ? "yes" : "no", r.path, joined(r.furtherPaths)});
  std::vector<size_t> width(header.size());
  for (size_t c = 0; c < header.size(); ++c) {
    width[c] = header[c].size();
    for (const auto& line : cells) width[c] = std::max(width[c], line[c].size());
  }
  auto print = [&](const std::vector<std::string>& line) {
    for (size_t c = 0; c < line.size(); ++c) {
      std::cout << line[c];
      if (c + 1 < line.size()) std::cout << std::string(width[c] - line[c].size() + 2, ' ');
    }
    std::cout << "\n";
  };
  print(header);
  for (const auto& line : cells) print(line);
}

void printJson(const std::vector<PortRow>& rows, const std::string& folder) {
  nlohmann::ordered_json ports = nlohmann::ordered_json::array();
  for (const auto& r : rows) {
    ports.push_back({{"name", r.name},
                     {"path", r.path},
                     {"furtherPaths", r.furtherPaths},
                     {"headsetCandidate", r.candidate}});
  }
  std::cout << nlohmann::ordered_json{{"deviceFolder", folder}, {"ports", ports}}.dump(2) << "\n";
}

int run(const PortsArgs& a) {
  std::string dir = a.deviceDir;
  if (dir.empty()) {
    const char* env = std::getenv("VELMORA_DEVICE_DIR");
    if (env != nullptr) dir = env;
  }
  if (!dir.empty()) platform::DeviceFolder::setPath(dir);
  std::string folder;
  try {
    folder = platform::DeviceFolder::path();
  } catch (const std::system_error& e) {
    std::cerr << "velmora ports: " << e.what()
              << "; choose a device folder you can write with --device-dir DIR or VELMORA_DEVICE_DIR\n";
    return 2;
  }
  const auto rows = listPorts();
  if (a.json) {
    printJson(rows, folder);
  } else {
    printTable(rows, folder);
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}

CommandRegistration registration{
    "ports", "List the serial ports the library sees and which of them may be a headset",
    [](CLI::App& cmd) {
      auto args = std::make_shared<PortsArgs>();
      cmd.add_flag("--json", args->json, "Print JSON instead of a table");
      cmd.add_option("--device-dir", args->deviceDir,
                     "Device folder to list (default: $VELMORA_DEVICE_DIR, else the user's runtime folder)");
      return [args] { return run(*args); };
    },
    10};

}  // namespace
}  // namespace velmora::tool
