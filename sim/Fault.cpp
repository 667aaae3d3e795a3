#include "sim/Fault.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace velmora::sim {
namespace {

constexpr const char* kSyntax =
    "expected KIND@SECOND[:ARG] with KIND one of checksum, sync, junk, pause, unplug "
    "(e.g. checksum@5, junk@7:32, pause@8:2, unplug@10:3)";

std::optional<double> parseNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string s(text);
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

double defaultArgument(FaultKind kind) {
  switch (kind) {
    case FaultKind::Checksum:
    case FaultKind::Sync:
    case FaultKind::Pause: return 1.0;
    case FaultKind::Junk: return 16.0;
    case FaultKind::Unplug: return 0.0;
  }
  return 1.0;
}

}  // namespace

const char* faultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::Checksum: return "checksum";
    case FaultKind::Sync: return "sync";
    case FaultKind::Junk: return "junk";
    case FaultKind::Pause: return "pause";
    case FaultKind::Unplug: return "unplug";
  }
  return "?";
}

Fault Fault::now(FaultKind kind) {
  Fault f;
  f.kind = kind;
  f.argument = defaultArgument(kind);
  return f;
}

Fault Fault::parse(std::string_view text) {
  auto fail = [&](const std::string& why) -> Fault {
    throw std::invalid_argument("bad fault \"" + std::string(text) + "\": " + why + "; " + kSyntax);
  };
  size_t at = text.find('@');
  if (at == std::string_view::npos) return fail("no '@SECOND'");
  std::string_view name = text.substr(0, at);
  std::string_view rest = text.substr(at + 1);
  Fault f;
  bool known = false;
  for (FaultKind k : {FaultKind::Checksum, FaultKind::Sync, FaultKind::Junk, FaultKind::Pause, FaultKind::Unplug}) {
    if (name == faultKindName(k)) {
      f.kind = k;
      known = true;
    }
  }
  if (!known) return fail("unknown kind \"" + std::string(name) + "\"");
  f.argument = defaultArgument(f.kind);

  size_t colon = rest.find(':');
  auto second = parseNumber(rest.substr(0, colon));
  if (!second || *second < 0.0) return fail("the second must be a number of at least 0");
  f.atSecond = *second;
  if (colon == std::string_view::npos) return f;

  auto arg = parseNumber(rest.substr(colon + 1));
  if (!arg) return fail("the argument after ':' must be a number");
  switch (f.kind) {
    case FaultKind::Checksum:
    case FaultKind::Sync:
      if (*arg < 1.0 || *arg > 100000.0 || *arg != std::floor(*arg)) return fail("the packet count must be 1 to 100000");
      break;
    case FaultKind::Junk:
      if (*arg < 1.0 || *arg > 65536.0 || *arg != std::floor(*arg)) return fail("the byte count must be 1 to 65536");
      break;
    case FaultKind::Pause:
      if (*arg <= 0.0 || *arg > 86400.0) return fail("the pause must last more than 0 and at most 86400 seconds");
      break;
    case FaultKind::Unplug:
      if (*arg < 0.0 || *arg > 86400.0) return fail("the time until the re-plug must be 0 to 86400 seconds");
      break;
  }
  f.argument = *arg;
  return f;
}

std::string Fault::describe() const {
  char text[96];
  if (atSecond) {
    std::snprintf(text, sizeof text, "%s@%.10g:%.10g", faultKindName(kind), *atSecond, argument);
  } else {
    std::snprintf(text, sizeof text, "%s now:%.10g", faultKindName(kind), argument);
  }
  return text;
}

}  // namespace velmora::sim
