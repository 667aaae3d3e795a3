// VelmoraObjC: the accessory object, the host's handle on one headset stream.
//
// It frames the headset's byte stream into packets (parseByte), decodes each
// verified payload into the data dictionary (parsePayload), feeds every raw
// sample to the blink detector and, while the signal quality is exactly 200,
// to the HRV analyser, optionally records the decoded stream to
// "ambrix.log.csv", and runs a dispatch thread that hands the dictionary to
// the delegate every `dispatchInterval` seconds.
//
// Wire format.  A packet is AA AA, a length byte N (0..255, 0xAA included),
// N payload bytes and a checksum byte equal to the inverse of the payload's
// byte sum.  A payload is a run of rows: a code byte; for codes 0x80 and above
// a length byte; then the value bytes (one for codes below 0x80).  Codes the
// decoder does not know, and 0x81, which carries nothing it uses, are skipped
// by their length.  A row whose value bytes would run past the payload's end
// is not decoded (no value, no analyser call); the walk moves on by the row's
// usual rule, which normally ends it.  A configuration request (0x08) would
// be answered through an output channel while `readyToSend` is true; none is
// attached yet, so its value byte is simply passed over.
//
// Threads.
//   - The framing thread (the main thread, where the serial port delivers
//     chunks; or whichever single thread a host feeds bytes from) calls
//     parseByte(), resetParser() and takeData().  Framing and decoding take
//     `lock` once per row, never across rows.
//   - The dispatch thread, started by startDispatch(), calls the delegate's
//     dataReceived() while it holds `lock`.
//   - Any thread may use the properties, startDispatch()/stopDispatch() and
//     startRecording()/stopRecording(); the last two are meant for one host
//     thread at a time (they are serialised against each other anyway).
//
// What a host may do inside a callback.
//   - dataReceived() (dispatch thread, `lock` held): read the map, set
//     properties, stopDispatch()/startDispatch() (a restart keeps this very
//     thread, which stays the object's only one), Disconnect() or
//     ConnectTo(), construct another accessory object or HRV analyser.  It
//     must not take `lock`, call takeData() or logRow(), wait for the
//     framing thread, nor destroy this object itself (the framing thread may
//     be waiting for `lock` inside this object).  Letting go of the last
//     reference to the delegate that owns this object is fine: the thread
//     holds the delegate only for the call, and when the object is then
//     destroyed on the dispatch thread it lets that thread end on its own
//     instead of joining it.
//   - accessoryDidConnect(), accessoryDidDisconnect(), accessoryError() (main
//     thread, or the caller's thread for the reports of ConnectTo() and
//     stopStream()): anything, including Connect/Disconnect, a restart and
//     destroying this object (the object touches nothing of itself after the
//     call).
//   - A callback that throws: the exception is caught where the library
//     made the call, logged as one line ("VLAccessory: the delegate's
//     dataReceived threw: TEXT"; the same with the callback's name for the
//     others), and the library goes on as if the callback had returned.
//     The map of a dataReceived() that threw is not delivered again.  The
//     HRV analyser does the same for rrDetected() and calculationDone().
//
// Several accessory objects in one process.  The framer's state
// `parserState` is process-wide, so bytes may be fed to one object at a time,
// all from the same thread, and a packet cut off in one object is continued
// by the next bytes given to any object (the framer never reads or writes
// outside the receiving object's own payload array, so this garbles at most
// that packet).  `poorSignal`, `isKRT480` and `sentConfigByte` are shared
// too.  Each object creates its own blink detector and HRV analyser and
// decodes with those; the globals `blink` and `hrv` name the ones the most
// recently constructed object created.  `lock` is one mutex shared by all
// objects (each construction replaces it, which is safe while other objects
// use it, and from a thread that holds it).  Each object has its own
// dictionary, raw buffer, dispatch thread, stream log and port: a port that
// one object has connected to counts as in use for every other object until
// the first disconnects or is destroyed.
//
// Lifetime.  Destroying the object stops its dispatch thread and waits for it
// to end (without waiting out the pause); when the destruction runs on the
// dispatch thread itself (see above) the thread is left to end on its own,
// touching nothing of the object.  It also closes the port it connected to,
// if that port is still open and still reports to this object, and gives up
// its claim on it; later port callbacks are dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Globals.h"
#include "Value.h"
#include "VelmoraStreamListener.h"
#include "VelmoraStreamLog.h"
#include "ZPRSerialPortError.h"

