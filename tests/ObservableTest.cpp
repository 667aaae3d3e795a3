// Property observation by key: kinds and indexes of changes, dependent keys
// (transitively, once each even through a cycle), removal, several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/Observable.h"

namespace velmora::platform {
namespace {

// A list with a derived count and a summary that depends on the count.
class Playlist : public Observable {
 public:
  Playlist() {
    declareDependency("count", "items");
    declareDependency("summary", "count");
    declareDependency("items", "summary");  // a cycle must not loop
  }
  void change(Change c) { didChange(std::move(c)); }
};

TEST(Observable, ChangesReachTheKeyThenItsDependentsOnceEachInOrder) {
  Playlist list;
  std::vector<std::string> seen;
  for (const char* key : {"summary", "count", "items"}) {
    list.addObserver(key, [&seen](const Change& c) {
      std::string text = c.key + (c.kind == ChangeKind::Setting ? "=" : c.kind == ChangeKind::Insertion ? "+" : "-");
      for (size_t i : c.indexes) text += std::to_string(i) + ",";
      seen.push_back(text);
    });
  }
  list.change({"items", ChangeKind::Insertion, {2, 0, 2}});  // indexes ascending, once each
  list.change({"items", ChangeKind::Removal, {4}});
  list.change({"count", ChangeKind::Setting, {}});  // through the cycle back to "items"
  list.change({"title", ChangeKind::Setting, {}});  // nobody depends on it
  EXPECT_EQ(seen, (std::vector<std::string>{"items+0,2,", "count=", "summary=", "items-4,", "count=", "summary=",
                                            "count=", "summary=", "items="}));
}

TEST(Observable, RemovedObserversAreNotCalledAndTokensBelongToTheirObject) {
  Playlist a, b;
  int calls = 0;
  auto token = a.addObserver("items", [&](const Change&) { ++calls; });
  b.removeObserver(token);  // another object's token removes nothing here
  a.change({"items", ChangeKind::Setting, {}});
  a.removeObserver(token);
  a.change({"items", ChangeKind::Setting, {}});
  EXPECT_EQ(calls, 1);
}

TEST(Observable, ChangesFromSeveralThreadsReachEveryObserver) {
  Playlist list;
  std::atomic<int> items{0}, counts{0};
  list.addObserver("items", [&](const Change&) { ++items; });
  list.addObserver("count", [&](const Change&) { ++counts; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (size_t i = 0; i < 200; ++i) {
        list.change({"items", ChangeKind::Insertion, {i}});
        list.removeObserver(list.addObserver("title", [](const Change&) {}));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(items.load(), 600);
  EXPECT_EQ(counts.load(), 600);
}

}  // namespace
}  // namespace velmora::platform
