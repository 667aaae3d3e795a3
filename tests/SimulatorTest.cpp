// The headset simulator: the synthesised stream (framing, cadence, signal
// quality, ground truth), its agreement with the analysers and the
// accessory's decoder and recorder, the pty link (pace, unplug, re-plug,
// pause), byte faults, playback, and the command.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "VLBlink.h"
#include "VLHrv.h"
#include "VelmoraObjC.h"
#include "platform/DeviceFolder.h"
#include "sim/Fault.h"
#include "sim/HeadsetSimulator.h"
#include "sim/StreamGenerator.h"
#include "support/LogCapture.h"

extern char** environ;

namespace velmora::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- helpers

// A small framer of our own: AA AA, length, payload, inverted-sum checksum.
struct Scan {
  std::vector<Bytes> payloads;
  size_t checksumErrors = 0;
  size_t syncBreaks = 0;
  size_t droppedBytes = 0;
};

Scan scan(std::span<const uint8_t> bytes) {
  Scan s;
  size_t i = 0;
  while (i < bytes.size()) {
    if (bytes[i] != 0xAA) {
      ++s.droppedBytes;
      ++i;
      continue;
    }
    if (i + 1 >= bytes.size()) break;
    if (bytes[i + 1] != 0xAA) {
      ++s.syncBreaks;
      i += 2;
      continue;
    }
    if (i + 3 > bytes.size()) break;
    size_t length = bytes[i + 2];
    if (i + 3 + length >= bytes.size()) break;
    Bytes payload(bytes.begin() + static_cast<long>(i + 3), bytes.begin() + static_cast<long>(i + 3 + length));
    uint8_t sum = 0;
    for (uint8_t b : payload) sum = static_cast<uint8_t>(sum + b);
    if (static_cast<uint8_t>(~sum) == bytes[i + 3 + length]) {
      s.payloads.push_back(std::move(payload));
    } else {
      ++s.checksumErrors;
    }
    i += 4 + length;
  }
  return s;
}

struct Row {
  uint8_t code;
  std::span<const uint8_t> value;
};

// Calls `visit` with each row of `payload`.
template <typename Visit>
void forEachRow(const Bytes& payload, Visit visit) {
  size_t i = 0;
  while (i < payload.size()) {
    uint8_t code = payload[i++];
    size_t length = 1;
    if (code >= 0x80) length = i < payload.size() ? payload[i++] : 0;
    if (i + length > payload.size()) break;
    visit(Row{code, std::span<const uint8_t>(payload).subspan(i, length)});
    i += length;
  }
}

// The stream as a host would see it.
struct Decoded {
  std::vector<int16_t> raw;
  std::vector<int> qualityAtRaw;      // signal quality in force at each raw sample
  std::vector<size_t> qualityPackets;  // raw samples before each quality packet
  std::vector<int> quality, attention, meditation, heartRates;
  std::vector<std::array<uint32_t, 8>> bands;
  std::vector<std::pair<size_t, uint8_t>> chips;  // raw samples before, third value byte
  std::vector<std::vector<uint8_t>> qualityPacketCodes;  // the row codes of each packet with a quality row
};

Decoded decode(const Scan& s) {
  Decoded d;
  int quality = 0;
  std::vector<uint8_t> codes;
  for (const Bytes& p : s.payloads) {
    codes.clear();
    forEachRow(p, [&](const Row& r) {
      codes.push_back(r.code);
      switch (r.code) {
        case 0x02:
          quality = r.value[0];
          d.quality.push_back(quality);
          d.qualityPackets.push_back(d.raw.size());
          break;
        case 0x03: d.heartRates.push_back(r.value[0]); break;
        case 0x04: d.attention.push_back(r.value[0]); break;
        case 0x05: d.meditation.push_back(r.value[0]); break;
        case 0x80:
          d.raw.push_back(static_cast<int16_t>(r.value[0] << 8 | r.value[1]));
          d.qualityAtRaw.push_back(quality);
          break;
        case 0x83: {
          std::array<uint32_t, 8> b{};
          for (size_t k = 0; k < 8; ++k) {
            b[k] = uint32_t{r.value[3 * k]} << 16 | uint32_t{r.value[3 * k + 1]} << 8 | r.value[3 * k + 2];
          }
          d.bands.push_back(b);
          break;
        }
        case 0x85: d.chips.emplace_back(d.raw.size(), r.value[2]); break;
        default: break;
      }
    });
    if (std::find(codes.begin(), codes.end(), 0x02) != codes.end()) d.qualityPacketCodes.push_back(codes);
  }
  return d;
}

SimulatorOptions synth(SignalMode mode, double seconds, uint64_t seed = 1) {
  SimulatorOptions o;
  o.signal.mode = mode;
  o.signal.seed = seed;
  o.durationSeconds = seconds;
  return o;
}

struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/velmora-sim-XXXXXX";
    path = ::mkdtemp(name);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// Reads from a non-blocking `fd` until `want` bytes have come or the deadline passes.
