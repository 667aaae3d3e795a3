// WebOption: the `--web [HOST:]PORT` option that `velmora stream` and
// `velmora demo` share.  `--web` alone serves on 127.0.0.1:8512 (the default
// port); `--web PORT` on 127.0.0.1:PORT; `--web HOST:PORT` on HOST, which
// may be any address of this machine (0.0.0.0 for all): only an address
// named explicitly leaves loopback.
//
// Threads: the main thread, as the command starts.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>

#include "web/WebView.h"

namespace velmora::tool::web {

// Adds --web to `cmd`, storing its text (empty when given alone).
void addWebOption(CLI::App& cmd, std::optional<std::string>& value);

// The address --web asks for, none when it was not given; the problem in a
// sentence (for status 2) in `problem`.
std::optional<WebAddress> webAddress(const std::optional<std::string>& value, std::string& problem);

// Starts the live view for `command` on `address`, passing the session's
// view through; says on stderr where to open it.  Null (after saying why
// on stderr) when it cannot serve.
std::unique_ptr<WebView> startWebView(const char* command, const WebAddress& address, StreamView& inner,
                                      JsonLinesView* json, WebView::Settings settings);

}  // namespace velmora::tool::web
