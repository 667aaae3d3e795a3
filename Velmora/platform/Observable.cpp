#include "platform/Observable.h"

#include <algorithm>
#include <atomic>
#include <set>

#include "platform/ObserverList.h"

namespace velmora::platform {
namespace {

// Tokens are unique across all observables, so a token handed to the wrong
// object removes nothing there.
std::atomic<Observable::Token> gNextToken{1};

}  // namespace

struct Observable::Impl {
  ObserverList<Change> observers;
  std::mutex mutex;  // guards dependents
  // For each key, the keys that depend on it, in the order declared.
  std::map<std::string, std::vector<std::string>> dependents;
};

Observable::Observable() : impl_(std::make_unique<Impl>()) {}

Observable::~Observable() = default;

Observable::Token Observable::addObserver(const std::string& key, Observer observer) {
  Token token = gNextToken.fetch_add(1, std::memory_order_relaxed);
  impl_->observers.add(token, key, std::move(observer));
  return token;
}

void Observable::removeObserver(Token token) { impl_->observers.remove(token); }

void Observable::didChange(const Change& change) {
  // Most changes go unobserved (the read loop announces each chunk's
  // "receiveBuffer"): nothing to work out then.
  if (impl_->observers.empty()) return;
  // The changed key first, then the keys that depend on it, nearest first;
  // a dependency cycle announces each key once.
  std::vector<Change> changes{change};
  Change& primary = changes.front();
  if (primary.kind != ChangeKind::Setting) {
    std::sort(primary.indexes.begin(), primary.indexes.end());
    primary.indexes.erase(std::unique(primary.indexes.begin(), primary.indexes.end()), primary.indexes.end());
  }
  {
    std::lock_guard<std::mutex> g(impl_->mutex);
    std::set<std::string> announced{primary.key};
    for (size_t next = 0; next < changes.size(); ++next) {
      auto found = impl_->dependents.find(changes[next].key);
      if (found == impl_->dependents.end()) continue;
      for (const auto& dependent : found->second) {
        if (announced.insert(dependent).second) changes.push_back(Change{dependent, ChangeKind::Setting, {}});
      }
    }
  }
  std::vector<std::string> keys;
  for (const auto& c : changes) keys.push_back(c.key);
  for (const auto& [index, observer] : impl_->observers.matching(keys)) (*observer)(changes[index]);
}

void Observable::declareDependency(const std::string& dependent, const std::string& onKey) {
  if (dependent == onKey) return;
  std::lock_guard<std::mutex> g(impl_->mutex);
  auto& list = impl_->dependents[onKey];
  if (std::find(list.begin(), list.end(), dependent) == list.end()) list.push_back(dependent);
}

}  // namespace velmora::platform
