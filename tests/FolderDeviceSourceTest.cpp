#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/DeviceFolder.h"
#include "platform/FolderDeviceSource.h"
#include "support/LogCapture.h"
#include "support/TempPty.h"

namespace velmora::platform {
namespace {

using test::TempDir;
using test::TempPty;
using test::waitUntil;

std::vector<std::string> names(const std::vector<DeviceRef>& devices) {
  std::vector<std::string> result;
  for (const auto& d : devices) result.push_back(d->name());
  return result;
}

// Records the changes a source reports, from its watcher thread.
class ChangeLog {
 public:
  DeviceSource::ChangeHandler handler() {
    return [this](const std::vector<DeviceRef>& arrived, const std::vector<DeviceRef>& removed) {
      std::lock_guard<std::mutex> g(m_);
      changes_.push_back({arrived, removed});
    };
  }
  struct Change {
    std::vector<DeviceRef> arrived, removed;
  };
  std::vector<Change> changes() const {
    std::lock_guard<std::mutex> g(m_);
    return changes_;
  }
  size_t size() const { return changes().size(); }
  // Names of all devices that arrived (or were removed), in order.
  std::vector<std::string> arrivedNames() const {
    std::vector<std::string> result;
    for (const auto& c : changes())
      for (const auto& d : c.arrived) result.push_back(d->name());
    return result;
  }
  std::vector<std::string> removedNames() const {
    std::vector<std::string> result;
    for (const auto& c : changes())
      for (const auto& d : c.removed) result.push_back(d->name());
    return result;
  }
  bool waitFor(size_t count) {
    return waitUntil([&] { return size() >= count; });
  }

 private:
  mutable std::mutex m_;
  std::vector<Change> changes_;
};

class FolderDeviceSourceTest : public ::testing::Test {
 protected:
  void SetUp() override { DeviceFolder::setPath(dir.path()); }
  void TearDown() override { DeviceFolder::setPath(""); }
  std::string link(const std::string& name) const { return dir.path() + "/tty." + name; }

