#include "ZPRSerialPortError.h"

#include "platform/Files.h"

namespace velmora {

ZPRSerialPortError ZPRSerialPortError::fromErrno(int errnoValue, std::string path) {
  ZPRSerialPortError error;
  error.code = errnoValue;
  // Not strerror's shared buffer: reports from several threads cannot
  // garble each other.
  error.localizedDescription = platform::errnoText(errnoValue);
  error.filePath = std::move(path);
  return error;
}

std::string ZPRSerialPortError::description() const {
  return localizedDescription + " (" + domain + " error " + std::to_string(code) + ", " + filePath + ")";
}

}  // namespace velmora