Bytes readBytes(int fd, size_t want, Clock::time_point deadline) {
  Bytes got;
  uint8_t buffer[4096];
  while (got.size() < want && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, want - got.size()));
    if (n > 0) got.insert(got.end(), buffer, buffer + n);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
  }
  return got;
}

// Reads until the tty hangs up; returns the errno of the failing read (0 for
// end of file), or -1 if it did not hang up by the deadline.
int readUntilHangup(int fd, Clock::time_point deadline) {
  uint8_t buffer[4096];
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return errno;
  }
  return -1;
}

bool linkExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_symlink(path, ec);
}

// ---------------------------------------------------------------- the synthesised stream

TEST(SimulatorStream, EegStreamFramesWithTheHeadsetsCadence) {
  auto options = synth(SignalMode::Eeg, 12, 3);
  GroundTruth truth;
  Bytes bytes = HeadsetSimulator::generateOffline(options, &truth);
  Scan s = scan(bytes);
  EXPECT_EQ(s.checksumErrors, 0u);
  EXPECT_EQ(s.syncBreaks, 0u);
  EXPECT_EQ(s.droppedBytes, 0u);
  Decoded d = decode(s);

  ASSERT_EQ(d.raw.size(), 12u * 512);
  // One quality packet (quality, attention, meditation, band powers, in that
  // order) at the start of each second, just before its first raw sample.
  ASSERT_EQ(d.qualityPackets.size(), 12u);
  for (size_t second = 0; second < 12; ++second) EXPECT_EQ(d.qualityPackets[second], second * 512);
  ASSERT_EQ(d.qualityPacketCodes.size(), 12u);
  for (const auto& codes : d.qualityPacketCodes) EXPECT_EQ(codes, (std::vector<uint8_t>{0x02, 0x04, 0x05, 0x83}));
  EXPECT_EQ(d.attention.size(), 12u);
  EXPECT_EQ(d.meditation.size(), 12u);
  EXPECT_EQ(d.bands.size(), 12u);
  for (int q : d.quality) EXPECT_LE(q, 50);
  for (int a : d.attention) EXPECT_TRUE(a >= 1 && a <= 100) << a;
  // Sensor chip at seconds 0 and 10 (the KRT480 kind), heart rate at 4.5 s and 9.5 s.
  ASSERT_EQ(d.chips.size(), 2u);
  EXPECT_EQ(d.chips[0].first, 0u);
  EXPECT_EQ(d.chips[1].first, 10u * 512);
  for (const auto& chip : d.chips) EXPECT_LT(chip.second, 0xF0);
  ASSERT_EQ(d.heartRates.size(), 2u);
  for (int hr : d.heartRates) EXPECT_TRUE(hr >= 55 && hr <= 85) << hr;

  // Outside blinks the EEG stays within +-150; blinks are there.
  ASSERT_GE(truth.blinks.size(), 2u);
  for (size_t i = 0; i < d.raw.size(); ++i) {
    bool inBlink = std::any_of(truth.blinks.begin(), truth.blinks.end(),
                               [&](const BlinkTruth& b) { return i >= b.start && i <= b.end; });
    if (!inBlink) {
      ASSERT_LE(std::abs(d.raw[i]), 150) << "sample " << i;
    }
  }

  // The same seed gives the same bytes; another seed others.
  EXPECT_EQ(HeadsetSimulator::generateOffline(options), bytes);
  EXPECT_NE(HeadsetSimulator::generateOffline(synth(SignalMode::Eeg, 12, 4)), bytes);
}

TEST(SimulatorStream, BlinksHaveTheShapesTheBlinkDetectorTakes) {
  size_t positive = 0, negative = 0;
  int weakest = INT32_MAX, strongest = 0;
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    GroundTruth truth;
    Decoded d = decode(scan(HeadsetSimulator::generateOffline(synth(SignalMode::Eeg, 60, seed), &truth)));
    ASSERT_GE(truth.blinks.size(), 10u);
    uint64_t previousEnd = 0;
    for (const BlinkTruth& b : truth.blinks) {
      ASSERT_LT(b.end + 30, d.raw.size());
      EXPECT_GE(b.start, previousEnd + 512) << "blinks need baseline between them";
      previousEnd = b.end;
      // Runs beyond the detector's levels, in order: the first lobe, then the second.
      auto beyond = [&](size_t i, bool up) { return up ? d.raw[i] >= 231 : d.raw[i] <= -201; };
      std::vector<std::pair<bool, int>> runs;  // (above, length)
      for (size_t i = b.start; i <= b.end; ++i) {
        for (bool up : {true, false}) {
          if (!beyond(i, up)) continue;
          if (runs.empty() || runs.back().first != up || !beyond(i - 1, up)) runs.emplace_back(up, 0);
          ++runs.back().second;
        }
      }
      ASSERT_EQ(runs.size(), 2u) << "blink at " << b.start;
      EXPECT_EQ(runs[0].first, b.positiveFirst);
      EXPECT_NE(runs[1].first, b.positiveFirst);
      for (const auto& run : runs) EXPECT_TRUE(run.second >= 15 && run.second <= 30) << run.second;
      // A quiet baseline on both sides: below the detector's end level of 33.
      for (size_t i = b.start - 30; i < b.start; ++i) ASSERT_LT(std::abs(d.raw[i]), 33);
      for (size_t i = b.end + 1; i <= b.end + 26; ++i) ASSERT_LT(std::abs(d.raw[i]), 33);
      // Strength as sent, and the code the detector derives from it.
      auto [lo, hi] = std::minmax_element(d.raw.begin() + static_cast<long>(b.start),
                                          d.raw.begin() + static_cast<long>(b.end) + 1);
      EXPECT_EQ(b.strength, *hi - *lo);
      EXPECT_TRUE(b.strength >= 500 && b.strength < 4096) << b.strength;
      EXPECT_EQ(b.code, (b.strength >> 4) & 0xFF);
      (b.positiveFirst ? positive : negative)++;
      weakest = std::min(weakest, b.strength);
      strongest = std::max(strongest, b.strength);
    }
  }
  EXPECT_GT(positive, 10u);
  EXPECT_GT(negative, 10u);
  EXPECT_LT(weakest, 1000);
  EXPECT_GT(strongest, 2500);
}

