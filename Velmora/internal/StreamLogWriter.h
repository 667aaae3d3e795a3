// StreamLogWriter: the accessory object's stream log ("ambrix.log.csv"):
// starting and stopping a recording, writing its rows, saving a copy, and
// the status hosts read instead of the log lines.
//
// The rows' format is VelmoraStreamLog.h's.  Each row goes straight to the
// file with one write(2), so a copy holds every row written before it.  A row
// that only partly fits (a full disk) is cut off again, so the file always
// ends with a whole row.  The first row of a recording that cannot be written
// logs "VLAccessory: cannot write to PATH: REASON"; decoding goes on.  See
// VelmoraObjC::startRecording() and stopRecording() for the operations.
//
// Threads: start() and stop() from any thread, serialised against each
// other; they take `lock` only to switch files.  recording() and writeRow()
// on the framing thread with `lock` held.  The getters from any thread;
// logRow() takes `lock`, status() and logFilePath() do not.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "VelmoraObjC.h"
#include "VelmoraStreamLog.h"

namespace velmora::internal {

class StreamLogWriter {
 public:
  StreamLogWriter() = default;
  ~StreamLogWriter();
  StreamLogWriter(const StreamLogWriter&) = delete;
  StreamLogWriter& operator=(const StreamLogWriter&) = delete;

  bool start(const std::string& directory, uint8_t flag);
  bool stop(const std::optional<std::string>& destination);

  // `lock` held.
  bool recording(uint8_t bit) const { return isRecording_.load() && (recordFlag_.load() & bit) != 0; }
  void writeRow(StreamLogTag tag, int32_t value);

  bool isRecording() const { return isRecording_.load(); }
  uint8_t recordFlag() const { return recordFlag_.load(); }
  std::string logFilePath() const;
  std::string logRow() const;
  VelmoraRecordingStatus status() const;

 private:
  // Records a failure for status(): `replace` for a failed operation, else
  // only when none is recorded yet.
  void noteFailure(int err, const std::string& what, const std::string& reason, bool replace);

  std::atomic<bool> isRecording_{false};
  std::atomic<uint8_t> recordFlag_{3};
  std::string logFilePath_;      // written under recordingMutex_ and `lock`, read under either
  std::string logRow_;           // guarded by `lock`
  int logFileHandle_ = -1;       // guarded by `lock`; -1 when none
  bool rowWriteFailed_ = false;  // guarded by `lock`; one log line per recording

  // Serialises start() and stop() and guards the path.
  mutable std::mutex recordingMutex_;

  // What status() reports.  The counts are written under `lock` (by the row
  // writer) and reset by a start; statusMutex_ guards the rest and is taken
  // with nothing else held, or inside `lock`, never around it.
  std::atomic<uint64_t> rowsWritten_{0};
  std::atomic<uint64_t> rowsLost_{0};
  mutable std::mutex statusMutex_;
  std::string statusPath_;
  int errorCode_ = 0;
  std::string error_;
  std::string reason_;
};

}  // namespace velmora::internal
