#include "sim/StreamGenerator.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sim/CapturePlayback.h"
#include "sim/LogPlayback.h"
#include "sim/SignalModel.h"
#include "sim/TruthFile.h"

namespace velmora::sim {
namespace {

uint64_t tickOf(double seconds) { return static_cast<uint64_t>(std::floor(seconds * kSampleRate)); }

std::unique_ptr<StreamSource> makeSource(const SimulatorOptions& options) {
  if (options.playbackPath.empty()) return std::make_unique<SignalModel>(options.signal);
  PlaybackKind kind = options.playbackKind;
  if (kind == PlaybackKind::Auto) {
    kind = LogPlayback::looksLikeLog(options.playbackPath) ? PlaybackKind::Log : PlaybackKind::Capture;
  }
  if (kind == PlaybackKind::Log) return std::make_unique<LogPlayback>(options.playbackPath);
  return std::make_unique<CapturePlayback>(options.playbackPath);
}

}  // namespace

StreamGenerator::StreamGenerator(const SimulatorOptions& options) : junk_(options.signal.seed ^ 0x6A756E6Bull) {
  options.validate();
  source_ = makeSource(options);
  scheduled_ = options.faults;
  for (const Fault& f : scheduled_) {
    if (!source_->framesPackets() && (f.kind == FaultKind::Checksum || f.kind == FaultKind::Sync)) {
      throw std::invalid_argument("checksum and sync faults need packets the simulator builds; a played-back capture "
                                  "is sent as it is (use junk, pause or unplug faults with it)");
    }
    if (!f.atSecond) throw std::invalid_argument("a scheduled fault needs its second");
  }
  std::stable_sort(scheduled_.begin(), scheduled_.end(),
                   [](const Fault& a, const Fault& b) { return *a.atSecond < *b.atSecond; });
  if (options.durationSeconds) endTick_ = static_cast<uint64_t>(std::llround(*options.durationSeconds * kSampleRate));
}

void StreamGenerator::activate(const Fault& fault) {
  auto count = static_cast<uint64_t>(fault.argument);
  switch (fault.kind) {
    case FaultKind::Checksum: checksumPending_ += count; break;
    case FaultKind::Sync: syncPending_ += count; break;
    case FaultKind::Junk: junkPending_ += count; break;
    case FaultKind::Pause:
    case FaultKind::Unplug: dueLinkFaults_.push_back(fault); break;
  }
}

void StreamGenerator::inject(const Fault& fault) { activate(fault); }

std::optional<Fault> StreamGenerator::takeDueLinkFault() {
  while (nextScheduled_ < scheduled_.size() && tickOf(*scheduled_[nextScheduled_].atSecond) <= ticks_) {
    activate(scheduled_[nextScheduled_++]);
  }
  if (dueLinkFaults_.empty()) return std::nullopt;
  Fault f = dueLinkFaults_.front();
  dueLinkFaults_.pop_front();
  return f;
}

bool StreamGenerator::tick(TickBuffer& out) {
  if (ended_ || (endTick_ && ticks_ >= *endTick_)) {
    ended_ = true;
    return false;
  }
  while (nextScheduled_ < scheduled_.size() && tickOf(*scheduled_[nextScheduled_].atSecond) <= ticks_) {
    activate(scheduled_[nextScheduled_++]);
  }
  scratch_.clear();
  if (!source_->tick(scratch_)) {
    ended_ = true;
    return false;
  }
  for (; junkPending_ > 0; --junkPending_) {
    auto b = static_cast<uint8_t>(junk_.bits());
    out.bytes.push_back(b == 0xAA ? 0x55 : b);
  }
  size_t shift = out.bytes.size();
  out.bytes.insert(out.bytes.end(), scratch_.bytes.begin(), scratch_.bytes.end());
  for (size_t i = 0; i < scratch_.packetStarts.size(); ++i) {
    size_t start = shift + scratch_.packetStarts[i];
    size_t end = shift + (i + 1 < scratch_.packetStarts.size() ? scratch_.packetStarts[i + 1] : scratch_.bytes.size());
    out.packetStarts.push_back(start);
    if (syncPending_ > 0) {
      out.bytes[start + 1] = 0x55;
      --syncPending_;
    }
    if (checksumPending_ > 0) {
      out.bytes[end - 1] = static_cast<uint8_t>(~out.bytes[end - 1]);
      --checksumPending_;
    }
  }
  out.samples += scratch_.samples;
  ++ticks_;
  return true;
}

std::vector<uint8_t> StreamGenerator::generate(const SimulatorOptions& options, GroundTruth* truth) {
  std::vector<uint8_t> bytes;
  if (options.durationSeconds) bytes.reserve(static_cast<size_t>(*options.durationSeconds * kSampleRate * 8.2));
  generate(
      options,
      [&](std::span<const uint8_t> block) {
        bytes.insert(bytes.end(), block.begin(), block.end());
        return true;
      },
      truth);
  return bytes;
}

bool StreamGenerator::generate(const SimulatorOptions& options,
                               const std::function<bool(std::span<const uint8_t>)>& sink, GroundTruth* truth) {
  for (const Fault& f : options.faults) {
    if (f.isLinkFault()) {
      throw std::invalid_argument("pause and unplug faults need a live link; they do not apply to an offline stream");
    }
  }
  if (options.playbackPath.empty() && !options.durationSeconds) {
    throw std::invalid_argument("an offline stream needs a duration");
  }
  StreamGenerator generator(options);
  std::optional<TruthFile> file;
  if (!options.truthPath.empty()) file.emplace(options.truthPath, options.signal);

  TickBuffer out;
  out.bytes.reserve(kBlockBytes + 512);
  std::vector<TruthEvent> events;
  bool more = true;
  while (more) {
    more = generator.tick(out);
    // Keep only the bytes; packet offsets are not needed here.
    out.packetStarts.clear();
    generator.source().takeTruth(events);
    for (const TruthEvent& e : events) {
      if (truth != nullptr) truth->add(e);
      if (file) file->write(e);
    }
    events.clear();
    if ((out.bytes.size() >= kBlockBytes || !more) && !out.bytes.empty()) {
      if (!sink(out.bytes)) return false;
      out.bytes.clear();
    }
  }
  if (file) file->flush();
  return true;
}

}  // namespace velmora::sim