// Amplitude of the component of the RR series at `hz` (a least-squares fit
// of one sinusoid over beat times).
double rrComponent(const std::vector<BeatTruth>& beats, double hz) {
  std::vector<double> rr;
  for (const auto& b : beats) {
    if (b.rrMs) rr.push_back(*b.rrMs);
  }
  double mean = 0.0;
  for (double v : rr) mean += v;
  mean /= static_cast<double>(rr.size());
  std::complex<double> sum;
  size_t k = 0;
  for (const auto& b : beats) {
    if (!b.rrMs) continue;
    double t = static_cast<double>(b.sample) / 512.0;
    sum += (*b.rrMs - mean) * std::polar(1.0, -2.0 * std::numbers::pi * hz * t);
    ++k;
  }
  return 2.0 * std::abs(sum) / static_cast<double>(k);
}

TEST(SimulatorStream, EcgSendsQuality200AndRrIntervalsCarryTheirModulation) {
  struct Case {
    double lf, hf;
  };
  for (Case c : {Case{0.0, 0.0}, Case{0.08, 0.0}, Case{0.0, 0.08}, Case{0.06, 0.03}}) {
    SCOPED_TRACE("lf " + std::to_string(c.lf) + " hf " + std::to_string(c.hf));
    auto options = synth(SignalMode::Ecg, 100, 5);
    options.signal.lf = c.lf;
    options.signal.hf = c.hf;
    GroundTruth truth;
    Decoded d = decode(scan(HeadsetSimulator::generateOffline(options, &truth)));
    ASSERT_EQ(d.quality.size(), 100u);
    for (int q : d.quality) ASSERT_EQ(q, 200);

    ASSERT_GT(truth.beats.size(), 100u);
    EXPECT_FALSE(truth.beats.front().rrMs.has_value());
    double sum = 0.0, sumSq = 0.0;
    size_t n = 0;
    for (size_t i = 1; i < truth.beats.size(); ++i) {
      ASSERT_TRUE(truth.beats[i].rrMs.has_value());
      double rr = *truth.beats[i].rrMs;
      EXPECT_DOUBLE_EQ(rr, static_cast<double>(truth.beats[i].sample - truth.beats[i - 1].sample) * 1000.0 / 512.0);
      sum += rr;
      sumSq += rr * rr;
      ++n;
    }
    double mean = sum / static_cast<double>(n);
    double sd = std::sqrt(sumSq / static_cast<double>(n) - mean * mean);
    EXPECT_TRUE(mean > 760.0 && mean < 940.0) << mean;
    // A sinusoid of peak a has an SD of a / sqrt(2); jitter and sample
    // rounding add a few ms.
    double expectedSd = mean * std::sqrt(c.lf * c.lf + c.hf * c.hf) / std::sqrt(2.0);
    EXPECT_NEAR(sd, expectedSd, 0.2 * expectedSd + 4.0);
    EXPECT_NEAR(rrComponent(truth.beats, 0.1), mean * c.lf, 0.15 * mean * c.lf + 6.0);
    EXPECT_NEAR(rrComponent(truth.beats, 0.25), mean * c.hf, 0.15 * mean * c.hf + 6.0);
  }
}

