#include "VelmoraObjC.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <system_error>

#include "VLBlink.h"
#include "VLHrv.h"
#include "VelmoraKeys.h"
#include "VelmoraPortLink.h"
#include "ZPRSerialPort.h"
#include "ZPRSerialPortManager.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/ThreadPriority.h"

namespace velmora {
namespace {

// Room for two seconds of raw samples at 512 per second, so the per-sample
// append does not reallocate between passes of the dispatch thread.
constexpr size_t kRawReserve = 1024;

// The dictionary's keys as strings, built once so that storing a value
// constructs no string.
struct Keys {
  const std::string poorSignal{keys::kPoorSignal};
  const std::string attention{keys::kAttention};
  const std::string meditation{keys::kMeditation};
  const std::string blinkStrength{keys::kBlinkStrength};
  const std::string rrInt{keys::kRrInterval};
  const std::string heartRate{keys::kHeartRate};
  const std::string raw{keys::kRaw};
  const std::string bands[8]{std::string(keys::kEegBands[0]), std::string(keys::kEegBands[1]),
                             std::string(keys::kEegBands[2]), std::string(keys::kEegBands[3]),
                             std::string(keys::kEegBands[4]), std::string(keys::kEegBands[5]),
                             std::string(keys::kEegBands[6]), std::string(keys::kEegBands[7])};
};

const Keys& dictKeys() {
  static const Keys k;
  return k;
}

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

// The text of the exception being handled, for the log line of a callback
// that threw.
std::string currentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception of unknown type";
  }
}

}  // namespace

// One dispatch thread's stop signal and pause.  The thread holds it for its
// whole life, so it stays valid after the object is gone; the object holds
// it while the thread is its current one.
struct VelmoraObjC::DispatchControl {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;             // guarded by mutex
  uint64_t intervalChanges = 0;  // guarded by mutex; wakes the pause to read the interval again
  // Set by the destructor: the thread must not touch the object any more
  // (it matters when the destructor ran on the thread itself).
  std::atomic<bool> ownerGone{false};

  bool stopped() {
    std::lock_guard<std::mutex> g(mutex);
    return stop;
  }
  void requestStop() {
    {
      std::lock_guard<std::mutex> g(mutex);
      stop = true;
    }
    wake.notify_all();
  }
};

template <typename Call>
void VelmoraObjC::tellDelegate(const char* callback, Call&& call) {
  // Declared outside the try block: when the delegate owns this object and
  // this is the last reference, the object is destroyed on return, after
  // which nothing here touches it.
  const std::shared_ptr<VelmoraDelegate> d = delegate();
  if (!d) return;
  try {
    call(*d);
  } catch (...) {
    logMessage("VLAccessory: the delegate's %s threw: %s", callback, currentExceptionText().c_str());
  }
}

// ---------------------------------------------------------------- lifecycle

// The dictionary and the raw buffer start empty and the dispatch thread
// unstarted: the members' initialisers see to that.
VelmoraObjC::VelmoraObjC() {
  sentConfigByte.store(0);
  isKRT480.store(1);
  lock.replace();
  hrv_ = std::make_shared<VLHrv>();  // installs yet another fresh `lock`
  hrv.store(hrv_);
  blink_ = std::make_shared<VLBlink>();
  blink.store(blink_);
  rawBuffer_.reserve(kRawReserve);
  payloadBuffer_ = std::make_unique<uint8_t[]>(kPayloadCapacity);
  portName_ = "/dev/tty.KovaLinkPro-SPPDev";
  portLink_ = std::make_shared<VelmoraPortLink>(this);
  logMessage("VelmoraObjC: Initialized. Version: %d", getVersion());
}

VelmoraObjC::~VelmoraObjC() {
  portLink_->detach();
  {
    const auto [port, path] = forgetPort();
    letGo(port.get(), path, false);
  }
  std::thread thread;
  std::shared_ptr<DispatchControl> control;
  {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    thread = std::move(notificationThread_);
    control = std::move(control_);
  }
  if (control) {
    control->ownerGone.store(true);
    control->requestStop();
  }
  // Joined outside lifecycleMutex_: the pass under way may call the
  // delegate, which may call stopDispatch().  On the dispatch thread itself
  // (its delegate was the last owner of this object) the thread cannot be
  // joined; it sees ownerGone and ends without touching the object.
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
  if (logFileHandle_ >= 0) ::close(logFileHandle_);
}

