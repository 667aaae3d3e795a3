// `velmora stream` and `velmora demo` as a user runs them, pointed with
// --device-dir at a simulated headset (sim::SimulatedHeadset, or `velmora
// simulate`): JSON lines, messages, the live screen, recordings, statuses.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/mount.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <tuple>

#include "VLHrv.h"
#include "platform/DeviceFolder.h"
#include "sim/SimulatedHeadset.h"
#include "support/EdfFile.h"
#include "support/GermanLocale.h"
#include "support/LogCapture.h"
#include "support/StreamScan.h"
#include "support/TempPty.h"
#include "support/ToolProcess.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::ToolProcess;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

constexpr const char* kName = "KovaTool-SPPDev";

class StreamCommand : public ::testing::Test {
 protected:
  static sim::SimulatorOptions options(double speed, std::optional<double> seconds = std::nullopt) {
    return sim::SimulatedHeadset::options(kName, sim::SignalMode::Eeg, 3, speed, seconds);
  }
  void start(double speed) { headset_.emplace(options(speed)); }
  // Whether `raw` is what the headset sends first.
  static bool sentFirst(const std::vector<int32_t>& raw) {
    const auto sent = test::scanStream(sim::HeadsetSimulator::generateOffline(options(1, 300))).raw;
    return raw.size() <= sent.size() && std::equal(raw.begin(), raw.end(), sent.begin());
  }
  std::vector<std::string> streamArgs(std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"stream", "--json", "--device-dir", headset_->deviceFolder()});
    return more;
  }
  // Reads JSON lines until `samples` more raw samples came, checking each.
  bool readSamples(ToolProcess& tool, size_t samples) {
    for (const size_t goal = raw_.size() + samples; raw_.size() < goal;) {
      const auto line = tool.stdoutLine(Clock::now() + 20s);
      if (!line) return false;
      const auto object = nlohmann::json::parse(*line);
      for (const auto& [key, value] : object.items()) {
        for (const auto& v : key == "raw" ? value : nlohmann::json::array()) raw_.push_back(v.get<int32_t>());
        EXPECT_TRUE(key == "t" ? value.is_number_float() : key == "raw" || value.is_number_integer()) << *line;
        keys_.insert(key);
      }
    }
    return true;
  }

  test::LogCapture log_;
  std::optional<sim::SimulatedHeadset> headset_;
  std::vector<int32_t> raw_;
  std::set<std::string> keys_;
};

