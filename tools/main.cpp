// The `velmora` command-line tool: one sub-command per file (see Command.h).
#include <algorithm>
#include <iostream>
#include <map>

#include "Command.h"

namespace velmora::tool {

std::vector<CommandInfo>& commands() {
  static std::vector<CommandInfo> list;
  return list;
}

}  // namespace velmora::tool

int main(int argc, char** argv) {
  using namespace velmora::tool;
  CLI::App app{"velmora: connect to EEG and biosignal headsets on serial links, decode, record and analyse their streams"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "velmora 0.1.0");

  auto list = commands();
  std::stable_sort(list.begin(), list.end(),
                   [](const CommandInfo& a, const CommandInfo& b) { return a.order < b.order; });
  std::map<CLI::App*, CommandRunner> runners;
  for (auto& info : list) {
    CLI::App* sub = app.add_subcommand(info.name, info.description);
    runners[sub] = info.setup(*sub);
  }
  // Set after the sub-commands are added, which would inherit it.
  app.footer("Run `velmora COMMAND --help` for a command's options. New here? `velmora demo` shows it all with a "
             "simulated headset.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  for (auto& [sub, run] : runners) {
    if (sub->parsed()) return run();
  }
  return 1;
}
