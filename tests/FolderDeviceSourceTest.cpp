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
using test::waitUntil;
using Names = std::vector<std::string>;
namespace fs = std::filesystem;

// The changes a source reports, as text ("+a -b" per change).
class ChangeLog {
 public:
  DeviceSource::ChangeHandler handler() {
    return [this](const std::vector<DeviceRef>& arrived, const std::vector<DeviceRef>& removed) {
      std::string text;
      for (const auto& d : removed) text += (text.empty() ? "-" : " -") + d->name();
      for (const auto& d : arrived) text += (text.empty() ? "+" : " +") + d->name();
      std::lock_guard<std::mutex> g(m_);
      changes_.push_back(text);
      arrived_.insert(arrived_.end(), arrived.begin(), arrived.end());
    };
  }
  Names changes() const {
    std::lock_guard<std::mutex> g(m_);
    return changes_;
  }
  DeviceRef lastArrived() const {
    std::lock_guard<std::mutex> g(m_);
    return arrived_.back();
  }
  bool waitFor(size_t count) const { return waitUntil([&] { return changes().size() >= count; }); }

 private:
  mutable std::mutex m_;
  Names changes_;
  std::vector<DeviceRef> arrived_;
};

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

  test::TempDir dir;
};

TEST_F(FolderDeviceSourceTest, ListsOnlyPublishedLinksOfThisUserToCharacterDevices) {
  TempPty a, b, c;
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
  // Links nobody publishes: made by hand, or left by a publisher that died.
  ASSERT_EQ(::symlink(a.path().c_str(), link("byhand").c_str()), 0);
  ASSERT_EQ(::symlink(b.path().c_str(), link("dead").c_str()), 0);
  std::ofstream(link("dead") + ".lock") << "";
  // Another user's link, or a link to another user's tty (as root only).
  TempPty theirs;
  const bool root = ::geteuid() == 0;
  if (root) {
    DeviceFolder::publish("foreign", a.path());
    ASSERT_EQ(::lchown(link("foreign").c_str(), 65534, 65534), 0);
    DeviceFolder::publish("theirs", theirs.path());
    ASSERT_EQ(::chown(theirs.path().c_str(), 65534, 65534), 0);
  }

  test::LogCapture log;
  const auto devices = FolderDeviceSource().enumerate();
  ASSERT_EQ(names(devices), (Names{"alpha", "beta", "chain"}));
  EXPECT_EQ(devices[0]->calloutPath(), link("alpha"));
  EXPECT_EQ(devices[0]->otherPaths(), Names{b.path()});
  EXPECT_EQ(devices[2]->otherPaths(), Names{c.path()});  // fully resolved
  EXPECT_FALSE(fs::is_symlink(link("dead")));  // left by a publisher that died: removed
  EXPECT_TRUE(fs::is_symlink(link("byhand")));  // no lock file at all: left alone
  EXPECT_EQ(fs::is_symlink(link("foreign")), root);
  EXPECT_EQ(log.lines(), (Names{"Device folder " + dir.path() + ": removed tty.dead, whose publisher has gone",
                                "Device folder " + dir.path() + ": ignored tty.byhand: no process holds "
                                "tty.byhand.lock, so it may be stale"}));
}

// A publisher by hand, as the README shows: the link counts while the shell
// that locked tty.NAME.lock lives, and goes when it is killed.
TEST_F(FolderDeviceSourceTest, ALinkCountsOnlyWhileItsPublisherLives) {
  TempPty pty;
  FolderDeviceSource source;
  ChangeLog changes;
  source.start(changes.handler());
  const char* script = "exec 9>>\"$0.lock\" && flock -n 9 && ln -sfn \"$1\" \"$0\" && exec sleep 60";
  std::string linkPath = link("bridge");
  const char* argv[] = {"sh", "-c", script, linkPath.c_str(), pty.path().c_str(), nullptr};
  pid_t shell = 0;
  ASSERT_EQ(::posix_spawnp(&shell, "sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  ASSERT_TRUE(changes.waitFor(1));
  EXPECT_EQ(names(source.enumerate()), Names{"bridge"});
  // The name is taken while its publisher lives.
  try {
    DeviceFolder::publish("bridge", pty.path());
    ADD_FAILURE() << "published a name that another process publishes";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EBUSY) << e.what();
  }

  ::kill(shell, SIGKILL);
  ::waitpid(shell, nullptr, 0);
  ASSERT_TRUE(changes.waitFor(2));
  EXPECT_EQ(changes.changes(), (Names{"+bridge", "-bridge"}));
  EXPECT_FALSE(fs::is_symlink(linkPath));
  source.stop();
}

TEST_F(FolderDeviceSourceTest, ReportsArrivalsRemovalsReplacementsAndTargetsThatComeAndGo) {
  TempPty first, second, third;
  const std::string folder = dir.path() + "/devices";
  DeviceFolder::setPath(folder);
  DeviceFolder::publish("present", first.path());
  DeviceFolder::publish("late", dir.path() + "/later");  // its target appears later
  FolderDeviceSource source(folder);
  ChangeLog changes;
  source.start(changes.handler());
  const auto present = source.enumerate();
  ASSERT_EQ(names(present), Names{"present"});

  // Each step, and the change it must bring (none for the same target).
  const std::vector<std::pair<std::function<void()>, std::string>> steps = {
      {[&] { DeviceFolder::publish("headset", second.path()); }, "+headset"},
      {[&] { DeviceFolder::publish("headset", second.path()), DeviceFolder::publish("headset", third.path()); },
       "-headset +headset"},
      {[&] { DeviceFolder::unpublish("headset"); }, "-headset"},
      {[&] { ASSERT_EQ(::symlink(third.path().c_str(), (dir.path() + "/later").c_str()), 0); }, "+late"},
      {[&] { first.close(); }, "-present"},  // the pty goes under its link: no event in the folder
      {[&] { fs::remove_all(folder); }, "-late"},
      {[&] { DeviceFolder::publish("again", second.path()); }, "+again"},  // the folder comes back
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    steps[i].first();
    ASSERT_TRUE(changes.waitFor(i + 1)) << steps[i].second;
    EXPECT_EQ(changes.changes()[i], steps[i].second);
    if (i == 0) {
      EXPECT_EQ(source.enumerate(), (std::vector<DeviceRef>{changes.lastArrived(), present[0]}));
    }
  }
  source.stop();
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
  EXPECT_EQ(DeviceFolder::refusal(folder), "");
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
  ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  ASSERT_EQ(::chmod((dir.path() + "/a").c_str(), 0777), 0);  // a folder on the way open to all
  refused(dir.path() + "/a can be changed by other users");
  ASSERT_EQ(::chmod((dir.path() + "/a").c_str(), 0700), 0);

  if (::geteuid() != 0) GTEST_SKIP() << "folders of another user need root to make";
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);  // another user's, with this user's link planted
  refused("uid 65534");
  ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
  const std::string swap = dir.path() + "/swap";  // reached through another user's link
  ASSERT_EQ(::symlink((dir.path() + "/a").c_str(), swap.c_str()), 0);
  ASSERT_EQ(::lchown(swap.c_str(), 65534, 65534), 0);
  EXPECT_NE(DeviceFolder::refusal(swap + "/b/devices").find(swap + " belongs to another user"), std::string::npos);
  EXPECT_EQ(DeviceFolder::refusal(folder), "");
  DeviceFolder::setPath("");
}

}  // namespace
}  // namespace velmora::platform
