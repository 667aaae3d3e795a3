// The line options of a serial port as one value, and how they become a
// termios record: raw, VMIN 1, VTIME 2, CS8, parity, stop bits, echo,
// CRTSCTS, CREAD | HUPCL | CLOCAL and the speed.  Pure functions: callable
// from any thread.
#pragma once

#include <termios.h>

#include <cerrno>
#include <cstdint>
#include <optional>

namespace velmora::internal {

struct SerialLineSettings {
  uint32_t baudRate = 19200;
  uint64_t numberOfStopBits = 1;  // above 1: two stop bits
  uint64_t parity = 0;            // 0 none, 1 odd, 2 even
  bool echo = false;
  bool usesRTSCTSFlowControl = false;
};

// Rewrites `t` (as read from the device) for `settings`.  Returns the speed
// constant set in `t`, or none when the rate is not one cfsetspeed knows: `t`
// then carries B38400 as a placeholder and the caller sets the rate through
// TerminalIO::setArbitrarySpeed once `t` is applied.
std::optional<speed_t> applyLineSettings(struct termios& t, const SerialLineSettings& settings);

// The errnos with which Linux says that the device is no longer there.
inline bool isDeviceGoneError(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

// The errnos of a terminal without modem lines (a pseudo-terminal).
inline bool isNoModemLinesError(int err) { return err == ENOTTY || err == EINVAL; }

}  // namespace velmora::internal