std::shared_ptr<VelmoraDelegate> VelmoraObjC::delegate() const {
  std::lock_guard<std::mutex> g(delegateMutex_);
  return delegate_.lock();
}

void VelmoraObjC::setDelegate(std::weak_ptr<VelmoraDelegate> delegate) {
  std::lock_guard<std::mutex> g(delegateMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<VelmoraStreamListener> VelmoraObjC::streamListener() const {
  if (!hasStreamListener_.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard<std::mutex> g(delegateMutex_);
  return streamListener_.lock();
}

void VelmoraObjC::setStreamListener(std::weak_ptr<VelmoraStreamListener> listener) {
  std::lock_guard<std::mutex> g(delegateMutex_);
  streamListener_ = std::move(listener);
  hasStreamListener_.store(true, std::memory_order_release);
}

std::string VelmoraObjC::logFilePath() const {
  std::lock_guard<std::mutex> g(recordingMutex_);
  return logFilePath_;
}

std::string VelmoraObjC::logRow() const {
  std::lock_guard<SwappableMutex> g(lock);
  return logRow_;
}

int32_t VelmoraObjC::heartRateForRrInterval(int32_t rrIntervalMs) {
  if (rrIntervalMs <= 0) return 0;
  return static_cast<int32_t>(std::lroundf(static_cast<float>(60.0 / (rrIntervalMs / 1000.0))));
}

// ---------------------------------------------------------------- dispatch

bool VelmoraObjC::startDispatch() {
  std::unique_lock<std::mutex> life(lifecycleMutex_);
  while (notificationThread_.joinable()) {
    {
      std::lock_guard<std::mutex> p(control_->mutex);
      // A running thread is left running.  So is a dropped one when this
      // call comes from inside its own pass (from dataReceived()): it takes
      // its stop back, having not yet reached its stop test.
      if (!control_->stop || notificationThread_.get_id() == std::this_thread::get_id()) {
        control_->stop = false;
        connected_.store(true);
        return true;
      }
    }
    // A dropped thread ends at its own stop signal, whatever starts later.
    std::thread old = std::move(notificationThread_);
    control_.reset();
    life.unlock();
    old.join();
    life.lock();  // another start may have run meanwhile: look again
  }
  auto control = std::make_shared<DispatchControl>();
  // Set before the thread starts, so that its first pass may deliver.
  connected_.store(true);
  try {
    auto body = [this, control] { fireDataReceived(control); };
    notificationThread_ = threadStarter_ ? threadStarter_(body) : std::thread(body);
  } catch (...) {
    connected_.store(false);
    logMessage("VLAccessory: cannot start the dispatch thread: %s", currentExceptionText().c_str());
    return false;
  }
  control_ = std::move(control);
  return true;
}

void VelmoraObjC::stopDispatch() {
  std::lock_guard<std::mutex> life(lifecycleMutex_);
  if (control_) control_->requestStop();
  connected_.store(false);
}

void VelmoraObjC::setThreadStarterForTesting(ThreadStarter starter) {
  std::lock_guard<std::mutex> life(lifecycleMutex_);
  threadStarter_ = std::move(starter);
}

void VelmoraObjC::setDispatchInterval(double seconds) {
  dispatchInterval_.store(seconds);
  std::shared_ptr<DispatchControl> control;
  {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    control = control_;
  }
  if (!control) return;
  {
    std::lock_guard<std::mutex> p(control->mutex);
    ++control->intervalChanges;
  }
  control->wake.notify_all();
}

Dictionary VelmoraObjC::takeData() {
  Dictionary out;
  std::lock_guard<SwappableMutex> g(lock);
  moveRawIntoData();
  out.swap(data_);
  return out;
}

void VelmoraObjC::moveRawIntoData() {
  if (rawBuffer_.empty()) return;
  // A copy of exactly the samples, so rawBuffer_ keeps its capacity.
  data_.insert_or_assign(dictKeys().raw, Value(Value::Array(rawBuffer_.begin(), rawBuffer_.end())));
  rawBuffer_.clear();
}

// Each pause lasts the interval in force, counted from the pause's start: a
// change of the interval wakes it to look again.
void VelmoraObjC::pause(DispatchControl& control) {
  std::unique_lock<std::mutex> p(control.mutex);
  const auto start = std::chrono::steady_clock::now();
  while (!control.stop) {
    double seconds = dispatchInterval_.load();
    if (!(seconds >= kMinDispatchPause)) {  // also catches NaN
      seconds = kMinDispatchPause;
    } else if (seconds > kMaxDispatchPause) {
      seconds = kMaxDispatchPause;
    }
    const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds));
    const uint64_t seen = control.intervalChanges;
    if (!control.wake.wait_until(p, end, [&] { return control.stop || control.intervalChanges != seen; })) return;
  }
}

void VelmoraObjC::fireDataReceived(const std::shared_ptr<DispatchControl>& control) {
  platform::setCurrentThreadPriority(0.5);
  if (control->stopped()) return;
  for (;;) {
    {
      std::lock_guard<SwappableMutex> g(lock);
      moveRawIntoData();
    }
    {
      // Declared outside the locked scope, so the snapshot's nodes are freed,
      // and the delegate let go of, after the unlock.
      Dictionary snapshot;
      std::shared_ptr<VelmoraDelegate> receiver;
      {
        std::lock_guard<SwappableMutex> g(lock);
        if (!data_.empty() && connected_.load()) {
          // Taking the nodes is the snapshot and the emptying in one: the
          // delegate gets a map that nothing changes later.
          snapshot.swap(data_);
          receiver = delegate();
          if (receiver) {
            try {
              receiver->dataReceived(snapshot);
            } catch (...) {
              logMessage("VLAccessory: the delegate's dataReceived threw: %s", currentExceptionText().c_str());
            }
          }
        }
      }
    }
    // The delegate is held for the call only.  If that was the last
    // reference to a delegate that owned this object, the object has just
    // been destroyed, on this thread: touch nothing of it.
    if (control->ownerGone.load()) return;
    dispatchPasses_.fetch_add(1);
    pause(*control);
    if (control->stopped()) return;
  }
}

// ---------------------------------------------------------------- framing

void VelmoraObjC::parseByte(std::nullptr_t) { tempbuffer_ = nullptr; }

void VelmoraObjC::resetParser() { parserState = ParserState{}; }

void VelmoraObjC::parseByte(std::span<const uint8_t> chunk) {
  tempbuffer_ = chunk.data();
  const uint8_t* const bytes = chunk.data();
  const size_t size = chunk.size();
  for (size_t k = 0; k < size; ++k) {
    const uint8_t b = bytes[k];
    switch (parserState.state) {
      case ParserState::kWaitingForSync:
        if (b == 0xAA) {
          parserState.state = ParserState::kWaitingForSecondSync;
        } else {
          bytesSkipped_.fetch_add(1, std::memory_order_relaxed);
        }
        break;
      case ParserState::kWaitingForSecondSync:
        if (b == 0xAA) {
          parserState.state = ParserState::kLength;
        } else {
          // Both bytes of the broken pair lie outside any packet.
          syncResets_.fetch_add(1, std::memory_order_relaxed);
          bytesSkipped_.fetch_add(2, std::memory_order_relaxed);
          logMessage("VLAccessory: Reset at second sync.");
          resetParser();
        }
        break;
      case ParserState::kLength:
        parserState.payloadLength = b;
        parserState.checksum = 0;
        payloadBytesRemaining_ = b;
        // Zeroed like a fresh array, so bytes a packet never got (one begun
        // by another object) read as 0.
        std::memset(payloadBuffer_.get(), 0, b);
        payloadSize_ = b;
        parserState.state = ParserState::kPayload;
        break;
      case ParserState::kPayload: {
        // All the payload bytes this chunk holds, with the running values in
        // locals (stores through a byte pointer would force them to memory).
        uint8_t checksum = parserState.checksum;
        int32_t remaining = payloadBytesRemaining_;
        const int32_t length = parserState.payloadLength;
        uint8_t* const payload = payloadBuffer_.get();
        const int32_t capacity = payloadSize_;
        for (uint8_t p = b;; p = bytes[++k]) {
          checksum = static_cast<uint8_t>(checksum + p);
          // The index is in range unless the length byte was 0 (the one byte
          // taken then is not stored) or another accessory object framed
          // the start of this packet (64 bits: parserState is public, and no
          // value in it may make this overflow).
          const int64_t index = int64_t{length} - remaining;
          if (index >= 0 && index < capacity) payload[index] = p;
          if (remaining <= 1) {
            // 1 -> 0 after a packet, 0 -> -1 after a zero-length one; never
            // lower, however often another object's packet ends here.
            remaining = std::max(remaining, 0) - 1;
            parserState.state = ParserState::kChecksum;
            break;
          }
          --remaining;
          if (k + 1 == size) break;
        }
        parserState.checksum = checksum;
        payloadBytesRemaining_ = remaining;
        break;
      }
      case ParserState::kChecksum: {
        const auto expected = static_cast<uint8_t>(~parserState.checksum);
        if (b == expected) {
          // Counted first: the stream listener, called while decoding, may
          // read the counts.
          packetsVerified_.fetch_add(1, std::memory_order_relaxed);
          parsePayload();
        } else {
          checksumFailures_.fetch_add(1, std::memory_order_relaxed);
          logMessage("VLAccessory: Checksum error: expected %02x, got %02x", expected, b);
        }
        resetParser();
        break;
      }
      default:  // a host wrote nonsense into parserState: start over
        resetParser();
        if (b == 0xAA) {
          parserState.state = ParserState::kWaitingForSecondSync;
        } else {
          bytesSkipped_.fetch_add(1, std::memory_order_relaxed);
        }
        break;
    }
  }
  tempbuffer_ = nullptr;
}

// ---------------------------------------------------------------- decoding

void VelmoraObjC::parsePayload() {
  // Never beyond this object's own array, whatever parserState says.
  const int32_t n = std::min(parserState.payloadLength, payloadSize_);
  const uint8_t* payload = payloadBuffer_.get();
  enum class Step { Code, Length, Value } step = Step::Code;
  uint8_t code = 0;
  int32_t valueLength = 0;
  int32_t i = 0;
  while (i < n) {
    switch (step) {
      case Step::Code:
        code = payload[i++];
        if (code < 0x80) {
          valueLength = 1;
          step = Step::Value;
        } else {
          step = Step::Length;
        }
        break;
      case Step::Length:
        valueLength = payload[i++];
        step = Step::Value;
        break;
      case Step::Value:
        i = decodeRow(code, valueLength, payload, i, n);
        step = Step::Code;
        break;
    }
  }
}

// Decodes the row whose first value byte is payload[i] and returns where the
// next row starts.  A row whose value bytes would run past the payload's end
// (n) is not decoded; the walk still moves on by the row's rule.
int32_t VelmoraObjC::decodeRow(uint8_t code, int32_t valueLength, const uint8_t* payload, int32_t i,
                               int32_t n) {
  switch (code) {
    case 0x02:
      decodePoorSignal(payload[i]);
      return i + 1;
    case 0x03:
      decodeHeartRate(payload[i]);
      return i + 1;
    case 0x04:
      decodeScore(RowTag::ATT, payload[i]);
      return i + 1;
    case 0x05:
      decodeScore(RowTag::MED, payload[i]);
      return i + 1;
    case 0x08:
      decodeConfigByte(payload[i]);
      return i + 1;
    case 0x80:  // the length byte is not consulted: a sample is two bytes
      if (i + 2 <= n) decodeRaw(static_cast<int16_t>(static_cast<uint16_t>(payload[i] << 8 | payload[i + 1])));
      return i + 2;
    case 0x83:  // 24 bytes are read whatever the length byte says
      if (i + 24 <= n) decodeBandPowers(payload + i);
      return i + valueLength;
    case 0x85:
      if (i + 3 <= n) decodeSensorChip(payload[i + 2]);
      return i + valueLength;
    default:  // unrecognised, and 0x81, which carries nothing to decode
      return i + valueLength;
  }
}

void VelmoraObjC::decodePoorSignal(uint8_t v) {
  {
    std::lock_guard<SwappableMutex> g(lock);
    data_.insert_or_assign(dictKeys().poorSignal, Value(int32_t{v}));
    if (recording(2)) writeRow(RowTag::PQ, v);
  }
  if (auto listener = streamListener()) listener->valueDecoded(dictKeys().poorSignal, v);
  poorSignal.store(v);
  logMessage("poor signal %d", v);
  if (v == 0) hrv_->reset();
  rawPackets_ = 0;
}

void VelmoraObjC::decodeHeartRate(uint8_t v) {
  std::lock_guard<SwappableMutex> g(lock);
  if (recording(2)) writeRow(RowTag::HR, v);
}

void VelmoraObjC::decodeScore(RowTag tag, uint8_t v) {
  const bool attention = tag == RowTag::ATT;
  const std::string& key = attention ? dictKeys().attention : dictKeys().meditation;
  std::unique_lock<SwappableMutex> g(lock);
  data_.insert_or_assign(key, Value(int32_t{v}));
  logMessage(attention ? "attention %d" : "meditation %d", v);
  if (recording(2)) writeRow(tag, v);
  g.unlock();
  if (auto listener = streamListener()) listener->valueDecoded(key, v);
}

// The headset's configuration request.  The reply goes out only once, only to
// a headset without the KRT480 chip, and only through an attached output
// channel while sending is permitted; nothing attaches one yet, so today the
// value byte is merely moved past.
void VelmoraObjC::decodeConfigByte(uint8_t v) {
  if (sentConfigByte.load() != 0 || !readyToSend_.load() || isKRT480.load() != 0 || !outputStream_) return;
  const uint8_t reply[8] = {0xAA, 0xAA, 0x04, 0x03, 0x40, 0xF9, 0x00, v};
  outputStream_(std::span<const uint8_t>(reply));
  sentConfigByte.store(1);
}

void VelmoraObjC::decodeRaw(int16_t sample) {
  const int32_t s = sample;
  // The detector is this thread's alone and runs without `lock`.
  const int32_t strength = blink_->detectBlinkWithPoorSignal(poorSignal.load(std::memory_order_relaxed), s);
  int32_t rrReported = 0;
  std::unique_lock<SwappableMutex> g(lock);
  if (strength > 0) {
    data_.insert_or_assign(dictKeys().blinkStrength, Value(strength));
    logMessage("blink value:%d", strength);
  }
  rawPackets_ = static_cast<int32_t>(static_cast<uint32_t>(rawPackets_) + 1u);  // wraps, never overflows
  if (rawEnabled_.load(std::memory_order_relaxed)) rawBuffer_.push_back(s);
  if (poorSignal.load(std::memory_order_relaxed) == 200) {
    const int32_t rr = hrv_->addData(s);
    if (rr > 0) {
      rrReported = rr;
      data_.insert_or_assign(dictKeys().rrInt, Value(rr));
      data_.insert_or_assign(dictKeys().heartRate, Value(heartRateForRrInterval(rr)));
    }
  }
  if (recording(1)) writeRow(RowTag::RAW, s);
  g.unlock();
  if (auto listener = streamListener()) listener->rawSampleDecoded(s, std::max(strength, 0), rrReported);
}

void VelmoraObjC::decodeBandPowers(const uint8_t* groups) {
  const auto listener = streamListener();
  for (int k = 0; k < 8; ++k) {
    const uint8_t* g3 = groups + 3 * k;
    const auto power = static_cast<int32_t>(uint32_t{g3[0]} << 16 | uint32_t{g3[1]} << 8 | uint32_t{g3[2]});
    {
      std::lock_guard<SwappableMutex> g(lock);
      data_.insert_or_assign(dictKeys().bands[k], Value(power));
    }
    if (listener) listener->valueDecoded(dictKeys().bands[k], power);
  }
}

void VelmoraObjC::decodeSensorChip(uint8_t chip) {
  if (chip < 0xF0) {
    isKRT480.store(1);
    sentConfigByte.store(1);
  } else {
    isKRT480.store(0);
  }
}

// ---------------------------------------------------------------- recording

void VelmoraObjC::writeRow(RowTag tag, int32_t value) {
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
    noteRecordingFailure(err, "cannot write to " + logFilePath_ + ": " + reason, reason, false);
  }
}

