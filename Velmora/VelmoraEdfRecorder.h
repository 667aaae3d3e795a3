// VelmoraEdfRecorder: records the decoded headset stream to a BDF+ (24-bit)
// or EDF+ (16-bit) file, the formats the field's tools open (EDFbrowser,
// MNE's read_raw_bdf / read_raw_edf, EEGLAB).  The file is written through
// EDFlib.
//
// Use: open() a file, then hand the recorder to the accessory object as its
// stream listener (VelmoraObjC::setStreamListener) and close() it when done
// (the destructor closes too).  A host may also feed it by hand through the
// VelmoraStreamListener calls, as `velmora convert` does.
//
// What the file holds.  Data records of one second: 512 samples of "EEG
// Raw", one sample of each 1 Hz signal, and 512 samples of "MISC Blink" and
// of "MISC RR".  Labels follow EDF+'s convention, a type word and then the
// name, so that readers type the signals (MNE's infer_types: one EEG
// channel, the rest misc).  The timeline is the headset's sample clock: raw
// sample k lies at k / 512 s, so "EEG Raw" holds exactly the samples
// delivered, in order (see gaps below for the only samples it adds).
//   - "EEG Raw": the headset's signed 16-bit counts.  With Settings::uvPerCount
//     the physical values are microvolts (dimension "uV", physical = digital
//     times the gain); without it they are the counts themselves (dimension
//     "count"): multiply by your headset's microvolts per count.
//   - 1 Hz (kSlowLabels): "MISC Poor signal", "MISC Attention", "MISC
//     Meditation" (0..255) and the eight band powers "MISC Delta" ... "MISC
//     High gamma" (0..16777215).  A record
//     holds the last value decoded up to its last raw sample; a second with
//     no new value repeats (holds) the one before.  Before the first value,
//     and from a loss of the headset until its next value, a signal holds
//     "no value": a negative physical value (-1, or -256 for band powers in
//     EDF+), one digital step below the valid range.  Band powers: BDF+
//     stores them exactly, except the largest, 16777215, which reads as
//     16777214 (that one step is the "no value" marker); EDF+ stores them in
//     steps of 256, up to 16776704.
//   - "MISC Blink" and "MISC RR": at the sample that completed a blink its
//     strength (1..255), at a heart beat the RR interval it ends (ms, at most
//     8388607 in BDF+ and 32767 in EDF+; a longer one is stored as that
//     maximum); 0 at every other sample.  Each such sample also carries an
//     annotation ("Blink", "Beat"), so the value of an event is the channel's
//     sample at the annotation's onset.
//   - Annotations, each at the sample where it happened, with fixed words
//     so that readers make one kind of event of each: "Blink", "Beat",
//     "Headset connected: PORT", "Headset disconnected (port removed |
//     switched off | port closed)", "Headset reconnected: PORT (away N.N
//     s)", "BAD no data" over padding (below), and the host's own
//     (annotate()).  MNE treats "BAD ..." spans as bad segments.  Text is
//     stored as valid UTF-8: bytes that are no UTF-8 (a port name in another
//     encoding, say) become U+FFFD, control characters blanks.
//   - Header: start date and time (local time, to 100 microseconds) of the
//     first raw sample (a clock outside the years EDF holds, 1985..2084,
//     gives EDF's "unknown", 1985-01-01 00:00:00); patient and recording
//     fields from Identification, EDF+'s anonymous "X" where left empty.
//     Every header byte is printable ASCII.
//
// Gaps.  While the headset is lost its clock stops, and so does the file's
// timeline: EDF+C has no gaps.  At the loss the record under way is
// completed with padding (raw 0, 1 Hz "no value", covered by "BAD no data")
// so that everything received is on disk while the headset is away; after
// it comes back the next sample starts a new record, and the reconnection
// annotation says how long (wall clock) it was away.  The record in progress
// when the recording closes is padded the same way.
//
// Crash safety.  EDFlib writes the record count into the header, and the
// annotations, only when it closes the file, so the recorder stores its own
// annotations in the file's spare annotation signals and updates the record
// count after each data record.  A crash of the process (a fault, SIGKILL)
// thus leaves a file that opens with every whole record, its 1 Hz
// values and its annotations; it loses the record in progress (under one
// second) and the annotations not yet stored (they are stored with the
// record in which they arise).  Only a crash in the microseconds between a
// record's write and the count's update leaves a count one short, which
// readers refuse until the count is corrected.  (Nothing is fsync'ed: after
// a power failure the kernel's unwritten pages are lost, as with any file.)
// Annotation space is about six annotations a second; more are carried into
// the following records.  Those still waiting at close (a loss of the
// headset just as a second ended leaves its annotation so) get up to
// kCloseRecords records of padding, covered by "BAD no data"; any left after
// that are dropped (error() says so).
//
// Failures (the disk fills, the file cannot grow) end the recording at the
// last whole data record, which stays readable; error() tells why and the
// library log gets one line "VelmoraEdfRecorder: cannot write to PATH:
// REASON".  A recording that got no sample at all leaves no file.
//
// Threads.  The listener calls come on the framing thread; open(), close(),
// annotate() and the accessors may be called from any thread.  One mutex of
// the recorder's own serialises them (never `lock`).  EDFlib's table of
// open files is process-wide and unguarded, so every recorder opens and
// closes its file under one process-wide mutex; a host that reads files with
// EDFlib on another thread at the same time must not rely on that.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VelmoraStreamListener.h"