  TempDir dir;
};

TEST_F(FolderDeviceSourceTest, ListsOnlyLinksToCharacterDevicesSortedByName) {
  TempPty a, b;
  DeviceFolder::publish("beta", a.path());
  DeviceFolder::publish("alpha", b.path());
  DeviceFolder::publish("gone", dir.path() + "/nothing-here");  // dangling
  std::ofstream(dir.path() + "/regular") << "x";
  DeviceFolder::publish("file", dir.path() + "/regular");  // not a character device
  std::ofstream(link("plain")) << "x";                      // not a link
  ASSERT_EQ(::symlink(a.path().c_str(), (dir.path() + "/other").c_str()), 0);  // no "tty." prefix
  ASSERT_EQ(::symlink(a.path().c_str(), (dir.path() + "/tty.").c_str()), 0);   // no NAME

  FolderDeviceSource source;  // the folder set with DeviceFolder::setPath()
  auto devices = source.enumerate();
  ASSERT_EQ(names(devices), (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_EQ(devices[0]->calloutPath(), link("alpha"));
  EXPECT_EQ(devices[0]->otherPaths(), std::vector<std::string>{b.path()});
  EXPECT_EQ(devices[1]->calloutPath(), link("beta"));
  EXPECT_EQ(devices[1]->otherPaths(), std::vector<std::string>{a.path()});
}

TEST_F(FolderDeviceSourceTest, FurtherPathIsTheFullyResolvedTarget) {
  TempPty pty;
  std::string hop = dir.path() + "/hop";
  ASSERT_EQ(::symlink(pty.path().c_str(), hop.c_str()), 0);
  // A relative link through another link.
  ASSERT_EQ(::symlink("hop", link("chain").c_str()), 0);
  auto devices = FolderDeviceSource::scan(dir.path(), {});
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->name(), "chain");
  EXPECT_EQ(devices[0]->otherPaths(), std::vector<std::string>{pty.path()});
}

TEST_F(FolderDeviceSourceTest, MissingFolderListsNothing) {
  FolderDeviceSource source(dir.path() + "/does-not-exist");
  EXPECT_TRUE(source.enumerate().empty());
}

TEST_F(FolderDeviceSourceTest, ReportsPublishUnpublishAndVanishedTargets) {
  TempPty first, second;
  DeviceFolder::publish("present", first.path());
  FolderDeviceSource source;
  ChangeLog log;
  source.start(log.handler());
  auto present = source.enumerate();
  ASSERT_EQ(names(present), std::vector<std::string>{"present"});

  DeviceFolder::publish("headset", second.path());
  ASSERT_TRUE(log.waitFor(1));
  auto change = log.changes()[0];
  EXPECT_TRUE(change.removed.empty());
  ASSERT_EQ(change.arrived.size(), 1u);
  EXPECT_EQ(change.arrived[0]->name(), "headset");
  EXPECT_EQ(change.arrived[0]->calloutPath(), link("headset"));
  EXPECT_EQ(change.arrived[0]->otherPaths(), std::vector<std::string>{second.path()});
  // The listing hands out the very objects the events carried.
  auto listed = source.enumerate();
  ASSERT_EQ(names(listed), (std::vector<std::string>{"headset", "present"}));
  EXPECT_EQ(listed[0], change.arrived[0]);
  EXPECT_EQ(listed[1], present[0]);

  DeviceFolder::unpublish("headset");
  ASSERT_TRUE(log.waitFor(2));
  change = log.changes()[1];
  EXPECT_TRUE(change.arrived.empty());
  ASSERT_EQ(change.removed.size(), 1u);
  EXPECT_EQ(change.removed[0], listed[0]);

  // The pty goes away under its link: no event in the folder, yet removed.
  first.close();
  ASSERT_TRUE(log.waitFor(3));
  change = log.changes()[2];
  ASSERT_EQ(change.removed.size(), 1u);
  EXPECT_EQ(change.removed[0], present[0]);
  EXPECT_TRUE(source.enumerate().empty());
  source.stop();
}

TEST_F(FolderDeviceSourceTest, ReplacedLinkIsAChangeOnlyWhenItsTargetChanges) {
  TempPty first, second;
  FolderDeviceSource source;
  ChangeLog log;
  source.start(log.handler());

  DeviceFolder::publish("headset", first.path());
  ASSERT_TRUE(log.waitFor(1));
  DeviceRef original = log.changes()[0].arrived.at(0);

  // Same target: no change.  The marker's arrival, published afterwards,
  // must be the very next change.
  DeviceFolder::publish("headset", first.path());
  DeviceFolder::publish("marker", second.path());
  ASSERT_TRUE(log.waitFor(2));
  ASSERT_EQ(names(log.changes()[1].arrived), std::vector<std::string>{"marker"});
  EXPECT_TRUE(log.changes()[1].removed.empty());

  // Another target: the old device goes and a new one comes, in one change.
  DeviceFolder::publish("headset", second.path());
  ASSERT_TRUE(log.waitFor(3));
  auto change = log.changes()[2];
  ASSERT_EQ(change.removed.size(), 1u);
  EXPECT_EQ(change.removed[0], original);
  ASSERT_EQ(change.arrived.size(), 1u);
  EXPECT_EQ(change.arrived[0]->calloutPath(), link("headset"));
  EXPECT_EQ(change.arrived[0]->otherPaths(), std::vector<std::string>{second.path()});
  source.stop();
}

TEST_F(FolderDeviceSourceTest, DanglingLinkArrivesWhenItsTargetAppears) {
  FolderDeviceSource source;
  ChangeLog log;
  std::string target = dir.path() + "/later";
  DeviceFolder::publish("late", target);
  source.start(log.handler());
  EXPECT_TRUE(source.enumerate().empty());

  // Any character device will do as the appearing target.
  ASSERT_EQ(::symlink("/dev/null", target.c_str()), 0);
  ASSERT_TRUE(log.waitFor(1));
  ASSERT_EQ(names(log.changes()[0].arrived), std::vector<std::string>{"late"});
  source.stop();
}

TEST_F(FolderDeviceSourceTest, FolderRemovedAndRecreated) {
  TempPty pty;
  std::string folder = dir.path() + "/devices";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(pty.path().c_str(), (folder + "/tty.one").c_str()), 0);
  FolderDeviceSource source(folder);
  ChangeLog log;
  source.start(log.handler());

  std::filesystem::remove_all(folder);
  ASSERT_TRUE(waitUntil([&] { return !log.removedNames().empty(); }));
  EXPECT_EQ(log.removedNames(), std::vector<std::string>{"one"});

  // The folder comes back (as DeviceFolder::path() would make it again).
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(pty.path().c_str(), (folder + "/tty.two").c_str()), 0);
  ASSERT_TRUE(waitUntil([&] { return !log.arrivedNames().empty(); }));
  EXPECT_EQ(log.arrivedNames(), std::vector<std::string>{"two"});
  EXPECT_EQ(names(source.enumerate()), std::vector<std::string>{"two"});
  source.stop();
}

}  // namespace
}  // namespace velmora::platform
