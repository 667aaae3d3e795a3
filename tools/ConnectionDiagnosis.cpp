#include "ConnectionDiagnosis.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "VelmoraObjC.h"
#include "ZPRSerialPortManager.h"
#include "platform/DeviceFolder.h"

namespace velmora::tool {
namespace {

std::string joinNames(const std::vector<PortSummary>& ports) {
  std::string out;
  for (const auto& p : ports) {
    if (!out.empty()) out += ", ";
    out += p.name + " (" + p.path + ")";
  }
  return out;
}

}  // namespace

std::vector<PortSummary> ConnectionDiagnosis::ports(const std::optional<PortChoice>& port) {
  std::vector<PortSummary> out;
  for (const auto& p : ZPRSerialPortManager::sharedSerialPortManager().availablePorts()) {
    const bool candidate = port ? port->matches(*p) : VelmoraObjC::isHeadsetCandidateName(p->name());
    out.push_back({p->name(), p->path(), candidate});
  }
  return out;
}

int ConnectionDiagnosis::probe(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = 0;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) err = errno;
  ::close(fd);  // also drops the lock
  return err;
}

std::string ConnectionDiagnosis::explainOpenError(const std::string& name, const std::string& path, int err) {
  const std::string port = name + " (" + path + ")";
  switch (err) {
    case EWOULDBLOCK:
    case EBUSY:
      return port +
             " is in use by another program. Close the program that holds it (another `velmora stream`, "
             "a serial terminal) and try again.";
    case EACCES:
    case EPERM:
      return "Permission denied opening " + port +
             ". Add your user to the group that owns the device (usually dialout: `sudo usermod -aG dialout "
             "$USER`, then log in again).";
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO:
      return port + " went away while connecting (" + std::strerror(err) +
             "). Is the headset switched on and in range? Then try again.";
    default: return "Cannot open " + port + ": " + std::strerror(err) + ".";
  }
}

std::string ConnectionDiagnosis::deviceFolderRefusal() {
  std::string folder;
  try {
    folder = platform::DeviceFolder::path();
  } catch (const std::system_error& e) {
    return e.what();
  }
  const std::string refusal = platform::DeviceFolder::refusal(folder);
  return refusal.empty() ? refusal : "the device folder " + folder + " is refused: " + refusal;
}

std::string ConnectionDiagnosis::explain(const std::optional<PortChoice>& port,
                                         const std::vector<VelmoraConnectAttempt>& attempts) {
  std::string text = explainPorts(port, attempts);
  // A refused device folder hides every port published there: said once,
  // whatever else went wrong.
  if (std::string refusal = deviceFolderRefusal(); !refusal.empty()) {
    refusal.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(refusal.front())));
    text += " " + refusal + "; no port published there is used (choose a folder of your own with --device-dir DIR "
            "or VELMORA_DEVICE_DIR).";
  }
  return text;
}

std::string ConnectionDiagnosis::explainPorts(const std::optional<PortChoice>& port,
                                              const std::vector<VelmoraConnectAttempt>& attempts) {
  const std::vector<PortSummary> all = ports(port);
  std::vector<PortSummary> candidates;
  for (const auto& p : all) {
    if (p.candidate) candidates.push_back(p);
  }

  if (candidates.empty()) {
    if (port && port->byPath()) {
      const std::string& path = port->text();
      std::error_code ec;
      if (!std::filesystem::exists(path, ec)) {
        return path +
               " does not exist. Run `velmora ports` to see the serial ports and pass one of "
               "their names or paths to --port.";
      }
      return path +
             " is not a serial port the library knows. Real serial devices are found through udev; a pty or "
             "another tty can be published as a port with `velmora publish " +
             path +
             " NAME` (NAME beginning with Kova, Trell, Halobelt or Quorvex), which keeps it published for as long "
             "as it runs. Run `velmora ports` to see the ports.";
    }
    if (port) return "No port named " + port->text() + ". Run `velmora ports` to see the serial ports.";
    std::string text = std::string("No headset found. ") + kNoHeadsetHint;
    if (!all.empty()) {
      text += " Serial ports present, none of them a headset: " + joinNames(all) +
              ". A headset's port name begins with Kova, Trell, Halobelt or Quorvex.";
    }
    return text;
  }

  std::string text;
  for (const auto& c : candidates) {
    // What the connect's own open met, if it tried the port; else a probe.
    const auto tried = std::find_if(attempts.begin(), attempts.end(), [&](const VelmoraConnectAttempt& a) {
      return a.path == c.path && a.outcome == VelmoraConnectAttempt::Outcome::Failed && a.error;
    });
    const int err = tried != attempts.end() ? tried->error->code : probe(c.path);
    if (!text.empty()) text += " ";
    text += err == 0 ? "Could not open " + c.name + " (" + c.path + "); it opens now, so try again."
                     : explainOpenError(c.name, c.path, err);
  }
  return text;
}

}  // namespace velmora::tool
