// `velmora hrv [--standard] [FILE]`: the LF/HF and energy calculation over a
// list of RR intervals, run on this thread; with --standard the field's
// standard measures (VLHrvStandard) instead.
//
// Input (FILE, or stdin when FILE is absent or "-"): RR intervals in ms,
// integers separated by whitespace, commas or newlines; a UTF-8 byte-order
// mark at the start is skipped.  Output: one JSON object on stdout with
// "LF", "HF", "LF/HF" and "energy" (--standard: VLHrvStandard's keys, in its
// order); numbers that are not finite are written as the strings "NaN",
// "Infinity" and "-Infinity".  The library's log lines go to stderr only
// with --verbose.
//
// Exit status: 0 done; 1 the list was refused (too short; with --standard
// also an interval outside 200..3000 ms), or stdout cannot be written; 2
// unreadable input: it cannot be read, a word is no interval, or it holds no
// interval at all.
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "CommandSupport.h"
#include "HrvJson.h"
#include "LogBuffer.h"
#include "Output.h"
#include "VLHrv.h"
#include "VLHrvStandard.h"

namespace velmora::tool {
namespace {

constexpr const char* kCommand = "velmora hrv";
// No interval needs more characters; a longer word is refused as soon as it
// is seen, so that a file without separators is not read into memory.
constexpr size_t kLongestWord = 32;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// `word` as it can be shown in a message: bytes that are not printable ASCII
// as \xNN, cut off after kLongestWord bytes.
std::string shown(const std::string& word) {
  std::string out;
  for (size_t i = 0; i < word.size() && i < kLongestWord; ++i) {
    const auto c = static_cast<unsigned char>(word[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return word.size() > kLongestWord ? out + "..." : out;
}

// Reads the intervals from `fd` in blocks.  On failure returns a message
// naming the line and the offending word, or the read error.
class IntervalReader {
 public:
  std::optional<std::string> read(int fd, std::vector<int32_t>& out) {
    char block[1 << 16];
    for (;;) {
      const ssize_t n = ::read(fd, block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::string("cannot read it: ") + std::strerror(errno);
      if (n == 0) return endWord(out);
      for (ssize_t i = 0; i < n; ++i) {
        const char c = block[i];
        if (c == '\0') return where() + "a NUL byte; this is not a text file of RR intervals";
        if (std::strchr(" \t\r\n\f\v,", c) == nullptr) {
          word_ += c;
          if (word_.size() > kLongestWord) return where() + "\"" + shown(word_) + "\" is not an integer";
          continue;
        }
        if (auto error = endWord(out)) return error;
        if (c == '\n') ++line_;
      }
    }
  }

 private:
  std::string where() const { return "line " + std::to_string(line_) + ": "; }

  std::optional<std::string> endWord(std::vector<int32_t>& out) {
    if (first_ && word_.starts_with(kByteOrderMark)) word_.erase(0, kByteOrderMark.size());
    if (word_.empty()) return std::nullopt;
    first_ = false;
    const std::string word = std::move(word_);
    word_.clear();
    int64_t value = 0;
    const auto [ptr, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    const bool whole = ptr == word.data() + word.size();
    if (ec == std::errc::result_out_of_range ||
        (ec == std::errc() && whole && (value > std::numeric_limits<int32_t>::max() ||
                                        value < std::numeric_limits<int32_t>::min()))) {
      return where() + "\"" + shown(word) + "\" is out of the 32-bit range";
    }
    if (ec != std::errc() || !whole) return where() + "\"" + shown(word) + "\" is not an integer";
    if (value <= 0) return where() + "\"" + word + "\" is not an RR interval (intervals are in ms and above 0)";
    if (out.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) return where() + "too many intervals";
    out.push_back(static_cast<int32_t>(value));
    return std::nullopt;
  }

  std::string word_;
  long line_ = 1;
  bool first_ = true;
};

// The standard measures of `intervals` as one JSON object, or a refusal.
int runStandard(const std::vector<int32_t>& intervals) {
  const std::vector<double> rr(intervals.begin(), intervals.end());
  std::string why;
  const auto result = VLHrvStandard::compute(rr, why);
  if (!result) {
    std::fprintf(stderr, "%s: refused: %s\n", kCommand, why.c_str());
    return kExitFailed;
  }
  Output output;
  output.write(standardHrvJson(*result).dump() + "\n");
  output.finish();
  return output.report(kCommand);
}

int run(const std::string& path, bool verbose, bool standard) {
  LogBuffer log(verbose);
  std::string name;
  const int fd = openInput(path, kCommand, name);
  if (fd < 0) return kExitBadInput;
  std::vector<int32_t> intervals;
  const std::optional<std::string> error = IntervalReader().read(fd, intervals);
  if (fd != STDIN_FILENO) ::close(fd);
  if (error) {
    std::fprintf(stderr, "%s: %s: %s\n", kCommand, name.c_str(), error->c_str());
    return kExitBadInput;
  }
  if (intervals.empty()) {
    std::fprintf(stderr, "%s: %s holds no RR intervals; give intervals in ms, one per line or separated by blanks\n",
                 kCommand, name.c_str());
    return kExitBadInput;
  }
  if (standard) return runStandard(intervals);

  VLHrv hrv;
  if (hrv.calculateEnergyLevel(intervals.data(), static_cast<int32_t>(intervals.size())) < 0) {
    // Every interval is above 0 (the reader saw to that), so the list was
    // refused as too short: the first entry only starts the time line.
    const int64_t total = std::accumulate(intervals.begin() + 1, intervals.end(), int64_t{0});
    std::fprintf(stderr,
                 "%s: too short: the intervals after the first add up to %lld ms; the calculation needs at least "
                 "63500 ms (about 64 s of heartbeats); give a longer list\n",
                 kCommand, static_cast<long long>(total));
    return kExitFailed;
  }

  const Dictionary result = hrv.result();
  nlohmann::ordered_json out;
  for (const char* key : {"LF", "HF", "LF/HF", "energy"}) {
    auto it = result.find(key);
    if (it != result.end()) out[key] = jsonNumber(it->second);
  }
  Output output;
  output.write(out.dump() + "\n");
  output.finish();
  return output.report(kCommand);
}

CommandRegistration registration{
    "hrv", "LF/HF and energy level of a list of RR intervals (ms) from FILE or stdin",
    [](CLI::App& cmd) -> CommandRunner {
      auto path = std::make_shared<std::string>();
      auto verbose = std::make_shared<bool>(false);
      auto standard = std::make_shared<bool>(false);
      cmd.add_option("FILE", *path, "RR intervals in ms, separated by whitespace or commas; \"-\" or none for stdin")
          ->type_name("");
      cmd.add_flag("--standard", *standard,
                   "The field's standard measures instead: beats, meanRR, SDNN, RMSSD, pNN50, meanHR, and LF, HF "
                   "(ms^2), LF/HF, LFnu, HFnu by Welch's method on a 4 Hz spline resampling; needs intervals of "
                   "200..3000 ms adding up to at least 64000 ms");
      cmd.add_flag("--verbose", *verbose, "Echo the library's log lines to stderr");
      return [path, verbose, standard] { return run(*path, *verbose, *standard); };
    },
    60};

}  // namespace
}  // namespace velmora::tool