TEST_F(StreamCommand, JsonLinesCarryTheStreamAndItWaitsOutAnUnplugAndAFailedReconnect) {
  start(4);
  // A German locale must not change how numbers are written.
  ToolProcess tool(streamArgs({"--verbose"}), test::GermanLocale::environment());
  ASSERT_TRUE(readSamples(tool, 2048)) << tool.stderrText();
  EXPECT_TRUE(sentFirst(raw_)) << "the samples arrive once and in order";
  const std::set<std::string> keys{"eegDelta", "eegHighGamma", "poorSignal", "vScoreAttention", "vScoreMeditation"};
  EXPECT_TRUE(std::includes(keys_.begin(), keys_.end(), keys.begin(), keys.end())) << "every kind of row";
  EXPECT_THAT(tool.stderrText(), HasSubstr("Connected to KovaTool-SPPDev."));

  headset_->simulator().unplug();
  const std::string lost = "Lost the headset: its port was removed (unplugged, switched off or out of range). Waiting";
  ASSERT_TRUE(tool.waitForStderr(lost, Clock::now() + 10s)) << tool.stderrText();
  // A port of that name that another program holds: the first try fails,
  // and the tool must go on trying.
  test::TempPty busy;
  const int held = ::open(busy.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  platform::DeviceFolder::publish(kName, busy.path());
  ASSERT_TRUE(tool.waitForStderr(std::string("--- ") + kName + " not opened", Clock::now() + 10s)) << tool.stderrText();
  platform::DeviceFolder::unpublish(kName);
  ::close(held);
  headset_->simulator().replug();
  ASSERT_TRUE(tool.waitForStderr("reconnected to KovaTool-SPPDev", Clock::now() + 10s)) << tool.stderrText();
  EXPECT_TRUE(readSamples(tool, 1024)) << tool.stderrText();
  tool.closeStdout();  // the reader leaves: a normal end
  auto status = tool.wait(Clock::now() + 10s);
  EXPECT_TRUE(status && ToolProcess::exitedWith(*status, 0)) << "after EPIPE";
  EXPECT_THAT(tool.stderrText(), HasSubstr("The output was closed."));
}

// Nobody reads stdout: the pipe fills and the tool's writes wait.  SIGTERM
// must still end it promptly, and so must a closed terminal (SIGHUP) while
// the library's log echo (--verbose) goes to a stderr that nobody reads and
// that is full from the start; both recordings are saved either way.
TEST_F(StreamCommand, SigtermOrSighupEndsItWithStalledReadersAndTheRecordingsAreSaved) {
  for (const int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    start(8);
    const std::string save = headset_->folder() + "/saved.csv", edf = headset_->folder() + "/saved.bdf";
    int out[2], err[2];
    ASSERT_TRUE(::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC | O_NONBLOCK) == 0);
    for (const std::string block(4096, 'x'); sig == SIGHUP && ::write(err[1], block.data(), block.size()) > 0;) {
    }
    ::fcntl(err[1], F_SETFL, 0);  // the tool's writes block, as on any full pipe
    auto args = streamArgs({"--save", save, "--edf", edf});
    if (sig == SIGHUP) args.push_back("--verbose");
    ToolProcess tool(args, {}, out[1], "/dev/null", sig == SIGHUP ? err[1] : -1);
    // Until the pipe is full: its write end takes no more, so the tool's writes wait.
    pollfd room{out[1], POLLOUT, 0};
    EXPECT_TRUE(test::waitUntil([&] { return ::poll(&room, 1, 0) == 0; }, 20s));
    tool.signal(sig);
    const auto status = tool.wait(Clock::now() + 10s);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    ASSERT_TRUE(status && ToolProcess::exitedWith(*status, 0)) << tool.stderrText();
    if (sig == SIGTERM) { EXPECT_THAT(tool.stderrText(), HasSubstr("Saved the recording to " + save + ".")); }
    // At least what the pipe took, as the headset sent it, in both recordings.
    const auto saved = test::readStreamLog(save).raw;
    EXPECT_TRUE(saved.size() >= 65536u / 8 && sentFirst(saved)) << saved.size();
    const test::EdfFile bdf(edf);
    EXPECT_TRUE(bdf.opened && bdf.rawWithoutPadding().size() >= saved.size() / 512 * 512) << bdf.raw.size();
  }
}

// What was decoded before the stop is delivered: the JSON lines, the count
// at the end and the recording hold the same samples.
TEST_F(StreamCommand, WhatWasDecodedBeforeTheStopIsDeliveredAsRecorded) {
  start(8);
  const auto r = ToolProcess::run(streamArgs({"--seconds", "2", "--record", headset_->folder()}));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<int32_t> delivered;
  for (const std::string& line : ToolProcess::lines(r.out)) {
    for (const auto& v : nlohmann::json::parse(line).value("raw", nlohmann::json::array())) delivered.push_back(v);
  }
  EXPECT_EQ(delivered, test::readStreamLog(headset_->folder() + "/ambrix.log.csv").raw);
  EXPECT_THAT(r.err, HasSubstr("Received " + std::to_string(delivered.size()) + " samples"));
}

// A recording that loses rows at any point (here past a file-size limit, as
// on a full disk) is reported with what it kept, and the status is 1, however
// long the session goes on after the loss: the limit is reached within about
// two seconds, and the library logs hundreds of lines after that.
TEST_F(StreamCommand, ARecordingThatLosesRowsIsReportedWithWhatItKept) {
  start(8);
  const std::string dir = headset_->folder();
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  std::optional<test::FileSizeLimit> limit(200 << 10);  // the tool inherits it
  ToolProcess tool(streamArgs({"--seconds", "12", "--record", dir}), {}, null);
  limit.reset();
  ::close(null);
  const auto status = tool.wait(Clock::now() + 60s);
  ASSERT_TRUE(status && ToolProcess::exitedWith(*status, 1)) << tool.stderrText();
  size_t rows = 0;
  test::readStreamLog(dir + "/ambrix.log.csv", &rows);
  EXPECT_THAT(tool.stderrText(), HasSubstr("Rows were lost from the recording: cannot write to " + dir +
                                           "/ambrix.log.csv: File too large. It kept " + std::to_string(rows) +
                                           " rows; "));
}

