#include "platform/TerminalIO.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace velmora::platform {

namespace {

// The kernel's termios2 record (asm/termbits.h).  That header cannot be
// included next to <termios.h>, whose struct termios has another layout, so
// the record and its two requests (TCGETS2, TCSETS2) are declared here.
struct KernelTermios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};

const unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
const unsigned long kSetTermios2 = _IOW('T', 0x2B, KernelTermios2);

constexpr tcflag_t kKernelCBAUD = 0010017;
constexpr tcflag_t kKernelBOTHER = 0010000;
constexpr tcflag_t kKernelIBSHIFT = 16;

}  // namespace

std::shared_ptr<TerminalIO> TerminalIO::system() {
  static const std::shared_ptr<TerminalIO> instance = std::make_shared<TerminalIO>();
  return instance;
}

int TerminalIO::open(const char* path, int flags) { return ::open(path, flags); }

int TerminalIO::close(int fd) { return ::close(fd); }

int TerminalIO::duplicate(int fd, int minimum) { return ::fcntl(fd, F_DUPFD_CLOEXEC, minimum); }

int TerminalIO::lock(int fd, int operation) { return ::flock(fd, operation); }

int TerminalIO::setExclusive(int fd, bool exclusive) { return ::ioctl(fd, exclusive ? TIOCEXCL : TIOCNXCL); }

int TerminalIO::getAttributes(int fd, struct termios* attributes) { return ::tcgetattr(fd, attributes); }

int TerminalIO::setAttributes(int fd, int optionalActions, const struct termios* attributes) {
  return ::tcsetattr(fd, optionalActions, attributes);
}

int TerminalIO::setArbitrarySpeed(int fd, unsigned int rate) {
  KernelTermios2 t{};
  if (::ioctl(fd, kGetTermios2, &t) != 0) return -1;
  t.c_cflag &= ~(kKernelCBAUD | (kKernelCBAUD << kKernelIBSHIFT));
  t.c_cflag |= kKernelBOTHER | (kKernelBOTHER << kKernelIBSHIFT);
  t.c_ispeed = rate;
  t.c_ospeed = rate;
  return ::ioctl(fd, kSetTermios2, &t);
}

int TerminalIO::getModemLines(int fd, int* bits) { return ::ioctl(fd, TIOCMGET, bits); }

int TerminalIO::setModemLines(int fd, const int* bits) { return ::ioctl(fd, TIOCMSET, bits); }

int TerminalIO::wait(int fd, short events, int wakeFd, int timeoutMs) {
  struct pollfd p[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
  int n = ::poll(p, 2, timeoutMs);
  if (n <= 0) return n;
  return p[0].revents != 0 ? 1 : 0;
}

ssize_t TerminalIO::read(int fd, void* buffer, size_t count) { return ::read(fd, buffer, count); }

ssize_t TerminalIO::write(int fd, const void* buffer, size_t count) { return ::write(fd, buffer, count); }

}  // namespace velmora::platform