namespace velmora {

class VelmoraEdfRecorder : public VelmoraStreamListener {
 public:
  enum class Format {
    Bdf,  // BDF+: 24-bit samples; band powers fit
    Edf,  // EDF+: 16-bit samples; band powers in steps of 256
  };

  // The header's patient and recording fields, UTF-8.  ASCII is stored as
  // given; other characters are stored as their nearest ASCII (accents
  // dropped) or "?", and so is each byte that is no UTF-8 (a sequence cut
  // short included).  Each field is cut to what the header has room for.
  struct Identification {
    std::string patientCode;
    std::string patientName;
    std::string patientAdditional;
    std::optional<char> sex;  // 'M' or 'F' (either case); anything else, or none, is "X", unknown
    std::optional<std::chrono::year_month_day> birthdate;  // 1800..3000
    std::string adminCode;
    std::string technician;
    std::string equipment = "Velmora";
    std::string recordingAdditional;
  };

  struct Settings {
    Format format = Format::Bdf;
    Identification identification;
    // The wall clock, read for the start time (at the first raw sample) and
    // for the time the headset was away; system_clock::now when empty.
    std::function<std::chrono::system_clock::time_point()> clock;
    // The headset's gain in microvolts per count, which only its maker can
    // give.  Given, "EEG Raw" is stored in microvolts: dimension "uV", physical
    // range the digital range times this (open() refuses a value outside
    // kMinUvPerCount..kMaxUvPerCount, or not finite).  Empty, "EEG Raw" holds
    // counts and says so (dimension "count").  EDF keeps the range in
    // 8-character fields, which EDFlib fills by cutting the digits that do
    // not fit: readers get the gain to about 1e-6 of itself (exactly for a
    // gain such as 0.5).
    std::optional<double> uvPerCount;
  };
  // Gains outside this range do not fit the header's fields with useful
  // precision: the largest gives a range of -9830400..9830100 uV.
  static constexpr double kMinUvPerCount = 1e-4;
  static constexpr double kMaxUvPerCount = 300;

  static constexpr int kSampleRate = 512;
  // The 1 Hz signals' labels, in file order after "EEG Raw" (EDF labels
  // hold 16 characters, hence "Poor signal" for the signal quality), and the
  // dictionary keys whose values they hold.
  static constexpr const char* kSlowLabels[] = {
      "MISC Poor signal", "MISC Attention", "MISC Meditation", "MISC Delta",     "MISC Theta",     "MISC Low alpha",
      "MISC High alpha",  "MISC Low beta",  "MISC High beta",  "MISC Low gamma", "MISC High gamma"};
  static constexpr const char* kSlowKeys[] = {"poorSignal",  "vScoreAttention", "vScoreMeditation", "eegDelta",
                                              "eegTheta",    "eegLowAlpha",     "eegHighAlpha",     "eegLowBeta",
                                              "eegHighBeta", "eegLowGamma",     "eegHighGamma"};
  static constexpr int kSlowSignals = 11;
  static constexpr size_t kMaxAnnotationText = 64;  // bytes of UTF-8; longer texts are cut
  // Records of padding close() adds at most for annotations still waiting.
  static constexpr int kCloseRecords = 4;

