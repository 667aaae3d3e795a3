#include "web/WebOption.h"

#include <cstdio>

namespace velmora::tool::web {

void addWebOption(CLI::App& cmd, std::optional<std::string>& value) {
  cmd.add_option("--web", value,
                 "Also show the stream in a browser: serve a live page on 127.0.0.1:PORT (default 8512), or on HOST "
                 "when named (0.0.0.0: every address; anyone who reaches it sees the stream). Prints the URL to open")
      ->expected(0, 1)
      ->type_name("[HOST:]PORT");
}

std::optional<WebAddress> webAddress(const std::optional<std::string>& value, std::string& problem) {
  if (!value) return std::nullopt;
  return WebServer::parseAddress(*value, problem);
}

std::unique_ptr<WebView> startWebView(const char* command, const WebAddress& address, StreamView& inner,
                                      JsonLinesView* json, WebView::Settings settings) {
  auto view = std::make_unique<WebView>(inner, json, address, std::move(settings));
  if (auto problem = view->start()) {
    std::fprintf(stderr, "%s: %s.\n", command, problem->c_str());
    return nullptr;
  }
  std::fprintf(stderr, "%s: live view at %s\n", command, view->url().c_str());
  if (!WebServer::isLoopback(address.host)) {
    std::fprintf(stderr, "%s: the live view listens on %s: whoever reaches that address sees the stream.\n", command,
                 address.host.c_str());
  }
  return view;
}

}  // namespace velmora::tool::web