TEST(SimulatorStream, MixedModeAlternatesPeriodsAndKeepsEventsInside) {
  auto options = synth(SignalMode::Mixed, 36, 2);
  options.signal.periodSeconds = 6;
  GroundTruth truth;
  Decoded d = decode(scan(HeadsetSimulator::generateOffline(options, &truth)));
  ASSERT_EQ(truth.periods.size(), 6u);
  for (size_t k = 0; k < truth.periods.size(); ++k) {
    EXPECT_EQ(truth.periods[k].start, k * 6 * 512);
    EXPECT_EQ(truth.periods[k].mode, k % 2 == 0 ? SignalMode::Eeg : SignalMode::Ecg);
  }
  ASSERT_EQ(d.quality.size(), 36u);
  for (size_t second = 0; second < 36; ++second) {
    bool ecg = (second / 6) % 2 == 1;
    if (ecg) {
      EXPECT_EQ(d.quality[second], 200) << second;
    } else if (second > 0 && second % 6 == 0) {
      EXPECT_EQ(d.quality[second], 0) << "a later EEG period starts with quality 0, resetting the beat analyser";
    } else {
      EXPECT_LE(d.quality[second], 50) << second;
    }
  }
  auto periodOf = [](uint64_t sample) { return sample / (6 * 512); };
  ASSERT_FALSE(truth.blinks.empty());
  ASSERT_FALSE(truth.beats.empty());
  for (const auto& b : truth.blinks) {
    EXPECT_EQ(periodOf(b.start) % 2, 0u);
    EXPECT_EQ(periodOf(b.end + 90), periodOf(b.start)) << "a blink and its detection stay in its period";
  }
  for (size_t i = 0; i < truth.beats.size(); ++i) {
    const auto& beat = truth.beats[i];
    EXPECT_EQ(periodOf(beat.sample) % 2, 1u);
    bool firstOfPeriod = i == 0 || periodOf(truth.beats[i - 1].sample) != periodOf(beat.sample);
    EXPECT_EQ(beat.rrMs.has_value(), !firstOfPeriod);
  }
}

// ---------------------------------------------------------------- against the analysers

TEST(SimulatorAnalysers, EveryTrueBlinkAndNothingElseIsDetected) {
  // Tolerance: each blink is reported once, with exactly its code, on a
  // sample from end - 4 to end + 30 of its truth record.
  for (SignalMode mode : {SignalMode::Eeg, SignalMode::Mixed}) {
    auto options = synth(mode, 90, 11);
    options.signal.periodSeconds = 15;
    GroundTruth truth;
    Decoded d = decode(scan(HeadsetSimulator::generateOffline(options, &truth)));
    VLBlink detector;
    std::vector<int> hits(truth.blinks.size(), 0);
    for (size_t i = 0; i < d.raw.size(); ++i) {
      int32_t code = detector.detectBlinkWithPoorSignal(d.qualityAtRaw[i], d.raw[i]);
      if (code <= 0) continue;
      auto match = std::find_if(truth.blinks.begin(), truth.blinks.end(), [&](const BlinkTruth& b) {
        return i + 4 >= b.end && i <= b.end + 30;
      });
      ASSERT_NE(match, truth.blinks.end()) << "a blink reported at sample " << i << " that was not sent";
      EXPECT_EQ(code, match->code) << "blink at " << match->start;
      ++hits[static_cast<size_t>(match - truth.blinks.begin())];
    }
    for (size_t k = 0; k < hits.size(); ++k) EXPECT_EQ(hits[k], 1) << "blink at " << truth.blinks[k].start;
  }
}

TEST(SimulatorAnalysers, BeatAnalyserFindsTheTrueRPeaksAndIntervals) {
  // Tolerance: at least 95 % of the reported intervals lie within 4 ms of
  // the truth; every report follows a true R peak by at most 20 samples; the
  // analyser withholds at most 3 beats at the start of each ECG period.
  for (SignalMode mode : {SignalMode::Ecg, SignalMode::Mixed}) {
    SCOPED_TRACE(signalModeName(mode));
    auto options = synth(mode, 120, 21);
    options.signal.periodSeconds = 20;
    options.signal.lf = 0.1;
    options.signal.hf = 0.08;
    GroundTruth truth;
    Decoded d = decode(scan(HeadsetSimulator::generateOffline(options, &truth)));
    VLHrv analyser;
    size_t reports = 0, close = 0;
    size_t nextQuality = 0;
    for (size_t i = 0; i < d.raw.size(); ++i) {
      // As the decoder does: a quality row of 0 resets the analyser.
      for (; nextQuality < d.qualityPackets.size() && d.qualityPackets[nextQuality] == i; ++nextQuality) {
        if (d.quality[nextQuality] == 0) analyser.reset();
      }
      if (d.qualityAtRaw[i] != 200) continue;
      int32_t rr = analyser.addData(d.raw[i]);
      if (rr <= 0) continue;
      ++reports;
      const BeatTruth* beat = nullptr;
      for (const auto& b : truth.beats) {
        if (b.sample <= i) beat = &b;
      }
      ASSERT_NE(beat, nullptr);
      ASSERT_LE(i - beat->sample, 20u) << "a report at " << i << " far from any R peak";
      ASSERT_TRUE(beat->rrMs.has_value());
      if (std::abs(rr - *beat->rrMs) <= 4.0) ++close;
    }
    size_t periods = mode == SignalMode::Ecg ? 1 : 3;
    EXPECT_GE(reports + 3 * periods, truth.beats.size());
    EXPECT_LE(reports, truth.beats.size());
    EXPECT_GE(static_cast<double>(close), 0.95 * static_cast<double>(reports));
  }
}

