// ConnectAdvice: the tool's words for a connect that opened no port: what
// the port manager shows (host::ConnectionDiagnosis) and what to do, in the
// tool's own terms (`velmora ports`, --port, `velmora simulate`).
//
// Threads: any thread (see host::ConnectionDiagnosis).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "VelmoraObjC.h"
#include "host/PortChoice.h"

namespace velmora::tool {

// `port` is the --port choice (none: the first headset, as Connect takes);
// `attempts` what the connect met (VelmoraObjC::lastConnectAttempts()).  A
// refused device folder is named with its reason at the end.
std::string connectAdvice(const std::optional<host::PortChoice>& port,
                          const std::vector<VelmoraConnectAttempt>& attempts = {});

}  // namespace velmora::tool
