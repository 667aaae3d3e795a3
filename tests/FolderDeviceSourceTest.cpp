// The device folder and its source: which links are listed (published, this
// user's, to a character device), publishers that die, changes as the
// watcher reports them, and the trust placed in the folder itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "platform/DeviceFolder.h"
#include "platform/FolderDeviceSource.h"
#include "support/LogCapture.h"
#include "support/TempPty.h"

extern char** environ;

namespace velmora::platform {
namespace {

using test::TempPty;
using Names = std::vector<std::string>;
namespace fs = std::filesystem;

Names names(const std::vector<DeviceRef>& devices) {
  Names result;
  for (const auto& d : devices) result.push_back(d->name());
  return result;
}

class FolderDeviceSourceTest : public ::testing::Test {
 protected:
  void SetUp() override { DeviceFolder::setPath(dir.path()); }
  void TearDown() override { DeviceFolder::setPath(""); }
  std::string link(const std::string& name) const { return dir.path() + "/tty." + name; }

  // Starts `source`, recording each change as text ("-a +b").
  void watch(FolderDeviceSource& source) {
    source.start([this](const std::vector<DeviceRef>& arrived, const std::vector<DeviceRef>& removed) {
      std::string text;
      for (const auto& d : removed) text += (text.empty() ? "-" : " -") + d->name();
      for (const auto& d : arrived) text += (text.empty() ? "+" : " +") + d->name();
      std::lock_guard<std::mutex> g(mutex);
      changes.push_back(text);
      if (!arrived.empty()) lastArrived = arrived.back();
    });
  }
  Names waitFor(size_t count) {
    test::waitUntil([&] { return seen().size() >= count; });
    return seen();
  }
  Names seen() {
    std::lock_guard<std::mutex> g(mutex);
    return changes;
  }

