#include "platform/Observable.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <set>

namespace velmora::platform {
namespace {

// Tokens are unique across all observables, so a token handed to the wrong
// object removes nothing there.
std::atomic<Observable::Token> gNextToken{1};

}  // namespace

struct Observable::Impl {
  struct Entry {
    Token token;
    std::string key;
    std::shared_ptr<const Observer> observer;
  };

  std::mutex mutex;
  std::vector<Entry> observers;  // in the order they were added
  // For each key, the keys that depend on it, in the order declared.
  std::map<std::string, std::vector<std::string>> dependents;
};

Observable::Observable() : impl_(std::make_unique<Impl>()) {}

Observable::~Observable() = default;

Observable::Token Observable::addObserver(const std::string& key, Observer observer) {
  auto shared = std::make_shared<const Observer>(std::move(observer));
  Token token = gNextToken.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> g(impl_->mutex);
  impl_->observers.push_back(Impl::Entry{token, key, std::move(shared)});
  return token;
}

void Observable::removeObserver(Token token) {
  std::shared_ptr<const Observer> doomed;  // released after the mutex
  std::lock_guard<std::mutex> g(impl_->mutex);
  auto& observers = impl_->observers;
  auto it = std::find_if(observers.begin(), observers.end(),
                         [token](const Impl::Entry& e) { return e.token == token; });
  if (it == observers.end()) return;
  doomed = std::move(it->observer);
  observers.erase(it);
}

void Observable::didChange(const Change& change) {
  Change primary = change;
  if (primary.kind != ChangeKind::Setting) {
    std::sort(primary.indexes.begin(), primary.indexes.end());
    primary.indexes.erase(std::unique(primary.indexes.begin(), primary.indexes.end()),
                          primary.indexes.end());
  }

  // The changed key first, then the keys that depend on it, nearest first;
  // a dependency cycle announces each key once.
  std::vector<std::pair<const Change*, std::shared_ptr<const Observer>>> calls;
  std::deque<Change> dependentChanges;  // stable addresses for `calls`
  {
    std::lock_guard<std::mutex> g(impl_->mutex);
    std::set<std::string> announced{primary.key};
    std::deque<std::string> pending{primary.key};
    std::vector<const Change*> changes{&primary};
    while (!pending.empty()) {
      auto found = impl_->dependents.find(pending.front());
      pending.pop_front();
      if (found == impl_->dependents.end()) continue;
      for (const auto& dependent : found->second) {
        if (!announced.insert(dependent).second) continue;
        pending.push_back(dependent);
        dependentChanges.push_back(Change{dependent, ChangeKind::Setting, {}});
        changes.push_back(&dependentChanges.back());
      }
    }
    for (const Change* c : changes) {
      for (const auto& entry : impl_->observers) {
        if (entry.key == c->key) calls.emplace_back(c, entry.observer);
      }
    }
  }
  for (const auto& [c, observer] : calls) {
    if (*observer) (*observer)(*c);
  }
}

void Observable::declareDependency(const std::string& dependent, const std::string& onKey) {
  if (dependent == onKey) return;
  std::lock_guard<std::mutex> g(impl_->mutex);
  auto& list = impl_->dependents[onKey];
  if (std::find(list.begin(), list.end(), dependent) == list.end()) list.push_back(dependent);
}

}  // namespace velmora::platform