// The RR intervals the beat analyser reports for `options`' ECG.
std::vector<int32_t> reportedIntervals(const SimulatorOptions& options) {
  Decoded d = decode(scan(HeadsetSimulator::generateOffline(options)));
  VLHrv analyser;
  std::vector<int32_t> intervals;
  for (size_t i = 0; i < d.raw.size(); ++i) {
    if (d.qualityAtRaw[i] != 200) continue;
    int32_t rr = analyser.addData(d.raw[i]);
    if (rr > 0) intervals.push_back(rr);
  }
  return intervals;
}

TEST(SimulatorAnalysers, LfHfRatioFollowsTheModulationStrengths) {
  auto ratio = [](double lf, double hf) {
    auto options = synth(SignalMode::Ecg, 100, 31);
    options.signal.lf = lf;
    options.signal.hf = hf;
    std::vector<int32_t> rr = reportedIntervals(options);
    VLHrv analyser;
    EXPECT_GT(analyser.calculateEnergyLevel(rr.data(), static_cast<int32_t>(rr.size())), 0.0);
    return analyser.result().at("LF/HF").asDouble();
  };
  double lfOnly = ratio(0.08, 0.0);
  double lfMostly = ratio(0.06, 0.03);
  double hfMostly = ratio(0.03, 0.06);
  double hfOnly = ratio(0.0, 0.08);
  EXPECT_GT(lfOnly, 3.0);
  EXPECT_LT(hfOnly, 0.5);
  EXPECT_GT(lfOnly, lfMostly);
  EXPECT_GT(lfMostly, hfMostly);
  EXPECT_GT(hfMostly, hfOnly);
}

TEST(SimulatorAnalysers, AccessoryDecodesTheStreamAndItsRecordingPlaysBackAlike) {
  test::LogCapture logs;
  TempDir dir;
  auto options = synth(SignalMode::Mixed, 40, 17);
  options.signal.periodSeconds = 20;
  GroundTruth truth;
  Bytes bytes = HeadsetSimulator::generateOffline(options, &truth);

  VelmoraObjC accessory;
  accessory.startRecording(dir.path, 3);
  ASSERT_TRUE(accessory.isRecording());
  size_t rawCount = 0;
  std::vector<int32_t> blinkCodes, intervals;
  // Chunks of uneven size, as reads of a port deliver them; each holds less
  // than a second, so no two blinks or beats share one.
  for (size_t at = 0, chunk = 1; at < bytes.size(); at += chunk, chunk = chunk % 997 + 113) {
    accessory.parseByte(std::span<const uint8_t>(bytes).subspan(at, std::min(chunk, bytes.size() - at)));
    Dictionary data = accessory.takeData();
    if (data.count("raw")) rawCount += data.at("raw").asArray().size();
    if (data.count("blinkStrength")) blinkCodes.push_back(data.at("blinkStrength").asInt());
    if (data.count("rrInt")) intervals.push_back(data.at("rrInt").asInt());
  }
  accessory.stopRecording();
  for (const std::string& line : logs.lines()) {
    ASSERT_EQ(line.find("VLAccessory:"), std::string::npos) << line;
  }
  EXPECT_EQ(rawCount, 40u * 512);
  std::vector<int32_t> trueCodes;
  for (const auto& b : truth.blinks) trueCodes.push_back(b.code);
  EXPECT_EQ(blinkCodes, trueCodes);
  // Both ECG periods report all but their first few beats.
  EXPECT_GE(intervals.size() + 6, truth.beats.size());

  // The recording, played back, carries the same values in the same order.
  SimulatorOptions replay;
  replay.playbackPath = dir.path + "/ambrix.log.csv";
  StreamGenerator generator(replay);
  TickBuffer out;
  while (generator.tick(out)) {
  }
  EXPECT_EQ(generator.source().malformedLines(), 0u);
  Decoded original = decode(scan(bytes));
  Decoded replayed = decode(scan(out.bytes));
  EXPECT_EQ(replayed.raw, original.raw);
  EXPECT_EQ(replayed.quality, original.quality);
  EXPECT_EQ(replayed.attention, original.attention);
  EXPECT_EQ(replayed.meditation, original.meditation);
  EXPECT_EQ(replayed.heartRates, original.heartRates);
}

// ---------------------------------------------------------------- byte faults

TEST(SimulatorFaults, SpecsParseAndBadOnesAreExplained) {
  Fault f = Fault::parse("pause@8:2");
  EXPECT_EQ(f.kind, FaultKind::Pause);
  EXPECT_DOUBLE_EQ(*f.atSecond, 8.0);
  EXPECT_DOUBLE_EQ(f.argument, 2.0);
  EXPECT_DOUBLE_EQ(Fault::parse("junk@7").argument, 16.0);
  EXPECT_DOUBLE_EQ(Fault::parse("unplug@10").argument, 0.0);
  EXPECT_DOUBLE_EQ(*Fault::parse("checksum@2.5").atSecond, 2.5);
  for (const char* text : {"sync@6:3", "junk@0:1", "unplug@10:3", "checksum@1.25:2"}) {
    EXPECT_EQ(Fault::parse(Fault::parse(text).describe()).describe(), Fault::parse(text).describe());
  }
  for (const char* bad : {"checksum", "flood@1", "pause@x", "junk@1:0", "pause@1:0", "checksum@-1", "sync@1:1.5",
                          "junk@1:", "@3"}) {
    try {
      Fault::parse(bad);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("KIND@SECOND"), std::string::npos) << e.what();
    }
  }
}

