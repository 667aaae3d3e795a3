// One serial device of the system, seen as an object: its line settings and
// modem lines, a background read loop that hands every chunk to the delegate
// on the main thread, a 10 ms modem-line poll, removal handling, and a
// request/response queue on top of the byte stream.
//
// Identity.  There is at most one live port object per callout path: the
// factories hand back the existing object for a device (found by any of its
// paths) if there is one.  The process-wide list behind this (allSerialPorts)
// holds weak references; a port lives while somebody holds it, and an open
// port is also held by its read loop until it closes.  Ports are equal, and
// hash equally, by path.
//
// Opening.  open() opens the callout path with O_RDWR | O_NOCTTY |
// O_NONBLOCK | O_CLOEXEC and takes flock(LOCK_EX | LOCK_NB) on it at once, so
// a second opener (this process or another that uses flock) fails with the
// port error; it also sets TIOCEXCL, so that programs which ignore flock get
// EBUSY (unless they run with CAP_SYS_ADMIN).  Then it saves the terminal
// attributes, applies the options (raw, VMIN 1, VTIME 2, CS8, parity, stop
// bits, echo, CRTSCTS, CREAD | HUPCL | CLOCAL, speed), drives RTS and DTR to
// the requested levels, queues serialPortWasOpened, starts the read loop on
// BackgroundQueue::shared() and, for a device with modem lines, the pin poll.
// close() clears hardware flow control, restores the saved attributes once
// output has drained, clears TIOCEXCL, drops the flock and closes the
// descriptor.  Every queued delegate call looks the delegate up when it
// runs, so a delegate set right after open() still hears of the open and of
// the first chunks.
//
// The descriptor stays non-blocking: the read loop and sendData() wait with
// poll() on the device and on a wake-up descriptor that close() signals, so
// close() never waits for the device, even when another program reading the
// same tty takes the bytes between the wait and the read.  sendData() still
// returns only once the device has taken every byte (or the port closed).
// The read loop has no time-out: an idle port costs no wake-ups.
//
// Back-pressure.  Each chunk read waits on the main queue for its
// serialPortDidReceiveData call.  While kMaximumUndeliveredBytes of such
// chunks wait (bytes plus bookkeeping), the read loop stops reading until the
// main thread has taken half of them; the kernel's tty buffer then fills and
// throttles the sender (by RTS/CTS where that is on; a device that cannot be
// throttled loses bytes in the kernel, never in the port).  So memory stays
// bounded at any input rate, and no chunk is dropped or reordered.  A host
// that never runs the main loop receives nothing beyond that bound, but can
// still close the port.
//
// On Linux:
//  - Speeds cfsetspeed knows go through it; any other rate is set with
//    termios2/BOTHER after the other options.
//  - usesDTRDSRFlowControl and usesDCDOutputFlowControl are stored, observed
//    and make the port close and reopen like RTS/CTS, but Linux has no
//    termios flag for them: on the line they change nothing.
//  - A device whose TIOCMGET fails with ENOTTY or EINVAL (a pseudo-terminal)
//    has no modem lines: that is not reported, RTS and DTR are only stored,
//    and no pin poll runs (pinPollTimer stays empty).
//  - EIO, ENXIO and ENODEV mean that the device has gone.  The pin poll sees
//    it in TIOCMGET; the read loop sees it as a read failing with one of them
//    or a readable descriptor yielding end of file (reported as ENXIO), which
//    is how a pseudo-terminal whose master closed, or a hung-up tty, shows.
//    Whichever notices first handles the removal, once per opening: the error
//    (waiting until the delegate has handled it), serialPortWasRemovedFromSystem,
//    then the close and serialPortWasClosed.  cleanupAfterSystemRemoval()
//    called while that is under way does nothing more; called on a closed
//    port (the port manager does, for every device that went) it still tells
//    the delegate of the removal.
//  - close() always releases the descriptor (Linux frees it even when close
//    reports an error); such an error is reported and the port is closed.
//
// Coalesced reads (off by default).  setReadCoalescingInterval() with a wait
// above zero lets the read loop, once woken by data, wait up to that long for
// more before it reads and hands the bytes on, so that a device sending many
// small chunks costs one read and one serialPortDidReceiveData call per wait
// instead of one per chunk.  An optional `readBy` function (called on the
// read loop's thread) names the read moments of an owner that consumes the
// bytes on a clock of its own: asked for the first moment after the loop's
// last read (or last look), it ends the wait then if that comes first, and a
// moment already past means "read now".  With `readBy` the loop keeps to the
// clock while bytes flow: after each read it sleeps until the next moment
// (a nudge, a request, a removal or close() end the sleep early), reads what
// came without polling first, so it wakes once per moment, not once per
// chunk; a moment with nothing to read sends it back to waiting for data,
// so an idle port costs no wake-ups.  The sleep does not watch the device
// itself (waiting on a terminal costs more than the rest of the wake): a
// device that hangs up during it shows at the read that ends it, at most
// one interval later.
// A pending request (one sent while the loop waits, too), a removal, the
// device hanging up and close() end the wait for data at once.  After a read that
// filled kMaximumReadLength the loop reads on without waiting, and once a
// single wait gathered that much (a device far faster than a trickle) it
// reads at once for a second, so that a fast device is not slowed down by
// its bytes filling the kernel's buffer during the waits.  The first wait
// makes one more eventfd for the opening (the loop's nudge); a port that
// never coalesces has none.  Without the option the loop reads each chunk
// the moment it arrives.  An owner choosing the wait keeps in mind that a
// device without flow control loses bytes in the kernel once its buffers
// (4 KiB to 64 KiB, by driver) fill while the loop waits.
//
// Receive buffer bound.  While no request is pending only the newest
// kUnsolicitedReceiveLimit (4096) bytes are kept, so a port used only for
// streaming does not grow without bound.  While a request is pending nothing
// is dropped, so its evaluator sees every byte received after it was sent
// (and up to 4096 bytes received before), up to kMaximumResponseLength
// (64 KiB): a request still unanswered once that much has gathered ends as if
// it had timed out (serialPortRequestDidTimeout, a log line, the buffer
// emptied, the next request sent).  The evaluator is handed a view of the
// buffer, never a copy, so each chunk costs the port work in proportion to
// its own size.
//
// Requests.  One request is pending at a time; its evaluator is asked on the
// read loop's thread with everything gathered after each chunk.  Once it
// accepts, the request counts as answered at once (a further chunk does not
// ask it again and its time-out cannot fire), and one task on the main queue
// hands the response over, clears the request and the buffer and sends the
// next queued request.  A time-out likewise answers the request for good.
// The time-out is a one-shot timer on the run loop of the thread that sent
// the request (the main thread for requests sent after a response); it fires
// only while that thread runs its run loop, and never once the thread ended.
// A time-out that is not finite, 0 or less, or above kLongestTimeoutInterval
// means none.  At most kMaximumQueuedRequests (256) wait behind the pending
// request; sendRequest() refuses more with false, so a closed port whose
// requests can only time out does not pile them up.  Opening and closing
// leave the queue, the pending request and the buffer alone.
//
// Threads.  Delegate callbacks run on the main thread.  open(), close(), the
// option and line setters and setPortOptions() may be called from any thread;
// they are serialised by a reentrant lifecycle lock, which a delegate or an
// observer called on the same thread may re-enter.  The read loop and the pin
// poll run on the background queue; the pin poll waits on the main queue for
// every CTS/DSR/DCD change and for the report of a removal, so the main thread
// must never wait for the background queue.  The fields the read loop and the
// main thread share (receive buffer, pending request, queue, time-out timer,
// delegate) sit behind a small internal mutex that is never held while the
// port calls out (delegate, evaluator, observers).  Scalar properties are
// atomics and may be read from any thread.
//
// Observation: every property is observable by key (its name; "isOpen" also
// announces each change of "fileDescriptor").  Observers run on the thread
// that made the change; CTS, DSR and DCD change only on the main thread.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "ZPRSerialPortDelegate.h"
#include "ZPRSerialPortError.h"
#include "ZPRSerialRequest.h"
#include "platform/DeviceRegistry.h"
#include "platform/Observable.h"
#include "platform/RunLoop.h"

