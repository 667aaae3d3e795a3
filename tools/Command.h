// Sub-commands of the `velmora` tool register themselves here, so that each
// lives in a file of its own:
//
//   static velmora::tool::CommandRegistration reg{"decode", "Decode a captured stream",
//       [](CLI::App& cmd) { ...add options...; return [=] { return run(...); }; }};
//
// The setup function adds the command's options to `cmd` and returns the
// function that runs it and yields the process's exit status.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace velmora::tool {

using CommandRunner = std::function<int()>;
using CommandSetup = std::function<CommandRunner(CLI::App& command)>;

struct CommandInfo {
  std::string name;
  std::string description;
  CommandSetup setup;
  int order;  // position in --help
};

std::vector<CommandInfo>& commands();

struct CommandRegistration {
  CommandRegistration(std::string name, std::string description, CommandSetup setup, int order = 100) {
    commands().push_back({std::move(name), std::move(description), std::move(setup), order});
  }
};

}  // namespace velmora::tool
