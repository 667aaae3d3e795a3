// The notification centre: observers by name, in the order added, on the
// posting thread; changes made while posting take effect from the next post.
// (Its observer list is the one ObservableTest drives from several threads.)
#include <gtest/gtest.h>

#include <any>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"

namespace velmora::platform {
namespace {

TEST(NotificationCenter, ObserversOfTheNameRunInOrderOnThePostingThread) {
  NotificationCenter center;
  std::vector<std::string> calls;
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
  EXPECT_EQ(calls, (std::vector<std::string>{"first 3", "second"}));
  calls.clear();
  std::thread([&] { center.post(Notification{"Tick", &sender, {{"CountKey", 4}}}); }).join();
  EXPECT_EQ(calls, (std::vector<std::string>{"first 4", "added"}));
}

}  // namespace
}  // namespace velmora::platform