  test::TempDir dir;
  std::mutex mutex;
  Names changes;
  DeviceRef lastArrived;
};

TEST_F(FolderDeviceSourceTest, ListsOnlyPublishedLinksOfThisUserToCharacterDevices) {
  TempPty a, b, c, theirs;
  DeviceFolder::publish("beta", a.path());
  DeviceFolder::publish("alpha", b.path());
  ASSERT_EQ(::symlink(c.path().c_str(), (dir.path() + "/hop").c_str()), 0);
  DeviceFolder::publish("chain", "hop");  // relative, through another link
  DeviceFolder::publish("gone", dir.path() + "/nothing-here");
  std::ofstream(dir.path() + "/regular") << "x";
  DeviceFolder::publish("file", dir.path() + "/regular");
  std::ofstream(link("plain")) << "x";
  ASSERT_EQ(::symlink(a.path().c_str(), (dir.path() + "/other").c_str()), 0);  // no "tty." prefix
  ASSERT_EQ(::symlink(a.path().c_str(), link("").c_str()), 0);                 // no NAME
  // Links nobody publishes: left by a publisher that died, or made by hand.
  ASSERT_EQ(::symlink(b.path().c_str(), link("dead").c_str()), 0);
  std::ofstream(link("dead") + ".lock") << "";
  ASSERT_EQ(::symlink(a.path().c_str(), link("byhand").c_str()), 0);
  const bool root = ::geteuid() == 0;  // another user's link, or a link to another user's tty
  if (root) {
    DeviceFolder::publish("foreign", a.path());
    DeviceFolder::publish("theirs", theirs.path());
    ASSERT_EQ(::lchown(link("foreign").c_str(), 65534, 65534) | ::chown(theirs.path().c_str(), 65534, 65534), 0);
  }

  test::LogCapture log;
  const auto devices = FolderDeviceSource().enumerate();
  ASSERT_EQ(names(devices), (Names{"alpha", "beta", "chain"}));
  EXPECT_EQ(devices[0]->calloutPath(), link("alpha"));
  EXPECT_EQ(devices[0]->otherPaths(), Names{b.path()});
  EXPECT_EQ(devices[2]->otherPaths(), Names{c.path()});  // fully resolved
  EXPECT_FALSE(fs::is_symlink(link("dead")));
  EXPECT_TRUE(fs::is_symlink(link("byhand")) && fs::is_symlink(link("foreign")) == root);
  EXPECT_EQ(log.lines(), (Names{"Device folder " + dir.path() + ": removed tty.dead, whose publisher has gone",
                                "Device folder " + dir.path() +
                                    ": ignored tty.byhand: no process holds "
                                    "tty.byhand.lock, so it may be stale"}));
}

TEST_F(FolderDeviceSourceTest, ReportsArrivalsRemovalsReplacementsPublishersAndTargetsThatComeAndGo) {
  TempPty first, second, third;
  const std::string folder = dir.path() + "/devices", bridge = folder + "/tty.bridge";
  DeviceFolder::setPath(folder);
  // "present" reaches its pty through a link of the test's own, which can vanish
  // without its number being given to another pty at once, as a closed pty's is.
  ASSERT_EQ(::symlink(first.path().c_str(), (dir.path() + "/node").c_str()), 0);
  DeviceFolder::publish("present", dir.path() + "/node");
  DeviceFolder::publish("late", dir.path() + "/later");  // its target appears later
  FolderDeviceSource source(folder);
  watch(source);
  const auto present = source.enumerate();
  ASSERT_EQ(names(present), Names{"present"});
  // A publisher by hand, as the README shows: a shell that locks tty.NAME.lock.
  const char* argv[] = {"sh",
                        "-c",
                        "exec 9>>\"$0.lock\" && flock -n 9 && ln -sfn \"$1\" \"$0\" && exec sleep 60",
                        bridge.c_str(),
                        third.path().c_str(),
                        nullptr};
  pid_t shell = 0;
  // Each step, and the one change it must bring.
  const std::pair<std::function<void()>, std::string> steps[] = {
      {[&] { DeviceFolder::publish("headset", second.path()); }, "+headset"},
      {[&] { DeviceFolder::publish("headset", second.path()), DeviceFolder::publish("headset", third.path()); },
       "-headset +headset"},  // the same target again is no change, another is
      {[&] { DeviceFolder::unpublish("headset"); }, "-headset"},
      {[&] { EXPECT_EQ(::symlink(third.path().c_str(), (dir.path() + "/later").c_str()), 0); }, "+late"},
      {[&] { fs::remove(dir.path() + "/node"); }, "-present"},  // the target goes: no event in the folder
      {[&] { ::posix_spawnp(&shell, "sh", nullptr, nullptr, const_cast<char**>(argv), environ); }, "+bridge"},
      {[&] {
         EXPECT_THROW(DeviceFolder::publish("bridge", second.path()), std::system_error);  // taken while it lives
         ::kill(shell, SIGKILL), ::waitpid(shell, nullptr, 0);
       },
       "-bridge"},
      {[&] { fs::remove_all(folder), DeviceFolder::unpublish("late"); EXPECT_FALSE(fs::exists(folder)); }, "-late"},
      {[&] { DeviceFolder::publish("again", second.path()); }, "+again"},  // the folder comes back
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    steps[i].first();
    const Names now = waitFor(i + 1);
    ASSERT_GT(now.size(), i) << steps[i].second;
    EXPECT_EQ(now[i], steps[i].second);
    if (i == 0) {
      std::lock_guard<std::mutex> g(mutex);
      EXPECT_EQ(source.enumerate(), (std::vector<DeviceRef>{lastArrived, present[0]}));  // the same objects
    }
  }
  EXPECT_EQ(seen().size(), std::size(steps));
}

TEST(DeviceFolder, IsCreatedOwnerOnlyAndRefusedWhenOtherUsersCouldReachIt) {
  test::TempDir dir;
  const mode_t oldMask = ::umask(0);
  DeviceFolder::setPath(dir.path() + "/a/b/devices");
  const std::string folder = DeviceFolder::path();
  ::umask(oldMask);
  for (const char* sub : {"/a", "/a/b", "/a/b/devices"}) {
    EXPECT_EQ(fs::status(dir.path() + sub).permissions(), fs::perms::owner_all) << sub;
  }
  TempPty pty;
  DeviceFolder::publish("KovaOne", pty.path());
  test::LogCapture log;
  auto refused = [&](const std::string& why) {
    FolderDeviceSource source(folder);
    EXPECT_TRUE(source.enumerate().empty() && source.enumerate().empty()) << why;
    ASSERT_EQ(log.lines(), Names{"Device folder " + folder + " refused: " + DeviceFolder::refusal(folder)}) << why;
    EXPECT_NE(log.lines()[0].find(why), std::string::npos) << log.lines()[0];
    EXPECT_THROW(DeviceFolder::publish("Another", pty.path()), std::system_error);
    log.clear();
  };
  ASSERT_EQ(::chmod(folder.c_str(), 0750), 0);
  refused("mode 0750");
  ASSERT_EQ(::chmod(folder.c_str(), 0700) | ::chmod((dir.path() + "/a").c_str(), 0777), 0);
  refused(dir.path() + "/a can be changed by other users");  // a folder on the way, open to all
  ASSERT_EQ(::chmod((dir.path() + "/a").c_str(), 0700), 0);
  EXPECT_EQ(DeviceFolder::refusal(folder), "");
  if (::geteuid() != 0) GTEST_SKIP() << "folders and links of another user need root to make";
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);  // another user's, with this user's link planted
  refused("uid 65534");
  const std::string swap = dir.path() + "/swap";  // reached through another user's link
  ASSERT_EQ(::symlink((dir.path() + "/a").c_str(), swap.c_str()) | ::lchown(swap.c_str(), 65534, 65534), 0);
  EXPECT_NE(DeviceFolder::refusal(swap + "/b/devices").find(swap + " belongs to another user"), std::string::npos);
  DeviceFolder::setPath("");
}

}  // namespace
}  // namespace velmora::platform
