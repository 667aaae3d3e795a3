#include "VelmoraEdfRecorder.h"

#include <edflib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <ctime>
#include <string_view>

#include "platform/Files.h"
#include "platform/Log.h"

namespace velmora {
namespace {

// EDFlib keeps its open files in one process-wide table that it does not
// guard; opening and closing go through this mutex.
std::mutex& edflibMutex() {
  static std::mutex m;
  return m;
}

constexpr int kRawSignal = 0;
constexpr int kBlinkSignal = 1 + VelmoraEdfRecorder::kSlowSignals;
constexpr int kRrSignal = kBlinkSignal + 1;
constexpr int kSignals = kRrSignal + 1;
// Where each signal's samples lie in a record's digital values.
constexpr size_t kBlinkAt = VelmoraEdfRecorder::kSampleRate + VelmoraEdfRecorder::kSlowSignals;
constexpr size_t kRrAt = kBlinkAt + VelmoraEdfRecorder::kSampleRate;
// EDFlib's own annotation signal carries each record's time stamp; the
// spare ones carry this recorder's annotations.
constexpr int kAnnotationSignals = 3;
constexpr int32_t kNoValue = -1;
// Where EDF keeps the number of data records: 8 characters at byte 236.
constexpr off_t kRecordCountOffset = 236;

// Digital range and physical scale of each kind of signal.  The physical
// value is (digital - digitalMin) * step + physicalMin, as every reader
// computes it, so "no value" (digitalMin) reads as physicalMin < 0.
struct Scale {
  int digitalMin, digitalMax;
  double physicalMin, physicalMax;
};
constexpr Scale kRawScale{-32768, 32767, -32768, 32767};
constexpr Scale kSmallScale{kNoValue, 255, kNoValue, 255};
constexpr Scale kBdfBandScale{-8388608, 8388607, -1, 16777214};
constexpr Scale kEdfBandScale{-32768, 32767, -256, 16776704};  // steps of 256
constexpr Scale kBlinkScale{0, 255, 0, 255};
constexpr Scale kBdfRrScale{0, 8388607, 0, 8388607};  // ms
constexpr Scale kEdfRrScale{0, 32767, 0, 32767};

const Scale& scaleOf(int signal, bool bdf) {
  if (signal == kRawSignal) return kRawScale;
  if (signal == kBlinkSignal) return kBlinkScale;
  if (signal == kRrSignal) return bdf ? kBdfRrScale : kEdfRrScale;
  return signal <= 3 ? kSmallScale : bdf ? kBdfBandScale : kEdfBandScale;
}

// The labels: EDF+'s type word, then the signal's name.
const char* labelOf(int signal) {
  if (signal == kRawSignal) return "EEG Raw";
  if (signal == kBlinkSignal) return "MISC Blink";
  if (signal == kRrSignal) return "MISC RR";
  return VelmoraEdfRecorder::kSlowLabels[signal - 1];
}

int digitalValue(int signal, int32_t value, VelmoraEdfRecorder::Format format) {
  const bool band = signal > 3;
  const bool bdf = format == VelmoraEdfRecorder::Format::Bdf;
  if (!band) return value < 0 ? kNoValue : std::min(value, 255);
  if (value < 0) return bdf ? kBdfBandScale.digitalMin : kEdfBandScale.digitalMin;
  if (bdf) return std::min(value, 16777214) - 8388607;
  return std::min((value + 128) >> 8, 65534) - 32767;
}

// The length of the well-formed UTF-8 sequence at `at` (1..4), or 0 when
// the bytes there are no character: a stray continuation byte, an overlong
// form, a surrogate, a code point above U+10FFFF, or a sequence cut short.
size_t utf8Length(std::string_view text, size_t at) {
  const auto c = static_cast<unsigned char>(text[at]);
  if (c < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[at + k]);
    if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// True when the bytes from `at` to the end are the start of a character
// cut short: a lead byte and fewer continuation bytes than it announces.
bool cutShort(std::string_view text, size_t at) {
  const auto c = static_cast<unsigned char>(text[at]);
  const size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (at + length <= text.size()) return false;
  for (size_t k = at + 1; k < text.size(); ++k) {
    if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) return false;
  }
  return true;
}

// Header text, which EDF wants in printable ASCII: U+00A0..U+00FF as their
// Latin-1 byte (EDFlib turns those into their nearest ASCII, accents
// dropped), other characters and bytes that are no UTF-8 as "?", control
// characters as blanks; a character cut short at the end is left out.
std::string headerText(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const size_t length = utf8Length(utf8, i);
    if (length == 1) {
      out += c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c);
    } else if (length == 2 && (c == 0xC3 || (c == 0xC2 && static_cast<unsigned char>(utf8[i + 1]) >= 0xA0))) {
      out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F));
    } else if (length == 0 && cutShort(utf8, i)) {
      break;  // the field was cut inside a character: nothing stands for it
    } else {
      out += '?';
    }
    i += std::max<size_t>(length, 1);
  }
  return out;
}

