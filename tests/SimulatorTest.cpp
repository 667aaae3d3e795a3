// The headset simulator: the stream it synthesises (cadence, signal quality,
// ground truth, modulation), byte faults, playback, the pty link (pace,
// pause, unplug) and the command.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "VLHrv.h"
#include "platform/DeviceFolder.h"
#include "sim/HeadsetSimulator.h"
#include "sim/StreamGenerator.h"
#include "support/LogCapture.h"
#include "support/StreamScan.h"
#include "support/TempPty.h"
#include "support/ToolProcess.h"

namespace velmora::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using test::scanStream;
using test::StreamContent;
using test::TempDir;

SimulatorOptions synth(SignalMode mode, double seconds, uint64_t seed, uint32_t period = 30) {
  SimulatorOptions o;
  o.signal.mode = mode;
  o.signal.seed = seed;
  o.signal.periodSeconds = period;
  o.durationSeconds = seconds;
  return o;
}

// A mixed stream of 12 s periods, EEG first.  Each second opens with one
// packet of quality, attention, meditation and band powers; the sensor chip
// (the KRT480 kind) comes every 10 s, the heart rate every 5 s from 4.5 s.
// ECG sends a quality of 200, EEG 50 or less, and a later EEG period starts
// with 0, which resets the beat analyser.  Outside blinks the EEG stays
// within +-150.
TEST(SimulatorStream, AMixedStreamHasTheHeadsetsCadenceAndFollowsItsSeed) {
  const auto options = synth(SignalMode::Mixed, 96, 11, 12);
  GroundTruth truth;
  const Bytes bytes = HeadsetSimulator::generateOffline(options, &truth);
  const StreamContent s = scanStream(bytes);
  EXPECT_EQ(s.checksumErrors + s.syncBreaks + s.droppedBytes, 0u);
  ASSERT_EQ(std::make_pair(s.raw.size(), s.quality.size()), std::make_pair(size_t{96 * 512}, size_t{96}));
  auto periodOf = [](uint64_t sample) { return sample / (12 * 512); };
  for (size_t second = 0; second < 96; ++second) {
    EXPECT_EQ(s.rawBeforeQuality[second], second * 512);
    const size_t k = second / 12;
    const int q = s.quality[second];
    EXPECT_EQ(q, k % 2 ? 200 : k > 0 && second % 12 == 0 ? 0 : std::min(q, 50)) << second;
  }
  for (const Bytes& p : s.payloads) {
    if (p[0] != 0x02) continue;
    EXPECT_EQ((Bytes{p[2], p[4], p[6], p[7], static_cast<uint8_t>(p.size())}), (Bytes{4, 5, 0x83, 24, 32}));
  }
  EXPECT_EQ(s.bandRows, 96u);
  for (int a : s.attention) EXPECT_TRUE(a >= 1 && a <= 100) << a;
  ASSERT_EQ(s.chips.size(), 10u);
  for (size_t i = 0; i < 10; ++i) EXPECT_TRUE(s.chips[i].first == i * 10 * 512 && s.chips[i].second < 0xF0) << i;
  ASSERT_EQ(s.heartRate.size(), 19u);
  for (int hr : s.heartRate) EXPECT_TRUE(hr >= 55 && hr <= 85) << hr;
  ASSERT_EQ(truth.periods.size(), 8u);
  for (size_t k = 0; k < 8; ++k) {
    EXPECT_EQ(truth.periods[k].start, k * 12 * 512);
    EXPECT_EQ(truth.periods[k].mode, k % 2 == 0 ? SignalMode::Eeg : SignalMode::Ecg);
  }
  for (size_t i = 0; i < truth.beats.size(); ++i) {
    EXPECT_EQ(periodOf(truth.beats[i].sample) % 2, 1u);
    const bool first = i == 0 || periodOf(truth.beats[i - 1].sample) != periodOf(truth.beats[i].sample);
    EXPECT_EQ(truth.beats[i].rrMs.has_value(), !first);
  }

  // Blinks (the detector finding each as sent: EndToEndTest) lie in EEG
  // periods, with both polarities and the code the detector derives.
  std::vector<int> polarities(2, 0);
  for (const BlinkTruth& b : truth.blinks) {
    EXPECT_EQ(periodOf(b.start) % 2, 0u);
    EXPECT_EQ(periodOf(b.end + 90), periodOf(b.start)) << "a blink and its detection stay in its period";
    EXPECT_EQ(b.code, (b.strength >> 4) & 0xFF);
    ++polarities[b.positiveFirst];
  }
  EXPECT_GE(std::ranges::min(polarities), 5);
  for (size_t i = 0; i < s.raw.size(); ++i) {
    const bool inBlink = std::ranges::any_of(truth.blinks, [&](const auto& b) { return i >= b.start && i <= b.end; });
    ASSERT_TRUE(inBlink || periodOf(i) % 2 || std::abs(s.raw[i]) <= 150) << "sample " << i;
  }
  EXPECT_EQ(HeadsetSimulator::generateOffline(options), bytes);
  EXPECT_NE(HeadsetSimulator::generateOffline(synth(SignalMode::Mixed, 96, 12, 12)), bytes);
}

