#include "ZPRSerialPortError.h"

#include <system_error>

namespace velmora {

ZPRSerialPortError ZPRSerialPortError::fromErrno(int errnoValue, std::string path) {
  ZPRSerialPortError error;
  error.code = errnoValue;
  // std::generic_category gives strerror's text without strerror's shared
  // buffer, so reports from several threads cannot garble each other.
  error.localizedDescription = std::error_code(errnoValue, std::generic_category()).message();
  error.filePath = std::move(path);
  return error;
}

std::string ZPRSerialPortError::description() const {
  return localizedDescription + " (" + domain + " error " + std::to_string(code) + ", " + filePath + ")";
}

}  // namespace velmora
