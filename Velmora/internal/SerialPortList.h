// The process-wide list of live serial ports, behind the port factories: at
// most one live port object per callout path.  It holds weak references, so
// a port lives while somebody holds it.  Any thread; every access holds
// `mutex`.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmora {
class ZPRSerialPort;
}

namespace velmora::internal {

// Each entry keeps the port's path, so that a lookup locks only the weak
// reference it returns: a temporary strong reference released under the
// mutex could destroy a port, whose destructor takes the mutex again.
struct SerialPortList {
  struct Entry {
    const ZPRSerialPort* port;
    std::string path;
    std::weak_ptr<ZPRSerialPort> reference;
  };
  std::mutex mutex;
  std::vector<Entry> entries;

  // The one list of the process; never destroyed, since ports may be
  // released while the process exits.
  static SerialPortList& shared();

  // With `mutex` held: the live port whose path is `path`, or null.
  std::shared_ptr<ZPRSerialPort> findLocked(const std::string& path);
};

}  // namespace velmora::internal
