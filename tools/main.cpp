// The `velmora` command-line tool: one sub-command per file (see Command.h).
//
// Every command keeps one contract with users and scripts: the exit statuses
// of kExitStatusHelp; results on stdout, messages on stderr; the library's
// log lines only with --verbose; a reader that goes away (EPIPE) is a normal
// end; and no exception leaves a command.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <new>
#include <string>
#include <string_view>

#include "Command.h"
#include "CommandSupport.h"
#include "ErrorStream.h"
#include "StopSignal.h"
#include "platform/Log.h"

namespace velmora::tool {

std::vector<CommandInfo>& commands() {
  static std::vector<CommandInfo> list;
  return list;
}

}  // namespace velmora::tool

namespace {

int runCommand(int argc, char** argv);

}  // namespace

// Whatever a command queued for stderr (ErrorStream) is written before the
// process ends, waiting for a slow reader while it takes something; a reader
// that takes nothing is given up on, sooner once a stop signal has come, so
// that a stderr nobody reads cannot keep the process from ending.
int main(int argc, char** argv) {
  using namespace velmora::tool;
  const int status = runCommand(argc, argv);
  ErrorStream::flush(StopSignal::received() ? std::chrono::milliseconds(300) : std::chrono::seconds(2));
  return status;
}

namespace {

int runCommand(int argc, char** argv) {
  using namespace velmora::tool;
  // A write to a reader that has gone then fails with EPIPE, which the
  // commands take as the end of their output, instead of killing them.
  ::signal(SIGPIPE, SIG_IGN);
  // Nothing of the library reaches the terminal (or syslog) unless a
  // command's --verbose asks for it (LogBuffer).
  velmora::setLogSink([](std::string_view) {});

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
  app.footer(std::string("Run `velmora COMMAND --help` for a command's options. New here? `velmora demo` shows it all "
                         "with a simulated headset.\n") +
             kExitStatusHelp);

  std::string command = "velmora";
  try {
    try {
      app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
      // Without a known command CLI11 only says that one is required; the
      // word it could not place is the mistake to name.
      const std::vector<std::string> unplaced = app.remaining();
      if (app.get_subcommands().empty() && !unplaced.empty()) {
        ErrorStream::line("velmora: unknown command or option " + unplaced.front() +
                          "; run `velmora --help` for the commands");
        return kExitBadInput;
      }
      // Help and version print and succeed; every other parse error is a bad
      // argument, whatever CLI11's own code for it.
      return app.exit(e) == 0 ? kExitDone : kExitBadInput;
    }
    for (auto& [sub, run] : runners) {
      if (!sub->parsed()) continue;
      command += " " + sub->get_name();
      return run();
    }
  } catch (const std::bad_alloc&) {
    ErrorStream::say(command, "out of memory");
    return kExitFailed;
  } catch (const std::exception& e) {
    ErrorStream::say(command, e.what());
    return kExitFailed;
  }
  return kExitBadInput;
}

}  // namespace