void VelmoraObjC::noteRecordingFailure(int err, const std::string& what, const std::string& reason, bool replace) {
  std::lock_guard<std::mutex> g(statusMutex_);
  if (!replace && recordErrorCode_ != 0) return;
  recordErrorCode_ = err;
  recordError_ = what;
  recordReason_ = reason;
}

VelmoraRecordingStatus VelmoraObjC::recordingStatus() const {
  VelmoraRecordingStatus status;
  std::lock_guard<std::mutex> g(statusMutex_);
  status.recording = isRecording_.load();
  status.path = statusPath_;
  status.rowsWritten = rowsWritten_.load(std::memory_order_relaxed);
  status.rowsLost = rowsLost_.load(std::memory_order_relaxed);
  status.errorCode = recordErrorCode_;
  status.error = recordError_;
  status.reason = recordReason_;
  return status;
}

bool VelmoraObjC::startRecording(const std::string& directory, uint8_t flag) {
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
      recordErrorCode_ = 0;
      recordError_.clear();
      recordReason_.clear();
      isRecording_.store(err == 0);
    }
  }
  if (old >= 0) ::close(old);
  if (err != 0) {
    if (fd >= 0) ::close(fd);
    const std::string reason = errnoText(err);
    logMessage("VLAccessory: cannot record to %s: %s", path.c_str(), reason.c_str());
    noteRecordingFailure(err, "cannot record to " + path + ": " + reason, reason, true);
    return false;
  }
  if (flag & kRecordAnalysedRows) logMessage("Record analyzed data");
  if (flag & kRecordRawRows) logMessage("Record raw data");
  return true;
}

