// `velmora hrv [FILE]`: the LF/HF and energy calculation over a list of RR
// intervals, run on this thread.
//
// Input (FILE, or stdin when FILE is absent or "-"): RR intervals in ms,
// integers separated by whitespace, commas or newlines.  Output: one JSON
// object on stdout with "LF", "HF", "LF/HF" and "energy"; numbers that are
// not finite are written as the strings "NaN", "Infinity" and "-Infinity".
// Log lines of the library go to stderr.
//
// Exit status: 0 done; 1 the list was refused (too short: the library's
// "Need 64 seconds of data. Total ms = %d" is on stderr); 2 unreadable input.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "VLHrv.h"
#include "platform/Log.h"

namespace velmora::tool {
namespace {

// Parses the intervals; on failure returns a message naming the line and the
// offending word.
std::optional<std::string> readIntervals(std::istream& in, std::vector<int32_t>& out) {
  std::string line;
  for (long lineNumber = 1; std::getline(in, line); ++lineNumber) {
    size_t pos = 0;
    while (pos < line.size()) {
      pos = line.find_first_not_of(" \t\r\f\v,", pos);
      if (pos == std::string::npos) break;
      size_t end = line.find_first_of(" \t\r\f\v,", pos);
      if (end == std::string::npos) end = line.size();
      const std::string word = line.substr(pos, end - pos);
      pos = end;

      auto where = [&] { return "line " + std::to_string(lineNumber) + ": \"" + word + "\""; };
      int64_t value = 0;
      auto [ptr, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
      if (ec == std::errc::result_out_of_range) return where() + " is out of the 32-bit range";
      if (ec != std::errc() || ptr != word.data() + word.size()) return where() + " is not an integer";
      if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) {
        return where() + " is out of the 32-bit range";
      }
      if (value <= 0) return where() + " is not an RR interval (intervals are in ms and above 0)";
      if (out.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        return where() + ": too many intervals";
      }
      out.push_back(static_cast<int32_t>(value));
    }
  }
  if (in.bad()) return std::string("read error: ") + std::strerror(errno);
  return std::nullopt;
}

nlohmann::ordered_json number(const Value& v) {
  if (v.isInt()) return v.asInt();
  const double d = v.number();
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

int run(const std::string& path) {
  setLogSink([](std::string_view line) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  });

  std::vector<int32_t> intervals;
  std::optional<std::string> error;
  if (path.empty() || path == "-") {
    error = readIntervals(std::cin, intervals);
  } else {
    std::ifstream file(path);
    if (!file) {
      std::fprintf(stderr, "velmora hrv: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
      return 2;
    }
    error = readIntervals(file, intervals);
  }
  if (error) {
    std::fprintf(stderr, "velmora hrv: %s%s%s\n", path.empty() || path == "-" ? "" : path.c_str(),
                 path.empty() || path == "-" ? "" : ": ", error->c_str());
    return 2;
  }

  VLHrv hrv;
  if (hrv.calculateEnergyLevel(intervals.data(), static_cast<int32_t>(intervals.size())) < 0) {
    std::fprintf(stderr,
                 "velmora hrv: too short: the intervals after the first must add up to at least 63500 ms (about 64 s "
                 "of heartbeats); give a longer list\n");
    return 1;
  }

  const Dictionary result = hrv.result();
  nlohmann::ordered_json out;
  for (const char* key : {"LF", "HF", "LF/HF", "energy"}) {
    auto it = result.find(key);
    if (it != result.end()) out[key] = number(it->second);
  }
  std::cout << out.dump() << std::endl;
  return std::cout ? 0 : 2;
}

CommandRegistration registration{
    "hrv", "LF/HF and energy level of a list of RR intervals (ms) from FILE or stdin",
    [](CLI::App& cmd) -> CommandRunner {
      auto path = std::make_shared<std::string>();
      cmd.add_option("FILE", *path, "RR intervals in ms, separated by whitespace or commas; \"-\" or none for stdin")
          ->type_name("");
      return [path] { return run(*path); };
    },
    60};

}  // namespace
}  // namespace velmora::tool
