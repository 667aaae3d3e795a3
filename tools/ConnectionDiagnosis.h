// ConnectionDiagnosis: why a connect opened no port, in words a user can act
// on: which serial ports the port manager knows, which of them the connect
// would have taken (headset names, or the port that --port names), and what
// opening each of those gave (busy, permission denied, gone): the error the
// connect's own attempt reported, else what opening it now gives.
//
// Threads: any thread; it reads the port manager's snapshot and opens the
// candidates' paths briefly (and closes them again).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "PortChoice.h"
#include "VelmoraObjC.h"

namespace velmora::tool {

struct PortSummary {
  std::string name;
  std::string path;        // the path to open
  bool candidate = false;  // the connect would try it
};

class ConnectionDiagnosis {
 public:
  // `port` is the --port choice (none: the first headset, as Connect takes);
  // `attempts` what the connect met (VelmoraObjC::lastConnectAttempts()):
  // a port it failed to open is explained by the error it reported, any
  // other candidate by a probe.  A refused device folder is named with its
  // reason at the end.
  static std::string explain(const std::optional<PortChoice>& port,
                             const std::vector<VelmoraConnectAttempt>& attempts = {});

  // The sentence for a failed open of `path` (`name`) with errno `err`.
  static std::string explainOpenError(const std::string& name, const std::string& path, int err);

  // What an open and an exclusive lock of `path` give: 0 when both succeed
  // (the port could be opened now), else the errno.
  static int probe(const std::string& path);

  // The ports the manager lists, marked as the connect would choose.
  static std::vector<PortSummary> ports(const std::optional<PortChoice>& port);

  // Why the device folder in use must not be used, as "the device folder
  // DIR is refused: REASON", or empty when it may be.
  static std::string deviceFolderRefusal();

  // The hint that ends every "no headset" message.
  static constexpr const char* kNoHeadsetHint =
      "Is it paired and switched on? Run `velmora ports` to see the serial ports; `velmora simulate` starts a "
      "simulated headset.";

 private:
  static std::string explainPorts(const std::optional<PortChoice>& port,
                                  const std::vector<VelmoraConnectAttempt>& attempts);
};

}  // namespace velmora::tool