TEST(SimulatorFaults, ByteFaultsSpoilOnlyWhatTheyName) {
  auto clean = synth(SignalMode::Eeg, 4, 6);
  auto faulty = clean;
  faulty.faults = {Fault::parse("checksum@1:2"), Fault::parse("sync@2"), Fault::parse("junk@3:40")};
  Bytes good = HeadsetSimulator::generateOffline(clean);
  Bytes bad = HeadsetSimulator::generateOffline(faulty);
  EXPECT_EQ(bad.size(), good.size() + 40);

  Scan s = scan(bad);
  EXPECT_EQ(s.checksumErrors, 2u);
  EXPECT_EQ(s.syncBreaks, 1u);
  EXPECT_GE(s.droppedBytes, 40u);
  // Every other packet arrives unchanged and in order.
  std::vector<Bytes> expected = scan(good).payloads;
  ASSERT_EQ(s.payloads.size(), expected.size() - 3);
  size_t j = 0;
  for (const Bytes& p : s.payloads) {
    while (j < expected.size() && expected[j] != p) ++j;
    ASSERT_LT(j, expected.size()) << "a packet that the clean stream does not have";
    ++j;
  }
  auto live = faulty;
  live.faults.push_back(Fault::parse("pause@1:1"));
  EXPECT_THROW(HeadsetSimulator::generateOffline(live), std::invalid_argument);
}

// ---------------------------------------------------------------- playback

TEST(SimulatorPlayback, StreamLogRowsReplayWithTheirValuesAndPace) {
  TempDir dir;
  std::string path = dir.path + "/ambrix.log.csv";
  {
    std::ofstream log(path);
    log << "Timestamp, Data Type, Value\n";
    log << "1700000000.000000 , [PQ] , 200\n";
    log << "1700000000.000000, [RAW], -5\n";
    log << "1700000000.500000, [RAW], 32767\n";
    log << "not a row at all\n";
    log << "1700000000.500000, [RAW], 40000\n";  // beyond a sample
    log << "1700000000.600000, [BLINK], 3\n";    // no such row
    log << "1700000000.600000, [ATT]\n";         // a field short
    log << "1700000000.700000, [HR], 70x\n";     // not a number
    log << "\n";
    log << "1700000001.000000, [ATT], 42\r\n";
    log << "1700000001.000000, [MED], 77\n";
    log << "1700000001.001000, [HR], 71\n";
    log << "1700000000.900000, [RAW], -32768\n";  // stamped earlier: goes out at once
    log << "1700000001.500000 , [PQ] , 0\n";
  }
  SimulatorOptions options;
  options.playbackPath = path;
  StreamGenerator generator(options);
  TickBuffer out;
  std::vector<std::pair<uint64_t, Bytes>> sent;  // sample time, payload
  while (true) {
    out.clear();
    uint64_t tick = generator.ticks();
    if (!generator.tick(out)) break;
    for (const Bytes& p : scan(out.bytes).payloads) sent.emplace_back(tick, p);
  }
  EXPECT_EQ(generator.source().malformedLines(), 5u);
  std::vector<std::pair<uint64_t, Bytes>> expected = {
      {0, {0x02, 200}},         {0, {0x80, 0x02, 0xFF, 0xFB}}, {256, {0x80, 0x02, 0x7F, 0xFF}},
      {512, {0x04, 42}},        {512, {0x05, 77}},             {512, {0x03, 71}},
      {512, {0x80, 0x02, 0x80, 0x00}}, {768, {0x02, 0}}};
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(generator.ticks(), 769u);

  // Offline, the whole log: the same packets.
  Bytes all = HeadsetSimulator::generateOffline(options);
  std::vector<Bytes> payloads;
  for (const auto& e : expected) payloads.push_back(e.second);
  EXPECT_EQ(scan(all).payloads, payloads);
}

TEST(SimulatorPlayback, CaptureReplaysByteForByteEightBytesPerSampleTime) {
  TempDir dir;
  std::string path = dir.path + "/capture.bin";
  Bytes captured = HeadsetSimulator::generateOffline(synth(SignalMode::Ecg, 2, 8));
  captured.push_back(0x17);  // an odd tail
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(captured.data()),
                                               static_cast<std::streamsize>(captured.size()));
  SimulatorOptions options;
  options.playbackPath = path;
  StreamGenerator generator(options);
  TickBuffer out;
  while (generator.tick(out)) {
  }
  EXPECT_EQ(out.bytes, captured);
  EXPECT_EQ(generator.ticks(), (captured.size() + 7) / 8);

  options.faults = {Fault::parse("checksum@1")};
  EXPECT_THROW(StreamGenerator{options}, std::invalid_argument) << "a capture has no packets of ours to spoil";
  options.faults.clear();
  options.playbackPath = dir.path + "/missing.bin";
  EXPECT_THROW(StreamGenerator{options}, std::system_error);
}

