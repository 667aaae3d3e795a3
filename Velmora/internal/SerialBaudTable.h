// The rates a serial port can set through cfsetspeed, as termios speed
// constants.  Any other rate goes through TerminalIO::setArbitrarySpeed.
// A pure function: callable from any thread.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

namespace velmora::internal {

// The speed constant for `rate` bits per second, or none when cfsetspeed
// does not know that rate.
std::optional<speed_t> standardSpeed(uint32_t rate);

}  // namespace velmora::internal
