#include "internal/StreamLogWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "Globals.h"
#include "platform/Files.h"
#include "platform/Log.h"

namespace velmora::internal {
namespace {

using platform::errnoText;
using platform::writeAll;

// DIR joined with NAME by exactly one separator.
std::string joinPath(std::string directory, std::string_view name) {
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  if (directory.empty()) return std::string(name);
  if (directory != "/") directory += '/';
  return directory.append(name);
}

// Copies everything in the open file `fd` into `out`: 0, or the errno of the
// failure.  The copy comes from the descriptor, so it holds every row even
// when the log's name has gone (its directory removed while recording).
int copyOpenFile(int fd, int out) {
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (const int err = writeAll(out, buffer, static_cast<size_t>(n))) return err;
    offset += n;
  }
}

}  // namespace

StreamLogWriter::~StreamLogWriter() {
  if (logFileHandle_ >= 0) ::close(logFileHandle_);
}

std::string StreamLogWriter::logFilePath() const {
  std::lock_guard<std::mutex> g(recordingMutex_);
  return logFilePath_;
}

std::string StreamLogWriter::logRow() const {
  std::lock_guard<SwappableMutex> g(lock);
  return logRow_;
}

void StreamLogWriter::writeRow(StreamLogTag tag, int32_t value) {
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  char row[kStreamLogMaxRowLength];
  // None of this can run out of room for a clock that reads seconds since
  // 1970, but a row that cannot be formatted counts as lost all the same.
  const size_t n = formatStreamLogRow(StreamLogRow{now, tag, value}, row);
  if (n == 0) {
    rowsLost_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  logRow_.assign(row, n);
  size_t written = 0;
  const int err = writeAll(logFileHandle_, row, n, &written);
  if (err == 0) {
    rowsWritten_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  rowsLost_.fetch_add(1, std::memory_order_relaxed);
  // A row that only partly fits (a full disk) is cut off again, so the file
  // ends with its last whole row and a reader never meets half a row.
  if (written > 0) {
    const off_t fileEnd = ::lseek(logFileHandle_, 0, SEEK_END);
    if (fileEnd >= static_cast<off_t>(written)) (void)!::ftruncate(logFileHandle_, fileEnd - static_cast<off_t>(written));
  }
  if (!rowWriteFailed_) {
    rowWriteFailed_ = true;
    const std::string reason = errnoText(err);
    logMessage("VLAccessory: cannot write to %s: %s", logFilePath_.c_str(), reason.c_str());
    noteFailure(err, "cannot write to " + logFilePath_ + ": " + reason, reason, false);
  }
}

void StreamLogWriter::noteFailure(int err, const std::string& what, const std::string& reason, bool replace) {
  std::lock_guard<std::mutex> g(statusMutex_);
  if (!replace && errorCode_ != 0) return;
  errorCode_ = err;
  error_ = what;
  reason_ = reason;
}

VelmoraRecordingStatus StreamLogWriter::status() const {
  VelmoraRecordingStatus status;
  std::lock_guard<std::mutex> g(statusMutex_);
  status.recording = isRecording_.load();
  status.path = statusPath_;
  status.rowsWritten = rowsWritten_.load(std::memory_order_relaxed);
  status.rowsLost = rowsLost_.load(std::memory_order_relaxed);
  status.errorCode = errorCode_;
  status.error = error_;
  status.reason = reason_;
  return status;
}

bool StreamLogWriter::start(const std::string& directory, uint8_t flag) {
  std::lock_guard<std::mutex> rec(recordingMutex_);
  const std::string path = joinPath(directory, kStreamLogFileName);
  // An empty folder would mean the working directory, which nobody named.
  // The file is created here, but truncated only under `lock`: when the
  // same file is being recorded, no row of the old recording may land after
  // the new header.  Read access too: stopRecording() copies from the open
  // file.
  const int fd = directory.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int err = directory.empty() ? ENOENT : fd < 0 ? errno : 0;
  int old = -1;
  {
    std::lock_guard<SwappableMutex> g(lock);
    if (err == 0) {
      err = ::ftruncate(fd, 0) == 0 ? writeAll(fd, kStreamLogHeader.data(), kStreamLogHeader.size()) : errno;
    }
    // A failed start ends the previous recording and forgets it, so that a
    // later save cannot pass an older session off as this one.
    old = logFileHandle_;
    logFileHandle_ = err == 0 ? fd : -1;
    if (err == 0) {
      logFilePath_ = path;
      logRow_ = kStreamLogHeader;
    } else {
      logFilePath_.clear();
      logRow_.clear();
    }
    recordFlag_.store(flag);
    rowWriteFailed_ = false;
    {
      // Under `lock` too, so that no row of the old recording is counted
      // for the new one.
      std::lock_guard<std::mutex> st(statusMutex_);
      rowsWritten_.store(0);
      rowsLost_.store(0);
      statusPath_ = logFilePath_;
      errorCode_ = 0;
      error_.clear();
      reason_.clear();
      isRecording_.store(err == 0);
    }
  }
  if (old >= 0) ::close(old);
  if (err != 0) {
    if (fd >= 0) ::close(fd);
    const std::string reason = errnoText(err);
    logMessage("VLAccessory: cannot record to %s: %s", path.c_str(), reason.c_str());
    noteFailure(err, "cannot record to " + path + ": " + reason, reason, true);
    return false;
  }
  if (flag & kRecordAnalysedRows) logMessage("Record analyzed data");
  if (flag & kRecordRawRows) logMessage("Record raw data");
  return true;
}

bool StreamLogWriter::stop(const std::optional<std::string>& destination) {
  std::lock_guard<std::mutex> rec(recordingMutex_);
  int fd;
  {
    // Waits for a row being written, so the copy below holds every row.
    std::lock_guard<SwappableMutex> g(lock);
    isRecording_.store(false);
    fd = logFileHandle_;  // replaced only under recordingMutex_, which this call holds
  }
  struct stat logStat {};
  const bool haveLog = fd >= 0 && ::fstat(fd, &logStat) == 0;
  if (haveLog && logStat.st_nlink == 0) {
    logMessage("VLAccessory: the log file %s was removed while recording", logFilePath_.c_str());
  }
  if (!destination || destination->empty()) {
    logMessage("Throwing away log file.");
    return true;
  }
  const std::string& dest = *destination;
  logMessage("Saving at %s", dest.c_str());
  auto refuse = [&](int err, const std::string& reason) {
    logMessage("VLAccessory: cannot save the log file to %s: %s", dest.c_str(), reason.c_str());
    noteFailure(err, "cannot save the log file to " + dest + ": " + reason, reason, true);
    return false;
  };
  if (fd < 0) return refuse(ENOENT, "nothing was recorded");
  // A FIFO, a device, a link or a folder is never replaced by a file; the
  // log file itself is its own copy already.
  struct stat existing {};
  const bool exists = ::lstat(dest.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    return refuse(S_ISDIR(existing.st_mode) ? EISDIR : EEXIST, "it is not a regular file");
  }
  if (exists && haveLog && existing.st_dev == logStat.st_dev && existing.st_ino == logStat.st_ino) return true;

  // Copied beside the destination and renamed over it once complete: the
  // destination is either the whole copy or what it was before.
  platform::ReplacementFile out(dest);
  if (out.error() != 0) return refuse(out.error(), errnoText(out.error()));
  int err = copyOpenFile(fd, out.fd());
  if (err == 0 && exists) (void)::fchmod(out.fd(), existing.st_mode & 07777);
  if (err == 0) err = out.commit();
  if (err != 0) return refuse(err, errnoText(err));
  return true;
}

}  // namespace velmora::internal
