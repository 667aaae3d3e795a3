// ConnectAdvice: the Python module's words for a connect that opened no
// port, the message of its ConnectionError: what the port manager shows
// (host::ConnectionDiagnosis) and what to pass as port=.  It names the
// ports present itself, since a Python user may have no `velmora` tool.
//
// Threads: any thread, without the GIL (it may open ports briefly).
#pragma once

#include <optional>
#include <string>

#include "host/PortChoice.h"

namespace velmora::python {

// `port` is the port= choice (none: the first headset, as Connect takes).
std::string connectAdvice(const std::optional<host::PortChoice>& port);

}  // namespace velmora::python
