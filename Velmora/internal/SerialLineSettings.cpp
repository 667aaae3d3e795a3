#include "internal/SerialLineSettings.h"

#include "internal/SerialBaudTable.h"

namespace velmora::internal {

std::optional<speed_t> applyLineSettings(struct termios& t, const SerialLineSettings& settings) {
  cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 2;
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS8;

  switch (settings.parity) {
    case 2: t.c_cflag = (t.c_cflag | PARENB) & ~PARODD; break;
    case 1: t.c_cflag |= PARENB | PARODD; break;
    default: t.c_cflag &= ~PARENB; break;
  }
  if (settings.numberOfStopBits > 1) {
    t.c_cflag |= CSTOPB;
  } else {
    t.c_cflag &= ~CSTOPB;
  }
  if (settings.echo) {
    t.c_lflag |= ECHO;
  } else {
    t.c_lflag &= ~ECHO;
  }
  if (settings.usesRTSCTSFlowControl) {
    t.c_cflag |= CRTSCTS;
  } else {
    t.c_cflag &= ~CRTSCTS;
  }
  // DTR/DSR and DCD output flow control have no termios flags on Linux.
  t.c_cflag |= CREAD | HUPCL | CLOCAL;
  t.c_lflag &= ~(ICANON | ISIG);

  const auto speed = standardSpeed(settings.baudRate);
  // A rate cfsetspeed does not know is set afterwards through termios2;
  // meanwhile the record carries a valid placeholder.
  cfsetspeed(&t, speed.value_or(B38400));
  return speed;
}

}  // namespace velmora::internal