// The modulation strengths reach the RR series at their frequencies: the
// true intervals swing by lf (hf) of their mean at 0.1 Hz (0.25 Hz), and LF
// modulation alone gives a high LF/HF, HF modulation alone a low one.
TEST(SimulatorStream, TheRrSeriesCarriesItsModulation) {
  test::LogCapture quiet;
  for (auto [lf, hf] : {std::pair{0.08, 0.0}, std::pair{0.0, 0.08}}) {
    auto options = synth(SignalMode::Ecg, 100, 31);
    std::tie(options.signal.lf, options.signal.hf) = std::tie(lf, hf);
    GroundTruth truth;
    const StreamContent s = scanStream(HeadsetSimulator::generateOffline(options, &truth));
    std::vector<std::pair<double, double>> beats;  // (time, interval)
    for (const BeatTruth& b : truth.beats) {
      if (b.rrMs) beats.emplace_back(b.sample / 512.0, *b.rrMs);
    }
    double mean = 0;
    for (auto [t, rr] : beats) mean += rr / static_cast<double>(beats.size());
    std::complex<double> swing;
    for (auto [t, rr] : beats)
      swing += (rr - mean) * std::polar(1.0, -2 * std::numbers::pi * (lf > 0 ? 0.1 : 0.25) * t);
    EXPECT_NEAR(2 * std::abs(swing) / static_cast<double>(beats.size()), mean * (lf + hf), 0.15 * mean * (lf + hf) + 6);

    VLHrv analyser;
    std::vector<int32_t> rr;
    for (int32_t sample : s.raw) {
      if (const int32_t interval = analyser.addData(sample); interval > 0) rr.push_back(interval);
    }
    ASSERT_GT(analyser.calculateEnergyLevel(rr.data(), static_cast<int32_t>(rr.size())), 0.0);
    const double ratio = analyser.result().at("LF/HF").asDouble();
    EXPECT_TRUE(lf > 0 ? ratio > 3.0 : ratio < 0.5) << ratio;
  }
}

TEST(SimulatorFaults, FaultTextsParseAndByteFaultsSpoilOnlyWhatTheyName) {
  const std::pair<const char*, const char*> good[] = {{"pause@8:2", "pause@8:2"},
                                                      {"junk@7", "junk@7:16"},
                                                      {"unplug@10", "unplug@10:0"},
                                                      {"checksum@2.5", "checksum@2.5:1"}};
  for (auto [text, described] : good) EXPECT_EQ(Fault::parse(text).describe(), described);
  for (const char* bad : {"checksum", "flood@1", "pause@x", "junk@1:0", "checksum@-1", "sync@1:1.5", "junk@1:", "@3"}) {
    const auto namesIt = ::testing::AllOf(::testing::HasSubstr(bad), ::testing::HasSubstr("KIND@SECOND"));
    EXPECT_THAT([&] { Fault::parse(bad); }, ::testing::ThrowsMessage<std::invalid_argument>(namesIt)) << bad;
  }
  auto options = synth(SignalMode::Eeg, 4, 6);
  const std::vector<Bytes> clean = scanStream(HeadsetSimulator::generateOffline(options)).payloads;
  options.faults = {Fault::parse("checksum@1:2"), Fault::parse("sync@2"), Fault::parse("junk@3:40")};
  const StreamContent s = scanStream(HeadsetSimulator::generateOffline(options));
  EXPECT_EQ(std::make_pair(s.checksumErrors, s.syncBreaks), std::make_pair(size_t{2}, size_t{1}));
  EXPECT_GE(s.droppedBytes, 40u);
  // Every other packet arrives unchanged and in order.
  ASSERT_EQ(s.payloads.size(), clean.size() - 3);
  auto next = clean.begin();
  for (const Bytes& p : s.payloads) {
    next = std::find(next, clean.end(), p);
    ASSERT_NE(next, clean.end()) << "a packet that the clean stream does not have";
    ++next;
  }
  options.faults.push_back(Fault::parse("pause@1:1"));
  EXPECT_THROW(HeadsetSimulator::generateOffline(options), std::invalid_argument) << "link faults need a link";
}

