// `velmora demo` run as a user runs it, shortened: it must deliver every
// sample its simulated headset sent, report the blinks and beats the
// simulator put in, compute an LF/HF close to what the simulator's own RR
// series gives, save its recording and leave nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "VLHrv.h"
#include "sim/HeadsetSimulator.h"
#include "support/LogCapture.h"
#include "support/StreamScan.h"
#include "support/TempPty.h"
#include "support/ToolProcess.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::ToolProcess;
using Clock = std::chrono::steady_clock;

TEST(Demo, ShortRunDeliversEverythingAndItsLfHfFollowsTheSimulatorsRrSeries) {
  test::TempDir dir;
  test::LogCapture log;
  const std::string tmp = dir.path() + "/tmp";
  ::mkdir(tmp.c_str(), 0700);
  const std::string save = dir.path() + "/demo.csv";
  // 144 s of headset time in 6 s: 24x.
  ToolProcess tool({"demo", "--seconds", "6", "--json", "--save", save}, {"TMPDIR=" + tmp});
  auto status = tool.wait(Clock::now() + 60s);
  ASSERT_TRUE(status.has_value()) << "the demo did not finish";
  EXPECT_TRUE(ToolProcess::exitedWith(*status, 0)) << *status << tool.stderrText();

  std::vector<std::string> lines = tool.remainingStdoutLines();
  ASSERT_GE(lines.size(), 2u);
  const auto summary = nlohmann::json::parse(lines.back()).at("summary");
  lines.pop_back();

  // The same stream, offline, with its ground truth.
  const auto& s = summary.at("simulator");
  sim::SimulatorOptions options;
  options.name = s.at("name").get<std::string>();
  options.signal.mode = *sim::parseSignalMode(s.at("mode").get<std::string>());
  options.signal.seed = s.at("seed").get<uint64_t>();
  options.signal.periodSeconds = s.at("period").get<uint32_t>();
  options.durationSeconds = s.at("seconds").get<double>();
  sim::GroundTruth truth;
  const test::StreamContent sent = test::scanStream(sim::HeadsetSimulator::generateOffline(options, &truth));

  // Every sample, once and in order.
  std::vector<int32_t> raw;
  for (const std::string& line : lines) {
    const auto object = nlohmann::json::parse(line);
    if (object.contains("raw")) {
      for (const auto& v : object["raw"]) raw.push_back(v.get<int32_t>());
    }
  }
  EXPECT_EQ(raw, sent.raw);
  EXPECT_EQ(summary.at("samples").get<size_t>(), sent.raw.size());
  EXPECT_EQ(summary.at("samples_sent").get<size_t>(), sent.raw.size());

  // Blinks are counted per delivery; at 24x two blinks (at least 1 s of
  // headset time apart, 42 ms here) share a 20 ms delivery only when the
  // dispatch thread is held up, so a few may merge on a loaded machine.
  const auto blinks = summary.at("blinks").get<size_t>();
  EXPECT_LE(blinks, truth.blinks.size());
  EXPECT_GE(static_cast<double>(blinks), 0.8 * static_cast<double>(truth.blinks.size()));

  // Beats: all but the first few (which the detector withholds or learns on).
  std::vector<int32_t> trueRr;
  for (const auto& beat : truth.beats) {
    if (beat.rrMs) trueRr.push_back(static_cast<int32_t>(std::lround(*beat.rrMs)));
  }
  const auto beats = summary.at("beats").get<size_t>();
  EXPECT_LE(beats, trueRr.size());
  EXPECT_GE(beats + 5, trueRr.size());

  // LF/HF against the library's own calculation over the true RR series.
  // The demo's list starts a beat or two later (the detector withholds its
  // first interval), which shifts its 2 Hz grid against the truth's by a
  // second or so, and each reported interval may be a sample (2 ms) off at
  // either end; against modulations of 4 % and 3 % of an 850 ms interval
  // (34 and 25 ms) that moves the band sums by a few per cent (1.2 % on the
  // ratio for this seed).  5 % on the ratio and 3 on the energy level allow
  // for that and still fail on a lost, doubled or reordered beat, which
  // shifts a whole stretch of the tachogram.
  VLHrv reference;
  ASSERT_GT(reference.calculateEnergyLevel(trueRr.data(), static_cast<int32_t>(trueRr.size())), 0.0);
  const double expected = reference.result().at("LF/HF").asDouble();
  ASSERT_TRUE(summary.contains("LF/HF")) << summary.dump();
  const double ratio = summary.at("LF/HF").get<double>();
  EXPECT_NEAR(ratio, expected, 0.05 * expected) << summary.dump();
  EXPECT_NEAR(summary.at("energy").get<int>(), reference.energyLevel(), 3);
  EXPECT_GT(summary.at("rr_seconds").get<double>(), 63.5);

  // The recording is saved where asked, with every sample; the scratch
  // folder (device folder, pty link, recording folder) is gone.
  EXPECT_EQ(summary.at("recording").get<std::string>(), save);
  EXPECT_EQ(test::readStreamLog(save).raw, sent.raw);
  EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "left behind in TMPDIR";
}

TEST(Demo, RefusesAnImpossibleRunAndExplains) {
  test::TempDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"demo", "--seconds", "0.5"},
        std::vector<std::string>{"demo", "--save", dir.path() + "/no/such/folder/x.csv"}}) {
    ToolProcess tool(args);
    auto status = tool.wait(Clock::now() + 10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(ToolProcess::exitedWith(*status, 2)) << tool.stderrText();
    EXPECT_NE(tool.stderrText().find("velmora demo: "), std::string::npos) << tool.stderrText();
  }
}

}  // namespace
}  // namespace velmora
