// `velmora decode`: one JSON line per packet that wrote values, from a file
// or stdin, streamed in blocks.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim/PacketEncoder.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using sim::PacketEncoder;
using Bytes = std::vector<uint8_t>;

class DecodeCommandTest : public ::testing::Test {
 protected:
  DecodeCommandTest() {
    std::string pattern = (fs::temp_directory_path() / "velmora-decode-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  ~DecodeCommandTest() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string write(const Bytes& bytes) {
    const std::string path = dir_ + "/capture.bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  struct Result {
    int status = -1;
    std::vector<json> lines;
    std::string err;
  };

  // Runs `velmora decode` with `args` (shell syntax) and parses its stdout.
  Result run(const std::string& args) {
    const std::string errPath = dir_ + "/stderr.txt";
    const std::string command = std::string("'") + VELMORA_TOOL_PATH + "' decode " + args + " 2>'" + errPath + "'";
    Result r;
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) return r;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, n);
    const int raw = ::pclose(out);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) r.lines.push_back(json::parse(line));
    std::ifstream errIn(errPath);
    std::stringstream ss;
    ss << errIn.rdbuf();
    r.err = ss.str();
    return r;
  }

  std::string dir_;
};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(DecodeCommandTest, PrintsWhatEachVerifiedPacketWrote) {
  Bytes stream = PacketEncoder::rawPacket(16);
  stream.insert(stream.end(), {0x00, 0x17});  // dropped before sync
  PacketEncoder::appendPacket(
      stream, concat({PacketEncoder::poorSignalRow(26), PacketEncoder::attentionRow(10), PacketEncoder::attentionRow(40)}));
  Bytes bad = PacketEncoder::packet(PacketEncoder::meditationRow(5));
  bad.back() ^= 1;
  stream.insert(stream.end(), bad.begin(), bad.end());
  PacketEncoder::appendPacket(stream, PacketEncoder::heartRateRow(72));  // writes no key
  // Nor does a zero-length packet: AA AA 00, then one byte that is summed
  // but not stored (the encoder's FF), then its checksum 00.
  PacketEncoder::appendPacket(stream, {});
  stream.push_back(0x00);
  PacketEncoder::appendPacket(stream, PacketEncoder::bandPowerRow({1, 2, 3, 4, 5, 6, 7, 0xFFFFFF}));
  PacketEncoder::appendPacket(stream, concat({PacketEncoder::rawRow(1), PacketEncoder::rawRow(-2),
                                              PacketEncoder::meditationRow(9), PacketEncoder::rawRow(3)}));
  const std::string path = write(stream);

  const std::vector<json> expected = {
      {{"raw", {16}}},
      {{"poorSignal", 26}, {"vScoreAttention", 40}},
      {{"eegDelta", 1},
       {"eegTheta", 2},
       {"eegLowAlpha", 3},
       {"eegHighAlpha", 4},
       {"eegLowBeta", 5},
       {"eegHighBeta", 6},
       {"eegLowGamma", 7},
       {"eegHighGamma", 16777215}},
      {{"raw", {1, -2, 3}}, {"vScoreMeditation", 9}},
  };
  for (const std::string& args : {"'" + path + "'", "- <'" + path + "'", "<'" + path + "'"}) {
    SCOPED_TRACE(args);
    const Result r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.lines, expected);
    // Log lines go to stderr only.
    EXPECT_NE(r.err.find("VelmoraObjC: Initialized. Version: 5\n"), std::string::npos);
    EXPECT_NE(r.err.find("poor signal 26\n"), std::string::npos);
    EXPECT_NE(r.err.find("VLAccessory: Checksum error: expected "), std::string::npos);
  }
}

// Packets of 8 and 6 bytes never line up with the tool's read blocks, so some
// are split between two reads.
TEST_F(DecodeCommandTest, LargeInputIsDecodedAcrossReadBlocks) {
  Bytes stream;
  constexpr int kPackets = 24000;
  for (int k = 0; k < kPackets; ++k) {
    if (k % 2 == 0) {
      PacketEncoder::appendPacket(stream, PacketEncoder::rawRow(static_cast<int16_t>(k % 150 - 75)));
    } else {
      PacketEncoder::appendPacket(stream, PacketEncoder::attentionRow(static_cast<uint8_t>(k % 256)));
    }
  }
  ASSERT_GT(stream.size(), 2u * 65536);
  const Result r = run("'" + write(stream) + "'");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.lines.size(), static_cast<size_t>(kPackets));
  for (int k = 0; k < kPackets; ++k) {
    const json want = k % 2 == 0 ? json{{"raw", {k % 150 - 75}}} : json{{"vScoreAttention", k % 256}};
    ASSERT_EQ(r.lines[static_cast<size_t>(k)], want) << k;
  }
}

TEST_F(DecodeCommandTest, AnyBytesExitZeroAndUnreadableInputExitsOne) {
  std::mt19937 random(7);
  Bytes noise(100000);
  for (auto& b : noise) b = static_cast<uint8_t>(random() % 3 == 0 ? 0xAA : random());
  const Result r = run("'" + write(noise) + "'");
  EXPECT_EQ(r.status, 0);

  const Result missing = run("'" + dir_ + "/absent.bin'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(missing.lines.empty());
  EXPECT_NE(missing.err.find("absent.bin: No such file or directory"), std::string::npos);
}

}  // namespace
}  // namespace velmora