TEST(SimulatorPlayback, StreamLogRowsReplayWithTheirValuesAndPaceAndCapturesByteForByte) {
  TempDir dir;
  SimulatorOptions options;
  options.playbackPath = dir.path() + "/ambrix.log.csv";
  std::ofstream(options.playbackPath) << "Timestamp, Data Type, Value\n"
                                      << "1700000000.000000 , [PQ] , 200\n"
                                      << "1700000000.000000, [RAW], -5\n"
                                      << "1700000000.500000, [RAW], 32767\n"
                                      << "not a row at all\n"
                                      << "1700000000.500000, [RAW], 40000\n"  // beyond a sample
                                      << "1700000000.600000, [BLINK], 3\n"    // no such row
                                      << "1700000000.600000, [ATT]\n"         // a field short
                                      << "1700000000.700000, [HR], 70x\n"     // not a number
                                      << "\n"
                                      << "1700000001.000000, [ATT], 42\r\n"
                                      << "1700000001.000000, [MED], 77\n"
                                      << "1700000001.001000, [HR], 71\n"
                                      << "1700000000.900000, [RAW], -32768\n"  // stamped earlier: goes out at once
                                      << "1700000001.500000 , [PQ] , 0\n";
  StreamGenerator generator(options);
  TickBuffer out;
  std::vector<std::pair<uint64_t, Bytes>> sent;  // sample time, payload
  for (uint64_t tick = 0; generator.tick(out); tick = generator.ticks(), out.clear()) {
    for (const Bytes& p : scanStream(out.bytes).payloads) sent.emplace_back(tick, p);
  }
  EXPECT_EQ(generator.source().malformedLines(), 5u);
  const std::vector<std::pair<uint64_t, Bytes>> expected = {{0, {0x02, 200}},
                                                            {0, {0x80, 0x02, 0xFF, 0xFB}},
                                                            {256, {0x80, 0x02, 0x7F, 0xFF}},
                                                            {512, {0x04, 42}},
                                                            {512, {0x05, 77}},
                                                            {512, {0x03, 71}},
                                                            {512, {0x80, 0x02, 0x80, 0x00}},
                                                            {768, {0x02, 0}}};
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(generator.ticks(), 769u);

  // A capture: byte for byte, eight bytes per sample time; no packets of
  // ours to spoil.
  options.playbackPath = dir.path() + "/capture.bin";
  Bytes captured = HeadsetSimulator::generateOffline(synth(SignalMode::Ecg, 2, 8));
  captured.push_back(0x17);  // an odd tail
  std::ofstream(options.playbackPath).write(reinterpret_cast<const char*>(captured.data()), std::ssize(captured));
  EXPECT_EQ(HeadsetSimulator::generateOffline(options), captured);
  StreamGenerator capture(options);
  while (capture.tick(out)) {
  }
  EXPECT_EQ(capture.ticks(), (captured.size() + 7) / 8);
  options.faults = {Fault::parse("checksum@1")};
  EXPECT_THROW(StreamGenerator{options}, std::invalid_argument);
  options.faults.clear();
  options.playbackPath = dir.path() + "/missing.bin";
  EXPECT_THROW(StreamGenerator{options}, std::system_error);
}

// Starts `simulator` and reads its published link until `want` bytes have
// come (or 20 s have passed); returns them and the wall time taken.
std::pair<Bytes, Clock::duration> readFromPty(HeadsetSimulator& simulator, size_t want) {
  const auto begin = Clock::now();
  simulator.start();
  const int fd = ::open(simulator.devicePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  Bytes got(want);
  size_t n = 0;
  for (auto deadline = begin + std::chrono::seconds(20); fd >= 0 && n < want && Clock::now() < deadline;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) n += static_cast<size_t>(std::max<ssize_t>(0, ::read(fd, &got[n], want - n)));
  }
  if (fd >= 0) ::close(fd);
  got.resize(n);
  return {got, Clock::now() - begin};
}

