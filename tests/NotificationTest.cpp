#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"

namespace velmora::platform {
namespace {

TEST(NotificationCenter, ObserversOfTheNameRunInOrderWithSenderAndUserInfo) {
  NotificationCenter center;
  std::vector<std::string> calls;
  int sender = 0;
  center.addObserver("Tick", [&](const Notification& n) {
    calls.push_back("first");
    EXPECT_EQ(n.sender, &sender);
    EXPECT_EQ(std::any_cast<int>(n.userInfo.at("CountKey")), 3);
  });
  center.addObserver("Other", [&](const Notification&) { calls.push_back("other"); });
  center.addObserver("Tick", [&](const Notification&) { calls.push_back("second"); });

  center.post(Notification{"Tick", &sender, {{"CountKey", 3}}});
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
  center.post(Notification{"Nobody", nullptr, {}});
  EXPECT_EQ(calls.size(), 2u);
}

TEST(NotificationCenter, RemovedObserversAreNotCalledAgain) {
  NotificationCenter center;
  int a = 0;
  int b = 0;
  auto tokenA = center.addObserver("N", [&](const Notification&) { ++a; });
  center.addObserver("N", [&](const Notification&) { ++b; });
  center.post({"N", nullptr, {}});
  center.removeObserver(tokenA);
  center.removeObserver(tokenA);  // twice, or an unknown token: ignored
  center.removeObserver(999999);
  center.post({"N", nullptr, {}});
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
}

TEST(NotificationCenter, ChangesMadeByObserversTakeEffectFromTheNextPost) {
  NotificationCenter center;
  std::vector<std::string> calls;
  NotificationCenter::Token second = 0;
  bool added = false;
  center.addObserver("N", [&](const Notification&) {
    calls.push_back("first");
    center.removeObserver(second);
    if (!added) {
      added = true;
      center.addObserver("N", [&](const Notification&) { calls.push_back("added"); });
    }
  });
  second = center.addObserver("N", [&](const Notification&) { calls.push_back("second"); });
  center.post({"N", nullptr, {}});
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
  calls.clear();
  center.post({"N", nullptr, {}});
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "added"}));
}

TEST(NotificationCenter, ObserversRunOnThePostingThread) {
  auto& center = NotificationCenter::shared();
  EXPECT_EQ(&center, &NotificationCenter::shared());
  std::thread::id observedOn;
  auto token = center.addObserver(kSystemWillSleepNotification,
                                  [&](const Notification&) { observedOn = std::this_thread::get_id(); });
  std::thread poster([&] { center.post({kSystemWillSleepNotification, nullptr, {}}); });
  const std::thread::id posterId = poster.get_id();
  poster.join();
  center.removeObserver(token);
  EXPECT_EQ(observedOn, posterId);
}

TEST(NotificationCenter, ConcurrentPostsAndRegistrationsAreSafe) {
  NotificationCenter center;
  std::atomic<int> calls{0};
  center.addObserver("N", [&](const Notification&) { ++calls; });
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      auto t = center.addObserver("N", [&](const Notification&) { ++calls; });
      center.removeObserver(t);
    }
  });
  std::vector<std::thread> posters;
  for (int p = 0; p < 2; ++p) {
    posters.emplace_back([&] {
      for (int i = 0; i < 500; ++i) center.post({"N", nullptr, {}});
    });
  }
  for (auto& t : posters) t.join();
  stop = true;
  churn.join();
  EXPECT_GE(calls.load(), 1000);
}

}  // namespace
}  // namespace velmora::platform
