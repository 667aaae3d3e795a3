#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/Observable.h"

namespace velmora::platform {
namespace {

// A small observable model: a list with a derived count and a derived
// summary that depends on the count.
class Playlist : public Observable {
 public:
  Playlist() {
    declareDependency("count", "items");
    declareDependency("summary", "count");
    declareDependency("items", "summary");  // a cycle must not loop
  }
  void insert(std::vector<size_t> at) { didChange(Change{"items", ChangeKind::Insertion, std::move(at)}); }
  void remove(std::vector<size_t> at) { didChange(Change{"items", ChangeKind::Removal, std::move(at)}); }
  void replaceAll() { didChange("items"); }
  void rename() { didChange("title"); }
  void recount() { didChange("count"); }
};

struct Recorder {
  std::vector<Change> changes;
  Observable::Observer observer() {
    return [this](const Change& c) { changes.push_back(c); };
  }
};

TEST(Observable, ObserversLearnTheKindAndTheIndexesOfEachChange) {
  Playlist list;
  Recorder items;
  list.addObserver("items", items.observer());
  list.insert({2, 0, 2});
  list.remove({4});
  list.replaceAll();
  list.rename();
  ASSERT_EQ(items.changes.size(), 3u);
  EXPECT_EQ(items.changes[0].key, "items");
  EXPECT_EQ(items.changes[0].kind, ChangeKind::Insertion);
  EXPECT_EQ(items.changes[0].indexes, (std::vector<size_t>{0, 2}));  // ascending, once each
  EXPECT_EQ(items.changes[1].kind, ChangeKind::Removal);
  EXPECT_EQ(items.changes[1].indexes, (std::vector<size_t>{4}));
  EXPECT_EQ(items.changes[2].kind, ChangeKind::Setting);
  EXPECT_TRUE(items.changes[2].indexes.empty());
}

TEST(Observable, DependentKeysAreAnnouncedAsSettingsAfterTheChangedKey) {
  Playlist list;
  std::vector<std::string> order;
  Recorder count;
  Recorder summary;
  list.addObserver("summary", [&](const Change& c) {
    order.push_back("summary");
    summary.changes.push_back(c);
  });
  list.addObserver("count", [&](const Change& c) {
    order.push_back("count");
    count.changes.push_back(c);
  });
  list.addObserver("items", [&](const Change&) { order.push_back("items"); });
  list.insert({1});
  EXPECT_EQ(order, (std::vector<std::string>{"items", "count", "summary"}));
  ASSERT_EQ(count.changes.size(), 1u);
  EXPECT_EQ(count.changes[0].key, "count");
  EXPECT_EQ(count.changes[0].kind, ChangeKind::Setting);
  EXPECT_TRUE(count.changes[0].indexes.empty());
  ASSERT_EQ(summary.changes.size(), 1u);
  EXPECT_EQ(summary.changes[0].key, "summary");

  // A change of "count" itself reaches "summary" and, through the cycle,
  // "items", each once; an unrelated key reaches nobody.
  order.clear();
  list.recount();
  EXPECT_EQ(order, (std::vector<std::string>{"count", "summary", "items"}));
  order.clear();
  list.rename();
  EXPECT_TRUE(order.empty());
}

TEST(Observable, RemovedObserversAreNotCalledAndTokensBelongToTheirObject) {
  Playlist a;
  Playlist b;
  int calls = 0;
  auto token = a.addObserver("items", [&](const Change&) { ++calls; });
  b.removeObserver(token);  // another object's token removes nothing here
  a.replaceAll();
  a.removeObserver(token);
  a.replaceAll();
  EXPECT_EQ(calls, 1);
}

TEST(Observable, ChangesFromSeveralThreadsReachEveryObserver) {
  Playlist list;
  std::atomic<int> items{0};
  std::atomic<int> counts{0};
  list.addObserver("items", [&](const Change&) { ++items; });
  list.addObserver("count", [&](const Change&) { ++counts; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        list.insert({static_cast<size_t>(i)});
        auto token = list.addObserver("title", [](const Change&) {});
        list.removeObserver(token);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(items.load(), 600);
  EXPECT_EQ(counts.load(), 600);
}

}  // namespace
}  // namespace velmora::platform