namespace velmora {

namespace platform {
class TerminalIO;
class TimerSource;
}  // namespace platform

namespace internal {
class SerialOpening;
}  // namespace internal

class ZPRSerialPort : public platform::Observable, public std::enable_shared_from_this<ZPRSerialPort> {
 public:
  // Bytes kept while no request waits for an answer (the newest).
  static constexpr size_t kUnsolicitedReceiveLimit = 4096;
  // Bytes one read takes at most: one serialPortDidReceiveData call.
  static constexpr size_t kMaximumReadLength = 1024;
  // Bytes a pending request's evaluator may be asked about at most.
  static constexpr size_t kMaximumResponseLength = 64 * 1024;
  // Requests waiting behind the pending one at most.
  static constexpr size_t kMaximumQueuedRequests = 256;
  // Received data waiting for the main thread at most, counted as each
  // chunk's bytes plus kChunkBookkeepingBytes (about what a queued call
  // costs besides its bytes).
  static constexpr size_t kMaximumUndeliveredBytes = 256 * 1024;
  static constexpr size_t kChunkBookkeepingBytes = 256;
  // Longer coalescing waits are cut to this: room for any owner's clock,
  // yet no wait that could pass for a hang.
  static constexpr double kLongestReadCoalescingInterval = 60.0;
  // Longer request time-outs (about 31 years), like non-finite ones and 0
  // or less, mean "no time-out".
  static constexpr double kLongestTimeoutInterval = 1e9;

