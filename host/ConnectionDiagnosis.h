// ConnectionDiagnosis: why a connect opened no port, as findings a front end
// words for its users.  The accessory object reports a refused connect only
// as accessoryDidDisconnect, so after one the front end asks here: which
// serial ports the port manager knows, which of them the connect would have
// taken (headset names, or the port that a user's port text names), and what
// opening each of those gives (busy, permission denied, gone).
//
// The findings are values; each front end says what to do in its own terms
// (the tool names `velmora ports` and --port, the Python module port=).
// Only the sentences for a failed open and for ports that are no headset
// are shared, since they name no option.
//
// Threads: any thread; it reads the port manager's snapshot and opens the
// candidates' paths briefly (and closes them again).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "VelmoraObjC.h"
#include "host/PortChoice.h"

namespace velmora::host {

struct PortSummary {
  std::string name;
  std::string path;        // the path to open
  bool candidate = false;  // the connect would try it
};

struct ConnectFinding {
  enum class Kind {
    NoSuchPath,   // the port text is a path, and nothing is there (`subject`)
    NotAPort,     // the port text is a path of something no listed port is (`subject`)
    NoPortNamed,  // the port text is a name no listed port has (`subject`)
    NoHeadset,    // no port text, and no listed port has a headset name
    OpenFailed,   // `port` would be taken; opening it now gives `error`
  };
  Kind kind = Kind::NoHeadset;
  std::string subject;  // the user's port text, for the first three kinds
  PortSummary port;     // OpenFailed: the port tried
  int error = 0;        // OpenFailed: errno of an open and lock now; 0 when both succeed
};

struct ConnectDiagnosis {
  // One finding, or one OpenFailed per candidate port in listing order.
  std::vector<ConnectFinding> findings;
  // Every port the manager lists, marked as the connect would choose.
  std::vector<PortSummary> ports;
  // deviceFolderRefusal(): a refused device folder hides every port
  // published there, whatever else went wrong.
  std::string folderRefusal;
};

class ConnectionDiagnosis {
 public:
  // `port` is the user's choice (none: the first headset, as Connect takes);
  // `attempts` what the connect met (VelmoraObjC::lastConnectAttempts()): a
  // port it failed to open is judged by the error it reported, any other
  // candidate by a probe.
  static ConnectDiagnosis diagnose(const std::optional<PortChoice>& port,
                                   const std::vector<VelmoraConnectAttempt>& attempts = {});

  // Why the device folder in use must not be used, as "the device folder
  // DIR is refused: REASON", or empty when it may be.
  static std::string deviceFolderRefusal();

  // The sentence for a failed open of `path` (`name`) with errno `err`.
  static std::string explainOpenError(const std::string& name, const std::string& path, int err);
  // The sentence for an OpenFailed finding: explainOpenError(), or, when the
  // port opens now (error 0), that it does and to try again.
  static std::string explainOpenFailed(const ConnectFinding& finding);
  // "Serial ports present, none of them a headset: NAMES. A headset's port
  // name begins with ...", without a closing full stop, for a NoHeadset
  // finding while `ports` is not empty.
  static std::string nonHeadsetPorts(const std::vector<PortSummary>& ports);

  // What an open and an exclusive lock of `path` give: 0 when both succeed
  // (the port could be opened now), else the errno.
  static int probe(const std::string& path);

  // The ports the manager lists, marked as the connect would choose.
  static std::vector<PortSummary> ports(const std::optional<PortChoice>& port);

  // The accepted headset name prefixes (VelmoraObjC::kAcceptedPrefixes) for
  // a sentence: "Kova, Trell, Halobelt or Quorvex".
  static std::string headsetPrefixes();

  // "NAME (PATH), NAME (PATH)" for `ports`.
  static std::string joinNames(const std::vector<PortSummary>& ports);
};

}  // namespace velmora::host