namespace velmora {

class VLBlink;
class VLHrv;
class VelmoraPortLink;
class ZPRSerialPort;

namespace internal {
class DispatchThread;
class PacketFramer;
class PayloadDecoder;
class PortConnection;
class StreamLogWriter;
}  // namespace internal

// What one accessory object's packet framer has seen since the object was
// constructed.  A host reads these instead of counting the framer's log
// lines.
struct VelmoraFramerCounts {
  uint64_t packetsVerified = 0;   // checksum matched, payload decoded
  uint64_t checksumFailures = 0;  // checksum byte mismatched, payload dropped
  uint64_t syncResets = 0;        // a first sync byte not followed by a second
  uint64_t bytesSkipped = 0;      // bytes outside any packet (noise, broken sync pairs)
  friend bool operator==(const VelmoraFramerCounts&, const VelmoraFramerCounts&) = default;
};

// The state of the stream log ("ambrix.log.csv") and why its last operation
// failed, if it did.
struct VelmoraRecordingStatus {
  bool recording = false;
  std::string path;          // current or last log file; "" before any and after a failed start
  uint64_t rowsWritten = 0;  // whole rows written since the last startRecording (header excluded)
  uint64_t rowsLost = 0;     // rows decoded for the log but not (wholly) written
  int errorCode = 0;         // errno of the failure (see recordingStatus()); 0: none
  // That failure as one sentence, as the log words it without the
  // "VLAccessory: " prefix ("cannot write to /x/ambrix.log.csv: No space
  // left on device"), and the reason alone ("No space left on device");
  // "" when there is none.
  std::string error;
  std::string reason;
};

// One port that ConnectTo() considered.
struct VelmoraConnectAttempt {
  enum class Outcome {
    Opened,  // it is the port the object now streams from (a connect undone
             // because no dispatch thread could start counts as Failed)
    InUse,   // another accessory object of this process streams from it: not tried
    Failed,  // it did not open
  };
  std::string name;  // the port's name
  std::string path;  // its callout path
  Outcome outcome = Outcome::Failed;
  // The first error the port reported during a failed attempt.  A port
  // reports from the main thread: when ConnectTo() ran on another thread
  // the error is filled in once the main thread has handled that report.
  std::optional<ZPRSerialPortError> error;
};

// The host's receiver of the accessory object's events.  Hosts own their
// delegate in a std::shared_ptr; the accessory object holds it weakly and
// skips it once it is gone.
class VelmoraDelegate {
 public:
  virtual ~VelmoraDelegate() = default;
  // The headset's port was opened; `name` is the port's name.
  virtual void accessoryDidConnect(const std::string& name) = 0;
  virtual void accessoryDidDisconnect() = 0;
  // 0: port error, 2: headset switched off after connecting, 3: port removed.
  virtual void accessoryError(int32_t code) = 0;
  // A snapshot of the data dictionary; called on the dispatch thread while
  // `lock` is held (see the class comment for what that forbids).
  virtual void dataReceived(const Dictionary& data) = 0;
};

class VelmoraObjC {
 public:
  // Shortest and longest pause of the dispatch thread.  A `dispatchInterval`
  // of zero, below zero or NaN pauses 1 ms, so the thread never spins and
  // the framing thread always gets `lock`; an interval above a day (or
  // infinite) pauses a day.
  static constexpr double kMinDispatchPause = 0.001;
  static constexpr double kMaxDispatchPause = 86400.0;

  // Initialises the fields, creates a fresh `lock`, HRV analyser and blink
  // detector (stored in the globals `hrv` and `blink`), sets `isKRT480` to 1
  // and `sentConfigByte` to 0 and logs "VelmoraObjC: Initialized. Version: 5".
  // The dispatch thread is not started.
  VelmoraObjC();
  ~VelmoraObjC();
  VelmoraObjC(const VelmoraObjC&) = delete;
  VelmoraObjC& operator=(const VelmoraObjC&) = delete;

  static int32_t getVersion() { return 5; }

  // ---------------------------------------------------------- properties
  // True from startDispatch() (a successful connect) until stopDispatch().
  // Deliveries happen only while it is true.
  bool connected() const { return connected_.load(); }
  // True between a successful startRecording() and stopRecording().
  bool isRecording() const;
  // Whether bytes may be sent to the headset; nothing sets it yet.
  bool readyToSend() const { return readyToSend_.load(); }

  // The delegate, or null when none is set or it has been destroyed.
  std::shared_ptr<VelmoraDelegate> delegate() const;
  void setDelegate(std::weak_ptr<VelmoraDelegate> delegate);

