#include "host/ConnectionDiagnosis.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "VelmoraObjC.h"
#include "ZPRSerialPortManager.h"
#include "platform/DeviceFolder.h"
#include "platform/Files.h"

namespace velmora::host {

std::string ConnectionDiagnosis::joinNames(const std::vector<PortSummary>& ports) {
  std::string out;
  for (const auto& p : ports) {
    if (!out.empty()) out += ", ";
    out += p.name + " (" + p.path + ")";
  }
  return out;
}

std::string ConnectionDiagnosis::headsetPrefixes() {
  std::string out;
  const size_t count = std::size(VelmoraObjC::kAcceptedPrefixes);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += i + 1 == count ? " or " : ", ";
    out += VelmoraObjC::kAcceptedPrefixes[i];
  }
  return out;
}

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
      return port + " went away while connecting (" + platform::errnoText(err) +
             "). Is the headset switched on and in range? Then try again.";
    default: return "Cannot open " + port + ": " + platform::errnoText(err) + ".";
  }
}

std::string ConnectionDiagnosis::explainOpenFailed(const ConnectFinding& finding) {
  const PortSummary& p = finding.port;
  return finding.error == 0 ? "Could not open " + p.name + " (" + p.path + "); it opens now, so try again."
                            : explainOpenError(p.name, p.path, finding.error);
}

std::string ConnectionDiagnosis::nonHeadsetPorts(const std::vector<PortSummary>& ports) {
  return "Serial ports present, none of them a headset: " + joinNames(ports) +
         ". A headset's port name begins with " + headsetPrefixes();
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

ConnectDiagnosis ConnectionDiagnosis::diagnose(const std::optional<PortChoice>& port,
                                               const std::vector<VelmoraConnectAttempt>& attempts) {
  ConnectDiagnosis d;
  d.ports = ports(port);
  d.folderRefusal = deviceFolderRefusal();
  for (const auto& p : d.ports) {
    if (!p.candidate) continue;
    // What the connect's own open met, if it tried the port; else a probe.
    const auto tried = std::find_if(attempts.begin(), attempts.end(), [&](const VelmoraConnectAttempt& a) {
      return a.path == p.path && a.outcome == VelmoraConnectAttempt::Outcome::Failed && a.error;
    });
    d.findings.push_back(
        {ConnectFinding::Kind::OpenFailed, {}, p, tried != attempts.end() ? tried->error->code : probe(p.path)});
  }
  if (!d.findings.empty()) return d;

  ConnectFinding f;
  if (port && port->byPath()) {
    std::error_code ec;
    f.kind = std::filesystem::exists(port->text(), ec) ? ConnectFinding::Kind::NotAPort
                                                       : ConnectFinding::Kind::NoSuchPath;
  } else {
    f.kind = port ? ConnectFinding::Kind::NoPortNamed : ConnectFinding::Kind::NoHeadset;
  }
  if (port) f.subject = port->text();
  d.findings.push_back(std::move(f));
  return d;
}

}  // namespace velmora::host