// `velmora simulate` publishes a name with dots and a space in a folder with
// dots; `velmora stream` selects it by every name and path shown, and says
// what it cannot do, naming the port whole (a full disk, a 64 KiB tmpfs only
// root makes, keeps the earlier recording).
TEST_F(StreamCommand, SelectsAPortByAnyNameOrPathTheToolShowsAndNamesWhatFails) {
  test::TempDir dir;
  const std::string devices = dir.path() + "/dir.with.dot", disk = dir.path() + "/disk", earlier(40000, 'e');
  for (const auto& folder : {devices, disk}) ::mkdir(folder.c_str(), 0700);
  const bool mounted = ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") == 0;
  std::ofstream(disk + "/saved.csv") << earlier;
  ToolProcess simulate({"simulate", "--name", "Kova.X 2", "--speed", "8", "--device-dir", devices});
  const auto link = simulate.stdoutLine(Clock::now() + 10s);
  ASSERT_TRUE(link) << simulate.stderrText();
  EXPECT_EQ(*link, devices + "/tty.Kova.X 2");
  ASSERT_EQ(::symlink(link->c_str(), (devices + "/myheadset").c_str()), 0);
  // More arguments, stdout, whether another program holds the port, status, stderr.
  for (const auto& [more, out, hold, status, says] :
       std::vector<std::tuple<std::vector<std::string>, const char*, bool, int, std::string>>{
           {{"--port", "Kova.X 2"}, "/dev/null", false, 0, "Connected to Kova.X 2."},
           {{"--port", *link}, "/dev/null", false, 0, "Connected to Kova.X 2."},
           {{"--port", devices + "/myheadset"}, "/dev/null", false, 0, "Connected to Kova.X 2."},
           {{}, "/dev/full", false, 1, "Cannot write the output: No space left on device."},
           {{"--save", disk + "/saved.csv"}, "/dev/null", false, mounted ? 1 : 0, mounted ? "Could not save" : ""},
           {{}, "/dev/null", true, 1, "Kova.X 2 (" + *link + ") is in use by another program"}}) {
    std::vector<std::string> args{"stream", "--json", "--seconds", "1", "--device-dir", devices};
    args.insert(args.end(), more.begin(), more.end());
    const int fd = ::open(out, O_WRONLY | O_CLOEXEC), held = ::open(link->c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, hold ? LOCK_EX | LOCK_NB : LOCK_UN), 0);
    const auto r = ToolProcess::run(args, {}, fd);
    for (int f : {fd, held}) ::close(f);
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_THAT(r.err, HasSubstr(says));
  }
  const bool kept = std::filesystem::file_size(disk + "/saved.csv") == earlier.size();
  if (mounted) ::umount2(disk.c_str(), MNT_DETACH);
  EXPECT_TRUE(kept || !mounted) << "the earlier recording was replaced";
  ToolProcess stream({"stream", "--json", "--no-reconnect", "--device-dir", devices});
  ASSERT_TRUE(stream.stdoutLine(Clock::now() + 10s)) << stream.stderrText();
  simulate.signal(SIGTERM);  // the headset goes, its link with it
  const auto ended = simulate.wait(Clock::now() + 10s);
  EXPECT_TRUE(ended && ToolProcess::exitedWith(*ended, 0) && !std::filesystem::is_symlink(*link) &&
              !std::filesystem::exists(*link + ".lock")) << "left behind: " << simulate.stderrText();
  const auto status = stream.wait(Clock::now() + 10s);
  EXPECT_TRUE(status && ToolProcess::exitedWith(*status, 1)) << "with --no-reconnect: " << stream.stderrText();
  EXPECT_THAT(stream.stderrText(), HasSubstr("Lost the headset: its port was removed"));
}

TEST_F(StreamCommand, OnATerminalItDrawsTheLiveScreenAndRestoresTheCursor) {
  start(4);
  int master = -1, slave = -1;
  winsize size{40, 100, 0, 0};
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
  ToolProcess tool({"stream", "--device-dir", headset_->deviceFolder()}, {"LANG=C.UTF-8", "TERM=xterm", "NO_COLOR="},
                   slave);
  ::close(slave);
  std::string screen;  // everything drawn
  ASSERT_TRUE(ToolProcess::readUntil(master, screen, "Connected to KovaTool-SPPDev.", Clock::now() + 15s)) << screen;
  ASSERT_TRUE(ToolProcess::readUntil(master, screen, "samples", Clock::now() + 5s));
  for (const char* text : {"\x1b[?25l", "\x1b[H", "velmora stream  KovaTool-SPPDev", "Signal", "Attention",
                           "Meditation", "Band power", "high gamma", "Blinks", "Heart", "Raw", "Ctrl-C stops", "█"}) {
    EXPECT_NE(screen.find(text), std::string::npos) << text;
  }
  tool.signal(SIGINT);
  auto status = tool.wait(Clock::now() + 10s);
  EXPECT_TRUE(ToolProcess::readUntil(master, screen, "\x1b[?25h", Clock::now() + 2s)) << "the cursor is shown again";
  ::close(master);
  EXPECT_TRUE(status && ToolProcess::exitedWith(*status, 0)) << tool.stderrText();
  // No frame line is wider than the terminal (characters without escapes).
  const std::string plain = std::regex_replace(screen, std::regex("\x1b\\[[^a-zA-Z]*[a-zA-Z]|\r"), "");
  for (const std::string& line : ToolProcess::lines(plain)) {
    EXPECT_LE(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }), 100) << line;
  }
}

