#include "platform/NotificationCenter.h"

#include <atomic>

#include "platform/ObserverList.h"

namespace velmora::platform {

// The observers live in an ObserverList keyed by notification name (see
// ObserverList.h for why observers may post, add and remove freely).
struct NotificationCenter::Impl {
  ObserverList<Notification> observers;
  std::atomic<Token> nextToken{1};
};

NotificationCenter& NotificationCenter::shared() {
  // Never destroyed: observers may be posted to while the process exits.
  static auto* center = new NotificationCenter();
  return *center;
}

NotificationCenter::NotificationCenter() : impl_(std::make_unique<Impl>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Observer observer) {
  Token token = impl_->nextToken.fetch_add(1, std::memory_order_relaxed);
  impl_->observers.add(token, name, std::move(observer));
  return token;
}

void NotificationCenter::removeObserver(Token token) { impl_->observers.remove(token); }

void NotificationCenter::post(const Notification& notification) {
  for (const auto& call : impl_->observers.matching({notification.name})) (*call.second)(notification);
}

}  // namespace velmora::platform
