#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "VLHrv.h"
#include "support/LogCapture.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// Runs `velmora hrv ARGS` with `input` on stdin, in a scratch directory.
class HrvCommand : public ::testing::Test {
 protected:
  struct Result {
    int status = -1;
    std::string out;
    std::string err;
  };

  void SetUp() override {
    char pattern[] = "/tmp/velmora-hrv-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& text) {
    fs::path p = dir_ / name;
    std::ofstream(p) << text;
    return p;
  }

  static std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  Result run(const std::string& args, const std::string& input = "") {
    fs::path in = write("stdin", input);
    fs::path out = dir_ / "stdout";
    fs::path err = dir_ / "stderr";
    std::string command = std::string("'") + VELMORA_TOOL_PATH + "' hrv " + args + " <'" + in.string() + "' >'" +
                          out.string() + "' 2>'" + err.string() + "'";
    int raw = std::system(command.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }

  fs::path dir_;
};

std::string join(const std::vector<int32_t>& v, const std::string& sep) {
  std::string s;
  for (size_t i = 0; i < v.size(); ++i) s += (i ? sep : "") + std::to_string(v[i]);
  return s;
}

std::vector<int32_t> sample() {
  std::vector<int32_t> rr;
  for (int i = 0; i < 120; ++i) rr.push_back(900 + static_cast<int32_t>(std::lround(60 * std::sin(i * 0.6))));
  return rr;
}

TEST_F(HrvCommand, PrintsTheLibraryResultAsJson) {
  std::vector<int32_t> rr = sample();
  Result r = run("'" + write("rr.txt", join(rr, "\n") + "\n").string() + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("numSamples for Energy Calculation is 128"), std::string::npos);
  EXPECT_EQ(r.out.find("numSamples"), std::string::npos);

  nlohmann::json j = nlohmann::json::parse(r.out);
  std::vector<std::string> keys;
  for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys.size(), 4u);

  // The numbers are the library's own, to the last bit.
  test::LogCapture quiet;
  VLHrv hrv;
  ASSERT_GE(hrv.calculateEnergyLevel(rr.data(), static_cast<int32_t>(rr.size())), 1.0);
  Dictionary expected = hrv.result();
  EXPECT_EQ(j.at("LF").get<double>(), expected.at("LF").asDouble());
  EXPECT_EQ(j.at("HF").get<double>(), expected.at("HF").asDouble());
  EXPECT_EQ(j.at("LF/HF").get<double>(), expected.at("LF/HF").asDouble());
  ASSERT_TRUE(j.at("energy").is_number_integer());
  EXPECT_EQ(j.at("energy").get<int>(), expected.at("energy").asInt());
}

TEST_F(HrvCommand, ReadsStdinAndAnySeparators) {
  std::vector<int32_t> rr = sample();
  Result fromFile = run("'" + write("rr.txt", join(rr, " ")).string() + "'");
  ASSERT_EQ(fromFile.status, 0) << fromFile.err;

  std::string mixed;
  for (size_t i = 0; i < rr.size(); ++i) {
    const char* seps[] = {",", " , ", "\t", "\r\n", "\n\n", ",,"};
    mixed += std::to_string(rr[i]) + seps[i % 6];
  }
  Result dash = run("-", mixed);
  EXPECT_EQ(dash.status, 0) << dash.err;
  EXPECT_EQ(dash.out, fromFile.out);
  Result none = run("", mixed);
  EXPECT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(none.out, fromFile.out);
}

TEST_F(HrvCommand, NonFiniteNumbersAreStrings) {
  Result r = run("", join(std::vector<int32_t>(100, 750), "\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j.at("LF/HF"), "NaN");
  EXPECT_EQ(j.at("LF").get<double>(), 0.0);
  EXPECT_EQ(j.at("energy"), 1);
}

TEST_F(HrvCommand, ShortListsAreRefused) {
  Result r = run("", join(std::vector<int32_t>(64, 1000), ","));
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("Need 64 seconds of data. Total ms = 63000\n"), std::string::npos) << r.err;

  Result empty = run("", "");
  EXPECT_NE(empty.status, 0);
  EXPECT_NE(empty.err.find("Need 64 seconds of data. Total ms = 0"), std::string::npos) << empty.err;
}

TEST_F(HrvCommand, UnreadableInputNamesTheLineAndTheWord) {
  const std::pair<std::string, std::string> cases[] = {
      {"800 900\n1000 abc\n", "line 2: \"abc\" is not an integer"},
      {"800\n900\n0\n", "line 3: \"0\""},
      {"800, -5\n", "line 1: \"-5\""},
      {"800 12.5\n", "line 1: \"12.5\" is not an integer"},
      {"\n\n2147483648\n", "line 3: \"2147483648\" is out of the 32-bit range"},
      {"99999999999999999999999\n", "line 1: \"99999999999999999999999\" is out of the 32-bit range"},
  };
  for (auto& [input, message] : cases) {
    SCOPED_TRACE(input);
    Result r = run("", input);
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }

  Result missing = run("'" + (dir_ / "absent.txt").string() + "'");
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("absent.txt"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace velmora