  // ---- factories and the process-wide list of ports

  // The port of the device that has `path` as callout or further path in the
  // shared device registry, or null when no device has it.
  static std::shared_ptr<ZPRSerialPort> serialPortWithPath(const std::string& path);
  // The same, looked up in `registry`.
  static std::shared_ptr<ZPRSerialPort> serialPortWithPath(const std::string& path,
                                                           platform::DeviceRegistry& registry);
  // The existing port for the device's callout path, or a new one.  A null
  // device throws std::logic_error.
  static std::shared_ptr<ZPRSerialPort> serialPortWithDevice(platform::DeviceRef device);
  // The live port whose path equals `path` exactly, or null.
  static std::shared_ptr<ZPRSerialPort> existingPortWithPath(const std::string& path);
  // The live ports, in the order they were made.
  static std::vector<std::shared_ptr<ZPRSerialPort>> allSerialPorts();
  // The device of the shared registry with `path` as one of its paths.
  static platform::DeviceRef deviceFromBSDPath(const std::string& path);

  // ---- string properties of a device (none when it has no such property)
  static std::optional<std::string> stringPropertyOf(const platform::DeviceRef& device, const std::string& key);
  static std::optional<std::string> bsdCalloutPathFromDevice(const platform::DeviceRef& device);
  static std::optional<std::string> bsdDialinPathFromDevice(const platform::DeviceRef& device);
  static std::optional<std::string> baseNameFromDevice(const platform::DeviceRef& device);
  static std::optional<std::string> serviceTypeFromDevice(const platform::DeviceRef& device);
  static std::optional<std::string> modemNameFromDevice(const platform::DeviceRef& device);
  static std::optional<std::string> suffixFromDevice(const platform::DeviceRef& device);

  ~ZPRSerialPort() override;
  ZPRSerialPort(const ZPRSerialPort&) = delete;
  ZPRSerialPort& operator=(const ZPRSerialPort&) = delete;

  // ---- identity
  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  const platform::DeviceRef& IOKitDevice() const { return IOKitDevice_; }
  std::string description() const { return name_; }
  size_t hash() const;
  bool operator==(const ZPRSerialPort& other) const { return path_ == other.path_; }

  // ---- delegate (held weakly)
  std::shared_ptr<ZPRSerialPortDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<ZPRSerialPortDelegate>& delegate);

  // ---- line options; setting the stored value does nothing at all
  uint32_t baudRate() const { return baudRate_; }
  void setBaudRate(uint32_t rate);
  uint64_t numberOfStopBits() const { return numberOfStopBits_; }
  void setNumberOfStopBits(uint64_t count);  // above 1: two stop bits
  bool shouldEchoReceivedData() const { return shouldEchoReceivedData_; }
  void setShouldEchoReceivedData(bool echo);
  uint64_t parity() const { return parity_; }
  void setParity(uint64_t parity);  // 0 none, 1 odd, 2 even; 3 or more stores 0
  // A change of a flow-control flag closes an open port, stores the value
  // and opens the port again.
  bool usesRTSCTSFlowControl() const { return usesRTSCTSFlowControl_; }
  void setUsesRTSCTSFlowControl(bool uses);
  bool usesDTRDSRFlowControl() const { return usesDTRDSRFlowControl_; }
  void setUsesDTRDSRFlowControl(bool uses);
  bool usesDCDOutputFlowControl() const { return usesDCDOutputFlowControl_; }
  void setUsesDCDOutputFlowControl(bool uses);

  // ---- modem lines: RTS and DTR are requested levels, driven while open;
  // CTS, DSR and DCD are the levels last polled (plain stores).
  bool RTS() const { return RTS_; }
  void setRTS(bool level);
  bool DTR() const { return DTR_; }
  void setDTR(bool level);
  bool CTS() const { return CTS_; }
  void setCTS(bool level);
  bool DSR() const { return DSR_; }
  void setDSR(bool level);
  bool DCD() const { return DCD_; }
  void setDCD(bool level);

