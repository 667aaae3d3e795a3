// PageFiles: the live view's page (tools/web/page/ and the charting
// library's files), embedded into the binary at build time by
// cmake/EmbedFiles.cmake, so that the server reads nothing from disk.
//
// Threads: constant data; any thread.
#pragma once

#include <span>
#include <string_view>

namespace velmora::tool::web {

struct PageFile {
  std::string_view path;  // as requested: "/index.html", "/dygraph.min.js", ...
  std::string_view type;  // its media type (the text is UTF-8)
  std::string_view body;
};

std::span<const PageFile> pageFiles();

}  // namespace velmora::tool::web
