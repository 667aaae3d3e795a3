#include "platform/OwnFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora::platform {
namespace {

// The rule applied to what `st` describes (an lstat, or an fstat of the
// file opened without following a link).
OwnFileError problemWith(const std::string& path, const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return {ELOOP, path + " is a symbolic link"};
  if (!S_ISREG(st.st_mode)) return {EINVAL, path + " is not a regular file"};
  if (st.st_uid != ::geteuid()) {
    return {EPERM, path + " belongs to another user (uid " + std::to_string(st.st_uid) + ")"};
  }
  if (st.st_nlink > 1) return {EMLINK, path + " has further hard links"};
  return {};
}

}  // namespace

int openOwnFile(const std::string& path, bool truncate, OwnFileError& error) {
  // O_NONBLOCK: a FIFO at the name must not hold the open up until a reader
  // comes; it is refused below anyway.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    const int err = errno;
    struct stat st {};
    // A link is named as such (O_NOFOLLOW reports it as ELOOP); a device
    // without a reader (ENXIO) as not a regular file.
    if (::lstat(path.c_str(), &st) == 0 && (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode))) {
      error = problemWith(path, st);
    } else {
      error = {err, path + ": " + std::strerror(err)};
    }
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    error = {err, path + ": " + std::strerror(err)};
    ::close(fd);
    return -1;
  }
  if (OwnFileError problem = problemWith(path, st); problem.code != 0) {
    error = problem;
    ::close(fd);
    return -1;
  }
  if (::fcntl(fd, F_SETFL, 0) != 0 || (truncate && ::ftruncate(fd, 0) != 0)) {
    const int err = errno;
    error = {err, path + ": " + std::strerror(err)};
    ::close(fd);
    return -1;
  }
  return fd;
}

OwnFileError ownFileProblem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {};
  return problemWith(path, st);
}

}  // namespace velmora::platform
