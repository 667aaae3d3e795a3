// `velmora ports`: the serial ports the port manager sees (real hardware from
// udev and the ttys published in the device folder), in the manager's order,
// with their further paths and whether the name makes them a headset
// candidate.  A table by default, JSON with --json.  A Bluetooth or USB
// serial port without a headset name (a bound rfcomm device, a USB dongle)
// gets a note on stderr that points at README's set-up section for a real
// headset; a refused device folder, and each entry of the folder that is
// left out, get a note that says why.
//
// Exit status: 0 listed (also none); 1 stdout cannot be written; 2 the
// device folder is unusable.
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Command.h"
#include "CommandSupport.h"
#include "ErrorStream.h"
#include "LogBuffer.h"
#include "Output.h"
#include "VelmoraObjC.h"
#include "ZPRSerialPortManager.h"
#include "platform/DeviceFolder.h"
#include "platform/FolderDeviceSource.h"

namespace velmora::tool {
namespace {

constexpr const char* kCommand = "velmora ports";

struct PortsArgs {
  bool json = false;
  std::optional<std::string> deviceDir;
  bool verbose = false;
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

// The path of a Bluetooth (rfcomm) or USB serial (ttyUSB, ttyACM) device
// among the port's paths, if it has one.
std::optional<std::string> serialLinkPath(const PortRow& row) {
  std::vector<std::string> paths{row.path};
  paths.insert(paths.end(), row.furtherPaths.begin(), row.furtherPaths.end());
  for (const std::string& p : paths) {
    const std::string base = std::filesystem::path(p).filename().string();
    for (const char* kind : {"rfcomm", "ttyUSB", "ttyACM"}) {
      if (base.starts_with(kind)) return p;
    }
  }
  return std::nullopt;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : " ") + p;
  return out.empty() ? "-" : out;
}

std::string table(const std::vector<PortRow>& rows, const std::string& folder) {
  if (rows.empty()) return "No serial ports found (device folder: " + folder + ").\n";
  const std::vector<std::string> header{"NAME", "HEADSET", "PATH", "FURTHER PATHS"};
  std::vector<std::vector<std::string>> cells{header};
  for (const auto& r : rows) cells.push_back({r.name, r.candidate ? "yes" : "no", r.path, joined(r.furtherPaths)});
  std::vector<size_t> width(header.size());
  for (size_t c = 0; c < header.size(); ++c) {
    for (const auto& line : cells) width[c] = std::max(width[c], line[c].size());
  }
  std::string out;
  for (const auto& line : cells) {
    for (size_t c = 0; c < line.size(); ++c) {
      out += line[c];
      if (c + 1 < line.size()) out += std::string(width[c] - line[c].size() + 2, ' ');
    }
    out += "\n";
  }
  return out;
}

std::string json(const std::vector<PortRow>& rows, const std::string& folder) {
  nlohmann::ordered_json ports = nlohmann::ordered_json::array();
  for (const auto& r : rows) {
    ports.push_back({{"name", r.name},
                     {"path", r.path},
                     {"furtherPaths", r.furtherPaths},
                     {"headsetCandidate", r.candidate}});
  }
  return nlohmann::ordered_json{{"deviceFolder", folder}, {"ports", ports}}.dump(2) + "\n";
}

int run(const PortsArgs& a) {
  LogBuffer log(a.verbose);
  if (auto problem = useDeviceFolder(a.deviceDir)) {
    ErrorStream::say(kCommand, *problem);
    return kExitBadInput;
  }
  const std::string folder = platform::DeviceFolder::path();
  const auto rows = listPorts();
  Output output;
  output.write(a.json ? json(rows, folder) : table(rows, folder));
  output.finish();
  // What the device folder holds that is not listed, and why: a refused
  // folder once, else each link left out.
  const platform::FolderDeviceSource::Examination folderCheck = platform::FolderDeviceSource::examine(folder);
  if (!folderCheck.refusal.empty()) {
    ErrorStream::say(kCommand, "the device folder " + folder + " is refused, so no port published there is listed: " +
                                   folderCheck.refusal);
  }
  for (const auto& link : folderCheck.ignored) {
    ErrorStream::say(kCommand, "ignored " + folder + "/tty." + link.name + ": " + link.reason + "; " +
                                   kPublishHint);
  }
  for (const auto& r : rows) {
    if (r.candidate) continue;
    if (auto link = serialLinkPath(r)) {
      ErrorStream::say(kCommand, r.name + " (" + *link +
                                     ") may be a headset without a headset name: see \"A real headset on Linux\" in "
                                     "README.md to name it, or connect with `velmora stream --port " +
                                     *link + "`");
    }
  }
  return output.report(kCommand);
}

CommandRegistration registration{
    "ports", "List the serial ports the library sees and which of them may be a headset",
    [](CLI::App& cmd) {
      auto args = std::make_shared<PortsArgs>();
      cmd.add_flag("--json", args->json, "Print JSON instead of a table");
      cmd.add_option("--device-dir", args->deviceDir, kDeviceDirHelp)->type_name("DIR");
      cmd.add_flag("--verbose", args->verbose, "Echo the library's log lines to stderr");
      return [args] { return run(*args); };
    },
    10};

}  // namespace
}  // namespace velmora::tool
