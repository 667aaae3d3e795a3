// A pseudo-terminal pair for the simulated headset: the master end is the
// headset's side, the slave (a /dev/pts/N tty in raw mode) is the serial
// device a client opens.  The pair keeps a descriptor of the slave open for
// its whole life, so that what is written before a client opens the slave
// (or between two clients) waits in the tty for the next reader instead of
// being dropped, and so that the client's settings persist.  Closing the
// pair (destruction) hangs the slave up: its readers then see EIO or end of
// file, as on an unplugged serial device.
//
// Thread-safety: none; one owner.  The descriptors are close-on-exec and the
// master is non-blocking.
#pragma once

#include <cstddef>
#include <string>

namespace velmora::sim {

class Pty {
 public:
  // Throws std::system_error when no pty can be had.
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }
  // Bytes waiting in the slave for a reader (what FIONREAD reports).
  size_t unread() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace velmora::sim