// Annotation text, which readers take as UTF-8: control characters become
// blanks (they delimit the annotation lists), bytes that are no UTF-8
// become U+FFFD (the replacement character); the result is cut to
// kMaxAnnotationText bytes at a character boundary.
std::string annotationText(const std::string& raw) {
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    const size_t length = utf8Length(raw, i);
    if (length == 0) {
      text += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (length == 1 && static_cast<unsigned char>(raw[i]) < 0x20) {
      text += ' ';
    } else {
      text.append(raw, i, length);
    }
    i += length;
  }
  if (text.size() > VelmoraEdfRecorder::kMaxAnnotationText) {
    size_t cut = VelmoraEdfRecorder::kMaxAnnotationText;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  return text;
}

// "+S.FFFFFFF" (seconds with 7 decimals) without the process locale.
void appendTime(std::string& out, uint64_t units100ns) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, units100ns / 10000000).ptr;
  out.append(digits, end);
  out += '.';
  const uint64_t fraction = units100ns % 10000000;
  end = std::to_chars(digits, digits + sizeof digits, fraction).ptr;
  out.append(static_cast<size_t>(7 - (end - digits)), '0');
  out.append(digits, end);
}

uint64_t samplesToUnits(uint64_t samples) { return (samples * 78125 + 2) / 4; }  // 1e7 / 512 = 78125 / 4

std::string tenths(double seconds) {
  const auto t = static_cast<long long>(std::llround(std::max(seconds, 0.0) * 10.0));
  return std::to_string(t / 10) + "." + std::to_string(t % 10);
}

// A number for a message, without the process locale.
std::string shortNumber(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// A field of the header, as a number (blanks around it allowed).
std::optional<uint64_t> headerNumber(std::string_view field) {
  while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
  uint64_t v = 0;
  const auto r = std::from_chars(field.data(), field.data() + field.size(), v);
  if (r.ec != std::errc() || r.ptr != field.data() + field.size()) return std::nullopt;
  return v;
}

bool pwriteAll(int fd, const void* data, size_t size, off_t at) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

}  // namespace

VelmoraEdfRecorder::VelmoraEdfRecorder() { std::fill(std::begin(slow_), std::end(slow_), kNoValue); }

VelmoraEdfRecorder::~VelmoraEdfRecorder() { close(); }

std::optional<VelmoraEdfRecorder::Format> VelmoraEdfRecorder::formatForPath(const std::string& path) {
  if (path.size() < 4) return std::nullopt;
  std::string ext = path.substr(path.size() - 4);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".bdf") return Format::Bdf;
  if (ext == ".edf") return Format::Edf;
  return std::nullopt;
}

bool VelmoraEdfRecorder::open(const std::string& path) { return open(path, Settings()); }

