// The `velmora` tool's contract with users and scripts, run as a user runs
// it: one exit status table (0 success, 1 the job failed, 2 bad arguments or
// unreadable input) naming the problem; what decode, hrv and ports write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cmath>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "VLHrv.h"
#include "platform/DeviceFolder.h"
#include "sim/PacketEncoder.h"
#include "support/GermanLocale.h"
#include "support/LogCapture.h"
#include "support/TempPty.h"
#include "support/ToolProcess.h"

namespace velmora {
namespace {

using nlohmann::json;
using sim::PacketEncoder;
using test::ToolProcess;

std::vector<int32_t> rrIntervals(size_t n) {
  std::vector<int32_t> rr;
  for (size_t i = 0; i < n; ++i) rr.push_back(900 + static_cast<int32_t>(std::lround(60 * std::sin(i * 0.6))));
  return rr;
}

std::string joined(const std::vector<int32_t>& values, const std::string& separator) {
  std::string s;
  for (int32_t v : values) s += std::to_string(v) + separator;
  return s;
}

// A folder with the files the rows name ("@" in a row stands for it).
class ToolCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir((d_ + "/empty").c_str(), 0700);
    ::mkfifo((d_ + "/fifo").c_str(), 0600);
    std::vector<uint8_t> capture;
    for (int k = 0; k < 100; ++k) PacketEncoder::appendPacket(capture, PacketEncoder::rawRow(k));
    for (const auto& [name, text] : std::map<std::string, std::string>{
             {"/file", "a file\n"}, {"/read-only.csv", "an earlier recording\n"}, {"/empty.txt", ""},
             {"/nul.txt", std::string("800\n9\0" "00\n", 8)}, {"/words.txt", "800 900\n1000 abc\n"},
             {"/short.txt", joined(rrIntervals(64), "\n")}, {"/rr.txt", joined(rrIntervals(120), "\n")},
             {"/flat.txt", joined(std::vector<int32_t>(100, 750), "\n")},
             {"/fast.txt", joined(std::vector<int32_t>(600, 150), "\n")},
             {"/capture.bin", std::string(capture.begin(), capture.end())}}) {
      write(name, text);
    }
    ::symlink((d_ + "/file").c_str(), (d_ + "/link").c_str());
    ::chmod((d_ + "/read-only.csv").c_str(), 0444);
    // Links planted where a recording would go.
    ::mkdir((d_ + "/planted").c_str(), 0700);
    ::symlink((d_ + "/file").c_str(), (d_ + "/planted/ambrix.log.csv").c_str());
    ::symlink((d_ + "/absent.bdf").c_str(), (d_ + "/dangling.bdf").c_str());
    // A device folder other users can reach, which the library refuses.
    ::mkdir((d_ + "/open").c_str(), 0700);
    ::chmod((d_ + "/open").c_str(), 0755);
    // Another user's files where a recording would go, in a shared folder (giving them away needs root).
    ::mkdir((d_ + "/shared").c_str(), 0700);
    for (const char* name : {"/theirs.csv", "/shared/ambrix.log.csv"}) {
      write(name, "theirs\n");
      ::chmod((d_ + name).c_str(), 0666);
      theirs_ = ::chown((d_ + name).c_str(), 65534, 65534) == 0;
    }
  }
  void write(const std::string& name, const std::string& text) { std::ofstream(d_ + name, std::ios::binary) << text; }
  std::string at(std::string text) const {
    for (size_t p; (p = text.find('@')) != std::string::npos;) text.replace(p, 1, d_);
    return text;
  }

  test::TempDir dir_;
  const std::string d_ = dir_.path();
  bool theirs_ = false;  // whether /theirs.csv and /shared/ambrix.log.csv belong to uid 65534
};

struct Row {
  std::vector<std::string> args;
  int status;
  std::string says, stdoutTo = "", env = "";  // what stderr (or stdout) says
  bool closedStdin = false;
};

void PrintTo(const Row& row, std::ostream* os) { *os << ::testing::PrintToString(row.args); }
class ExitStatus : public ToolCommand, public ::testing::WithParamInterface<Row> {};

