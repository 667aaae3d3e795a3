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
  // errno: ELOOP a symbolic link, EPERM another user's file, EINVAL not a
  // regular file, EMLINK further hard links (the rule's own refusals); or
  // the error of the open itself.  0: none.
  int code = 0;
  // A refusal by the rule: what the file is, as a predicate ("is a symbolic
  // link", "belongs to another user (uid 1001)"); otherwise the system's text
  // for `code`.
  std::string reason;
  bool refused = false;  // whether it is the rule's refusal

  // "PATH is a symbolic link", or "PATH: No space left on device".
  std::string sentence(const std::string& path) const {
    return refused ? path + " " + reason : path + ": " + reason;
  }
};

// Opens `path` for reading and writing under the rule, creating it (0600)
// when missing; `append` makes every write go to the end.  Returns the
// descriptor (close-on-exec, blocking), or -1 with `error` set.
int openOwnFile(const std::string& path, bool append, OwnFileError& error);

// Whether `path` may be written under the rule as it stands now (a missing
// file may): the refusal openOwnFile() would give, or code 0.
OwnFileError ownFileProblem(const std::string& path);

}  // namespace velmora::platform