bool VelmoraEdfRecorder::open(const std::string& path, Settings settings) {
  std::lock_guard<std::mutex> g(mutex_);
  if (opened_) {
    error_ = "a recorder records once; this one has already been opened";
    return false;
  }
  opened_ = true;
  settings_ = std::move(settings);
  path_ = path;
  if (const auto& gain = settings_.uvPerCount;
      gain && !(std::isfinite(*gain) && *gain >= kMinUvPerCount && *gain <= kMaxUvPerCount)) {
    error_ = "the gain must lie between " + shortNumber(kMinUvPerCount) + " and " + shortNumber(kMaxUvPerCount) +
             " microvolts per count, not " + shortNumber(*gain);
    closed_ = true;
    return false;
  }
  // Created here, exclusively: an existing file (or a link planted at the
  // name) is never replaced or followed, and the recording is the user's
  // own (0600).  EDFlib then opens the same (empty) file; this descriptor
  // updates the count and stores the annotations.
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error_ = "cannot create " + path + ": " + platform::errnoText(errno);
    closed_ = true;
    return false;
  }
  const bool bdf = settings_.format == Format::Bdf;
  {
    std::lock_guard<std::mutex> e(edflibMutex());
    handle_ = edfopen_file_writeonly(path.c_str(), bdf ? EDFLIB_FILETYPE_BDFPLUS : EDFLIB_FILETYPE_EDFPLUS, kSignals);
  }
  struct stat ours {}, theirs {};
  if (handle_ < 0 || ::fstat(fd_, &ours) != 0 || ::stat(path.c_str(), &theirs) != 0 || ours.st_ino != theirs.st_ino ||
      ours.st_dev != theirs.st_dev) {
    error_ = "cannot open " + path + " for writing (EDFlib error " + std::to_string(handle_) + ")";
    closeLocked();
    return false;
  }
  int bad = 0;
  for (int s = 0; s < kSignals; ++s) {
    Scale scale = scaleOf(s, bdf);
    if (s == kRawSignal && settings_.uvPerCount) {
      scale.physicalMin = scale.digitalMin * *settings_.uvPerCount;
      scale.physicalMax = scale.digitalMax * *settings_.uvPerCount;
    }
    bad |= edf_set_samplefrequency(handle_, s, s == kRawSignal || s >= kBlinkSignal ? kSampleRate : 1);
    bad |= edf_set_digital_minimum(handle_, s, scale.digitalMin);
    bad |= edf_set_digital_maximum(handle_, s, scale.digitalMax);
    bad |= edf_set_physical_minimum(handle_, s, scale.physicalMin);
    bad |= edf_set_physical_maximum(handle_, s, scale.physicalMax);
    bad |= edf_set_label(handle_, s, labelOf(s));
    const char* dimension = s == kRrSignal ? "ms" : s != kRawSignal ? "" : settings_.uvPerCount ? "uV" : "count";
    bad |= edf_set_physical_dimension(handle_, s, dimension);
  }
  bad |= edf_set_number_of_annotation_signals(handle_, kAnnotationSignals);
  const Identification& id = settings_.identification;
  auto text = [&](int (*set)(int, const char*), const std::string& value) {
    if (!value.empty()) bad |= set(handle_, headerText(value).c_str());
  };
  text(edf_set_patientcode, id.patientCode);
  text(edf_set_patientname, id.patientName);
  text(edf_set_patient_additional, id.patientAdditional);
  text(edf_set_admincode, id.adminCode);
  text(edf_set_technician, id.technician);
  text(edf_set_equipment, id.equipment);
  text(edf_set_recording_additional, id.recordingAdditional);
  // EDFlib writes "X" (unknown) unless told 'M' or 'F'.
  if (id.sex && (*id.sex == 'M' || *id.sex == 'm')) bad |= edf_set_gender(handle_, 1);
  if (id.sex && (*id.sex == 'F' || *id.sex == 'f')) bad |= edf_set_gender(handle_, 0);
  if (id.birthdate) {
    bad |= edf_set_birthdate(handle_, static_cast<int>(id.birthdate->year()),
                             static_cast<int>(static_cast<unsigned>(id.birthdate->month())),
                             static_cast<int>(static_cast<unsigned>(id.birthdate->day())));
  }
  if (bad != 0) {
    error_ = "cannot prepare the header of " + path + ": a field is out of range (the birth date, say)";
    closeLocked();
    return false;
  }
  return true;
}

