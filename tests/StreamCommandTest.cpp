// `velmora stream` as a user runs it: a child process (VELMORA_TOOL_PATH)
// with a private --device-dir in which this test publishes a simulated
// headset, followed through its JSON lines, its messages, its live screen on
// a terminal and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/DeviceFolder.h"
#include "sim/HeadsetSimulator.h"
#include "support/LogCapture.h"
#include "support/StreamScan.h"
#include "support/TempPty.h"
#include "support/ToolProcess.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using sim::HeadsetSimulator;
using sim::SimulatorOptions;
using test::ToolProcess;
using Clock = std::chrono::steady_clock;

constexpr const char* kName = "KovaTool-SPPDev";

SimulatorOptions headset(double speed) {
  SimulatorOptions o;
  o.name = kName;
  o.signal.seed = 3;
  o.speed = speed;
  return o;
}

// The raw samples the simulator of `options` sends first.
std::vector<int32_t> firstSamples(SimulatorOptions options, double seconds) {
  options.durationSeconds = seconds;
  return test::scanStream(HeadsetSimulator::generateOffline(options)).raw;
}

class StreamCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    devices_ = dir_.path() + "/devices";
    ::mkdir(devices_.c_str(), 0700);
    platform::DeviceFolder::setPath(devices_);
  }

  std::vector<std::string> streamArgs(std::vector<std::string> more = {}) {
    std::vector<std::string> args{"stream", "--json", "--device-dir", devices_};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  // Reads JSON lines until `samples` raw samples in all have come (appending
  // them to `raw`); checks each line's shape on the way.
  bool readSamples(ToolProcess& tool, size_t samples, std::vector<int32_t>& raw, Clock::duration timeout = 20s) {
    const auto deadline = Clock::now() + timeout;
    const size_t goal = raw.size() + samples;
    while (raw.size() < goal) {
      auto line = tool.stdoutLine(deadline);
      if (!line) return false;
      auto object = nlohmann::json::parse(*line);
      EXPECT_TRUE(object.is_object());
      EXPECT_TRUE(object["t"].is_number_float()) << *line;
      const double t = object["t"].get<double>();
      EXPECT_GE(t, lastT_);
      lastT_ = t;
      for (const auto& [key, value] : object.items()) {
        if (key == "t") continue;
        if (key == "raw") {
          for (const auto& v : value) raw.push_back(v.get<int32_t>());
        } else {
          EXPECT_TRUE(value.is_number_integer()) << key;
          keys_.insert(key);
        }
      }
    }
    return true;
  }

  test::TempDir dir_;
  std::string devices_;
  test::LogCapture log_;
  double lastT_ = 0.0;
  std::set<std::string> keys_;
};

TEST_F(StreamCommand, JsonLinesCarryTheStreamThenAnUnplugIsReportedAndStreamingResumesByItself) {
  const auto options = headset(4);
  HeadsetSimulator simulator(options);
  simulator.start();
  ToolProcess tool(streamArgs());

  std::vector<int32_t> raw;
  ASSERT_TRUE(readSamples(tool, 2048, raw)) << tool.stderrText();
  const std::vector<int32_t> sent = firstSamples(options, 10);
  ASSERT_LE(raw.size(), sent.size());
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), sent.begin())) << "the samples arrive once and in order";
  for (const char* key : {"poorSignal", "vScoreAttention", "vScoreMeditation", "eegDelta", "eegHighGamma"}) {
    EXPECT_TRUE(keys_.count(key)) << key;
  }
  EXPECT_NE(tool.stderrText().find("Connected to KovaTool-SPPDev."), std::string::npos) << tool.stderrText();

  simulator.unplug();
  ASSERT_TRUE(tool.waitForStderr("Waiting for it to come back", Clock::now() + 10s)) << tool.stderrText();
  EXPECT_NE(tool.stderrText().find("Lost the headset: its port was removed (unplugged, switched off or out of range)."),
            std::string::npos)
      << tool.stderrText();

  simulator.replug();
  ASSERT_TRUE(tool.waitForStderr("reconnected to KovaTool-SPPDev", Clock::now() + 10s)) << tool.stderrText();
  std::vector<int32_t> more;
  EXPECT_TRUE(readSamples(tool, 1024, more)) << tool.stderrText();

  tool.signal(SIGINT);
  auto status = tool.wait(Clock::now() + 10s);
  ASSERT_TRUE(status.has_value()) << "still running after SIGINT";
  EXPECT_TRUE(ToolProcess::exitedWith(*status, 0)) << *status << tool.stderrText();
  EXPECT_NE(tool.stderrText().find("Stopped (Ctrl-C)."), std::string::npos) << tool.stderrText();
}

