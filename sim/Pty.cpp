#include "sim/Pty.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace velmora::sim {
namespace {

void setFlag(int fd, int getCmd, int setCmd, int flag) {
  int flags = ::fcntl(fd, getCmd);
  if (flags < 0 || ::fcntl(fd, setCmd, flags | flag) < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot configure the pty");
  }
}

}  // namespace

Pty::Pty() {
  termios raw{};
  ::cfmakeraw(&raw);
  raw.c_cflag |= CLOCAL | CREAD;
  ::cfsetspeed(&raw, B57600);
  if (::openpty(&master_, &slave_, nullptr, &raw, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open a pty pair");
  }
  try {
    setFlag(master_, F_GETFD, F_SETFD, FD_CLOEXEC);
    setFlag(slave_, F_GETFD, F_SETFD, FD_CLOEXEC);
    setFlag(master_, F_GETFL, F_SETFL, O_NONBLOCK);
    char name[256];
    int err = ::ttyname_r(slave_, name, sizeof name);
    if (err != 0) throw std::system_error(err, std::generic_category(), "cannot name the pty");
    slavePath_ = name;
  } catch (...) {
    ::close(master_);
    ::close(slave_);
    throw;
  }
}

Pty::~Pty() {
  ::close(slave_);
  ::close(master_);
}

size_t Pty::unread() const {
  int n = 0;
  if (::ioctl(slave_, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<size_t>(n);
}

}  // namespace velmora::sim