TEST(SimulatorPty, StreamsTheOfflineBytesNoEarlierThanTheirTimeAndAPauseLosesNothing) {
  TempDir dir;
  platform::DeviceFolder::setPath(dir.path());
  for (const char* pause : {"", "pause@0.5:1"}) {  // a second of headset time: 0.125 s
    auto options = synth(SignalMode::Eeg, 2, 12);
    options.speed = 8;  // 2 s of headset time in 0.25 s
    options.name = "PaceSim";
    const Bytes expected = HeadsetSimulator::generateOffline(options);
    if (*pause) options.faults = {Fault::parse(pause)};
    HeadsetSimulator simulator(options);
    const auto [got, took] = readFromPty(simulator, expected.size());
    EXPECT_EQ(got, expected) << pause;
    EXPECT_EQ(std::filesystem::read_symlink(dir.path() + "/tty.PaceSim").string(), simulator.ttyPath());
    // Sample time k never leaves before k / (512 x speed).
    EXPECT_GE(took, std::chrono::duration<double>((1023.0 / 512 + (*pause ? 1 : 0)) / 8 * 0.98)) << pause;
    ASSERT_TRUE(simulator.waitUntilDrained(std::chrono::seconds(10)));
    EXPECT_EQ(
        std::make_tuple(simulator.samplesSent(), simulator.packetsSent(), simulator.bytesSent()),
        std::make_tuple(uint64_t{1024}, uint64_t{scanStream(expected).payloads.size()}, uint64_t{expected.size()}));
    EXPECT_EQ(simulator.error(), "");
    simulator.stop();
    EXPECT_FALSE(std::filesystem::is_symlink(dir.path() + "/tty.PaceSim"));
  }
  // A scheduled unplug ends the run there and unpublishes the link.
  auto options = synth(SignalMode::Eeg, 4, 13);
  options.speed = 8;
  options.name = "UnplugSim";
  options.faults = {Fault::parse("unplug@0.25")};
  HeadsetSimulator simulator(options);
  simulator.start();
  ASSERT_TRUE(simulator.waitUntilFinished(std::chrono::seconds(20)));
  EXPECT_FALSE(simulator.isPlugged() || std::filesystem::is_symlink(dir.path() + "/tty.UnplugSim"));
  EXPECT_EQ(simulator.samplesSent(), 128u) << "the unplug falls before sample time 0.25 * 512";
  EXPECT_EQ(simulator.error(), "");
}

TEST(SimulateCommand, WritesTheOfflineStreamAndItsTruth) {
  TempDir dir;
  const auto r = test::ToolProcess::run({"simulate", "--output", dir.path() + "/s.bin", "--seconds", "3", "--seed", "9",
                                         "--mode", "ecg", "--truth", dir.path() + "/t.jsonl"});
  ASSERT_EQ(r.status, 0) << r.err;
  GroundTruth truth;
  const std::string written = test::readFile(dir.path() + "/s.bin");
  EXPECT_EQ(Bytes(written.begin(), written.end()),
            HeadsetSimulator::generateOffline(synth(SignalMode::Ecg, 3, 9), &truth));
  std::ifstream lines(dir.path() + "/t.jsonl");
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(
      nlohmann::json::parse(line),
      nlohmann::json::parse(R"({"type":"stream","mode":"ecg","seed":9,"rate":512,"lf":0.04,"hf":0.03,"period":30})"));
  // Each beat as (sample, time and interval in microseconds; -1 for none).
  using Beat = std::tuple<uint64_t, int64_t, int64_t>;
  auto us = [](double seconds) { return std::llround(seconds * 1e6); };
  std::vector<Beat> beats, trueBeats;
  for (const BeatTruth& b : truth.beats)
    trueBeats.emplace_back(b.sample, us(b.sample / 512.0), us(b.rrMs.value_or(-1e6) / 1e3));
  while (std::getline(lines, line)) {
    const auto e = nlohmann::json::parse(line);
    if (e.at("type") == "beat") beats.emplace_back(e.at("sample"), us(e.at("time")), us(e.value("rr_ms", -1e6) / 1e3));
  }
  EXPECT_EQ(beats, trueBeats);
}

}  // namespace
}  // namespace velmora::sim
