#include "platform/Log.h"

#include <syslog.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora {
namespace {

void defaultSink(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  syslog(LOG_NOTICE, "%.*s", static_cast<int>(line.size()), line.data());
}

// The sink is swapped under a mutex but called outside it, so a slow sink
// never blocks another thread that installs a new one.
std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<const LogSink>& sinkSlot() {
  static std::shared_ptr<const LogSink> slot;
  return slot;
}

}  // namespace

void setLogSink(LogSink sink) {
  auto next = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
  std::lock_guard<std::mutex> guard(sinkMutex());
  sinkSlot() = std::move(next);
}

void logLine(std::string_view line) {
  std::shared_ptr<const LogSink> sink;
  {
    std::lock_guard<std::mutex> guard(sinkMutex());
    sink = sinkSlot();
  }
  if (sink) {
    (*sink)(line);
  } else {
    defaultSink(line);
  }
}

void logMessageV(const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    logLine(std::string_view(small, static_cast<size_t>(n)));
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  logLine(std::string_view(big.data(), static_cast<size_t>(n)));
}

void logMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  logMessageV(format, args);
  va_end(args);
}

}  // namespace velmora
