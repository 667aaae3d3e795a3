// The one rule for the files Velmora writes for the user (the stream log,
// the EDF/BDF recording, files the tool creates): in a shared folder such as
// /tmp another user may have planted something at the name first, so a file
// is written only when it is this user's own regular file with no further
// hard link, and never through a symbolic link at its name.  A file that
// does not exist yet is created owner-only (0600): recordings are personal
// data.
//
// Thread-safety: the functions keep no state; any thread.
#pragma once

#include <string>

namespace velmora::platform {

struct OwnFileError {
  int code = 0;        // errno: ELOOP a symbolic link, EPERM another user's file, EINVAL not a regular file,
                       // EMLINK further hard links; or the open's own
  std::string reason;  // a sentence that names the path, e.g. "/tmp/x is a symbolic link"
};

// Opens `path` for writing under the rule, creating it (0600) when missing;
// `truncate` empties an existing file, only once it has passed the checks.
// Returns the descriptor (close-on-exec, blocking), or -1 with `error` set.
int openOwnFile(const std::string& path, bool truncate, OwnFileError& error);

// Whether `path` may be written under the rule as it stands now (a missing
// file may): the problem as openOwnFile() would give it, or code 0.
OwnFileError ownFileProblem(const std::string& path);

}  // namespace velmora::platform
