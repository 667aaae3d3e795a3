#include "platform/OwnFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Files.h"

namespace velmora::platform {
namespace {

// The rule applied to what `st` describes (an lstat, or an fstat of the
// file opened without following a link).
OwnFileError problemWith(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return {ELOOP, "is a symbolic link", true};
  if (!S_ISREG(st.st_mode)) return {EINVAL, "is not a regular file", true};
  if (st.st_uid != ::geteuid()) {
    return {EPERM, "belongs to another user (uid " + std::to_string(st.st_uid) + ")", true};
  }
  if (st.st_nlink > 1) return {EMLINK, "has further hard links", true};
  return {};
}

OwnFileError systemError(int err) { return {err, errnoText(err), false}; }

}  // namespace

int openOwnFile(const std::string& path, bool append, OwnFileError& error) {
  // O_NONBLOCK: a FIFO at the name must not hold the open up until a writer
  // comes; it is refused below anyway.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    const int err = errno;
    struct stat st {};
    // A link is named as such (O_NOFOLLOW reports it as ELOOP); anything
    // else (a folder: EISDIR) by the open's own error.
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      error = problemWith(st);
    } else {
      error = systemError(err);
    }
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = systemError(errno);
    ::close(fd);
    return -1;
  }
  if (OwnFileError problem = problemWith(st); problem.code != 0) {
    error = problem;
    ::close(fd);
    return -1;
  }
  if (::fcntl(fd, F_SETFL, append ? O_APPEND : 0) != 0) {
    error = systemError(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

OwnFileError ownFileProblem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {};
  return problemWith(st);
}

}  // namespace velmora::platform
