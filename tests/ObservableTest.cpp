// Observation: notifications by name and property changes by key (on one
// observer list): in the order added, on the posting or changing thread;
// changes made by observers take effect from the next call.
#include <gtest/gtest.h>

#include <any>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Observable.h"

namespace velmora::platform {
namespace {

using Texts = std::vector<std::string>;

TEST(NotificationCenter, ObserversOfTheNameRunInOrderOnThePostingThread) {
  NotificationCenter center;
  Texts calls;
  int sender = 0;
  NotificationCenter::Token second = 0;
  center.addObserver("Tick", [&](const Notification& n) {
    calls.push_back("first " + std::to_string(std::any_cast<int>(n.userInfo.at("CountKey"))) +
                    (n.sender == &sender ? "" : " from a stranger"));
    center.removeObserver(second);
    center.removeObserver(second);  // twice, or an unknown token: ignored
    center.addObserver("Tick", [&](const Notification&) { calls.push_back("added"); });
  });
  center.addObserver("Other", [&](const Notification&) { calls.push_back("other"); });
  second = center.addObserver("Tick", [&](const Notification&) { calls.push_back("second"); });
  center.post(Notification{"Tick", &sender, {{"CountKey", 3}}});
  std::thread([&] { center.post(Notification{"Tick", &sender, {{"CountKey", 4}}}); }).join();
  EXPECT_EQ(calls, (Texts{"first 3", "second", "first 4", "added"}));
}

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
  Playlist list, other;
  Texts seen;
  for (const char* key : {"summary", "count", "items"}) {
    list.addObserver(key, [&seen](const Change& c) {
      std::string text = c.key + (c.kind == ChangeKind::Setting ? "=" : c.kind == ChangeKind::Insertion ? "+" : "-");
      for (size_t i : c.indexes) text += std::to_string(i) + ",";
      seen.push_back(text);
    });
  }
  const auto gone = list.addObserver("items", [&](const Change&) { seen.push_back("removed observer"); });
  other.removeObserver(gone);                                // another object's token removes nothing here
  list.change({"items", ChangeKind::Insertion, {2, 0, 2}});  // indexes ascending, once each
  list.removeObserver(gone);
  list.change({"items", ChangeKind::Removal, {4}});
  list.change({"count", ChangeKind::Setting, {}});  // through the cycle back to "items"
  list.change({"title", ChangeKind::Setting, {}});  // nobody depends on it
  EXPECT_EQ(seen, (Texts{"items+0,2,", "removed observer", "count=", "summary=", "items-4,",
                         "count=", "summary=", "count=", "summary=", "items="}));
}

}  // namespace
}  // namespace velmora::platform
