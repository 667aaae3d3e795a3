// `velmora ports`: lists the ports of the device folder it is given, as a
// table or as JSON.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/DeviceFolder.h"
#include "support/TempPty.h"

namespace velmora {
namespace {

using nlohmann::json;

struct ToolRun {
  int status = -1;
  std::string out;
};

// Runs the tool with `args` (shell syntax) after `env` assignments.
ToolRun runTool(const std::string& env, const std::string& args) {
  const std::string command = env + " '" + VELMORA_TOOL_PATH + "' " + args + " 2>&1";
  ToolRun r;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return r;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
  const int raw = ::pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

TEST(PortsCommand, ListsThePublishedPtysAsJsonOrAsATable) {
  test::TempDir dir;
  test::TempPty headset, other;
  platform::DeviceFolder::setPath(dir.path());  // published by this process, which holds the links' locks
  platform::DeviceFolder::publish("KovaSim-SPPDev", headset.path());
  platform::DeviceFolder::publish("Bluetooth-Incoming-Port", other.path());

  const ToolRun j = runTool("VELMORA_DEVICE_DIR='" + dir.path() + "'", "ports --json");
  ASSERT_EQ(j.status, 0) << j.out;
  const json doc = json::parse(j.out);
  EXPECT_EQ(doc["deviceFolder"], dir.path());
  // Real hardware, if the machine has any, comes first; the folder's ports
  // follow in name order.
  std::vector<json> folderPorts;
  for (const auto& p : doc["ports"])
    if (p["path"].get<std::string>().rfind(dir.path(), 0) == 0) folderPorts.push_back(p);
  ASSERT_EQ(folderPorts.size(), 2u) << j.out;
  EXPECT_EQ(folderPorts[0], (json{{"name", "Bluetooth-Incoming-Port"},
                                  {"path", dir.path() + "/tty.Bluetooth-Incoming-Port"},
                                  {"furtherPaths", {other.path()}},
                                  {"headsetCandidate", false}}));
  EXPECT_EQ(folderPorts[1], (json{{"name", "KovaSim-SPPDev"},
                                  {"path", dir.path() + "/tty.KovaSim-SPPDev"},
                                  {"furtherPaths", {headset.path()}},
                                  {"headsetCandidate", true}}));

  // --device-dir wins over the environment.
  const ToolRun t = runTool("VELMORA_DEVICE_DIR=/nonexistent/velmora", "ports --device-dir '" + dir.path() + "'");
  ASSERT_EQ(t.status, 0) << t.out;
  const auto row = t.out.find("KovaSim-SPPDev");
  ASSERT_NE(row, std::string::npos) << t.out;
  const std::string line = t.out.substr(row, t.out.find('\n', row) - row);
  EXPECT_NE(line.find(" yes "), std::string::npos) << line;
  EXPECT_NE(line.find(headset.path()), std::string::npos) << line;
  EXPECT_EQ(t.out.rfind("NAME", 0), 0u) << t.out;

  test::TempDir empty;
  const ToolRun none = runTool("", "ports --device-dir '" + empty.path() + "'");
  EXPECT_EQ(none.status, 0);
  if (none.out.find("/tty.") == std::string::npos && none.out.find("NAME") == std::string::npos) {
    EXPECT_NE(none.out.find("No serial ports found"), std::string::npos) << none.out;
  }
  platform::DeviceFolder::setPath("");
}

}  // namespace
}  // namespace velmora