bool VelmoraEdfRecorder::close() {
  std::lock_guard<std::mutex> g(mutex_);
  return closeLocked();
}

bool VelmoraEdfRecorder::closeLocked() {
  if (closed_ || !opened_) return error_.empty();
  closed_ = true;
  if (!failed_ && handle_ >= 0 && fill_ > 0) padRecord();
  // Annotations that arose after the last record (a loss of the headset
  // just as a second ended) get records of padding of their own.
  for (int extra = 0; !failed_ && handle_ >= 0 && records_ > 0 && !pending_.empty() && extra < kCloseRecords; ++extra) {
    padRecord();
  }
  if (!pending_.empty() && records_ > 0) {
    droppedAnnotations_ += pending_.size();
    pending_.clear();
  }
  if (droppedAnnotations_ > 0 && error_.empty()) {
    error_ = std::to_string(droppedAnnotations_) + " annotations did not fit into " + path_ + " and were dropped";
  }
  if (handle_ >= 0) {
    std::lock_guard<std::mutex> e(edflibMutex());
    edfclose_file(handle_);
    handle_ = -1;
  }
  struct stat ours {}, named {};
  if (records_ == 0) {
    // Nothing was recorded: no file rather than one no reader opens (unless
    // the name has come to mean another file meanwhile).
    if (::fstat(fd_, &ours) == 0 && ::stat(path_.c_str(), &named) == 0 && ours.st_ino == named.st_ino &&
        ours.st_dev == named.st_dev) {
      ::unlink(path_.c_str());
    }
  } else {
    // EDFlib counts a record that failed to reach the disk too: the file
    // ends with the last whole record, and the count says so.
    (void)!::ftruncate(fd_, static_cast<off_t>(layout_.headerBytes + records_ * layout_.recordBytes));
    writeCount(records_);
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  return error_.empty();
}

bool VelmoraEdfRecorder::isRecording() const {
  std::lock_guard<std::mutex> g(mutex_);
  return isRecordingLocked();
}

std::string VelmoraEdfRecorder::error() const {
  std::lock_guard<std::mutex> g(mutex_);
  return error_;
}

std::string VelmoraEdfRecorder::path() const {
  std::lock_guard<std::mutex> g(mutex_);
  return path_;
}

uint64_t VelmoraEdfRecorder::samplesRecorded() const {
  std::lock_guard<std::mutex> g(mutex_);
  return delivered_;
}

uint64_t VelmoraEdfRecorder::samplesInFile() const {
  std::lock_guard<std::mutex> g(mutex_);
  return samplesInFile_;
}

uint64_t VelmoraEdfRecorder::recordsWritten() const {
  std::lock_guard<std::mutex> g(mutex_);
  return records_;
}

void VelmoraEdfRecorder::annotate(const std::string& text) {
  std::lock_guard<std::mutex> g(mutex_);
  if (isRecordingLocked()) addAnnotation(0, annotationText(text));
}

// ---------------------------------------------------------------- the stream

void VelmoraEdfRecorder::rawSampleDecoded(int32_t sample, int32_t blinkStrength, int32_t rrIntervalMs) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!isRecordingLocked()) return;
  if (!started_) startClock();
  if (!linkUp_) reconnected({});
  if (blinkStrength > 0) addAnnotation(0, "Blink");
  if (rrIntervalMs > 0) addAnnotation(0, "Beat");
  const bool bdf = settings_.format == Format::Bdf;
  const auto at = static_cast<size_t>(fill_++);
  record_[at] = std::clamp(sample, -32768, 32767);
  record_[kBlinkAt + at] = std::clamp(blinkStrength, 0, kBlinkScale.digitalMax);
  record_[kRrAt + at] = std::clamp(rrIntervalMs, 0, (bdf ? kBdfRrScale : kEdfRrScale).digitalMax);
  ++fileSamples_;
  ++delivered_;
  if (fill_ == kSampleRate) writeRecord();
}

void VelmoraEdfRecorder::valueDecoded(const std::string& key, int32_t value) {
  std::lock_guard<std::mutex> g(mutex_);
  for (int s = 0; s < kSlowSignals; ++s) {
    if (key == kSlowKeys[s]) slow_[s] = std::max(value, 0);
  }
}

