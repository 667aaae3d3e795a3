#include "ConnectAdvice.h"

#include "host/ConnectionDiagnosis.h"
#include "platform/DeviceFolder.h"

namespace velmora::python {
namespace {

// What to pass as port=, with the ports there are to pass.
std::string portHint(const std::vector<host::PortSummary>& ports) {
  if (ports.empty()) return " No serial ports are present.";
  return " Serial ports present: " + host::ConnectionDiagnosis::joinNames(ports) +
         "; pass one of their names or paths as port=.";
}

}  // namespace

std::string connectAdvice(const std::optional<host::PortChoice>& port) {
  using Kind = host::ConnectFinding::Kind;
  using host::ConnectionDiagnosis;
  const host::ConnectDiagnosis d = ConnectionDiagnosis::diagnose(port);
  std::string text;
  for (const auto& f : d.findings) {
    if (!text.empty()) text += " ";
    switch (f.kind) {
      case Kind::NoSuchPath: text += f.subject + " does not exist." + portHint(d.ports); break;
      case Kind::NotAPort:
        text += f.subject +
                " is not a serial port the library knows: real serial devices are found through udev, and "
                "another tty counts once it is published in the device folder " +
                platform::DeviceFolder::path() + "." + portHint(d.ports);
        break;
      case Kind::NoPortNamed: text += "No port named " + f.subject + "." + portHint(d.ports); break;
      case Kind::NoHeadset:
        text += "No headset found. Is it paired and switched on? velmora.Simulator() starts a simulated headset.";
        if (!d.ports.empty()) {
          text += " " + ConnectionDiagnosis::nonHeadsetPorts(d.ports) + "; pass port= to take another.";
        }
        break;
      case Kind::OpenFailed: text += ConnectionDiagnosis::explainOpenFailed(f); break;
    }
  }
  if (!d.folderRefusal.empty()) {
    text += " Also " + d.folderRefusal + "; no port published there is used (pass device_dir= a folder of your own).";
  }
  return text;
}

}  // namespace velmora::python