TEST_F(StreamCommand, WithNoReconnectAnUnplugEndsTheToolWithStatus1) {
  HeadsetSimulator simulator(headset(4));
  simulator.start();
  ToolProcess tool(streamArgs({"--no-reconnect"}));
  std::vector<int32_t> raw;
  ASSERT_TRUE(readSamples(tool, 512, raw)) << tool.stderrText();

  simulator.unplug();
  auto status = tool.wait(Clock::now() + 10s);
  ASSERT_TRUE(status.has_value()) << "the tool waits although --no-reconnect";
  EXPECT_TRUE(ToolProcess::exitedWith(*status, 1)) << *status;
  EXPECT_NE(tool.stderrText().find("Lost the headset: its port was removed"), std::string::npos) << tool.stderrText();
  EXPECT_NE(tool.stderrText().find("--no-reconnect"), std::string::npos) << tool.stderrText();
}

TEST_F(StreamCommand, RecordsAndSavesTheStreamWhenStoppedBySigterm) {
  const auto options = headset(8);
  HeadsetSimulator simulator(options);
  simulator.start();
  const std::string recordDir = dir_.path() + "/rec";
  ::mkdir(recordDir.c_str(), 0700);
  const std::string save = dir_.path() + "/saved.csv";
  ToolProcess tool(streamArgs({"--record", recordDir, "--save", save}));
  std::vector<int32_t> raw;
  ASSERT_TRUE(readSamples(tool, 2048, raw)) << tool.stderrText();

  tool.signal(SIGTERM);
  auto status = tool.wait(Clock::now() + 10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(ToolProcess::exitedWith(*status, 0)) << *status << tool.stderrText();
  EXPECT_NE(tool.stderrText().find("Saved the recording to " + save + "."), std::string::npos) << tool.stderrText();

  // Every sample delivered is in the recording, in order, after the header;
  // a PQ, ATT and MED row for each second begun.
  std::ifstream in(save);
  std::string header;
  std::getline(in, header);
  EXPECT_EQ(header, "Timestamp, Data Type, Value");
  const test::StreamContent saved = test::readStreamLog(save);
  ASSERT_GE(saved.raw.size(), raw.size());
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), saved.raw.begin()));
  const std::vector<int32_t> sent = firstSamples(options, 60);
  ASSERT_LE(saved.raw.size(), sent.size());
  EXPECT_TRUE(std::equal(saved.raw.begin(), saved.raw.end(), sent.begin()));
  const size_t secondsBegun = (saved.raw.size() + 511) / 512;
  EXPECT_EQ(saved.quality.size(), secondsBegun);
  EXPECT_EQ(saved.attention.size(), secondsBegun);
  EXPECT_EQ(saved.meditation.size(), secondsBegun);
  EXPECT_TRUE(std::filesystem::exists(recordDir + "/ambrix.log.csv")) << "--record keeps the log in its folder";
}