  // The listener that sees each decoded sample, value and link change (see
  // VelmoraStreamListener.h), or null.  Held weakly, like the delegate.
  std::shared_ptr<VelmoraStreamListener> streamListener() const;
  void setStreamListener(std::weak_ptr<VelmoraStreamListener> listener);

  // Seconds the dispatch thread pauses after each pass (default 0.02),
  // clamped to kMinDispatchPause..kMaxDispatchPause.  Setting it takes
  // effect at once: the pause under way then lasts the new interval from its
  // start (so it ends at once if that much time has passed), which undoes a
  // unit slip such as 20 for 0.02 without waiting out the long pause.
  double dispatchInterval() const;
  void setDispatchInterval(double seconds);

  // While true (the default) every decoded raw sample is collected for the
  // "raw" entry; read again for every sample.
  bool rawEnabled() const { return rawEnabled_.load(); }
  void setRawEnabled(bool enabled) { rawEnabled_.store(enabled); }

  // The default device path of the headset.
  const std::string& portName() const { return portName_; }

  // Which rows the stream log records: bit 0 raw rows, bit 1 analysed rows.
  uint8_t recordFlag() const;
  // Path of the current (or last) stream log; empty before any recording and
  // after a start that failed.
  std::string logFilePath() const;
  // The text of the last row written to the stream log (the header after a
  // start; empty before any recording and after a start that failed).  Takes
  // `lock`.
  std::string logRow() const;

  // Raw samples decoded since the last poor-signal row, and payload bytes
  // the framer still expects for the current packet; for the framing thread.
  int32_t rawPackets() const;
  int32_t payloadBytesRemaining() const;

  // ---------------------------------------------------------- dispatch
  // Marks the object connected and starts the dispatch thread unless one is
  // running; this is what a successful connect does, and what a host that
  // feeds bytes itself (a replayed capture, another transport) calls to get
  // deliveries.  A thread dropped by stopDispatch() is joined first (it is
  // woken from its pause, so that takes at most the pass under way); called
  // from that very thread (from dataReceived) it takes the stop back
  // instead, so the thread goes on.  Each thread has a stop signal of its
  // own, so a dropped thread ends even when a new one has started, and the
  // object never runs two.  The first pass of a new thread runs at once.
  // Returns whether a dispatch thread runs; when none can be started it logs
  // "VLAccessory: cannot start the dispatch thread: REASON", clears
  // `connected` and returns false.
  bool startDispatch();
  // Asks the dispatch thread to stop, drops it and clears `connected`; this
  // is the dispatch part of a disconnect.  It does not wait: a pass under way
  // completes, no new pass starts.  The thread is joined by the next
  // startDispatch() or by the destructor.
  void stopDispatch();

  // How dispatch threads are started: std::thread unless replaced, which
  // tests do to see how a start that fails (std::system_error) is handled.
  using ThreadStarter = std::function<std::thread(std::function<void()>)>;
  void setThreadStarterForTesting(ThreadStarter starter);

  // Takes, under `lock`, everything decoded since the last delivery: moves
  // the collected raw samples into "raw" and returns and empties the data
  // dictionary.  For hosts that poll instead of running the dispatch thread
  // (without either, raw samples accumulate).
  Dictionary takeData();

  // Dispatch passes completed since construction; for monitoring and tests.
  uint64_t dispatchPasses() const;

  // ---------------------------------------------------------- outcomes as values
  // What hosts would otherwise read from the log.  Each may be called from
  // any thread, also from inside a delegate callback (none takes `lock`).

  // The framer's counts since construction.  The framer updates them as it
  // goes; a read while a chunk is being framed sees the counts up to some
  // byte of it.
  VelmoraFramerCounts framerCounts() const;
  // The stream log's state.  errorCode, error and reason describe the first
  // failure since the last startRecording(): a start that failed ("cannot
  // record to PATH: REASON") or the first row that could not be written
  // ("cannot write to PATH: REASON").  A stopRecording(DEST) that fails
  // ("cannot save the log file to DEST: REASON") replaces them, so they
  // always say why the last recording operation failed; a successful start
  // clears them.  A failure without an errno of its own has a code chosen
  // to match: ENOENT for an empty folder or nothing to save, EISDIR for a
  // destination that is a folder, EEXIST for one that is another kind of
  // file that is not replaced (a FIFO, a device, a symbolic link).
  VelmoraRecordingStatus recordingStatus() const;
  // The last error a port reported to this object after it opened (the one
  // serialPortDidEncounterError logs); cleared when a ConnectTo() opens a
  // port.
  std::optional<ZPRSerialPortError> lastPortError() const;
  // The ports the last Connect()/ConnectTo() considered, in the order it
  // tried them; empty when it found none.
  std::vector<VelmoraConnectAttempt> lastConnectAttempts() const;