  // ---- state
  bool isOpen() const { return fileDescriptor_.load() != 0; }
  int fileDescriptor() const { return fileDescriptor_.load(); }
  // The attributes read right after the device was opened; none before the
  // first open (or when they could not be read).
  std::optional<struct termios> originalPortAttributes() const;
  bool hasPinPollTimer() const;
  std::vector<uint8_t> receiveBuffer() const;
  std::shared_ptr<ZPRSerialRequest> pendingRequest() const;
  std::vector<std::shared_ptr<ZPRSerialRequest>> requestsQueue() const;
  bool hasPendingRequestTimeoutTimer() const;

  // The terminal calls this port makes; TerminalIO::system() unless replaced.
  // Replace it only while the port is closed (tests install fakes here).
  std::shared_ptr<platform::TerminalIO> terminalIO() const;
  void setTerminalIO(std::shared_ptr<platform::TerminalIO> io);

  // ---- coalesced reads (see the header comment); any thread.
  // The first moment later than its argument by which read bytes are wanted.
  using ReadDeadline = std::function<std::chrono::steady_clock::time_point(std::chrono::steady_clock::time_point)>;
  // 0 when off.
  double readCoalescingInterval() const { return readCoalescingInterval_.load(); }
  // `seconds` not finite or 0 or less turns coalescing off (and drops
  // `readBy`); above kLongestReadCoalescingInterval it is cut to that.  A
  // wait under way ends, so the new setting holds from the next wake.
  void setReadCoalescingInterval(double seconds, ReadDeadline readBy = {});

  // ---- I/O
  // Opens the device; does nothing if open.  Failure: the port error, port
  // stays closed.
  void open();
  // True if the port is closed afterwards.
  bool close();
  // The device has gone: serialPortWasRemovedFromSystem on the main thread
  // followed by close, or, for a delegate without that callback, close now.
  void cleanupAfterSystemRemoval();
  // Deprecated spelling of cleanupAfterSystemRemoval(); logs a warning.
  void cleanup();
  // Applies the line options to the open device; does nothing while closed.
  void setPortOptions();

  // Writes all of `data`, waiting for the device (close() ends the wait); false if closed or a write failed.
  bool sendData(std::span<const uint8_t> data);
  // Sends `request` now (the result of sendData), or queues it behind the
  // pending one (then true).  With kMaximumQueuedRequests already waiting
  // the request is refused: false, and it is neither sent nor queued.
  bool sendRequest(std::shared_ptr<ZPRSerialRequest> request);
  // Sends the first queued request if no request is pending.
  void sendNextRequest();

  // Reports errno as the port error to the delegate, on the main thread.
  void notifyDelegateOfPosixError() { notifyDelegateOfPosixErrorWaitingUntilDone(false); }
  void notifyDelegateOfPosixErrorWaitingUntilDone(bool wait);

 private:
  using Opening = internal::SerialOpening;
  struct TimeoutTimer {
    platform::RunLoop* loop;
    platform::RunLoop::TimerId id;
    uint64_t requestSerial;
  };

  explicit ZPRSerialPort(platform::DeviceRef device);
  std::shared_ptr<Opening> currentOpening() const;
  void reportError(int errnoValue, bool wait);
  void queueDelegateCall(std::function<void(ZPRSerialPortDelegate&, ZPRSerialPort&)> call,
                         ZPRSerialPortDelegate::OptionalMethod method, bool optional);
  void applyOptions(const Opening& opening);
  void driveModemLine(int bit, bool level);
  template <typename T>
  void setLineOption(std::atomic<T>& option, T value, const char* key);
  void setOutputLine(std::atomic<bool>& line, int bit, bool level, const char* key);
  void setFlowControl(std::atomic<bool>& flag, bool uses, const char* key);
  void storeInputLine(std::atomic<bool>& line, bool level, const char* key);
  void readLoop(const std::shared_ptr<Opening>& opening);
  void pollModemLines(const std::shared_ptr<Opening>& opening);
  void deviceHasGone(const std::shared_ptr<Opening>& opening, int errnoValue);
  void handleRemoval();
  void receiveData(const std::shared_ptr<Opening>& opening, std::span<const uint8_t> chunk);
  // Read loop: with coalescing on, waits for more data (see the header);
  // false if it did not wait.  `lastLook`: when the loop last read or looked.
  bool awaitMoreData(Opening& opening, std::chrono::steady_clock::time_point lastLook);
  // Read loop, after a read at `lastLook`: the owner's next read moment, when
  // the loop is to sleep until it; none when it waits for data as usual.
  std::optional<std::chrono::steady_clock::time_point> nextLook(Opening& opening,
                                                               std::chrono::steady_clock::time_point lastLook);
  // Both: the end of the wait, none for "read at once".  Spends the nudges.
  std::optional<std::chrono::steady_clock::time_point> coalescingDeadline(
      Opening& opening, std::chrono::steady_clock::time_point lastLook, bool onOwnersClockOnly);
  bool awaitsResponse() const;
  void nudgeReadLoop() const;
  static bool hasTimeLimit(double seconds);
  // With stateMutex_ held: makes `request` pending and arms its time-out.
  void startRequestLocked(const std::shared_ptr<ZPRSerialRequest>& request);
  void cancelTimeoutTimerLocked();
  void handOverResponse(uint64_t requestSerial, const std::shared_ptr<ZPRSerialRequest>& request,
                        const std::vector<uint8_t>& response);
  void pendingRequestDidTimeout(uint64_t requestSerial);
  void finishTimedOutRequest(uint64_t requestSerial, const std::shared_ptr<ZPRSerialRequest>& request);
  void clearAnsweredRequest(uint64_t requestSerial);

