// The process-wide log sink.
//
// Every log message of the library is one line of text handed to one sink.
// The default sink writes the line to stderr and to syslog; a host (and every
// test) may install its own with setLogSink().  Lines carry no trailing
// newline.
//
// Thread-safety: every function here may be called from any thread.  The sink
// may be called concurrently from several threads, so a custom sink must be
// thread-safe.  A sink must not call back into logMessage().
#pragma once

#include <cstdarg>
#include <functional>
#include <string>
#include <string_view>

namespace velmora {

using LogSink = std::function<void(std::string_view line)>;

// Installs `sink` as the process-wide sink; an empty function restores the
// default (stderr and syslog).
void setLogSink(LogSink sink);

// Formats `format` as printf does and passes the line to the sink.  The
// design's "%@" placeholders are written as "%s" by callers, with the
// object's description as argument.
void logMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logMessageV(const char* format, va_list args);

// Passes an already formatted line to the sink.
void logLine(std::string_view line);

}  // namespace velmora
