// Files: the few file operations every part of Velmora writes files with.
//
// One durability rule for every file that replaces another: the new content
// is written to a temporary file beside the destination (same folder, so the
// rename stays within one file system), the temporary file is fsynced and
// closed, renamed over the destination, and the folder is fsynced so that
// the rename itself survives a crash.  A reader therefore sees either the
// whole old file or the whole new one, also after a power cut.
//
// Errors are returned as errno values (0: success); errnoText() gives the
// sentence for one.
//
// Threads: plain functions and a movable object; any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace velmora::platform {

// The system's text for `err` ("No space left on device"), whatever the
// process locale.
std::string errnoText(int err);

// Writes all `length` bytes to `fd`, writing again after a partial write or
// EINTR, so that a failure reports its own errno (a full disk, a file-size
// limit).  Returns 0 or that errno; `written`, when given, receives how many
// bytes reached the file in either case.
int writeAll(int fd, const void* bytes, size_t length, size_t* written = nullptr);

// The folder part of `path` ("." for a bare name), for fsyncing a folder.
std::string folderOf(const std::string& path);

// fsyncs the folder `folder`; 0 or the errno.  File systems that cannot
// fsync a folder (EINVAL) count as success.
int syncFolder(const std::string& folder);

// Renames the complete file `temporary` over `destination` under the one
// durability rule: fsync `temporary`, rename, fsync the folder.  On a
// failure `temporary` is removed and `destination` is left as it was.
// Returns 0 or the errno.
int replaceFile(const std::string& temporary, const std::string& destination);

// A new, empty file beside `destination` that replaces it once complete.
//
//   ReplacementFile out(dest);
//   if (out.error()) ...;            // could not be created
//   writeAll(out.fd(), ...);
//   if (int err = out.commit()) ...; // dest is untouched on failure
//
// The temporary file is named ".NAME.XXXXXX" in the destination's folder,
// created exclusively (another user's file of that name is never opened),
// with `mode` as modified by the umask.  Destroying the object before a
// successful commit() removes the temporary file: the destination is then
// untouched.
class ReplacementFile {
 public:
  explicit ReplacementFile(std::string destination, mode_t mode = 0644);
  ~ReplacementFile();
  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&&) = delete;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // The errno of the creation, 0 when the file was created.
  int error() const { return error_; }
  // The temporary file's descriptor, -1 when it could not be created or
  // after commit().
  int fd() const { return fd_; }
  const std::string& temporaryPath() const { return temporary_; }
  const std::string& destination() const { return destination_; }

  // fsyncs, closes and renames the file over the destination, then fsyncs
  // the folder.  Returns 0 or the errno (the creation's, if that failed); on
  // a failure the temporary file is removed.  A second call returns the
  // first one's result.
  int commit();
  // Removes the temporary file; the destination stays as it was (a later
  // commit() then returns ECANCELED).
  void abandon();

 private:
  std::string destination_;
  std::string temporary_;
  int fd_ = -1;
  int error_ = 0;
  bool done_ = false;
};

}  // namespace velmora::platform