  // Immutable after construction.
  const platform::DeviceRef IOKitDevice_;
  const std::string path_;
  const std::string name_;

  std::atomic<uint32_t> baudRate_{19200};
  std::atomic<uint64_t> numberOfStopBits_{1};
  std::atomic<uint64_t> parity_{0};
  std::atomic<bool> shouldEchoReceivedData_{false};
  std::atomic<bool> usesRTSCTSFlowControl_{false};
  std::atomic<bool> usesDTRDSRFlowControl_{false};
  std::atomic<bool> usesDCDOutputFlowControl_{false};
  std::atomic<bool> RTS_{false};
  std::atomic<bool> DTR_{false};
  std::atomic<bool> CTS_{false};
  std::atomic<bool> DSR_{false};
  std::atomic<bool> DCD_{false};
  std::atomic<int> fileDescriptor_{0};
  std::atomic<double> readCoalescingInterval_{0};
  // Set when a removal has been handled, cleared by the next open, so that a
  // second report of the same removal (the registry's after the read loop's)
  // reaches the delegate no more.
  std::atomic<bool> removalReported_{false};

  // Serialises open, close, the options and the line drivers; guards
  // terminalIO_, originalPortAttributes_ and pinPollTimer_.
  mutable std::recursive_mutex lifecycleMutex_;
  std::shared_ptr<platform::TerminalIO> terminalIO_;
  std::optional<struct termios> originalPortAttributes_;
  std::shared_ptr<platform::TimerSource> pinPollTimer_;

  // Guards opening_.  The read loop, the pin poll and sendData hold it shared
  // across their look at the current opening and their call on its
  // descriptor; open and close hold it exclusively to switch openings.  So a
  // descriptor is never closed (and its number never reused) under a read,
  // ioctl or write of an earlier opening.  Their poll() waits run outside
  // it: close() makes the opening's wake-up descriptor readable before it
  // closes the device, so such a wait ends at once, whatever the number
  // has come to name.
  mutable std::shared_mutex descriptorMutex_;
  std::shared_ptr<Opening> opening_;

  // Guards readBy_, which the read loop copies at each wake.
  mutable std::mutex coalescingMutex_;
  std::shared_ptr<const ReadDeadline> readBy_;

  // Held across the receive path, evaluator included; taken by nothing else.
  std::mutex receiveMutex_;

  // Guards the fields the read loop and the main thread share.  Held briefly,
  // never while calling out.
  mutable std::mutex stateMutex_;
  std::weak_ptr<ZPRSerialPortDelegate> delegate_;
  // Only the receive path changes these bytes in place; everybody else
  // replaces the vector (null: empty).
  std::shared_ptr<std::vector<uint8_t>> receiveBuffer_;
  std::shared_ptr<ZPRSerialRequest> pendingRequest_;
  uint64_t pendingRequestSerial_ = 0;  // counts requests made pending
  bool pendingRequestAnswered_ = false;  // accepted or timed out, not yet cleared
  std::deque<std::shared_ptr<ZPRSerialRequest>> requestsQueue_;
  std::optional<TimeoutTimer> pendingRequestTimeoutTimer_;
};

}  // namespace velmora

template <>
struct std::hash<velmora::ZPRSerialPort> {
  size_t operator()(const velmora::ZPRSerialPort& port) const noexcept { return port.hash(); }
};
