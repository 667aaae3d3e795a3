#include "platform/NotificationCenter.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace velmora::platform {

// Observers are kept in the order of their tokens, which is the order in
// which they were added.  A post copies the matching observers under the
// mutex and calls them outside it, so observers may post, add and remove
// freely; the shared_ptr keeps an observer removed meanwhile alive until its
// call returns.
struct NotificationCenter::Impl {
  struct Entry {
    Token token;
    std::string name;
    std::shared_ptr<const Observer> observer;
  };

  std::mutex mutex;
  std::vector<Entry> entries;
  Token nextToken = 1;
};

NotificationCenter& NotificationCenter::shared() {
  // Never destroyed: observers may be posted to while the process exits.
  static auto* center = new NotificationCenter();
  return *center;
}

NotificationCenter::NotificationCenter() : impl_(std::make_unique<Impl>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Observer observer) {
  auto shared = std::make_shared<const Observer>(std::move(observer));
  std::lock_guard<std::mutex> g(impl_->mutex);
  Token token = impl_->nextToken++;
  impl_->entries.push_back(Impl::Entry{token, name, std::move(shared)});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::shared_ptr<const Observer> doomed;  // released after the mutex
  std::lock_guard<std::mutex> g(impl_->mutex);
  auto& entries = impl_->entries;
  auto it = std::lower_bound(entries.begin(), entries.end(), token,
                             [](const Impl::Entry& e, Token t) { return e.token < t; });
  if (it == entries.end() || it->token != token) return;
  doomed = std::move(it->observer);
  entries.erase(it);
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<std::shared_ptr<const Observer>> targets;
  {
    std::lock_guard<std::mutex> g(impl_->mutex);
    for (const auto& entry : impl_->entries) {
      if (entry.name == notification.name) targets.push_back(entry.observer);
    }
  }
  for (const auto& observer : targets) {
    if (*observer) (*observer)(notification);
  }
}

}  // namespace velmora::platform