// ---------------------------------------------------------------- the pty

class SimulatorPty : public ::testing::Test {
 protected:
  void SetUp() override { platform::DeviceFolder::setPath(dir_.path); }
  int openSlave(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }
  void TearDown() override {
    for (int fd : fds_) ::close(fd);
  }
  TempDir dir_;
  std::vector<int> fds_;
};

TEST_F(SimulatorPty, StreamsTheOfflineBytesAtTheirPace) {
  auto options = synth(SignalMode::Eeg, 2, 12);
  options.speed = 8;  // 2 s of headset time in 0.25 s
  options.name = "PaceSim";
  Bytes expected = HeadsetSimulator::generateOffline(options);

  HeadsetSimulator simulator(options);
  auto before = Clock::now();
  simulator.start();
  EXPECT_EQ(simulator.devicePath(), dir_.path + "/tty.PaceSim");
  EXPECT_EQ(std::filesystem::read_symlink(simulator.devicePath()).string(), simulator.ttyPath());
  int fd = openSlave(simulator.devicePath());
  ASSERT_GE(fd, 0);
  Bytes got = readBytes(fd, expected.size(), Clock::now() + std::chrono::seconds(20));
  double elapsed = std::chrono::duration<double>(Clock::now() - before).count();

  EXPECT_EQ(got, expected);
  // Sample time k never leaves before k / (512 x speed); the slack above is
  // for a loaded machine.
  double schedule = (2.0 * 512 - 1) / (512 * 8);
  EXPECT_GE(elapsed, schedule * 0.98);
  EXPECT_LE(elapsed, schedule + 5.0);
  ASSERT_TRUE(simulator.waitUntilFinished(std::chrono::seconds(10)));
  EXPECT_EQ(simulator.samplesSent(), 1024u);
  EXPECT_EQ(simulator.packetsSent(), scan(expected).payloads.size());
  EXPECT_EQ(simulator.bytesSent(), expected.size());
  EXPECT_TRUE(simulator.waitUntilDrained(std::chrono::seconds(5)));
  EXPECT_TRUE(simulator.error().empty());

  simulator.stop();
  EXPECT_FALSE(linkExists(dir_.path + "/tty.PaceSim"));
}

TEST_F(SimulatorPty, UnplugHangsUpTheSlaveAndReplugPublishesANewPty) {
  SimulatorOptions options;
  options.speed = 4;
  HeadsetSimulator simulator(options);
  simulator.start();
  std::string link = simulator.devicePath();
  int fd = openSlave(simulator.ttyPath());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(readBytes(fd, 800, Clock::now() + std::chrono::seconds(10)).size(), 800u);

  simulator.unplug();
  EXPECT_FALSE(simulator.isPlugged());
  EXPECT_FALSE(linkExists(link));
  int err = readUntilHangup(fd, Clock::now() + std::chrono::seconds(10));
  EXPECT_TRUE(err == EIO || err == 0) << "read ended with " << err;
  uint64_t samplesBefore = simulator.samplesSent();

  simulator.replug();
  EXPECT_TRUE(simulator.isPlugged());
  ASSERT_TRUE(linkExists(link));
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), simulator.ttyPath());
  int again = openSlave(link);
  ASSERT_GE(again, 0);
  // The stream goes on from a packet boundary.
  Bytes more = readBytes(again, 4096, Clock::now() + std::chrono::seconds(10));
  ASSERT_EQ(more.size(), 4096u);
  EXPECT_EQ(more[0], 0xAA);
  EXPECT_EQ(more[1], 0xAA);
  EXPECT_EQ(scan(more).checksumErrors, 0u);
  EXPECT_GT(simulator.samplesSent(), samplesBefore);

  simulator.stop();
  EXPECT_FALSE(linkExists(link));
  EXPECT_FALSE(simulator.isPlugged());
}

TEST_F(SimulatorPty, ScheduledUnplugEndsTheRunAndPauseLosesNothing) {
  auto options = synth(SignalMode::Ecg, 1, 13);
  options.speed = 10;
  options.faults = {Fault::parse("pause@0.5:1")};  // 1 headset second: 0.1 s
  Bytes expected = HeadsetSimulator::generateOffline(synth(SignalMode::Ecg, 1, 13));
  {
    HeadsetSimulator simulator(options);
    auto before = Clock::now();
    simulator.start();
    int fd = openSlave(simulator.ttyPath());
    Bytes got = readBytes(fd, expected.size(), Clock::now() + std::chrono::seconds(20));
    double elapsed = std::chrono::duration<double>(Clock::now() - before).count();
    EXPECT_EQ(got, expected);
    EXPECT_GE(elapsed, 511.0 / 5120 + 0.1 * 0.98);
  }

  options = synth(SignalMode::Eeg, 4, 13);
  options.speed = 8;
  options.name = "UnplugSim";
  options.faults = {Fault::parse("unplug@0.25")};
  HeadsetSimulator simulator(options);
  simulator.start();
  ASSERT_TRUE(simulator.waitUntilFinished(std::chrono::seconds(20)));
  EXPECT_FALSE(simulator.isPlugged());
  EXPECT_FALSE(linkExists(dir_.path + "/tty.UnplugSim"));
  EXPECT_EQ(simulator.samplesSent(), 128u) << "the unplug falls before sample time 0.25 * 512";
  EXPECT_TRUE(simulator.error().empty());
}