void VelmoraEdfRecorder::linkChanged(Link change, const std::string& portName) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!isRecordingLocked()) return;
  if (change == Link::Opened) {
    if (linkUp_) {
      addAnnotation(0, annotationText("Headset connected: " + portName));
    } else {
      reconnected(portName);
    }
    return;
  }
  if (!linkUp_) return;  // one loss reports itself several ways (removal, error, close)
  linkUp_ = false;
  lostAt_ = now();
  const char* why = change == Link::Removed ? "port removed" : change == Link::SwitchedOff ? "switched off" : "port closed";
  addAnnotation(0, std::string("Headset disconnected (") + why + ")");
  // All that came before the loss goes to disk now; stale values are not
  // held across it.
  if (fill_ > 0) padRecord();
  std::fill(std::begin(slow_), std::end(slow_), kNoValue);
}

void VelmoraEdfRecorder::reconnected(const std::string& portName) {
  linkUp_ = true;
  const double away = std::chrono::duration<double>(now() - lostAt_).count();
  std::string text = "Headset reconnected";
  if (!portName.empty()) text += ": " + portName;
  addAnnotation(0, annotationText(text + " (away " + tenths(away) + " s)"));
}

// ---------------------------------------------------------------- writing

std::chrono::system_clock::time_point VelmoraEdfRecorder::now() const {
  return settings_.clock ? settings_.clock() : std::chrono::system_clock::now();
}

void VelmoraEdfRecorder::startClock() {
  started_ = true;
  using namespace std::chrono;
  const auto t = now();
  const auto whole = floor<seconds>(t);
  // To 100 microseconds, as EDF+ readers expect, in 100 ns units.
  subsecond_ = duration_cast<microseconds>(t - whole).count() / 100 * 1000;
  const std::time_t secs = system_clock::to_time_t(whole);
  std::tm local {};
  ::localtime_r(&secs, &local);
  if (edf_set_startdatetime(handle_, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                            local.tm_min, local.tm_sec) != 0) {
    // Outside the years EDF can hold (1985..2084): its agreed "unknown".
    edf_set_startdatetime(handle_, 1985, 1, 1, 0, 0, 0);
    subsecond_ = 0;
  }
  edf_set_subsecond_starttime(handle_, static_cast<int>(subsecond_));
}

void VelmoraEdfRecorder::addAnnotation(uint64_t durationSamples, std::string text) {
  pending_.push_back({fileSamples_, durationSamples, std::move(text)});
}

void VelmoraEdfRecorder::padRecord() {
  const int padding = kSampleRate - fill_;
  addAnnotation(static_cast<uint64_t>(padding), "BAD no data");
  for (const size_t start : {size_t{0}, kBlinkAt, kRrAt}) {
    const auto signal = record_.begin() + static_cast<std::ptrdiff_t>(start);
    std::fill(signal + fill_, signal + kSampleRate, 0);
  }
  fileSamples_ += static_cast<uint64_t>(padding);
  fill_ = kSampleRate;
  writeRecord();
}

void VelmoraEdfRecorder::writeRecord() {
  fill_ = 0;
  for (int s = 0; s < kSlowSignals; ++s) {
    record_[static_cast<size_t>(kSampleRate + s)] = digitalValue(s + 1, slow_[s], settings_.format);
  }
  errno = 0;
  const int rc = edf_blockwrite_digital_samples(handle_, record_.data());
  const int err = errno;
  // The header is written with the first record: only now can the layout
  // be read back.
  if (records_ == 0 && !readLayout()) {
    fail(rc != 0 && err != 0 ? platform::errnoText(err) : "the header could not be written or read back");
    return;
  }
  struct stat st {};
  const uint64_t expected = layout_.headerBytes + (records_ + 1) * layout_.recordBytes;
  if (rc != 0 || ::fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) != expected) {
    (void)!::ftruncate(fd_, static_cast<off_t>(layout_.headerBytes + records_ * layout_.recordBytes));
    fail(err != 0 ? platform::errnoText(err) : "the data record did not reach the file");
    return;
  }
  storeAnnotations(records_);
  ++records_;
  samplesInFile_ = delivered_;
  writeCount(records_);
}