  // ---------------------------------------------------------- connection
  // The accepted port-name prefixes; a port whose name begins with one is a
  // headset candidate.
  static constexpr const char* kAcceptedPrefixes[] = {"Kova", "Trell", "Halobelt", "Quorvex"};
  static bool isHeadsetCandidateName(const std::string& name);

  // ConnectTo() with no device path: the first candidate port that opens.
  void Connect();
  // Opens the headset's port and starts streaming.  Which ports are tried,
  // in the port manager's order of available ports:
  //   - no path: every port whose name begins with an accepted prefix;
  //   - a path that is exactly the callout path or one of the further paths
  //     of an available port (/dev/rfcomm0, /dev/pts/3, a device folder's
  //     link such as /tmp/dir.with.dot/tty.Kova.X): that port, whatever its
  //     name and whatever dots the path holds;
  //   - any other path with a ".": the text after its first "." up to the
  //     next "." is the wanted name ("/dev/tty.KovaLinkPro-SPPDev" wants
  //     the port named KovaLinkPro-SPPDev), and only the candidate (accepted
  //     prefix) with exactly that name is tried;
  //   - any other path (one without a ".", or empty): nothing.
  // A port that another accessory object of this process has connected to
  // counts as in use: it is not opened, only logged ("--- NAME not opened").
  // The first port that is open afterwards gets this object as its
  // delegate, logs "VLAccessory: stream started.", sets `connected` and
  // starts the dispatch thread; accessoryDidConnect follows on the main
  // thread.  A port this object was connected to before, if another, is
  // then closed without reports to the delegate (an object streams from one
  // port).  Each port tried has this object as its delegate during the
  // attempt (so the open report cannot miss it); one that fails gets its
  // previous delegate back, and the errors it reported during the attempt
  // are dropped: a failed candidate is only logged ("--- NAME not opened").
  // The errors of an attempt that opened its port are passed on, after
  // ConnectTo() has returned (from the main queue when it ran on the main
  // thread): no delegate call but the last report happens inside it.  When no
  // port opens, accessoryDidDisconnect is called on this thread.  When the
  // dispatch thread cannot be started the connect is rolled back: the port
  // is closed without reports, `connected` is false, the failure is logged
  // and accessoryDidDisconnect is called.  Blocks while a port opens.
  //
  // ConnectTo(), Disconnect() and stopStream() may be called from any
  // thread, the main thread included, also from inside a delegate callback;
  // they hold no lock of this object while a port opens or closes and never
  // wait for the main thread.  Calls made at the same time from several
  // threads are not serialised: each acts on the ports as it finds them.
  void ConnectTo(const std::optional<std::string>& devicePath);
  // stopStream().
  void Disconnect();
  // Stops the dispatch thread, logs the number of available ports and each
  // port's name ("---NAME") up to the port this object connected to if that
  // is open, closes exactly that port (never another object's or program's,
  // and only while it still reports to this object), forgets it, logs
  // "VLAccessory: stream stopped.", clears `connected` and calls
  // accessoryDidDisconnect; the port's close report calls it again later.
  void stopStream();
  // Nothing ever makes the object ready to send: logs "Not ready to send.".
  void sendBytes(const uint8_t* bytes, int32_t length);

  // The port callbacks (main thread), reached through the object's port
  // delegate.  Each logs its line and informs the delegate.
  void serialPortDidReceiveData(ZPRSerialPort& port, std::span<const uint8_t> data);
  void serialPortWasRemovedFromSystem(ZPRSerialPort& port);
  void serialPortDidEncounterError(ZPRSerialPort& port, const ZPRSerialPortError& error);
  void serialPortWasOpened(ZPRSerialPort& port);
  void serialPortWasClosed(ZPRSerialPort& port);
  // For a headset switched off while connected: logs and sends
  // accessoryError(2).  Nothing in the library calls it.
  void serialPortConnectionInterrupt();
  // From the port delegate: the first error a port reported during an
  // attempt to open it that failed (those errors reach nobody else).
  void serialPortDidFailToOpen(ZPRSerialPort& port, const ZPRSerialPortError& error);

