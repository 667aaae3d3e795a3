#include "LogBuffer.h"

#include <cstdio>

#include "ErrorStream.h"
#include "platform/Log.h"

namespace velmora::tool {

LogBuffer::LogBuffer(bool echoToStderr, size_t keep) : state_(std::make_shared<State>()) {
  state_->echo = echoToStderr;
  state_->keep = keep == 0 ? 1 : keep;
  setLogSink([state = state_](std::string_view line) { state->add(line); });
}

LogBuffer::~LogBuffer() {
  setLogSink([](std::string_view) {});
}

void LogBuffer::State::add(std::string_view line) {
  {
    std::lock_guard<std::mutex> g(mutex);
    if (line.starts_with("VLAccessory: Checksum error")) ++checksumErrors;
    if (lines.size() == keep) lines.pop_front();
    lines.emplace_back(line);
  }
  // Queued, never waited for: a stderr nobody reads must not hold up the
  // thread that logs.
  if (echo) ErrorStream::line(line);
}

std::vector<std::string> LogBuffer::lines() const {
  std::lock_guard<std::mutex> g(state_->mutex);
  return {state_->lines.begin(), state_->lines.end()};
}

std::optional<std::string> LogBuffer::lastStartingWith(std::string_view prefix) const {
  std::lock_guard<std::mutex> g(state_->mutex);
  for (auto it = state_->lines.rbegin(); it != state_->lines.rend(); ++it) {
    if (std::string_view(*it).starts_with(prefix)) return *it;
  }
  return std::nullopt;
}

uint64_t LogBuffer::checksumErrors() const {
  std::lock_guard<std::mutex> g(state_->mutex);
  return state_->checksumErrors;
}

}  // namespace velmora::tool