TEST_P(ExitStatus, NamesTheProblem) {
  const Row& row = GetParam();
  if (!theirs_ && row.says.find("another user") != std::string::npos) GTEST_SKIP() << "giving a file away needs root";
  std::vector<std::string> args;
  for (const auto& a : row.args) args.push_back(at(a));
  const int out = row.stdoutTo.empty() ? -1 : ::open(row.stdoutTo.c_str(), O_WRONLY | O_CLOEXEC);
  const auto r = ToolProcess::run(args, row.env.empty() ? std::vector<std::string>{} : std::vector{at(row.env)}, out,
                                  row.closedStdin ? nullptr : "/dev/null");
  if (out >= 0) ::close(out);
  EXPECT_EQ(r.status, row.status) << r.err;
  EXPECT_NE((r.out + r.err).find(at(row.says)), std::string::npos) << r.err;
  // Nothing refused is touched, and no folder chain is made.
  struct stat fifo {}, link{};
  EXPECT_TRUE(!::lstat((d_ + "/fifo").c_str(), &fifo) && !::lstat((d_ + "/link").c_str(), &link) &&
              S_ISFIFO(fifo.st_mode) && S_ISLNK(link.st_mode) && !std::filesystem::exists(d_ + "/a") &&
              std::filesystem::file_size(d_ + "/read-only.csv") == 21);
  for (const char* name : {"/file", "/theirs.csv", "/shared/ambrix.log.csv"})
    EXPECT_EQ(std::filesystem::file_size(d_ + name), 7u) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Tool, ExitStatus,
    ::testing::Values(
        Row{{"--help"}, 0, "Exit status: 0 success; 1 the job failed"}, Row{{"--version"}, 0, "velmora 0.1.0"},
        Row{{"--bogus"}, 2, "unknown command or option --bogus"}, Row{{"strem"}, 2, "option strem"},
        Row{{"stream", "--bogus"}, 2, "not expected: --bogus"}, Row{{"decode", "a", "b"}, 2, "not expected: b"},
        Row{{"stream", "--seconds", "0"}, 2, "--seconds must be a number of seconds above 0"},
        Row{{"stream", "--seconds", ""}, 2, "--seconds must be"}, Row{{"stream", "--port", ""}, 2, "--port needs"},
        Row{{"simulate", "--seconds", "1e12", "--output", "@/x"}, 2, "at most a year"},
        Row{{"demo", "--seconds", "0.5"}, 2, "between 1 and 3600"},
        Row{{"simulate", "--fault", "flood@1"}, 2, "bad fault \"flood@1\""},
        Row{{"simulate", "--speed", "-1"}, 2, "--speed must be above 0"},
        Row{{"simulate", "--output", "@/x"}, 2, "--output needs --seconds"},
        Row{{"simulate", "--lf", "0.15", "--hf", "0.1"}, 2, "--lf, --hf"},
        Row{{"simulate", "--from", "@/x.csv", "--truth", "@/t"}, 2, "--truth needs a synthesised stream"},
        Row{{"decode", "--verbose", "@/capture.bin"}, 0, "VelmoraObjC: Initialized. Version: 5\n"},
        Row{{"hrv", "@/flat.txt"}, 0, "\"LF/HF\":\"NaN\""},  // numbers that are not finite are strings
        Row{{"hrv", "--standard", "@/flat.txt"}, 0, "\"LF\":0.0,\"HF\":0.0,\"LF/HF\":\"NaN\""},
        Row{{"hrv", "--standard", "@/fast.txt"}, 1, "RR interval 150 ms at index 0 is outside 200..3000 ms"},
        Row{{"stream", "--edf", "@/x.bdf", "--uv-per-count", "0"}, 2, "a number from 0.0001 to 300 (such as 0.5), not \"0\""},
        Row{{"stream", "--uv-per-count", "0.5"}, 2, "--uv-per-count sets the gain of an EDF/BDF recording; add --edf"},
        Row{{"convert", "@/file", "--uv-per-count", "1,5", "@/x.bdf"}, 2, "not \"1,5\""},
        // Unreadable input.
        Row{{"decode", "@/absent"}, 2, "@/absent: No such file or directory"},
        Row{{"simulate", "--from", "@/absent", "--seconds", "1", "--output", "/dev/null"}, 2, "--from"},
        Row{{"hrv"}, 2, "standard input: cannot read it: Bad file descriptor", "", "", true},
        Row{{"hrv", "@/empty.txt"}, 2, "holds no RR intervals"}, Row{{"hrv", "@/nul.txt"}, 2, "line 2: a NUL byte"},
        Row{{"hrv", "@/words.txt"}, 2, "\"abc\" is not an integer"}, Row{{"hrv", "@/short.txt"}, 1, "too short"},
        // Output that cannot be written.
        Row{{"decode", "@/capture.bin"}, 1, "decode: cannot write the output: No space left on device", "/dev/full"},
        Row{{"hrv", "@/rr.txt"}, 1, "hrv: cannot write the output: No space left", "/dev/full"},
        Row{{"ports", "--device-dir", "@/empty"}, 1, "cannot write the output", "/dev/full"},
        Row{{"simulate", "--seconds", "9", "--output", "/dev/full"}, 1, "cannot write /dev/full: No space left"},
        Row{{"simulate", "--seconds", "9", "--output", "-"}, 1, "No space left", "/dev/full"},
        // Device folders.
        Row{{"ports", "--device-dir", "@/file"}, 2, "--device-dir @/file is not a folder"},
        Row{{"stream", "--device-dir", "@/file"}, 2, "--device-dir @/file is not a folder"},
        Row{{"ports", "--device-dir", "@/a/b/c"}, 2, "the folder @/a/b does not exist"},
        Row{{"ports"}, 2, "$VELMORA_DEVICE_DIR @/file is not a folder", "", "VELMORA_DEVICE_DIR=@/file"},
        // A refused device folder, named with the reason by every command.
        Row{{"ports", "--device-dir", "@/open"}, 0,
            "ports: the device folder @/open is refused, so no port published there is listed: other users can "
            "reach it (mode 0755)"},
        Row{{"stream", "--device-dir", "@/open"}, 1, "The device folder @/open is refused: other users can reach it"},
        Row{{"simulate", "--device-dir", "@/open"}, 2,
            "simulate: the device folder @/open is refused: other users can reach it (mode 0755); it must be "
            "owner-only (chmod 700); choose a folder"},
        Row{{"publish", "/dev/null", "Kova1", "--device-dir", "@/open"}, 2, "the device folder @/open is refused"},
        // What publish cannot publish.
        Row{{"publish", "@/file", "Kova1"}, 2, "@/file is not a terminal device"},
        Row{{"publish", "/dev/null", "Kova.lock"}, 2, "NAME must be non-empty, contain no '/'"},
        // What --save would replace, and folders that take no files.
        Row{{"stream", "--save", "@/fifo"}, 2, "@/fifo is a FIFO, not a regular file"},
        Row{{"stream", "--save", "/dev/null"}, 2, "/dev/null is a device"},
        Row{{"stream", "--save", "@/link"}, 2, "@/link is a symbolic link"},
        Row{{"stream", "--save", "@/read-only.csv"}, 2, "read-only.csv is read-only"},
        Row{{"stream", "--save", "/proc/x"}, 2, "/proc ("}, Row{{"stream", "--record", "/proc"}, 2, "/proc ("},
        Row{{"stream", "--record", "@/none"}, 2, "@/none does not exist; create it with `mkdir -p @/none`"},
        // Never through a link planted at the name.
        Row{{"stream", "--record", "@/planted"}, 2, "@/planted/ambrix.log.csv is a symbolic link; remove it"},
        Row{{"stream", "--edf", "@/dangling.bdf"}, 2, "@/dangling.bdf is a symbolic link"},
        Row{{"simulate", "--seconds", "1", "--output", "@/link"}, 2, "@/link is a symbolic link; name a file"},
        // Nor into another user's file.
        Row{{"stream", "--record", "@/shared"}, 2, "belongs to another user (uid 65534)"},
        Row{{"stream", "--save", "@/theirs.csv"}, 2, "belongs to another user (uid 65534)"},
        Row{{"simulate", "--seconds", "1", "--output", "@/theirs.csv"}, 2, "belongs to another user (uid 65534)"},
        // No headset to connect to.
        Row{{"stream", "--device-dir", "@/empty"}, 1, "No headset found. Is it paired"},
        Row{{"stream", "--device-dir", "@/empty", "--save", "@/file"}, 1, "No headset found"},  // @/file stays
        Row{{"stream", "--device-dir", "@/empty", "--port", "Kova.Missing"}, 1, "No port named Kova.Missing."},
        Row{{"stream", "--device-dir", "@/empty", "--port", "@/dir.with.dot/x"}, 1, "dot/x does not exist"}));