// `velmora demo`, shortened: every sample its simulated headset sent, the
// blinks and beats the simulator put in, an LF/HF close to what its RR
// series gives, the recording saved and nothing left behind.
TEST(Demo, ShortRunDeliversEverythingAndItsLfHfFollowsTheSimulatorsRrSeries) {
  test::TempDir dir;
  test::LogCapture log;
  const std::string tmp = dir.path() + "/tmp", save = dir.path() + "/demo.csv";
  ::mkdir(tmp.c_str(), 0700);
  // 144 s of headset time in 6 s (24x), under a German locale (decimal comma).
  auto env = test::GermanLocale::environment();
  env.push_back("TMPDIR=" + tmp);
  const auto r = ToolProcess::run({"demo", "--seconds", "6", "--json", "--save", save}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<nlohmann::json> lines;
  for (const std::string& line : ToolProcess::lines(r.out)) lines.push_back(nlohmann::json::parse(line));
  ASSERT_GE(lines.size(), 2u);
  const auto summary = lines.back().at("summary");
  // The same stream, offline, with its ground truth.
  const auto& s = summary.at("simulator");
  auto options = sim::SimulatedHeadset::options(s.at("name"), *sim::parseSignalMode(s.value("mode", "")), s.at("seed"),
                                                1, s.at("seconds").get<double>());
  options.signal.periodSeconds = s.at("period");
  sim::GroundTruth truth;
  const test::StreamContent sent = test::scanStream(sim::HeadsetSimulator::generateOffline(options, &truth));
  // Every sample, once and in order.
  std::vector<int32_t> raw;
  for (const auto& line : lines)
    for (const auto& v : line.value("raw", nlohmann::json::array())) raw.push_back(v.get<int32_t>());
  EXPECT_EQ(raw, sent.raw);
  EXPECT_TRUE(summary.at("samples") == sent.raw.size() && summary.at("samples_sent") == sent.raw.size());
  // Blinks are counted per delivery (at 24x two may share one on a loaded
  // machine); beats all but the first few, which the detector learns on.
  const auto blinks = summary.at("blinks").get<double>(), beats = summary.at("beats").get<double>();
  EXPECT_TRUE(blinks <= truth.blinks.size() && blinks >= 0.8 * truth.blinks.size()) << summary.dump();
  std::vector<int32_t> trueRr;
  for (const auto& beat : truth.beats)
    if (beat.rrMs) trueRr.push_back(static_cast<int32_t>(std::lround(*beat.rrMs)));
  EXPECT_TRUE(beats <= trueRr.size() && beats + 5 >= trueRr.size()) << summary.dump();
  // LF/HF against the library's own calculation over the true RR series: the
  // demo's list starts a beat or two later and each interval may be a sample
  // (2 ms) off (1.2 % on the ratio for this seed); 5 % still fails on a
  // lost, doubled or reordered beat.
  VLHrv reference;
  ASSERT_GT(reference.calculateEnergyLevel(trueRr.data(), static_cast<int32_t>(trueRr.size())), 0.0);
  const double expected = reference.result().at("LF/HF").asDouble();
  EXPECT_NEAR(summary.value("LF/HF", 0.0), expected, 0.05 * expected) << summary.dump();
  EXPECT_NEAR(summary.value("energy", 0), reference.energyLevel(), 3);
  // The recording is saved where asked, with every sample; the scratch
  // folder (device folder, pty link, recording folder) is gone.
  EXPECT_EQ(summary.at("recording").get<std::string>(), save);
  EXPECT_EQ(test::readStreamLog(save).raw, sent.raw);
  EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "left behind in TMPDIR";
}

}  // namespace
}  // namespace velmora
