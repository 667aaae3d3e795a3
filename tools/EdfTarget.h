// The checks an EDF+/BDF+ output file name must pass before a command
// starts (`stream --edf`, `demo --edf`, `convert`): a format the name asks
// for and a folder to write in; and the gain --uv-per-count gives them.
//
// Threads: the main thread, before the command starts.
#pragma once

#include <charconv>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "CommandSupport.h"
#include "VelmoraEdfRecorder.h"

namespace velmora::tool {

inline constexpr const char* kEdfOptionHelp =
    "Also record to FILE as BDF+ (FILE.bdf, 24-bit, recommended) or EDF+ (FILE.edf, 16-bit), the formats "
    "EDFbrowser, MNE and EEGLAB open; an existing FILE is never replaced";

inline constexpr const char* kUvPerCountHelp =
    "Store the EDF/BDF raw signal in microvolts: your headset's gain in microvolts per count, from its maker "
    "(default: the file holds counts and says so)";

// Reads --uv-per-count's `text` into `gain` (locale-free, as the header is);
// the problem with it in a sentence, or none.
inline std::optional<std::string> parseUvPerCount(const std::string& text, std::optional<double>& gain) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
      value < VelmoraEdfRecorder::kMinUvPerCount || value > VelmoraEdfRecorder::kMaxUvPerCount) {
    return "--uv-per-count takes the headset's microvolts per count, a number from 0.0001 to 300 (such as 0.5), "
           "not \"" + text + "\"";
  }
  gain = value;
  return std::nullopt;
}

// The problem with `file` as a new recording, in a sentence, or none.  With
// `mayExist` an existing file is fine (it is replaced only once the new one
// is complete).
inline std::optional<std::string> checkEdfTarget(const std::string& file, bool mayExist) {
  if (!VelmoraEdfRecorder::formatForPath(file)) {
    return "the name must end in .bdf (BDF+, 24-bit, recommended) or .edf (EDF+, 16-bit)";
  }
  std::error_code ec;
  if (!mayExist && std::filesystem::exists(file, ec)) {
    return "the file exists, and a recording never replaces one; choose another name or remove it first";
  }
  return checkSaveTarget(file);
}

}  // namespace velmora::tool