TEST_F(ToolCommand, DecodeAndSimulateStreamTheirOutputAndSumUpOnStderr) {
  std::vector<uint8_t> stream = PacketEncoder::rawPacket(16);
  stream.insert(stream.end(), {0x00, 0x17});  // dropped before sync
  PacketEncoder::appendPacket(stream, PacketEncoder::poorSignalRow(26));
  PacketEncoder::appendPacket(stream, PacketEncoder::meditationRow(5));
  stream.back() ^= 1;  // a wrong checksum
  PacketEncoder::appendPacket(stream, PacketEncoder::heartRateRow(72));  // writes no key
  PacketEncoder::appendPacket(stream, {});                              // nor does a zero-length packet
  stream.push_back(0x00);
  // Packets of 8 bytes never line up with the tool's 64 KiB reads.
  for (int k = 0; k < 24000; ++k) PacketEncoder::appendPacket(stream, PacketEncoder::rawRow(k % 150 - 75));
  stream.insert(stream.end(), {0xAA, 0xAA, 0x04, 0x80});  // cut off
  const std::string file = d_ + "/stream.bin";
  write("/stream.bin", std::string(stream.begin(), stream.end()));
  for (const auto& [args, in] : {std::pair{std::vector<std::string>{"decode", file}, "/dev/null"},
                                 std::pair{std::vector<std::string>{"decode", "-"}, file.c_str()}}) {
    const auto r = ToolProcess::run(args, {}, -1, in);
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> lines = ToolProcess::lines(r.out);
    ASSERT_EQ(lines.size(), 24002u);
    EXPECT_EQ(json::parse(lines[0]), (json{{"raw", {16}}}));
    EXPECT_EQ(json::parse(lines[1]), (json{{"poorSignal", 26}}));
    for (int k = 0; k < 24000; ++k) ASSERT_EQ(json::parse(lines[2 + k]), (json{{"raw", {k % 150 - 75}}})) << k;
    // One summary line; the library's own lines only with --verbose.
    EXPECT_EQ(r.err, "velmora decode: 24004 packets, 1 checksum failures, 6 bytes skipped\n");
  }
  // A reader that leaves early is a normal end, also for `velmora simulate
  // --output -`, whose stream goes out as it is made (not after 400 MiB of
  // it were held in memory).
  for (const auto& args :
       {std::vector<std::string>{"decode", file}, {"simulate", "--seconds", "1e5", "--output", "-"}}) {
    ToolProcess tool(args);
    ASSERT_TRUE(tool.stdoutLine(ToolProcess::Clock::now() + std::chrono::seconds(20)));
    tool.closeStdout();
    const auto status = tool.wait(ToolProcess::Clock::now() + std::chrono::seconds(20));
    EXPECT_TRUE(status && ToolProcess::exitedWith(*status, 0)) << tool.stderrText();
    EXPECT_EQ(tool.stderrText().find("cannot write"), std::string::npos) << tool.stderrText();
  }
  // A flood of sync bytes (packets of 174 bytes: AA AA, length AA, 170
  // bytes, a wrong checksum) gives one line of stderr, not one per packet.
  constexpr size_t kFlood = 2 << 20;
  write("/flood.bin", std::string(kFlood, '\xAA'));
  const auto flood = ToolProcess::run({"decode", d_ + "/flood.bin"});
  EXPECT_EQ(flood.status, 0);
  EXPECT_EQ(flood.err, "velmora decode: 0 packets, " + std::to_string(kFlood / 174) + " checksum failures, " +
                           std::to_string(kFlood % 174) + " bytes skipped\n");
}

