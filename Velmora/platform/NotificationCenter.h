// The process-wide notification centre: post and observe notifications by
// name, with a sender and a user-info map.
//
// Observers run synchronously on the posting thread, in the order in which
// they were added.  An observer may add or remove observers; such changes
// take effect from the next post.  Likewise a post already under way on
// another thread may still call an observer that is being removed; the
// observer's function is kept alive until that call has returned.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace velmora::platform {

struct Notification {
  std::string name;
  const void* sender = nullptr;
  std::map<std::string, std::any> userInfo;
};

// Names of the process's lifetime and power notifications.  Will-terminate is
// posted by the host (the command-line tool posts it on SIGINT and SIGTERM);
// will-sleep and did-wake are posted by the power monitor when the system's
// login manager is reachable, and by tests directly.
inline constexpr const char* kApplicationWillTerminateNotification =
    "VelmoraApplicationWillTerminateNotification";
inline constexpr const char* kSystemWillSleepNotification = "VelmoraSystemWillSleepNotification";
inline constexpr const char* kSystemDidWakeNotification = "VelmoraSystemDidWakeNotification";

class NotificationCenter {
 public:
  using Token = uint64_t;
  using Observer = std::function<void(const Notification&)>;

  static NotificationCenter& shared();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Observes every notification named `name`.  Returns a token for
  // removeObserver().
  Token addObserver(const std::string& name, Observer observer);
  // After it returns, the observer is not called again by a later post.
  void removeObserver(Token token);
  void post(const Notification& notification);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::platform