bool VelmoraObjC::stopRecording(const std::optional<std::string>& destination) {
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
    noteRecordingFailure(err, "cannot save the log file to " + dest + ": " + reason, reason, true);
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

}  // namespace velmora

namespace velmora {

// ---------------------------------------------------------------- connection

bool VelmoraObjC::isHeadsetCandidateName(const std::string& name) {
  for (const char* prefix : kAcceptedPrefixes) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

void VelmoraObjC::Connect() { ConnectTo(std::nullopt); }

void VelmoraObjC::ConnectTo(const std::optional<std::string>& devicePath) {
  // A snapshot: the list cannot change while it is walked.  No lock of this
  // object is held while a port opens: the port may call its delegate
  // directly on this thread, and the host may call Disconnect from there.
  const SerialPortList ports = ZPRSerialPortManager::sharedSerialPortManager().availablePorts();
  // The delegate hears of nothing before this work is done but its last report.
  std::optional<VelmoraPortLink::Busy> busy(std::in_place, *portLink_);

  // Which ports may be tried: the one with exactly this path; else by name
  // (the text between the path's first and second "."); with no path every
  // candidate.
  auto hasThePath = [&](const ZPRSerialPort& port) {
    return port.path() == *devicePath || (port.IOKitDevice() && port.IOKitDevice()->hasPath(*devicePath));
  };
  const bool byPath =
      devicePath && std::any_of(ports.begin(), ports.end(), [&](const auto& port) { return hasThePath(*port); });
  std::optional<std::string> wantedName;
  if (const size_t dot = devicePath ? devicePath->find('.') : std::string::npos; !byPath && dot != std::string::npos) {
    const size_t end = devicePath->find('.', dot + 1);
    wantedName = devicePath->substr(dot + 1, end == std::string::npos ? std::string::npos : end - dot - 1);
  }
  auto selects = [&](const ZPRSerialPort& port) {
    if (byPath) return hasThePath(port);
    if (devicePath && !wantedName) return false;
    return isHeadsetCandidateName(port.name()) && (!wantedName || port.name() == *wantedName);
  };

  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> g(outcomeMutex_);
    generation = ++connectGeneration_;
    connectAttempts_.clear();
  }
  // Entered before the attempt's end is reported to the link, which may
  // hand this object the failed attempt's first error at once.
  auto noteAttempt = [&](const ZPRSerialPort& port, VelmoraConnectAttempt::Outcome outcome) {
    std::lock_guard<std::mutex> g(outcomeMutex_);
    if (outcome == VelmoraConnectAttempt::Outcome::Opened) lastPortError_.reset();
    if (generation != connectGeneration_) return;  // a later ConnectTo() has begun
    connectAttempts_.push_back({port.name(), port.path(), outcome, std::nullopt});
  };

  for (const auto& port : ports) {
    if (!selects(*port)) continue;
    // Another accessory object streams from it: in use, like a port that
    // another program holds.
    if (!portLink_->claim(port->path())) {
      noteAttempt(*port, VelmoraConnectAttempt::Outcome::InUse);
      logMessage("--- %s not opened", port->name().c_str());
      continue;
    }
    // The link becomes the port's delegate before the open, so that the open
    // report finds it even when it runs on the main thread before open()
    // returns here.  The attempt's errors are held back until it is known
    // whether the port opened, and a port that does not open gets its
    // previous delegate back once they have arrived.
    const auto previous = port->delegate();
    portLink_->beginOpening(*port);
    port->setDelegate(portLink_);
    port->open();
    const bool opened = port->isOpen();
    noteAttempt(*port, opened ? VelmoraConnectAttempt::Outcome::Opened : VelmoraConnectAttempt::Outcome::Failed);
    portLink_->endOpening(*port, opened, previous);
    if (!opened) {
      bool stillOurs = false;  // read again: a Disconnect may have run meanwhile
      {
        std::lock_guard<std::mutex> g(connectionMutex_);
        stillOurs = connectedPath_ == port->path();
      }
      if (!stillOurs) portLink_->release(port->path());
      logMessage("--- %s not opened", port->name().c_str());
      continue;
    }
    std::shared_ptr<ZPRSerialPort> before;
    std::string beforePath;
    {
      std::lock_guard<std::mutex> g(connectionMutex_);
      before = connectedPort_.lock();
      connectedPort_ = port;
      beforePath = std::exchange(connectedPath_, port->path());
    }
    // An object streams from one port: one it had before is let go, quietly.
    if (beforePath != port->path()) letGo(before.get(), beforePath, true);
    logMessage("VLAccessory: stream started.");
    if (startDispatch()) return;
    // No dispatch thread: nothing would be delivered, so the connect is
    // undone.  The port is detached first, so its queued open report and its
    // close report reach nobody: the host hears one accessoryDidDisconnect.
    forgetPort();
    letGo(port.get(), port->path(), true);
    {
      std::lock_guard<std::mutex> g(outcomeMutex_);
      if (generation == connectGeneration_ && !connectAttempts_.empty()) {
        connectAttempts_.back().outcome = VelmoraConnectAttempt::Outcome::Failed;
      }
    }
    break;
  }
  busy.reset();
  tellDelegate("accessoryDidDisconnect", [](VelmoraDelegate& d) { d.accessoryDidDisconnect(); });
}

void VelmoraObjC::Disconnect() { stopStream(); }

std::pair<std::shared_ptr<ZPRSerialPort>, std::string> VelmoraObjC::forgetPort() {
  std::lock_guard<std::mutex> g(connectionMutex_);
  auto port = connectedPort_.lock();
  connectedPort_.reset();
  return {std::move(port), std::exchange(connectedPath_, {})};
}

void VelmoraObjC::letGo(ZPRSerialPort* port, const std::string& path, bool quietly) {
  if (port != nullptr && port->delegate() == portLink_) {
    if (quietly) port->setDelegate(nullptr);
    if (port->isOpen()) port->close();
  }
  if (!path.empty()) portLink_->release(path);
}

void VelmoraObjC::stopStream() {
  std::optional<VelmoraPortLink::Busy> busy(std::in_place, *portLink_);
  stopDispatch();
  const SerialPortList ports = ZPRSerialPortManager::sharedSerialPortManager().availablePorts();
  const auto [mine, path] = forgetPort();
  logMessage("ZPRSerialPortManager.availablePorts = %lu", static_cast<unsigned long>(ports.size()));
  for (const auto& port : ports) {
    logMessage("---%s", port->name().c_str());
    if (port == mine && port->isOpen()) break;
  }
  // Exactly the port this object connected to, also when the manager no
  // longer lists it; never one another object or program opened since.
  letGo(mine.get(), path, false);
  logMessage("VLAccessory: stream stopped.");
  connected_.store(false);
  busy.reset();
  tellDelegate("accessoryDidDisconnect", [](VelmoraDelegate& d) { d.accessoryDidDisconnect(); });
}

void VelmoraObjC::sendBytes(const uint8_t* bytes, int32_t length) {
  if (!readyToSend_.load() || !outputStream_ || bytes == nullptr || length <= 0) {
    logMessage("Not ready to send.");
    return;
  }
  outputStream_(std::span<const uint8_t>(bytes, static_cast<size_t>(length)));
}

void VelmoraObjC::serialPortDidReceiveData(ZPRSerialPort&, std::span<const uint8_t> data) {
  if (data.data() == nullptr) {
    logMessage("received");
    return;
  }
  parseByte(data);
}

void VelmoraObjC::serialPortWasRemovedFromSystem(ZPRSerialPort& port) {
  logMessage("--serialPortWasRemovedFromSystem");
  if (auto listener = streamListener()) listener->linkChanged(VelmoraStreamListener::Link::Removed, port.name());
  tellDelegate("accessoryError", [](VelmoraDelegate& d) { d.accessoryError(3); });
}

void VelmoraObjC::serialPortDidEncounterError(ZPRSerialPort& port, const ZPRSerialPortError& error) {
  logMessage("--%s %s %s", "-[VelmoraObjC serialPort:didEncounterError:]", port.name().c_str(),
             error.description().c_str());
  {
    std::lock_guard<std::mutex> g(outcomeMutex_);
    lastPortError_ = error;
  }
  tellDelegate("accessoryError", [](VelmoraDelegate& d) { d.accessoryError(0); });
}

void VelmoraObjC::serialPortWasOpened(ZPRSerialPort& port) {
  logMessage("--Serial port %s was opened", port.name().c_str());
  if (auto listener = streamListener()) listener->linkChanged(VelmoraStreamListener::Link::Opened, port.name());
  tellDelegate("accessoryDidConnect", [&](VelmoraDelegate& d) { d.accessoryDidConnect(port.name()); });
}

void VelmoraObjC::serialPortWasClosed(ZPRSerialPort& port) {
  logMessage("--Serial port %s was closed", port.name().c_str());
  if (auto listener = streamListener()) listener->linkChanged(VelmoraStreamListener::Link::Closed, port.name());
  tellDelegate("accessoryDidDisconnect", [](VelmoraDelegate& d) { d.accessoryDidDisconnect(); });
}

void VelmoraObjC::serialPortConnectionInterrupt() {
  logMessage("--HeardSet its powed off ,after conected");
  if (auto listener = streamListener()) listener->linkChanged(VelmoraStreamListener::Link::SwitchedOff, {});
  tellDelegate("accessoryError", [](VelmoraDelegate& d) { d.accessoryError(2); });
}

void VelmoraObjC::serialPortDidFailToOpen(ZPRSerialPort& port, const ZPRSerialPortError& error) {
  std::lock_guard<std::mutex> g(outcomeMutex_);
  // The latest failed attempt on this port that has no error yet.
  for (auto it = connectAttempts_.rbegin(); it != connectAttempts_.rend(); ++it) {
    if (it->path != port.path() || it->outcome != VelmoraConnectAttempt::Outcome::Failed) continue;
    if (!it->error) it->error = error;
    return;
  }
}

std::optional<ZPRSerialPortError> VelmoraObjC::lastPortError() const {
  std::lock_guard<std::mutex> g(outcomeMutex_);
  return lastPortError_;
}

std::vector<VelmoraConnectAttempt> VelmoraObjC::lastConnectAttempts() const {
  std::lock_guard<std::mutex> g(outcomeMutex_);
  return connectAttempts_;
}

VelmoraFramerCounts VelmoraObjC::framerCounts() const {
  VelmoraFramerCounts counts;
  counts.packetsVerified = packetsVerified_.load(std::memory_order_relaxed);
  counts.checksumFailures = checksumFailures_.load(std::memory_order_relaxed);
  counts.syncResets = syncResets_.load(std::memory_order_relaxed);
  counts.bytesSkipped = bytesSkipped_.load(std::memory_order_relaxed);
  return counts;
}

}  // namespace velmora
