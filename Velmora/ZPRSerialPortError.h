// The error value with which a serial port reports a failed system call to
// its delegate (ZPRSerialPortDelegate::serialPortDidEncounterError).
//
// domain is always "NSPOSIXErrorDomain" (the POSIX error domain), code the
// errno value of the failed call, localizedDescription the strerror text for
// it and filePath the port's path.
#pragma once

#include <string>

namespace velmora {

inline constexpr const char* ZPRPOSIXErrorDomain = "NSPOSIXErrorDomain";

struct ZPRSerialPortError {
  std::string domain = ZPRPOSIXErrorDomain;
  int code = 0;
  std::string localizedDescription;
  std::string filePath;

  // An error of the POSIX domain for `errnoValue` on the device at `path`.
  static ZPRSerialPortError fromErrno(int errnoValue, std::string path);

  // One line for logs: "<strerror text> (NSPOSIXErrorDomain error <code>, <path>)".
  std::string description() const;
};

}  // namespace velmora