TEST_F(SimulatorPty, TruthFileFollowsTheStream) {
  auto options = synth(SignalMode::Ecg, 6, 14);
  options.speed = 20;
  options.truthPath = dir_.path + "/truth.jsonl";
  GroundTruth offline;
  auto plain = options;
  plain.truthPath.clear();
  size_t size = HeadsetSimulator::generateOffline(plain, &offline).size();

  HeadsetSimulator simulator(options);
  simulator.start();
  int fd = openSlave(simulator.ttyPath());
  EXPECT_EQ(readBytes(fd, size, Clock::now() + std::chrono::seconds(20)).size(), size);
  ASSERT_TRUE(simulator.waitUntilFinished(std::chrono::seconds(20)));
  simulator.stop();

  GroundTruth live = simulator.truth();
  ASSERT_EQ(live.beats.size(), offline.beats.size());

  std::ifstream in(options.truthPath);
  std::string line;
  std::getline(in, line);
  auto header = nlohmann::json::parse(line);
  EXPECT_EQ(header["type"], "stream");
  EXPECT_EQ(header["mode"], "ecg");
  EXPECT_EQ(header["rate"], 512);
  size_t beats = 0;
  while (std::getline(in, line)) {
    auto event = nlohmann::json::parse(line);
    if (event["type"] != "beat") continue;
    const BeatTruth& b = offline.beats[beats++];
    EXPECT_EQ(event["sample"].get<uint64_t>(), b.sample);
    EXPECT_NEAR(event["time"].get<double>(), static_cast<double>(b.sample) / 512, 1e-6);
    EXPECT_EQ(event.contains("rr_ms"), b.rrMs.has_value());
    if (b.rrMs) {
      EXPECT_NEAR(event["rr_ms"].get<double>(), *b.rrMs, 1e-6);
    }
  }
  EXPECT_EQ(beats, offline.beats.size());
}

// ---------------------------------------------------------------- the command

struct ToolRun {
  int status = -1;
  std::string out;
};

ToolRun runTool(const std::string& args) {
  ToolRun r;
  std::string command = std::string(VELMORA_TOOL_PATH) + " " + args + " 2>&1";
  FILE* p = ::popen(command.c_str(), "r");
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
  r.status = ::pclose(p);
  return r;
}

TEST(SimulateCommand, WritesTheOfflineStreamAndExplainsBadArguments) {
  TempDir dir;
  ToolRun ok = runTool("simulate --output " + dir.path + "/s.bin --seconds 3 --seed 9 --mode ecg --truth " + dir.path +
                   "/t.jsonl");
  ASSERT_EQ(ok.status, 0) << ok.out;
  std::ifstream in(dir.path + "/s.bin", std::ios::binary);
  Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, HeadsetSimulator::generateOffline(synth(SignalMode::Ecg, 3, 9)));
  EXPECT_TRUE(std::filesystem::file_size(dir.path + "/t.jsonl") > 0);

  struct Bad {
    const char* args;
    const char* says;
  };
  for (Bad bad : {Bad{"simulate --fault flood@1", "bad fault \"flood@1\""},
                  Bad{"simulate --speed -1", "--speed must be above 0"},
                  Bad{"simulate --output /dev/null", "--output needs --seconds"},
                  Bad{"simulate --lf 0.15 --hf 0.1", "--lf, --hf"},
                  Bad{"simulate --from /nonexistent/x.csv --seconds 1 --output /dev/null", "--from"},
                  Bad{"simulate --from x.csv --truth t.jsonl", "--truth needs a synthesised stream"}}) {
    ToolRun r = runTool(bad.args);
    EXPECT_NE(r.status, 0) << bad.args;
    EXPECT_NE(r.out.find(bad.says), std::string::npos) << bad.args << ": " << r.out;
  }
}

TEST(SimulateCommand, PrintsTheLinkFirstAndUnpublishesOnSigterm) {
  TempDir dir;
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.push_back("VELMORA_DEVICE_DIR=" + dir.path);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string tool = VELMORA_TOOL_PATH;
  std::vector<std::string> args = {tool, "simulate", "--name", "SigSim", "--speed", "5"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);

  std::string first;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') first += c;
  ::close(out[0]);
  std::string link = dir.path + "/tty.SigSim";
  EXPECT_EQ(first, link);
  EXPECT_TRUE(linkExists(link));

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(linkExists(link));
}

}  // namespace
}  // namespace velmora::sim
