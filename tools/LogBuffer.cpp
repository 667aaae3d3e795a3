#include "LogBuffer.h"

#include <string_view>

#include "ErrorStream.h"
#include "platform/Log.h"

namespace velmora::tool {

LogBuffer::LogBuffer(bool echoToStderr) {
  if (echoToStderr) {
    setLogSink([](std::string_view line) { ErrorStream::line(line); });
  } else {
    setLogSink([](std::string_view) {});
  }
}

LogBuffer::~LogBuffer() {
  setLogSink([](std::string_view) {});
}

}  // namespace velmora::tool
