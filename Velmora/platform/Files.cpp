#include "platform/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <system_error>
#include <utility>

namespace velmora::platform {
namespace {

// Six letters or digits for a temporary name, different in every call and
// every process: another user cannot pre-create the names we try.
std::string randomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::atomic<uint64_t> counter{0};
  thread_local std::mt19937_64 engine{std::random_device{}() ^ (uint64_t(::getpid()) << 32)};
  uint64_t bits = engine() ^ counter.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed);
  std::string s(6, 'x');
  for (char& c : s) {
    c = kChars[bits % (sizeof kChars - 1)];
    bits /= sizeof kChars - 1;
  }
  return s;
}

// Both replacements' last step (unless `err` is set already): the rename and
// the folder's fsync; a failure removes `temporary`.  0 or the errno.
int renameIntoPlace(const std::string& temporary, const std::string& destination, int err) {
  if (err == 0 && ::rename(temporary.c_str(), destination.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temporary.c_str());
    return err;
  }
  return syncFolder(folderOf(destination));
}

}  // namespace

std::string errnoText(int err) { return std::error_code(err, std::generic_category()).message(); }

int writeAll(int fd, const void* bytes, size_t length, size_t* written) {
  const auto* p = static_cast<const char*>(bytes);
  size_t done = 0;
  int err = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, p + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) {  // nothing taken and no reason given: do not spin
      err = EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (written != nullptr) *written = done;
  return err;
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int syncFolder(const std::string& folder) {
  // A folder that may be written but not read (mode -wx) cannot be opened
  // to be synced; the rename has happened, so that is no failure.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  int err = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  if (err == EINVAL || err == EROFS) err = 0;  // file systems that do not sync folders
  return err;
}

int replaceFile(const std::string& temporary, const std::string& destination) {
  int err = 0;
  const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
  } else {
    if (::fsync(fd) != 0 && errno != EINVAL) err = errno;
    ::close(fd);
  }
  return renameIntoPlace(temporary, destination, err);
}

ReplacementFile::ReplacementFile(std::string destination, mode_t mode) : destination_(std::move(destination)) {
  const size_t slash = destination_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : destination_.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? destination_ : destination_.substr(slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary_ = folder + "." + name + "." + randomSuffix();
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd_ >= 0) return;
    if (errno != EEXIST) break;
  }
  error_ = errno;
  temporary_.clear();
  done_ = true;
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : destination_(std::move(other.destination_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      error_(other.error_),
      done_(std::exchange(other.done_, true)) {}

ReplacementFile::~ReplacementFile() { abandon(); }

int ReplacementFile::commit() {
  if (done_) return error_;
  done_ = true;
  int err = ::fsync(fd_) == 0 || errno == EINVAL ? 0 : errno;
  if (::close(fd_) != 0 && err == 0) err = errno;
  fd_ = -1;
  error_ = renameIntoPlace(temporary_, destination_, err);
  temporary_.clear();
  return error_;
}

void ReplacementFile::abandon() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (done_) return;
  ::unlink(temporary_.c_str());
  temporary_.clear();
  error_ = ECANCELED;  // a later commit() must not report success
  done_ = true;
}

}  // namespace velmora::platform
