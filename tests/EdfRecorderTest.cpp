// BDF+/EDF+ recordings read back with EDFlib: the recorder fed by hand (samples,
// 1 Hz values and annotations at their samples, the start time, a loss, a full
// disk), then `velmora stream --edf`, `demo --edf` and `convert` as a user runs them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "VelmoraEdfRecorder.h"
#include "platform/DeviceFolder.h"
#include "sim/HeadsetSimulator.h"
#include "support/EdfFile.h"
#include "support/GermanLocale.h"
#include "support/LogCapture.h"
#include "support/StreamScan.h"
#include "support/TempPty.h"
#include "support/ToolProcess.h"

namespace velmora {
namespace {

using namespace std::chrono;
using Format = VelmoraEdfRecorder::Format;
using Link = VelmoraStreamListener::Link;
using test::EdfAnnotation;
using test::EdfFile;
using test::ToolProcess;
using Clock = steady_clock;

// Sample k of a test stream: both extremes, then a spread over the range.
int32_t sampleAt(int k) { return k == 0 ? -32768 : k == 1 ? 32767 : (k * 7919) % 65536 - 32768; }

class EdfRecorderFormats : public ::testing::TestWithParam<Format> {};

TEST_P(EdfRecorderFormats, EverySampleValueAndEventLandsAtItsSampleAcrossALoss) {
  test::GermanLocale::use();  // header numbers must not take its decimal comma
  ::setenv("TZ", "XYZ-5:30", 1);  // local time is UTC + 5:30: a UTC start time shows
  ::tzset();
  const std::shared_ptr<void> restore(nullptr, [](void*) { test::GermanLocale::reset(), ::unsetenv("TZ"), ::tzset(); });
  test::TempDir dir;
  const std::string path = dir.path() + "/rec.bdf";
  auto now = sys_days{2024y / 3 / 5} + 7h + 34min + 5s + 250ms;
  VelmoraEdfRecorder::Settings settings;
  settings.format = GetParam();
  settings.identification.patientCode = "P-17";
  settings.clock = [&] { return now; };
  if (GetParam() == Format::Bdf) settings.uvPerCount = 0.125;  // microvolts; the EDF+ file stays in counts
  VelmoraEdfRecorder recorder;
  ASSERT_TRUE(recorder.open(path, settings)) << recorder.error();
  recorder.linkChanged(Link::Opened, "KovaX");
  for (int k = 0; k < 1900; ++k) {
    if (k == 100) recorder.valueDecoded("vScoreAttention", 40);
    if (k == 512) recorder.valueDecoded("poorSignal", 26);  // the first value of record 1
    if (k == 700) {
      recorder.valueDecoded("vScoreAttention", 60);
      recorder.valueDecoded("eegDelta", 16777215);
      recorder.valueDecoded("eegTheta", 0);
    }
    if (k == 900) {  // unplugged: reported as a removal and then a close
      recorder.linkChanged(Link::Removed, "KovaX");
      recorder.linkChanged(Link::Closed, "KovaX");
      now += 3200ms;
      recorder.linkChanged(Link::Opened, "KovaX");
    }
    if (k == 1200) recorder.valueDecoded("vScoreAttention", 70);
    recorder.rawSampleDecoded(sampleAt(k), k == 600 ? 50 : 0, k == 1100 ? 857 : 0);
  }
  EXPECT_TRUE(recorder.close()) << recorder.error();
  const EdfFile file(path);
  ASSERT_TRUE(file.opened) << "EDFlib error " << file.hdr->filetype;
  EXPECT_EQ(file.hdr->filetype, GetParam() == Format::Bdf ? EDFLIB_FILETYPE_BDFPLUS : EDFLIB_FILETYPE_EDFPLUS);
  const auto& h = *file.hdr;
  EXPECT_EQ(std::vector<long long>({h.startdate_year, h.startdate_month, h.startdate_day, h.starttime_hour,
                                    h.starttime_minute, h.starttime_second, h.starttime_subsecond}),
            std::vector<long long>({2024, 3, 5, 13, 4, 5, 2500000}));
  EXPECT_STREQ(file.hdr->patientcode, "P-17");
  const auto& raw = file.hdr->signalparam[0];
  const double gain = GetParam() == Format::Bdf ? 0.125 : 1;
  EXPECT_EQ(std::make_tuple(raw.phys_min, raw.phys_max, std::string(raw.physdimension)),
            std::make_tuple(-32768 * gain, 32767 * gain, std::string(gain == 1 ? "count   " : "uV      ")));
  // 900 samples and padding to 1024; the reconnection starts a record; 1000
  // more samples and padding to 2048.
  EXPECT_EQ(file.hdr->datarecords_in_file, 4);
  std::vector<int> expected(2048, 0);
  for (int k = 0; k < 1900; ++k) expected[static_cast<size_t>(k < 900 ? k : k + 124)] = sampleAt(k);
  EXPECT_EQ(file.raw, expected);
  const double none = -1, bandNone = GetParam() == Format::Bdf ? -1 : -256;
  const double bandMax = GetParam() == Format::Bdf ? 16777214 : 16776704;
  EXPECT_EQ(file.slow[0], std::vector<double>({none, 26, none, none})) << "quality";
  EXPECT_EQ(file.slow[1], std::vector<double>({40, 60, 70, 70})) << "attention: held, and not across the loss";
  EXPECT_EQ(file.slow[3], std::vector<double>({bandNone, bandMax, bandNone, bandNone})) << "delta";
  EXPECT_EQ(file.slow[4], std::vector<double>({bandNone, 0, bandNone, bandNone})) << "theta";
  EXPECT_EQ(file.annotations,
            std::vector<EdfAnnotation>({{0, -1, "Headset connected: KovaX"}, {600, -1, "Blink"},
                                        {900, -1, "Headset disconnected (port removed)"}, {900, 124, "BAD no data"},
                                        {1024, -1, "Headset reconnected: KovaX (away 3.2 s)"}, {1224, -1, "Beat"},
                                        {2024, 24, "BAD no data"}}));
  ASSERT_EQ(file.events.size(), 2u) << "blink strength and RR interval, sample by sample";
  for (auto [signal, sample, value] : {std::tuple{0, 600, 50}, {1, 1224, 857}}) {
    std::vector<int> pulse(2048, 0);
    pulse[static_cast<size_t>(sample)] = value;
    EXPECT_EQ(file.events[static_cast<size_t>(signal)], pulse) << signal;
  }
  EXPECT_TRUE(!VelmoraEdfRecorder().open(path) && EdfFile(path).opened) << "an existing file is never replaced";
}

std::string formatName(const ::testing::TestParamInfo<Format>& p) { return p.param == Format::Bdf ? "Bdf" : "Edf"; }
INSTANTIATE_TEST_SUITE_P(BdfAndEdf, EdfRecorderFormats, ::testing::Values(Format::Bdf, Format::Edf), formatName);

// Text in any encoding, from a port's name or a host: annotations stay UTF-8 (what is no UTF-8
// becomes U+FFFD), the header printable ASCII with no character made up, the sex 'M', 'F' or 'X'.
TEST(EdfRecorder, AnnotationsStayUtf8AndTheHeaderAsciiWhateverTheText) {
  test::TempDir dir;
  const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
  const std::vector<std::pair<std::optional<char>, std::string>> sexes = {
      {'M', "M"}, {'f', "F"}, {'x', "X"}, {'?', "X"}, {std::nullopt, "X"}};
  for (size_t n = 0; n < sexes.size(); ++n) {
    const std::string path = dir.path() + "/t" + std::to_string(n) + ".bdf";
    VelmoraEdfRecorder::Settings settings;
    settings.identification.sex = sexes[n].first;
    settings.identification.patientName = "T\xC3\xA9" "ch\xC3";  // cut inside its last character
    settings.identification.technician = "\xFF\xE2\x82\xAC!";
    VelmoraEdfRecorder recorder;
    ASSERT_TRUE(recorder.open(path, settings)) << recorder.error();
    recorder.linkChanged(Link::Opened, "Kova\xFF\xFE");
    recorder.annotate("ok \xC3");
    recorder.annotate(std::string(63, 'a') + "\xC3\xA9");  // the limit falls inside the last character
    recorder.annotate("\xE2\x82x\x01");
    for (int k = 0; k < 512; ++k) recorder.rawSampleDecoded(0, 0, 0);
    ASSERT_TRUE(recorder.close()) << recorder.error();
    const std::string header = test::readFile(path).substr(0, 4608);
    ASSERT_EQ(header.size(), 4608u);
    const auto printable = [](char c) { return c >= 0x20 && c < 0x7F; };
    EXPECT_EQ(std::find_if_not(header.begin() + 1, header.end(), printable) - header.begin(), 4608) << n;
    std::istringstream patient(header.substr(8, 80)), recording(header.substr(88, 80));
    std::string code, sex, birth, name, start, date, admin, technician;
    patient >> code >> sex >> birth >> name;
    recording >> start >> date >> admin >> technician;
    EXPECT_EQ(std::tie(sex, name, technician), std::tie(sexes[n].second, "Tech", "\?\?!")) << n;
    const EdfFile file(path);
    ASSERT_TRUE(file.opened);
    EXPECT_EQ(file.annotations, std::vector<EdfAnnotation>({{0, -1, "Headset connected: Kova" + bad + bad},
                                                            {0, -1, "ok " + bad},
                                                            {0, -1, std::string(63, 'a')},
                                                            {0, -1, bad + bad + "x "}}));
  }
}

// A headset lost just as a second ended (a simulator that sends whole
// seconds, then goes) leaves its annotation after the last record: close()
// gives it a record of padding rather than dropping it.
TEST(EdfRecorder, ALossAtTheEndOfARecordIsAnnotatedInAPaddedRecord) {
  test::TempDir dir;
  VelmoraEdfRecorder recorder;
  ASSERT_TRUE(recorder.open(dir.path() + "/end.bdf"));
  for (int k = 0; k < 1024; ++k) recorder.rawSampleDecoded(sampleAt(k), 0, 0);
  recorder.linkChanged(Link::Removed, "KovaX");
  EXPECT_TRUE(recorder.close()) << recorder.error();
  const EdfFile file(dir.path() + "/end.bdf");
  EXPECT_EQ(file.annotations, std::vector<EdfAnnotation>({{1024, -1, "Headset disconnected (port removed)"},
                                                          {1024, 512, "BAD no data"}}));
  EXPECT_EQ(recorder.samplesInFile(), 1024u);
}

TEST(EdfRecorder, AFullDiskEndsTheRecordingAtItsLastWholeRecordAndSaysSo) {
  test::TempDir dir;
  const std::string disk = dir.path() + "/disk";
  std::filesystem::create_directory(disk);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
  test::LogCapture log;
  {
    VelmoraEdfRecorder recorder;
    ASSERT_TRUE(recorder.open(disk + "/full.bdf"));
    for (int k = 0; k < 100 * 512; ++k) recorder.rawSampleDecoded(sampleAt(k), 0, 0);
    EXPECT_FALSE(recorder.close()) << "reported as a failure";
    const EdfFile file(disk + "/full.bdf");
    ASSERT_TRUE(file.opened) << "EDFlib error " << file.hdr->filetype;
    EXPECT_EQ(static_cast<uint64_t>(file.hdr->datarecords_in_file), recorder.recordsWritten());
    EXPECT_EQ(recorder.samplesInFile(), file.raw.size()) << "what the file holds, not what arrived";
    EXPECT_GT(file.raw.size(), 10u * 512);
    for (size_t k = 0; k < file.raw.size(); ++k) ASSERT_EQ(file.raw[k], sampleAt(static_cast<int>(k))) << k;
  }
  ::umount2(disk.c_str(), MNT_DETACH);
  EXPECT_EQ(log.count("VelmoraEdfRecorder: cannot write to " + disk + "/full.bdf: No space left on device"), 1u);
}

// Stopped by Ctrl-C after an unplug and reconnect, the recording holds every sample around the gap
// and the link's annotations; killed, it still opens up to its last whole record, annotations included.
TEST(EdfTool, StreamRecordsAcrossAnUnplugAndAKilledStreamsFileStillOpens) {
  for (const int signal : {SIGINT, SIGKILL}) {
    test::TempDir dir;
    const std::string devices = dir.path() + "/devices", file = dir.path() + "/s.bdf";
    ::mkdir(devices.c_str(), 0700);
    platform::DeviceFolder::setPath(devices);
    sim::SimulatorOptions options;
    options.name = "KovaEdfTool";
    options.speed = 4;
    sim::HeadsetSimulator simulator(options);
    simulator.start();
    ToolProcess tool({"stream", "--json", "--device-dir", devices, "--edf", file});
    auto recordsOnDisk = [&](int n) {  // BDF+: a 4608-byte header, 4983-byte records
      return test::waitUntil([&] {
        tool.stdoutLine(Clock::now() + 50ms);  // keeps the pipe flowing
        std::error_code ec;
        return std::filesystem::file_size(file, ec) >= 4608u + n * 4983u && !ec;
      }, 20s);
    };
    ASSERT_TRUE(recordsOnDisk(3)) << tool.stderrText();
    if (signal == SIGINT) {
      simulator.unplug();
      ASSERT_TRUE(tool.waitForStderr("Waiting for it to come back", Clock::now() + 10s)) << tool.stderrText();
      simulator.replug();
      ASSERT_TRUE(tool.waitForStderr("reconnected to KovaEdfTool", Clock::now() + 10s)) << tool.stderrText();
      ASSERT_TRUE(recordsOnDisk(7)) << tool.stderrText();
    }
    tool.signal(signal);
    const auto status = tool.wait(Clock::now() + 20s);
    ASSERT_TRUE(status.has_value());
    const EdfFile edf(file);
    ASSERT_TRUE(edf.opened) << "after signal " << signal << ": EDFlib error " << edf.hdr->filetype;
    EXPECT_EQ(edf.annotations.at(0), (EdfAnnotation{0, -1, "Headset connected: KovaEdfTool"}));
    // The samples sent, but for those an unplug drops on the way.
    options.durationSeconds = 60;
    const auto sent = test::scanStream(sim::HeadsetSimulator::generateOffline(options)).raw;
    const auto raw = edf.rawWithoutPadding();
    const auto gap = std::mismatch(raw.begin(), raw.end(), sent.begin(), sent.end());
    EXPECT_NE(std::search(gap.second, sent.end(), gap.first, raw.end()), sent.end()) << "after signal " << signal;
    if (signal == SIGKILL) continue;
    EXPECT_TRUE(ToolProcess::exitedWith(*status, 0)) << tool.stderrText();
    EXPECT_NE(tool.stderrText().find("of headset data to " + file), std::string::npos) << tool.stderrText();
    std::vector<std::string> links;
    for (const auto& a : edf.annotations) {
      if (a.text.starts_with("Headset")) links.push_back(a.text.substr(0, a.text.find_first_of("(:")));
      EXPECT_TRUE(!a.text.starts_with("Headset reconnected") || a.sample % 512 == 0) << "a new record";
    }
    EXPECT_EQ(links, std::vector<std::string>({"Headset connected", "Headset disconnected ", "Headset reconnected"}));
  }
}

// The demo's live recording, and the conversion of the stream log it saved,
// hold the same samples, values and analyser events.
TEST(EdfTool, DemoRecordsAndTheConversionOfItsStreamLogAgrees) {
  test::TempDir dir;
  const std::string tmp = dir.path() + "/tmp", csv = dir.path() + "/demo.csv";
  const std::string live = dir.path() + "/live.bdf", converted = dir.path() + "/converted.bdf";
  ::mkdir(tmp.c_str(), 0700);
  const auto demo =
      ToolProcess::run({"demo", "--seconds", "4", "--json", "--save", csv, "--edf", live}, {"TMPDIR=" + tmp});
  ASSERT_EQ(demo.status, 0) << demo.err;
  const auto convert = ToolProcess::run({"convert", csv, "--to", "bdf", "--uv-per-count", "0.5", converted});
  ASSERT_EQ(convert.status, 0) << convert.err;

  const EdfFile a(live), b(converted);
  ASSERT_TRUE(a.opened && b.opened);
  EXPECT_EQ(a.raw.size(), 144u * 512) << "the demo's 144 s of headset time";
  EXPECT_EQ(a.raw, b.raw);
  EXPECT_EQ(std::tie(a.hdr->signalparam[0].phys_max, b.hdr->signalparam[0].phys_max), std::tuple(32767.0, 16383.5))
      << "the conversion's raw signal is in microvolts";
  for (size_t s = 0; s < 3; ++s) EXPECT_EQ(a.slow[s], b.slow[s]) << "quality, attention, meditation";
  EXPECT_GT(*std::max_element(a.slow[3].begin(), a.slow[3].end()), 0) << "band powers, live only";
  auto events = [](const EdfFile& f, const char* kind) {
    auto out = f.annotations;
    std::erase_if(out, [&](const EdfAnnotation& e) { return !e.text.starts_with(kind); });
    return out;
  };
  EXPECT_GE(events(a, "Blink").size(), 3u);
  EXPECT_GE(events(a, "Beat").size(), 30u);
  EXPECT_EQ(events(a, "Blink"), events(b, "Blink"));
  EXPECT_EQ(events(a, "Beat"), events(b, "Beat"));
  EXPECT_EQ(a.events, b.events) << "blink strengths and RR intervals";
  auto start = [](const EdfFile& f) {  // seconds into the day
    const auto& h = *f.hdr;
    return (h.starttime_hour * 60 + h.starttime_minute) * 60 + h.starttime_second + h.starttime_subsecond / 1e7;
  };
  EXPECT_NEAR(start(a), start(b), 0.05) << "both start at the first sample";
}

TEST(EdfTool, ConvertTurnsAStreamLogIntoARecordingAndReplacesNothingOnFailure) {
  test::TempDir dir;
  const std::string d = dir.path() + "/", out = d + "out.bdf";
  std::string log = "Timestamp, Data Type, Value\n1700000000.000000 , [PQ] , 26\n1700000000.0, [ATT], 40\nbad\n";
  for (int k = 0; k < 600; ++k) log += "1.7e9, [RAW], " + std::to_string(k) + (k == 299 ? "\n1.7e9, [HR], 72\n" : "\n");
  std::ofstream(d + "good.csv") << log;
  std::ofstream(d + "noraw.csv") << "Timestamp, Data Type, Value\n1.0 , [PQ] , 26\n";
  std::ofstream(d + "notes.txt") << "hello\n";
  std::ofstream(out) << "keep";
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{d + "missing.csv", out}, 2},          {{d + "notes.txt", out}, 2}, {{d + "good.csv", d + "out.txt"}, 2},
      {{d + "good.csv", "--to", "edf", out}, 2}, {{d + "noraw.csv", out}, 1},
      {{d + "good.csv", "--to", "bdf", out}, 0}};
  for (const auto& [args, expected] : cases) {
    std::vector<std::string> argv{"convert"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto tool = ToolProcess::run(argv);
    ASSERT_EQ(tool.status, expected) << args[0] << tool.err;
    EXPECT_EQ(test::readFile(out) == "keep", expected != 0) << args[0];
  }
  const EdfFile edf(out);
  ASSERT_TRUE(edf.opened);
  EXPECT_EQ(edf.raw.size(), 1024u);
  EXPECT_EQ(edf.raw[599], 599);
  EXPECT_EQ(edf.slow[1], std::vector<double>({40, 40})) << "attention";
  EXPECT_EQ(edf.annotations, std::vector<EdfAnnotation>({{300, -1, "Heart rate 72 bpm"}, {600, 424, "BAD no data"}}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 4) << "no temporary file left";
}

}  // namespace
}  // namespace velmora
