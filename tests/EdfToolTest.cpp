// `velmora stream --edf`, `demo --edf` and `convert` as a user runs them,
// their files read back with EDFlib.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/DeviceFolder.h"
#include "sim/HeadsetSimulator.h"
#include "support/EdfFile.h"
#include "support/LogCapture.h"
#include "support/StreamScan.h"
#include "support/TempPty.h"
#include "support/ToolProcess.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::EdfAnnotation;
using test::EdfFile;
using test::ToolProcess;
using Clock = std::chrono::steady_clock;

TEST(EdfTool, StreamRecordsUntilStoppedAndAKilledStreamsFileStillOpens) {
  for (const int signal : {SIGINT, SIGKILL}) {
    test::TempDir dir;
    test::LogCapture log;
    const std::string devices = dir.path() + "/devices", file = dir.path() + "/s.bdf";
    ::mkdir(devices.c_str(), 0700);
    platform::DeviceFolder::setPath(devices);
    sim::SimulatorOptions options;
    options.name = "KovaEdfTool";
    options.speed = 4;
    sim::HeadsetSimulator simulator(options);
    simulator.start();
    ToolProcess tool({"stream", "--json", "--device-dir", devices, "--edf", file});
    const auto deadline = Clock::now() + 20s;
    std::error_code ec;
    auto size = [&] { return std::filesystem::exists(file, ec) ? std::filesystem::file_size(file, ec) : 0; };
    while (size() < 4096 + 3 * 1911 && Clock::now() < deadline) {
      tool.stdoutLine(Clock::now() + 50ms);  // keeps the pipe flowing
    }
    tool.signal(signal);
    const auto status = tool.wait(Clock::now() + 20s);
    ASSERT_TRUE(status.has_value());
    if (signal == SIGINT) {
      EXPECT_TRUE(ToolProcess::exitedWith(*status, 0)) << tool.stderrText();
      EXPECT_NE(tool.stderrText().find("of headset data to " + file), std::string::npos) << tool.stderrText();
    }
    const EdfFile edf(file);
    ASSERT_TRUE(edf.opened) << "after signal " << signal << ": EDFlib error " << edf.hdr->filetype;
    EXPECT_GE(edf.hdr->datarecords_in_file, 3);
    options.durationSeconds = 60;
    const auto sent = test::scanStream(sim::HeadsetSimulator::generateOffline(options)).raw;
    const auto raw = edf.rawWithoutPadding();
    ASSERT_LE(raw.size(), sent.size());
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), sent.begin())) << "after signal " << signal;
    ASSERT_FALSE(edf.annotations.empty());
    EXPECT_EQ(edf.annotations[0], (EdfAnnotation{0, -1, "Headset connected: KovaEdfTool"}));
  }
}

// The demo's live recording, and the conversion of the stream log it saved,
// hold the same samples, values and analyser events.
TEST(EdfTool, DemoRecordsAndTheConversionOfItsStreamLogAgrees) {
  test::TempDir dir;
  const std::string tmp = dir.path() + "/tmp", csv = dir.path() + "/demo.csv";
  const std::string live = dir.path() + "/live.bdf", converted = dir.path() + "/converted.bdf";
  ::mkdir(tmp.c_str(), 0700);
  ToolProcess demo({"demo", "--seconds", "4", "--json", "--save", csv, "--edf", live}, {"TMPDIR=" + tmp});
  auto status = demo.wait(Clock::now() + 60s);
  ASSERT_TRUE(status && ToolProcess::exitedWith(*status, 0)) << demo.stderrText();
  ToolProcess convert({"convert", csv, "--to", "bdf", converted});
  status = convert.wait(Clock::now() + 60s);
  ASSERT_TRUE(status && ToolProcess::exitedWith(*status, 0)) << convert.stderrText();

  const EdfFile a(live), b(converted);
  ASSERT_TRUE(a.opened && b.opened);
  EXPECT_EQ(a.raw.size(), 144u * 512) << "the demo's 144 s of headset time";
  EXPECT_EQ(a.raw, b.raw);
  for (size_t s = 0; s < 3; ++s) EXPECT_EQ(a.slow[s], b.slow[s]) << "quality, attention, meditation";
  EXPECT_GT(*std::max_element(a.slow[3].begin(), a.slow[3].end()), 0) << "band powers, live only";
  auto events = [](const EdfFile& f, const char* kind) {
    std::vector<EdfAnnotation> out;
    for (const auto& e : f.annotations) {
      if (e.text.starts_with(kind)) out.push_back(e);
    }
    return out;
  };
  EXPECT_GE(events(a, "Blink").size(), 3u);
  EXPECT_GE(events(a, "RR").size(), 30u);
  EXPECT_EQ(events(a, "Blink"), events(b, "Blink"));
  EXPECT_EQ(events(a, "RR"), events(b, "RR"));
  auto start = [](const EdfFile& f) {
    const auto& h = *f.hdr;
    return ((h.starttime_hour * 60 + h.starttime_minute) * 60 + h.starttime_second) + h.starttime_subsecond / 1e7;
  };
  EXPECT_NEAR(start(a), start(b), 0.05) << "both start at the first sample";
}

TEST(EdfTool, ConvertTurnsAStreamLogIntoARecordingAndReplacesNothingOnFailure) {
  test::TempDir dir;
  const std::string out = dir.path() + "/out.bdf";
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir.path() + "/" + name) << text;
    return dir.path() + "/" + name;
  };
  std::string log = "Timestamp, Data Type, Value\n1700000000.000000 , [PQ] , 26\n1700000000.0, [ATT], 40\nbad\n";
  for (int k = 0; k < 600; ++k) {
    log += "1700000000.5, [RAW], " + std::to_string(k - 300) + "\n";
    if (k == 299) log += "1700000000.5, [HR], 72\n";
  }
  const std::string good = write("good.csv", log);
  const std::string noRaw = write("noraw.csv", "Timestamp, Data Type, Value\n1.0 , [PQ] , 26\n");
  const std::string notALog = write("notes.txt", "hello\n");
  write("out.bdf", "keep");
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{dir.path() + "/missing.csv", out}, 2}, {{notALog, out}, 2},  {{good, dir.path() + "/out.txt"}, 2},
      {{good, "--to", "edf", out}, 2},         {{noRaw, out}, 1},    {{good, "--to", "bdf", out}, 0}};
  for (const auto& [args, expected] : cases) {
    std::vector<std::string> argv{"convert"};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolProcess tool(argv);
    const auto status = tool.wait(Clock::now() + 30s);
    ASSERT_TRUE(status && ToolProcess::exitedWith(*status, expected)) << args[0] << tool.stderrText();
    if (expected != 0) {
      std::ifstream in(out);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep") << args[0];
    }
  }
  const EdfFile edf(out);
  ASSERT_TRUE(edf.opened);
  std::vector<int> expected(1024, 0);
  for (int k = 0; k < 600; ++k) expected[static_cast<size_t>(k)] = k - 300;
  EXPECT_EQ(edf.raw, expected);
  EXPECT_EQ(edf.slow[0], std::vector<double>({26, 26}));
  EXPECT_EQ(edf.slow[1], std::vector<double>({40, 40}));
  EXPECT_EQ(edf.annotations, std::vector<EdfAnnotation>({{300, -1, "Heart rate 72 bpm"}, {600, 424, "BAD no data"}}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 4) << "no temporary file left";
}

}  // namespace
}  // namespace velmora