TEST_F(StreamCommand, RefusedConnectionsAndBadArgumentsNameTheProblemAndTheFix) {
  struct Case {
    std::vector<std::string> more;
    int status;
    std::vector<std::string> says;
  };
  const std::vector<Case> cases = {
      {{}, 1, {"No headset found.", "`velmora ports`", "`velmora simulate`"}},
      {{"--port", "/nonexistent/ttyX"}, 1, {"/nonexistent/ttyX does not exist", "`velmora ports`"}},
      {{"--port", "KovaMissing"}, 1, {"No headset port named KovaMissing."}},
      {{"--port", "ttyS99"}, 1, {"No headset port named ttyS99.", "begins with Kova, Trell, Halobelt or Quorvex"}},
      {{"--record", dir_.path() + "/missing"}, 2, {"no such folder", "mkdir -p"}},
      {{"--save", dir_.path() + "/missing/x.csv"}, 2, {"does not exist", "mkdir -p"}},
      {{"--flag", "1"}, 2, {"add --record DIR or --save FILE"}},
      {{"--seconds", "-1"}, 2, {"--seconds must be a positive number"}},
  };
  for (const Case& c : cases) {
    ToolProcess tool(streamArgs(c.more));
    auto status = tool.wait(Clock::now() + 15s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(ToolProcess::exitedWith(*status, c.status)) << ::testing::PrintToString(c.more) << tool.stderrText();
    for (const std::string& text : c.says) {
      EXPECT_NE(tool.stderrText().find(text), std::string::npos)
          << ::testing::PrintToString(c.more) << " should say " << text << ":\n"
          << tool.stderrText();
    }
  }

  // A headset port that another program holds.
  HeadsetSimulator simulator(headset(1));
  simulator.start();
  const int held = ::open(simulator.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  ToolProcess tool(streamArgs());
  auto status = tool.wait(Clock::now() + 15s);
  ::close(held);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(ToolProcess::exitedWith(*status, 1)) << tool.stderrText();
  EXPECT_NE(tool.stderrText().find("KovaTool-SPPDev (" + simulator.devicePath() + ") is in use by another program"),
            std::string::npos)
      << tool.stderrText();
}

TEST_F(StreamCommand, OnATerminalItDrawsTheLiveScreenAndRestoresTheCursor) {
  HeadsetSimulator simulator(headset(4));
  simulator.start();
  int master = -1, slave = -1;
  winsize size{};
  size.ws_col = 100;
  size.ws_row = 40;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
  std::vector<std::string> args{"stream", "--device-dir", devices_};
  ToolProcess tool(args, {"LANG=C.UTF-8", "TERM=xterm", "NO_COLOR="}, slave);
  ::close(slave);

  // Follow the screen until a frame shows data from the headset.
  std::string screen;
  auto readScreen = [&](const std::string& until, Clock::time_point deadline) {
    char buffer[65536];
    while (screen.find(until) == std::string::npos && Clock::now() < deadline) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      screen.append(buffer, static_cast<size_t>(n));
    }
    return screen.find(until) != std::string::npos;
  };
  ASSERT_TRUE(readScreen("Connected to KovaTool-SPPDev.", Clock::now() + 15s)) << screen;
  ASSERT_TRUE(readScreen("samples", Clock::now() + 5s));
  for (const char* text : {"\x1b[?25l", "\x1b[H", "velmora stream  KovaTool-SPPDev", "Signal", "Attention",
                           "Meditation", "Band power", "high gamma", "Blinks", "Heart", "Raw", "Ctrl-C stops"}) {
    EXPECT_NE(screen.find(text), std::string::npos) << text;
  }
  EXPECT_NE(screen.find("█"), std::string::npos) << "bars are drawn with blocks in a UTF-8 locale";

  tool.signal(SIGINT);
  auto status = tool.wait(Clock::now() + 10s);
  readScreen("\x1b[?25h", Clock::now() + 2s);
  ::close(master);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(ToolProcess::exitedWith(*status, 0)) << tool.stderrText();
  EXPECT_NE(screen.find("\x1b[?25h"), std::string::npos) << "the cursor is shown again";
  // No frame line is wider than the terminal: strip the escapes and count
  // the columns of each line.
  std::string plain;
  for (size_t i = 0; i < screen.size(); ++i) {
    if (screen[i] == '\x1b') {
      while (i < screen.size() && !std::isalpha(static_cast<unsigned char>(screen[i]))) ++i;
      continue;
    }
    plain += screen[i];
  }
  size_t column = 0, widest = 0;
  for (unsigned char c : plain) {
    if (c == '\n' || c == '\r') {
      column = 0;
    } else if ((c & 0xC0) != 0x80) {
      widest = std::max(widest, ++column);
    }
  }
  EXPECT_LE(widest, 100u);
}

}  // namespace
}  // namespace velmora