TEST_F(ToolCommand, HrvPrintsTheLibrarysResultWhateverTheSeparatorsAndTheLocale) {
  test::LogCapture quiet;
  const std::vector<int32_t> rr = rrIntervals(120);
  VLHrv hrv;
  ASSERT_GE(hrv.calculateEnergyLevel(rr.data(), static_cast<int32_t>(rr.size())), 1.0);
  const Dictionary expected = hrv.result();
  const auto r = ToolProcess::run({"hrv", d_ + "/rr.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "") << "the library's lines only with --verbose";
  EXPECT_EQ(json::parse(r.out),
            (json{{"LF", expected.at("LF").asDouble()}, {"HF", expected.at("HF").asDouble()},
                  {"LF/HF", expected.at("LF/HF").asDouble()}, {"energy", expected.at("energy").asInt()}}));
  EXPECT_TRUE(json::parse(r.out).at("energy").is_number_integer());
  // The same bytes from stdin with any separators and a byte-order mark, and
  // under a German locale (decimal comma).
  write("/mixed.txt", "\xEF\xBB\xBF" + joined(rr, ",\t\r\n ,"));
  EXPECT_EQ(ToolProcess::run({"hrv", "-"}, {}, -1, (d_ + "/mixed.txt").c_str()).out, r.out);
  EXPECT_EQ(ToolProcess::run({"hrv", d_ + "/rr.txt"}, test::GermanLocale::environment()).out, r.out);
}

TEST_F(ToolCommand, PortsListsThePublishedTtysAndPointsAtTheSetUpForUnnamedOnes) {
  test::TempPty headset, other;
  const std::string devices = d_ + "/empty";
  // Published as a publisher does (holding each link's lock), from here.
  platform::DeviceFolder::setPath(devices);
  platform::DeviceFolder::publish("Kova.Sim", headset.path());
  platform::DeviceFolder::publish("Bluetooth-Incoming-Port", other.path());
  // An unnamed Bluetooth serial port: a device named like one (needs root).
  const bool rfcomm = ::mknod((d_ + "/rfcomm7").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
  if (rfcomm) platform::DeviceFolder::publish("rfcomm7", d_ + "/rfcomm7");
  // --device-dir wins over the environment.
  const auto j = ToolProcess::run({"ports", "--json", "--device-dir", devices}, {"VELMORA_DEVICE_DIR=/nonexistent"});
  ASSERT_EQ(j.status, 0) << j.err;
  const json doc = json::parse(j.out);
  // Real hardware (if any) comes first, then the folder's ports by name.
  std::vector<json> listed;
  for (const auto& p : doc["ports"])
    if (p["path"].get<std::string>().starts_with(devices)) listed.push_back(p);
  ASSERT_EQ(listed.size(), rfcomm ? 3u : 2u) << j.out;
  for (const auto& [i, name, tty] :
       {std::tuple{0, "Bluetooth-Incoming-Port", other.path()}, {1, "Kova.Sim", headset.path()}}) {
    EXPECT_EQ(listed[i], (json{{"name", name}, {"path", devices + "/tty." + name}, {"furtherPaths", {tty}},
                               {"headsetCandidate", i == 1}}));
  }
  const std::string note = "rfcomm7 (" + d_ + "/rfcomm7) may be a headset without a headset name: see \"A real headset";
  EXPECT_EQ(j.err.find(note) != std::string::npos, rfcomm) << j.err;
  EXPECT_EQ(j.err.find("Bluetooth-Incoming-Port ("), std::string::npos) << "no set-up note for a pty";
  // A link made by hand is ignored, and `ports` says why and what to do.
  ::symlink(headset.path().c_str(), (devices + "/tty.KovaByHand").c_str());
  const auto t = ToolProcess::run({"ports"}, {"VELMORA_DEVICE_DIR=" + devices});
  const std::regex row("^NAME +HEADSET[\\s\\S]*\nKova\\.Sim +yes +\\S+/tty\\.Kova\\.Sim ");
  EXPECT_TRUE(std::regex_search(t.out, row)) << t.out;
  EXPECT_EQ(t.out.find("KovaByHand"), std::string::npos) << t.out;
  EXPECT_NE(t.err.find("ignored " + devices + "/tty.KovaByHand: no process holds tty.KovaByHand.lock, so it may be "
                       "stale; publish a tty as a port with `velmora publish TTY NAME`"),
            std::string::npos)
      << t.err;
  for (const char* name : {"Kova.Sim", "Bluetooth-Incoming-Port", "rfcomm7"}) platform::DeviceFolder::unpublish(name);
  platform::DeviceFolder::setPath(platform::DeviceFolder::defaultPath());
}

// `velmora publish` makes a tty a port that `stream` finds, as the advice for
// an unknown tty says, for as long as it runs; a second publisher of the
// name is refused; a closed terminal (SIGHUP) ends it, link and lock gone.
TEST_F(ToolCommand, PublishMakesATtyAPortForAsLongAsItRuns) {
  test::TempPty tty;
  const std::string devices = d_ + "/empty", link = devices + "/tty.KovaPub";
  const auto unknown = ToolProcess::run({"stream", "--device-dir", devices, "--port", tty.path()});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("`velmora publish " + tty.path() + " NAME`"), std::string::npos) << unknown.err;

  ToolProcess publish({"publish", tty.path(), "KovaPub", "--device-dir", devices});
  const auto printed = publish.stdoutLine(ToolProcess::Clock::now() + std::chrono::seconds(10));
  ASSERT_EQ(printed, link) << publish.stderrText();
  const auto again = ToolProcess::run({"publish", tty.path(), "KovaPub", "--device-dir", devices});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("KovaPub is published by another running process"), std::string::npos) << again.err;
  const auto stream = ToolProcess::run({"stream", "--json", "--seconds", "1", "--device-dir", devices});
  EXPECT_EQ(stream.status, 0) << stream.err;
  EXPECT_NE(stream.err.find("Connected to KovaPub."), std::string::npos) << stream.err;

  publish.signal(SIGHUP);
  const auto status = publish.wait(ToolProcess::Clock::now() + std::chrono::seconds(10));
  EXPECT_TRUE(status && ToolProcess::exitedWith(*status, 0)) << publish.stderrText();
  struct stat st {};
  EXPECT_TRUE(::lstat(link.c_str(), &st) != 0 && ::lstat((link + ".lock").c_str(), &st) != 0) << "left behind";
}

}  // namespace
}  // namespace velmora