bool VelmoraEdfRecorder::readLayout() {
  char fixed[256];
  if (::pread(fd_, fixed, sizeof fixed, 0) != static_cast<ssize_t>(sizeof fixed)) return false;
  const auto headerBytes = headerNumber({fixed + 184, 8});
  const auto signals = headerNumber({fixed + 252, 4});
  if (!headerBytes || !signals || *signals != kSignals + kAnnotationSignals || *headerBytes != 256 * (*signals + 1)) {
    return false;
  }
  const auto ns = static_cast<size_t>(*signals);
  std::vector<char> fields(ns * 256);
  if (::pread(fd_, fields.data(), fields.size(), 256) != static_cast<ssize_t>(fields.size())) return false;
  const uint64_t bytesPerSample = static_cast<unsigned char>(fixed[0]) == 0xFF ? 3 : 2;
  Layout layout;
  layout.headerBytes = *headerBytes;
  bool timeKeeping = true;
  for (size_t i = 0; i < ns; ++i) {
    const std::string_view label(fields.data() + i * 16, 16);
    const auto samples = headerNumber({fields.data() + ns * 216 + i * 8, 8});
    if (!samples) return false;
    const uint64_t bytes = *samples * bytesPerSample;
    if (label.substr(1, 14) == "DF Annotations") {
      if (!timeKeeping) layout.slots.emplace_back(layout.recordBytes, bytes);
      timeKeeping = false;
    }
    layout.recordBytes += bytes;
  }
  if (layout.slots.size() != kAnnotationSignals - 1) return false;
  layout_ = layout;
  return true;
}

// Fills the spare annotation signals of the record just written with the
// annotations waiting, oldest first, as many as fit; the rest wait for the
// next record.
void VelmoraEdfRecorder::storeAnnotations(uint64_t record) {
  const uint64_t recordStart = layout_.headerBytes + record * layout_.recordBytes;
  for (const auto& [offset, size] : layout_.slots) {
    if (pending_.empty()) return;
    std::string slot;
    while (!pending_.empty()) {
      const std::string tal = encode(pending_.front());
      if (slot.size() + tal.size() > size) break;
      slot += tal;
      pending_.pop_front();
    }
    slot.resize(size, '\0');
    if (!pwriteAll(fd_, slot.data(), slot.size(), static_cast<off_t>(recordStart + offset))) {
      fail(platform::errnoText(errno));
      return;
    }
  }
}

// One annotation as EDF+ stores it: "+ONSET[\x15DURATION]\x14TEXT\x14\0",
// the onset counted from the header's start time (which has whole seconds
// only; its fraction is the first record's onset).
std::string VelmoraEdfRecorder::encode(const Annotation& a) const {
  std::string tal = "+";
  appendTime(tal, static_cast<uint64_t>(subsecond_) + samplesToUnits(a.sample));
  if (a.durationSamples > 0) {
    tal += '\x15';
    appendTime(tal, samplesToUnits(a.durationSamples));
  }
  tal += '\x14';
  tal += a.text;
  tal += '\x14';
  tal += '\0';
  return tal;
}

void VelmoraEdfRecorder::writeCount(uint64_t records) {
  char field[8];
  std::fill(std::begin(field), std::end(field), ' ');
  std::to_chars(field, field + sizeof field, std::min<uint64_t>(records, 99999999));
  if (!pwriteAll(fd_, field, sizeof field, kRecordCountOffset)) fail(platform::errnoText(errno));
}

void VelmoraEdfRecorder::fail(const std::string& why) {
  if (failed_) return;
  failed_ = true;
  error_ = "cannot write to " + path_ + ": " + why + "; the recording ends after " + std::to_string(records_) +
           " s";
  logMessage("VelmoraEdfRecorder: cannot write to %s: %s", path_.c_str(), why.c_str());
}

}  // namespace velmora
