// The terminal system calls a serial port makes, behind one narrow interface.
//
// TerminalIO::system() forwards every call to the real POSIX/Linux call.
// Tests install a replacement on a port (ZPRSerialPort::setTerminalIO) to
// produce what a pseudo-terminal cannot: modem-line changes, an ioctl that
// fails with a chosen errno.  A replacement usually derives from the system
// implementation and overrides only what it fakes.
//
// Every function returns what the underlying call returns (-1 on failure) and
// leaves errno as that call set it.
//
// A port keeps its descriptor non-blocking and waits with poll() instead, so
// that no read or write ever sleeps inside the kernel where a close could not
// reach it: every wait also watches a "wake" descriptor that the port makes
// readable when it closes.
//
// Thread-safety: the system implementation is stateless and may be used from
// any thread; a replacement must be callable from any thread too (a port uses
// it from the caller's thread, its read loop and its modem-line poll).
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <memory>

namespace velmora::platform {

class TerminalIO {
 public:
  // The process-wide implementation that makes the real calls.
  static std::shared_ptr<TerminalIO> system();

  virtual ~TerminalIO() = default;

  virtual int open(const char* path, int flags);
  virtual int close(int fd);
  // fcntl(fd, F_DUPFD_CLOEXEC, minimum).
  virtual int duplicate(int fd, int minimum);
  // flock(fd, operation).
  virtual int lock(int fd, int operation);
  // ioctl(fd, TIOCEXCL) when `exclusive`, else ioctl(fd, TIOCNXCL).
  virtual int setExclusive(int fd, bool exclusive);
  virtual int getAttributes(int fd, struct termios* attributes);
  virtual int setAttributes(int fd, int optionalActions, const struct termios* attributes);
  // Sets input and output speed to an arbitrary rate (termios2 with BOTHER),
  // for rates that cfsetspeed does not know.
  virtual int setArbitrarySpeed(int fd, unsigned int rate);
  // ioctl(fd, TIOCMGET, bits) and ioctl(fd, TIOCMSET, bits).
  virtual int getModemLines(int fd, int* bits);
  virtual int setModemLines(int fd, const int* bits);
  // Waits until `fd` has one of `events` (POLLIN, POLLOUT), has hung up or
  // has an error: returns 1 then.  Returns 0 when `wakeFd` became readable
  // first or `timeoutMs` passed (-1: no limit), -1 on failure.
  virtual int wait(int fd, short events, int wakeFd, int timeoutMs);
  virtual ssize_t read(int fd, void* buffer, size_t count);
  virtual ssize_t write(int fd, const void* buffer, size_t count);
};

}  // namespace velmora::platform
