// The checks an EDF+/BDF+ output file name must pass before a command
// starts (`stream --edf`, `demo --edf`, `convert`): a format the name asks
// for and a folder to write in.
//
// Threads: the main thread, before the command starts.
#pragma once

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
