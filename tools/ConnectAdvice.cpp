#include "ConnectAdvice.h"

#include <cctype>

#include "host/ConnectionDiagnosis.h"

namespace velmora::tool {

std::string connectAdvice(const std::optional<host::PortChoice>& port,
                          const std::vector<VelmoraConnectAttempt>& attempts) {
  using Kind = host::ConnectFinding::Kind;
  using host::ConnectionDiagnosis;
  const host::ConnectDiagnosis d = ConnectionDiagnosis::diagnose(port, attempts);
  std::string text;
  for (const auto& f : d.findings) {
    if (!text.empty()) text += " ";
    switch (f.kind) {
      case Kind::NoSuchPath:
        text += f.subject +
                " does not exist. Run `velmora ports` to see the serial ports and pass one of "
                "their names or paths to --port.";
        break;
      case Kind::NotAPort:
        text += f.subject +
                " is not a serial port the library knows. Real serial devices are found through udev; a pty or "
                "another tty can be published as a port with `velmora publish " +
                f.subject +
                " NAME` (NAME beginning with " + ConnectionDiagnosis::headsetPrefixes() +
                "), which keeps it published for as long as it runs. Run `velmora ports` to see the ports.";
        break;
      case Kind::NoPortNamed:
        text += "No port named " + f.subject + ". Run `velmora ports` to see the serial ports.";
        break;
      case Kind::NoHeadset:
        text +=
            "No headset found. Is it paired and switched on? Run `velmora ports` to see the serial ports; "
            "`velmora simulate` starts a simulated headset.";
        if (!d.ports.empty()) text += " " + ConnectionDiagnosis::nonHeadsetPorts(d.ports) + ".";
        break;
      case Kind::OpenFailed: text += ConnectionDiagnosis::explainOpenFailed(f); break;
    }
  }
  if (std::string refusal = d.folderRefusal; !refusal.empty()) {
    refusal.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(refusal.front())));
    text += " " + refusal + "; no port published there is used (choose a folder of your own with --device-dir DIR "
            "or VELMORA_DEVICE_DIR).";
  }
  return text;
}

}  // namespace velmora::tool