  VelmoraEdfRecorder();
  ~VelmoraEdfRecorder() override;
  VelmoraEdfRecorder(const VelmoraEdfRecorder&) = delete;
  VelmoraEdfRecorder& operator=(const VelmoraEdfRecorder&) = delete;

  // The format a file name asks for: ".bdf" BDF+, ".edf" EDF+ (any case);
  // none for other names.
  static std::optional<Format> formatForPath(const std::string& path);

  // Creates `path` (never replacing an existing file) and prepares the
  // header.  False when it cannot, with error() saying why.  A recorder
  // records once: a second open() fails.
  bool open(const std::string& path, Settings settings);
  bool open(const std::string& path);  // BDF+, default settings
  // Pads and writes the record in progress, completes the header and closes
  // the file; removes it when it got no sample.  Returns false when the
  // recording failed at some point (error() says how; what was written up to
  // then stays readable).  Idempotent.
  bool close();

  // Open and not failed.
  bool isRecording() const;
  // Why the recording failed or lost something; empty when it did not.
  std::string error() const;
  std::string path() const;
  // Raw samples stored (padding not counted) and data records written.
  uint64_t samplesRecorded() const;
  uint64_t recordsWritten() const;
  // Raw samples in the data records written (padding not counted): what the
  // file holds, also after a failure cut it short.
  uint64_t samplesInFile() const;

  // Adds an annotation at the current sample (the next one to arrive).
  // Control characters become blanks; see kMaxAnnotationText.
  void annotate(const std::string& text);

  // VelmoraStreamListener.
  void rawSampleDecoded(int32_t sample, int32_t blinkStrength, int32_t rrIntervalMs) override;
  void valueDecoded(const std::string& key, int32_t value) override;
  void linkChanged(Link change, const std::string& portName) override;

 private:
  struct Annotation {
    uint64_t sample;  // onset, on the file's timeline
    uint64_t durationSamples;
    std::string text;
  };
  // Where things lie in a data record, read back from the header EDFlib
  // wrote: the header's size, a record's size, and the spare annotation
  // signals (offset in the record, bytes).
  struct Layout {
    uint64_t headerBytes = 0;
    uint64_t recordBytes = 0;
    std::vector<std::pair<uint64_t, uint64_t>> slots;
  };

  bool isRecordingLocked() const { return opened_ && !closed_ && !failed_; }
  std::chrono::system_clock::time_point now() const;
  void startClock();                                          // at the first raw sample
  void addAnnotation(uint64_t durationSamples, std::string text);  // at fileSamples_
  void padRecord();                                           // completes a partial record
  void writeRecord();
  bool readLayout();
  void storeAnnotations(uint64_t record);
  std::string encode(const Annotation& a) const;
  void writeCount(uint64_t records);
  void fail(const std::string& why);
  void reconnected(const std::string& portName);
  bool closeLocked();

  mutable std::mutex mutex_;
  Settings settings_;
  std::string path_;
  int handle_ = -1;  // EDFlib's
  int fd_ = -1;      // ours, on the same file: the count and the annotations
  bool opened_ = false;
  bool closed_ = false;
  bool failed_ = false;
  std::string error_;
  Layout layout_;

  bool started_ = false;  // the first raw sample has come: start time set
  int64_t subsecond_ = 0;  // start time's fraction of a second, in 100 ns units
  // Digital values of the record in progress: "EEG Raw", the 1 Hz signals,
  // "MISC Blink", "MISC RR".
  std::vector<int> record_ = std::vector<int>(3 * kSampleRate + kSlowSignals);
  int fill_ = 0;           // raw samples in the record in progress
  uint64_t records_ = 0;
  uint64_t fileSamples_ = 0;  // the timeline: records_ * 512 + fill_
  uint64_t delivered_ = 0;    // raw samples stored
  uint64_t samplesInFile_ = 0;  // of them, those in the records written
  int32_t slow_[kSlowSignals];  // the values held, -1 for none
  std::deque<Annotation> pending_;
  uint64_t droppedAnnotations_ = 0;

  bool linkUp_ = true;  // until a loss is seen, the headset counts as there
  std::chrono::system_clock::time_point lostAt_{};
};

}  // namespace velmora