  // ---------------------------------------------------------- framing
  // Frames one chunk of received bytes, in place (the chunk is not copied),
  // decoding every packet whose checksum matches before the next byte is
  // framed.  Logs "VLAccessory: Reset at second sync." when the byte after a
  // first sync byte is not 0xAA, and "VLAccessory: Checksum error: expected
  // %02x, got %02x" for a mismatched packet, which is dropped.
  //
  // After a length byte of 0 the framer still takes one byte in the payload
  // state; it counts in the checksum but is not stored; then comes the
  // checksum byte.  Nothing is ever written outside the payload array.
  void parseByte(std::span<const uint8_t> chunk);
  // An absent chunk changes nothing.
  void parseByte(std::nullptr_t);
  // Puts `parserState` back to state 0 (payload length and checksum 0).
  void resetParser();

  // ---------------------------------------------------------- recording
  // Starts a stream log at DIR/ambrix.log.csv with the header line,
  // replacing any file of that name, and records the rows selected by
  // `flag` (bit 0 raw rows, bit 1 analysed rows).  Logs "Record analyzed
  // data" and then "Record raw data" for the bits set, and returns true.  A
  // start while recording switches to the new file under `lock`, so no row
  // is split between the two.  Numbers are written the same whatever the
  // process locale ("1718000000.123456, [RAW], -5").
  //
  // When the file cannot be created or its header written, or DIR is empty,
  // it logs "VLAccessory: cannot record to PATH: REASON" and returns false.
  // A failed start ends any recording and forgets it: isRecording() is
  // false, logFilePath() and logRow() are empty, and a later stopRecording()
  // has nothing to save (the earlier log file stays on disk where it was);
  // recordFlag() takes `flag` as after any start.
  //
  // Each row goes straight to the file with one write(2); the first row of
  // a recording that cannot be written (a full disk, say) logs "VLAccessory:
  // cannot write to PATH: REASON", and decoding goes on.  A row that only
  // partly fits is cut off again, so the file always ends with a whole row.
  bool startRecording(const std::string& directory, uint8_t flag);
  // Ends recording.  With no or an empty destination logs "Throwing away log
  // file.", leaves the log file where it is and returns true.  Otherwise
  // logs "Saving at DEST" and saves a copy of the log, holding every row
  // written before the call, also when the log file (or its directory) was
  // removed while recording ("VLAccessory: the log file PATH was removed
  // while recording" is logged then; the copy comes from the still open
  // file).  The copy is written to a temporary file beside DEST and renamed
  // over DEST only once it is complete, so DEST is either the whole copy or
  // left as it was.  Returns false, DEST untouched, with "VLAccessory:
  // cannot save the log file to DEST: REASON" logged, when there is nothing
  // to copy (no recording, or a failed start), when DEST exists and is not
  // a regular file (a FIFO, a device, a symbolic link, a folder), or when
  // the copy or the rename fails.
  bool stopRecording(const std::optional<std::string>& destination = std::nullopt);

  // RR interval in ms -> beats per minute, as stored under "heartRate":
  // 60 / (rr / 1000) in double precision, narrowed to float, rounded half
  // away from zero; 0 for an interval of 0 or less.
  static int32_t heartRateForRrInterval(int32_t rrIntervalMs);

 private:
  // The dispatch thread's pass: moves the raw samples into the dictionary
  // and, while connected, hands a snapshot to the delegate and empties it.
  void deliver();

  std::atomic<bool> connected_{false};
  std::atomic<bool> rawEnabled_{true};
  std::atomic<bool> readyToSend_{false};
  mutable std::mutex delegateMutex_;
  std::weak_ptr<VelmoraDelegate> delegate_;
  // Guarded by delegateMutex_; the flag spares the framing thread that
  // mutex for every sample while no listener was ever set.
  std::weak_ptr<VelmoraStreamListener> streamListener_;
  std::atomic<bool> hasStreamListener_{false};
  std::string portName_;

  // The pieces, each with its own job (Velmora/internal/): the stream log,
  // the decoder (which owns the dictionary and the analysers this object
  // created), the framer that feeds it, the dispatch thread and the hold on
  // the port.  Declared in the order they depend on each other, so they are
  // destroyed the other way round.
  std::unique_ptr<internal::StreamLogWriter> log_;
  std::unique_ptr<internal::PayloadDecoder> decoder_;
  std::unique_ptr<internal::PacketFramer> framer_;
  std::unique_ptr<internal::DispatchThread> dispatch_;
  std::unique_ptr<internal::PortConnection> connection_;
};

}  // namespace velmora
